// TCP transport: child-mode accept and frame I/O. See tcp.h.
//
// A gateway serves one client: connections from other addresses are reset
// as they come, and after its client's accept the listening socket is
// closed, so a later connection attempt on the port is refused rather than
// left waiting in a backlog nobody reads.
#include "transport/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/packet.h"
#include "protocol/rle.h"
#include "protocol/socket_io.h"
#include "protocol/tls_channel.h"
#include "protocol/trace.h"
#include "support/config_cache.h"
#include "support/refusal_log.h"
#include "support/settings_catalog.h"
#include "support/tls_config.h"
#include "transport/gateway_channel.h"
#include "transport/handshake.h"

namespace vnx {

namespace {

// Connections that may wait to be accepted: more than one, so that a
// stranger's connections, refused as they come, cannot crowd out the client
// the port was handed to.
constexpr int kBacklog = 8;

std::string &client_address() {
    static std::string address;
    return address;
}

std::string &last_error() {
    static std::string text;
    return text;
}

void set_last_error(const char *what, int port, int err) {
    last_error() = std::string(what) + " " + std::to_string(port) + ": " + strerror(err);
}

// Binds and listens on `where` and port; the socket or -1.
int child_listen(const ListenAddress &where, int port) {
    const char *stage = "";
    int sock = tcp_bind(where, port, &stage);
    if (sock < 0) {
        set_last_error(strcmp(stage, "bind") == 0 ? "cannot listen on" : "cannot make a socket for",
                       port, errno);
        if (strcmp(stage, "bind") == 0)
            dqp::tracef("[tcp_accept]", "spawned bind() failed  - (%s)", strerror(errno));
        else
            dqp::tracef("[tcp_accept]", "socket() failed - (ERRNO=%d)", errno);
        return -1;
    }
    tcp_log_buffer_sizes(sock, "[tcp_accept]");
    if (listen(sock, kBacklog) != 0) {
        set_last_error("cannot listen on", port, errno);
        dqp::tracef("[tcp_accept]", "listen() failed - (ERRNO=%d)", errno);
        close(sock);
        return -1;
    }
    return sock;
}

// The gateway's log stops at "<name>Server" value "log_max" megabytes (a
// whole number above 0; otherwise the default limit stays).
void apply_log_limit(const char *server_name) {
    if (!dqp::tracing()) return;
    const std::string key = std::string(server_name) + "Server";
    if (read_server_value(key, "log_max").empty()) return;  // the log's own default stays
    const long long mb = setting_number("ODBServer", "log_max");
    dqp::set_log_limit(static_cast<size_t>(mb) * 1024 * 1024);
}

// The gateway's TLS settings and context, made before it signals that it
// listens: a warm spare has loaded its certificate before it is handed out.
struct GatewayTls {
    TlsServerSettings settings;
    SslCtxPtr ctx;
};

GatewayTls &gateway_tls() {
    static GatewayTls tls;
    return tls;
}

// 0 when TLS is off or its context is ready; -1 with last_error() naming the
// setting or the file (or the master's material that could not be read).
int load_gateway_tls() {
    GatewayTls &t = gateway_tls();
    std::string why, hint;
    if (read_tls_settings(&t.settings, &why) != 0) {
        last_error() = why;
        dqp::tracef("[tcp_accept]", "%s", why.c_str());
        return -1;
    }
    if (t.settings.mode == TlsServerMode::Off) return 0;
    // The texts the master checked when it has passed them; the files only
    // for a gateway started by hand.
    TlsMaterial material;
    int passed = inherited_tls_material(&material, &why);
    if (passed == 1)
        t.ctx = make_server_context(t.settings, material, &why, &hint);
    else if (passed == 0)
        t.ctx = make_server_context(t.settings, &why, &hint);
    if (t.ctx == nullptr) {
        last_error() = hint.empty() ? why : why + " (hint: " + hint + ")";
        dqp::tracef("[tcp_accept]", "%s", why.c_str());
        return -1;
    }
    warm_tls_context(t.ctx.get());
    return 0;
}

// How long the client has to start TLS after its connect: the master's
// PortServer "claim_timeout", the time it gives a client to start its
// session at all.
int handshake_limit_ms() {
    return static_cast<int>(setting_number("PortServer", "claim_timeout") * 1000);
}

// The first byte decides: the TLS record byte starts a handshake (when TLS is
// on), anything else is plain DQP (unless TLS is required). 0 when the
// connection may be served; -1 when it was refused (logged).
int negotiate(int sock) {
    dqp::channel_forget(sock);
    const GatewayTls &t = gateway_tls();
    // TLS off: nothing to choose, the request loop reads at once as ever (a
    // TLS record's first bytes are no frame header: it closes the connection).
    if (t.settings.mode == TlsServerMode::Off) return 0;
    const int limit = handshake_limit_ms();
    pollfd p{sock, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, limit);
    } while (ready < 0 && errno == EINTR);
    unsigned char first = 0;
    if (ready <= 0 || dqp::peek_first_byte(sock, &first) <= 0) {
        last_error() = "the client sent nothing";
        return ready <= 0 ? -1 : 0;  // a close is seen by the request loop as usual
    }
    if (first != dqp::kTlsRecordByte) {
        if (t.settings.mode != TlsServerMode::Require) return 0;
        last_error() = "a plain connection was refused: NetServer \"tls\" is require";
        dqp::tracef("[tcp_accept]", "%s", last_error().c_str());
        return -1;
    }
    std::string why;
    ssl_st *ssl = dqp::tls_new_session(t.ctx.get(), sock, true, &why);
    if (ssl == nullptr || dqp::channel_attach(sock, ssl) != 0 ||
        dqp::tls_handshake(sock, limit, &why) != 0) {
        last_error() = "TLS handshake with " + client_address() + " failed: " + why;
        dqp::tracef("[tcp_accept]", "%s", last_error().c_str());
        dqp::channel_detach(sock);
        return -1;
    }
    dqp::tracef("[tcp_accept]", "TLS session with %s: %s, %s", client_address().c_str(),
                dqp::channel_protocol(sock).c_str(), dqp::channel_cipher(sock).c_str());
    return 0;
}

// Closes a connection at once with a reset, before anything was read or sent
// on it (no TLS session, nothing logged).
void tcp_close_quietly(int sock) {
    linger lg{1, 0};
    setsockopt(sock, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(sock);
}

// Whom this gateway serves. A gateway its master started learns its client
// through the master's channel (gateway_channel.h) and serves only that
// address; until it is told, it serves nobody. A gateway started by hand has
// no channel and serves the first client PortServer "allow" admits.
struct Admission {
    int channel = -1;     // the master's channel; -1 started by hand
    bool told = false;    // the master has named the client
    IpAddress client;     // the client named
    AllowList allow;      // started by hand: who may connect
    RefusalLog refusals;  // started by hand: refusals logged once a minute
};

// 0, or -1 when the master said there is a channel and there is none, or
// "allow" cannot be read (the gateway then serves nobody).
int admission_for_this_gateway(Admission *a) {
    a->channel = inherited_gateway_channel();
    if (a->channel == -2) {
        last_error() = "the channel from the master is missing: this gateway serves nobody";
        dqp::tracef("[tcp_accept]", "%s", last_error().c_str());
        return -1;
    }
    if (a->channel >= 0) return 0;
    std::string bad;
    if (parse_allow_list(read_server_value("PortServer", "allow"), &a->allow, &bad) == 0) return 0;
    last_error() = "PortServer \"allow\": \"" + bad + "\" is not an address or a network";
    dqp::tracef("[tcp_accept]", "%s", last_error().c_str());
    return -1;
}

// Reads what the master sent. -1 when the master has gone before naming
// the client (nobody is then to be served), 0 otherwise.
int read_channel(Admission &a) {
    char kind = 0;
    IpAddress address;
    int rc;
    while ((rc = channel_receive(a.channel, &kind, &address)) > 0) {
        if (kind != kChannelClient) continue;
        a.client = address;
        a.told = true;
    }
    if (rc == 0) return 0;
    close(a.channel);
    a.channel = -1;
    return a.told ? 0 : -1;
}

// Why peer may not be served, or null when it may.
const char *refusal_of(const Admission &a, const IpAddress &peer, bool by_master) {
    if (!by_master) return a.allow.allows(peer) ? nullptr : "not in PortServer \"allow\"";
    if (!a.told) return "the port was not handed out";
    return peer == a.client ? nullptr : "the port was handed to another address";
}

// Closes a connection this gateway does not serve at once (a reset, nothing
// read or sent) and reports it: to the master, which logs it once a minute
// per address, or, started by hand, to this gateway's log just as rarely.
void refuse_peer(int sock, Admission &a, const IpAddress &peer, const char *why) {
    tcp_close_quietly(sock);
    if (a.channel >= 0) {
        (void)channel_send(a.channel, kChannelRefused, peer);
        return;
    }
    if (a.refusals.due(peer, RefusalLog::Clock::now()))
        dqp::tracef("[tcp_accept]",
                    "connection from %s refused: %s (logged once a minute per address)",
                    format_ip_address(peer).c_str(), why);
}

// Waits until the listener or the channel is readable; reads the channel.
// -1 when nothing can be awaited any more (errno set).
int wait_listener(int listener, Admission &a) {
    pollfd p[2] = {{listener, POLLIN, 0}, {a.channel, POLLIN, 0}};
    for (;;) {
        int n = poll(p, a.channel >= 0 ? 2 : 1, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (a.channel >= 0 && p[1].revents != 0 && read_channel(a) != 0) {
            errno = ECONNABORTED;
            return -1;
        }
        if (p[0].revents != 0) return 0;
    }
}

// Accepts connections on listener until one comes from the client this
// gateway serves, and returns it (its address in *client); connections
// from anyone else are closed at once and the gateway listens on. -1 with
// errno set when accepting fails or the master went without naming a client.
int accept_client(int listener, Admission &a, IpAddress *client) {
    const bool by_master = a.channel >= 0;
    if (by_master) fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
    for (;;) {
        if (by_master && wait_listener(listener, a) != 0) return -1;
        if (a.channel >= 0 && read_channel(a) != 0) {  // told before this client came?
            errno = ECONNABORTED;
            return -1;
        }
        sockaddr_storage peer{};
        socklen_t plen = sizeof peer;
        int sock = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &plen, SOCK_CLOEXEC);
        if (sock < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED)
                continue;
            return -1;
        }
        IpAddress address;
        if (!ip_address_of(reinterpret_cast<sockaddr *>(&peer), plen, &address)) {
            tcp_close_quietly(sock);
            continue;
        }
        if (const char *why = refusal_of(a, address, by_master)) {
            refuse_peer(sock, a, address, why);
            continue;
        }
        if (a.channel >= 0) close(a.channel);  // nothing more to learn
        a.channel = -1;
        *client = address;
        return sock;
    }
}

}  // namespace

