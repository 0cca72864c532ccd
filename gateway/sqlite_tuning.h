// Setting up the SQLite library that a data source's driver links, before
// the gateway's first connection through it.
//
// The SQLite ODBC driver opens its databases with SQLite's defaults: the
// "serialized" threading mode, in which every call into a connection takes
// that connection's mutex, and memory statistics, which take a global mutex
// around every allocation. Reading a result costs several of each per row:
// on a million-row SELECT, about a sixth of the gateway's time went to
// locking and unlocking. A gateway makes every ODBC call on one thread (its warm-up thread
// only loads libraries), so it switches that library to the "multi-thread"
// mode, where a connection, used by one thread at a time, takes no mutex,
// while SQLite's process-wide structures keep theirs, and turns memory
// statistics off, as nothing in a gateway reads them. The one call from
// another thread, a client's cancel, never reaches the driver of a SQLite
// connection: it is sqlite3_interrupt on the connection's database, which
// SQLite makes safe from any thread in every mode (cancel.h).
//
// SQLite takes these settings only before its first use in the process: a
// library already in use is left as it is. ODBServer "tune_sqlite" set to
// "false" switches this off.
#pragma once

#include <string>

namespace vnx {

// The library file of a data source's driver: the DSN's "Driver" entry in
// the user's or the system's odbc.ini when that is a path, else that
// driver's "Driver64" or "Driver" entry in odbcinst.ini. Empty when the DSN
// or its driver is not listed. Read from the files the way the driver
// manager finds them, without it: its own listing costs a few hundred
// microseconds, and loading its ini library beside it changes how the
// driver manager reads its files. A wrong answer costs only the tuning.
std::string driver_library_of(const std::string &dsn);

enum class SqliteTuning { Tuned, NoSqlite, InUse, SwitchedOff };

// The answer's name as the call trace shows it: "Tuned", "NoSqlite", ...
inline const char *sqlite_tuning_name(SqliteTuning t) {
    static const char *const names[] = {"Tuned", "NoSqlite", "InUse", "SwitchedOff"};
    return names[static_cast<int>(t)];
}

// Applies the settings above to the SQLite library that `library` links
// (loading the driver library, as connecting would): Tuned, NoSqlite when the
// library cannot be loaded or links no SQLite, InUse when SQLite refused the
// settings because it is already in use, SwitchedOff by the setting.
SqliteTuning tune_driver_sqlite(const std::string &library);

}  // namespace vnx
