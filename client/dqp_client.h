// libdqpclient: the client side of the DQP protocol.
//
// A Connection talks to one gateway: it frames and run-length codes request
// packets, reads reply frames, and unpacks METADATA containers into the
// packets they carry. Replies are checked as strictly as the servers check
// requests: a bad frame or malformed packet is an error, never a crash.
//
// All calls return 0 (or a non-negative value) on success and -1 on failure
// with the reason in error(); no exception leaves the library.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/connect_options.h"
#include "client/export.h"

namespace dqp {

class FrameReader;

// One received packet, unpacked.
struct Reply {
    int type = 0;
    int32_t info = 0;
    std::vector<std::string> args;
};

// One received packet as views into the text it arrived in: valid while that
// text and the SplitReplies that made it are unchanged.
struct ReplyView {
    int type = 0;
    int32_t info = 0;
    std::span<const std::string_view> args;
};

// The packets one received packet stands for, checked and split in one pass
// over its text: the packets of a METADATA container (none of them a
// container itself), or the packet itself. The batch keeps its storage from
// one packet to the next, so a result streams without an allocation per row.
class VARNEX_API SplitReplies {
  public:
    // Outcomes of split().
    static constexpr int kMalformed = -1;       // the packet (or container) itself
    static constexpr int kMalformedInner = -2;  // a packet inside a container

    // Splits the packet text pkt of `size` bytes (kept by the caller while the
    // views are used). 0, or kMalformed / kMalformedInner with the batch
    // empty.
    int split(const char *pkt, size_t size);
    void clear();
    size_t size() const { return entries_.size(); }
    ReplyView operator[](size_t i) const {
        const Entry &e = entries_[i];
        return {e.type, e.info, std::span<const std::string_view>(args_).subspan(e.first, e.count)};
    }

  private:
    struct Entry {
        int type;
        int32_t info;
        size_t first, count;  // its arguments in args_
    };
    int add(const char *pkt, size_t size);
    std::vector<Entry> entries_;
    std::vector<std::string_view> args_;
};

// Copies a view into a Reply.
VARNEX_API void to_reply(const ReplyView &view, Reply *out);

// Parses a packet text into a Reply; -1 when it is not well formed.
[[nodiscard]] VARNEX_API int parse_reply(const char *pkt, size_t size, Reply *out);
// Appends the packets carried by a METADATA packet, in order; -1 when the
// container or any packet in it is malformed.
[[nodiscard]] VARNEX_API int unpack_metadata(const char *pkt, size_t size, std::vector<Reply> *out);

class VARNEX_API Connection {
  public:
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Connects to host:port (IPv4 name or address). timeout_ms bounds every
    // later receive (0: wait forever). Null and *err on failure.
    static std::unique_ptr<Connection> open(const std::string &host, int port, std::string *err,
                                            int timeout_ms = 30000);
    // The same with TLS as options.tls says (connect_options.h); under
    // "prefer" a server that does not offer TLS is connected to again, plain.
    // options.timeout_ms bounds the handshake and every later receive.
    static std::unique_ptr<Connection> open(const std::string &host, int port,
                                            const ConnectOptions &options, std::string *err);

    // Wraps an already connected socket (the Connection then owns it).
    static std::unique_ptr<Connection> adopt(int fd, int timeout_ms = 30000);

    // What send() returns when it refused a request before sending any of
    // it: the stream is still in step.
    static constexpr int kNotSent = -2;

