// Run-length code and framing. See rle.h for the format.
//
// The encoder's output is fixed byte for byte by the peers it talks to: a
// maximal run of r equal bytes is cut into pieces of 253 from the front, the
// last piece holding the rest; a piece of 1 is the plain byte, of 2 the byte
// twice, of 3 or more an escape, and the escape byte itself is never copied
// plainly (a lone one becomes 0x01 0x01 0x01).
//
// A pair of equal bytes other than the escape comes out exactly as copying it
// would, so the encoder copies until an escape byte or the start of three equal
// bytes (a "stop"). The first stop after a run (or at the start of the input)
// always begins a maximal run: had the byte before it been equal, three equal
// bytes would have started one place earlier.
//
// Rows of result data hold a run every dozen bytes or so. Finding each stop
// from the last one makes every run wait for loads whose address depends on
// the run before, so the encoder marks the stops and run ends of 64 bytes at
// a time into bit masks, with loads that depend on nothing, and then walks
// the masks. The input's last bytes, where a block cannot be read whole, are
// scanned from stop to stop, 8 bytes at a time.
#include "protocol/rle.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>

#include "protocol/packet.h"

namespace dqp {

namespace {

constexpr unsigned char kEscape = 0x01;
constexpr size_t kMaxRun = 253;
constexpr uint64_t kOnes = 0x0101010101010101;
constexpr uint64_t kHighs = 0x8080808080808080;
constexpr uint64_t kLows = 0x7F7F7F7F7F7F7F7F;
constexpr uint64_t kEscapes = kOnes * kEscape;

// The 8 bytes at p as a number whose lowest byte is p[0], on any host.
inline uint64_t load64(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// Sets the high bit of each zero byte of v. A borrow can also mark a byte
// above a zero byte, never one below, so the lowest mark is exact.
inline uint64_t zero_bytes(uint64_t v) {
    return (v - kOnes) & ~v & kHighs;
}

// Sets the high bit of each non-zero byte of v, exactly (no carry crosses a
// byte: a byte's low 7 bits plus 0x7F stay below 0x100).
inline uint64_t nonzero_bytes(uint64_t v) {
    return (((v & kLows) + kLows) | v) & kHighs;
}

// Bit k set when byte k of m (each byte 0x80 or 0) is set: the multiply moves
// byte k's bit to bit 56 + k, and no two of its products overlap.
inline uint64_t byte_bits(uint64_t m) {
    return ((m >> 7) * 0x0102040810204080) >> 56;
}

// Index of the lowest non-zero byte of m (m != 0).
inline size_t first_byte(uint64_t m) {
    return static_cast<size_t>(std::countr_zero(m)) / 8;
}

// Position of the first escape byte in in[from, n), or n.
inline size_t find_escape(const unsigned char *in, size_t from, size_t n) {
    const void *e = from < n ? std::memchr(in + from, kEscape, n - from) : nullptr;
    return e != nullptr ? static_cast<size_t>(static_cast<const unsigned char *>(e) - in) : n;
}

// Where the encoder stands in its input and output; o <= cap always.
struct Cursor {
    const unsigned char *in;
    size_t n;
    size_t i;
    char *out;
    size_t cap;
    size_t o;
    size_t escape;  // first escape byte at or after where it was last looked for (n: none)
};

// --- Runs -------------------------------------------------------------------

inline char *put_escape(char *p, size_t count, unsigned char b) {
    p[0] = static_cast<char>(kEscape);
    p[1] = static_cast<char>(count);
    p[2] = static_cast<char>(b);
    return p + 3;
}

// Writes a run of r bytes b: pieces of 253, then the rest as an escape when
// 3 or more, else as plain bytes (an escape byte as 0x01 0x01 0x01 each).
// False when it does not fit.
bool put_pieces(Cursor &c, unsigned char b, size_t r) {
    size_t full = r / kMaxRun, rest = r % kMaxRun;
    size_t rest_size = rest >= 3 ? 3 : (b == kEscape ? 3 * rest : rest);
    if (3 * full + rest_size > c.cap - c.o) return false;
    char *p = c.out + c.o;
    for (; full > 0; full--)
        p = put_escape(p, kMaxRun, b);
    if (rest >= 3) {
        p = put_escape(p, rest, b);
    } else {
        for (; rest > 0; rest--)
            p = b == kEscape ? put_escape(p, 1, kEscape) : (*p = static_cast<char>(b), p + 1);
    }
    c.o = static_cast<size_t>(p - c.out);
    return true;
}

// put_pieces, with the commonest run (3 to 253 bytes, one escape) inline.
inline bool put_run(Cursor &c, unsigned char b, size_t r) {
    if (r < 3 || r > kMaxRun) return put_pieces(c, b, r);
    if (c.cap - c.o < 3) return false;
    put_escape(c.out + c.o, r, b);
    c.o += 3;
    return true;
}

// Length of the run of equal bytes at in[i] (i < n).
inline size_t run_length(const unsigned char *in, size_t i, size_t n) {
    const uint64_t fill = kOnes * in[i];
    size_t j = i + 1;
    for (; j + 8 <= n; j += 8) {
        uint64_t diff = load64(in + j) ^ fill;
        if (diff != 0) return j + first_byte(diff) - i;
    }
    while (j < n && in[j] == in[i])
        j++;
    return j - i;
}

// --- Blocks of 64 bytes -----------------------------------------------------

constexpr size_t kBlock = 64;
// Input a block needs readable from its start: its bytes, the two that decide
// its last marks, and the 15 a 16-byte copy may read past its end.
constexpr size_t kBlockReach = kBlock + 16;

// Marks of the 64 bytes at p, bit k for p[k]: `stop` when p[k] starts three
// equal bytes or (with escapes) is the escape, `last` when p[k] differs from
// p[k + 1] (it ends its run). Reads p[0] to p[65].
struct BlockMarks {
    uint64_t stop;
    uint64_t last;
};

// Bit k set when p[k] is the escape (k < 64).
inline uint64_t escape_bits(const unsigned char *p) {
    uint64_t bits = 0;
    for (unsigned w = 0; w < kBlock; w += 8)
        bits |= byte_bits(nonzero_bytes(load64(p + w) ^ kEscapes) ^ kHighs) << w;
    return bits;
}

inline BlockMarks block_marks(const unsigned char *p, bool escapes) {
    uint64_t last = 0;
    for (unsigned w = 0; w < kBlock; w += 8)
        last |= byte_bits(nonzero_bytes(load64(p + w) ^ load64(p + w + 1))) << w;
    // Three equal bytes start at k when neither p[k] nor p[k + 1] ends a run.
    uint64_t next_last = (last >> 1) | (uint64_t{p[kBlock] != p[kBlock + 1]} << 63);
    uint64_t stop = ~(last | next_last);
    if (escapes) stop |= escape_bits(p);
    return {stop, last};
}

// Output a block can take from its literal stretches and the runs that end
// inside it (every byte an escape alone), and the 15 a 16-byte copy may write
// past them.
constexpr size_t kBlockOutput = 3 * kBlock + 15;

// Copies in[i, end) to the output; false when it does not fit. Copies in
// 16-byte steps when the output has room for the last one, reading at most 15
// bytes past end. kRoomy: the caller knows the output has that room.
template <bool kRoomy>
inline bool copy_bytes(Cursor &c, size_t end) {
    size_t len = end - c.i;
    if (kRoomy || len + 16 <= c.cap - c.o) {
        for (size_t k = 0; k < len; k += 16)
            std::memcpy(c.out + c.o + k, c.in + c.i + k, 16);
    } else {
        if (len > c.cap - c.o) return false;
        if (len > 0) std::memcpy(c.out + c.o, c.in + c.i, len);
    }
    c.i = end;
    c.o += len;
    return true;
}

// Encodes the literal stretches and runs that start in the block at in[b]
// (marks m), from the cursor (b <= i < b + 64) on. Returns with i at or past
// the block's end; false when the output does not fit. kRoomy: the output has
// room for kBlockOutput bytes, so only a run going past the block is checked.
template <bool kRoomy>
inline bool encode_block(Cursor &c, size_t b, const BlockMarks &m) {
    while (c.i < b + kBlock) {
        uint64_t stops = m.stop >> (c.i - b);
        if (stops == 0) return copy_bytes<kRoomy>(c, b + kBlock);
        size_t s = c.i + static_cast<size_t>(std::countr_zero(stops));
        if (!copy_bytes<kRoomy>(c, s)) return false;
        uint64_t lasts = m.last >> (s - b);
        unsigned char fill = c.in[s];
        if (lasts == 0) {  // the run goes past the block: measure it on
            size_t r = run_length(c.in, s, c.n);
            c.i = s + r;
            return put_run(c, fill, r);
        }
        size_t r = static_cast<size_t>(std::countr_zero(lasts)) + 1;
        if (kRoomy && r >= 3) {
            c.o = static_cast<size_t>(put_escape(c.out + c.o, r, fill) - c.out);
        } else if (!put_run(c, fill, r)) {
            return false;
        }
        c.i = s + r;
    }
    return true;
}

// Encodes whole blocks from the cursor while they can be read; false when the
// output does not fit. Escape bytes are located with memchr, so a block
// without one (the usual case) marks only runs.
inline bool encode_blocks(Cursor &c) {
    while (c.i + kBlockReach <= c.n) {
        size_t b = c.i;
        if (c.escape < b) c.escape = find_escape(c.in, b, c.n);
        BlockMarks m = block_marks(c.in + b, c.escape < b + kBlock);
        bool fits = c.cap - c.o >= kBlockOutput ? encode_block<true>(c, b, m)
                                                : encode_block<false>(c, b, m);
        if (!fits) return false;
    }
    return true;
}

// --- The input's last bytes -------------------------------------------------

// End of the literal stretch at in[i], one byte at a time.
inline size_t literal_end(const unsigned char *in, size_t i, size_t n) {
    for (; i < n; i++) {
        if (in[i] == kEscape) break;
        if (i + 2 < n && in[i] == in[i + 1] && in[i + 1] == in[i + 2]) break;
    }
    return i;
}

// Copies the literal stretch at the cursor: everything up to the next stop,
// or to the end. While 10 input bytes can be compared and 8 output bytes fit,
// each step stores 8 bytes and advances past the literal ones; whatever is
// written next overwrites the rest. False when the stretch does not fit.
inline bool copy_literal(Cursor &c) {
    while (c.i + 10 <= c.n && c.o + 8 <= c.cap) {
        const unsigned char *p = c.in + c.i;
        uint64_t x = load64(p), y = load64(p + 1), z = load64(p + 2);
        uint64_t stop = zero_bytes((x ^ y) | (y ^ z)) | zero_bytes(x ^ kEscapes);
        std::memcpy(c.out + c.o, p, 8);
        size_t k = stop != 0 ? first_byte(stop) : 8;
        c.i += k;
        c.o += k;
        if (k < 8) return true;
    }
    size_t len = literal_end(c.in, c.i, c.n) - c.i;
    if (len > c.cap - c.o) return false;
    if (len > 0) std::memcpy(c.out + c.o, c.in + c.i, len);
    c.i += len;
    c.o += len;
    return true;
}

// Encodes from the cursor to the end a stretch or run at a time; false when
// the output does not fit.
inline bool encode_stops(Cursor &c) {
    while (true) {
        if (!copy_literal(c)) return false;
        if (c.i == c.n) return true;
        size_t r = run_length(c.in, c.i, c.n);
        if (!put_run(c, c.in[c.i], r)) return false;
        c.i += r;
    }
}

// --- The encoder ------------------------------------------------------------

// A cursor at the start of in; the length is returned as an int, so the
// output is held within one.
Cursor cursor(const char *in, size_t n, char *out, size_t cap) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(in);
    return {.in = bytes,
            .n = n,
            .i = 0,
            .out = out,
            .cap = std::min(cap, static_cast<size_t>(INT_MAX)),
            .o = 0,
            .escape = find_escape(bytes, 0, n)};
}

// Encodes the whole input: the output length, or -1 when it does not fit.
int encode(Cursor &c) {
    if (!encode_blocks(c) || !encode_stops(c)) return -1;
    return static_cast<int>(c.o);
}

// --- The decoder ------------------------------------------------------------
//
// Row data decodes to an escape every few bytes, so the decoder is built for
// short stretches: while 16 input bytes can be read and 16 output bytes
// written, it copies 16 bytes at once and advances past the literal ones only
// (what follows overwrites the rest), and it writes a short run as 16 copies
// of its byte. Near either end it goes byte-exact, so it never reads past the
// input or writes past the capacity.

constexpr size_t kStep = 16;

// Where the decoder stands in its input and output; o <= cap always.
struct Decoder {
    const unsigned char *in;
    size_t n;
    size_t i;
    char *out;
    size_t cap;
    size_t o;
};

// Copies the literal stretch at the cursor, up to the next escape or the end
// of the input; false when it does not fit.
inline bool decode_literal(Decoder &d) {
    while (d.i + kStep <= d.n && d.cap - d.o >= kStep) {
        const unsigned char *p = d.in + d.i;
        uint64_t lo = zero_bytes(load64(p) ^ kEscapes), hi = zero_bytes(load64(p + 8) ^ kEscapes);
        std::memcpy(d.out + d.o, p, kStep);
        size_t k = lo != 0 ? first_byte(lo) : hi != 0 ? 8 + first_byte(hi) : kStep;
        d.i += k;
        d.o += k;
        if (k < kStep) return true;
    }
    size_t len = find_escape(d.in, d.i, d.n) - d.i;
    if (len > d.cap - d.o) return false;
    if (len > 0) std::memcpy(d.out + d.o, d.in + d.i, len);
    d.i += len;
    d.o += len;
    return true;
}

// Expands the escape at the cursor; false when the input ends inside it or
// its run does not fit.
inline bool decode_escape(Decoder &d) {
    if (d.n - d.i < 3) return false;
    size_t count = d.in[d.i + 1];
    unsigned char fill = d.in[d.i + 2];
    size_t room = d.cap - d.o;
    if (count > room) return false;
    if (count + kStep - 1 <= room) {  // whole 16-byte stores fit
        uint64_t word = kOnes * fill;
        for (size_t k = 0; k < count; k += kStep) {
            std::memcpy(d.out + d.o + k, &word, 8);
            std::memcpy(d.out + d.o + k + 8, &word, 8);
        }
    } else {
        std::memset(d.out + d.o, fill, count);
    }
    d.o += count;
    d.i += 3;
    return true;
}

}  // namespace

int rle_encode(const char *in, size_t n, char *out, size_t cap) {
    Cursor c = cursor(in, n, out, cap);
    return encode(c);
}

int rle_decode(const char *in, size_t n, char *out, size_t cap) {
    Decoder d{.in = reinterpret_cast<const unsigned char *>(in),
              .n = n,
              .i = 0,
              .out = out,
              .cap = std::min(cap, static_cast<size_t>(INT_MAX)),  // the length is an int
              .o = 0};
    while (d.i < d.n) {
        if (!decode_literal(d)) return -1;
        if (d.i < d.n && !decode_escape(d)) return -1;
    }
    return static_cast<int>(d.o);
}

int frame_encode(char *pkt, size_t len, char *frame, size_t cap) {
    // Lengths are returned as an int and written as 8 hex digits.
    cap = std::min(cap, static_cast<size_t>(INT_MAX));
    if (len < 8 || cap < 8 || len > static_cast<size_t>(INT_MAX)) return -1;
    put_hex(pkt, 8, static_cast<uint32_t>(len));
    const char *body = pkt + 8;
    size_t body_len = len - 8;
    Cursor c = cursor(body, body_len, frame + 8, cap - 8);
    bool has_escape = c.escape < body_len;  // the cursor has looked for one
    int enc = encode(c);
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

int frame_decode_bytes(const char *frame, size_t len, char *pkt, size_t cap) {
    if (cap < 9 || len < 8) return -1;
    std::memcpy(pkt, frame, 8);
    int n = rle_decode(frame + 8, len - 8, pkt + 8, cap - 9);
    if (n < 0) return -1;
    pkt[8 + n] = '\0';
    return 8 + n;
}

int frame_decode(const char *frame, size_t len, char *pkt, size_t cap) {
    int n = frame_decode_bytes(frame, len, pkt, cap);
    // Packet text never holds a NUL; one would cut the packet short for every
    // reader that takes it as text.
    if (n < 0 || std::memchr(pkt, '\0', static_cast<size_t>(n)) != nullptr) return -1;
    return n;
}

}  // namespace dqp
