#include "protocol/packet.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using namespace dqp;

namespace {

std::string build(int type, int32_t info, std::vector<std::string_view> args) {
    char buf[PKT_BUFSIZE];
    int len = build_packet(buf, sizeof buf, type, info, args);
    EXPECT_GE(len, 0);
    return std::string(buf, len > 0 ? len : 0);
}

}  // namespace

TEST(Packet, EmptyOkPacketIsTwentyOneBytes) {
    EXPECT_EQ(build('Y', 0, {}), "00000000Y000000000000");
}

TEST(Packet, TwoArgumentsLayout) {
    EXPECT_EQ(build('Y', 1, {"ab", ""}), "00000000Y000000010002001D00230002ab0000");
}

TEST(Packet, NegativeInfoIsTwosComplement) {
    std::string p = build('N', -1, {});
    EXPECT_EQ(p.substr(9, 8), "FFFFFFFF");
    EXPECT_EQ(pkt_info(p.c_str()), -1);
    EXPECT_EQ(pkt_type(p.c_str()), 'N');
    EXPECT_EQ(pkt_argc(p.c_str()), 0);
    EXPECT_EQ(pkt_len(p.c_str()), 0u);
}

TEST(Packet, NullTextArgumentIsEmpty) {
    const char *argv[] = {"x", nullptr};
    char buf[64];
    int len = build_packet(buf, sizeof buf, 'A', 0, 2, argv);
    EXPECT_EQ(std::string(buf, len), "00000000A000000000002001D00220001x0000");
}

TEST(Packet, BuildRefusesWhatDoesNotFit) {
    char buf[40];
    std::vector<std::string_view> args{"ab", ""};
    EXPECT_EQ(build_packet(buf, 39, 'Y', 1, args), -1);  // 39 bytes + NUL needs 40
    EXPECT_EQ(build_packet(buf, 40, 'Y', 1, args), 39);
}

TEST(Packet, ArgumentReadBackAndOutOfRange) {
    std::string p = build('Y', 1, {"ab", ""});
    char dest[8];
    EXPECT_EQ(get_argument(p.c_str(), p.size(), 0, dest, sizeof dest), 0);
    EXPECT_STREQ(dest, "ab");
    EXPECT_EQ(get_argument(p.c_str(), p.size(), 1, dest, sizeof dest), 0);
    EXPECT_STREQ(dest, "");
    EXPECT_EQ(get_argument(p.c_str(), p.size(), 2, dest, sizeof dest), -1);
    EXPECT_STREQ(dest, "");
    EXPECT_EQ(get_argument(p.c_str(), p.size(), -1, dest, sizeof dest), -1);
}

TEST(Packet, ArgumentLongerThanDestinationIsRefusedNotCut) {
    std::string p = build('G', 0, {"abcdefgh"});
    char dest[8];
    EXPECT_EQ(get_argument(p.c_str(), p.size(), 0, dest, sizeof dest), -2);
    EXPECT_STREQ(dest, "");
    char fits[9];
    EXPECT_EQ(get_argument(p.c_str(), p.size(), 0, fits, sizeof fits), 0);
    EXPECT_STREQ(fits, "abcdefgh");
}

TEST(Packet, HexFieldsAcceptOnlyUpperCaseDigits) {
    uint32_t v = 0;
    EXPECT_EQ(parse_hex("00FF", 4, &v), 0);
    EXPECT_EQ(v, 255u);
    EXPECT_EQ(parse_hex("00ff", 4, &v), -1);
    EXPECT_EQ(parse_hex("00G0", 4, &v), -1);
    EXPECT_EQ(parse_hex(" 001", 4, &v), -1);
}

TEST(Packet, HexDigitsOfEveryWidthAreTheLowDigitsOfTheValue) {
    // Odd and even widths, values wider than the field (only the low digits
    // are written), and nothing written outside the field.
    const uint32_t values[] = {0, 1, 0xF, 0x10, 0xAB, 0x1234, 0xFFFF, 0x12345, 0x89ABCDEF};
    for (int width = 1; width <= 8; width++)
        for (uint32_t v : values) {
            char text[10];
            memset(text, '#', sizeof text);
            put_hex(text + 1, width, v);
            char expected[16];
            uint64_t mask = (uint64_t{1} << (4 * width)) - 1;
            snprintf(expected, sizeof expected, "%0*llX", width,
                     static_cast<unsigned long long>(v & mask));
            EXPECT_EQ(std::string(text + 1, static_cast<size_t>(width)), expected)
                << "width " << width << " value " << v;
            EXPECT_EQ(text[0], '#');
            EXPECT_EQ(text[1 + width], '#');
            uint32_t back = 0;
            EXPECT_EQ(parse_hex(text + 1, width, &back), 0);
            EXPECT_EQ(back, v & mask);
        }
}

