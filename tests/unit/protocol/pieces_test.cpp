// PIECE packets: where a text may be cut, and what a receiver reads back.
#include "protocol/pieces.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/packet.h"

namespace {

TEST(Pieces, EndsInsideCharacterAtEachCut) {
    struct Case {
        std::string piece;
        bool inside;
    } cases[] = {
        {"", false},
        {"abc", false},
        {"a\xC3", true},              // é cut after its lead byte
        {"a\xC3\xA9", false},         // é whole
        {"\xE2\x82", true},           // € cut after two of three
        {"\xE2\x82\xAC", false},      // € whole
        {"\xF0\x9F\x98", true},       // a 4-byte character cut after three
        {"\xF0\x9F\x98\x80", false},  // whole
        {"x\x80", false},             // a lone continuation byte is no character to cut
        {"x\xFF", false},             // nor is a byte that no UTF-8 text holds
        {"\xE9"
         "a",
         false},  // an ASCII byte ends any piece
    };
    for (const Case &c : cases)
        EXPECT_EQ(dqp::ends_inside_character(c.piece), c.inside) << c.piece;
    // A cut splits only what the next bytes continue: Latin-1 text, whose
    // é looks like a lead byte, can be cut anywhere.
    EXPECT_TRUE(dqp::splits_character("a\xE2\x82", "\xAC"));
    EXPECT_FALSE(dqp::splits_character("a\xE9", "\xE9"));
    EXPECT_FALSE(dqp::splits_character("a\xE2\x82", ""));
    EXPECT_EQ(dqp::piece_cut(std::string(100, '\xE9'), 50), 50u);
}

TEST(Pieces, CutTakesTheLongestHeadThatFits) {
    struct Case {
        std::string text;
        size_t room, cut;
    } cases[] = {
        {"abcdef", 6, 6},  // the whole text when it fits
        {"abcdef", 4, 4},
        {"ab\xC3\xA9"
         "cd",
         3, 2},  // not between the two bytes of é
        {"ab\xC3\xA9"
         "cd",
         4, 4},
        {"\x01\x01z", 5, 1},  // a 0x01 takes 3 bytes of a frame
        {"\x01\x01z", 7, 3},
        {"\xE2\x82\xAC", 2, 0},  // not one character fits
    };
    for (const Case &c : cases)
        EXPECT_EQ(dqp::piece_cut(c.text, c.room), c.cut) << c.text << " in " << c.room;
}

TEST(Pieces, FullPieceFillsOneFrameExactly) {
    const size_t total = 100000;
    std::string text(dqp::piece_room(total), 'x');
    char pkt[dqp::PKT_BUFSIZE];
    EXPECT_EQ(dqp::build_piece(pkt, sizeof pkt, 3, total, text), dqp::PKT_MAX_SIZE);
    EXPECT_EQ(dqp::build_piece(pkt, sizeof pkt, 3, total, text + "x"), -1);
}

TEST(Pieces, ReadBackAndMalformedRefused) {
    char pkt[dqp::PKT_BUFSIZE];
    dqp::Piece p;
    std::string why;
    int len = dqp::build_piece(pkt, sizeof pkt, 2, 5000, "piece");
    ASSERT_EQ(dqp::read_piece(pkt, static_cast<size_t>(len), &p, &why), 0) << why;
    EXPECT_EQ(p.index, 2u);
    EXPECT_EQ(p.total, 5000u);
    EXPECT_EQ(p.bytes, "piece");

    struct Case {
        int32_t info;
        std::vector<std::string_view> args;
        const char *why;
    } bad[] = {
        {0, {"5"}, "malformed"},
        {0, {"5", "abc", "x"}, "malformed"},
        {0, {"", "abc"}, "not a number"},
        {0, {"+5", "abc"}, "not a number"},
        {0, {"12345678901", "abc"}, "not a number"},
        {0, {"2", "abc"}, "not a number"},  // shorter than the piece itself
        {-1, {"5", "abc"}, "no request has"},
        {static_cast<int32_t>(dqp::max_request_args()), {"5", "abc"}, "no request has"},
    };
    for (const Case &c : bad) {
        len = dqp::build_packet(pkt, sizeof pkt, dqp::PKT_TYPE_PIECE, c.info, c.args);
        ASSERT_GT(len, 0);
        EXPECT_EQ(dqp::read_piece(pkt, static_cast<size_t>(len), &p, &why), -1);
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
}

}  // namespace
