// The master's port server. See port_server.h.
//
// Notes:
// - One thread. It blocks only in poll (listener, wake-up descriptor,
//   signalfds, a directory watch for the spares' handshake files, and every
//   request connection that has not yet sent its whole request) and, while a
//   gateway starts for a request that found no ready spare, in
//   wait_for_child, which the wake-up descriptor also interrupts.
// - Request connections are non-blocking and read as their bytes arrive, each
//   into its own buffer with one deadline for the whole request: an idle or
//   trickling client costs a poll slot, never the loop's time.
// - Files shared with other processes: users.db (the console reads it),
//   gateways.pid (the next master reads it), the handshake files (written by
//   the gateways), the configuration store.
// - Children: SIGCHLD arrives through the signalfd and the loop reaps at
//   once; a gateway that has exited frees its port and its session record.
//   A stop ends every gateway, including one that is still starting.
// - TLS: the first byte of a request connection decides (the TLS record byte
//   starts a handshake, anything else is a plain request). The handshake is
//   run step by step as the socket becomes readable or writable, inside the
//   request's deadline, so a client that stalls in it delays nobody. Under
//   "require" a plain connection passes only as a session notice of this
//   host's own gateways (checked by process as ever).
#include "master/port_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <vector>

#include "master/gateway_pids.h"
#include "master/master.h"
#include "master/master_log.h"
#include "master/peer_process.h"
#include "master/port_stats.h"
#include "master/service_notify.h"
#include "master/session_registry.h"
#include "master/spawn.h"
#include "protocol/frame_reader.h"
#include "protocol/packet.h"
#include "protocol/port_query_packet.h"
#include "protocol/rle.h"
#include "protocol/server_log.h"
#include "protocol/socket_io.h"
#include "protocol/tls_channel.h"
#include "protocol/trace.h"
#include "support/config_cache.h"
#include "support/refusal_log.h"
#include "support/settings_catalog.h"
#include "support/settings_snapshot.h"
#include "support/tls_config.h"
#include "support/unique_fd.h"
#include "transport/gateway_channel.h"
#include "transport/tcp.h"

