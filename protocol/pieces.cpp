// PIECE packets. See pieces.h.
#include "protocol/pieces.h"

#include <string>

#include "protocol/packet.h"

namespace dqp {

namespace {

// Bytes of the character a byte starts: 2 to 4 for a UTF-8 lead byte, 1 for
// anything else.
size_t char_length(unsigned char c) {
    if (c >= 0xC0 && c < 0xE0) return 2;
    if (c >= 0xE0 && c < 0xF0) return 3;
    if (c >= 0xF0 && c < 0xF8) return 4;
    return 1;
}

size_t decimal_digits(size_t v) {
    size_t n = 1;
    while (v >= 10) {
        v /= 10;
        n++;
    }
    return n;
}

// A decimal of at most 10 digits, no sign.
bool read_total(std::string_view text, size_t *out) {
    if (text.empty() || text.size() > 10) return false;
    size_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<size_t>(c - '0');
    }
    *out = v;
    return true;
}

}  // namespace

uint32_t max_request_args() {
    return (PKT_MAX_SIZE - PKT_HEADER_SIZE) / 8;
}

bool ends_inside_character(std::string_view piece) {
    // Only the last three bytes can hold a lead byte whose character is cut.
    size_t n = piece.size();
    for (size_t back = 1; back <= 3 && back <= n; back++) {
        auto c = static_cast<unsigned char>(piece[n - back]);
        if (c < 0x80) return false;
        if (c >= 0xC0) return char_length(c) > back;
    }
    return false;
}

bool splits_character(std::string_view before, std::string_view after) {
    return !after.empty() && (static_cast<unsigned char>(after[0]) & 0xC0) == 0x80 &&
           ends_inside_character(before);
}

size_t wire_cost(std::string_view text) {
    size_t cost = 0;
    for (char c : text)
        cost += c == '\x01' ? 3 : 1;
    return cost;
}

size_t piece_cut(std::string_view text, size_t room) {
    size_t n = 0, cost = 0;
    while (n < text.size()) {
        size_t c = text[n] == '\x01' ? 3 : 1;
        if (cost + c > room) break;
        cost += c;
        n++;
    }
    if (n == text.size()) return n;
    while (n > 0 && splits_character(text.substr(0, n), text.substr(n)))
        n--;
    return n;
}

bool fits_one_frame(std::span<const std::string_view> args) {
    size_t cost = PKT_HEADER_SIZE + 8 * args.size();
    for (std::string_view a : args)
        cost += wire_cost(a);
    return cost <= PKT_MAX_SIZE;
}

size_t piece_room(size_t total) {
    // Header, two offsets, the total's length and digits, the piece's length.
    size_t fixed = PKT_HEADER_SIZE + 2 * 4 + 4 + decimal_digits(total) + 4;
    return PKT_MAX_SIZE - fixed;
}

int build_piece(char *buf, size_t cap, uint32_t index, size_t total, std::string_view piece) {
    std::string digits = std::to_string(total);
    std::string_view args[] = {digits, piece};
    return build_packet(buf, cap, PKT_TYPE_PIECE, static_cast<int32_t>(index), args);
}

int read_piece(const char *pkt, size_t size, Piece *out, std::string *why) {
    PacketHeader h;
    std::string_view total;
    if (packet_header(pkt, size, &h) != 0 || h.argc != 2 ||
        packet_arg_at(pkt, size, 0, &total) != 0 || packet_arg_at(pkt, size, 1, &out->bytes) != 0) {
        *why =
            "a piece of a long argument is malformed: it must carry the argument's length and "
            "one piece";
        return -1;
    }
    if (h.info < 0 || static_cast<uint32_t>(h.info) >= max_request_args()) {
        *why = "a piece names argument " + std::to_string(h.info) + ", which no request has";
        return -1;
    }
    out->index = static_cast<uint32_t>(h.info);
    if (!read_total(total, &out->total) || out->total < out->bytes.size()) {
        *why = "a piece of argument " + std::to_string(out->index) +
               " announces a length that is not a number of bytes at least as long as the piece";
        return -1;
    }
    return 0;
}

}  // namespace dqp
