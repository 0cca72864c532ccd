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
// Who may start gateways: the base port and every gateway listen on
// PortServer "listen" (default every IPv4 address; "::" every IPv6 and IPv4
// address; or one address). A client outside PortServer "allow" (addresses
// and CIDR networks; empty: everyone) is closed at once without an answer,
// logged once a minute per address; only the session notices of this host's
// own gateways pass whatever the list says (they are checked by process).
// Per client address, at most PortServer "max_pending_per_host" (default 8)
// gateways may be handed out and not yet claimed, and, when PortServer
// "max_per_host" is set, at most that many gateways held at all (claimed or
// not); a request beyond either is answered -1 at once, starting nothing and
// handing out no spare. A handed-out gateway counts against its client's
// address until it exits.
//
// Gateway ports: every gateway is started with a channel to the master
// (transport/gateway_channel.h). At hand-out the master tells the gateway
// the client's address before it answers the client, and the gateway
// serves only that address: a connection from anyone else is reset at once
// and the gateway listens on for its client; a warm spare nobody was handed
// serves nobody. So "allow" and the caps per address hold on the gateway
// ports too, and a stranger can neither use nor pin a spare. The gateways
// report the connections they refused; they are logged with the base
// port's refusals, once a minute per address. At most kMaxPendingPerHost request connections of
// one address wait for their request; beyond that its oldest is dropped, and
// when all 512 slots are taken, the oldest connection of the address with
// the most goes.
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
#include <vector>

#include "support/address_rules.h"
#include "support/settings_snapshot.h"
#include "transport/ports.h"

namespace vnx {

// Request connections of one client address that may wait for their request.
inline constexpr int kMaxPendingPerHost = 32;

// The PortServer settings (and the few others the port server reads), read
// in one place so that they can be read again while the master runs.
struct PortServerSettings {
    int spares = 1;                // "spares", 0 to 16
    int claim_seconds = 60;        // "claim_timeout", 1 to 86400
    bool claims_on = true;         // false under NetServer "dqp_protocol" "decnet"
    std::string root;              // DB_ROOT
    ListenAddress listen;          // "listen" (see parse_listen_address)
    AllowList allow;               // "allow"
    int max_pending_per_host = 8;  // "max_pending_per_host", 0 (no cap) to 200
    int max_per_host = 0;          // "max_per_host", 0 (no cap) to 200
    int shutdown_grace = 0;        // "shutdown_grace": seconds, 0 to 86400
    std::string allow_text;        // "allow" as written
    std::string logging, logfile;  // the port server's own log settings
    std::string error;             // why these cannot be used; empty when they can
    // The values of the keys the gateways read (PortServer, ODBServer,
    // NetServer), as read and checked here.
    std::vector<SnapshotKey> gateway_keys;
};

// Reads the settings from the configuration store and checks every value the
// master and its gateways read against the settings table: a value outside
// its type (a number out of range, a switch that is not one, a malformed
// "listen" address or "allow" entry ...) leaves a message naming it in .error.
PortServerSettings read_port_server_settings();

// Makes settings the port server's own. -1 (nothing changed) when
// settings.error is set. "listen" takes effect when the listener opens: a
// different address given while it is open is only logged.
int apply_port_server_settings(const PortServerSettings &settings);

// Claims the base port: reads and applies the settings, binds and listens on
// the base port at the "listen" address, and makes the wake-up descriptor.
// 0; -1 when the base port is taken (another master is running); -2 when the
// base port is not configured, a setting is malformed, or TLS is on and its
// certificate or key cannot be loaded (the text names the file). Each failure is
// reported through report_fatal. Nothing is logged yet: the log opens later (see
// port_server_log_startup). A master claims its port before it touches
// users.db, so a second master never disturbs the first.
[[nodiscard]] int port_server_listen();

// Writes the start-up lines to the (now open) server log: activation, the base
// port and where it came from, the listener's socket buffer sizes.
void port_server_log_startup();

// Runs the request loop until a stop (port_server_stop, SIGTERM or SIGINT
// while they are blocked in every thread), then terminates every gateway the
// session registry and the port table know, closes the listener and returns 0.
// With PortServer "shutdown_grace" set, SIGTERM first refuses new clients
// (server requests answered -1), ends spares and unclaimed gateways, and waits
// up to that many seconds for the live sessions to end; SIGINT or a second
// SIGTERM ends the wait. SIGHUP re-reads the PortServer and ODBServer settings
// (reload_settings in the source) and logs what changed; sessions stay, and
// the spares are replaced when the ODBServer values changed, or the NetServer
// TLS values or the files they name (a new certificate is loaded for new
// connections; one that cannot be loaded keeps the old, logged).
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
// The address the listener is bound to, as configured ("0.0.0.0" by default).
std::string port_server_listen_text();
// NetServer "tls" in use: "off", "allow" or "require".
const char *port_server_tls_mode();
pid_t port_table_entry(int port);

// Lowest free port above the base port that is not set aside, or -1 (port
// bounds as configured).
[[nodiscard]] int allocate_port();
// Sets port aside for a minute, as when its gateway could not listen.
void port_table_set_aside(int port);
// Records pid as a warm spare on port (ready: it listens).
void port_table_set_spare(int port, pid_t pid, bool ready);
// Hands the lowest ready spare to a client at `client` (it is told that
// address, its claim clock starts) and returns its port; -1 when no spare is
// ready or it cannot be told.
[[nodiscard]] int take_spare_port(const IpAddress &client = {});

// Why a server request from client must be answered -1 at once ("unclaimed
// gateways", "gateways": the cap it reached), or null when it may be served.
const char *host_cap_refusal(const IpAddress &client);

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
// notices_only: the sender is outside the allow list, so only "AddUser" and
// "RemUser" (checked by process) are answered; anything else is refused.
struct QuerySender {
    bool local = false;
    bool notices_only = false;
    bool tls_required = false;  // notices_only because TLS is required, not "allow"
    std::function<bool(pid_t)> is_process;
};
// Answers a packet query frame of flen bytes. Builds the framed reply into
// *reply. -1 when the frame or the packet is malformed, or the query is one
// a notices_only sender may not make (the connection is then closed).
[[nodiscard]] int answer_packet_query(const char *frame, size_t flen, const QuerySender &from,
                                      std::string *reply);
// The same for a sender known only by its address.
[[nodiscard]] int answer_packet_query(const char *frame, size_t flen, bool local,
                                      std::string *reply);

// Marks a port free because its gateway ended; frees its session record. A
// spare that ended before it listened sets its port aside.
void release_gateway(pid_t pid);

}  // namespace vnx
