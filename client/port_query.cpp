// Reaching a gateway through the master's port server. See port_query.h.
#include "client/port_query.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "protocol/packet.h"
#include "protocol/port_query_packet.h"
#include "protocol/rle.h"
#include "protocol/socket_io.h"
#include "protocol/tls_channel.h"

namespace dqp {

namespace {

// Sends `request` on a new connection to the port server and reads the answer
// until the server closes the connection.
int exchange(const std::string &host, int base_port, const std::string &request,
             std::string *answer, std::string *err, int timeout_ms, const TlsOptions *tls,
             bool *encrypted = nullptr) {
    ConnectOptions options;
    if (tls != nullptr) options.tls = *tls;
    options.timeout_ms = timeout_ms;
    auto c = Connection::open(host, base_port, options, err);
    if (c == nullptr) return -1;
    if (encrypted != nullptr) *encrypted = c->encrypted();
    if (c->send_raw(request.data(), request.size()) != 0) {
        *err = c->error();
        return -1;
    }
    answer->clear();
    char buf[4096];
    for (;;) {
        long n = channel_recv(c->fd(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && answer->empty()) {
            *err =
                errno == EAGAIN || errno == EWOULDBLOCK
                    ? "no answer from the port server within " + std::to_string(timeout_ms) + " ms"
                    : std::string("no answer from the port server: ") + strerror(errno);
            return -1;
        }
        if (n <= 0) break;
        answer->append(buf, static_cast<size_t>(n));
        if (answer->size() > 65536) break;
    }
    return 0;
}

}  // namespace

int request_server(const std::string &host, int base_port, const std::string &type, int *port,
                   std::string *err, int timeout_ms, const TlsOptions *tls, bool *encrypted) {
    if (type.empty() || type.size() > 8) {
        *err = "server type names are 1 to 8 characters";
        return -1;
    }
    std::string answer;
    if (exchange(host, base_port, type, &answer, err, timeout_ms, tls, encrypted) != 0) return -1;
    if (answer.empty()) {
        *err =
            "the port server closed the connection without a port "
            "(no free port, or no program for server type \"" +
            type + "\")";
        return -1;
    }
    char *end = nullptr;
    long p = strtol(answer.c_str(), &end, 10);
    if (*end != '\0' || p < 1 || p > 65535) {
        *err = p == -1 ? "the port server answered -1: the " + type +
                             " server did not start in time, or this address already holds "
                             "as many gateways as the port server allows it"
                       : "unexpected answer from the port server: \"" + answer + "\"";
        return -1;
    }
    *port = static_cast<int>(p);
    return 0;
}

std::unique_ptr<Connection> open_session(const std::string &host, int base_port,
                                         const std::string &type, std::string *err, int *port,
                                         const ConnectOptions *options) {
    int p = 0;
    if (options == nullptr) {
        if (request_server(host, base_port, type, &p, err) != 0) return nullptr;
        if (port != nullptr) *port = p;
        return Connection::open(host, p, err);
    }
    bool encrypted = false;
    if (request_server(host, base_port, type, &p, err, 120000, &options->tls, &encrypted) != 0)
        return nullptr;
    if (port != nullptr) *port = p;
    ConnectOptions gateway = *options;
    if (gateway.tls.mode == TlsMode::Prefer)
        gateway.tls.mode = encrypted ? TlsMode::Require : TlsMode::Disable;
    return Connection::open(host, p, gateway, err);
}

int text_query(const std::string &host, int base_port, const std::string &command,
               std::string *answer, std::string *err, int timeout_ms, const TlsOptions *tls) {
    return exchange(host, base_port, "?" + command, answer, err, timeout_ms, tls);
}

int packet_query(const std::string &host, int base_port, const std::vector<std::string> &fields,
                 Reply *reply, std::string *err, int timeout_ms, const TlsOptions *tls) {
    std::vector<std::string_view> args(fields.begin(), fields.end());
    std::string pkt, frame;
    if (build_port_query(args, &pkt, &frame) != 0) {
        *err = "query does not fit in a packet";
        return -1;
    }
    std::string answer;
    if (exchange(host, base_port, frame, &answer, err, timeout_ms, tls) != 0) return -1;
    size_t flen = 0;
    if (answer.size() < 8 || frame_length(answer.data(), PKT_MAX_SIZE, &flen) != 0 ||
        answer.size() != flen || decode_port_packet(answer.data(), flen, &pkt) != 0 ||
        parse_reply(pkt.c_str(), pkt.size(), reply) != 0) {
        *err = answer.empty() ? "the port server closed the connection without an answer"
                              : "malformed answer from the port server";
        return -1;
    }
    return 0;
}

int list_sessions(const std::string &host, int base_port, std::vector<std::string> *lines,
                  std::string *err, int timeout_ms, const TlsOptions *tls) {
    using Clock = std::chrono::steady_clock;
    lines->clear();
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (int restart = 0; lines->size() <= kMaxListedSessions; restart = 1) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            *err = "the time limit ran out while listing the sessions";
            return -1;
        }
        Reply r;
        if (packet_query(host, base_port, {"GetUser", std::to_string(restart)}, &r, err,
                         static_cast<int>(left.count()), tls) != 0)
            return -1;
        if (r.info != 0 || r.args.empty()) return 0;
        lines->push_back(r.args[0]);
    }
    *err = "the port server listed more than " + std::to_string(kMaxListedSessions) + " sessions";
    return -1;
}

int port_stats(const std::string &host, int base_port,
               std::vector<std::pair<std::string, std::string>> *values, std::string *err,
               int timeout_ms, const TlsOptions *tls) {
    values->clear();
    Reply r;
    if (packet_query(host, base_port, {"Stats"}, &r, err, timeout_ms, tls) != 0) return -1;
    if (r.info != 0 || r.args.empty()) {
        *err = r.args.empty() ? "the port server refused the query"
                              : "the port server answered: " + r.args[0].substr(0, 200);
        return -1;
    }
    const std::string &text = r.args[0];
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        size_t blank = line.find(' ');
        if (blank == 0 || blank == std::string::npos) {
            *err = "malformed answer from the port server: \"" + line.substr(0, 80) + "\"";
            values->clear();
            return -1;
        }
        values->emplace_back(line.substr(0, blank), line.substr(blank + 1));
    }
    return 0;
}

}  // namespace dqp
