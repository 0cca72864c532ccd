// Session notices from a gateway. See session_notice.h.
#include "transport/session_notice.h"

#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "protocol/packet.h"
#include "protocol/port_query_packet.h"
#include "protocol/rle.h"
#include "protocol/socket_io.h"
#include "protocol/trace.h"
#include "support/config_cache.h"
#include "transport/ports.h"
#include "transport/tcp.h"

namespace vnx {

namespace {

constexpr const char *kTag = "[tcp_query]";
constexpr int kQueryTimeoutMs = 10000;
// Bytes of text in a session record's type field (users.db).
constexpr size_t kNoticeTypeField = 24;

// Whether an "AddUser" of this process was answered 0.
bool &registered() {
    static bool r = false;
    return r;
}

void trace_query_packet(const std::string &pkt, const char *what, const std::string &host, int port,
                        size_t compressed) {
    if (!dqp::tracing()) return;
    char msg[200];
    snprintf(msg, sizeof msg, "packet %s %s port %d - compressed=%zu, uncompressed=%zu", what,
             host.c_str(), port, compressed, pkt.size());
    dqp::trace_packet(pkt.c_str(), pkt.size(), "[tcpip_query]", msg);
}

// Reads one reply frame into *frame; 0, or -1.
int read_reply_frame(int sock, std::string *frame) {
    char buf[dqp::PKT_MAX_SIZE];
    FrameReader reader;
    int got = reader.receive(sock, buf, sizeof buf);
    size_t flen = 0;
    if (got <= 0 || dqp::frame_length(buf, sizeof buf, &flen) != 0 ||
        static_cast<size_t>(got) != flen)
        return -1;
    frame->assign(buf, flen);
    return 0;
}

}  // namespace

int tcp_query(const std::vector<std::string> &fields, const std::string &host, std::string *reply,
              size_t reply_size) {
    PortSource where = master_port();
    dqp::tracef(kTag, "getservbyname(\"db_dqpbase\",\"tcp\") port=%d (%s)", where.port,
                where.source.c_str());
    std::vector<std::string_view> args(fields.begin(), fields.end());
    std::string pkt, frame;
    if (dqp::build_port_query(args, &pkt, &frame) != 0) return -1;
    std::string err;
    int sock = dqp::connect_tcp(host, where.port, kQueryTimeoutMs, &err);
    if (sock < 0) {
        dqp::tracef(kTag, "connect() failed - (ERRNO=%d) %s", errno, err.c_str());
        return -1;
    }
    tcp_set_nodelay_nolinger(sock);
    trace_query_packet(pkt, "sent to", host, where.port, frame.size());
    std::string answer;
    if (dqp::write_full(sock, frame.data(), frame.size()) != static_cast<long>(frame.size()) ||
        read_reply_frame(sock, &answer) != 0) {
        int err_no = errno;
        close(sock);
        dqp::tracef(kTag, "recv() query command failed - (ERRNO=%d)", err_no);
        return -1;
    }
    close(sock);
    if (dqp::decode_port_packet(answer.data(), answer.size(), &pkt) != 0) return -1;
    trace_query_packet(pkt, "received from", host, where.port, answer.size());
    std::string field = dqp::arg_string(pkt.c_str(), pkt.size(), 0);
    if (reply_size > 0 && field.size() > reply_size - 1) field.resize(reply_size - 1);
    *reply = field;
    return 0;
}

int notify_port_server_idle(const std::string &port_text) {
    if (!registered()) return 0;
    std::string reply;
    if (tcp_query({"IdleUser", "", "", port_text, "-1", "-1"}, notice_host(), &reply) != 0)
        return -1;
    return atoi(reply.c_str());
}

std::string notice_host() {
    // A master that listens on one address only is reached there, whatever
    // its host name resolves to.
    ListenAddress where;
    std::string why;
    if (gateway_listen_address(&where, &why) == 0 && !where.wildcard()) return where.text;
    std::string host = get_netserver_value("DQP_MASTERHOST");
    if (host.empty()) {
        char name[256] = "";
        gethostname(name, sizeof name - 1);
        host = name;
    }
    return host;
}

void warm_host_lookup(const std::string &host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) == 0) freeaddrinfo(res);
}

int notify_port_server(bool add, const std::string &user_name, const std::string &port_text,
                       const std::string &type_code) {
    if (!add && !registered()) return 0;
    std::string host = notice_host();
    // The type field of a users.db record holds 24 bytes: the code and as
    // much of the address as fits (a long IPv6 address keeps its tail).
    size_t room = kNoticeTypeField - std::min(kNoticeTypeField, type_code.size());
    std::string address = fit_address_text(tcp_client_address(), room);
    std::vector<std::string> fields{
        add ? "AddUser" : "RemUser", type_code + address, user_name, port_text, "-1", "-1"};
    std::string reply;
    if (tcp_query(fields, host, &reply) != 0) return -1;
    int answer = atoi(reply.c_str());
    if (answer == 0) registered() = true;
    return answer;
}

}  // namespace vnx
