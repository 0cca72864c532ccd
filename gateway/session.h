// The gateway's session operations: START and STOP, and the ODBC session of
// the client: CONNECT, DISCONNECT, ATTACH, DETACH, COMMIT and ROLLBACK.
//
// CONNECT makes an `svr_session` (svr_session.h) and answers its handle; a
// failed connect still answers a handle (the error handle) that serves only
// MAPERROR. At connect the driver's autocommit is switched off, so that
// COMMIT and ROLLBACK mean what they say, unless ODBServer "autocommit" is
// "true". A successful DISCONNECT releases every cursor and cached statement,
// rolls back, frees the session and sends "RemUser" to the master.
#pragma once

#include <cstdint>

namespace vnx {

// START: records the user name and port, sends the "AddUser" notice to the
// master (unless NetServer "dqp_protocol" is "decnet") and answers with the
// process id in *result. Always 0: a master that cannot be reached does not
// stop the session.
int db_server_start(int32_t *result, const char *server, const char *user, const char *password,
                    const char *options, int port);
// STOP and ABORT: the loop ends after it. 0.
int db_server_stop(int32_t *result);

// CONNECT: 0 and the new handle in *handle_out; on failure the failing ODBC
// code (or -1), *handle_out 0 and the failed session's handle in *error_handle.
// `options` (argument 0) may hold the word dqp::kLongTextOption: long
// character values then travel inline (protocol/long_text.h); any other
// word, such as the server type name older clients send, is ignored.
int db_server_connect(int32_t *handle_out, const char *options, const char *user,
                      const char *password, const char *dsn, int32_t *error_handle, int port);
// DISCONNECT: 0, the failing ODBC code, or -1 for a handle that is not live.
int db_server_disconnect(int32_t handle);
// ATTACH and DETACH: 0, status 0, for a live handle; -1 otherwise.
int db_server_attach(int32_t handle, const char *database, int shared, int32_t *status);
int db_server_detach(int32_t handle, int32_t *status);
// COMMIT and ROLLBACK: 0 (savepoints forgotten, lock mode reset), or the
// failing ODBC code, also written to *status.
int db_server_commit(int32_t handle, int32_t *status);
int db_server_rollback(int32_t handle, int32_t *status);

// The connection-reuse hooks of this backend (runtime/handover.h, pool.h),
// for set_pool_hooks.
struct PoolHooks;
const PoolHooks *odb_pool_hooks();

}  // namespace vnx
