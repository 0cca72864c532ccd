// libdqpclient. See dqp_client.h.
#include "client/dqp_client.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "protocol/frame_reader.h"
#include "protocol/packet.h"
#include "protocol/pieces.h"
#include "protocol/rle.h"
#include "protocol/socket_io.h"
#include "protocol/tls_channel.h"

namespace dqp {

int parse_reply(const char *pkt, size_t size, Reply *out) {
    // One pass: the header once, then each argument checked as it is taken.
    PacketHeader h;
    if (packet_header(pkt, size, &h) != 0) {
        out->args.clear();
        return -1;
    }
    out->type = h.type;
    out->info = h.info;
    out->args.resize(h.argc);
    std::string_view arg;
    for (uint32_t i = 0; i < h.argc; i++) {
        if (packet_arg_at(pkt, size, i, &arg) != 0) {
            out->args.clear();
            return -1;
        }
        out->args[i].assign(arg);
    }
    return 0;
}

int unpack_metadata(const char *pkt, size_t size, std::vector<Reply> *out) {
    PacketHeader h;
    if (packet_header(pkt, size, &h) != 0) return -1;
    std::string_view inner;
    for (uint32_t i = 0; i < h.argc; i++) {
        Reply r;
        if (packet_arg_at(pkt, size, i, &inner) != 0 ||
            parse_reply(inner.data(), inner.size(), &r) != 0)
            return -1;
        out->push_back(std::move(r));
    }
    return 0;
}

void SplitReplies::clear() {
    entries_.clear();
    args_.clear();
}

int SplitReplies::add(const char *pkt, size_t size) {
    PacketHeader h;
    if (packet_header(pkt, size, &h) != 0) return -1;
    size_t first = args_.size();
    args_.resize(first + h.argc);
    std::string_view *args = args_.data() + first;
    for (uint32_t i = 0; i < h.argc; i++)
        if (packet_arg_at(pkt, size, i, &args[i]) != 0) return -1;
    entries_.push_back({h.type, h.info, first, h.argc});
    return 0;
}

int SplitReplies::split(const char *pkt, size_t size) {
    clear();
    PacketHeader h;
    if (size < PKT_HEADER_SIZE || pkt_type(pkt) != PKT_TYPE_METADATA) {
        if (add(pkt, size) == 0) return 0;
        clear();
        return kMalformed;
    }
    if (packet_header(pkt, size, &h) != 0) return kMalformed;
    entries_.reserve(h.argc);
    std::string_view inner;
    for (uint32_t i = 0; i < h.argc; i++) {
        if (packet_arg_at(pkt, size, i, &inner) != 0) {
            clear();
            return kMalformed;
        }
        if (add(inner.data(), inner.size()) != 0 || entries_.back().type == PKT_TYPE_METADATA) {
            clear();
            return kMalformedInner;
        }
    }
    return 0;
}

void to_reply(const ReplyView &view, Reply *out) {
    out->type = view.type;
    out->info = view.info;
    out->args.assign(view.args.begin(), view.args.end());
}

Connection::Connection(int fd) : fd_(fd), in_(std::make_unique<FrameReader>()) {}

Connection::~Connection() {
    close();
}

void Connection::close() {
    if (fd_ >= 0) channel_detach(fd_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int Connection::fail(const std::string &why) {
    error_ = why;
    return -1;
}

std::unique_ptr<Connection> Connection::open(const std::string &host, int port, std::string *err,
                                             int timeout_ms) {
    int fd = connect_tcp(host, port, 0, err);
    if (fd < 0) return nullptr;
    return adopt(fd, timeout_ms);
}

std::unique_ptr<Connection> Connection::open(const std::string &host, int port,
                                             const ConnectOptions &options, std::string *err) {
    int fd = connect_tcp(host, port, 0, err);
    if (fd < 0) return nullptr;
    int rc = start_client_tls(fd, options.tls, host, options.timeout_ms, err);
    if (rc == TLS_REFUSED && options.tls.mode == TlsMode::Prefer) {
        ::close(fd);
        fd = connect_tcp(host, port, 0, err);
        if (fd < 0) return nullptr;
    } else if (rc < 0) {
        ::close(fd);
        return nullptr;
    }
    return adopt(fd, options.timeout_ms);
}

bool Connection::encrypted() const {
    return fd_ >= 0 && channel_encrypted(fd_);
}

std::string Connection::tls_protocol() const {
    return fd_ >= 0 ? channel_protocol(fd_) : std::string();
}

std::string Connection::tls_cipher() const {
    return fd_ >= 0 ? channel_cipher(fd_) : std::string();
}

std::unique_ptr<Connection> Connection::adopt(int fd, int timeout_ms) {
    if (timeout_ms > 0) {
        timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    return std::unique_ptr<Connection>(new Connection(fd));
}

int Connection::send(int type, int32_t info, std::span<const std::string_view> args) {
    char pkt[PKT_BUFSIZE];
    char frame[PKT_MAX_SIZE];
    pieces_sent_ = 0;
    int len = build_packet(pkt, sizeof pkt, type, info, args);
    int flen = len < 0 ? -1 : frame_encode(pkt, static_cast<size_t>(len), frame, sizeof frame);
    if (flen < 0) return send_in_pieces(type, info, args);
    return send_frame(frame, static_cast<size_t>(flen));
}

int Connection::send_frame(const char *frame, size_t n) {
    if (holding_) {
        held_.insert(held_.end(), frame, frame + n);
        return 0;
    }
    return send_raw(frame, n);
}

int Connection::frame_and_send(char *pkt, int len) {
    char frame[PKT_MAX_SIZE];
    int flen = len < 0 ? -1 : frame_encode(pkt, static_cast<size_t>(len), frame, sizeof frame);
    if (flen < 0) return -1;
    return send_frame(frame, static_cast<size_t>(flen)) == 0 ? 0 : -2;
}

namespace {

// The arguments of a request too long for one frame that go as pieces: the
// longest first, until what is left fits a frame beside the header and the
// offset table. False when even the header does not fit.
bool choose_pieced(std::span<const std::string_view> args, std::vector<bool> *pieced,
                   size_t *left_room) {
    size_t fixed = PKT_HEADER_SIZE + 8 * args.size();
    if (args.size() >= max_request_args() || fixed > PKT_MAX_SIZE) return false;
    std::vector<size_t> cost(args.size());
    size_t total = fixed;
    for (size_t i = 0; i < args.size(); i++)
        total += cost[i] = wire_cost(args[i]);
    pieced->assign(args.size(), false);
    while (total > PKT_MAX_SIZE) {
        size_t longest = args.size();
        for (size_t i = 0; i < args.size(); i++)
            if (!(*pieced)[i] && (longest == args.size() || cost[i] > cost[longest])) longest = i;
        if (longest == args.size()) return false;
        (*pieced)[longest] = true;
        total -= cost[longest];
    }
    *left_room = PKT_MAX_SIZE - total;
    return true;
}

}  // namespace

int Connection::send_in_pieces(int type, int32_t info, std::span<const std::string_view> args) {
    std::vector<bool> pieced;
    size_t room = 0;
    if (!choose_pieced(args, &pieced, &room))
        return refuse_send("request has " + std::to_string(args.size()) +
                           " arguments, more than one packet can list (" +
                           std::to_string(max_request_args() - 1) + ")");
    size_t joined = 0;
    for (size_t i = 0; i < args.size(); i++)
        if (pieced[i]) joined += args[i].size();
    if (joined > kPieceTotalCeiling)
        return refuse_send("request is too long: its long arguments hold " +
                           std::to_string(joined) + " bytes, over the " +
                           std::to_string(kPieceTotalCeiling) +
                           " bytes a gateway takes at most (ODBServer max_statement_bytes, 64 MiB "
                           "by default)");
    if (int rc = check_gateway_joins(); rc != 0) return rc;
    // Leading pieces of each long argument go ahead; what fits is left in
    // the request as its last piece.
    std::vector<std::string_view> last(args.begin(), args.end());
    char pkt[PKT_BUFSIZE];
    for (size_t i = 0; i < args.size(); i++) {
        if (!pieced[i]) continue;
        std::string_view rest = args[i];
        size_t rest_cost = wire_cost(rest);
        while (rest_cost > room) {
            size_t n = piece_cut(rest, piece_room(args[i].size()));
            int len = n == 0 ? -1
                             : build_piece(pkt, sizeof pkt, static_cast<uint32_t>(i),
                                           args[i].size(), rest.substr(0, n));
            int rc = frame_and_send(pkt, len);
            if (rc == -1) return refuse_send("a piece of a long argument does not fit in a frame");
            if (rc != 0) return -1;
            pieces_sent_++;
            rest_cost -= wire_cost(rest.substr(0, n));
            rest.remove_prefix(n);
        }
        room -= rest_cost;
        last[i] = rest;
    }
    int len = build_packet(pkt, sizeof pkt, type, info, last);
    int rc = frame_and_send(pkt, len);
    if (rc == -1) return fail("request does not fit in a frame after its pieces");
    return rc;
}

// A gateway that does not know PIECE answers each one NOK 0, as any type it
// does not serve, and then runs the request with only its last pieces: a
// long request must never reach it. So the first one asks, with a PIECE
// followed by a request type no gateway serves (NOK): a gateway that joins
// pieces refuses that request alone (NOK -1, the pieces dropped), an older
// one answers the PIECE and then the request (NOK 0 twice).
int Connection::check_gateway_joins() {
    if (gateway_joins_ == Joins::yes) return 0;
    if (gateway_joins_ == Joins::unknown && !holding_) {
        char pkt[PKT_BUFSIZE];
        Reply first, second;
        if (frame_and_send(pkt, build_piece(pkt, sizeof pkt, 0, 1, "?")) != 0 ||
            frame_and_send(pkt, build_packet(pkt, sizeof pkt, PKT_TYPE_NOK, 0, 0, nullptr)) != 0 ||
            receive(&first) != 0)
            return -1;
        if (first.type != PKT_TYPE_NOK || (first.info == 0 && receive(&second) != 0))
            return fail("the gateway answered a request longer than one packet out of turn");
        gateway_joins_ = first.info == 0 ? Joins::no : Joins::yes;
        if (gateway_joins_ == Joins::yes) return 0;
    }
    if (gateway_joins_ == Joins::unknown)
        return refuse_send("a request longer than one packet cannot go in a pipeline");
    return refuse_send("the gateway is too old for requests longer than one packet (" +
                       std::to_string(PKT_MAX_SIZE) +
                       " bytes): it cannot take statements or values of that size; update the "
                       "gateway");
}

int Connection::refuse_send(const std::string &why) {
    fail(why);
    return kNotSent;
}

void Connection::hold() {
    holding_ = true;
}

void Connection::discard() {
    holding_ = false;
    held_.clear();
}

int Connection::release() {
    holding_ = false;
    if (held_.empty()) return 0;
    int rc = send_raw(held_.data(), held_.size());
    held_.clear();
    return rc;
}

int Connection::send(int type, int32_t info, std::initializer_list<std::string_view> args) {
    return send(type, info, std::span<const std::string_view>(args.begin(), args.size()));
}

int Connection::send_raw(const void *bytes, size_t n) {
    cancel_sent_.store(false);  // a cancel from now on is for this request
    if (write_full(fd_, static_cast<const char *>(bytes), n) != static_cast<long>(n))
        return fail(std::string("send failed: ") + strerror(errno));
    return 0;
}

int Connection::receive_packet(char *pkt, int *len) {
    std::string_view frame;
    int rc = in_->next_frame(fd_, PKT_MAX_SIZE, &frame);
    if (rc == FRAME_BAD) return fail("invalid frame header");
    if (rc == FRAME_ERROR) return fail("receive failed: " + std::string(strerror(errno)));
    if (rc == FRAME_WAIT) return fail("receive failed: no reply within the time limit");
    if (rc != FRAME_READY)
        return fail(in_->buffered().empty() ? "connection closed by the server"
                                            : "connection closed in the middle of a frame");
    *len = frame_decode(frame.data(), frame.size(), pkt, PKT_BUFSIZE);
    in_->consume(frame.size());
    if (*len < 0) return fail("frame does not decode to a packet");
    return 0;
}

int Connection::receive(Reply *out) {
    char pkt[PKT_BUFSIZE];
    int len = 0;
    if (receive_packet(pkt, &len) != 0) return -1;
    if (parse_reply(pkt, static_cast<size_t>(len), out) != 0) return fail("malformed packet");
    return 0;
}

int Connection::request(int type, int32_t info, std::initializer_list<std::string_view> args,
                        Reply *out) {
    if (send(type, info, args) != 0) return -1;
    return receive(out);
}

int Connection::receive_result(std::vector<Reply> *out) {
    char pkt[PKT_BUFSIZE];
    for (;;) {
        int len = 0;
        if (receive_packet(pkt, &len) != 0) return -1;
        if (len >= PKT_HEADER_SIZE && pkt_type(pkt) == PKT_TYPE_METADATA) {
            if (unpack_metadata(pkt, static_cast<size_t>(len), out) != 0)
                return fail("malformed METADATA packet");
            continue;
        }
        Reply r;
        if (parse_reply(pkt, static_cast<size_t>(len), &r) != 0) return fail("malformed packet");
        out->push_back(r);
        if (r.type == PKT_TYPE_EOF || r.type == PKT_TYPE_NOK) return 0;
    }
}

int Connection::cancel() noexcept {
    if (cancel_sent_.exchange(true)) return 0;
    int saved = errno;
    static const char kCancelByte = '!';
    ssize_t n = ::send(fd_, &kCancelByte, 1, MSG_OOB | MSG_NOSIGNAL);
    errno = saved;
    return n == 1 ? 0 : -1;
}

bool Connection::peer_closed(int timeout_ms) {
    if (!in_->buffered().empty()) return false;  // replies still to be read
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char c;
    ssize_t r = recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

}  // namespace dqp
