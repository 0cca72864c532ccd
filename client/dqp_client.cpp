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
    int len = build_packet(pkt, sizeof pkt, type, info, args);
    if (len < 0) return fail("request does not fit in a packet");
    int flen = frame_encode(pkt, static_cast<size_t>(len), frame, sizeof frame);
    if (flen < 0) return fail("request does not fit in a frame");
    if (holding_) {
        held_.insert(held_.end(), frame, frame + flen);
        return 0;
    }
    return send_raw(frame, static_cast<size_t>(flen));
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
