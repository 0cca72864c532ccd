// Cancelling a running statement. See cancel.h.
//
// Notes: two threads meet here, the request loop's (marks, scopes,
// connections) and the watcher's (cancel_running_statement), and they share
// only the Canceller below, under its mutex. The watcher never waits for the
// loop: it finds a call marked or it does not. The loop waits for the
// watcher only while a cancel of its own call is in progress.
#include "gateway/cancel.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

// Only the types of SQLite's extension interface are used: every SQLite
// function is called in the driver's library, never in the one linked here.
#define SQLITE_CORE 1
#include <sqlite3ext.h>

namespace vnx {

namespace {

using InterruptFn = void (*)(sqlite3 *);

// A SQLite database and the interrupt function of the library it lives in.
struct SqliteDb {
    sqlite3 *db = nullptr;
    InterruptFn interrupt = nullptr;
};

struct Canceller {
    std::mutex mutex;
    // The call marked running: its number, statement and, for a SQLite
    // connection, its database (never_cancel: a SQLite connection whose
    // database is unknown).
    uint64_t calls = 0;
    uint64_t cancelled_call = 0;
    SQLHSTMT running = SQL_NULL_HSTMT;
    SqliteDb running_db;
    bool never_cancel = false;
    bool scope_open = false;
    std::atomic<bool> scope_cancelled{false};
    // SQLite connections and the database the driver opened last.
    std::vector<std::pair<SQLHDBC, SqliteDb>> sqlite_dbs;
    SqliteDb opened;
    std::vector<void *> extended_libraries;  // their sqlite3_auto_extension
};

Canceller &canceller() {
    static Canceller *c = new Canceller;  // outlives every thread that calls it
    return *c;
}

SqliteDb sqlite_db_of(const Canceller &c, SQLHDBC hdbc) {
    for (const auto &[h, db] : c.sqlite_dbs)
        if (h == hdbc) return db;
    return {};
}

void erase_connection(Canceller &c, SQLHDBC hdbc) {
    std::erase_if(c.sqlite_dbs, [hdbc](const auto &entry) { return entry.first == hdbc; });
}

// Cancels the marked call; the caller holds the mutex.
void cancel_marked_call(Canceller &c) {
    if (c.running == SQL_NULL_HSTMT || c.never_cancel || c.cancelled_call == c.calls) return;
    c.cancelled_call = c.calls;
    if (c.running_db.db != nullptr)
        c.running_db.interrupt(c.running_db.db);
    else
        SQLCancel(c.running);
}

// Called by SQLite in the driver's library for every database it opens.
int note_sqlite_open(sqlite3 *db, char **, const sqlite3_api_routines *api) {
    if (api == nullptr || api->interruptx == nullptr) return SQLITE_OK;
    Canceller &c = canceller();
    std::lock_guard lock(c.mutex);
    c.opened = {db, api->interruptx};
    return SQLITE_OK;
}

// Registers note_sqlite_open in the SQLite library that `library` links.
void extend_sqlite_library(Canceller &c, const std::string &library) {
    void *driver = dlopen(library.c_str(), RTLD_LAZY | RTLD_LOCAL);  // left loaded, as the
    if (driver == nullptr) return;                                   // driver manager leaves it
    using AutoExtension = int (*)(void (*)(void));
    auto auto_extension = reinterpret_cast<AutoExtension>(dlsym(driver, "sqlite3_auto_extension"));
    if (auto_extension == nullptr) return;
    void *key = reinterpret_cast<void *>(auto_extension);
    if (std::ranges::find(c.extended_libraries, key) != c.extended_libraries.end()) return;
    if (auto_extension(reinterpret_cast<void (*)(void)>(note_sqlite_open)) == SQLITE_OK)
        c.extended_libraries.push_back(key);
}

}  // namespace

void install_statement_cancel() {
    set_cancel_hook(cancel_running_statement);
}

void cancel_running_statement(CancelCause) {
    Canceller &c = canceller();
    std::lock_guard lock(c.mutex);
    if (c.scope_open) c.scope_cancelled.store(true);
    cancel_marked_call(c);
}

CancellableCall::CancellableCall(const svr_session *s, SQLHSTMT hstmt) {
    Canceller &c = canceller();
    std::lock_guard lock(c.mutex);
    call_ = ++c.calls;
    c.running = hstmt;
    c.running_db = sqlite_db_of(c, s->hdbc);
    c.never_cancel = s->dialect == Dialect::SQLite && c.running_db.db == nullptr;
    open_ = true;
}

void CancellableCall::end() {
    if (!open_) return;
    Canceller &c = canceller();
    std::lock_guard lock(c.mutex);
    cancelled_ = c.cancelled_call == call_;
    c.running = SQL_NULL_HSTMT;
    c.running_db = {};
    open_ = false;
}

CancelScope::CancelScope() {
    Canceller &c = canceller();
    std::lock_guard lock(c.mutex);
    c.scope_open = true;
    c.scope_cancelled.store(false);
}

CancelScope::~CancelScope() {
    Canceller &c = canceller();
    std::lock_guard lock(c.mutex);
    c.scope_open = false;
    c.scope_cancelled.store(false);
}

bool CancelScope::cancelled() const {
    return canceller().scope_cancelled.load();
}

void expect_connection(const std::string &library) {
    Canceller &c = canceller();
    if (!library.empty()) extend_sqlite_library(c, library);
    std::lock_guard lock(c.mutex);
    c.opened = {};
}

void note_connection(SQLHDBC hdbc) {
    Canceller &c = canceller();
    std::lock_guard lock(c.mutex);
    erase_connection(c, hdbc);
    if (c.opened.db != nullptr) c.sqlite_dbs.emplace_back(hdbc, c.opened);
    c.opened = {};
}

void forget_connection(SQLHDBC hdbc) {
    Canceller &c = canceller();
    std::lock_guard lock(c.mutex);
    erase_connection(c, hdbc);
}

}  // namespace vnx
