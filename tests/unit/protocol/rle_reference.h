// The run-length encoder and framing as first written: a byte-at-a-time state
// machine whose output peers depend on. The tuned encoder in protocol/rle.cpp
// must give exactly the same bytes and fail (-1) on exactly the same inputs;
// the unit tests, the frame fuzz target and rle_bench compare against this.
//
// Also the decoder as first written (memchr from escape to escape): the tuned
// decoder must give the same bytes and the same length, and -1 on exactly the
// same inputs.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/packet.h"

namespace rle_reference {

inline constexpr unsigned char kEscape = 0x01;
inline constexpr size_t kMaxRun = 253;

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
        for (size_t i = 0; i < n; i++)
            p[3 * i] = p[3 * i + 1] = p[3 * i + 2] = static_cast<char>(kEscape);
    } else {
        p[0] = static_cast<char>(b);
        if (n == 2) p[1] = static_cast<char>(b);
    }
    *o += need;
    return true;
}

// Length of the literal stretch at in[i]: bytes that start no run (not even a
// pair) and are not the escape.
inline size_t literal_span(const unsigned char *in, size_t i, size_t n) {
    size_t j = i;
    while (j < n && in[j] != kEscape && (j + 1 == n || in[j + 1] != in[j]))
        j++;
    return j - i;
}

// Same contract as dqp::rle_encode.
inline int rle_encode(const char *in_chars, size_t n, char *out, size_t cap) {
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

// Same contract as dqp::frame_encode.
inline int frame_encode(char *pkt, size_t len, char *frame, size_t cap) {
    if (len < 8 || cap < 8) return -1;
    dqp::put_hex(pkt, 8, static_cast<uint32_t>(len));
    const char *body = pkt + 8;
    size_t body_len = len - 8;
    bool has_escape = std::memchr(body, kEscape, body_len) != nullptr;
    int enc = rle_encode(body, body_len, frame + 8, cap - 8);
    size_t flen;
    if (enc >= 0 && (has_escape || static_cast<size_t>(enc) + 8 <= len)) {
        flen = static_cast<size_t>(enc) + 8;
    } else if (!has_escape && len <= cap) {
        std::memcpy(frame + 8, body, body_len);
        flen = len;
    } else {
        return -1;
    }
    dqp::put_hex(frame, 8, static_cast<uint32_t>(flen));
    return static_cast<int>(flen);
}

// Same contract as dqp::rle_decode, except that nothing past the decoded
// length is ever written.
inline int rle_decode(const char *in, size_t n, char *out, size_t cap) {
    if (cap > static_cast<size_t>(INT_MAX)) cap = static_cast<size_t>(INT_MAX);
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

// Same contract as dqp::frame_decode, over the decoder above.
inline int frame_decode(const char *frame, size_t len, char *pkt, size_t cap) {
    if (cap < 9 || len < 8) return -1;
    std::memcpy(pkt, frame, 8);
    int n = rle_decode(frame + 8, len - 8, pkt + 8, cap - 9);
    if (n < 0) return -1;
    if (std::memchr(pkt, '\0', 8 + static_cast<size_t>(n)) != nullptr) return -1;
    pkt[8 + n] = '\0';
    return 8 + n;
}

}  // namespace rle_reference
