#include "protocol/rle.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "protocol/packet.h"

using namespace dqp;

namespace {

std::string encode(const std::string &in) {
    std::string out(3 * in.size() + 3, '\0');
    int n = rle_encode(in.data(), in.size(), out.data(), out.size());
    EXPECT_GE(n, 0);
    out.resize(n > 0 ? n : 0);
    return out;
}

std::string decode(const std::string &in) {
    std::string out(70000, '\0');
    int n = rle_decode(in.data(), in.size(), out.data(), out.size());
    EXPECT_GE(n, 0);
    out.resize(n > 0 ? n : 0);
    return out;
}

std::string esc(int n, char b) {
    return std::string{'\x01', static_cast<char>(n), b};
}

}  // namespace

TEST(Rle, WorkedExamples) {
    EXPECT_EQ(encode("AAAB"), esc(3, 'A') + "B");
    EXPECT_EQ(encode("AAB"), "AAB");
    EXPECT_EQ(encode("ABBBBBC"), "A" + esc(5, 'B') + "C");
    EXPECT_EQ(encode("Y000000000000"), "Y" + esc(12, '0'));
}

TEST(Rle, RunLengthBoundaries) {
    EXPECT_EQ(encode("b"), "b");
    EXPECT_EQ(encode("bb"), "bb");
    EXPECT_EQ(encode("bbb"), esc(3, 'b'));
    EXPECT_EQ(encode(std::string(253, 'b')), esc(253, 'b'));
    EXPECT_EQ(encode(std::string(254, 'b')), esc(253, 'b') + "b");
    EXPECT_EQ(encode(std::string(255, 'b')), esc(253, 'b') + "bb");
    EXPECT_EQ(encode(std::string(256, 'b')), esc(253, 'b') + esc(3, 'b'));
    EXPECT_EQ(encode(std::string(300, 'b')), esc(253, 'b') + esc(47, 'b'));
    EXPECT_EQ(encode(std::string(506, 'b')), esc(253, 'b') + esc(253, 'b'));
}

TEST(Rle, EscapeByteIsAlwaysEscaped) {
    EXPECT_EQ(encode("A\x01"
                     "B"),
              "A" + esc(1, '\x01') + "B");
    EXPECT_EQ(encode("\x01\x01"), esc(1, '\x01') + esc(1, '\x01'));
    EXPECT_EQ(encode("\x01\x01\x01\x01"), esc(4, '\x01'));
}

TEST(Rle, RoundTripMixedData) {
    std::string in;
    for (int i = 0; i < 5000; i++)
        in += static_cast<char>((i * 7919) % 13 < 5 ? ' ' : i % 251);
    EXPECT_EQ(decode(encode(in)), in);
    std::string all;
    for (int i = 0; i < 256; i++)
        all.append(i % 5 + 1, static_cast<char>(i));
    EXPECT_EQ(decode(encode(all)), all);
}

TEST(Rle, EncodeRefusesToOverrun) {
    char out[2];
    EXPECT_EQ(rle_encode("ABC", 3, out, sizeof out), -1);
    EXPECT_EQ(rle_encode("AAAA", 4, out, sizeof out), -1);  // escape needs 3
}

TEST(Rle, DecodeRefusesOverrunAndCutEscape) {
    char out[10];
    std::string big = esc(11, 'x');
    EXPECT_EQ(rle_decode(big.data(), big.size(), out, sizeof out), -1);
    EXPECT_EQ(rle_decode("ab\x01\x05", 4, out, sizeof out), -1);
    EXPECT_EQ(rle_decode("ab\x01", 3, out, sizeof out), -1);
    std::string zero = esc(0, 'x');
    EXPECT_EQ(rle_decode(zero.data(), zero.size(), out, sizeof out), 0);
}

TEST(Frame, OkPacketFramesToTwelveBytes) {
    char pkt[] = "00000000Y000000000000";
    char frame[PKT_MAX_SIZE];
    int n = frame_encode(pkt, 21, frame, sizeof frame);
    ASSERT_EQ(n, 12);
    EXPECT_EQ(std::string(frame, 12), "0000000CY" + esc(12, '0'));
    EXPECT_EQ(std::string(pkt, 8), "00000015");  // its own length, 21
}

TEST(Frame, NeverLongerThanThePacketAndDecodesExactly) {
    char pkt[] = "00000000Y1A2B3C4D000100190002xy";  // short runs only
    std::string p(pkt);
    char frame[PKT_MAX_SIZE];
    int n = frame_encode(pkt, p.size(), frame, sizeof frame);
    ASSERT_GT(n, 0);
    EXPECT_LE(n, static_cast<int>(p.size()));
    char back[PKT_BUFSIZE];
    int len = frame_decode(frame, static_cast<size_t>(n), back, sizeof back);
    ASSERT_EQ(len, static_cast<int>(p.size()));
    EXPECT_EQ(std::string(back + 8, p.size() - 8), p.substr(8));
}

