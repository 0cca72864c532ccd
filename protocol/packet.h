// Packets: the self-describing text records that every DQP request and reply,
// and every port-server query, travels as.
//
// Layout (offsets in bytes, numbers in fixed-width upper-case hex):
//   0  pkt_len   8 digits   "00000000" when built; the frame length once received
//   8  pkt_type  1 char
//   9  pkt_info  8 digits   32-bit value, two's complement for negatives
//   17 pkt_argc  4 digits
//   21 offset table, 4 digits per argument (offset from the packet start)
//   then each argument: 4 digits of length n and n bytes of text.
// A packet text ends with a NUL that no length counts and that is never sent.
//
// Packets come off the wire, so nothing here trusts one: every reader takes the
// packet's size and checks offsets, lengths and digits against it. Builders take
// the buffer's capacity and refuse (return -1) rather than write past it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace dqp {

inline constexpr int PKT_HEADER_SIZE = 21;
// Largest packet text a receiver accepts and the size of one frame on the wire.
inline constexpr int PKT_MAX_SIZE = 16384;
// A packet buffer: the largest packet and its terminating NUL.
inline constexpr int PKT_BUFSIZE = PKT_MAX_SIZE + 1;

enum PacketType : char {
    PKT_TYPE_ATTACH = '0',
    PKT_TYPE_USE = '1',
    PKT_TYPE_UNUSE = '2',
    PKT_TYPE_DETACH = '3',
    PKT_TYPE_LOGGING = '4',
    PKT_TYPE_ZAP = '5',
    PKT_TYPE_FIELDLIST = '6',
    PKT_TYPE_TABLELIST = '7',
    PKT_TYPE_ISLOCKED = '8',
    PKT_TYPE_LOCK = '9',
    PKT_TYPE_UNLOCK = ':',
    PKT_TYPE_ISLOCKED_TABLE = ';',
    PKT_TYPE_LOCK_TABLE = '<',
    PKT_TYPE_RLOCK_TABLE = '?',
    PKT_TYPE_UNLOCK_TABLE = '@',
    PKT_TYPE_START = 'A',
    PKT_TYPE_STOP = 'B',
    PKT_TYPE_CONNECT = 'C',
    PKT_TYPE_DISCONNECT = 'D',
    PKT_TYPE_OPEN = 'E',
    PKT_TYPE_CLOSE = 'F',
    PKT_TYPE_EXECSQL = 'G',
    PKT_TYPE_COUNT = 'H',
    PKT_TYPE_DELETE = 'I',
    PKT_TYPE_FIND = 'J',
    PKT_TYPE_INSERT = 'K',
    PKT_TYPE_READ = 'L',
    PKT_TYPE_UPDATE = 'M',
    PKT_TYPE_NOK = 'N',
    PKT_TYPE_MAPERROR = 'O',
    PKT_TYPE_FETCH = 'P',
    PKT_TYPE_FETCHMANY = 'Q',
    PKT_TYPE_EOF = 'R',
    PKT_TYPE_ABORT = 'S',
    PKT_TYPE_DATA = 'T',
    PKT_TYPE_DECLARE = 'U',
    PKT_TYPE_UNDECLARE = 'V',
    PKT_TYPE_METADATA = 'W',
    PKT_TYPE_COMMIT = 'X',
    PKT_TYPE_OK = 'Y',
    PKT_TYPE_ROLLBACK = 'Z',
    PKT_TYPE_FINDFILE = 'a',
    PKT_TYPE_FILEATTRIBUTES = 'b',
    PKT_TYPE_TXT_OPEN = 'c',
    PKT_TYPE_TXT_CLOSE = 'd',
    PKT_TYPE_TXT_READ = 'e',
    PKT_TYPE_TXT_SEEK = 'f',
    PKT_TYPE_TXT_WRITE = 'g',
    PKT_TYPE_LOOKUP = 'h',
    PKT_TYPE_NEW = 'i',
    PKT_TYPE_METHOD = 'j',
    PKT_TYPE_SETPROPERTY = 'k',
    PKT_TYPE_GETPROPERTY = 'l',
    PKT_TYPE_EXTENDED_FETCH = 'm',
    PKT_TYPE_QUERY = 'n',
    PKT_TYPE_MEMO = 'o',
    PKT_TYPE_PIECE = '+',
};

// Name the trace prints for a type ("PKT_TYPE_OK"), or null for a type without
// one ('3', '5', unused codes).
const char *packet_type_name(int type);

namespace detail {
// Value of each upper-case hex digit; 0xFF for every other byte.
inline constexpr std::array<uint8_t, 256> kHexValues = [] {
    std::array<uint8_t, 256> t{};
    t.fill(0xFF);
    for (int c = '0'; c <= '9'; c++)
        t[c] = static_cast<uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; c++)
        t[c] = static_cast<uint8_t>(c - 'A' + 10);
    return t;
}();
inline uint32_t hex_value(char c) {
    return detail::kHexValues[static_cast<unsigned char>(c)];
}
}  // namespace detail

// Reads `width` upper-case hex digits. 0 and the value, or -1 when any
// character is not one of 0-9, A-F (lower case is refused too).
[[nodiscard]] int parse_hex(const char *text, int width, uint32_t *value);
// parse_hex of 4 digits, the width of lengths, offsets and counts.
inline int parse_hex4(const char *text, uint32_t *value) {
    uint32_t a = detail::hex_value(text[0]), b = detail::hex_value(text[1]),
             c = detail::hex_value(text[2]), d = detail::hex_value(text[3]);
    if ((a | b | c | d) > 0xF) return -1;
    *value = a << 12 | b << 8 | c << 4 | d;
    return 0;
}
// The two upper-case hex digits of every byte value, "000102...FEFF".
struct HexPairs {
    char text[512];
    constexpr HexPairs() : text() {
        constexpr char kDigits[] = "0123456789ABCDEF";
        for (int b = 0; b < 256; b++) {
            text[2 * b] = kDigits[b >> 4];
            text[2 * b + 1] = kDigits[b & 0xF];
        }
    }
};
inline constexpr HexPairs kHexPairs;

