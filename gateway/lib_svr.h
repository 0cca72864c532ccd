// The ODBC gateway's backend: the operations that the request loop reaches
// through the backend operation table.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/backend.h"

namespace vnx {

// The gateway's operation table (slots it does not serve are null).
const BackendOps *odb_backend_ops();

// START: records the user name and port, sends the "AddUser" notice to the
// master (unless NetServer "dqp_protocol" is "decnet") and answers with the
// process id.
int db_server_start(int32_t *result, const char *user, const char *a1, const char *password,
                    const char *a5, int port);
// STOP and ABORT: ends the session; the loop ends after it.
int db_server_stop(int32_t *result);

// What START recorded (empty user and port 0 before START).
const std::string &gateway_user();
int gateway_port();

}  // namespace vnx
