// Fuzzes the joining of PIECE packets into a request's arguments, and the
// marker lexer on the same bytes. The input is a sequence of packets, each a
// 2-byte big-endian length and that many bytes of packet text; a packet of
// type '+' is taken as a piece, any other as the request that ends them.
// Checked: nothing crashes, a joined argument is exactly as long as every
// piece announced and never over the limit, and a refusal keeps nothing.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/packet.h"
#include "protocol/pieces.h"
#include "protocol/sql_lexer.h"
#include "runtime/request_pieces.h"

namespace {

// Small enough that inputs reach it.
constexpr size_t kLimit = 50000;

void check_request(vnx::RequestPieces &pieces, const char *pkt, size_t size) {
    if (!pieces.pending()) return;
    std::string why = pieces.join(pkt, size);
    size_t held = 0;
    for (uint32_t i = 0; i < dqp::max_request_args(); i++)
        if (const std::string *a = pieces.joined(i)) {
            if (!why.empty()) abort();  // a refused request keeps nothing
            held += a->size();
        }
    if (held > kLimit) abort();
    pieces.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vnx::RequestPieces pieces(kLimit);
    size_t at = 0;
    while (at + 2 <= size) {
        size_t n = static_cast<size_t>(data[at]) << 8 | data[at + 1];
        at += 2;
        if (n > size - at) n = size - at;
        std::string pkt(reinterpret_cast<const char *>(data + at), n);
        at += n;
        if (pkt.size() >= dqp::PKT_HEADER_SIZE && pkt[8] == dqp::PKT_TYPE_PIECE)
            pieces.add(pkt.data(), pkt.size());
        else
            check_request(pieces, pkt.data(), pkt.size());
    }
    dqp::MarkerScan scan =
        dqp::scan_markers(std::string_view(reinterpret_cast<const char *>(data), size));
    for (size_t m : scan.markers)
        if (m >= scan.text.size() || scan.text[m] != '?') abort();
    if (scan.text.size() > size) abort();
    return 0;
}