const std::string &tcp_last_error() {
    return last_error();
}

const std::string &tcp_client_address() {
    return client_address();
}

void tcp_adopt_client_address(const std::string &address) {
    client_address() = address;
}

int gateway_listen_address(ListenAddress *out, std::string *why) {
    const char *announced = getenv(kListenAddressEnv);
    std::string text =
        announced != nullptr ? std::string(announced) : read_server_value("PortServer", "listen");
    if (parse_listen_address(text, out, why) == 0) return 0;
    *why = "PortServer \"listen\": " + *why;
    return -1;
}

int tcp_bind(const ListenAddress &where, int port, const char **stage) {
    *stage = "socket";
    int sock = socket(where.family(), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sock < 0) return -1;
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (where.family() == AF_INET6) {
        // Dual stack is asked for explicitly: the system default
        // (net.ipv6.bindv6only) must not decide who can reach "::".
        int v6only = where.dual_stack ? 0 : 1;
        *stage = "option";
        if (setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) {
            int err = errno;
            close(sock);
            errno = err;
            return -1;
        }
    }
    sockaddr_storage addr = where.with_port(port);
    *stage = "bind";
    if (bind(sock, reinterpret_cast<sockaddr *>(&addr), where.len) != 0) {
        int err = errno;
        close(sock);
        errno = err;
        return -1;
    }
    return sock;
}

