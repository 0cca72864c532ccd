// The gateway's session operations. See session.h.
#include "gateway/session.h"

#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gateway/cancel.h"
#include "gateway/cursors.h"
#include "gateway/diagnostics.h"
#include "gateway/driver_preload.h"
#include "gateway/odbc_thread.h"
#include "gateway/pool.h"
#include "gateway/sqlite_tuning.h"
#include "gateway/svr_session.h"
#include "protocol/long_text.h"
#include "protocol/trace.h"
#include "protocol/typed_value.h"
#include "runtime/handover.h"
#include "support/config_cache.h"
#include "support/settings_catalog.h"
#include "transport/session_notice.h"

namespace vnx {

namespace {

constexpr size_t kDsnMax = 512;    // data source names
constexpr size_t kLoginMax = 255;  // user names and passwords

// What START recorded: the user name and port that "RemUser" repeats.
struct GatewaySession {
    std::string user;
    int port = 0;
};

GatewaySession &session() {
    static GatewaySession s;
    return s;
}

// Drivers keep some of what they allocate while connecting for the life of
// the process (the SQLite driver never frees it); in sanitizer builds those
// allocations are the driver's business, not reported leaks of ours.
struct DriverAllocations {
#if defined(__SANITIZE_ADDRESS__)
    DriverAllocations() {
        __lsan_disable();
    }
    ~DriverAllocations() {
        __lsan_enable();
    }
#endif
};

// ODBServer "autocommit" on keeps the driver's default.
bool keep_autocommit() {
    return setting_switch("ODBServer", "autocommit");
}

// ODBServer "lock_timeout": whole seconds (range and default in the settings
// table).
int configured_lock_timeout() {
    return static_cast<int>(setting_number("ODBServer", "lock_timeout"));
}

// An SQLGetInfo answer of two bytes; `otherwise` when the driver has none.
SQLUSMALLINT info_u16(SQLHDBC hdbc, SQLUSMALLINT type, SQLUSMALLINT otherwise) {
    SQLUSMALLINT v = otherwise;
    if (!sql_ok(SQLGetInfo(hdbc, type, &v, sizeof v, nullptr))) return otherwise;
    return v;
}

// SQLite has a single lock, the database's: its busy timeout is how long any
// statement, a record write among them, waits for another session.
void set_sqlite_busy_timeout(svr_session *s, int ms) {
    SQLHSTMT h = SQL_NULL_HSTMT;
    if (!sql_ok(SQLAllocStmt(s->hdbc, &h))) return;
    std::string sql = "PRAGMA busy_timeout = " + std::to_string(ms);
    SQLExecDirect(h, reinterpret_cast<SQLCHAR *>(sql.data()), SQL_NTS);
    SQLFreeStmt(h, SQL_DROP);
}

// The SQLite driver retries a statement or a commit that met another
// session's lock for as long as its DSN's "Timeout" says (100 s where the
// DSN sets none), and each retry waits SQLite's own busy timeout again: no
// lock_timeout would bound the wait. The session is connected again with
// the driver's shortest retry time (1 ms: it tries once more, 10 ms later),
// and SQLite's busy timeout carries the wait, half of lock_timeout before
// that one retry and half after. A DSN name that a connection string cannot
// carry keeps the DSN's setting. 0, or the failing ODBC code (the session
// then has no connection).
int bound_sqlite_waits(svr_session *s, const std::string &dsn) {
    int ms = s->lock_timeout * 1000;
    if (dsn.find_first_of(";{}=") != std::string::npos) {
        set_sqlite_busy_timeout(s, ms);
        return 0;
    }
    SQLDisconnect(s->hdbc);
    s->connected = false;
    std::string in = "DSN=" + dsn + ";Timeout=1";
    SQLCHAR out[1024];
    SQLSMALLINT out_len = 0;
    SQLRETURN rc = SQLDriverConnect(s->hdbc, nullptr, reinterpret_cast<SQLCHAR *>(in.data()),
                                    SQL_NTS, out, sizeof out, &out_len, SQL_DRIVER_NOPROMPT);
    if (!sql_ok(rc)) return rc < 0 ? rc : -1;
    s->connected = true;
    set_sqlite_busy_timeout(s, ms / 2);
    return 0;
}

// True for psqlODBC (psqlodbca.so, psqlodbcw.so), by its library's file name.
bool is_psqlodbc(const std::string &library) {
    size_t slash = library.rfind('/');
    std::string file = slash == std::string::npos ? library : library.substr(slash + 1);
    return file.rfind("psqlodbc", 0) == 0;
}

// A connection-string value that needs no quoting: not empty, no separator
// or brace, no blank at either end. Others are never put in a string.
bool plain_attribute(const std::string &v) {
    return !v.empty() && v.find_first_of(";{}") == std::string::npos && v.front() != ' ' &&
           v.back() != ' ';
}

// psqlODBC prepares every SQLPrepare'd statement on the server (a Parse and
// Describe round before the first execute), which costs a third more on a
// large query and three times a "SELECT 1"; with UseServerSidePrepare=0 it
// sends the statement, its parameters filled in, as one simple query. The
// gateway prepares every statement it runs, so psqlODBC sources are
// connected with that attribute unless ODBServer "server_side_prepare" is
// "true". Empty, or the connection string's attributes to add to the DSN.
std::string connect_attributes(const std::string &library) {
    if (!is_psqlodbc(library) || setting_switch("ODBServer", "server_side_prepare")) return "";
    return "UseServerSidePrepare=0";
}

// Connects s->hdbc to the DSN: SQLDriverConnect with the DSN, the login and
// `extra` when there are attributes to add and every value can travel in a
// connection string, else SQLConnect (the DSN's settings alone).
SQLRETURN connect_data_source(svr_session *s, std::string dsn, std::string uid, std::string pwd,
                              const std::string &extra) {
    bool plain = plain_attribute(dsn) && dsn.find('=') == std::string::npos &&
                 (uid.empty() || plain_attribute(uid)) && (pwd.empty() || plain_attribute(pwd));
    if (extra.empty() || !plain)
        return SQLConnect(s->hdbc, reinterpret_cast<SQLCHAR *>(dsn.data()), SQL_NTS,
                          reinterpret_cast<SQLCHAR *>(uid.data()), SQL_NTS,
                          reinterpret_cast<SQLCHAR *>(pwd.data()), SQL_NTS);
    // An empty user or password is left out, as SQLConnect leaves the DSN's.
    std::string in = "DSN=" + dsn + ";";
    if (!uid.empty()) in += "UID=" + uid + ";";
    if (!pwd.empty()) in += "PWD=" + pwd + ";";
    in += extra;
    SQLCHAR out[1024];
    SQLSMALLINT out_len = 0;
    SQLRETURN rc = SQLDriverConnect(s->hdbc, nullptr, reinterpret_cast<SQLCHAR *>(in.data()),
                                    SQL_NTS, out, sizeof out, &out_len, SQL_DRIVER_NOPROMPT);
    std::fill(in.begin(), in.end(), '\0');  // it holds the password
    std::fill(std::begin(out), std::end(out), 0);
    return rc;
}

// The data source's dialect, from SQL_DBMS_NAME (buffer initialised: a
// driver may leave it untouched on failure).
Dialect query_dialect(SQLHDBC hdbc) {
    char name[128] = "";
    SQLSMALLINT len = 0;
    if (!sql_ok(SQLGetInfo(hdbc, SQL_DBMS_NAME, name, sizeof name, &len))) return Dialect::Other;
    name[sizeof name - 1] = '\0';
    return dialect_from_dbms_name(name);
}

// Facts of the data source that later requests depend on.
void note_data_source(svr_session *s) {
    s->commit_behavior = info_u16(s->hdbc, SQL_CURSOR_COMMIT_BEHAVIOR, SQL_CB_PRESERVE);
    s->rollback_behavior = info_u16(s->hdbc, SQL_CURSOR_ROLLBACK_BEHAVIOR, SQL_CB_PRESERVE);
}

// Records the diagnostic of a failed connect step and releases the ODBC
// handles: the failed session keeps only its diagnostic, for MAPERROR.
int connect_failure(svr_session *s, int32_t *error_handle, int rc, int marker) {
    if (s->hdbc != SQL_NULL_HDBC || s->henv != SQL_NULL_HENV) sql_error(s, SQL_NULL_HSTMT);
    if (s->error_text[0] == '\0') s->set_error("the data source refused the connection");
    svr_trace(s, "db_server_connect(%d,%d)\n", rc, marker);
    if (s->hdbc != SQL_NULL_HDBC) {
        forget_connection(s->hdbc);
        if (s->connected) SQLDisconnect(s->hdbc);
        SQLFreeConnect(s->hdbc);
    }
    if (s->henv != SQL_NULL_HENV) SQLFreeEnv(s->henv);
    s->hdbc = SQL_NULL_HDBC;
    s->henv = SQL_NULL_HENV;
    s->connected = false;
    *error_handle = s->handle;
    keep_failed_session(s->handle);
    return rc < 0 ? rc : -1;
}

constexpr char kConnectionLost[] =
    "the connection to the data source is lost: the transaction was not committed";
constexpr char kRolledBack[] =
    "the data source rolled the transaction back after an earlier failure: nothing was "
    "committed";

// After the transaction has ended: no savepoint, lock or uncommitted change
// is left.
void forget_transaction(svr_session *s) {
    s->savepoints.clear();
    s->lock_mode = kNoLock;
    s->dirty = false;
    s->work_lost = false;
}

int end_transaction(int32_t handle, int32_t *status, SQLUSMALLINT how, const char *op) {
    svr_session *s = find_session(handle, op);
    if (s == nullptr || !s->connected) return -1;
    svr_trace(s, "%s(START)\n", op);
    // A transaction that the data source rolled back, or whose connection is
    // gone, can only be ended: a COMMIT of it must not answer as if it had
    // committed.
    bool dead = connection_dead(s), lost = dead || s->work_lost;
    SQLRETURN rc = SQLTransact(s->henv, s->hdbc, lost ? SQL_ROLLBACK : how);
    if (!lost && !sql_ok(rc)) {
        *status = rc;
        sql_error(s, SQL_NULL_HSTMT);
        svr_trace(s, "%s(%d)\n", op, rc);
        return rc < 0 ? rc : -1;
    }
    // Some drivers end a transaction whose connection has gone as if nothing
    // were wrong; the work is gone all the same.
    if (!lost && connection_dead(s)) lost = dead = true;
    forget_transaction(s);
    if (lost && (how == SQL_COMMIT || dead)) {
        s->set_error(dead ? kConnectionLost : kRolledBack);
        *status = -1;
        svr_trace(s, "%s(%d)\n", op, -1);
        return -1;
    }
    SQLUSMALLINT behavior = how == SQL_COMMIT ? s->commit_behavior : s->rollback_behavior;
    if (behavior == SQL_CB_DELETE && reprepare_statements(s) != 0) {
        *status = -1;
        svr_trace(s, "%s(reprepare)\n", op);
        return -1;
    }
    svr_trace(s, "%s(END)\n", op);
    return 0;
}

// "RemUser" for the session START recorded.
void notify_session_end() {
    if (notify_port_server(false, session().user, std::to_string(session().port), "ODB") != 0)
        dqp::trace("[db_server_disconnect]",
                   "the port server did not take the session's end (RemUser)");
}

// "AddUser" for the session START recorded, unless notices are off.
void notify_session_start() {
    if (get_netserver_value("dqp_protocol") != "decnet" &&
        notify_port_server(true, session().user, std::to_string(session().port), "ODB") != 0)
        dqp::trace("[db_server_start]", "the port server did not record this session (AddUser)");
}

// The words of CONNECT's argument 0 that choose how values travel.
void set_value_options(svr_session *s, const char *options) {
    s->typed = dqp::has_option_word(options, dqp::kTypedOption);
    s->long_text = s->typed || dqp::has_option_word(options, dqp::kLongTextOption);
}

// CONNECT served from the kept connection: the session is set up as a
// fresh connect sets it up (call trace, long values, lock timeout,
// autocommit). 0 and the handle; -1 when autocommit cannot be switched off
// (the kept connection is then dropped and the caller connects afresh).
int reuse_kept(svr_session *k, const char *options, int32_t *handle_out) {
    open_call_trace(get_netserver_value("DQP_SVRLOG"));
    k->trace = 1;
    set_value_options(k, options);
    svr_trace(k, "db_server_connect(START %d)\n", 259);
    k->lock_timeout = configured_lock_timeout();
    k->autocommit = keep_autocommit();
    if (!k->autocommit &&
        !sql_ok(SQLSetConnectOption(k->hdbc, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF))) {
        svr_trace(k, "db_server_connect(kept connection refused autocommit off)\n");
        SQLDisconnect(k->hdbc);
        k->connected = false;
        free_session(k->handle);
        return -1;
    }
    forget_transaction(k);
    k->clear_error();
    *handle_out = k->handle;
    svr_trace(k, "db_server_connect(END kept)\n");
    return 0;
}

}  // namespace

int db_server_start(int32_t *result, const char *, const char *user, const char *, const char *,
                    int port) {
    call_off_driver_preload();  // warming up is for the time before the client
    session().user = user;
    session().port = port;
    // A session the port server did not record still works; the master then
    // lists it nowhere, which the log says.
    notify_session_start();
    *result = static_cast<int32_t>(getpid());
    return 0;
}

int db_server_stop(int32_t *) {
    return 0;
}

int db_server_connect(int32_t *handle_out, const char *options, const char *user,
                      const char *password, const char *dsn, int32_t *error_handle, int) {
    check_odbc_thread("db_server_connect");
    *error_handle = 1;
    *handle_out = 0;
    if (svr_session *k = pool_take(dsn, user, password))
        if (reuse_kept(k, options, handle_out) == 0) return 0;
    svr_session *s = new_session();
    if (s == nullptr) return -1;
    open_call_trace(get_netserver_value("DQP_SVRLOG"));
    s->trace = 1;
    set_value_options(s, options);
    svr_trace(s, "db_server_connect(START %d)\n", 259);
    if (strlen(dsn) > kDsnMax || strlen(user) > kLoginMax || strlen(password) > kLoginMax) {
        s->set_error("data source name, user name or password too long");
        return connect_failure(s, error_handle, -1, 260);
    }
    wait_driver_preload();  // no ODBC call while the warm-up runs
    // Nothing another user could have changed is read or loaded.
    if (std::string why = untrusted_data_source(dsn); !why.empty()) {
        s->set_error(why);
        return connect_failure(s, error_handle, -1, 262);
    }
    // The warm-up has read the ini files already; reading them again in a
    // new process costs more than the rest of the tuning.
    std::string library = preloaded_driver_library(dsn);
    if (library.empty()) library = driver_library_of(dsn);
    SqliteTuning tuning = tune_driver_sqlite(library);
    svr_trace(s, "db_server_connect(SQLite %s)\n", sqlite_tuning_name(tuning));
    expect_connection(library);  // after the tuning: it starts SQLite
    SQLRETURN rc = SQLAllocEnv(&s->henv);
    if (!sql_ok(rc)) return connect_failure(s, error_handle, -1, 301);
    rc = SQLAllocConnect(s->henv, &s->hdbc);
    if (!sql_ok(rc)) return connect_failure(s, error_handle, -1, 311);
    SQLSetConnectOption(s->hdbc, SQL_LOGIN_TIMEOUT, 5);
    std::string name(dsn);
    // The pool tells the connection's socket by what the connect opened
    // (two looks at the open descriptors, about 0.1 ms; SQLite is never kept).
    const bool pool = pool_enabled();
    const std::vector<SocketId> sockets_before =
        pool && tuning == SqliteTuning::NoSqlite ? open_sockets() : std::vector<SocketId>{};
    [[maybe_unused]] DriverAllocations driver_allocations;
    rc = connect_data_source(s, name, user, password, connect_attributes(library));
    if (!sql_ok(rc)) return connect_failure(s, error_handle, rc, 344);
    s->connected = true;
    s->dialect = query_dialect(s->hdbc);
    s->lock_timeout = configured_lock_timeout();
    if (s->dialect == Dialect::SQLite && (rc = bound_sqlite_waits(s, name)) != 0)
        return connect_failure(s, error_handle, rc, 345);
    note_connection(s->hdbc);
    s->autocommit = keep_autocommit();
    if (!s->autocommit) {
        rc = SQLSetConnectOption(s->hdbc, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF);
        if (!sql_ok(rc)) return connect_failure(s, error_handle, rc, 350);
    }
    note_data_source(s);
    if (pool) pool_note_login(s, name, user, password, sockets_before);
    s->clear_error();
    *handle_out = s->handle;
    svr_trace(s, "db_server_connect(END)\n");
    return 0;
}

int db_server_disconnect(int32_t handle) {
    svr_session *s = find_session(handle);
    if (s == nullptr || !s->connected) return -1;
    s->clear_error();
    s->cursors.clear();
    s->drop_free_statements();
    int32_t status = 0;
    db_server_rollback(handle, &status);
    if (pool_keep(s)) {
        svr_trace(s, "db_server_disconnect(END kept)\n");
        notify_session_end();
        return 0;
    }
    forget_connection(s->hdbc);
    SQLRETURN rc = SQLDisconnect(s->hdbc);
    if (!sql_ok(rc)) {
        sql_error(s, SQL_NULL_HSTMT);
        svr_trace(s, "db_server_disconnect(SQLDisconnect() %d)\n", rc);
        return rc;
    }
    s->connected = false;
    svr_trace(s, "db_server_disconnect(END)\n");
    free_session(handle);  // frees the connection and environment handles
    notify_session_end();
    return 0;
}

int db_server_attach(int32_t handle, const char *, int, int32_t *status) {
    if (find_session(handle) == nullptr) return -1;
    *status = 0;
    return 0;
}

int db_server_detach(int32_t handle, int32_t *status) {
    if (find_session(handle) == nullptr) return -1;
    *status = 0;
    return 0;
}

int db_server_commit(int32_t handle, int32_t *status) {
    return end_transaction(handle, status, SQL_COMMIT, "db_server_commit");
}

int db_server_rollback(int32_t handle, int32_t *status) {
    return end_transaction(handle, status, SQL_ROLLBACK, "db_server_rollback");
}

// ---- connection reuse: what the runtime asks (runtime/handover.h) ----------

namespace {

bool pool_may_offer() {
    return !pool_holding() && pool_enabled();
}

std::string pool_start_user() {
    return session().user;
}

void pool_adopted(const std::string &start_user, int port) {
    session().user = start_user;
    session().port = port;
}

constexpr PoolHooks kPoolHooks = {
    pool_may_offer, notify_session_end, pool_start_user,      pool_kept_key, pool_hold_ms,
    pool_check,     pool_adopted,       notify_session_start, pool_release,
};

}  // namespace

const PoolHooks *odb_pool_hooks() {
    return &kPoolHooks;
}

}  // namespace vnx
