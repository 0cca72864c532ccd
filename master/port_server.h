// The master's port server: the listener on the base port. Each connection
// carries one short request and gets one answer:
//   "?" + command       text query ("?Active" -> "0", others -> "-1")
//   "0..." (a frame)    packet query: "Active", "AddUser", "RemUser", "GetUser"
//   anything else       a server type name ("odb"): answer the port of a warm
//                       spare, or start "<DB_ROOT>/<name>server" on the lowest
//                       free port and answer that port
// Text answers are decimal digits without terminator; the connection is then
// closed (after reading what the client sent beyond its request, so the close
// never resets the answer away). A request must arrive whole within two
// seconds of its connection; requests are read side by side, so a slow or
// idle client delays nobody. Only the master links this module; its
// port-server thread runs it.
//
// Warm spares: PortServer "spares" (default 1, 0 to 16) gateways of type
// "odb" are kept started and listening, each on a port of the table. A server
// request for "odb" gets a ready spare's port at once; the replacement starts
// after the answer, once that client has started its session (or 20 ms
// later), so that starting it does not delay the client's START. Without a
// ready spare the request waits for a spare that is starting (it has a head
// start), else starts its own gateway and waits for it, as it would without
// spares.
//
// Claims: a gateway handed to a client whose session does not start ("AddUser"
// from that gateway) within PortServer "claim_timeout" seconds (default 60) is
// ended and its port freed. A gateway that exits before it listens sets its
// port aside for a minute; the request then tries the next free port (three
// ports at most). Session notices count only when they come from the process
// the table holds for the notice's port (see peer_process.h); others are
// answered "N", -1. Every gateway started is listed in gateways.pid (see
// gateway_pids.h) for a master that starts after this one was killed.
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
#include <functional>
#include <string>

#include "transport/ports.h"

namespace vnx {

// Claims the base port: reads the port bounds, binds and listens on the base
// port, and makes the wake-up descriptor. 0, or -1 when the base port is not
// configured or taken (another master is running), reported through
// report_fatal. Nothing is logged yet: the log opens later (see
// port_server_log_startup). A master claims its port before it touches
// users.db, so a second master never disturbs the first.
[[nodiscard]] int port_server_listen();

// Writes the start-up lines to the (now open) server log: activation, the base
// port and where it came from, the listener's socket buffer sizes.
void port_server_log_startup();

// Runs the request loop until a stop (port_server_stop, SIGTERM or SIGINT
// while they are blocked in every thread), then terminates every gateway the
// session registry and the port table know, closes the listener and returns 0.
// Claims the base port first if that was not done; -1 when it cannot.
[[nodiscard]] int port_server_run();

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

// Lowest free port above the base port that is not set aside, or -1 (port
// bounds as configured).
[[nodiscard]] int allocate_port();
// Sets port aside for a minute, as when its gateway could not listen.
void port_table_set_aside(int port);
// Records pid as a warm spare on port (ready: it listens).
void port_table_set_spare(int port, pid_t pid, bool ready);
// Hands the lowest ready spare to a client (its claim clock starts) and
// returns its port; -1 when no spare is ready.
[[nodiscard]] int take_spare_port();

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
// Who sent a packet query: whether from an address of this host, and a test
// whether a given process holds the sender's end of the connection (empty:
// no process is the sender, so every session notice is refused).
struct QuerySender {
    bool local = false;
    std::function<bool(pid_t)> is_process;
};
// Answers a packet query frame of flen bytes. Builds the framed reply into
// *reply. -1 when the frame or the packet is malformed (the connection is
// then closed).
[[nodiscard]] int answer_packet_query(const char *frame, size_t flen, const QuerySender &from,
                                      std::string *reply);
// The same for a sender known only by its address.
[[nodiscard]] int answer_packet_query(const char *frame, size_t flen, bool local,
                                      std::string *reply);

// Marks a port free because its gateway ended; frees its session record. A
// spare that ended before it listened sets its port aside.
void release_gateway(pid_t pid);

}  // namespace vnx
