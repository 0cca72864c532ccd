// Long request arguments joined from PIECE packets: the rules a hostile
// client can break, each refused with its reason, and the request loop
// handing the whole argument to its handler.
#include "runtime/request_pieces.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/packet.h"
#include "protocol/pieces.h"
#include "recording_backend.h"

namespace {

// A PIECE packet text: its info and arguments as given.
std::string packet(int type, int32_t info, std::vector<std::string_view> args) {
    std::string buf(dqp::PKT_BUFSIZE, '\0');
    int len = dqp::build_packet(buf.data(), buf.size(), type, info, args);
    EXPECT_GT(len, 0);
    buf.resize(static_cast<size_t>(len > 0 ? len : 0));
    return buf;
}

std::string piece(int32_t index, size_t total, const std::string &bytes) {
    return packet(dqp::PKT_TYPE_PIECE, index, {std::to_string(total), bytes});
}

const std::string k1200(1200, 'a');

TEST(RequestPieces, EachBrokenRuleIsTheRequestsRefusal) {
    struct Case {
        const char *what;
        std::vector<std::string> pieces;
        std::vector<std::string> request;  // the request's arguments
        const char *why;                   // empty: joined
    } cases[] = {
        {"two pieces and the last",
         {piece(0, 2500, k1200), piece(0, 2500, k1200)},
         {k1200.substr(0, 100)},
         ""},
        {"a piece that ends its argument", {piece(1, 10, "0123456789")}, {"x", ""}, ""},
        {"total over the limit", {piece(0, 5000, k1200)}, {""}, "max_statement_bytes\" (4096)"},
        {"totals over the limit together",
         {piece(0, 3000, k1200), piece(0, 3000, k1200), piece(1, 2000, k1200)},
         {"", ""},
         "would hold 5000 bytes"},
        {"pieces disagree", {piece(0, 2500, k1200), piece(0, 2600, k1200)}, {""}, "disagree"},
        {"continuation without its start",
         {piece(1, 2500, k1200), piece(0, 1200, k1200), piece(1, 2500, k1200)},
         {"", ""},
         "in argument order"},
        {"argument does not complete its pieces", {piece(0, 2500, k1200)}, {"short"}, "1205 sent"},
        {"more than announced",
         {piece(0, 1500, k1200), piece(0, 1500, k1200)},
         {""},
         "more than the 1500 bytes"},
        {"a piece after its argument is complete",
         {piece(0, 5, "abcde"), piece(0, 5, "")},
         {""},
         "after its 5 bytes"},
        {"pieces without their argument",
         {piece(2, 10, "0123456789")},
         {"x"},
         "the request has 1 arguments"},
        {"a tiny piece", {piece(0, 3000, "tiny")}, {""}, "at least 1024"},
        {"a piece cut inside a character",
         {piece(0, 3000, k1200 + "\xC3"), piece(0, 3000, "\xA9" + std::string(1798, 'a'))},
         {""},
         "inside a UTF-8 character"},
        {"the last piece continues a cut character",
         {piece(0, 1300, k1200 + "\xE2\x82")},
         {"\xAC" + std::string(97, 'a')},
         "inside a UTF-8 character"},
        {"a NUL byte", {piece(0, 3000, k1200 + std::string(1, '\0'))}, {""}, "NUL byte"},
        {"a malformed piece", {packet(dqp::PKT_TYPE_PIECE, 0, {"12"})}, {""}, "malformed"},
    };
    vnx::RequestPieces pieces(4096);
    for (const Case &c : cases) {
        for (const std::string &p : c.pieces)
            pieces.add(p.data(), p.size());
        ASSERT_TRUE(pieces.pending()) << c.what;
        std::string req = packet(dqp::PKT_TYPE_EXECSQL, 0, {c.request.begin(), c.request.end()});
        std::string why = pieces.join(req.data(), req.size());
        if (*c.why == '\0') {
            EXPECT_EQ(why, "") << c.what;
        } else {
            EXPECT_NE(why.find(c.why), std::string::npos) << c.what << ": " << why;
            // Nothing of a refused request's pieces is kept.
            for (uint32_t i = 0; i < 3; i++)
                EXPECT_EQ(pieces.joined(i), nullptr) << c.what;
        }
        pieces.clear();
        EXPECT_FALSE(pieces.pending());
    }
}

TEST(RequestPieces, JoinedArgumentIsWhole) {
    vnx::RequestPieces pieces(1 << 20);
    std::string text;
    for (int i = 0; i < 3000; i++)
        text += "é" + std::to_string(i);
    size_t first = dqp::piece_cut(text, 1500);
    std::string a = piece(1, text.size(), text.substr(0, first));
    pieces.add(a.data(), a.size());
    std::string req = packet(dqp::PKT_TYPE_OPEN, 0, {"CUR", text.substr(first)});
    ASSERT_EQ(pieces.join(req.data(), req.size()), "");
    ASSERT_NE(pieces.joined(1), nullptr);
    EXPECT_EQ(*pieces.joined(1), text);
    EXPECT_EQ(pieces.joined(0), nullptr);
}

// Through the request loop: the client cuts a long statement into pieces,
// the handler gets it whole; a broken piece refuses its request only.
TEST(RequestPieces, LoopJoinsAndRefusesAndGoesOn) {
    recording::Session s(recording::full_ops());
    std::string text = "SELECT '" + std::string(40000, 'q') + "'";
    dqp::Reply r = s.ask(dqp::PKT_TYPE_EXECSQL, {text});
    EXPECT_EQ(r.type, dqp::PKT_TYPE_OK);
    EXPECT_EQ(s.connection().pieces_sent(), 2u);
    EXPECT_EQ(recording::state.statement, text);

    ASSERT_EQ(s.send_packet(piece(0, 3000, k1200)), 0);
    r = s.ask(dqp::PKT_TYPE_EXECSQL, {"SELECT 1"});
    EXPECT_EQ(r.type, dqp::PKT_TYPE_NOK);
    EXPECT_EQ(r.args, (std::vector<std::string>{"0", "0"}));  // EXECSQL's reply shape
    EXPECT_NE(s.maperror().find("argument 0 does not complete its pieces: 3000 bytes announced, "
                                "1208 sent"),
              std::string::npos);

    ASSERT_EQ(s.send_packet(piece(0, 1200, k1200)), 0);
    r = s.ask(dqp::PKT_TYPE_COMMIT, {});
    EXPECT_EQ(r.type, dqp::PKT_TYPE_NOK);
    EXPECT_NE(s.maperror().find("before COMMIT, which takes none"), std::string::npos);

    r = s.ask(dqp::PKT_TYPE_EXECSQL, {"SELECT 2"});
    EXPECT_EQ(r.type, dqp::PKT_TYPE_OK);
    EXPECT_EQ(recording::state.statement, "SELECT 2");
}

}  // namespace
