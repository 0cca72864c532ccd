// The run-length code and the framing of packets on a stream.
//
// Code: byte 0x01 is the escape; 0x01 n b stands for n copies of b. Every other
// byte stands for itself. Runs of three or more equal bytes become one escape
// (at most 253 per escape), runs of two stay as two bytes, and a 0x01 in the
// data is always written as the escape 0x01 0x01 0x01.
//
// Frame: 8 upper-case hex digits holding the frame's total length, then the
// packet's bytes from offset 8 on, encoded, or plain when encoding would make
// them longer (and the packet holds no 0x01, which plain text could not carry).
//
// All functions work between caller buffers without allocating, check every
// length against the capacity given, and return -1 rather than overrun.
#pragma once

#include <cstddef>

namespace dqp {

// Encodes n bytes of `in` into `out` (capacity cap; the two must not overlap).
// Returns the encoded length, or -1 when it would exceed cap or INT_MAX. Bytes
// of out past the encoded length, up to cap, may be overwritten; after -1 the
// contents of out are unspecified.
[[nodiscard]] int rle_encode(const char *in, size_t n, char *out, size_t cap);
// Decodes n bytes of `in` into `out` (capacity cap; the two must not overlap).
// Returns the decoded length, or -1 when it would exceed cap or INT_MAX or the
// input ends inside an escape. Bytes of out past the decoded length, up to
// cap, may be overwritten; after -1 the contents of out are unspecified.
[[nodiscard]] int rle_decode(const char *in, size_t n, char *out, size_t cap);

// Frames the NUL-terminated packet `pkt` of length len into `frame` (capacity
// cap, not overlapping pkt): writes len into the packet's pkt_len field and
// returns the frame length, or -1 when the frame would exceed cap or INT_MAX.
// A packet longer than INT_MAX is refused before anything is written.
// Bytes of frame past the frame length, up to cap, may be overwritten.
[[nodiscard]] int frame_encode(char *pkt, size_t len, char *frame, size_t cap);

// Reads a frame header: 0 and the frame length, or -1 when the 8 bytes are
// not upper-case hex or the length is below 8 or above max_frame.
[[nodiscard]] int frame_length(const char *header, size_t max_frame, size_t *length);

// Restores the packet of a frame of `len` bytes into pkt (capacity cap, NUL
// included): the frame's 8 length bytes, the decoded body and a NUL. Returns
// the packet length, or -1 when it does not fit, the body is malformed or the
// result holds a NUL byte (packet text never does).
[[nodiscard]] int frame_decode(const char *frame, size_t len, char *pkt, size_t cap);

// frame_decode for a receiver that answers what it cannot serve: the same
// checks, except that NUL bytes in the body are kept (the code carries any
// byte), so the packet's length is the return value, not strlen(pkt). The
// request loop decodes so, to refuse such a request instead of dropping the
// connection.
[[nodiscard]] int frame_decode_bytes(const char *frame, size_t len, char *pkt, size_t cap);

}  // namespace dqp
