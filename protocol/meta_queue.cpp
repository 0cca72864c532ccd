// METADATA batching. See meta_queue.h.
#include "protocol/meta_queue.h"

#include <cstdio>
#include <cstring>

#include "protocol/trace.h"

namespace dqp {

namespace {

// Real size of a METADATA packet holding `count` packets of `bytes` in all:
// header, one offset and one length field per packet, the packets.
size_t meta_size(size_t count, size_t bytes) {
    return PKT_HEADER_SIZE + 8 * count + bytes;
}

// The largest packet a peer receives.
constexpr size_t kLimit = PKT_MAX_SIZE;

// What the run-length code can add to n bytes at p: a 0x01 byte is written
// as a 3-byte escape (a run of three or more as one escape per 253 bytes), every
// other byte in at most its own length. So a packet framed takes at most its
// length plus this.
size_t escape_growth(const char *p, size_t n) {
    size_t growth = 0;
    const char *end = p + n;
    while ((p = static_cast<const char *>(std::memchr(p, 0x01, static_cast<size_t>(end - p)))) !=
           nullptr) {
        size_t run = 1;
        while (p + run < end && p[run] == 0x01)
            run++;
        size_t rest = run % 253;  // after the full escapes: one more, or 1-2 single ones
        size_t coded = 3 * (run / 253) + (rest >= 3 ? 3 : 3 * rest);
        if (coded > run) growth += coded - run;
        p += run;
    }
    return growth;
}

}  // namespace

MetaQueue::MetaQueue() : buf_(new char[kBufSize]) {}

PacketWriter &MetaQueue::stage(int type, int32_t info, size_t argc) {
    type_ = type;
    size_known_ = false;
    // After the entry's four length digits, written once the size is known.
    writer_ = PacketWriter(body() + body_used_ + 4, PKT_BUFSIZE, type, info, argc);
    return writer_;
}

int MetaQueue::staged_size() {
    if (!size_known_) {
        size_ = writer_.finish();
        size_known_ = true;
    }
    return size_;
}

int MetaQueue::flush(const SendFn &send) {
    size_t n = static_cast<size_t>(count_);
    char *start = body() - PKT_HEADER_SIZE - 4 * n;
    std::memcpy(start, "00000000", 8);
    start[8] = static_cast<char>(PKT_TYPE_METADATA);
    put_hex(start + 9, 8, 0);
    put_hex(start + 17, 4, static_cast<uint32_t>(n));
    size_t table = PKT_HEADER_SIZE + 4 * n;
    for (size_t k = 0; k < n; k++)
        put_hex(start + PKT_HEADER_SIZE + 4 * k, 4, static_cast<uint32_t>(table + rel_[k]));
    // Lands on the length digits of a staged packet, never on the packet.
    body()[body_used_] = '\0';
    count_ = 0;
    queued_ = 0;
    growth_ = 0;
    body_used_ = 0;
    return send(start);
}

int MetaQueue::commit(int maxbufsize, const SendFn &send) {
    int size = staged_size();
    if (size < 0) return -1;
    char *packet = body() + body_used_ + 4;
    int estimate = size + 16 * count_ + queued_ + PKT_HEADER_SIZE;
    if (verbose()) {
        char msg[128];
        snprintf(msg, sizeof msg, "construct metapkt - pkt_size=%d, pkt_argc=%d maxbufsize=%d",
                 estimate, count_, maxbufsize);
        trace_packet(packet, static_cast<size_t>(size), "[dqp_send_metapkt]", msg);
    }
    size_t usize = static_cast<size_t>(size);
    // Sizes as framed: what coding 0x01 bytes adds counts too, or a batch of
    // such values would be built that cannot be framed at all.
    size_t growth = escape_growth(packet, usize);
    bool would_overflow =
        count_ > 0 &&
        meta_size(static_cast<size_t>(count_) + 1, queued_ + usize) + growth_ + growth > kLimit;
    int result = 0;
    if (estimate >= maxbufsize || count_ >= META_MAX_ENTRIES || would_overflow) {
        result = flush(send);
        std::memmove(body() + 4, packet, usize + 1);
        packet = body() + 4;
    }

    if (type_ != PKT_TYPE_NOK && type_ != PKT_TYPE_EOF) {
        if (meta_size(1, usize) + growth > kLimit) return -1;  // could never travel
        put_hex(body() + body_used_, 4, static_cast<uint32_t>(usize));
        rel_[count_++] = static_cast<uint16_t>(body_used_);
        body_used_ += 4 + usize;
        queued_ += size;
        growth_ += growth;
        if (type_ == PKT_TYPE_DATA) data_queued_++;
        return result;
    }
    // A queue that cannot be sent fails this packet too: sending it alone
    // would deliver it ahead of the rows queued before it.
    if (count_ > 0 && flush(send) < 0) return -1;
    return send(packet);
}

int MetaQueue::add(int type, int32_t info, std::span<const std::string_view> args, int maxbufsize,
                   const SendFn &send) {
    PacketWriter &w = stage(type, info, args.size());
    for (std::string_view a : args)
        w.add(a);
    return commit(maxbufsize, send);
}

void MetaQueue::reset() {
    count_ = 0;
    queued_ = 0;
    growth_ = 0;
    body_used_ = 0;
}

}  // namespace dqp
