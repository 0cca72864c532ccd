// METADATA batching. See meta_queue.h.
#include "protocol/meta_queue.h"

#include "protocol/packet.h"
#include "protocol/trace.h"

namespace dqp {

namespace {

// Real size of a METADATA packet holding `count` packets of `bytes` in all:
// header, one offset and one length field per packet, the packets.
size_t meta_size(size_t count, size_t bytes) {
    return PKT_HEADER_SIZE + 8 * count + bytes;
}

}  // namespace

int MetaQueue::flush(char *metabuf, size_t cap, const SendFn &send) {
    std::vector<std::string_view> args(entries_.begin(), entries_.end());
    int len = build_packet(metabuf, cap, PKT_TYPE_METADATA, 0, args);
    entries_.clear();
    queued_ = 0;
    if (len < 0) return -1;
    return send(metabuf);
}

int MetaQueue::add(char *packet, size_t cap, int type, int32_t info,
                   std::span<const std::string_view> args, char *metabuf, int maxbufsize,
                   const SendFn &send) {
    int size = build_packet(packet, cap, type, info, args);
    if (size < 0) return -1;
    int estimate = size + 16 * count() + queued_ + PKT_HEADER_SIZE;
    if (verbose()) {
        char msg[128];
        snprintf(msg, sizeof msg, "construct metapkt - pkt_size=%d, pkt_argc=%d maxbufsize=%d",
                 estimate, count(), maxbufsize);
        trace_packet(packet, static_cast<size_t>(size), "[dqp_send_metapkt]", msg);
    }
    size_t limit = cap > 0 ? cap - 1 : 0;
    bool would_overflow =
        !entries_.empty() && meta_size(entries_.size() + 1, queued_ + size) > limit;
    int result = 0;
    if (estimate >= maxbufsize || count() >= META_MAX_ENTRIES || would_overflow)
        result = flush(metabuf, cap, send);

    if (type != PKT_TYPE_NOK && type != PKT_TYPE_EOF) {
        if (meta_size(1, size) > limit) return -1;  // could never travel in a batch
        entries_.emplace_back(packet, static_cast<size_t>(size));
        queued_ += size;
        return result;
    }
    if (!entries_.empty()) flush(metabuf, cap, send);
    return send(packet);
}

void MetaQueue::reset() {
    entries_.clear();
    queued_ = 0;
}

}  // namespace dqp
