// Keeping a session's data-source connection. See pool.h.
#include "gateway/pool.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>

#include "gateway/diagnostics.h"
#include "gateway/svr_session.h"
#include "protocol/trace.h"
#include "support/config_cache.h"
#include "support/settings_catalog.h"
#include "support/unique_fd.h"
#include "transport/session_handover.h"
#include "transport/socket_deadline.h"

namespace vnx {

namespace {

using Clock = std::chrono::steady_clock;

// A connected session's login, as the pool holds it: since when the
// connection exists (its real connect, not its last hand-over) and the
// socket it talks to its server on (invalid when it could not be told).
struct Login {
    std::string dsn, user;
    PasswordHash password;
    Clock::time_point connected;
    SocketId socket;
};

struct PoolState {
    std::map<int32_t, Login> logins;  // by session handle
    svr_session *kept = nullptr;      // the kept session (the session table owns it)
    bool checked = false;             // it passed pool_check for the next CONNECT
    UniqueFd slot;                    // its place among "pool_max" (take_holder_slot)
};

PoolState &pool() {
    static PoolState p;
    return p;
}

// Runs one statement of the gateway's own; true when it succeeded.
bool run_statement(svr_session *s, const char *sql, int timeout_seconds) {
    SQLHSTMT h = SQL_NULL_HSTMT;
    if (!sql_ok(SQLAllocStmt(s->hdbc, &h))) return false;
    if (timeout_seconds > 0)
        SQLSetStmtAttr(h, SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeout_seconds)), 0);
    bool ok =
        sql_ok(SQLExecDirect(h, reinterpret_cast<SQLCHAR *>(const_cast<char *>(sql)), SQL_NTS));
    SQLFreeStmt(h, SQL_DROP);
    return ok;
}

// The first column of a query's first row as an integer; false when the
// query fails or gives no row.
bool query_integer(svr_session *s, const char *sql, long *out) {
    SQLHSTMT h = SQL_NULL_HSTMT;
    if (!sql_ok(SQLAllocStmt(s->hdbc, &h))) return false;
    SQLLEN len = 0;
    SQLINTEGER value = 0;
    bool ok =
        sql_ok(SQLExecDirect(h, reinterpret_cast<SQLCHAR *>(const_cast<char *>(sql)), SQL_NTS)) &&
        sql_ok(SQLFetch(h)) && sql_ok(SQLGetData(h, 1, SQL_C_SLONG, &value, 0, &len)) &&
        len != SQL_NULL_DATA;
    SQLFreeStmt(h, SQL_DROP);
    *out = value;
    return ok;
}

// MariaDB's reset is the driver's to do (COM_RESET_CONNECTION), and a
// driver may take SQL_ATTR_RESET_CONNECTION and reset nothing (MariaDB
// Connector/ODBC 3.1 does). A user variable set before must be gone after,
// else the connection is not kept.
bool reset_mariadb(svr_session *s) {
    long cleared = 0;
    return run_statement(s, "SET @vnx_reset_probe = 1", 0) &&
           sql_ok(SQLSetConnectAttr(
               s->hdbc, SQL_ATTR_RESET_CONNECTION,
               reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_RESET_CONNECTION_YES)),
               SQL_IS_UINTEGER)) &&
           query_integer(s, "SELECT @vnx_reset_probe IS NULL", &cleared) && cleared == 1;
}

// Leaves nothing of the last session on the connection: what the data
// source keeps per session goes, and the connection is in autocommit (the
// MariaDB reset puts the server there; the driver is told first, so both
// agree). PostgreSQL's DISCARD ALL cannot run inside a transaction block,
// which autocommit also avoids.
bool reset_connection(svr_session *s) {
    if (!sql_ok(SQLSetConnectOption(s->hdbc, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_ON))) return false;
    s->autocommit = true;
    if (s->dialect == Dialect::PostgreSQL) return run_statement(s, "DISCARD ALL", 0);
    if (s->dialect == Dialect::MariaDB) return reset_mariadb(s);
    return false;
}

// A kept connection is handed out only when the data source still answers
// on it: a backend the server has ended fails here, not in the client's
// first request. No query timeout: the driver would spend a round trip
// setting one (and the client's first statement another clearing it), and
// a server-side timeout would not end the wait on a backend that does not
// run at all. The wait is bounded on the connection's socket instead: after
// kCheckBoundMs it is shut down, the statement fails, and the connection is
// dropped. A socket that could not be told apart at connect leaves the
// check unbounded; the offering gateway still bounds its own wait.
bool still_alive(svr_session *s, const Login &l) {
    if (connection_dead(s)) return false;
    const bool bounded = socket_deadline_arm(l.socket, kCheckBoundMs);
    const bool ok = run_statement(s, "SELECT 1", 0);
    if (bounded && socket_deadline_disarm()) {
        dqp::trace("[pool]", "the kept data-source connection did not answer in time: dropped");
        return false;
    }
    return ok;
}

// True when the connection has lived "pool_lifetime" or longer: it is then
// neither kept nor handed out, so that a changed password or a revoked
// login reaches every kept connection within that time.
bool outlived(const Login &l) {
    const int lifetime = pool_lifetime_seconds();
    return lifetime > 0 && Clock::now() - l.connected >= std::chrono::seconds(lifetime);
}

// The kept session's login; null when none is kept.
const Login *kept_login() {
    svr_session *s = pool().kept;
    if (s == nullptr) return nullptr;
    auto it = pool().logins.find(s->handle);
    return it == pool().logins.end() ? nullptr : &it->second;
}

