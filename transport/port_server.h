// The master's port server: the listener on the base port. Each connection
// carries one short request and gets one answer:
//   "?" + command       text query ("?Active" -> "0", others -> "-1")
//   "0..." (a frame)    packet query: "Active", "AddUser", "RemUser", "GetUser"
//   anything else       a server type name ("odb"): start "<DB_ROOT>/<name>server"
//                       on the lowest free port and answer that port
// Text answers are decimal digits without terminator; the connection is then
// closed. Entered through tcp_accept with a port below 1, in the master only.
//
// The port table (one entry per port above the base port, holding the pid of
// the gateway that serves it), the port bounds and the server log belong to
// the port-server thread. Children are reaped here: a gateway that exits frees
// its port and its session record at once, whether or not it said "RemUser".
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace vnx {

inline constexpr int PORT_TABLE_SIZE = 200;

// Lets this process run the port server (the master calls it at start-up); a
// gateway never becomes a port server, whatever its command line says.
void enable_port_server();

// How fatal start-up errors reach the user (message boxes in the console,
// standard error headless). Icons: 0 error, 1 warning.
using FatalReporter = void (*)(const char *caption, const char *text, int icon);
void set_fatal_reporter(FatalReporter reporter);
void report_fatal(const char *caption, const char *text, int icon);

// Claims the base port: reads the port bounds and binds and listens on the
// base port. 0, or -1 when the base port is not configured or taken (another
// master is running), reported through report_fatal. A master claims its port
// before it touches users.db, so a second master never disturbs the first.
int port_server_listen();

// Environment variable through which the master tells the gateways it starts
// the port its port server listens on, for their session notices.
inline constexpr const char *kMasterPortEnv = "VNX_MASTER_PORT";

// Runs the port server (claiming the base port first if that was not done);
// returns -1 only when it cannot start.
int port_server_run(const char *server_name);

// Port bounds and table (tests and the console read them).
int port_server_baseport();
int port_server_maxport();
pid_t port_table_entry(int port);

// Lowest free port above the base port, or -1 (port bounds as configured).
int allocate_port();

// Sets the bounds and clears the table (start-up; tests).
void port_table_reset(int baseport, int maxport);

// Records pid as the gateway serving port (0 frees it); ports outside
// baseport + 1 ... maxport - 1 are ignored.
void port_table_assign(int port, pid_t pid);

// Terminates (SIGTERM) every gateway that the port table holds, and one that
// is just starting: the master ends its children when it stops.
void terminate_port_table_children();

// The base port from the services entry "db_dqpbase"/"tcp", else the root
// value "DB_DQPBASE"; 0 when neither gives a port number (1..65335).
int configured_base_port();
// The upper bound from "db_dqpmax"/"tcp", else baseport + 101; capped at
// baseport + 200 (cap_max_port).
int configured_max_port(int baseport);
int cap_max_port(int baseport, int maxport);

// Request parsing, free of sockets (also fuzzed):
// Reply text of a text query ("?Active" -> "0").
std::string text_query_reply(const char *request);
// True when name is a server type name: 1 to 8 letters, digits or "_".
bool valid_server_type(const std::string &name);
// Answers a packet query frame of flen bytes; local says whether the peer is
// an address of this host. Builds the framed reply into *reply. -1 when the
// frame or the packet is malformed (the connection is then closed).
int answer_packet_query(const char *frame, size_t flen, bool local, std::string *reply);

// Marks a port free because its gateway ended; frees its session record.
void release_gateway(pid_t pid);

}  // namespace vnx
