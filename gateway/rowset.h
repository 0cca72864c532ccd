// Rows of a rowset, formatted straight from the arrays the driver filled and
// queued as DATA packets in the METADATA queue: a whole-result read (FETCHMANY)
// neither copies a row into the cursor's own buffers nor builds its texts
// anywhere but in the packet it travels in.
#pragma once

#include <sql.h>

#include <cstddef>
#include <span>
#include <vector>

#include "gateway/svr_session.h"
#include "runtime/packet_exchange.h"

namespace vnx {

// One column of a rowset bound column-wise: row i's value starts at
// data + i * stride (kColumnDataSize bytes for character data, not
// necessarily terminated) and its length or indicator is lengths[i].
struct RowsetColumn {
    const char *data;
    const SQLLEN *lengths;
    size_t stride;
};

enum class RowQueued { Ok, TooWide, SendFailed };

// Largest DATA packet a METADATA batch carries: the batch adds its own
// header, an offset and a length field.
size_t batched_packet_limit();

// Formats row `row` of the rowset (its columns described by cols, one
// RowsetColumn each) as a DATA packet in the client's METADATA queue (sink:
// dqp_meta_sink) and commits it, which may send a full batch. TooWide: the
// row needs a packet of *size bytes, more than a batch can carry, and nothing
// was queued. SendFailed: a batch could not be sent.
RowQueued queue_rowset_row(const MetaSink &sink, const std::vector<svr_column> &cols,
                           std::span<const RowsetColumn> set, size_t row, size_t *size);

}  // namespace vnx