TEST(Frame, PacketHoldingEscapeByteSurvivesRoundTrip) {
    std::string text = "00000000T1A2B3C4D000100190003a\x01z";  // no runs to gain from
    std::vector<char> pkt(text.begin(), text.end());
    pkt.push_back('\0');
    char frame[PKT_MAX_SIZE];
    int n = frame_encode(pkt.data(), text.size(), frame, sizeof frame);
    ASSERT_GT(n, 0);
    EXPECT_GT(n, static_cast<int>(text.size()));  // encoded although longer
    char back[PKT_BUFSIZE];
    int len = frame_decode(frame, n, back, sizeof back);
    ASSERT_EQ(len, static_cast<int>(text.size()));
    EXPECT_EQ(std::string(back + 8, len - 8), text.substr(8));
}

TEST(Frame, LengthFieldValidation) {
    size_t len = 0;
    EXPECT_EQ(frame_length("0000000C", PKT_MAX_SIZE, &len), 0);
    EXPECT_EQ(len, 12u);
    EXPECT_EQ(frame_length("00000008", PKT_MAX_SIZE, &len), 0);
    EXPECT_EQ(frame_length("00000007", PKT_MAX_SIZE, &len), -1);
    EXPECT_EQ(frame_length("00004000", PKT_MAX_SIZE, &len), 0);
    EXPECT_EQ(frame_length("00004001", PKT_MAX_SIZE, &len), -1);
    EXPECT_EQ(frame_length("0000000c", PKT_MAX_SIZE, &len), -1);
    EXPECT_EQ(frame_length("ZZZZZZZZ", PKT_MAX_SIZE, &len), -1);
}

TEST(Frame, DecodeRefusesOversizeAndNulBytes) {
    std::string frame = "00000000";
    for (int i = 0; i < 70; i++)
        frame += esc(253, 'x');  // 17710 bytes decoded
    char pkt[PKT_BUFSIZE];
    EXPECT_EQ(frame_decode(frame.data(), frame.size(), pkt, sizeof pkt), -1);
    std::string nul = "0000000CY" + esc(3, '\0');
    EXPECT_EQ(frame_decode(nul.data(), nul.size(), pkt, sizeof pkt), -1);
    EXPECT_EQ(frame_decode("00000008", 8, pkt, sizeof pkt), 8);
}

TEST(Frame, DecodeBytesKeepsTheNulBytesDecodeRefuses) {
    std::string frame = "0000000EY" + esc(3, '\0') + "ab";  // "Y", three NULs, "ab"
    char pkt[PKT_BUFSIZE];
    EXPECT_EQ(frame_decode(frame.data(), frame.size(), pkt, sizeof pkt), -1);
    ASSERT_EQ(frame_decode_bytes(frame.data(), frame.size(), pkt, sizeof pkt), 14);
    EXPECT_EQ(std::string(pkt, 15), std::string("0000000EY\0\0\0ab\0", 15));
    std::string cut = "0000000BY\x01\x03";  // escape cut by the frame end
    EXPECT_EQ(frame_decode_bytes(cut.data(), cut.size(), pkt, sizeof pkt), -1);
    EXPECT_EQ(frame_decode_bytes(frame.data(), frame.size(), pkt, 14), -1);  // no room for the NUL
    EXPECT_EQ(frame_decode_bytes(frame.data(), frame.size(), pkt, 15), 14);
}

TEST(Frame, FrameLargerThanLimitIsRefused) {
    // 16384 bytes of data that cannot compress, holding an escape byte: the
    // frame would exceed the receiver's buffer and must not be built.
    std::vector<char> pkt(PKT_BUFSIZE, '\0');
    for (int i = 8; i < PKT_MAX_SIZE; i++)
        pkt[i] = static_cast<char>('a' + (i % 2));
    pkt[100] = '\x01';
    char frame[PKT_MAX_SIZE];
    EXPECT_EQ(frame_encode(pkt.data(), PKT_MAX_SIZE, frame, sizeof frame), -1);
}

TEST(Frame, PacketLongerThanAnIntIsRefusedUntouched) {
    // Refused on its length alone: neither buffer is read or written.
    char pkt[] = "00000000Y000000000000";
    char frame[PKT_MAX_SIZE] = {};
    size_t huge = static_cast<size_t>(INT_MAX) + 1;
    EXPECT_EQ(frame_encode(pkt, huge, frame, sizeof frame), -1);
    EXPECT_EQ(frame_encode(pkt, huge, frame, SIZE_MAX), -1);
    EXPECT_EQ(std::string(pkt), "00000000Y000000000000");
    EXPECT_EQ(frame[0], '\0');
}

TEST(Rle, CapacityAboveIntRangeStillWorks) {
    // A capacity past INT_MAX is held to INT_MAX, not wrapped.
    std::string enc = esc(5, 'x') + "yz";
    char out[16];
    EXPECT_EQ(rle_decode(enc.data(), enc.size(), out, SIZE_MAX), 7);
    EXPECT_EQ(std::string(out, 7), "xxxxxyz");
}
