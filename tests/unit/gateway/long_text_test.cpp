// Long character values inline: reading a value from its own buffer, cutting
// it at a character boundary with the marker, sharing a packet's room among
// several long values, and the description the client sees.
#include "gateway/long_text.h"

#include <gtest/gtest.h>

#include <cstring>

#include "gateway/row_format.h"
#include "protocol/long_text.h"
#include "protocol/packet.h"

using namespace vnx;
using dqp::kLongTextCut;
using dqp::kLongTextMax;

namespace {

svr_column long_column(const char *name) {
    svr_column c;
    c.name = name;
    c.sql_type = SQL_LONGVARCHAR;
    c.precision = 65536;
    c.updatable = 1;
    c.long_data.assign(kLongTextMax + 1, '\0');
    return c;
}

// Fills the column's buffer as a driver does for a value of `full` bytes:
// what fits, terminated, and the full length as the indicator.
void fetched(svr_column *c, const std::string &full) {
    size_t n = std::min(full.size(), kLongTextMax);
    memcpy(c->long_data.data(), full.data(), n);
    c->long_data[n] = '\0';
    c->length = static_cast<SQLLEN>(full.size());
}

std::string repeat(std::string_view piece, size_t times) {
    std::string s;
    for (size_t i = 0; i < times; i++)
        s += piece;
    return s;
}

}  // namespace

TEST(LongValue, NullIsEmptyAndWhole) {
    svr_column c = long_column("m");
    c.length = SQL_NULL_DATA;
    LongValue v = long_value(c);
    EXPECT_TRUE(v.text.empty());
    EXPECT_TRUE(v.whole);
}

TEST(LongValue, ValueUpToTheLimitIsWhole) {
    svr_column c = long_column("m");
    fetched(&c, "");
    EXPECT_TRUE(long_value(c).whole);
    EXPECT_EQ(long_value(c).text, "");
    std::string exact(kLongTextMax, 'x');
    fetched(&c, exact);
    EXPECT_TRUE(long_value(c).whole);
    EXPECT_EQ(long_value(c).text, exact);
}

TEST(LongValue, LongerValueOrUnknownLengthIsNotWhole) {
    svr_column c = long_column("m");
    fetched(&c, std::string(kLongTextMax + 1, 'x'));
    EXPECT_FALSE(long_value(c).whole);
    EXPECT_EQ(long_value(c).text.size(), kLongTextMax);
    c.length = SQL_NO_TOTAL;
    EXPECT_FALSE(long_value(c).whole);
}

TEST(LongValue, UnterminatedFullBufferIsReadNoFurtherThanTheLimit) {
    svr_column c = long_column("m");
    memset(c.long_data.data(), 'y', c.long_data.size());  // no NUL anywhere
    c.length = 40000;
    EXPECT_EQ(long_value(c).text.size(), kLongTextMax);
}

TEST(LongValue, NulInsideEndsTheTextAndCountsAsCut) {
    svr_column c = long_column("m");
    fetched(&c, std::string("ab\0cd", 5));
    EXPECT_EQ(long_value(c).text, "ab");
    EXPECT_FALSE(long_value(c).whole);
}

TEST(CutLongText, EndsWithTheMarkerWithinTheRoom) {
    std::string cut = cut_long_text(std::string(100, 'a'), 20);
    EXPECT_EQ(cut, std::string(15, 'a') + std::string(kLongTextCut));
}

TEST(CutLongText, NeverSplitsACharacter) {
    std::string text = repeat("\xC3\xBC", 50);  // "ü" x 50
    // 20 bytes of room leave 15 for text: 7 whole characters, not 7.5.
    std::string cut = cut_long_text(text, 20);
    EXPECT_EQ(cut, repeat("\xC3\xBC", 7) + std::string(kLongTextCut));
    std::string three = repeat("\xE2\x82\xAC", 10);  // "€" x 10
    EXPECT_EQ(cut_long_text(three, 5 + 7), repeat("\xE2\x82\xAC", 2) + std::string(kLongTextCut));
}

TEST(CutLongText, CountsTheEscapeByteAsThreeBytesOnTheWire) {
    std::string text(10, '\x01');
    std::string cut = cut_long_text(text, 5 + 9);
    EXPECT_EQ(cut, std::string(3, '\x01') + std::string(kLongTextCut));
    EXPECT_EQ(wire_cost(cut), 14u);
}

TEST(CutLongText, RoomForLessThanTheMarkerGivesTheMarkerAlone) {
    EXPECT_EQ(cut_long_text("abcdef", 2), std::string(kLongTextCut));
}

TEST(ShareBudget, EveryoneGetsWhatTheyWantWhenItFits) {
    EXPECT_EQ(share_budget({10, 20, 30}, 60), (std::vector<size_t>{10, 20, 30}));
}

TEST(ShareBudget, SmallValuesServedFirstTheRestSplitEvenly) {
    EXPECT_EQ(share_budget({1000, 10, 1000}, 610), (std::vector<size_t>{300, 10, 300}));
    EXPECT_EQ(share_budget({5, 5}, 0), (std::vector<size_t>{0, 0}));
}

TEST(LongTextRow, OneLongValueComesWholeBesideOtherColumns) {
    svr_columns cols;
    cols.columns.resize(2);
    cols.columns[0].name = "id";
    cols.columns[0].sql_type = SQL_VARCHAR;
    cols.columns[0].precision = 10;
    strcpy(cols.columns[0].data, "k1");
    cols.columns[0].length = 2;
    cols.columns[1] = long_column("body");
    std::string body = repeat(
        "gr\xC3\xBC\xC3\x9F"
        "e ",
        600);  // 4800 bytes, trailing blank kept
    fetched(&cols.columns[1], body);
    std::vector<std::string> texts;
    build_long_text_row(cols, false, dqp::PKT_MAX_SIZE, &texts);
    EXPECT_EQ(texts, (std::vector<std::string>{"k1", body}));
    build_long_text_row(cols, true, dqp::PKT_MAX_SIZE, &texts);
    EXPECT_EQ(texts, (std::vector<std::string>{"id:10:C:0:k1", "body:8000:T:0:" + body}));
}

TEST(LongTextRow, SeveralLongValuesAreCutToFitThePacket) {
    svr_columns cols;
    for (const char *name : {"a", "b", "c"}) {
        cols.columns.push_back(long_column(name));
        fetched(&cols.columns.back(), std::string(7000, 'z'));
    }
    std::vector<std::string> texts;
    const size_t limit = dqp::PKT_MAX_SIZE;
    build_long_text_row(cols, true, limit, &texts);
    size_t packet = dqp::PKT_HEADER_SIZE;
    for (const std::string &t : texts) {
        packet += 8 + t.size();
        EXPECT_TRUE(t.ends_with(kLongTextCut));
        EXPECT_GT(t.size(), 5000u);
    }
    EXPECT_LE(packet, limit);
}

TEST(LongTextRow, ColumnsWithoutTheirOwnBufferKeepThePlaceholder) {
    svr_column c;
    c.name = "m";
    c.sql_type = SQL_LONGVARCHAR;
    strcpy(c.data, "abc");
    c.length = 3;
    EXPECT_EQ(field_description(c, false), "m:4:M:0:");
    EXPECT_EQ(value_text(c), "Bitmap image");
    svr_column inline_col = long_column("m");
    EXPECT_EQ(field_description(inline_col, true), "m:8000:T:0:0:");
}