// The kept session may serve a new client: young enough and alive.
bool usable(svr_session *s) {
    const Login *l = kept_login();
    if (l == nullptr) return false;
    if (outlived(*l)) {
        dqp::trace("[pool]", "the kept data-source connection reached pool_lifetime: dropped");
        return false;
    }
    return still_alive(s, *l);
}

// The kept session when its login is this one; null otherwise.
svr_session *matching_kept(const std::string &dsn, const std::string &user,
                           const std::string &password) {
    svr_session *s = pool().kept;
    if (s == nullptr) return nullptr;
    auto it = pool().logins.find(s->handle);
    if (it == pool().logins.end()) return nullptr;
    const Login &l = it->second;
    if (l.dsn != dsn || l.user != user || !password_matches(l.password, password)) return nullptr;
    return s;
}

// SHA-256 over the salt and the password, into out (32 bytes).
bool salted_digest(const unsigned char (&salt)[sizeof PasswordHash::salt],
                   const std::string &password, unsigned char *out) {
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    unsigned int len = 0;
    bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1 &&
              EVP_DigestUpdate(ctx, salt, sizeof salt) == 1 &&
              EVP_DigestUpdate(ctx, password.data(), password.size()) == 1 &&
              EVP_DigestFinal_ex(ctx, out, &len) == 1 && len == sizeof PasswordHash::digest;
    EVP_MD_CTX_free(ctx);
    return ok;
}

}  // namespace

bool pool_enabled() {
    return setting_switch("ODBServer", "pool");
}

int pool_idle_seconds() {
    return static_cast<int>(setting_number("ODBServer", "pool_idle"));
}

int pool_max() {
    return static_cast<int>(setting_number("ODBServer", "pool_max"));
}

int pool_lifetime_seconds() {
    return static_cast<int>(setting_number("ODBServer", "pool_lifetime"));
}

int pool_hold_ms() {
    const long long idle = pool_idle_seconds() * 1000LL;
    const Login *l = kept_login();
    const int lifetime = pool_lifetime_seconds();
    if (l == nullptr || lifetime <= 0) return static_cast<int>(idle);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    l->connected + std::chrono::seconds(lifetime) - Clock::now())
                    .count();
    return static_cast<int>(std::clamp<long long>(left, 0, idle));
}

int hash_password(const std::string &password, PasswordHash *out) {
    if (RAND_bytes(out->salt, sizeof out->salt) != 1) return -1;
    return salted_digest(out->salt, password, out->digest) ? 0 : -1;
}

bool password_matches(const PasswordHash &h, const std::string &password) {
    unsigned char digest[sizeof h.digest];
    return salted_digest(h.salt, password, digest) &&
           CRYPTO_memcmp(digest, h.digest, sizeof digest) == 0;
}

void pool_note_login(const svr_session *s, const std::string &dsn, const std::string &user,
                     const std::string &password, const std::vector<SocketId> &sockets_before) {
    const SocketId socket =
        sockets_before.empty() ? SocketId{} : new_socket(sockets_before, open_sockets());
    Login l{dsn, user, {}, Clock::now(), socket};
    if (hash_password(password, &l.password) != 0) return;  // never kept then
    pool().logins[s->handle] = std::move(l);
}

bool pool_keep(svr_session *s) {
    auto login = pool().logins.find(s->handle);
    if (login == pool().logins.end()) return false;
    Login l = login->second;
    pool().logins.erase(login);
    if (!pool_enabled() || (s->dialect != Dialect::PostgreSQL && s->dialect != Dialect::MariaDB))
        return false;
    if (outlived(l)) {
        svr_trace(s, "db_server_disconnect(older than pool_lifetime: not kept)\n");
        return false;
    }
    std::string root = get_registry_value("DB_ROOT", kRootKey);
    if (root.empty()) return false;
    pool_release();  // one kept connection a gateway
    UniqueFd slot(take_holder_slot(root, pool_max()));
    if (!slot.valid()) {
        svr_trace(s, "db_server_disconnect(pool_max connections kept: not kept)\n");
        return false;
    }
    s->tables.reset();
    if (!reset_connection(s)) {
        svr_trace(s, "db_server_disconnect(reset failed: not kept)\n");
        return false;
    }
    s->kept = true;
    s->clear_error();
    pool().logins[s->handle] = std::move(l);
    pool().kept = s;
    pool().checked = false;
    pool().slot = std::move(slot);
    dqp::trace("[pool]", "data-source connection kept for the next session");
    return true;
}

svr_session *pool_take(const std::string &dsn, const std::string &user,
                       const std::string &password) {
    svr_session *s = matching_kept(dsn, user, password);
    if (s == nullptr) return nullptr;
    if (!pool().checked && !usable(s)) {
        pool_release();
        return nullptr;
    }
    s->kept = false;
    pool().kept = nullptr;
    pool().checked = false;
    pool().slot.reset();  // no longer kept: its place is free
    return s;
}

int pool_check(const std::string &dsn, const std::string &user, const std::string &password) {
    svr_session *s = matching_kept(dsn, user, password);
    if (s == nullptr) return -1;
    if (!usable(s)) {
        dqp::trace("[pool]", "the kept data-source connection is gone or too old: dropped");
        pool_release();
        return -1;
    }
    pool().checked = true;
    return 0;
}

bool pool_holding() {
    return pool().kept != nullptr;
}

std::string pool_kept_key() {
    const Login *l = kept_login();
    return l == nullptr ? "" : handover_key(l->dsn, l->user);
}

void pool_release() {
    svr_session *s = pool().kept;
    if (s == nullptr) return;
    pool().kept = nullptr;
    pool().checked = false;
    pool().slot.reset();
    pool().logins.erase(s->handle);
    SQLDisconnect(s->hdbc);
    s->connected = false;
    free_session(s->handle);  // frees the connection and environment handles
}

}  // namespace vnx