int tcp_bind_any(int port, const char **stage) {
    ListenAddress every_ipv4;
    std::string why;
    parse_listen_address("", &every_ipv4, &why);
    return tcp_bind(every_ipv4, port, stage);
}

void tcp_log_buffer_sizes(int sock, const char *tag) {
    int rcv = 0, snd = 0;
    socklen_t len = sizeof rcv;
    getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &rcv, &len);
    len = sizeof snd;
    getsockopt(sock, SOL_SOCKET, SO_SNDBUF, &snd, &len);
    dqp::tracef(tag, "socket buffer sizes - so_rcvbuf=%d, so_sndbuf=%d", rcv, snd);
}

void tcp_set_nodelay_nolinger(int sock) {
    int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    linger lg{1, 0};
    setsockopt(sock, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
}

int tcp_accept(const char *server_name, int port) {
    if (port < 1 || port > 65535) {
        last_error() = "\"" + std::to_string(port) + "\" is not a port number (1 to 65535)";
        dqp::tracef("[tcp_accept]", "no port to listen on (%d)", port);
        return -1;
    }
    apply_log_limit(server_name);
    dqp::tracef("[tcp_accept]", "%s/server child activated for port %d", server_name, port);
    ListenAddress where;
    std::string why;
    if (gateway_listen_address(&where, &why) != 0) {
        last_error() = "cannot listen on " + std::to_string(port) + ": " + why;
        dqp::tracef("[tcp_accept]", "%s", last_error().c_str());
        return -1;
    }
    if (load_gateway_tls() != 0) return -1;
    int listener = child_listen(where, port);
    if (listener < 0) return -1;
    Admission admission;
    if (admission_for_this_gateway(&admission) != 0) {
        close(listener);
        return -1;
    }
    signal_ready(port);
    IpAddress client;
    int sock = accept_client(listener, admission, &client);
    int accept_errno = errno;
    close(listener);
    if (sock < 0) {
        set_last_error("cannot accept a client on", port, accept_errno);
        dqp::tracef("[tcp_accept]", "spawned accept() failed - (ERRNO=%d)", accept_errno);
        return -1;
    }
    client_address() = format_ip_address(client);
    tcp_set_nodelay_nolinger(sock);
    if (negotiate(sock) != 0) {
        tcp_close(sock);
        return -1;
    }
    return sock;
}

int tcp_send(int sock, const char *buffer) {
    size_t length = 0;
    if (dqp::frame_length(buffer, SIZE_MAX, &length) != 0) return -1;
    return static_cast<int>(dqp::write_full(sock, buffer, length));
}

void tcp_close(int sock) {
    dqp::tracef("[tcp_close]", "closed socket %d", sock);
    dqp::channel_detach(sock);
    linger lg{1, 0};
    setsockopt(sock, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    shutdown(sock, SHUT_RDWR);
    close(sock);
}

}  // namespace vnx
