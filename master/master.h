// The master's start-up and its port-server thread, and the hook through
// which fatal start-up errors reach the user (message boxes when the console
// runs, standard error headless). Only the master links this module.
#pragma once

#include <string>

namespace vnx {

// How fatal start-up errors reach the user. Icons: 0 error, 1 warning.
using FatalReporter = void (*)(const char *caption, const char *text, int icon);
void set_fatal_reporter(FatalReporter reporter);
void report_fatal(const char *caption, const char *text, int icon);

// The port-server thread: refuses to start when a user other than root or
// the master's own could change the configuration store (or its -wal, -shm
// and -journal files), DB_ROOT or DB_ROOT/odbserver (support/file_trust.h
// has the rules), finds DB_ROOT (and checks that it is a directory holding
// odbserver), claims the base port, terminates the gateways that an
// earlier run's users.db still lists, recreates users.db, records this host
// as "DQP_MASTERHOST" for the gateways' session notices, deletes the old
// logs, opens the port server's log and runs the port server until it is
// stopped (port_server_stop, SIGTERM, SIGINT), ending every gateway. Returns
// 0 after a stop, or the exit code the process should end with when the port
// server cannot start (-1).
int port_server_thread();

// Checks again, while the master runs (at a reload), what it checked at
// start. A configuration store that another user could have changed gives
// false with *refusal saying why: its settings must not be taken. Problems
// with DB_ROOT, the gateway program or the ODBC files are logged (the
// gateway program is also checked before every start, the ODBC files by
// every gateway); a DB_ROOT that others may read is logged as a warning.
[[nodiscard]] bool recheck_installation(const std::string &root, std::string *refusal);

// The host name recorded for the gateways: this host's name when it resolves
// here, else "localhost".
std::string master_host_name();

}  // namespace vnx
