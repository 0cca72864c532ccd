// Run-length code and framing. See rle.h for the format.
//
// The encoder's output is fixed byte for byte by the peers it talks to, so the
// run splitting below reproduces the reference state machine exactly: a
// maximal run of r equal bytes is cut into pieces of 253 from the front, the
// last piece holding the rest; a piece of 1 is the plain byte, of 2 the byte
// twice, of 3 or more an escape. Literal stretches are copied with memcpy.
#include "protocol/rle.h"

#include <cstdint>
#include <cstring>

#include "protocol/packet.h"

namespace dqp {

namespace {

constexpr unsigned char kEscape = 0x01;
constexpr size_t kMaxRun = 253;

// Writes one piece of a run; false when it does not fit.
inline bool put_piece(unsigned char b, size_t n, char *out, size_t cap, size_t *o) {
    size_t need = (n > 2) ? 3 : (b == kEscape ? 3 * n : n);
    if (*o + need > cap) return false;
    char *p = out + *o;
    if (n > 2) {
        p[0] = static_cast<char>(kEscape);
        p[1] = static_cast<char>(n);
        p[2] = static_cast<char>(b);
    } else if (b == kEscape) {
        for (size_t i = 0; i < n; i++) {
            p[3 * i] = p[3 * i + 1] = p[3 * i + 2] = static_cast<char>(kEscape);
        }
    } else {
        p[0] = static_cast<char>(b);
        if (n == 2) p[1] = static_cast<char>(b);
    }
    *o += need;
    return true;
}

// Length of the literal stretch at in[i]: bytes that start no run and are not
// the escape, so they are copied unchanged.
inline size_t literal_span(const unsigned char *in, size_t i, size_t n) {
    size_t j = i;
    while (j < n && in[j] != kEscape && (j + 1 == n || in[j + 1] != in[j]))
        j++;
    return j - i;
}

}  // namespace

int rle_encode(const char *in_chars, size_t n, char *out, size_t cap) {
    const auto *in = reinterpret_cast<const unsigned char *>(in_chars);
    size_t i = 0, o = 0;
    while (i < n) {
        size_t lit = literal_span(in, i, n);
        if (lit > 0) {
            if (o + lit > cap) return -1;
            std::memcpy(out + o, in + i, lit);
            o += lit;
            i += lit;
            continue;
        }
        unsigned char b = in[i];
        size_t r = 1;
        while (i + r < n && in[i + r] == b)
            r++;
        i += r;
        while (r > kMaxRun) {
            if (!put_piece(b, kMaxRun, out, cap, &o)) return -1;
            r -= kMaxRun;
        }
        if (!put_piece(b, r, out, cap, &o)) return -1;
    }
    return static_cast<int>(o);
}

int rle_decode(const char *in, size_t n, char *out, size_t cap) {
    size_t i = 0, o = 0;
    while (i < n) {
        const void *esc = std::memchr(in + i, kEscape, n - i);
        size_t lit = esc ? static_cast<size_t>(static_cast<const char *>(esc) - (in + i)) : n - i;
        if (o + lit > cap) return -1;
        std::memcpy(out + o, in + i, lit);
        o += lit;
        i += lit;
        if (i == n) break;
        if (i + 3 > n) return -1;  // an escape needs its count and fill byte
        size_t count = static_cast<unsigned char>(in[i + 1]);
        if (o + count > cap) return -1;
        std::memset(out + o, in[i + 2], count);
        o += count;
        i += 3;
    }
    return static_cast<int>(o);
}

int frame_encode(char *pkt, size_t len, char *frame, size_t cap) {
    if (len < 8 || cap < 8) return -1;
    put_hex(pkt, 8, static_cast<uint32_t>(len));
    const char *body = pkt + 8;
    size_t body_len = len - 8;
    bool has_escape = std::memchr(body, kEscape, body_len) != nullptr;
    int enc = rle_encode(body, body_len, frame + 8, cap - 8);
    size_t flen;
    if (enc >= 0 && (has_escape || static_cast<size_t>(enc) + 8 <= len)) {
        flen = static_cast<size_t>(enc) + 8;
    } else if (!has_escape && len <= cap) {
        std::memcpy(frame + 8, body, body_len);  // plain text is shorter
        flen = len;
    } else {
        return -1;
    }
    put_hex(frame, 8, static_cast<uint32_t>(flen));
    return static_cast<int>(flen);
}

int frame_length(const char *header, size_t max_frame, size_t *length) {
    uint32_t v = 0;
    if (parse_hex(header, 8, &v) != 0 || v < 8 || v > max_frame) return -1;
    *length = v;
    return 0;
}

int frame_decode(const char *frame, size_t len, char *pkt, size_t cap) {
    if (cap < 9 || len < 8) return -1;
    std::memcpy(pkt, frame, 8);
    int n = rle_decode(frame + 8, len - 8, pkt + 8, cap - 9);
    if (n < 0) return -1;
    // Packet text never holds a NUL; one would cut the packet short for every
    // reader that takes it as text.
    if (std::memchr(pkt, '\0', 8 + static_cast<size_t>(n)) != nullptr) return -1;
    pkt[8 + n] = '\0';
    return 8 + n;
}

}  // namespace dqp
