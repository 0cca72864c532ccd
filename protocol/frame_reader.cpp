// Cutting frames out of a connection's byte stream. See frame_reader.h.
#include "protocol/frame_reader.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "protocol/packet.h"
#include "protocol/rle.h"
#include "protocol/tls_channel.h"
#include "protocol/trace.h"

namespace dqp {

int FrameReader::fill(int sock, size_t n) {
    if (available() >= n) return FRAME_READY;
    if (n > capacity_) return FRAME_BAD;
    if (data_.size() < capacity_) data_.resize(capacity_);
    if (data_.size() - start_ < n) {  // keep what is left at the front
        std::memmove(data_.data(), data_.data() + start_, available());
        end_ -= start_;
        start_ = 0;
    }
    while (available() < n) {
        long got = channel_recv(sock, data_.data() + end_, data_.size() - end_);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return FRAME_WAIT;
        if (got < 0) return FRAME_ERROR;
        if (got == 0) return FRAME_CLOSED;
        end_ += static_cast<size_t>(got);
    }
    return FRAME_READY;
}

void FrameReader::consume(size_t n) {
    start_ += std::min(n, available());
    if (start_ == end_) start_ = end_ = 0;
}

int FrameReader::next_frame(int sock, size_t cap, std::string_view *frame) {
    if (cap < 8) return FRAME_BAD;
    // The sender writes the header in one call, but TCP may still split it:
    // all 8 bytes are needed before they are parsed.
    int rc = fill(sock, 8);
    if (rc != FRAME_READY) return rc;
    size_t length = 0;
    if (frame_length(data_.data() + start_, std::min(cap, capacity_), &length) != 0)
        return FRAME_BAD;
    rc = fill(sock, length);
    if (rc != FRAME_READY) return rc;
    *frame = std::string_view(data_.data() + start_, length);
    return FRAME_READY;
}

int FrameReader::receive(int sock, char *buffer, size_t cap) {
    if (capacity_ < cap) capacity_ = cap;
    std::string_view frame;
    int rc = next_frame(sock, cap, &frame);
    if (rc == FRAME_BAD) return FRAME_BAD;
    if (rc == FRAME_READY) {
        std::memcpy(buffer, frame.data(), frame.size());
        consume(frame.size());
        return static_cast<int>(frame.size());
    }
    // A receive timeout (or a non-blocking socket): what arrived stays buffered.
    if (rc == FRAME_WAIT) return FRAME_WAIT;
    if (rc == FRAME_ERROR) tracef("[tcp_receive]", "recv() failed - (%s)", strerror(errno));
    // Closed or failed: hand out what part of a frame there was (at most the
    // header when its length was never known).
    size_t n = std::min(available(), cap);
    if (n == 0) return rc == FRAME_CLOSED ? 0 : -1;
    std::memcpy(buffer, data_.data() + start_, n);
    consume(n);
    return static_cast<int>(n);
}

bool FrameReader::frame_buffered() const {
    if (available() < 8) return false;
    size_t length = 0;
    // A bad header is refused by next_frame without reading either.
    if (frame_length(data_.data() + start_, SIZE_MAX, &length) != 0) return true;
    return available() >= length;
}

bool FrameReader::preload(std::string_view bytes) {
    if (available() != 0 || bytes.size() > capacity_) return false;
    if (data_.size() < capacity_) data_.resize(capacity_);
    std::memcpy(data_.data(), bytes.data(), bytes.size());
    start_ = 0;
    end_ = bytes.size();
    return true;
}

}  // namespace dqp
