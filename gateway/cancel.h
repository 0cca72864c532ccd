// Cancelling the statement a client is waiting for: the canceller that the
// connection watcher (runtime/client_watch.h) calls on its own thread, and
// the marks the request loop's thread sets around its long ODBC calls. The
// canceller's ODBC call is the one the gateway makes off the loop's thread.
//
// The loop marks each long call of client work (SQLExecute, SQLExecDirect,
// SQLFetch and SQLExtendedFetch of EXECSQL, OPEN, the fetches, the record
// operations and the key query of USE) with a CancellableCall that lives
// exactly as long as the call. A cancel cancels the call marked at that
// moment, and nothing when none is: ODBC allows SQLCancel from another thread
// on a statement that is executing, but on an idle one SQLCancel acts as
// SQLFreeStmt(SQL_CLOSE) (unixODBC resets its own state of the statement to
// "no cursor", and an ODBC 2 driver may close it), which would take an open
// result away from the client. The mark is set and cleared under one mutex
// that the canceller holds for its whole call: no cancel starts once the
// call has returned, and the loop touches the statement again only after a
// cancel in progress has returned.
//
// SQLite: the SQLite ODBC driver's SQLCancel interrupts the database and then
// closes the statement itself, on the cancelling thread, while the loop's
// thread is still stepping that statement and filling its result: a race on
// the driver's memory and on the SQLite statement, which no SQLite threading
// mode prevents (and the multi-thread mode the gateway sets takes no mutex at
// all). For such a connection the canceller calls sqlite3_interrupt on its
// database instead, which SQLite documents as safe from any thread while the
// connection is open. The database of each connection is learnt while it is
// opened, through an auto-extension registered in the driver's SQLite library
// before the first connection; a SQLite connection whose database is not
// known is never cancelled.
//
// A read of a whole result (FETCHMANY, TABLELIST) opens a CancelScope and
// looks between rowsets whether a cancel has arrived since it began. A
// hang-up and a client's cancel are handled alike here: the watcher repeats
// a hang-up until the request loop ends, so whatever starts after it is
// cancelled too.
#pragma once

#include <sql.h>

#include <cstdint>
#include <string>

#include "gateway/svr_session.h"
#include "runtime/client_watch.h"

namespace vnx {

// Registers cancel_running_statement as the runtime's cancel hook.
void install_statement_cancel();

// The hook: cancels the call marked at this moment (each call once) and
// marks the open CancelScope. Safe from any thread.
void cancel_running_statement(CancelCause cause);

// Marks the loop's thread as inside one long call of `hstmt`, a statement of
// session `s`, from construction to end() (or destruction). One at a time,
// on the request loop's thread only.
class CancellableCall {
  public:
    CancellableCall(const svr_session *s, SQLHSTMT hstmt);
    ~CancellableCall() { end(); }
    CancellableCall(const CancellableCall &) = delete;
    CancellableCall &operator=(const CancellableCall &) = delete;

    // Clears the mark, after a cancel in progress has returned. Once.
    void end();
    // True when a cancel reached the call (known after end()).
    bool cancelled() const { return cancelled_; }

  private:
    uint64_t call_ = 0;
    bool open_ = false;
    bool cancelled_ = false;
};

// A long call inside a condition, marked for its duration:
// while (sql_ok(rc = call_cancellable(s, h, SQLFetch, h))) ...
template <typename Fn, typename... Args>
SQLRETURN call_cancellable(const svr_session *s, SQLHSTMT hstmt, Fn fn, Args... args) {
    CancellableCall running(s, hstmt);
    return fn(args...);
}

// The span of one whole-result read. Not nested; loop's thread only.
class CancelScope {
  public:
    CancelScope();
    ~CancelScope();
    CancelScope(const CancelScope &) = delete;
    CancelScope &operator=(const CancelScope &) = delete;

    // True once a cancel has arrived since the scope began.
    bool cancelled() const;
};

// MAPERROR's text for a read that a cancel ended between rowsets.
inline constexpr char kCancelledText[] = "statement cancelled at the client's request";

// ---- SQLite connections -------------------------------------------------------

// Before a connection through the driver library `library`: registers the
// auto-extension (once per SQLite library) when the library links SQLite,
// and forgets any database seen before. Must follow the SQLite tuning
// (sqlite_tuning.h), which only works before SQLite is initialised.
void expect_connection(const std::string &library);
// After a successful SQLConnect on hdbc: the database the driver opened in
// it, if any, becomes the one its calls are interrupted through.
void note_connection(SQLHDBC hdbc);
// Before hdbc is disconnected or freed.
void forget_connection(SQLHDBC hdbc);

}  // namespace vnx
