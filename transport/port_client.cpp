// Port-server queries from a gateway. See port_client.h.
#include "transport/port_client.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "protocol/packet.h"
#include "protocol/rle.h"
#include "protocol/trace.h"
#include "support/registry.h"
#include "transport/port_server.h"
#include "transport/tcp.h"

namespace vnx {

namespace {

constexpr const char *kTag = "[tcp_query]";
constexpr int kQueryTimeoutSeconds = 10;

// Connects to host:port with the query socket's options; the socket or -1.
int connect_query(const std::string &host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) {
        dqp::tracef(kTag, "hostname '%s' not found (ERRNO=%d)", host.c_str(), errno);
        return -1;
    }
    sockaddr_in addr = *reinterpret_cast<sockaddr_in *>(res->ai_addr);
    freeaddrinfo(res);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sock < 0) return -1;
    tcp_set_nodelay_nolinger(sock);
    timeval tv{kQueryTimeoutSeconds, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (connect(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        int err = errno;
        close(sock);
        dqp::tracef(kTag, "connect() failed - (ERRNO=%d)", err);
        return -1;
    }
    return sock;
}

// Whether an "AddUser" of this process was answered 0.
bool &registered() {
    static bool r = false;
    return r;
}

// The port of the master's port server: the one the master that started this
// gateway announced, else the configured base port.
int master_port() {
    const char *announced = getenv(kMasterPortEnv);
    int port = announced != nullptr ? atoi(announced) : 0;
    return (port > 0 && port <= 65535) ? port : configured_base_port();
}

}  // namespace

int tcp_query(const std::vector<std::string> &fields, const std::string &host, std::string *reply,
              size_t reply_size) {
    int port = master_port();
    dqp::tracef(kTag, "getservbyname(\"db_dqpbase\",\"tcp\") port=%d", port);
    std::vector<std::string_view> args(fields.begin(), fields.end());
    char pkt[dqp::PKT_BUFSIZE], frame[dqp::PKT_MAX_SIZE];
    int len = dqp::build_packet(pkt, sizeof pkt, dqp::PKT_TYPE_QUERY, 0, args);
    int flen = len < 0 ? -1 : dqp::frame_encode(pkt, static_cast<size_t>(len), frame, sizeof frame);
    if (flen < 0) return -1;
    int sock = connect_query(host, port);
    if (sock < 0) return -1;
    if (dqp::tracing()) {
        char msg[160];
        snprintf(msg, sizeof msg, "packet sent to %s port %d - compressed=%d, uncompressed=%d",
                 host.c_str(), port, flen, len);
        dqp::trace_packet(pkt, static_cast<size_t>(len), "[tcpip_query]", msg);
    }
    tcp_write_full(sock, frame, static_cast<size_t>(flen));
    int got = tcp_receive(sock, frame, sizeof frame);
    size_t rlen = 0;
    if (got <= 0 || dqp::frame_length(frame, sizeof frame, &rlen) != 0 ||
        static_cast<size_t>(got) != rlen) {
        int err = errno;
        close(sock);
        dqp::tracef(kTag, "recv() query command failed - (ERRNO=%d)", err);
        return -1;
    }
    close(sock);
    int plen = dqp::frame_decode(frame, rlen, pkt, sizeof pkt);
    if (plen < 0 || dqp::packet_check(pkt, static_cast<size_t>(plen)) != 0) return -1;
    if (dqp::tracing()) {
        char msg[160];
        snprintf(msg, sizeof msg,
                 "packet received from %s port %d - compressed=%d, uncompressed=%d", host.c_str(),
                 port, got, plen);
        dqp::trace_packet(pkt, static_cast<size_t>(plen), "[tcpip_query]", msg);
    }
    std::string field = dqp::arg_string(pkt, static_cast<size_t>(plen), 0);
    if (reply_size > 0 && field.size() > reply_size - 1) field.resize(reply_size - 1);
    *reply = field;
    return 0;
}

int notify_port_server(bool add, const std::string &user_name, const std::string &port_text,
                       const std::string &type_code) {
    if (!add && !registered()) return 0;
    std::string host = get_netserver_value("DQP_MASTERHOST");
    if (host.empty()) {
        char name[256] = "";
        gethostname(name, sizeof name - 1);
        host = name;
    }
    std::vector<std::string> fields{add ? "AddUser" : "RemUser",
                                    type_code + tcp_client_address(),
                                    user_name,
                                    port_text,
                                    "-1",
                                    "-1"};
    std::string reply;
    if (tcp_query(fields, host, &reply) != 0) return -1;
    int answer = atoi(reply.c_str());
    if (answer == 0) registered() = true;
    return answer;
}

}  // namespace vnx
