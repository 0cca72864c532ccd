// Long request arguments gathered from PIECE packets. See request_pieces.h.
#include "runtime/request_pieces.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <string_view>

#include "protocol/packet.h"
#include "protocol/pieces.h"
#include "support/settings_catalog.h"

namespace vnx {

namespace {

std::string arg_name(uint32_t index) {
    return "argument " + std::to_string(index);
}

std::string split_character(uint32_t index) {
    return "a piece of " + arg_name(index) + " ends inside a UTF-8 character";
}

}  // namespace

size_t max_statement_bytes() {
    return static_cast<size_t>(setting_number("ODBServer", "max_statement_bytes"));
}

void RequestPieces::fail(std::string why) {
    fault_ = std::move(why);
    std::vector<Arg>().swap(args_);
    announced_ = 0;
}

void RequestPieces::reject(std::string why) {
    pending_ = true;
    if (fault_.empty()) fail(std::move(why));
}

void RequestPieces::add(const char *pkt, size_t size) noexcept {
    pending_ = true;
    if (!fault_.empty()) return;  // the request is refused already
    try {
        dqp::Piece p;
        std::string why;
        if (dqp::read_piece(pkt, size, &p, &why) != 0) return fail(std::move(why));
        if (memchr(p.bytes.data(), '\0', p.bytes.size()) != nullptr)
            return fail("a piece of " + arg_name(p.index) +
                        " holds a NUL byte, which no request may carry");
        take(p.index, p.total, p.bytes);
    } catch (const std::exception &e) {
        fail(std::string("the pieces of a long argument cannot be kept: ") + e.what());
    }
}

void RequestPieces::take(uint32_t index, size_t total, std::string_view bytes) {
    if (args_.empty() || args_.back().index != index) {
        if (!args_.empty() && index < args_.back().index)
            return fail("a piece of " + arg_name(index) + " came after those of " +
                        arg_name(args_.back().index) +
                        ": the pieces of each argument come together, in argument order");
        if (total > limit_ - announced_)
            return fail("the arguments joined from pieces would hold " +
                        std::to_string(announced_ + total) +
                        " bytes, over ODBServer \"max_statement_bytes\" (" +
                        std::to_string(limit_) + ")");
        args_.push_back({index, total, std::string()});
        args_.back().text.reserve(total);
        announced_ += total;
    } else if (args_.back().total != total) {
        return fail("the pieces of " + arg_name(index) + " disagree on its length (" +
                    std::to_string(args_.back().total) + " and " + std::to_string(total) +
                    " bytes)");
    }
    Arg &a = args_.back();
    size_t left = a.total - a.text.size();
    if (left == 0)
        return fail("a piece of " + arg_name(index) + " comes after its " +
                    std::to_string(a.total) + " bytes are complete");
    if (bytes.size() > left)
        return fail("the pieces of " + arg_name(index) + " hold more than the " +
                    std::to_string(a.total) + " bytes announced");
    if (bytes.size() < left && bytes.size() < dqp::kMinPieceBytes)
        return fail("a piece of " + arg_name(index) + " carries " + std::to_string(bytes.size()) +
                    " bytes: a piece that does not end its argument carries at least " +
                    std::to_string(dqp::kMinPieceBytes));
    if (dqp::splits_character(a.text, bytes)) return fail(split_character(index));
    a.text.append(bytes);
}

std::string RequestPieces::join(const char *pkt, size_t size) {
    if (!fault_.empty()) return fault_;
    dqp::PacketHeader h;
    if (dqp::packet_header(pkt, size, &h) != 0) fail("the request packet is malformed");
    for (size_t k = 0; fault_.empty() && k < args_.size(); k++) {
        Arg &a = args_[k];
        std::string_view last;
        if (a.index >= h.argc)
            fail("pieces were sent for " + arg_name(a.index) + ", but the request has " +
                 std::to_string(h.argc) + " arguments");
        else if (dqp::packet_arg_at(pkt, size, a.index, &last) != 0)
            fail("the request packet is malformed");
        else if (dqp::splits_character(a.text, last))
            fail(split_character(a.index));
        else if (a.text.size() + last.size() != a.total)
            fail(arg_name(a.index) + " does not complete its pieces: " + std::to_string(a.total) +
                 " bytes announced, " + std::to_string(a.text.size() + last.size()) + " sent");
        else
            a.text.append(last);
    }
    return fault_;
}

const std::string *RequestPieces::joined(uint32_t i) const {
    for (const Arg &a : args_)
        if (a.index == i) return &a.text;
    return nullptr;
}

void RequestPieces::clear() {
    std::vector<Arg>().swap(args_);
    announced_ = 0;
    fault_.clear();
    pending_ = false;
}

}  // namespace vnx
