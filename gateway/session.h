// The gateway's session operations: START and STOP (and, with the ODBC
// backend, CONNECT, DISCONNECT, ATTACH, DETACH, COMMIT, ROLLBACK).
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

}  // namespace vnx
