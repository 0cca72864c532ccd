// The master's port server: the listener on the base port. Each connection
// carries one short request and gets one answer:
//   "?" + command       text query ("?Active" -> "0", others -> "-1")
//   "0..." (a frame)    packet query: "Active", "AddUser", "RemUser", "GetUser"
//   anything else       a server type name ("odb"): start "<DB_ROOT>/<name>server"
//                       on the lowest free port and answer that port
// Text answers are decimal digits without terminator; the connection is then
// closed. Only the master links this module; its port-server thread runs it.
//
// The port table (one entry per port above the base port, holding the pid of
// the gateway that serves it), the port bounds and the server log belong to
// the port-server thread. That thread also owns the master's end: it waits on
// its listener, a wake-up descriptor (port_server_stop) and a signalfd for
// SIGCHLD, SIGTERM and SIGINT; a gateway that exits is reaped at once (its
// port and session record freed), and a stop ends every gateway before
// port_server_run returns. No other thread touches the table or terminates
// sessions.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "transport/ports.h"

namespace vnx {

// Claims the base port: reads the port bounds, binds and listens on the base
// port, and makes the wake-up descriptor. 0, or -1 when the base port is not
// configured or taken (another master is running), reported through
// report_fatal. Nothing is logged yet: the log opens later (see
// port_server_log_startup). A master claims its port before it touches
// users.db, so a second master never disturbs the first.
int port_server_listen();

// Writes the start-up lines to the (now open) server log: activation, the base
// port and where it came from, the listener's socket buffer sizes.
void port_server_log_startup();

// Runs the request loop until a stop (port_server_stop, SIGTERM or SIGINT
// while they are blocked in every thread), then terminates every gateway the
// session registry and the port table know, closes the listener and returns 0.
// Claims the base port first if that was not done; -1 when it cannot.
int port_server_run();

// Asks the port server to end (any thread; async-signal-safe). The loop ends
// its gateways and port_server_run returns. Also effective before the loop
// runs.
void port_server_stop();

// Signals the port-server thread takes through its signalfd. The master
// blocks them in every thread before it starts any (block_master_signals).
void block_master_signals();

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

// Request parsing, free of sockets (also fuzzed):
// Reply text of a text query ("?Active" -> "0").
std::string text_query_reply(const char *request);
// The server type name of a server request of n bytes: up to the first NUL,
// without a trailing CR/LF. Empty when it is not a valid name.
std::string server_request_name(const char *request, size_t n);
// True when name is a server type name: 1 to 8 letters, digits or "_".
bool valid_server_type(const std::string &name);
// Answers a packet query frame of flen bytes; local says whether the peer is
// an address of this host. Builds the framed reply into *reply. -1 when the
// frame or the packet is malformed (the connection is then closed).
int answer_packet_query(const char *frame, size_t flen, bool local, std::string *reply);

// Marks a port free because its gateway ended; frees its session record.
void release_gateway(pid_t pid);

}  // namespace vnx
