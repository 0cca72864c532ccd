// The entry of a gateway process: settings, log, attaching the one client
// and the request loop. The master's parent mode is not entered here: the
// master program runs its port server itself (master/master.h).
#pragma once

#include <string>

#include "runtime/backend.h"

namespace vnx {

// name given: child mode; argv[1] is the port (read only when argc is 2;
// otherwise the port is -1, and attaching fails). While the request loop
// runs, the client's connection is watched for its hang-up and its cancel
// requests (client_watch.h). Returns -1 when attaching the client fails or
// no name is given, 0 after the request loop ended and the client was
// detached.
int dqp_server(const char *name, int argc, char **argv, const BackendOps *ops);

// The gateway's answers that need no serving: "--help" (or "-h") and
// "--version" as its only argument print the usage or the version line on
// standard output. Returns the exit code (0) when it answered, -1 when the
// arguments are for serving. Touches no store, socket or log.
int gateway_answer_only(int argc, char **argv);

// Gateway program entry: joins the arguments after the program's own name
// with blanks, splits the text at its last blank into program path and port,
// and runs dqp_server(name, 2, {path, port}, ops). Returns the process exit
// code: 0 after gateway_answer_only answered, -1 when the text has no blank,
// otherwise 1.
int gateway_main(int argc, char **argv, const char *name, const BackendOps *ops);

}  // namespace vnx
