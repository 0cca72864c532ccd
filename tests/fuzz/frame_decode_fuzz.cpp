// Fuzzes the receive path: frame header, run-length decoding, packet check and
// argument reading, as a gateway applies them to bytes from the wire. Also
// checks that encoding any input and decoding it again gives the input back,
// that the encoder and framing give the same bytes as the byte-at-a-time
// reference encoder and refuse the same capacities, and that the decoder and
// frame_decode agree with the first decoder on any input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/packet.h"
#include "protocol/rle.h"
#include "tests/unit/protocol/rle_reference.h"

namespace {

// Encodes with capacity cap into a buffer of exactly cap bytes (a write past
// it is an address error) and aborts unless the result matches want/w.
void expect_encoding(const char *in, size_t size, size_t cap, const char *want, int w) {
    std::vector<char> out(cap);
    int n = dqp::rle_encode(in, size, out.data(), cap);
    int expected = static_cast<size_t>(w) <= cap ? w : -1;
    if (n != expected) abort();
    if (n > 0 && memcmp(out.data(), want, static_cast<size_t>(n)) != 0) abort();
}

void compare_encoder(const char *in, size_t size) {
    std::vector<char> want(3 * size + 3);
    int w = rle_reference::rle_encode(in, size, want.data(), want.size());
    if (w < 0) abort();
    size_t len = static_cast<size_t>(w);
    size_t picked = size > 0 ? len * static_cast<unsigned char>(in[0]) / 255 : 0;
    for (size_t cap : {len, len > 0 ? len - 1 : 0, picked, len + 15})
        expect_encoding(in, size, cap, want.data(), w);
}

// Frames the input as a packet body with both framings, at the receiver's
// frame size and at a capacity picked by the input.
void compare_framing(const char *in, size_t size) {
    std::string body(in, size);
    size_t len = 8 + size;
    size_t picked = size > 1 ? 8 + 3 * len * static_cast<unsigned char>(in[1]) / 255 : 8;
    for (size_t cap : {static_cast<size_t>(dqp::PKT_MAX_SIZE), picked}) {
        std::string want_pkt = "00000000" + body, got_pkt = want_pkt;
        std::vector<char> want(cap), got(cap);
        int w = rle_reference::frame_encode(want_pkt.data(), len, want.data(), cap);
        int g = dqp::frame_encode(got_pkt.data(), len, got.data(), cap);
        if (g != w || got_pkt != want_pkt) abort();
        if (g > 0 && memcmp(got.data(), want.data(), static_cast<size_t>(g)) != 0) abort();
    }
}

// Decodes with capacity cap into a buffer of exactly cap bytes and aborts
// unless the result matches want/w (the first decoder's at a larger capacity).
void expect_decoding(const char *in, size_t size, size_t cap, const char *want, int w) {
    std::vector<char> out(cap);
    int n = dqp::rle_decode(in, size, out.data(), cap);
    std::vector<char> ref(cap);
    int expected = rle_reference::rle_decode(in, size, ref.data(), cap);
    if (n != expected) abort();
    if (w >= 0 && n >= 0 && (n != w || memcmp(out.data(), want, static_cast<size_t>(n)) != 0))
        abort();
}

// The raw input as coded bytes, at its decoded length and around it; then as
// a frame, through both frame decoders.
void compare_decoder(const char *in, size_t size) {
    std::vector<char> want(255 * size / 3 + size + 1);
    int w = rle_reference::rle_decode(in, size, want.data(), want.size());
    size_t len = w >= 0 ? static_cast<size_t>(w) : want.size();
    size_t picked = size > 2 ? len * static_cast<unsigned char>(in[2]) / 255 : 0;
    for (size_t cap : {len, len > 0 ? len - 1 : 0, picked, len + 15})
        expect_decoding(in, size, cap, want.data(), w);
    if (size < 8 || size > static_cast<size_t>(dqp::PKT_MAX_SIZE)) return;
    std::vector<char> got_pkt(dqp::PKT_BUFSIZE), want_pkt(dqp::PKT_BUFSIZE);
    int g = dqp::frame_decode(in, size, got_pkt.data(), got_pkt.size());
    int r = rle_reference::frame_decode(in, size, want_pkt.data(), want_pkt.size());
    if (g != r) abort();
    if (g >= 0 && memcmp(got_pkt.data(), want_pkt.data(), static_cast<size_t>(g) + 1) != 0) abort();
    // The request loop's decoder: the same packet, or one that holds a NUL
    // where frame_decode refuses.
    int b = dqp::frame_decode_bytes(in, size, got_pkt.data(), got_pkt.size());
    if (r >= 0 && (b != r || memcmp(got_pkt.data(), want_pkt.data(), static_cast<size_t>(b) + 1)))
        abort();
    if (r < 0 && b >= 0 && memchr(got_pkt.data(), '\0', static_cast<size_t>(b)) == nullptr) abort();
    if (b >= 0 && got_pkt[static_cast<size_t>(b)] != '\0') abort();
}

}  // namespace

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

    compare_encoder(in, size);
    compare_framing(in, size);
    compare_decoder(in, size);
    return 0;
}
