// Rowset rows to DATA packets. See rowset.h.
#include "gateway/rowset.h"

#include "gateway/row_format.h"
#include "protocol/packet.h"
#include "runtime/packet_exchange.h"

namespace vnx {

namespace {

BoundValue value_at(const RowsetColumn &col, size_t row) {
    return {col.data + row * col.stride, col.lengths[row]};
}

// Size of the packet the row would need, measured value by value.
size_t row_packet_size(const std::vector<svr_column> &cols, std::span<const RowsetColumn> set,
                       size_t row) {
    size_t n = dqp::PKT_HEADER_SIZE;
    char text[kValueTextMax];
    for (size_t k = 0; k < cols.size(); k++)
        n += 8 + write_value_text(cols[k], value_at(set[k], row), text, sizeof text);
    return n;
}

}  // namespace

size_t batched_packet_limit() {
    return dqp::PKT_MAX_SIZE - dqp::PKT_HEADER_SIZE - 8;
}

RowQueued queue_rowset_row(const MetaSink &sink, const std::vector<svr_column> &cols,
                           std::span<const RowsetColumn> set, size_t row, size_t *size) {
    dqp::PacketWriter &w = sink.queue->stage(dqp::PKT_TYPE_DATA, 0, cols.size());
    for (size_t k = 0; k < cols.size(); k++)  // kValueTooLong fails the packet
        w.end(write_value_text(cols[k], value_at(set[k], row), w.data(), w.room()));
    int staged = sink.queue->staged_size();
    if (staged < 0 || static_cast<size_t>(staged) > batched_packet_limit()) {
        *size = row_packet_size(cols, set, row);
        return RowQueued::TooWide;
    }
    return sink.queue->commit(sink.maxbufsize, *sink.send) < 0 ? RowQueued::SendFailed
                                                               : RowQueued::Ok;
}

}  // namespace vnx