TEST(Packet, CheckAcceptsBuiltPackets) {
    std::string p = build('C', 7, {"dsn", "user", "pw", ""});
    EXPECT_EQ(packet_check(p.c_str(), p.size()), 0);
}

TEST(Packet, CheckRefusesShortHeaderAndBadDigits) {
    std::string p = build('Y', 0, {});
    EXPECT_EQ(packet_check(p.c_str(), 20), -1);
    std::string bad = p;
    bad[10] = 'x';  // pkt_info
    EXPECT_EQ(packet_check(bad.c_str(), bad.size()), -1);
    bad = p;
    bad[20] = 'g';  // pkt_argc
    EXPECT_EQ(packet_check(bad.c_str(), bad.size()), -1);
}

TEST(Packet, CheckRefusesArgumentCountBeyondPacket) {
    std::string p = build('Y', 0, {"ab"});
    p.replace(17, 4, "0005");  // claims five arguments, holds one
    EXPECT_EQ(packet_check(p.c_str(), p.size()), -1);
    std::string_view arg;
    EXPECT_EQ(packet_arg(p.c_str(), p.size(), 3, &arg), -1);
}

TEST(Packet, CheckRefusesOffsetOutsidePacket) {
    std::string p = build('Y', 0, {"ab"});
    p.replace(21, 4, "FFF0");
    EXPECT_EQ(packet_check(p.c_str(), p.size()), -1);
    p.replace(21, 4, "0000");  // points into the header
    EXPECT_EQ(packet_check(p.c_str(), p.size()), -1);
}

TEST(Packet, CheckRefusesArgumentLengthBeyondPacket) {
    std::string p = build('Y', 0, {"ab"});
    p.replace(25, 4, "0003");
    EXPECT_EQ(packet_check(p.c_str(), p.size()), -1);
    char dest[16];
    EXPECT_EQ(get_argument(p.c_str(), p.size(), 0, dest, sizeof dest), -1);
}

TEST(Packet, TypeNames) {
    EXPECT_STREQ(packet_type_name('Y'), "PKT_TYPE_OK");
    EXPECT_STREQ(packet_type_name('m'), "PKT_TYPE_EXTENDED_FETCH");
    EXPECT_EQ(packet_type_name('3'), nullptr);
    EXPECT_EQ(packet_type_name('5'), nullptr);
    EXPECT_EQ(packet_type_name('='), nullptr);
}

TEST(PacketWriter, InPlaceBuildMatchesBuildPacketAndRefusesOverflow) {
    char a[64], b[64];
    std::vector<std::string_view> args{"abc", "", "xyz12"};
    int want = build_packet(a, sizeof a, 'T', -2, args);
    PacketWriter w(b, sizeof b, 'T', -2, 3);
    memcpy(w.data(), "abc", 3);
    w.end(3);
    w.add("");
    w.add("xyz12");
    ASSERT_EQ(w.finish(), want);
    EXPECT_STREQ(a, b);

    // Exactly full, then one byte too many: refused, and nothing written past
    // the capacity.
    char c[48];
    memset(c, '#', sizeof c);
    PacketWriter full(c, 39, 'Y', 1, 2);  // 21 + 2 * 4 + 4 + 1 + 4 + 0 = 38 and the NUL
    full.add("x");
    EXPECT_EQ(full.room(), 0u);
    full.add("");
    EXPECT_EQ(full.finish(), 38);
    PacketWriter over(c, 39, 'Y', 1, 2);
    over.add("xy");
    over.add("");
    EXPECT_EQ(over.finish(), -1);
    EXPECT_EQ(std::string(c + 39, c + 48), std::string(9, '#'));

    // Fewer arguments than announced, or a length beyond the room: refused.
    PacketWriter few(c, sizeof c, 'Y', 0, 2);
    few.add("a");
    EXPECT_EQ(few.finish(), -1);
    PacketWriter lie(c, sizeof c, 'Y', 0, 1);
    lie.end(lie.room() + 1);
    EXPECT_EQ(lie.finish(), -1);
}
