// The master's side of the runtime: the port-server thread's entry.
#pragma once

#include <string>

namespace vnx {

// The port-server thread: finds DB_ROOT, claims the base port, terminates the gateways that an
// earlier run's users.db still lists, recreates users.db, records this host
// as "DQP_MASTERHOST" for the gateways' session notices, deletes the old logs
// and runs the port server (dqp_server in parent mode). Returns only when the
// port server cannot start, with the exit code the process should end with
// (-1 for a missing DB_ROOT, else what the runtime returned).
int port_server_thread();

// The host name recorded for the gateways: this host's name when it resolves
// here, else "localhost".
std::string master_host_name();

}  // namespace vnx
