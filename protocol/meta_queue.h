// METADATA batching: reply packets of one result (rows, then EOF or NOK) are
// queued and sent many to a frame as the arguments of one METADATA ('W')
// packet.
//
// The queue holds at most 128 packets. Before a packet is queued, the size
// estimate P = S + 16 * count + queued bytes + 21 (S: the new packet's size)
// is compared with maxbufsize; reaching it, or a full queue, sends the queued
// packets first. The estimate can undercount the real METADATA size by a few
// bytes per packet, so the queue also sends before the real size would pass
// the largest packet a peer can receive, counting what the run-length code adds
// for the 0x01 bytes in the data (3 bytes each): no batch is ever built that cannot be
// framed and delivered. EOF and NOK end the result: the queue is sent, then the packet
// itself as its own frame.
//
// Packets are built in place: a staged packet is written straight after the
// queued ones, already in the form it takes inside the METADATA packet, and
// the METADATA header and offset table are written just before the first
// queued packet when the batch is sent. A row costs no copy between being
// formatted and being framed.
//
// The queue only builds packets; sending is the caller's (`send`), so this
// module knows nothing of connections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "protocol/packet.h"

namespace dqp {

inline constexpr int META_MAX_ENTRIES = 128;

class MetaQueue {
  public:
    // Sends one built, NUL-terminated packet; returns what the connection's
    // send returned.
    using SendFn = std::function<int(char *packet)>;

    MetaQueue();

    // Starts a packet of `argc` arguments in place; fill it through the
    // writer, then commit(). Staging again discards an uncommitted packet.
    PacketWriter &stage(int type, int32_t info, size_t argc);
    // Queues or sends the staged packet as described above. Returns the
    // result of the last send made, 0 when it only queued, -1 when the packet
    // could not be built or can never travel in a batch (the queue is then as
    // before, apart from a batch the rules sent first).
    [[nodiscard]] int commit(int maxbufsize, const SendFn &send);
    // stage + every argument + commit.
    [[nodiscard]] int add(int type, int32_t info, std::span<const std::string_view> args,
                          int maxbufsize, const SendFn &send);
    // Size of the staged packet, or -1 when it did not fit.
    int staged_size();
    // Forgets the queued packets.
    void reset();

    int count() const { return count_; }
    // DATA packets (rows) queued since the queue was made.
    uint64_t data_queued() const { return data_queued_; }
    int queued_bytes() const { return queued_; }

  private:
    char *body() { return buf_.get() + kBodyStart; }
    [[nodiscard]] int flush(const SendFn &send);

    // Room for the METADATA header and the largest offset table before the
    // queued packets, which start at kBodyStart; each is stored as its 4
    // length digits followed by the packet. The staged packet follows them.
    static constexpr size_t kBodyStart = PKT_HEADER_SIZE + 4 * META_MAX_ENTRIES;
    static constexpr size_t kBufSize = kBodyStart + PKT_MAX_SIZE + 4 + PKT_BUFSIZE;

    std::unique_ptr<char[]> buf_;
    int count_ = 0;
    int queued_ = 0;                       // bytes of the queued packets themselves
    size_t growth_ = 0;                    // what run-length coding may add to them
    size_t body_used_ = 0;                 // bytes of body(): length fields and packets
    uint16_t rel_[META_MAX_ENTRIES] = {};  // each queued entry's place in body()
    PacketWriter writer_{nullptr, 0, 0, 0, 0};
    int type_ = 0;
    uint64_t data_queued_ = 0;
    int size_ = -1;
    bool size_known_ = false;
};

}  // namespace dqp
