// The master's port server. See port_server.h.
//
// Notes:
// - One thread. It blocks only in poll (listener, wake-up descriptor,
//   signalfd) and, while a gateway starts, in wait_for_child, which the
//   wake-up descriptor also interrupts. Every request socket gets a receive
//   time-out, so a client that connects and sends nothing is dropped after a
//   few seconds instead of freezing the master for everybody.
// - Files shared with other processes: users.db (the console reads it), the
//   handshake files (written by the gateways), the configuration store.
// - Children: SIGCHLD arrives through the signalfd and the loop reaps at
//   once; a gateway that has exited frees its port and its session record.
//   A stop ends every gateway, including one that is still starting.
#include "transport/port_server.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include "protocol/packet.h"
#include "protocol/port_query_packet.h"
#include "protocol/rle.h"
#include "protocol/socket_io.h"
#include "protocol/trace.h"
#include "support/config_cache.h"
#include "support/unique_fd.h"
#include "transport/master.h"
#include "transport/session_registry.h"
#include "transport/spawn.h"
#include "transport/tcp.h"

namespace vnx {

namespace {

constexpr const char *kTag = "[tcp_accept]";
constexpr const char *kProduct = "Tavorin 8.0 Varnex";
constexpr const char *kFatalCaption = "Varnex Fatal Error";
constexpr int kRequestTimeoutSeconds = 3;
// Fallback reaping interval, for a loop run without the signalfd.
constexpr int kIdleWakeMs = 1000;
constexpr int kListenBacklog = 100;

struct PortServerState {
    int listener = -1;
    int stop_signals = -1;   // signalfd of SIGTERM and SIGINT (-1: not blocked here)
    int child_signals = -1;  // signalfd of SIGCHLD
    PortSource base;
    int rcvbuf = 0, sndbuf = 0;  // the listener's, for the start-up log lines
    pid_t starting = 0;          // gateway started but not yet in the table
    int baseport = 0;
    int maxport = 0;
    std::array<pid_t, PORT_TABLE_SIZE> table{};
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

void close_request(UniqueFd &sock) {
    shutdown(sock.get(), SHUT_RD);
    sock.reset();
}

// Sends a decimal text answer in one call and closes.
void reply_number(UniqueFd &sock, int number) {
    char text[16];
    int n = snprintf(text, sizeof text, "%d", number);
    send(sock.get(), text, static_cast<size_t>(n), MSG_NOSIGNAL);
    close_request(sock);
}

// True when addr is an address of this host (loopback or a local interface).
bool is_local_address(const sockaddr_in &addr) {
    if ((ntohl(addr.sin_addr.s_addr) >> 24) == 127) return true;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool local = false;
    for (ifaddrs *i = list; i != nullptr && !local; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        local =
            reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr == addr.sin_addr.s_addr;
    }
    freeifaddrs(list);
    return local;
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

// The process that the table holds for a notice's port (0 outside the table).
pid_t notice_process(int port) {
    int i = table_index(port);
    return i < 0 ? 0 : state().table[i];
}

int add_user(const Notice &n) {
    return register_session(n.name, notice_process(n.port), n.port, n.gid, n.uid, n.type_field);
}

int rem_user(const Notice &n) {
    int rc = unregister_session(n.name, notice_process(n.port), n.port, n.gid, n.uid, n.type_field);
    port_table_assign(n.port, 0);
    return rc;
}

// Packet-query commands: {name, handler} rows ending in a null row.
using QueryHandler = void (*)(const std::string &pkt, bool local, std::string *reply);

void query_active(const std::string &, bool, std::string *reply) {
    dqp::trace(kTag, "Port server request : Active");
    build_query_reply('Y', 0, "0", reply);
}

void query_notice(const std::string &pkt, bool local, std::string *reply) {
    std::string command = dqp::arg_string(pkt.c_str(), pkt.size(), 0);
    if (!local) {
        dqp::tracef(kTag, "Port server request : %s from a remote address refused",
                    command.c_str());
        build_query_reply('N', -1, "-1", reply);
        return;
    }
    Notice n = read_notice(pkt);
    int rc = command == "AddUser" ? add_user(n) : rem_user(n);
    build_query_reply('Y', rc, std::to_string(rc), reply);
}

void query_get_user(const std::string &pkt, bool, std::string *reply) {
    std::string line;
    int rc = list_session(atoi(dqp::arg_string(pkt.c_str(), pkt.size(), 1).c_str()), &line);
    build_query_reply('Y', rc, line, reply);
}

struct QueryCommand {
    const char *name;
    QueryHandler handler;
};

constexpr QueryCommand kQueryCommands[] = {
    {"Active", query_active},    {"AddUser", query_notice}, {"RemUser", query_notice},
    {"GetUser", query_get_user}, {nullptr, nullptr},
};

// Ends the gateway that is starting (a stop came while it started).
void end_starting_gateway() {
    if (pid_t pid = state().starting; pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    state().starting = 0;
}

// Starts a gateway for one client and answers it. The socket is closed here.
void serve_server_request(UniqueFd sock, const std::string &name) {
    int port = allocate_port();
    dqp::tracef(kTag, "new port address = %d", port);
    if (port < 0) {
        sock.reset();
        dqp::tracef(kTag, "no more ports available, maxport=%d", state().maxport);
        return;
    }
    dqp::tracef(kTag, "allocated port %d, baseport=%d", port, state().baseport);
    std::string root = get_registry_value("DB_ROOT", kRootKey);
    std::string command = root + "/" + name + "server " + std::to_string(port);
    dqp::tracef(kTag, "spawning server process - %s", command.c_str());
    pid_t pid = spawn_server(command, port);
    if (pid <= 0) {
        port_table_assign(port, 0);
        close_request(sock);
        dqp::trace(kTag, "spawn_server() failed");
        return;
    }
    state().starting = pid;
    int ready = wait_for_child(port, pid, {wake_fd(), state().stop_signals});
    if (ready == -2) {  // stopping: the loop ends this gateway with the others
        close_request(sock);
        return;
    }
    state().starting = 0;
    if (ready != 0) {
        dqp::tracef(kTag, "spawning of server process - %s failed", command.c_str());
        reply_number(sock, -1);
        return;
    }
    dqp::trace(kTag, "spawned server process ok");
    dqp::trace("[allocate_port]", "spawned server process ok");
    port_table_assign(port, pid);
    dqp::tracef(kTag, "master process port_table[%d] = %d", port - state().baseport,
                static_cast<int>(pid));
    dqp::tracef(kTag, "sending port id of %d to client", port);
    reply_number(sock, port);
    dqp::trace(kTag, "sent to client ok");
}

// Reads the rest of a packet query whose 8 header bytes are in `frame`, and
// answers it. The socket is closed here.
void serve_packet_query(UniqueFd sock, char *frame, bool local) {
    size_t flen = 0;
    if (dqp::frame_length(frame, dqp::PKT_MAX_SIZE, &flen) != 0 ||
        dqp::read_full(sock.get(), frame + 8, flen - 8) != static_cast<long>(flen - 8)) {
        dqp::trace(kTag, "invalid port server query, connection closed");
        return;
    }
    std::string reply;
    if (answer_packet_query(frame, flen, local, &reply) != 0 || reply.empty()) {
        dqp::trace(kTag, "malformed port server query, connection closed");
        return;
    }
    dqp::write_full(sock.get(), reply.data(), reply.size());
    close_request(sock);
}

// Reaps every gateway that has exited and frees what it held.
void reap_children() {
    pid_t pid;
    int status;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
        release_gateway(pid);
}

void serve_one(UniqueFd sock, const sockaddr_in &peer) {
    timeval tv{kRequestTimeoutSeconds, 0};
    setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    char buf[dqp::PKT_MAX_SIZE + 1] = {};
    ssize_t n;
    do {
        n = recv(sock.get(), buf, 8, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        sock.reset();
        dqp::trace(kTag, "couldn't read required server name");
        return;
    }
    buf[n] = '\0';
    if (buf[0] == '?') {
        std::string answer = text_query_reply(buf);
        send(sock.get(), answer.data(), answer.size(), MSG_NOSIGNAL);
        close_request(sock);
        return;
    }
    if (buf[0] == '0') {
        if (n < 8 && dqp::read_full(sock.get(), buf + n, static_cast<size_t>(8 - n)) != 8 - n)
            return;
        serve_packet_query(std::move(sock), buf, is_local_address(peer));
        return;
    }
    std::string name = server_request_name(buf, static_cast<size_t>(n));
    if (name.empty()) {
        dqp::trace(kTag, "invalid server type name refused, connection closed");
        return;
    }
    serve_server_request(std::move(sock), name);
}

// Opens the listener on the base port; the socket or -1 (reported).
int open_listener() {
    const char *stage = "";
    UniqueFd sock(tcp_bind_any(state().baseport, &stage));
    if (!sock.valid() && strcmp(stage, "bind") == 0) {
        const char *text = "The Tavorin 8.0 Varnex is already running.";
        dqp::trace(kTag, text);
        report_fatal(kProduct, text, 1);
        return -1;
    }
    if (!sock.valid() || listen(sock.get(), kListenBacklog) != 0) {
        char text[96];
        snprintf(text, sizeof text, "%s() failed - (ERRNO=%d)", sock.valid() ? "listen" : "socket",
                 errno);
        dqp::trace(kTag, text);
        report_fatal(kFatalCaption, text, 0);
        return -1;
    }
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

// Drains a signalfd; true when anything was read.
bool drain_signals(int sfd) {
    bool any = false;
    signalfd_siginfo info;
    while (read(sfd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        any = true;
    return any;
}

void accept_one(int listener) {
    sockaddr_in peer{};
    socklen_t plen = sizeof peer;
    UniqueFd sock(accept4(listener, reinterpret_cast<sockaddr *>(&peer), &plen, SOCK_CLOEXEC));
    if (!sock.valid()) {
        if (errno != EINTR && errno != EAGAIN)
            dqp::tracef(kTag, "accept() failed - (ERRNO=%d)", errno);
        return;
    }
    dqp::trace(kTag, "client connection request received");
    serve_one(std::move(sock), peer);
}

// The loop's seam: a request that fails with an exception (out of memory)
// is dropped, and the port server goes on with the next.
void serve_next(int listener) {
    try {
        accept_one(listener);
    } catch (const std::exception &e) {
        dqp::tracef(kTag, "request dropped: %s", e.what());
    }
}

// Ends every gateway this master knows: those users.db lists, those the port
// table holds (also gateways whose client never started a session) and one
// that is starting.
void end_gateways() {
    terminate_sessions();
    for (pid_t pid : state().table)
        if (pid > 0) kill(pid, SIGTERM);
    end_starting_gateway();
    reap_children();
}

}  // namespace

void block_master_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
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

pid_t port_table_entry(int port) {
    int i = port - state().baseport;
    return (i >= 0 && i < PORT_TABLE_SIZE) ? state().table[i] : 0;
}

void port_table_reset(int baseport, int maxport) {
    state().baseport = baseport;
    state().maxport = maxport;
    state().table.fill(0);
}

void port_table_assign(int port, pid_t pid) {
    int i = table_index(port);
    if (i >= 0) state().table[i] = pid;
}

int allocate_port() {
    PortServerState &s = state();
    int result = -1;
    for (int i = 1; i < s.maxport - s.baseport && i < PORT_TABLE_SIZE; i++) {
        dqp::tracef("[allocate_port]", "port_table[%d] = %d", i, static_cast<int>(s.table[i]));
        if (s.table[i] == 0) {
            result = s.baseport + i;
            break;
        }
    }
    dqp::tracef("[allocate_port]", "new port address = %d", result);
    return result;
}

void release_gateway(pid_t pid) {
    for (pid_t &entry : state().table)
        if (entry == pid) entry = 0;
    release_session_process(pid);
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

int answer_packet_query(const char *frame, size_t flen, bool local, std::string *reply) {
    std::string pkt;
    if (dqp::decode_port_packet(frame, flen, &pkt) != 0) return -1;
    if (dqp::tracing()) {
        char msg[96];
        snprintf(msg, sizeof msg, "packet received - compressed=%zu, uncompressed=%zu", flen,
                 pkt.size());
        dqp::trace_packet(pkt.c_str(), pkt.size(), "[port_query]", msg);
    }
    std::string command = dqp::arg_string(pkt.c_str(), pkt.size(), 0);
    for (const QueryCommand *c = kQueryCommands; c->name != nullptr; c++) {
        if (command == c->name) {
            c->handler(pkt, local, reply);
            return 0;
        }
    }
    char text[96];
    snprintf(text, sizeof text, "Port server request : Command %.40s not found", command.c_str());
    dqp::trace(kTag, text);
    build_query_reply('N', -1, text, reply);
    return 0;
}

int port_server_listen() {
    if (state().listener >= 0) return 0;
    wake_fd();
    PortSource base = configured_base_port();
    if (base.port == 0) {
        report_fatal(kFatalCaption,
                     "The base port is not set: give DB_DQPBASE a port number "
                     "(vnxadmin reg set \"\" DB_DQPBASE 8000).",
                     0);
        return -1;
    }
    state().base = base;
    port_table_reset(base.port, configured_max_port(base.port));
    state().listener = open_listener();
    if (state().listener < 0) return -1;
    // Gateways inherit the environment: their notices then reach this port
    // server even if the configured base port changes while it runs, and they
    // need not look the port up again.
    setenv(kMasterPortEnv, std::to_string(base.port).c_str(), 1);
    return 0;
}

void port_server_log_startup() {
    PortServerState &s = state();
    dqp::trace(kTag, "Tavorin/DQP TCP/IP port server activated");
    dqp::tracef(kTag, "getservbyname(\"db_dqpbase\",\"tcp\") port=%d (from %s)", s.base.port,
                s.base.source.c_str());
    dqp::tracef(kTag, "socket buffer sizes - so_rcvbuf=%d, so_sndbuf=%d", s.rcvbuf, s.sndbuf);
}

int port_server_run() {
    if (port_server_listen() != 0) return -1;
    UniqueFd stop_signals(open_signal_fd({SIGTERM, SIGINT}));
    UniqueFd child_signals(open_signal_fd({SIGCHLD}));
    state().stop_signals = stop_signals.get();
    state().child_signals = child_signals.get();
    int listener = state().listener;
    pollfd p[4] = {{listener, POLLIN, 0},
                   {wake_fd(), POLLIN, 0},
                   {stop_signals.get(), POLLIN, 0},
                   {child_signals.get(), POLLIN, 0}};
    while (!g_stop.load()) {
        dqp::trace(kTag, "waiting for client connection request");
        int n = poll(p, 4, kIdleWakeMs);
        if (n < 0 && errno != EINTR) dqp::tracef(kTag, "poll() failed - (ERRNO=%d)", errno);
        if ((p[2].revents & POLLIN) != 0 && drain_signals(stop_signals.get())) g_stop.store(true);
        if ((p[3].revents & POLLIN) != 0) drain_signals(child_signals.get());
        reap_children();
        if (!g_stop.load() && (p[0].revents & POLLIN) != 0) serve_next(listener);
    }
    dqp::trace(kTag, "port server stopping: ending every gateway");
    end_gateways();
    state().stop_signals = state().child_signals = -1;
    close(listener);
    state().listener = -1;
    return 0;
}

}  // namespace vnx