// Writes `value` as exactly `width` upper-case hex digits (no NUL). Every
// packet header, offset and length goes through here, so digits are written
// two at a time.
inline void put_hex(char *text, int width, uint32_t value) {
    int i = width;
    for (; i >= 2; i -= 2) {
        const char *pair = kHexPairs.text + 2 * (value & 0xFF);
        text[i - 2] = pair[0];
        text[i - 1] = pair[1];
        value >>= 8;
    }
    if (i == 1) text[0] = kHexPairs.text[2 * (value & 0xF) + 1];
}

// Builds a packet into buf (capacity `cap` bytes, NUL included). Returns its
// length, or -1 when it does not fit or an argument is longer than 0xFFFF.
[[nodiscard]] int build_packet(char *buf, size_t cap, int type, int32_t info,
                               std::span<const std::string_view> args);
// The same for a NUL-terminated text list; a null entry is an empty argument.
[[nodiscard]] int build_packet(char *buf, size_t cap, int type, int32_t info, int argc,
                               const char *const *argv);

// Builds a packet in place, one argument at a time, with the layout and limits
// of build_packet: for each of the `argc` arguments either add() it, or write
// at most room() bytes at data() and call end(length). finish() then
// terminates the packet and returns its length, or -1 when anything did not
// fit, an argument was too long, or fewer than argc arguments were written.
// Nothing is ever written at or past buf + cap.
class PacketWriter {
  public:
    PacketWriter(char *buf, size_t cap, int type, int32_t info, size_t argc);

    char *data() { return buf_ + off_ + 4; }
    // Bytes the next argument may hold (0 once something failed).
    size_t room() const {
        // An argument needs its 4 length digits and leaves 1 byte for the NUL.
        if (failed_ || done_ == argc_ || off_ + 5 > cap_) return 0;
        size_t r = cap_ - off_ - 5;
        return r < 0xFFFF ? r : 0xFFFF;
    }
    void end(size_t length) {
        if (failed_ || done_ == argc_ || off_ > 0xFFFF || off_ + 5 > cap_ ||
            length > cap_ - off_ - 5 || length > 0xFFFF) {
            failed_ = true;
            return;
        }
        put_hex(buf_ + PKT_HEADER_SIZE + 4 * done_, 4, static_cast<uint32_t>(off_));
        put_hex(buf_ + off_, 4, static_cast<uint32_t>(length));
        off_ += 4 + length;
        done_++;
    }
    void add(std::string_view arg);
    int finish();

  private:
    char *buf_;
    size_t cap_, argc_, done_ = 0, off_ = 0;
    bool failed_ = false;
};

// Header fields of a packet known to hold at least PKT_HEADER_SIZE bytes.
// A field with an invalid digit reads as 0 (pkt_info: 0; see packet_check).
int pkt_type(const char *pkt);
int32_t pkt_info(const char *pkt);
int pkt_argc(const char *pkt);
uint32_t pkt_len(const char *pkt);

// Checks a received packet of `size` bytes: at least the header, hex digits in
// pkt_info and pkt_argc, an offset table inside the packet, and every argument
// (offset, length digits, bytes) inside the packet. 0 when well formed, -1 not.
[[nodiscard]] int packet_check(const char *pkt, size_t size);

// The header of a received packet.
struct PacketHeader {
    int type = 0;
    int32_t info = 0;
    uint32_t argc = 0;
};

// Reads the header of a packet of `size` bytes with the header checks of
// packet_check: at least the header, hex digits in pkt_info and pkt_argc, and
// the offset table inside the packet. 0, or -1 (*out unspecified).
[[nodiscard]] int packet_header(const char *pkt, size_t size, PacketHeader *out);

// Argument i of a packet whose header packet_header accepted, for i below its
// argc (not checked again): the offset and length digits and the argument's
// bytes are checked against size as packet_arg does. 0 and the view, or -1
// and an empty view. A reader that walks every argument this way checks the
// packet as packet_check does, in one pass.
inline int packet_arg_at(const char *pkt, size_t size, uint32_t i, std::string_view *out) {
    uint32_t off = 0, len = 0;
    if (parse_hex4(pkt + PKT_HEADER_SIZE + 4 * size_t{i}, &off) != 0 || off < PKT_HEADER_SIZE ||
        size_t{off} + 4 > size || parse_hex4(pkt + off, &len) != 0 ||
        size_t{off} + 4 + len > size) {
        *out = std::string_view();
        return -1;
    }
    *out = std::string_view(pkt + off + 4, len);
    return 0;
}

// Argument i of a packet of `size` bytes as a view into the packet. Returns 0,
// or -1 when i is out of range or the argument does not lie inside the packet
// (the view is then empty).
[[nodiscard]] int packet_arg(const char *pkt, size_t size, int i, std::string_view *out);

// Copies argument i into dest (capacity dest_size, NUL included). 0 on
// success; -1 when absent or malformed; -2 when it is longer than
// dest_size - 1. On failure dest holds the empty text.
[[nodiscard]] int get_argument(const char *pkt, size_t size, int i, char *dest, size_t dest_size);

// Argument i as a string (empty when absent).
std::string arg_string(const char *pkt, size_t size, int i);

}  // namespace dqp
