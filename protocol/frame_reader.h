// The receive buffer of one connection, and the one place where frames are
// cut out of a byte stream.
//
// One recv takes as much as has arrived, so a request that arrived whole
// costs one system call, and bytes beyond the frame wait for the next
// receive. A frame header that is not 8 upper-case hex digits, is below 8 or
// announces more than the caller accepts is refused before any of the body is
// read. The reader works on blocking sockets (it waits for the frame) and on
// non-blocking ones (it says FRAME_WAIT and keeps what it has).
//
// The reader belongs to the connection's owner and is reset when the
// connection closes, so leftover bytes can never reach another socket that is
// later given the same descriptor number. The gateway's request loop, the
// client library and the port server all read their frames through it.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "protocol/packet.h"

namespace dqp {

// Results of FrameReader::next_frame and fill.
inline constexpr int FRAME_READY = 1;   // a whole frame is buffered
inline constexpr int FRAME_CLOSED = 0;  // the peer closed (before or in a frame)
inline constexpr int FRAME_ERROR = -1;  // recv failed (errno says why)
inline constexpr int FRAME_BAD = -2;    // header invalid or frame above the limit
inline constexpr int FRAME_WAIT = -3;   // non-blocking socket, the rest not yet here

class FrameReader {
  public:
    // `capacity`: bytes the buffer holds; at least the largest frame the
    // owner accepts. The default holds two of the largest DQP frames, so that
    // a frame that arrives behind another never waits for the buffer to empty.
    FrameReader() = default;
    explicit FrameReader(size_t capacity) : capacity_(capacity) {}

    // Buffers the next frame of at most `cap` bytes from sock and points
    // *frame at it (valid until the next call that reads or consumes).
    // FRAME_READY then; FRAME_CLOSED when the peer closed first (buffered()
    // shows what part of a frame there was); FRAME_ERROR, FRAME_BAD,
    // FRAME_WAIT as above. The frame stays buffered until consume().
    [[nodiscard]] int next_frame(int sock, size_t cap, std::string_view *frame);
    // Drops the first n buffered bytes (a frame that was handled).
    void consume(size_t n);

    // Reads one frame into buffer (capacity cap) and consumes it. Returns
    // the bytes copied: the frame's length when it arrived whole, fewer when
    // the peer closed or failed mid-frame (what had arrived); 0 when the peer
    // closed before sending anything; -1 on a read error before any byte;
    // FRAME_BAD when the header is invalid or the frame exceeds cap;
    // FRAME_WAIT when the socket's receive timeout ran out (or a non-blocking
    // socket had nothing more), with what arrived kept for the next call.
    [[nodiscard]] int receive(int sock, char *buffer, size_t cap);

    // Receives until at least n bytes are buffered (n ≤ capacity). FRAME_READY
    // when they are, FRAME_CLOSED, FRAME_ERROR or FRAME_WAIT otherwise.
    [[nodiscard]] int fill(int sock, size_t n);
    // The bytes received and not yet consumed.
    std::string_view buffered() const { return {data_.data() + start_, end_ - start_}; }
    // True when next_frame would return without reading the socket: a whole
    // frame (or a header it refuses) is already buffered.
    bool frame_buffered() const;
    // Drops every buffered byte: the connection was closed.
    void reset() { start_ = end_ = 0; }
    // Starts an empty reader with bytes another reader received from the
    // same connection (a connection handed between processes). False, and
    // nothing buffered, when the reader is not empty or they exceed its
    // capacity.
    [[nodiscard]] bool preload(std::string_view bytes);

  private:
    size_t available() const { return end_ - start_; }

    size_t capacity_ = 2 * PKT_MAX_SIZE;
    std::vector<char> data_;  // allocated at the first fill
    size_t start_ = 0, end_ = 0;
};

}  // namespace dqp