    // Builds and sends one request packet. A request longer than one frame
    // goes as PIECE packets ahead of it (the leading parts of its longest
    // arguments, cut between UTF-8 characters) and the request with the rest;
    // pieces_sent() says how many. The first such request asks the gateway
    // whether it joins pieces (one round trip, never inside hold()). Refused
    // (kNotSent) when the gateway is too old to join them, when the
    // arguments are too many for one packet's offset table, or when they
    // hold more than any gateway joins (kPieceTotalCeiling, 1 GiB); -1 when
    // the send failed.
    [[nodiscard]] int send(int type, int32_t info, std::span<const std::string_view> args);
    [[nodiscard]] int send(int type, int32_t info,
                           std::initializer_list<std::string_view> args = {});
    // Sends bytes as they are (tests of hostile input).
    [[nodiscard]] int send_raw(const void *bytes, size_t n);
    // Between hold() and release(), requests are gathered and then written
    // by release() in one piece: a pipeline of requests costs the gateway one
    // receive and the network one round trip. release() returns what the
    // write gave (0 or -1).
    void hold();
    [[nodiscard]] int release();
    // Ends a hold without sending what it gathered.
    void discard();

    // Receives one packet (a METADATA packet stays packed).
    [[nodiscard]] int receive(Reply *out);
    // Receives one packet as text into pkt (PKT_BUFSIZE bytes, NUL-terminated,
    // holding no other NUL); *len is its length. Not yet checked as a packet.
    [[nodiscard]] int receive_packet(char *pkt, int *len);
    // Sends a request and receives its one reply.
    [[nodiscard]] int request(int type, int32_t info, std::initializer_list<std::string_view> args,
                              Reply *out);
    // Receives the replies of a result: METADATA containers are unpacked,
    // reading goes on until an EOF ('R') or NOK ('N') packet, which is the
    // last element of *out.
    [[nodiscard]] int receive_result(std::vector<Reply> *out);

    // True when the peer has closed the connection (reads EOF or reset) within
    // timeout_ms.
    bool peer_closed(int timeout_ms);

    // Asks the gateway to cancel the request it is running: one byte of TCP
    // urgent data (MSG_OOB), which the gateway takes beside its data stream.
    // The request then answers NOK, and MAPERROR gives the data source's
    // text (a FETCHMANY ends its rows with NOK); a request that ends before
    // the byte arrives answers as usual, and a byte that finds nothing
    // running is dropped. At most one byte goes out per request sent: a
    // second call before the next request sends nothing and returns 0, since
    // TCP keeps only the latest urgent byte out of the stream and a second
    // one could put the first into it. Async-signal-safe (one send, no
    // allocation, errno kept): a signal handler may call it while the owner
    // waits for a reply. 0, or -1 when the send failed.
    int cancel() noexcept;

    // PIECE packets the last send() put ahead of its request (0 for a
    // request of one packet).
    size_t pieces_sent() const { return pieces_sent_; }

    int fd() const { return fd_; }
    // Whether the connection carries TLS, and its protocol ("TLSv1.3") and
    // cipher ("TLS_AES_256_GCM_SHA384"); "" for a plain connection.
    bool encrypted() const;
    std::string tls_protocol() const;
    std::string tls_cipher() const;
    const std::string &error() const { return error_; }
    // Close now (also done by the destructor).
    void close();

  private:
    explicit Connection(int fd);
    int fail(const std::string &why);
    int refuse_send(const std::string &why);
    int send_frame(const char *frame, size_t n);
    // Frames and sends a built packet (len -1: it did not build): 0, -1 when
    // it does not fit a frame (nothing sent), -2 when the send failed.
    int frame_and_send(char *pkt, int len);
    int send_in_pieces(int type, int32_t info, std::span<const std::string_view> args);
    int check_gateway_joins();
    int fd_;
    size_t pieces_sent_ = 0;
    // Whether the gateway joins PIECE packets, asked at the first request
    // that needs them.
    enum class Joins { unknown, yes, no };
    Joins gateway_joins_ = Joins::unknown;
    std::string error_;
    // Received bytes not yet taken. Replies that arrive together (a result's
    // METADATA frames and its EOF) cost one receive between them.
    std::unique_ptr<FrameReader> in_;
    bool holding_ = false;
    std::vector<char> held_;                // frames gathered between hold() and release()
    std::atomic<bool> cancel_sent_{false};  // since the last request went out
    static_assert(std::atomic<bool>::is_always_lock_free, "cancel() runs in signal handlers");
};

}  // namespace dqp
