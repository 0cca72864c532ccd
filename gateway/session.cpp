// The gateway's session operations. See session.h.
#include "gateway/session.h"

#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <cstring>
#include <string>

#include "gateway/cancel.h"
#include "gateway/diagnostics.h"
#include "gateway/driver_preload.h"
#include "gateway/sqlite_tuning.h"
#include "gateway/svr_session.h"
#include "support/config_cache.h"
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

// ODBServer "autocommit" set to "true" keeps the driver's default.
bool keep_autocommit() {
    for (const auto &[name, data] : load_registry_key(std::string(kRootKey) + "\\ODBServer"))
        if (name == "autocommit") return data == "true";
    return false;
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

// The data source's dialect, from SQL_DBMS_NAME (buffer initialised: a
// driver may leave it untouched on failure).
Dialect query_dialect(SQLHDBC hdbc) {
    char name[128] = "";
    SQLSMALLINT len = 0;
    if (!sql_ok(SQLGetInfo(hdbc, SQL_DBMS_NAME, name, sizeof name, &len))) return Dialect::Other;
    name[sizeof name - 1] = '\0';
    return dialect_from_dbms_name(name);
}

int end_transaction(int32_t handle, int32_t *status, SQLUSMALLINT how, const char *op) {
    svr_session *s = find_session(handle);
    if (s == nullptr || !s->connected) return -1;
    svr_trace(s, "%s(START)\n", op);
    SQLRETURN rc = SQLTransact(s->henv, s->hdbc, how);
    if (!sql_ok(rc)) {
        *status = rc;
        sql_error(s, SQL_NULL_HSTMT);
        svr_trace(s, "%s(%d)\n", op, rc);
        return rc;
    }
    s->savepoints.clear();
    s->lock_mode = kNoLock;
    svr_trace(s, "%s(END)\n", op);
    return 0;
}

}  // namespace

int db_server_start(int32_t *result, const char *, const char *user, const char *, const char *,
                    int port) {
    call_off_driver_preload();  // warming up is for the time before the client
    session().user = user;
    session().port = port;
    if (get_netserver_value("dqp_protocol") != "decnet")
        notify_port_server(true, session().user, std::to_string(port), "ODB");
    *result = static_cast<int32_t>(getpid());
    return 0;
}

int db_server_stop(int32_t *) {
    return 0;
}

int db_server_connect(int32_t *handle_out, const char *, const char *user, const char *password,
                      const char *dsn, int32_t *error_handle, int) {
    *error_handle = 1;
    *handle_out = 0;
    svr_session *s = new_session();
    if (s == nullptr) return -1;
    open_call_trace(get_netserver_value("DQP_SVRLOG"));
    s->trace = 1;
    svr_trace(s, "db_server_connect(START %d)\n", 259);
    if (strlen(dsn) > kDsnMax || strlen(user) > kLoginMax || strlen(password) > kLoginMax) {
        s->set_error("data source name, user name or password too long");
        return connect_failure(s, error_handle, -1, 260);
    }
    wait_driver_preload();  // no ODBC call while the warm-up runs
    // The warm-up has read the ini files already; reading them again in a
    // new process costs more than the rest of the tuning.
    std::string library = preloaded_driver_library(dsn);
    if (library.empty()) library = driver_library_of(dsn);
    tune_driver_sqlite(library);
    expect_connection(library);  // after the tuning: it starts SQLite
    SQLRETURN rc = SQLAllocEnv(&s->henv);
    if (!sql_ok(rc)) return connect_failure(s, error_handle, -1, 301);
    rc = SQLAllocConnect(s->henv, &s->hdbc);
    if (!sql_ok(rc)) return connect_failure(s, error_handle, -1, 311);
    SQLSetConnectOption(s->hdbc, SQL_LOGIN_TIMEOUT, 5);
    std::string name(dsn), uid(user), pwd(password);
    [[maybe_unused]] DriverAllocations driver_allocations;
    rc = SQLConnect(s->hdbc, reinterpret_cast<SQLCHAR *>(name.data()), SQL_NTS,
                    reinterpret_cast<SQLCHAR *>(uid.data()), SQL_NTS,
                    reinterpret_cast<SQLCHAR *>(pwd.data()), SQL_NTS);
    if (!sql_ok(rc)) return connect_failure(s, error_handle, rc, 344);
    s->connected = true;
    note_connection(s->hdbc);
    if (!keep_autocommit()) {
        rc = SQLSetConnectOption(s->hdbc, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF);
        if (!sql_ok(rc)) return connect_failure(s, error_handle, rc, 350);
    }
    s->dialect = query_dialect(s->hdbc);
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
    notify_port_server(false, session().user, std::to_string(session().port), "ODB");
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

}  // namespace vnx
