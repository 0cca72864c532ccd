// Statements and values longer than a packet: the PIECE packets ('+') that
// carry the leading parts of a request's long arguments ahead of the request.
//
// A PIECE's info is the index of one of the next request's arguments; its two
// arguments are the total length of that argument in bytes (decimal) and the
// next piece of it. The request carries the argument's last piece (possibly
// empty) in its place; the receiver joins the pieces to it and answers no
// PIECE. Pieces are cut at UTF-8 character boundaries and each one that does
// not end its argument carries at least kMinPieceBytes, so that a flood of
// tiny pieces is told apart from a long text.
//
// This module only builds, reads and cuts: it never sends, and it holds no
// state. The sender is the client (client/dqp_client.cpp), the receiver the
// request loop (runtime/request_pieces.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace dqp {

// The most bytes any gateway joins for one request: the ceiling of ODBServer
// "max_statement_bytes". A client refuses more before it sends anything.
inline constexpr size_t kPieceTotalCeiling = size_t{1} << 30;
// A piece that does not end its argument carries at least this many bytes.
inline constexpr size_t kMinPieceBytes = 1024;
// Every argument index below this can be one of a request's: a packet holds
// at most this many arguments (each takes 8 bytes of offset and length).
uint32_t max_request_args();

// True when `piece` ends inside a UTF-8 character: its last lead byte
// announces more bytes than follow it.
bool ends_inside_character(std::string_view piece);

// True when a cut between `before` and `after` splits a UTF-8 character:
// `before` ends inside one and `after` goes on with a continuation byte.
// Bytes that are no UTF-8 (Latin-1 text, a lone continuation byte) split
// nothing, so any byte string can be cut somewhere near any point.
bool splits_character(std::string_view before, std::string_view after);

// Bytes `text` takes in a frame at most: a 0x01 byte is sent as a 3-byte
// escape, every other byte as at most itself.
size_t wire_cost(std::string_view text);

// Length of the longest head of `text` that takes at most `room` bytes in a
// frame and does not split a character; the whole text when it fits. 0
// only when not even one character fits.
size_t piece_cut(std::string_view text, size_t room);

// True when a request with these arguments fits one frame as it is (an
// upper bound: 0x01 bytes counted as escapes).
bool fits_one_frame(std::span<const std::string_view> args);

// Frame bytes a PIECE of an argument of `total` bytes has for its piece.
size_t piece_room(size_t total);

// Builds a PIECE packet into buf (capacity cap, NUL included): its length, or
// -1 when it does not fit.
[[nodiscard]] int build_piece(char *buf, size_t cap, uint32_t index, size_t total,
                              std::string_view piece);

// One received PIECE, as views into its packet.
struct Piece {
    uint32_t index = 0;
    size_t total = 0;
    std::string_view bytes;
};

// Reads a received PIECE packet of `size` bytes: 0, or -1 and *why when it is
// malformed (a bad packet, not two arguments, an index that no request can
// have, a total that is not a decimal number or is shorter than the piece).
[[nodiscard]] int read_piece(const char *pkt, size_t size, Piece *out, std::string *why);

}  // namespace dqp