namespace vnx {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kTag = "[tcp_accept]";
constexpr const char *kProduct = "Tavorin 8.0 Varnex";
constexpr const char *kFatalCaption = "Varnex Fatal Error";
// A whole request (server name, text query or packet query) must arrive
// within this time of its connection.
constexpr int kRequestDeadlineMs = 2000;
// Connections waiting for their request; beyond this the oldest is dropped.
constexpr size_t kMaxPending = 512;
// New connections taken per wake-up before the others get their turn.
constexpr int kAcceptBurst = 64;
// Unread request bytes discarded before a close, so the close is a FIN (the
// answer reaches the client) rather than a reset.
constexpr size_t kDrainMax = 65536;
// A port whose gateway could not listen is set aside for this long.
constexpr int kUnusableSeconds = 60;
// Ports tried for one server request when gateways fail to listen.
constexpr int kMaxPortTries = 3;
// Pause before starting another spare after one failed to start.
constexpr int kSpareBackoffMs = 1000;
// A spare's replacement starts once the client of the spare handed out has
// started its session, or this long after the hand-out: starting a process
// blocks this thread for a moment, which would otherwise fall on that
// client's START (its gateway's "AddUser" waits for the answer). Waiting
// longer (until after the client's CONNECT, say) leaves a client that opens
// sessions one after another without a ready spare.
constexpr int kReplaceDelayMs = 20;
constexpr int kMaxSpares = 16;
// Longest sleep of the loop; every time limit it keeps is checked this often.
constexpr int kIdleWakeMs = 1000;
constexpr int kListenBacklog = 100;
// The server type whose gateways are kept warm.
constexpr const char *kSpareType = "odb";
// After accept() ran out of descriptors, the listener rests this long (its
// backlog waits) instead of waking the loop at once again.
constexpr int kAcceptPauseMs = 100;

// One port of the table.
struct PortEntry {
    pid_t pid = 0;               // the gateway serving it; 0 free
    bool spare = false;          // a warm spare not handed out yet
    bool ready = false;          // the spare listens
    bool claim_pending = false;  // handed out; its session has not started
    bool handed = false;         // handed to a client by a server request
    bool ending = false;         // ended by a stopping master before its client came
    bool idle = false;           // between clients, holding a kept data-source connection
    IpAddress client;            // the address of that client (when handed)
    Clock::time_point claim_by{};
    Clock::time_point unusable_until{};  // set aside until then
};

// How far a request connection has settled plain or TLS.
enum class Wire { Unknown, Handshaking, Tls, Plain };

// A connection whose request has not fully arrived.
struct Pending {
    Pending() = default;
    Pending(const Pending &) = delete;
    Pending &operator=(const Pending &) = delete;
    // Frees the TLS session with the connection (a socket moved on to a
    // server request is freed there).
    ~Pending() {
        if (sock.valid()) dqp::channel_detach(sock.get());
    }
    UniqueFd sock;
    sockaddr_storage peer{};
    IpAddress client;           // the peer's address
    bool notices_only = false;  // outside "allow": only session notices pass
    Clock::time_point deadline;
    dqp::FrameReader reader{dqp::PKT_MAX_SIZE};  // request bytes read so far
    bool packet_query = false;                   // the request is a framed packet query
    Wire wire = Wire::Unknown;
    bool want_write = false;    // the TLS handshake waits for room to write
    bool tls_required = false;  // plain under "require": only session notices pass
};

enum class Step { Wait, Done };

struct PortServerState {
    int listener = -1;
    int stop_signals = -1;   // signalfd of SIGTERM and SIGINT (-1: not blocked here)
    int hup_signals = -1;    // signalfd of SIGHUP (reload)
    int child_signals = -1;  // signalfd of SIGCHLD
    PortSource base;
    int rcvbuf = 0, sndbuf = 0;  // the listener's, for the start-up log lines
    pid_t starting = 0;          // gateway started for a request, not yet in the table
    int baseport = 0;
    int maxport = 0;
    std::array<PortEntry, PORT_TABLE_SIZE> table{};
    std::vector<std::unique_ptr<Pending>> pending;
    int spares_wanted = 0;
    int claim_seconds = 60;
    bool claims_on = true;  // off when gateways send no session notices
    ListenAddress listen;   // where the listener and the gateways listen
    AllowList allow;
    int max_pending_per_host = 8;  // 0: no cap
    int max_per_host = 0;          // 0: no cap
    RefusalLog refusals;
    // The master's end of each gateway's channel (gateway_channel.h), by pid:
    // open from its start until it reports its client accepted or is reaped.
    std::map<pid_t, UniqueFd> channels;
    Clock::time_point accept_paused_until{};  // see kAcceptPauseMs
    Clock::time_point spare_backoff_until{};
    Clock::time_point replace_after{};  // see kReplaceDelayMs
    std::string root;
    TlsServerSettings tls;  // NetServer TLS values in use
    SslCtxPtr tls_ctx;      // their context; null while TLS is off
    std::string tls_print;  // tls_fingerprint of what the spares started with
    UniqueFd tls_material;  // the texts of tls_ctx, sealed, for new gateways
    bool pids_changed = false;
    PortServerSettings applied;  // as read at start-up or the last reload
    ValueList gateway_values;    // the ODBServer values the spares started with
    int shutdown_grace = 0;      // seconds a SIGTERM waits for live sessions
    bool draining = false;       // stopping: new requests refused, sessions left to end
    Clock::time_point drain_until{};
    Clock::time_point request_arrived{};  // the server request being served
};

PortServerState &state() {
    static PortServerState s;
    return s;
}

// The wake-up descriptor and the stop flag: written from any thread (and from
// signal handlers), read by the port-server thread.
std::atomic<int> g_wake_fd{-1};
std::atomic<bool> g_stop{false};

int wake_fd() {
    int fd = g_wake_fd.load();
    if (fd >= 0) return fd;
    int made = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (made < 0) return -1;
    if (!g_wake_fd.compare_exchange_strong(fd, made)) {
        close(made);
        return fd;
    }
    return made;
}

// Index of port in the table, or -1 outside baseport + 1 ... maxport - 1.
int table_index(int port) {
    PortServerState &s = state();
    int i = port - s.baseport;
    if (i < 1 || port >= s.maxport || i >= PORT_TABLE_SIZE) return -1;
    return i;
}

int port_of_index(int i) {
    return state().baseport + i;
}

// Reads and discards what the client sent beyond its request, then closes.
void close_request(UniqueFd &sock) {
    char sink[4096];
    size_t drained = 0;
    while (drained < kDrainMax) {
        ssize_t n = recv(sock.get(), sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
    }
    shutdown(sock.get(), SHUT_RD);
    dqp::channel_detach(sock.get());
    sock.reset();
}

void send_answer(UniqueFd &sock, const char *data, size_t n) {
    char sink[512];
    while (recv(sock.get(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    long sent = dqp::channel_send(sock.get(), data, n);
    (void)sent;  // a client that went away has no answer to miss
    close_request(sock);
}

// Sends a decimal text answer in one call and closes.
void reply_number(UniqueFd &sock, int number) {
    char text[16];
    int n = snprintf(text, sizeof text, "%d", number);
    send_answer(sock, text, static_cast<size_t>(n));
}

// Answers a server request with its gateway's port, and counts how long the
// request waited for it.
void answer_port(UniqueFd &sock, int port, bool from_spare) {
    reply_number(sock, port);
    port_stats_port_answered(Clock::now() - state().request_arrived, from_spare);
}

// True when addr is an address of this host (loopback or a local interface,
// IPv4 or IPv6).
bool is_local_address(const IpAddress &addr) {
    if (addr.is_loopback()) return true;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool local = false;
    for (ifaddrs *i = list; i != nullptr && !local; i = i->ifa_next) {
        IpAddress a;
        local = ip_address_of(i->ifa_addr, sizeof(sockaddr_storage), &a) && a == addr;
    }
    freeifaddrs(list);
    return local;
}

// Reports a refusal of client as an event, at most once a minute per
// address.
void log_refusal(const IpAddress &client, const char *what) {
    if (!state().refusals.due(client, Clock::now())) return;
    master_event("request from %s refused: %s (logged once a minute per address)",
                 format_ip_address(client).c_str(), what);
}

// Builds, frames and records a one-field reply packet.
void build_query_reply(int type, int32_t code, const std::string &field, std::string *reply) {
    std::string pkt;
    if (dqp::build_port_reply(type, code, field, &pkt, reply) != 0) {
        reply->clear();
        return;
    }
    if (dqp::tracing()) {
        char msg[96];
        snprintf(msg, sizeof msg, "packet sent - compressed=%zu, uncompressed=%zu", reply->size(),
                 pkt.size());
        dqp::trace_packet(pkt.c_str(), pkt.size(), "[port_query]", msg);
    }
}

// Session notice fields: 1 type field, 2 user name, 3 port, 4 GID, 5 UID.
struct Notice {
    std::string type_field, name;
    int port = 0, gid = -1, uid = -1;
};

Notice read_notice(const std::string &pkt) {
    Notice n;
    n.type_field = dqp::arg_string(pkt.c_str(), pkt.size(), 1);
    n.name = dqp::arg_string(pkt.c_str(), pkt.size(), 2);
    n.port = atoi(dqp::arg_string(pkt.c_str(), pkt.size(), 3).c_str());
    n.gid = atoi(dqp::arg_string(pkt.c_str(), pkt.size(), 4).c_str());
    n.uid = atoi(dqp::arg_string(pkt.c_str(), pkt.size(), 5).c_str());
    return n;
}

// The client address in a notice's type field (the type code, upper-case
// letters, then the address); false when it is not a whole address (a long
// IPv6 address cut to fit).
bool notice_address(const std::string &type_field, IpAddress *out) {
    size_t code = 0;
    while (code < type_field.size() && type_field[code] >= 'A' && type_field[code] <= 'Z')
        code++;
    return parse_ip_address(std::string_view(type_field).substr(code), out);
}

// "AddUser": one record per gateway (a repeated notice replaces the earlier
// record), so live records never outnumber the table's entries. A gateway
// that was idle between clients now serves the client the notice names.
int add_user(const Notice &n, PortEntry &entry) {
    if (entry.idle) {
        entry.idle = false;
        IpAddress client;
        if (notice_address(n.type_field, &client)) entry.client = client;
    }
    release_session_process(entry.pid);
    if (entry.claim_pending) state().replace_after = Clock::time_point{};
    entry.claim_pending = false;
    return register_session(n.name, entry.pid, n.port, n.gid, n.uid, n.type_field);
}

// "RemUser": the session ends. The port stays with the gateway until it
// exits and is reaped, so it never goes to a newcomer while still bound.
int rem_user(const Notice &n, PortEntry &entry) {
    return unregister_session(n.name, entry.pid, n.port, n.gid, n.uid, n.type_field);
}

// "IdleUser": the gateway's client has gone and the gateway stays, holding
// its data-source connection for another client: until its next "AddUser"
// it counts for no client address (live sessions, "max_per_host").
int idle_user(PortEntry &entry) {
    entry.idle = true;
    return 0;
}

// Packet-query commands: {name, handler} rows ending in a null row.
using QueryHandler = void (*)(const std::string &pkt, const QuerySender &from, std::string *reply);

void query_active(const std::string &, const QuerySender &, std::string *reply) {
    dqp::trace(kTag, "Port server request : Active");
    build_query_reply('Y', 0, "0", reply);
}

void refuse_notice(const char *command, const char *why, std::string *reply) {
    dqp::tracef(kTag, "Port server request : %s %s refused", command, why);
    build_query_reply('N', -1, "-1", reply);
}

// A notice counts only from the gateway that the table holds for its port.
void query_notice(const std::string &pkt, const QuerySender &from, std::string *reply) {
    std::string command = dqp::arg_string(pkt.c_str(), pkt.size(), 0);
    if (!from.local) return refuse_notice(command.c_str(), "from a remote address", reply);
    Notice n = read_notice(pkt);
    int i = table_index(n.port);
    if (i < 0 || state().table[i].pid <= 0)
        return refuse_notice(command.c_str(), "for a port without a gateway", reply);
    PortEntry &entry = state().table[i];
    if (!from.is_process || !from.is_process(entry.pid))
        return refuse_notice(command.c_str(), "not from the gateway on that port", reply);
    const bool adding = command == "AddUser";
    int rc = adding                  ? add_user(n, entry)
             : command == "IdleUser" ? idle_user(entry)
                                     : rem_user(n, entry);
    if (adding) port_stats_session_started();
    build_query_reply('Y', rc, std::to_string(rc), reply);
}

void query_get_user(const std::string &pkt, const QuerySender &, std::string *reply) {
    std::string line;
    int rc = list_session(atoi(dqp::arg_string(pkt.c_str(), pkt.size(), 1).c_str()), &line);
    build_query_reply('Y', rc, line, reply);
}

PortTableView table_view();

// "Stats": the counters since the start and what the table holds now.
void query_stats(const std::string &, const QuerySender &, std::string *reply) {
    build_query_reply(
        'Y', 0, port_stats_text(port_stats(), table_view(), dqp::PORT_REPLY_FIELD_MAX), reply);
}

struct QueryCommand {
    const char *name;
    QueryHandler handler;
};

constexpr QueryCommand kQueryCommands[] = {
    {"Active", query_active},   {"AddUser", query_notice},   {"RemUser", query_notice},
    {"IdleUser", query_notice}, {"GetUser", query_get_user}, {"Stats", query_stats},
    {nullptr, nullptr},
};

// Every gateway pid this master runs, for gateways.pid.
std::vector<pid_t> running_gateways() {
    std::vector<pid_t> pids;
    for (const PortEntry &e : state().table)
        if (e.pid > 0) pids.push_back(e.pid);
    if (state().starting > 0) pids.push_back(state().starting);
    return pids;
}

void record_gateways() {
    state().pids_changed = false;
    if (write_gateway_pids(gateway_pid_path(), running_gateways()) != 0)
        dqp::trace(kTag, "cannot write gateways.pid");
}

// Ends the gateway that is starting (a stop came while it started).
void end_starting_gateway() {
    if (pid_t pid = state().starting; pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    state().starting = 0;
}

void set_port_aside(int port, const char *why) {
    int i = table_index(port);
    if (i < 0) return;
    state().table[i].unusable_until = Clock::now() + std::chrono::seconds(kUnusableSeconds);
    dqp::tracef(kTag, "port %d set aside for %d s: %s", port, kUnusableSeconds, why);
}

// Starts a gateway on port with a channel to it; its pid, or -1 (logged as
// spawn_server logs).
pid_t start_gateway(const std::string &command, int port) {
    UniqueFd ours, theirs;
    if (gateway_channel_pair(&ours, &theirs) != 0) {
        dqp::tracef(kTag, "spawn_server(%s) failed", strerror(errno));
        return -1;
    }
    pid_t pid = spawn_server(command, port, theirs.get(), state().tls_material.get());
    if (pid > 0) state().channels[pid] = std::move(ours);
    return pid;
}

// Tells a gateway the address of the client its port goes to, before that
// client hears the port: it serves that address and nobody else. False when
// the gateway cannot be told (it has gone); true also for a gateway without
// a channel (none this master started).
bool tell_gateway(pid_t pid, const IpAddress &client) {
    auto it = state().channels.find(pid);
    return it == state().channels.end() ||
           channel_send(it->second.get(), kChannelClient, client) == 0;
}

// Takes a spare that cannot be told its client out of the pool and ends it;
// its port returns when it is reaped.
void retire_untold_spare(int port, pid_t pid) {
    int i = table_index(port);
    if (i >= 0) state().table[i].spare = false;
    kill(pid, SIGTERM);
    master_event("warm spare %d on port %d ended: it could not be told its client",
                 static_cast<int>(pid), port);
}

// The master's side of the gateways' channels: each refusal a gateway
// reports is logged (once a minute per address, with the base port's); a
// channel whose gateway has closed it (its client came) or gone is closed.
void read_gateway_reports() {
    auto &channels = state().channels;
    for (auto it = channels.begin(); it != channels.end();) {
        char kind = 0;
        IpAddress peer;
        int rc;
        while ((rc = channel_receive(it->second.get(), &kind, &peer)) > 0)
            if (kind == kChannelRefused)
                log_refusal(peer, "connected to a gateway port that was not handed to it");
        it = rc < 0 ? channels.erase(it) : std::next(it);
    }
}

// Hands a gateway's port to a client: the claim clock starts now, and the
// gateway counts against the client's address until it exits.
void hand_out(int port, pid_t pid, const IpAddress &client) {
    int i = table_index(port);
    if (i < 0) return;
    PortEntry &e = state().table[i];
    e.pid = pid;
    e.spare = e.ready = false;
    e.claim_pending = state().claims_on;
    e.claim_by = Clock::now() + std::chrono::seconds(state().claim_seconds);
    e.handed = true;
    e.client = client;
}

// The gateways handed to one client address: all of them, and those whose
// session has not started.
struct HostHold {
    int unclaimed = 0;
    int all = 0;
};

HostHold gateways_of(const IpAddress &client) {
    HostHold h;
    for (const PortEntry &e : state().table) {
        if (e.pid <= 0 || !e.handed || e.idle || e.client != client) continue;
        h.all++;
        if (e.claim_pending) h.unclaimed++;
    }
    return h;
}

// How a child ended, for its event: "exit status 0", "signal 15".
std::string exit_text(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// Reports a reaped gateway (with the port it held, when the table has it).
void report_reaped(pid_t pid, int status) {
    for (int i = 1; i < PORT_TABLE_SIZE; i++) {
        if (state().table[i].pid != pid) continue;
        master_event("gateway %d on port %d ended (%s)", static_cast<int>(pid), port_of_index(i),
                     exit_text(status).c_str());
        return;
    }
    master_event("gateway %d ended (%s)", static_cast<int>(pid), exit_text(status).c_str());
}

// Reaps every gateway that has exited and frees what it held.
void reap_children() {
    pid_t pid;
    int status;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        report_reaped(pid, status);
        release_gateway(pid);
    }
}

// The lowest ready spare's port, or -1.
int ready_spare_port() {
    PortServerState &s = state();
    for (int i = 1; i < PORT_TABLE_SIZE; i++)
        if (s.table[i].pid > 0 && s.table[i].spare && s.table[i].ready) return port_of_index(i);
    return -1;
}

// Answers with a ready spare's port; false when there is none.
bool serve_from_spare(UniqueFd &sock, const IpAddress &client) {
    reap_children();  // a spare that died a moment ago is not handed out
    int port;
    pid_t pid;
    for (;;) {
        if ((port = ready_spare_port()) < 0) return false;
        pid = port_table_entry(port);
        if (tell_gateway(pid, client)) break;
        retire_untold_spare(port, pid);
    }
    hand_out(port, pid, client);
    state().replace_after = Clock::now() + std::chrono::milliseconds(kReplaceDelayMs);
    dqp::tracef(kTag, "warm spare %d on port %d handed out", static_cast<int>(pid), port);
    answer_port(sock, port, true);
    return true;
}

// The lowest spare that is still starting: its table index, or -1.
int starting_spare_index() {
    for (int i = 1; i < PORT_TABLE_SIZE; i++) {
        const PortEntry &e = state().table[i];
        if (e.pid > 0 && e.spare && !e.ready) return i;
    }
    return -1;
}

// A spare that is starting has a head start on a gateway started now: waits
// for it and hands it out. False when there is none or it failed (the
// request is then served by a gateway of its own); true when answered or the
// master is stopping (the socket is then closed).
bool serve_from_starting_spare(UniqueFd &sock, const IpAddress &client) {
    int i = starting_spare_index();
    if (i < 0) return false;
    int port = port_of_index(i);
    pid_t pid = state().table[i].pid;
    int ready = wait_for_child(port, pid, {wake_fd(), state().stop_signals});
    if (ready == -2) {
        close_request(sock);
        return true;
    }
    if (ready == 0 && !tell_gateway(pid, client)) ready = -1;
    if (ready == 0) {
        state().table[i].ready = true;
        hand_out(port, pid, client);
        state().replace_after = Clock::now() + std::chrono::milliseconds(kReplaceDelayMs);
        dqp::tracef(kTag, "warm spare %d on port %d handed out as it started",
                    static_cast<int>(pid), port);
        answer_port(sock, port, true);
        return true;
    }
    if (kill(pid, 0) == 0) kill(pid, SIGTERM);  // did not listen in time
    release_gateway(pid);                       // reaped by the wait, or soon by the loop
    return false;
}

// Starts a gateway on one port and waits until it listens: 0 ready, -1 the
// gateway did not listen in time or could not start (answered), -2 stopping,
// 1 it exited first (the port is set aside; try another).
int start_for_request(UniqueFd &sock, const std::string &name, int port, const IpAddress &client) {
    std::string command = state().root + "/" + name + "server " + std::to_string(port);
    dqp::tracef(kTag, "spawning server process - %s", command.c_str());
    pid_t pid = start_gateway(command, port);
    if (pid > 0 && !tell_gateway(pid, client)) {  // it knows its client from the start
        kill(pid, SIGTERM);
        pid = -1;
    }
    if (pid <= 0) {
        close_request(sock);
        dqp::trace(kTag, "spawn_server() failed");
        port_stats_spawn_failed();
        if (pid != kSpawnRefused) master_event("cannot start a gateway: %s", command.c_str());
        return -1;
    }
    state().starting = pid;
    record_gateways();
    int ready = wait_for_child(port, pid, {wake_fd(), state().stop_signals});
    if (ready == -2) return -2;  // the loop ends this gateway with the others
    state().starting = 0;
    if (ready != 0) state().pids_changed = true;
    if (ready == 0) {  // the pid moves into the table: gateways.pid stays as it is
        port_table_assign(port, pid);
        hand_out(port, pid, client);
        return 0;
    }
    if (kill(pid, 0) == 0) {  // still running: it did not listen in time
        kill(pid, SIGTERM);
        dqp::tracef(kTag, "spawning of server process - %s failed", command.c_str());
        port_stats_spawn_failed();
        master_event("gateway %d on port %d did not listen in time and was ended",
                     static_cast<int>(pid), port);
        reply_number(sock, -1);
        return -1;
    }
    set_port_aside(port, "its gateway exited before it listened");
    port_stats_spawn_failed();
    master_event("gateway %d on port %d exited before it listened", static_cast<int>(pid), port);
    return 1;
}

// Starts a gateway for one client and answers it. The socket is closed here.
// A client at its cap gets -1 before anything starts or a spare goes.
void serve_server_request(UniqueFd sock, const std::string &name, const IpAddress &client) {
    if (state().draining) {
        dqp::trace(kTag, "server request answered -1: the master is stopping");
        port_stats_refused_stopping();
        reply_number(sock, -1);
        return;
    }
    if (const char *cap = host_cap_refusal(client)) {
        char what[96];
        snprintf(what, sizeof what, "server request answered -1: the address holds its limit of %s",
                 cap);
        log_refusal(client, what);
        port_stats_refused_cap();
        reply_number(sock, -1);
        return;
    }
    if (name == kSpareType &&
        (serve_from_spare(sock, client) || serve_from_starting_spare(sock, client)))
        return;
    for (int attempt = 0; attempt < kMaxPortTries; attempt++) {
        int port = allocate_port();
        dqp::tracef(kTag, "new port address = %d", port);
        if (port < 0) {
            dqp::tracef(kTag, "no more ports available, maxport=%d", state().maxport);
            close_request(sock);
            return;
        }
        dqp::tracef(kTag, "allocated port %d, baseport=%d", port, state().baseport);
        int rc = start_for_request(sock, name, port, client);
        if (rc == -2) {
            close_request(sock);
            return;
        }
        if (rc < 0) return;
        if (rc == 0) {
            dqp::trace(kTag, "spawned server process ok");
            dqp::tracef(kTag, "master process port_table[%d] = %d", port - state().baseport,
                        static_cast<int>(port_table_entry(port)));
            dqp::tracef(kTag, "sending port id of %d to client", port);
            answer_port(sock, port, false);
            dqp::trace(kTag, "sent to client ok");
            return;
        }
    }
    dqp::tracef(kTag, "no gateway could listen on %d ports in a row", kMaxPortTries);
    reply_number(sock, -1);
}

// Answers a packet query that arrived whole. The socket is closed here.
void serve_packet_query(Pending &p, std::string_view frame) {
    QuerySender from;
    from.local = is_local_address(p.client);
    from.notices_only = p.notices_only;
    from.tls_required = p.tls_required;
    int fd = p.sock.get();
    from.is_process = [fd](pid_t pid) { return peer_is_process(fd, pid); };
    std::string reply;
    if (answer_packet_query(frame.data(), frame.size(), from, &reply) != 0 || reply.empty()) {
        dqp::trace(kTag, "malformed port server query, connection closed");
        p.sock.reset();
        return;
    }
    send_answer(p.sock, reply.data(), reply.size());
}

// The first bytes: a server type name or text query is served from what the
// first receive brought (at most 8 bytes are looked at); a leading "0" starts
// a packet query's frame, read on by continue_packet.
Step first_receive(Pending &p) {
    int rc = p.reader.fill(p.sock.get(), 1);
    if (rc == dqp::FRAME_WAIT) return Step::Wait;
    if (rc != dqp::FRAME_READY) {
        dqp::trace(kTag, "couldn't read required server name");
        return Step::Done;
    }
    std::string_view got = p.reader.buffered();
    char head[9] = {};
    size_t n = std::min<size_t>(got.size(), 8);
    std::memcpy(head, got.data(), n);
    if (head[0] == '0') {
        p.packet_query = true;
        return Step::Wait;
    }
    if (p.notices_only) {
        log_refusal(p.client, p.tls_required ? "a plain request while NetServer \"tls\" is require"
                                             : "not in PortServer \"allow\"");
        if (!p.tls_required) port_stats_refused_allow();
        return Step::Done;
    }
    if (head[0] == '?') {
        std::string answer = text_query_reply(head);
        send_answer(p.sock, answer.data(), answer.size());
        return Step::Done;
    }
    std::string name = server_request_name(head, n);
    if (name.empty()) {
        dqp::trace(kTag, "invalid server type name refused, connection closed");
        return Step::Done;
    }
    state().request_arrived = p.deadline - std::chrono::milliseconds(kRequestDeadlineMs);
    serve_server_request(std::move(p.sock), name, p.client);
    return Step::Done;
}

// Reads the rest of a packet query as far as it has arrived.
Step continue_packet(Pending &p) {
    std::string_view frame;
    int rc = p.reader.next_frame(p.sock.get(), dqp::PKT_MAX_SIZE, &frame);
    if (rc == dqp::FRAME_WAIT) return Step::Wait;
    if (rc != dqp::FRAME_READY) {
        dqp::trace(kTag, "invalid port server query, connection closed");
        return Step::Done;
    }
    serve_packet_query(p, frame);
    return Step::Done;
}

// A plain connection while TLS is required: this host's own addresses may
// still send session notices (checked by process); anyone else is closed.
Step plain_under_require(Pending &p) {
    p.tls_required = true;
    if (is_local_address(p.client)) {
        p.notices_only = true;
        return Step::Wait;
    }
    log_refusal(p.client, "a plain request while NetServer \"tls\" is require");
    return Step::Done;
}

// The first byte settles plain or TLS; a TLS handshake is then moved on as
// far as the socket allows. Wait with p.wire Plain or Tls: the request may be
// read; Wait otherwise: the socket must become ready (p.want_write says for
// what); Done: the connection is to be closed (logged).
Step settle_wire(Pending &p) {
    int fd = p.sock.get();
    if (p.wire == Wire::Unknown) {
        unsigned char first = 0;
        int rc = dqp::peek_first_byte(fd, &first);
        if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Step::Wait;
        if (rc <= 0) {
            dqp::trace(kTag, "couldn't read required server name");
            return Step::Done;
        }
        if (first != dqp::kTlsRecordByte) {
            p.wire = Wire::Plain;
            return state().tls.mode == TlsServerMode::Require ? plain_under_require(p) : Step::Wait;
        }
        if (state().tls_ctx == nullptr) {
            log_refusal(p.client, "a TLS handshake while NetServer \"tls\" is off");
            return Step::Done;
        }
        std::string why;
        ssl_st *ssl = dqp::tls_new_session(state().tls_ctx.get(), fd, true, &why);
        if (ssl == nullptr || dqp::channel_attach(fd, ssl) != 0) {
            dqp::tracef(kTag, "TLS session refused: %s", why.c_str());
            return Step::Done;
        }
        p.wire = Wire::Handshaking;
    }
    std::string why;
    int rc = dqp::tls_handshake_step(fd, &p.want_write, &why);
    if (rc == dqp::TLS_WANT) return Step::Wait;
    p.want_write = false;
    if (rc == dqp::TLS_FAILED) {
        log_refusal(p.client, ("TLS handshake failed: " + why).c_str());
        return Step::Done;
    }
    p.wire = Wire::Tls;
    return Step::Wait;
}

// Moves one request on with what has arrived.
Step advance(Pending &p) {
    if (p.wire == Wire::Unknown || p.wire == Wire::Handshaking) {
        Step step = settle_wire(p);
        if (step == Step::Done || p.wire == Wire::Unknown || p.wire == Wire::Handshaking)
            return step;
    }
    if (!p.packet_query) {
        Step step = first_receive(p);
        if (step == Step::Done || !p.packet_query) return step;
    }
    return continue_packet(p);
}

// The loop's seam: a request that fails with an exception (out of memory)
// is dropped, and the port server goes on with the next.
Step advance_safely(Pending &p) {
    try {
        return advance(p);
    } catch (const std::exception &e) {
        dqp::tracef(kTag, "request dropped: %s", e.what());
        return Step::Done;
    }
}

// Drops the oldest waiting connection of client (the list is in arrival
// order).
void drop_oldest_of(const IpAddress &client) {
    auto &pending = state().pending;
    auto it = std::find_if(pending.begin(), pending.end(),
                           [&client](const auto &p) { return p->client == client; });
    if (it != pending.end()) pending.erase(it);
}

// The address with the most waiting connections.
IpAddress busiest_client() {
    std::map<IpAddress, int> counts;
    IpAddress busiest;
    int most = 0;
    for (const auto &p : state().pending) {
        int n = ++counts[p->client];
        if (n > most) {
            most = n;
            busiest = p->client;
        }
    }
    return busiest;
}

// Keeps a connection until its request has arrived. One address keeps at
// most kMaxPendingPerHost (its oldest goes); when every slot is taken, the
// oldest connection of the address holding the most goes, so that a client
// flooding from a few addresses pushes out its own connections, not others'.
void add_pending(std::unique_ptr<Pending> p) {
    auto &pending = state().pending;
    auto same = std::count_if(pending.begin(), pending.end(),
                              [&p](const auto &q) { return q->client == p->client; });
    if (same >= kMaxPendingPerHost) {
        log_refusal(p->client,
                    "too many unfinished requests from the address: its oldest is dropped");
        drop_oldest_of(p->client);
    } else if (pending.size() >= kMaxPending) {
        dqp::trace(kTag,
                   "too many unfinished requests: the oldest of the busiest address is dropped");
        drop_oldest_of(busiest_client());
    }
    pending.push_back(std::move(p));
}

// Reads the client's address and checks it against "allow": true when its
// request may be read. A client outside the list is closed at once, unless
// it is on this host: then it may still send session notices.
bool admit(Pending &p, socklen_t plen) {
    if (!ip_address_of(reinterpret_cast<sockaddr *>(&p.peer), plen, &p.client)) return false;
    if (state().allow.allows(p.client)) return true;
    if (is_local_address(p.client)) {
        p.notices_only = true;
        return true;
    }
    log_refusal(p.client, "not in PortServer \"allow\"");
    port_stats_refused_allow();
    return false;
}

// accept() failed: out of descriptors rests the listener a moment (the
// pending requests' deadlines free some), anything else is logged.
void accept_failed(int err) {
    if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
        state().accept_paused_until = Clock::now() + std::chrono::milliseconds(kAcceptPauseMs);
        dqp::tracef(kTag, "accept() failed - (ERRNO=%d): new connections wait %d ms", err,
                    kAcceptPauseMs);
    } else if (err != EINTR && err != EAGAIN && err != EWOULDBLOCK) {
        dqp::tracef(kTag, "accept() failed - (ERRNO=%d)", err);
    }
}

// Takes the connections waiting on the listener and serves those whose
// request is already there.
void accept_new(int listener) {
    for (int k = 0; k < kAcceptBurst && !g_stop.load(); k++) {
        auto p = std::make_unique<Pending>();
        socklen_t plen = sizeof p->peer;
        p->sock.reset(accept4(listener, reinterpret_cast<sockaddr *>(&p->peer), &plen,
                              SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!p->sock.valid()) {
            accept_failed(errno);
            return;
        }
        dqp::trace(kTag, "client connection request received");
        dqp::channel_forget(p->sock.get());
        if (!admit(*p, plen)) continue;  // closed here, nothing read
        p->deadline = Clock::now() + std::chrono::milliseconds(kRequestDeadlineMs);
        if (advance_safely(*p) == Step::Wait) add_pending(std::move(p));
    }
}

// Serves the pending requests that poll found readable (revents run parallel
// to the pending list from index `first`), then drops the expired ones.
void serve_pending(const std::vector<pollfd> &fds, size_t first) {
    auto &pending = state().pending;
    size_t count = std::min(pending.size(), fds.size() - first);
    for (size_t i = 0; i < count && !g_stop.load(); i++) {
        if (!pending[i]->sock.valid()) continue;
        // Bytes the TLS layer has already decrypted show in no poll.
        if (fds[first + i].revents == 0 && dqp::channel_pending(pending[i]->sock.get()) == 0)
            continue;
        if (advance_safely(*pending[i]) == Step::Done) pending[i]->sock.reset();
    }
    Clock::time_point now = Clock::now();
    std::erase_if(pending, [now](const std::unique_ptr<Pending> &p) {
        if (!p->sock.valid()) return true;
        if (now < p->deadline) return false;
        dqp::tracef(kTag, "request not complete within %d ms, connection closed",
                    kRequestDeadlineMs);
        return true;
    });
}

// Ends the gateways handed out whose session did not start in time.
void end_unclaimed() {
    Clock::time_point now = Clock::now();
    for (int i = 1; i < PORT_TABLE_SIZE; i++) {
        PortEntry &e = state().table[i];
        if (e.pid <= 0 || !e.claim_pending || now < e.claim_by) continue;
        e.claim_pending = false;
        e.ending = true;  // no live session while it exits, neither to a drain nor to "Stats"
        port_stats_claim_timed_out();
        master_event("gateway %d on port %d ended: its client started no session within %d s",
                     static_cast<int>(e.pid), port_of_index(i), state().claim_seconds);
        kill(e.pid, SIGTERM);
    }
}

int count_spares() {
    int n = 0;
    for (const PortEntry &e : state().table)
        if (e.pid > 0 && e.spare) n++;
    return n;
}

// Starts spares until as many as configured are running or starting.
void replenish_spares() {
    PortServerState &s = state();
    Clock::time_point now = Clock::now();
    if (s.spares_wanted <= 0 || g_stop.load() || s.draining || now < s.spare_backoff_until ||
        now < s.replace_after)
        return;
    for (int have = count_spares(); have < s.spares_wanted; have++) {
        int port = allocate_port();
        if (port < 0) return;
        std::string command = s.root + "/" + kSpareType + "server " + std::to_string(port);
        pid_t pid = start_gateway(command, port);
        if (pid <= 0) {
            s.spare_backoff_until = Clock::now() + std::chrono::milliseconds(kSpareBackoffMs);
            port_stats_spawn_failed();
            if (pid != kSpawnRefused)
                master_event("cannot start a warm spare: %s (next try in %d ms)", command.c_str(),
                             kSpareBackoffMs);
            return;
        }
        PortEntry &e = s.table[table_index(port)];
        e.pid = pid;
        e.spare = true;
        e.ready = false;
        e.claim_pending = false;
        s.pids_changed = true;
        dqp::tracef(kTag, "warm spare %d starting on port %d", static_cast<int>(pid), port);
    }
}

// Marks the spares whose gateway now listens.
void check_starting_spares() {
    for (int i = 1; i < PORT_TABLE_SIZE; i++) {
        PortEntry &e = state().table[i];
        if (e.pid > 0 && e.spare && !e.ready && take_ready_signal(port_of_index(i))) e.ready = true;
    }
}

// Milliseconds until the next time limit the loop keeps (at most kIdleWakeMs).
int next_wake_ms() {
    PortServerState &s = state();
    Clock::time_point now = Clock::now();
    Clock::time_point next = now + std::chrono::milliseconds(kIdleWakeMs);
    for (const auto &p : s.pending)
        next = std::min(next, dqp::channel_pending(p->sock.get()) > 0 ? now : p->deadline);
    for (const PortEntry &e : s.table)
        if (e.pid > 0 && e.claim_pending) next = std::min(next, e.claim_by);
    if (s.spares_wanted > 0 && s.spare_backoff_until > now)
        next = std::min(next, s.spare_backoff_until);
    if (s.spares_wanted > 0 && s.replace_after > now) next = std::min(next, s.replace_after);
    if (s.draining) next = std::min(next, s.drain_until);
    if (s.accept_paused_until > now) next = std::min(next, s.accept_paused_until);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::clamp<long long>(ms + 1, 0, kIdleWakeMs));
}

// Opens the listener on the base port; the socket, -1 when the port is
// taken (another master), -2 when it cannot listen there for another reason
// (reported).
int open_listener() {
    const char *stage = "";
    UniqueFd sock(tcp_bind(state().listen, state().baseport, &stage));
    if (!sock.valid() && strcmp(stage, "bind") == 0 && errno == EADDRINUSE) {
        const char *text = "The Tavorin 8.0 Varnex is already running.";
        dqp::trace(kTag, text);
        report_fatal(kProduct, text, 1);
        return -1;
    }
    if (!sock.valid() && strcmp(stage, "socket") != 0) {
        std::string text = "Cannot listen on " + state().listen.text + " port " +
                           std::to_string(state().baseport) +
                           " (PortServer \"listen\"): " + strerror(errno);
        dqp::trace(kTag, text.c_str());
        report_fatal(kFatalCaption, text.c_str(), 0);
        return -2;
    }
    if (!sock.valid() || listen(sock.get(), kListenBacklog) != 0) {
        char text[96];
        snprintf(text, sizeof text, "%s() failed - (ERRNO=%d)", sock.valid() ? "listen" : "socket",
                 errno);
        dqp::trace(kTag, text);
        report_fatal(kFatalCaption, text, 0);
        return -2;
    }
    fcntl(sock.get(), F_SETFL, fcntl(sock.get(), F_GETFL) | O_NONBLOCK);
    socklen_t len = sizeof(int);
    getsockopt(sock.get(), SOL_SOCKET, SO_RCVBUF, &state().rcvbuf, &len);
    len = sizeof(int);
    getsockopt(sock.get(), SOL_SOCKET, SO_SNDBUF, &state().sndbuf, &len);
    return sock.release();
}

// A signalfd for `signals`, or -1 when SIGCHLD is not blocked in this thread
// (the loop then reaps on a timer and stops only through port_server_stop).
int open_signal_fd(std::initializer_list<int> signals) {
    sigset_t wanted, blocked;
    sigemptyset(&wanted);
    for (int sig : signals)
        sigaddset(&wanted, sig);
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    if (sigismember(&blocked, SIGCHLD) != 1) return -1;
    return signalfd(-1, &wanted, SFD_CLOEXEC | SFD_NONBLOCK);
}

// Drains a signalfd or inotify descriptor; true when anything was read.
bool drain_fd(int fd) {
    bool any = false;
    char buf[4096];
    while (fd >= 0 && read(fd, buf, sizeof buf) > 0)
        any = true;
    return any;
}

// A watch on the current directory, where the spares' handshake files
// appear; -1 without inotify (the loop then looks every kIdleWakeMs).
int open_directory_watch() {
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd >= 0 && inotify_add_watch(fd, ".", IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// A PortServer text value ("" when absent).
std::string config_text(const ValueList &values, const char *name) {
    for (const auto &[vname, data] : values)
        if (vname == name) return data;
    return "";
}

// Ends every gateway this master knows: those users.db lists, those the port
// table holds (also spares and gateways whose client never started a
// session) and one that is starting.
void end_gateways() {
    terminate_sessions();
    for (const PortEntry &e : state().table)
        if (e.pid > 0) kill(e.pid, SIGTERM);
    end_starting_gateway();
    reap_children();
    for (auto &p : state().pending)
        p->sock.reset();
    state().pending.clear();
}

// The settings a reload can change, as "name value" texts in a fixed order.
std::vector<std::pair<const char *, std::string>> reloadable(const PortServerSettings &p) {
    const std::string &allow = p.allow_text;
    return {{"spares", std::to_string(p.spares)},
            {"claim_timeout", std::to_string(p.claim_seconds)},
            {"allow", allow.empty() ? "(everyone)" : allow},
            {"max_pending_per_host", std::to_string(p.max_pending_per_host)},
            {"max_per_host", std::to_string(p.max_per_host)},
            {"shutdown_grace", std::to_string(p.shutdown_grace)},
            {"logging", p.logging},
            {"logfile", p.logfile}};
}

ValueList gateway_values() {
    return load_registry_key(std::string(kRootKey) + "\\ODBServer");
}

// Ends the spares no client holds yet, so that the ones started in their
// place read the settings as they are now. A retired spare is no spare any
// more: it is neither handed out nor counted, and its port returns when it
// is reaped.
int retire_spares() {
    int n = 0;
    for (PortEntry &e : state().table) {
        if (e.pid <= 0 || !e.spare) continue;
        e.spare = false;
        kill(e.pid, SIGTERM);
        n++;
    }
    return n;
}

// Opens the log again at the path it was opened on (SIGHUP after logrotate
// has renamed it): new lines go to a new file there, never to a numbered
// name. When that fails the file open before is kept.
void reopen_log_file() {
    if (dqp::reopen_log() < 0)
        master_event("cannot reopen the log %s: %s; writing on to the file open before",
                     dqp::log_path().c_str(), strerror(errno));
}

// Reads the NetServer TLS values and makes their context, and seals the
// texts it was made from for the gateways started from now on; in use from
// now on when it can be made, else -1 with *why (and a hint line) and
// nothing changed.
int load_tls_settings(std::string *why) {
    TlsServerSettings next;
    if (read_tls_settings(&next, why) != 0) return -1;
    SslCtxPtr ctx;
    UniqueFd sealed;
    if (next.mode != TlsServerMode::Off) {
        TlsMaterial material;
        std::string hint;
        if (read_tls_material(next, &material, why, &hint) == 0)
            ctx = make_server_context(next, material, why, &hint);
        if (ctx == nullptr || seal_tls_material(material, &sealed, why) != 0) {
            if (!hint.empty()) *why += "\nhint: " + hint;
            return -1;
        }
        warm_tls_context(ctx.get());
    }
    PortServerState &s = state();
    s.tls = next;
    s.tls_ctx = std::move(ctx);
    s.tls_print = tls_fingerprint(next);
    s.tls_material = std::move(sealed);
    // Gateways take these texts, not the files as they may be by then.
    if (s.tls_material.valid())
        setenv(kGatewayTlsEnv, std::to_string(kGatewayTlsFd).c_str(), 1);
    else
        unsetenv(kGatewayTlsEnv);
    return 0;
}

// Re-reads the NetServer TLS values and the files they name. A change loads
// a new context for new connections (open sessions keep theirs) and retires
// the spares, which loaded the old files; a context that cannot be made
// keeps the one in use, and the spares with it.
void reload_tls(std::string *changes) {
    PortServerState &s = state();
    TlsServerSettings next;
    std::string why;
    if (read_tls_settings(&next, &why) != 0) {
        master_event("TLS reload refused, the TLS settings in use are kept: %s", why.c_str());
        return;
    }
    if (tls_fingerprint(next) == s.tls_print) return;
    std::string before = tls_server_mode_name(s.tls.mode);
    if (load_tls_settings(&why) != 0) {
        master_event("TLS reload refused, the certificate in use is kept: %s", why.c_str());
        return;
    }
    *changes += std::string(changes->empty() ? "" : "; ") + "tls " + before + " -> " +
                tls_server_mode_name(s.tls.mode) + " (TLS settings or files changed)";
    retire_spares();
}

// Sets value `name` of `values` to `data`, replacing any spelling of it.
void put_value(ValueList *values, const char *name, const std::string &data) {
    std::erase_if(*values, [&](const auto &v) { return strcasecmp(v.first.c_str(), name) == 0; });
    values->push_back({name, data});
}

// Hands the checked values of `keys` to the gateways started from now on
// (settings_snapshot.h), the NetServer TLS values as in use: after a reload
// that could not load new TLS files, new gateways keep the settings, and the
// sealed texts, the master kept. 0, or -1 with *why.
int publish_gateway_settings(std::vector<SnapshotKey> keys, std::string *why) {
    const PortServerState &s = state();
    for (auto &[key, values] : keys) {
        if (key != "NetServer") continue;
        put_value(&values, "tls", tls_server_mode_name(s.tls.mode));
        put_value(&values, "tls_cert", s.tls.cert);
        put_value(&values, "tls_key", s.tls.key);
        put_value(&values, "tls_ca", s.tls.ca);
        put_value(&values, "tls_client_cert", s.tls.client_cert_required ? "require" : "off");
    }
    const std::string path = s.root + "/" + kSettingsSnapshotName;
    if (write_settings_snapshot(path, keys, why) != 0) return -1;
    ignore_settings_snapshot();  // the master itself reads the store
    // Set once: DB_ROOT, and so the path, stays until the master restarts.
    const char *set = getenv(kSettingsSnapshotEnv);
    if (set == nullptr || path != set) setenv(kSettingsSnapshotEnv, path.c_str(), 1);
    return 0;
}

// Re-reads the PortServer and ODBServer settings (SIGHUP). Sessions are left
// alone; a setting that cannot be used keeps every setting as it was.
void apply_reload() {
    PortServerState &s = state();
    if (std::string why; !recheck_installation(s.root, &why)) {
        master_event("reload refused, the settings in use are kept: %s", why.c_str());
        return;
    }
    PortServerSettings next = read_port_server_settings();
    if (!next.error.empty()) {
        reopen_log_file();
        master_event("reload refused, the settings in use are kept: %s", next.error.c_str());
        return;
    }
    next.root = s.root;  // DB_ROOT holds the running gateways: it changes at restart
    auto before = reloadable(s.applied), after = reloadable(next);
    std::string changes;
    for (size_t i = 0; i < before.size(); i++)
        if (before[i].second != after[i].second)
            changes += std::string(changes.empty() ? "" : "; ") + before[i].first + " " +
                       before[i].second + " -> " + after[i].second;
    bool log_changed = next.logging != s.applied.logging || next.logfile != s.applied.logfile;
    if (apply_port_server_settings(next) != 0) return;
    ValueList gateway_now = next.gateway_keys[1].second;  // ODBServer
    if (gateway_now != s.gateway_values) {
        changes += std::string(changes.empty() ? "" : "; ") + "ODBServer values changed";
        s.gateway_values = gateway_now;
        retire_spares();
    } else if (count_spares() > s.spares_wanted) {
        retire_spares();
    }
    reload_tls(&changes);
    std::string why;
    if (publish_gateway_settings(std::move(next.gateway_keys), &why) != 0)
        master_event("new gateways keep the settings accepted before: %s", why.c_str());
    if (log_changed) {
        dqp::close_log_stream();
        if (dqp::open_server_log(kPortServerKey, "portserver") == 0) port_server_log_startup();
    } else {
        reopen_log_file();
    }
    master_event("settings reloaded: %s", changes.empty() ? "nothing changed" : changes.c_str());
}

// SIGHUP: the service manager sees the reload begin and end, refused or not.
void reload_settings() {
    service_notify("RELOADING=1");
    apply_reload();
    service_notify("READY=1");
}

// Live sessions: gateways handed out whose client started its session.
int live_gateways() {
    int n = 0;
    for (const PortEntry &e : state().table)
        if (e.pid > 0 && e.handed && !e.claim_pending && !e.ending && !e.idle) n++;
    return n;
}

// What the table holds now, for the "Stats" query.
PortTableView table_view() {
    PortTableView v;
    v.spares_wanted = state().spares_wanted;
    std::map<IpAddress, int> by_host;
    for (const PortEntry &e : state().table) {
        if (e.pid <= 0) continue;
        if (e.spare) (e.ready ? v.spares_ready : v.spares_starting)++;
        if (e.handed && e.claim_pending) v.unclaimed++;
        if (e.handed && !e.claim_pending && !e.ending && !e.idle) by_host[e.client]++;
    }
    for (const auto &[host, n] : by_host) {
        v.live_by_host.emplace_back(format_ip_address(host), n);
        v.live += n;
    }
    std::stable_sort(v.live_by_host.begin(), v.live_by_host.end(),
                     [](const auto &a, const auto &b) { return a.second > b.second; });
    return v;
}

// SIGTERM with a grace period: new server requests are answered -1, spares
// and gateways no client has claimed end now, live sessions may finish until
// the period ends. True when draining began (false: stop at once).
bool begin_draining() {
    PortServerState &s = state();
    if (s.shutdown_grace <= 0 || s.draining) return false;
    s.draining = true;
    s.drain_until = Clock::now() + std::chrono::seconds(s.shutdown_grace);
    retire_spares();
    for (PortEntry &e : s.table)
        if (e.pid > 0 && e.claim_pending) {
            e.claim_pending = false;
            e.ending = true;
            kill(e.pid, SIGTERM);
        }
    int live = live_gateways();
    master_event(
        "stopping: new clients are refused; waiting up to %d s for %d live session%s to end",
        s.shutdown_grace, live, live == 1 ? "" : "s");
    return true;
}

// Reads a signalfd of stop signals: true when SIGINT was among them (stop at
// once), *any set when a signal was read.
bool read_stop_signals(int fd, bool *any) {
    bool interrupt = false;
    signalfd_siginfo info;
    while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        *any = true;
        if (info.ssi_signo == SIGINT) interrupt = true;
    }
    return interrupt;
}

// A stop signal arrived: SIGTERM drains when a grace period is set and none
// is running; SIGINT, a second SIGTERM or no grace period stop at once.
void on_stop_signal(int fd) {
    bool any = false;
    bool interrupt = read_stop_signals(fd, &any);
    if (!any) return;
    service_notify("STOPPING=1");
    if (interrupt || !begin_draining()) g_stop.store(true);
}

// Ends the drain once no live session is left or the grace period is over.
void check_drained() {
    PortServerState &s = state();
    if (!s.draining) return;
    int live = live_gateways();
    if (live == 0) {
        master_event("stopping: every session ended within the grace period");
        g_stop.store(true);
    } else if (Clock::now() >= s.drain_until) {
        master_event("stopping: grace period over, ending %d session%s still running", live,
                     live == 1 ? "" : "s");
        g_stop.store(true);
    }
}

// True once the port server serves as configured: it listens (it does before
// the loop starts) and its spares listen too, or starting them failed and it
// serves by starting gateways on request.
bool serving_as_configured() {
    PortServerState &s = state();
    if (s.spares_wanted <= 0 || Clock::now() < s.spare_backoff_until) return true;
    int ready = 0;
    for (const PortEntry &e : s.table)
        if (e.pid > 0 && e.spare && e.ready) ready++;
    return ready >= s.spares_wanted;
}

// Descriptors of one loop turn: the fixed ones, then one per pending request.
enum FixedFd { kListenerFd, kWakeFd, kStopFd, kChildFd, kWatchFd, kHupFd, kFixedFds };

void run_loop(int listener, int stop_fd, int child_fd, int watch_fd, int hup_fd) {
    std::vector<pollfd> fds;
    bool ready_sent = false;
    while (!g_stop.load()) {
        replenish_spares();
        if (state().pids_changed) record_gateways();
        bool resting = Clock::now() < state().accept_paused_until;
        fds.assign({{resting ? -1 : listener, POLLIN, 0},
                    {wake_fd(), POLLIN, 0},
                    {stop_fd, POLLIN, 0},
                    {child_fd, POLLIN, 0},
                    {watch_fd, POLLIN, 0},
                    {hup_fd, POLLIN, 0}});
        for (const auto &p : state().pending)
            fds.push_back({p->sock.get(), static_cast<short>(p->want_write ? POLLOUT : POLLIN), 0});
        int n = poll(fds.data(), fds.size(), next_wake_ms());
        if (n < 0 && errno != EINTR) dqp::tracef(kTag, "poll() failed - (ERRNO=%d)", errno);
        if ((fds[kStopFd].revents & POLLIN) != 0) on_stop_signal(stop_fd);
        if ((fds[kHupFd].revents & POLLIN) != 0 && drain_fd(hup_fd)) reload_settings();
        if ((fds[kChildFd].revents & POLLIN) != 0) drain_fd(child_fd);
        if ((fds[kWatchFd].revents & POLLIN) != 0) drain_fd(watch_fd);
        reap_children();
        read_gateway_reports();
        check_starting_spares();
        if (!ready_sent && serving_as_configured()) {
            service_notify("READY=1");
            ready_sent = true;
        }
        check_drained();
        if (g_stop.load()) break;
        serve_pending(fds, kFixedFds);
        if ((fds[kListenerFd].revents & POLLIN) != 0) accept_new(listener);
        end_unclaimed();
    }
}

}  // namespace

void block_master_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void port_server_stop() {
    g_stop.store(true);
    int fd = g_wake_fd.load();
    if (fd >= 0) {
        uint64_t one = 1;
        ssize_t w = write(fd, &one, sizeof one);
        (void)w;
    }
}

int port_server_baseport() {
    return state().baseport;
}
int port_server_maxport() {
    return state().maxport;
}
std::string port_server_listen_text() {
    return state().listen.text;
}

pid_t port_table_entry(int port) {
    int i = port - state().baseport;
    return (i >= 0 && i < PORT_TABLE_SIZE) ? state().table[i].pid : 0;
}

void port_table_reset(int baseport, int maxport) {
    state().baseport = baseport;
    state().maxport = maxport;
    state().table.fill(PortEntry{});
    state().channels.clear();
}

void port_table_assign(int port, pid_t pid) {
    int i = table_index(port);
    if (i < 0) return;
    PortEntry &e = state().table[i];
    e.pid = pid;
    e.spare = e.ready = e.claim_pending = e.handed = false;
    e.client = IpAddress{};
}

int allocate_port() {
    PortServerState &s = state();
    Clock::time_point now = Clock::now();
    int result = -1;
    for (int i = 1; i < s.maxport - s.baseport && i < PORT_TABLE_SIZE; i++) {
        const PortEntry &e = s.table[i];
        dqp::tracef("[allocate_port]", "port_table[%d] = %d", i, static_cast<int>(e.pid));
        if (e.pid == 0 && e.unusable_until <= now) {
            result = s.baseport + i;
            break;
        }
    }
    dqp::tracef("[allocate_port]", "new port address = %d", result);
    return result;
}

void port_table_set_aside(int port) {
    set_port_aside(port, "set aside by request");
}

void release_gateway(pid_t pid) {
    if (pid <= 0) return;
    PortServerState &s = state();
    for (int i = 1; i < PORT_TABLE_SIZE; i++) {
        PortEntry &e = s.table[i];
        if (e.pid != pid) continue;
        if (e.spare && !e.ready) {
            // A spare that exits before it listens most likely found its port
            // taken: set the port aside, and pause before the next spare.
            set_port_aside(port_of_index(i), "its warm spare exited before it listened");
            port_stats_spawn_failed();
            s.spare_backoff_until = Clock::now() + std::chrono::milliseconds(kSpareBackoffMs);
        }
        Clock::time_point aside = e.unusable_until;
        e = PortEntry{};
        e.unusable_until = aside;
        s.pids_changed = true;
    }
    s.channels.erase(pid);
    release_session_process(pid);
}

void port_table_set_spare(int port, pid_t pid, bool ready) {
    port_table_assign(port, pid);
    int i = table_index(port);
    if (i < 0) return;
    state().table[i].spare = true;
    state().table[i].ready = ready;
}

int take_spare_port(const IpAddress &client) {
    int port = ready_spare_port();
    if (port < 0 || !tell_gateway(port_table_entry(port), client)) return -1;
    hand_out(port, port_table_entry(port), client);
    return port;
}

const char *host_cap_refusal(const IpAddress &client) {
    const PortServerState &s = state();
    if (s.max_pending_per_host <= 0 && s.max_per_host <= 0) return nullptr;
    HostHold h = gateways_of(client);
    if (s.max_pending_per_host > 0 && h.unclaimed >= s.max_pending_per_host)
        return "unclaimed gateways (PortServer \"max_pending_per_host\")";
    if (s.max_per_host > 0 && h.all >= s.max_per_host)
        return "gateways (PortServer \"max_per_host\")";
    return nullptr;
}

std::string text_query_reply(const char *request) {
    std::string command(request + 1);
    size_t blank = command.find(' ');
    if (blank != std::string::npos) command.resize(blank);
    if (command == "Active") {
        dqp::trace(kTag, "Port server request : Active");
        return "0";
    }
    dqp::tracef(kTag, "Port server request : Command %s not found", command.c_str());
    return "-1";
}

bool valid_server_type(const std::string &name) {
    if (name.empty() || name.size() > 8) return false;
    for (char c : name)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

std::string server_request_name(const char *request, size_t n) {
    std::string name(request, strnlen(request, n));
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
        name.pop_back();
    return valid_server_type(name) ? name : std::string();
}

int answer_packet_query(const char *frame, size_t flen, const QuerySender &from,
                        std::string *reply) {
    std::string pkt;
    if (dqp::decode_port_packet(frame, flen, &pkt) != 0) return -1;
    if (dqp::tracing()) {
        char msg[96];
        snprintf(msg, sizeof msg, "packet received - compressed=%zu, uncompressed=%zu", flen,
                 pkt.size());
        dqp::trace_packet(pkt.c_str(), pkt.size(), "[port_query]", msg);
    }
    std::string command = dqp::arg_string(pkt.c_str(), pkt.size(), 0);
    if (from.notices_only && command != "AddUser" && command != "RemUser" &&
        command != "IdleUser") {
        dqp::tracef(kTag, "Port server request : %.40s refused: %s", command.c_str(),
                    from.tls_required ? "a plain request while NetServer \"tls\" is require"
                                      : "not in PortServer \"allow\"");
        if (!from.tls_required) port_stats_refused_allow();
        return -1;
    }
    for (const QueryCommand *c = kQueryCommands; c->name != nullptr; c++) {
        if (command == c->name) {
            c->handler(pkt, from, reply);
            return 0;
        }
    }
    char text[96];
    snprintf(text, sizeof text, "Port server request : Command %.40s not found", command.c_str());
    dqp::trace(kTag, text);
    build_query_reply('N', -1, text, reply);
    return 0;
}

int answer_packet_query(const char *frame, size_t flen, bool local, std::string *reply) {
    QuerySender from;
    from.local = local;
    return answer_packet_query(frame, flen, from, reply);
}

// The keys whose values the master and its gateways read: each is checked
// against the settings table at start and at reload, and all but the root
// key are handed to the gateways as checked (settings_snapshot.h).
constexpr const char *kCheckedKeys[] = {"", "PortServer", "ODBServer", "NetServer"};

PortServerSettings read_port_server_settings() {
    PortServerSettings out;
    for (const char *key : kCheckedKeys) {
        const std::string path = key[0] != '\0' ? std::string(kRootKey) + "\\" + key : kRootKey;
        ValueList values = load_registry_key(path);
        if (out.error.empty()) {
            const std::string why = stored_values_problem(key, values);
            if (!why.empty()) out.error = why + ".";
        }
        if (key[0] != '\0') out.gateway_keys.push_back({key, std::move(values)});
    }
    const ValueList &values = out.gateway_keys[0].second;  // PortServer
    out.spares = static_cast<int>(setting_number_in(values, "PortServer", "spares"));
    out.claim_seconds = static_cast<int>(setting_number_in(values, "PortServer", "claim_timeout"));
    out.max_pending_per_host =
        static_cast<int>(setting_number_in(values, "PortServer", "max_pending_per_host"));
    out.max_per_host = static_cast<int>(setting_number_in(values, "PortServer", "max_per_host"));
    out.shutdown_grace =
        static_cast<int>(setting_number_in(values, "PortServer", "shutdown_grace"));
    out.allow_text = config_text(values, "allow");
    out.logging = config_text(values, "logging");
    out.logfile = config_text(values, "logfile");
    // Gateways send no session notices under the "decnet" setting: a claim
    // could then never be seen, so none is required.
    out.claims_on = get_netserver_value("dqp_protocol") != "decnet";
    out.root = get_registry_value("DB_ROOT", kRootKey);
    // Both were checked above; a refused text leaves the defaults.
    std::string why, bad;
    if (parse_listen_address(config_text(values, "listen"), &out.listen, &why) != 0)
        (void)parse_listen_address("", &out.listen, &why);
    (void)parse_allow_list(out.allow_text, &out.allow, &bad);
    return out;
}

int apply_port_server_settings(const PortServerSettings &in) {
    if (!in.error.empty()) return -1;
    PortServerState &s = state();
    s.spares_wanted = in.spares;
    s.claim_seconds = in.claim_seconds;
    s.claims_on = in.claims_on;
    s.root = in.root;
    s.allow = in.allow;
    s.max_pending_per_host = in.max_pending_per_host;
    s.max_per_host = in.max_per_host;
    s.shutdown_grace = in.shutdown_grace;
    if (s.listener < 0)
        s.listen = in.listen;
    else if (in.listen.text != s.listen.text)
        dqp::tracef(kTag, "PortServer \"listen\" %s takes effect when the master restarts",
                    in.listen.text.c_str());
    s.applied = in;
    s.applied.listen = s.listen;
    return 0;
}

const char *port_server_tls_mode() {
    return tls_server_mode_name(state().tls.mode);
}

int port_server_listen() {
    if (state().listener >= 0) return 0;
    wake_fd();
    PortServerSettings settings = read_port_server_settings();
    if (apply_port_server_settings(settings) != 0) {
        report_fatal(kFatalCaption, settings.error.c_str(), 0);
        return -2;
    }
    std::string tls_why;
    if (load_tls_settings(&tls_why) != 0 ||
        publish_gateway_settings(std::move(settings.gateway_keys), &tls_why) != 0) {
        report_fatal(kFatalCaption, tls_why.c_str(), 0);
        return -2;
    }
    PortSource base = configured_base_port();
    if (base.port == 0) {
        report_fatal(kFatalCaption,
                     "The base port is not set: give DB_DQPBASE a port number "
                     "(vnxadmin reg set \"\" DB_DQPBASE 8000).",
                     0);
        return -2;
    }
    state().base = base;
    port_table_reset(base.port, configured_max_port(base.port));
    int listener = open_listener();
    if (listener < 0) return listener;
    state().listener = listener;
    // Gateways inherit the environment: their notices then reach this port
    // server even if the configured base port or address changes while it
    // runs, they listen where it does, and they need not look either up.
    setenv(kMasterPortEnv, std::to_string(base.port).c_str(), 1);
    setenv(kListenAddressEnv, state().listen.text.c_str(), 1);
    setenv(kGatewayChannelEnv, std::to_string(kGatewayChannelFd).c_str(), 1);
    return 0;
}

void port_server_log_startup() {
    PortServerState &s = state();
    dqp::trace(kTag, "Tavorin/DQP TCP/IP port server activated");
    dqp::tracef(kTag, "getservbyname(\"db_dqpbase\",\"tcp\") port=%d (from %s)", s.base.port,
                s.base.source.c_str());
    dqp::tracef(kTag, "socket buffer sizes - so_rcvbuf=%d, so_sndbuf=%d", s.rcvbuf, s.sndbuf);
    dqp::tracef(kTag, "warm spares=%d, claim_timeout=%d s", s.spares_wanted, s.claim_seconds);
    dqp::tracef(
        kTag, "listen=%s, allow: %s, max_pending_per_host=%d, max_per_host=%d (0: no limit)",
        s.listen.text.c_str(),
        s.allow.networks.empty() ? "everyone"
                                 : (std::to_string(s.allow.networks.size()) + " entries").c_str(),
        s.max_pending_per_host, s.max_per_host);
}

int port_server_run() {
    if (port_server_listen() != 0) return -1;
    port_stats_reset();
    UniqueFd stop_signals(open_signal_fd({SIGTERM, SIGINT}));
    UniqueFd hup_signals(open_signal_fd({SIGHUP}));
    UniqueFd child_signals(open_signal_fd({SIGCHLD}));
    UniqueFd watch(open_directory_watch());
    state().stop_signals = stop_signals.get();
    state().child_signals = child_signals.get();
    int listener = state().listener;
    state().gateway_values = gateway_values();
    run_loop(listener, stop_signals.get(), child_signals.get(), watch.get(), hup_signals.get());
    service_notify("STOPPING=1");  // also when the console's stop flow ended the loop
    dqp::trace(kTag, "port server stopping: ending every gateway");
    end_gateways();
    record_gateways();
    state().stop_signals = state().child_signals = -1;
    close(listener);
    state().listener = -1;
    return 0;
}

}  // namespace vnx
