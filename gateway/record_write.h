// One record write (the UPDATE, DELETE or INSERT of a table opened with
// USE) as a unit that succeeds or fails alone.
//
// A record write commits at once when it succeeds. When it fails it undoes
// only itself: the session's earlier uncommitted work and its row locks
// stay, and a NOK always means that nothing of the write happened. Where
// the driver keeps a transaction (autocommit off) the write runs inside a
// savepoint, rolled back to when the statement or its commit fails.
//
// A row that another session has locked is waited for at most the
// session's lock_timeout seconds (ODBServer "lock_timeout"; 0 fails at
// once): PostgreSQL takes a lock_timeout local to the savepoint, MariaDB a
// per-statement innodb_lock_wait_timeout, SQLite its busy timeout (set at
// CONNECT). A write that meets such a lock fails with the text "the record
// is locked by another session" for MAPERROR. Data sources the gateway does
// not know run the write as it is, without a savepoint.
#pragma once

#include <cstdint>
#include <string>

#include "gateway/svr_session.h"

namespace vnx {

// MAPERROR's text for a record held by another session.
inline constexpr char kRecordLocked[] = "the record is locked by another session";

// True when the session's last diagnostic says that a lock held by another
// session was not granted in time (or at once, with NOWAIT).
bool lock_conflict(const svr_session &s);

class RecordWrite {
  public:
    explicit RecordWrite(svr_session *s) : s_(s) {}
    // Undoes a write that was begun and neither committed nor failed.
    ~RecordWrite();
    RecordWrite(const RecordWrite &) = delete;
    RecordWrite &operator=(const RecordWrite &) = delete;

    // Sets the savepoint and the lock wait. 0, or -1 with the reason
    // recorded (nothing was done).
    int begin();
    // The write's statement text as the data source is to run it.
    std::string statement(const std::string &text) const;
    // The write failed: undoes it alone. Keeps the diagnostic already
    // recorded, turning a lock conflict into kRecordLocked.
    void fail();
    // The write succeeded: commits it with everything before it. 0, or -1
    // when the commit failed (the write undone, MAPERROR says why).
    int commit(int32_t *status);

  private:
    // Runs one statement of the write's own, without recording a diagnostic
    // on failure (false then).
    bool run(const std::string &sql);
    bool savepoint() const;
    svr_session *s_;
    bool begun_ = false;
};

}  // namespace vnx
