// Long request arguments gathered from PIECE packets (protocol/pieces.h):
// the request loop hands every PIECE of its client here, answers none, and
// before the next request asks join() for the whole arguments, which the
// handlers then read through Request::arg.
//
// Rules, each broken one kept as the reason the next request is refused
// (the pieces are dropped at once, later pieces of that request ignored):
// the arguments announced for one request hold at most `limit` bytes in all
// (ODBServer "max_statement_bytes"); the pieces of one argument agree on its
// total and never exceed it; an argument's pieces come together and in
// argument order (a piece of an argument left earlier is a continuation
// without its start); a piece that does not end its argument carries at
// least kMinPieceBytes; no cut between pieces splits a UTF-8 character
// (refused when the bytes after it arrive); no piece holds a NUL byte. At join, each argument with
// pieces must exist in the request and its last piece must complete the announced total.
//
// Memory: an argument's buffer is reserved at its announced total when its
// first piece arrives, so what is held never exceeds the limit, and it is
// released when the request has been handled or refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vnx {

// ODBServer "max_statement_bytes": the most bytes one request's arguments
// joined from pieces may hold (default 64 MiB, 16384 up to the ceiling of
// dqp::kPieceTotalCeiling; anything else reads as the default). Read from
// the store on each call.
size_t max_statement_bytes();

class RequestPieces {
  public:
    explicit RequestPieces(size_t limit) : limit_(limit) {}

    void set_limit(size_t limit) { limit_ = limit; }
    // Takes one PIECE packet of `size` bytes. Never throws: running out of
    // memory is kept as a fault like a broken rule.
    void add(const char *pkt, size_t size) noexcept;
    // Takes a PIECE that is refused whatever it holds (`why`, unless an
    // earlier fault stands), keeping nothing of it.
    void reject(std::string why);
    // True when PIECE packets arrived since the last clear().
    bool pending() const { return pending_; }
    // Joins the gathered pieces with the last pieces the request packet
    // carries. Empty when every argument is complete (joined() gives it);
    // else why the request must be refused.
    std::string join(const char *pkt, size_t size);
    // Argument i joined from its pieces, or null when it had none.
    const std::string *joined(uint32_t i) const;
    // Drops every piece and fault, and gives their memory back.
    void clear();

  private:
    struct Arg {
        uint32_t index;
        size_t total;
        std::string text;
    };
    void fail(std::string why);
    void take(uint32_t index, size_t total, std::string_view bytes);

    size_t limit_;
    size_t announced_ = 0;   // the totals of args_, added up
    std::vector<Arg> args_;  // in argument order
    std::string fault_;
    bool pending_ = false;
};

}  // namespace vnx
