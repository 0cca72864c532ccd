// The one thread that makes a gateway's ODBC calls.
//
// Once the driver warm-up (driver_preload.h) has ended, a gateway makes every
// ODBC call on its request loop's thread. The SQLite library of the SQLite
// driver runs without its connection mutexes on that promise
// (sqlite_tuning.h), and handles, bound buffers and the session table are
// never locked. This module holds the promise to account in every build: each
// backend operation checks at its entry that it runs on the thread of the
// process's first backend operation, and the process aborts, naming the
// operation and both threads, when it does not. A late fault of this kind
// would otherwise show up only as corrupted rows or a crash inside a driver.
//
// Only operations are checked: a thread that cancels a running statement
// (SQLCancel, which ODBC allows from another thread) calls no operation.
#pragma once

namespace vnx {

// Returns when the calling thread is the one that made the process's first
// call (that call makes it so); otherwise writes a message naming
// `operation` to standard error and aborts. Costs a thread-local read and an
// atomic load.
void check_odbc_thread(const char *operation);

}  // namespace vnx
