// Fuzzes the receive path: frame header, run-length decoding, packet check and
// argument reading, as a gateway applies them to bytes from the wire. Also
// checks that encoding any input and decoding it again gives the input back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "protocol/packet.h"
#include "protocol/rle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *in = reinterpret_cast<const char *>(data);

    // Receive path: only what fits a frame buffer is ever read.
    if (size >= 8 && size <= static_cast<size_t>(dqp::PKT_MAX_SIZE)) {
        size_t flen = 0;
        if (dqp::frame_length(in, dqp::PKT_MAX_SIZE, &flen) == 0 && flen <= size) {
            std::vector<char> pkt(dqp::PKT_BUFSIZE);
            int len = dqp::frame_decode(in, flen, pkt.data(), pkt.size());
            if (len >= 0) {
                if (strlen(pkt.data()) != static_cast<size_t>(len)) abort();
                if (len >= dqp::PKT_HEADER_SIZE && dqp::packet_check(pkt.data(), len) == 0) {
                    std::string_view arg;
                    for (int i = 0; i < dqp::pkt_argc(pkt.data()); i++)
                        if (dqp::packet_arg(pkt.data(), len, i, &arg) != 0) abort();
                }
            }
        }
    }

    // Round trip of the code itself.
    std::vector<char> enc(3 * size + 3), dec(size + 1);
    int e = dqp::rle_encode(in, size, enc.data(), enc.size());
    if (e < 0) abort();
    int d = dqp::rle_decode(enc.data(), e, dec.data(), dec.size());
    if (d != static_cast<int>(size) || memcmp(dec.data(), in, size) != 0) abort();
    return 0;
}
