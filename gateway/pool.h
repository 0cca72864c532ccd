// Keeping a session's data-source connection for the next session (ODBServer
// "pool", off by default).
//
// At a successful CONNECT the pool remembers the session's data source and
// user and a salted SHA-256 of its password (never the password). At
// DISCONNECT a session of PostgreSQL, or of MariaDB when its driver resets
// connections, may be kept instead of disconnected: its cursors and
// statements are already gone and its transaction rolled back; the pool
// resets what the data source holds for the session (PostgreSQL DISCARD
// ALL, MariaDB SQL_ATTR_RESET_CONNECTION) and leaves the connection in
// autocommit. A kept session is invisible to requests (find_session does
// not see it) until a CONNECT naming the same data source, user and
// password takes it; before it is handed out it must answer a query within
// kCheckBoundMs (the wait is bounded on the connection's socket, which the
// pool tells at connect), and it is neither kept nor handed out once it has
// lived "pool_lifetime" since its connect. One session is kept at a time;
// a kept connection that fails a check is disconnected. Everything here
// runs on the gateway's ODBC thread.
#pragma once

#include <string>
#include <vector>

#include "transport/socket_deadline.h"

namespace vnx {

struct svr_session;

// ODBServer "pool", "pool_idle" (seconds, 1 to 86400, default 60),
// "pool_max" (0 to 1000, default 8) and "pool_lifetime" (seconds since the
// connect, 0 to 31536000, default 3600, 0 for no limit), read when asked.
bool pool_enabled();
int pool_idle_seconds();
int pool_max();
int pool_lifetime_seconds();
// How long to hold the kept connection, in milliseconds: "pool_idle", or
// less when its lifetime ends sooner.
int pool_hold_ms();

// After a successful connect with "pool" on: remembers the login of s, the
// time, and the connection's socket (the one socket open now that was not
// in sockets_before, taken with open_sockets() just before the connect; an
// empty one means none was taken, and the connection's check is then
// unbounded).
void pool_note_login(const svr_session *s, const std::string &dsn, const std::string &user,
                     const std::string &password, const std::vector<SocketId> &sockets_before);
// At DISCONNECT, after the rollback: true when s is now kept (reset, still
// connected, hidden from requests); false when the caller must disconnect
// it as before (pool off, a data source that is never kept, over
// "pool_max", a failed reset).
bool pool_keep(svr_session *s);
// At CONNECT: the kept session when its data source, user and password are
// these and it answers a query (it is then visible again, in the driver's
// autocommit); null otherwise. A kept connection that fails its check is
// disconnected and forgotten.
svr_session *pool_take(const std::string &dsn, const std::string &user,
                       const std::string &password);
// Whether a session is kept, and the handover key of its login ("" none).
bool pool_holding();
std::string pool_kept_key();
// A check of an offered login: 0 when the kept session would be taken by
// a CONNECT with it (the check of pool_take, which the CONNECT then skips),
// -1 otherwise.
int pool_check(const std::string &dsn, const std::string &user, const std::string &password);
// Disconnects and frees the kept session, if any.
void pool_release();

// The salted hash of a password, and its comparison in constant time:
// exposed for tests.
struct PasswordHash {
    unsigned char salt[16] = {};
    unsigned char digest[32] = {};
};
[[nodiscard]] int hash_password(const std::string &password, PasswordHash *out);
bool password_matches(const PasswordHash &h, const std::string &password);

}  // namespace vnx
