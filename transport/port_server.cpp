// The master's port server. See port_server.h.
//
// Notes:
// - One thread, one request at a time. Nothing may block it for long: every
//   request socket gets a receive time-out, so a client that connects and
//   sends nothing is dropped after a few seconds instead of freezing the
//   master for everybody, and a new gateway's handshake is awaited only as long
//   as the gateway lives.
// - Files shared with other processes: users.db (the console reads it), the
//   handshake files (written by the gateways), the configuration store.
// - Children: gateways are reaped between requests (the accept wait wakes at
//   least every kReapInterval); one that has exited frees its port and its
//   session record at once.
#include "transport/port_server.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/packet.h"
#include "protocol/rle.h"
#include "protocol/trace.h"
#include "support/registry.h"
#include "transport/session_registry.h"
#include "transport/spawn.h"
#include "transport/tcp.h"

namespace vnx {

namespace {

constexpr const char *kTag = "[tcp_accept]";
constexpr const char *kProduct = "Tavorin 8.0 Varnex";
constexpr const char *kFatalCaption = "Varnex Fatal Error";
constexpr int kRequestTimeoutSeconds = 3;
constexpr int kReapIntervalMs = 50;
constexpr int kListenBacklog = 100;
constexpr int kMaxPortNumber = 65335;

struct PortServerState {
    bool enabled = false;
    int listener = -1;
    pid_t starting = 0;  // gateway started but not yet in the table
    int baseport = 0;
    int maxport = 0;
    std::array<pid_t, PORT_TABLE_SIZE> table{};
    FatalReporter reporter = nullptr;
};

PortServerState &state() {
    static PortServerState s;
    return s;
}

// Index of port in the table, or -1 outside baseport + 1 ... maxport - 1.
int table_index(int port) {
    PortServerState &s = state();
    int i = port - s.baseport;
    if (i < 1 || port >= s.maxport || i >= PORT_TABLE_SIZE) return -1;
    return i;
}

int service_port(const char *name) {
    servent *se = getservbyname(name, "tcp");
    return se != nullptr ? ntohs(static_cast<uint16_t>(se->s_port)) : 0;
}

void close_request(int sock) {
    shutdown(sock, SHUT_RD);
    close(sock);
}

// Sends a decimal text answer in one call and closes.
void reply_number(int sock, int number) {
    char text[16];
    int n = snprintf(text, sizeof text, "%d", number);
    send(sock, text, static_cast<size_t>(n), MSG_NOSIGNAL);
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
    char pkt[dqp::PKT_BUFSIZE];
    char frame[dqp::PKT_MAX_SIZE];
    std::string_view arg = field.size() > 4096 ? std::string_view(field).substr(0, 4096) : field;
    int len = dqp::build_packet(pkt, sizeof pkt, type, code, std::span(&arg, 1));
    int flen = dqp::frame_encode(pkt, static_cast<size_t>(len), frame, sizeof frame);
    if (dqp::tracing()) {
        char msg[96];
        snprintf(msg, sizeof msg, "packet sent - compressed=%d, uncompressed=%d", flen, len);
        dqp::trace_packet(pkt, static_cast<size_t>(len), "[port_query]", msg);
    }
    reply->assign(frame, static_cast<size_t>(flen));
}

// Session notice fields: 1 type field, 2 user name, 3 port, 4 GID, 5 UID.
struct Notice {
    std::string type_field, name;
    int port = 0, gid = -1, uid = -1;
};

Notice read_notice(const char *pkt, size_t size) {
    Notice n;
    n.type_field = dqp::arg_string(pkt, size, 1);
    n.name = dqp::arg_string(pkt, size, 2);
    n.port = atoi(dqp::arg_string(pkt, size, 3).c_str());
    n.gid = atoi(dqp::arg_string(pkt, size, 4).c_str());
    n.uid = atoi(dqp::arg_string(pkt, size, 5).c_str());
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

// Starts a gateway for one client and answers it. The socket is closed here.
void serve_server_request(int sock, const std::string &name) {
    int port = allocate_port();
    dqp::tracef(kTag, "new port address = %d", port);
    if (port < 0) {
        close(sock);
        dqp::tracef(kTag, "no more ports available, maxport=%d", state().maxport);
        return;
    }
    dqp::tracef(kTag, "allocated port %d, baseport=%d", port, state().baseport);
    std::string root = get_registry_value("DB_ROOT", kRootKey);
    std::string command = root + "/" + name + "server " + std::to_string(port);
    dqp::tracef(kTag, "spawning server process - %s", command.c_str());
    pid_t pid = spawn_server(command, port, name.c_str());
    if (pid <= 0) {
        port_table_assign(port, 0);
        close_request(sock);
        dqp::trace(kTag, "spawn_server() failed");
        return;
    }
    state().starting = pid;
    int ready = wait_for_child(port, pid);
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
void serve_packet_query(int sock, char *frame, bool local) {
    size_t flen = 0;
    if (dqp::frame_length(frame, dqp::PKT_MAX_SIZE, &flen) != 0 ||
        tcp_read_full(sock, frame + 8, flen - 8) != static_cast<long>(flen - 8)) {
        dqp::trace(kTag, "invalid port server query, connection closed");
        close(sock);
        return;
    }
    std::string reply;
    if (answer_packet_query(frame, flen, local, &reply) != 0) {
        dqp::trace(kTag, "malformed port server query, connection closed");
        close(sock);
        return;
    }
    tcp_write_full(sock, reply.data(), reply.size());
    close_request(sock);
}

// Reaps every gateway that has exited and frees what it held.
void reap_children() {
    pid_t pid;
    int status;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
        release_gateway(pid);
}

void serve_one(int sock, const sockaddr_in &peer) {
    timeval tv{kRequestTimeoutSeconds, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    char buf[dqp::PKT_MAX_SIZE + 1] = {};
    ssize_t n;
    do {
        n = recv(sock, buf, 8, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        close(sock);
        dqp::trace(kTag, "couldn't read required server name");
        return;
    }
    buf[n] = '\0';
    if (buf[0] == '?') {
        std::string answer = text_query_reply(buf);
        send(sock, answer.data(), answer.size(), MSG_NOSIGNAL);
        close_request(sock);
        return;
    }
    if (buf[0] == '0') {
        if (n < 8 && tcp_read_full(sock, buf + n, static_cast<size_t>(8 - n)) != 8 - n) {
            close(sock);
            return;
        }
        serve_packet_query(sock, buf, is_local_address(peer));
        return;
    }
    std::string name(buf, static_cast<size_t>(n));
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
        name.pop_back();
    if (!valid_server_type(name)) {
        dqp::trace(kTag, "invalid server type name refused, connection closed");
        close(sock);
        return;
    }
    serve_server_request(sock, name);
}

// Opens the listener on the base port; the socket or -1 (reported).
int open_listener() {
    const char *stage = "";
    int sock = tcp_bind_any(state().baseport, &stage);
    if (sock < 0 && strcmp(stage, "bind") == 0) {
        const char *text = "The Tavorin 8.0 Varnex is already running.";
        dqp::trace(kTag, text);
        report_fatal(kProduct, text, 1);
        return -1;
    }
    if (sock < 0) {
        char text[64];
        snprintf(text, sizeof text, "socket() failed - (ERRNO=%d)", errno);
        dqp::trace(kTag, text);
        report_fatal(kFatalCaption, text, 0);
        return -1;
    }
    tcp_log_buffer_sizes(sock, kTag);
    listen(sock, kListenBacklog);
    return sock;
}

}  // namespace

void enable_port_server() {
    state().enabled = true;
}
void set_fatal_reporter(FatalReporter reporter) {
    state().reporter = reporter;
}

void report_fatal(const char *caption, const char *text, int icon) {
    if (state().reporter != nullptr)
        state().reporter(caption, text, icon);
    else
        fprintf(stderr, "%s: %s\n", caption, text);
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

int configured_base_port() {
    int port = service_port("db_dqpbase");
    if (port == 0) {
        std::string text = get_registry_value("DB_DQPBASE", kRootKey);
        char *end = nullptr;
        long v = strtol(text.c_str(), &end, 10);
        port = (!text.empty() && *end == '\0' && v > 0 && v <= kMaxPortNumber) ? static_cast<int>(v)
                                                                               : 0;
    }
    return port;
}

int cap_max_port(int baseport, int maxport) {
    return maxport >= baseport + PORT_TABLE_SIZE ? baseport + PORT_TABLE_SIZE : maxport;
}

int configured_max_port(int baseport) {
    int maxport = service_port("db_dqpmax");
    return cap_max_port(baseport, maxport == 0 ? baseport + 101 : maxport);
}

void port_table_assign(int port, pid_t pid) {
    int i = table_index(port);
    if (i >= 0) state().table[i] = pid;
}

void terminate_port_table_children() {
    for (pid_t pid : state().table)
        if (pid > 0) kill(pid, SIGTERM);
    if (pid_t pid = state().starting; pid > 0) kill(pid, SIGTERM);
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

int answer_packet_query(const char *frame, size_t flen, bool local, std::string *reply) {
    char pkt[dqp::PKT_BUFSIZE];
    int len = dqp::frame_decode(frame, flen, pkt, sizeof pkt);
    if (len < 0 || dqp::packet_check(pkt, static_cast<size_t>(len)) != 0) return -1;
    size_t size = static_cast<size_t>(len);
    if (dqp::tracing()) {
        char msg[96];
        snprintf(msg, sizeof msg, "packet received - compressed=%zu, uncompressed=%d", flen, len);
        dqp::trace_packet(pkt, size, "[port_query]", msg);
    }
    std::string command = dqp::arg_string(pkt, size, 0);
    if (command == "Active") {
        dqp::trace(kTag, "Port server request : Active");
        build_query_reply('Y', 0, "0", reply);
    } else if (command == "AddUser" || command == "RemUser") {
        if (!local) {
            dqp::tracef(kTag, "Port server request : %s from a remote address refused",
                        command.c_str());
            build_query_reply('N', -1, "-1", reply);
            return 0;
        }
        Notice n = read_notice(pkt, size);
        int rc = command == "AddUser" ? add_user(n) : rem_user(n);
        build_query_reply('Y', rc, std::to_string(rc), reply);
    } else if (command == "GetUser") {
        std::string line;
        int rc = list_session(atoi(dqp::arg_string(pkt, size, 1).c_str()), &line);
        build_query_reply('Y', rc, line, reply);
    } else {
        char text[96];
        snprintf(text, sizeof text, "Port server request : Command %.40s not found",
                 command.c_str());
        dqp::trace(kTag, text);
        build_query_reply('N', -1, text, reply);
    }
    return 0;
}

int port_server_listen() {
    if (state().listener >= 0) return 0;
    dqp::trace(kTag, "Tavorin/DQP TCP/IP port server activated");
    dqp::trace("[tcp_open]", "wsock32.dll loaded");
    int baseport = configured_base_port();
    dqp::tracef(kTag, "getservbyname(\"db_dqpbase\",\"tcp\") port=%d", baseport);
    if (baseport == 0) {
        report_fatal(kFatalCaption,
                     "The base port is not set: give DB_DQPBASE a port number "
                     "(vnxadmin reg set \"\" DB_DQPBASE 8000).",
                     0);
        return -1;
    }
    port_table_reset(baseport, configured_max_port(baseport));
    state().listener = open_listener();
    if (state().listener < 0) return -1;
    // Gateways inherit the environment: their notices then reach this port
    // server even if the configured base port changes while it runs, and they
    // need not look the port up again.
    setenv(kMasterPortEnv, std::to_string(baseport).c_str(), 1);
    return 0;
}

int port_server_run(const char *) {
    if (!state().enabled) {
        dqp::trace(kTag, "this program cannot run the port server");
        return -1;
    }
    if (port_server_listen() != 0) return -1;
    int listener = state().listener;
    for (;;) {
        dqp::trace(kTag, "waiting for client connection request");
        pollfd p{listener, POLLIN, 0};
        while (poll(&p, 1, kReapIntervalMs) <= 0)
            reap_children();
        reap_children();
        sockaddr_in peer{};
        socklen_t plen = sizeof peer;
        int sock = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &plen, SOCK_CLOEXEC);
        if (sock < 0) {
            dqp::tracef(kTag, "accept() failed - (ERRNO=%d)", errno);
            continue;
        }
        dqp::trace(kTag, "client connection request received");
        serve_one(sock, peer);
    }
}

}  // namespace vnx
