// METADATA batching: reply packets of one result (rows, then EOF or NOK) are
// queued and sent many to a frame as the arguments of one METADATA ('W')
// packet.
//
// The queue holds at most 128 packets. Before a packet is queued, the size
// estimate P = S + 16 * count + queued bytes + 21 (S: the new packet's size)
// is compared with maxbufsize; reaching it, or a full queue, sends the queued
// packets first. The estimate can undercount the real METADATA size by a few
// bytes per packet, so the queue also sends before the real size would pass
// the largest packet a peer can receive: no batch is ever built that cannot be
// delivered. EOF and NOK end the result: the queue is sent, then the packet
// itself as its own frame.
//
// The queue only builds packets; sending is the caller's (`send`), so this
// module knows nothing of connections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dqp {

inline constexpr int META_MAX_ENTRIES = 128;

class MetaQueue {
  public:
    // Sends one built packet; returns what the connection's send returned.
    using SendFn = std::function<int(char *packet)>;

    // Builds the reply (type, info, args) into packet (capacity cap) and
    // queues or sends it as described above; metabuf (capacity cap) receives
    // the METADATA packet. Returns the result of the last send made, 0 when it
    // only queued, -1 when the packet cannot be built or can never be sent.
    int add(char *packet, size_t cap, int type, int32_t info,
            std::span<const std::string_view> args, char *metabuf, int maxbufsize,
            const SendFn &send);
    // Forgets the queued packets.
    void reset();

    int count() const { return static_cast<int>(entries_.size()); }
    int queued_bytes() const { return queued_; }

  private:
    int flush(char *metabuf, size_t cap, const SendFn &send);
    std::vector<std::string> entries_;
    int queued_ = 0;
};

}  // namespace dqp
