// The typed value format's pure pieces: names, hex, floats, UTF-8 cuts,
// descriptions and tags, each with the inputs a hostile peer may send.
#include "protocol/typed_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

using namespace dqp;

TEST(TypedValue, NamesEscapeOnlyPercentAndColonAndReadBack) {
    const struct {
        std::string_view name, escaped;
    } cases[] = {
        {"plain", "plain"}, {"a:b", "a%3Ab"}, {"100%", "100%25"}, {"%3A", "%253A"}, {"", ""}};
    for (const auto &c : cases) {
        EXPECT_EQ(escape_name(c.name), c.escaped);
        std::string back;
        ASSERT_EQ(unescape_name(c.escaped, &back), 0) << c.escaped;
        EXPECT_EQ(back, c.name);
    }
    std::string out;
    for (std::string_view bad : {"%", "%2", "%zz", "a%3", "%41"})
        EXPECT_EQ(unescape_name(bad, &out), -1) << bad;
}

TEST(TypedValue, HexIsLowerCaseAndRefusesBadDigits) {
    std::string hex;
    append_hex(std::string_view("\x00\x01\xAB\xff", 4), &hex);
    EXPECT_EQ(hex, "0001abff");
    std::string bytes;
    ASSERT_EQ(parse_hex_bytes("0001ABff", &bytes), 0);
    EXPECT_EQ(bytes, std::string("\x00\x01\xAB\xff", 4));
    for (std::string_view bad : {"0", "0g", "abc", "  "})
        EXPECT_EQ(parse_hex_bytes(bad, &bytes), -1) << bad;
}

TEST(TypedValue, FloatsAreTheShortestTextThatReadsBack) {
    EXPECT_EQ(float_text(1.5), "1.5");
    EXPECT_EQ(float_text(1e300), "1e+300");
    EXPECT_EQ(float_text(0.1), "0.1");
    EXPECT_EQ(float_text(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(float_text(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(float_text(-std::numeric_limits<double>::quiet_NaN()), "nan");
    for (double v : {1.0 / 3, -2.2250738585072014e-308, 123456789.125, 5e-324})
        EXPECT_EQ(strtod(float_text(v).c_str(), nullptr), v) << float_text(v);
}

TEST(TypedValue, CutsNeverSplitACharacter) {
    const std::string text = "a\xC3\xBC\xF0\x9F\x98\x80z";  // a ü 😀 z
    const struct {
        size_t max, cut;
    } cases[] = {{0, 0}, {1, 1}, {2, 1}, {3, 3}, {4, 3}, {5, 3}, {6, 3}, {7, 7}, {8, 8}, {99, 8}};
    for (const auto &c : cases)
        EXPECT_EQ(utf8_cut(text, c.max), c.cut) << c.max;
    // Not UTF-8 at all: cut where asked rather than never.
    EXPECT_EQ(utf8_cut("\x80\x80\x80\x80\x80", 4), 4u);
}

TEST(TypedValue, DescriptionsReadBackAndRefuseMalformedText) {
    TypedField f;
    f.name = "a:b%";
    f.width = 10;
    f.letter = 'N';
    f.scale = 2;
    f.type = ValueType::Decimal;
    f.precision = 38;
    f.nullable = 1;
    f.display = 40;
    f.source = "numeric";
    const std::string row = format_typed_description(f, false);
    EXPECT_EQ(row, "a%3Ab%25:10:N:2:decimal:38:1:40:numeric:");
    f.readonly = true;
    EXPECT_EQ(format_typed_description(f, true), "a%3Ab%25:10:N:2:1:decimal:38:1:40:numeric:");

    TypedField back;
    size_t used = 0;
    const std::string described = row + "=12.30";
    ASSERT_EQ(parse_typed_description(described, false, &back, &used), 0);
    EXPECT_EQ(described.substr(used), "=12.30");
    EXPECT_EQ(back.name, "a:b%");
    EXPECT_EQ(back.type, ValueType::Decimal);
    EXPECT_EQ(back.precision, 38);
    EXPECT_EQ(back.display, 40);
    EXPECT_EQ(back.source, "numeric");
    ASSERT_EQ(parse_typed_description(format_typed_description(f, true), true, &back, &used), 0);
    EXPECT_TRUE(back.readonly);

    for (std::string_view bad :
         {"x:1:N:0:", "x:1:N:0:int:1:1:1:", "x:1:NN:0:int:1:1:1::", "x:1:N:0:integer:1:1:1::",
          "x:1:N:0:int:1:3:1::", "x:one:N:0:int:1:1:1::", "x%:1:N:0:int:1:1:1::", ""})
        EXPECT_EQ(parse_typed_description(bad, false, &back, &used), -1) << bad;
    for (int t = 0; t <= static_cast<int>(ValueType::Other); t++) {
        ValueType parsed;
        ASSERT_EQ(parse_type_word(type_word(static_cast<ValueType>(t)), &parsed), 0);
        EXPECT_EQ(static_cast<int>(parsed), t);
    }
}

TEST(TypedValue, TagsSplitAndRefuseMalformedValues) {
    TaggedValue v;
    ASSERT_EQ(parse_tagged_value("=", &v), 0);
    EXPECT_EQ(v.tag, kWholeTag);
    EXPECT_EQ(v.text, "");
    ASSERT_EQ(parse_tagged_value("-", &v), 0);
    EXPECT_EQ(v.tag, kNullTag);
    ASSERT_EQ(parse_tagged_value("+abc", &v), 0);
    EXPECT_EQ(v.text, "abc");
    for (std::string_view bad : {"", "x", "-x", " =a"})
        EXPECT_EQ(parse_tagged_value(bad, &v), -1) << bad;
}

TEST(TypedValue, RowsReassembleFromPiecesAndRefuseHostileOnes) {
    TypedRowAssembler a(10);
    ASSERT_EQ(a.start({"=x", "+ab", "-", "+c"}), 0);
    EXPECT_FALSE(a.whole());
    ASSERT_EQ(a.add_piece(2, "+cd"), 0);
    ASSERT_EQ(a.add_piece(2, "=e"), 0);
    ASSERT_EQ(a.add_piece(4, "=d"), 0);
    ASSERT_TRUE(a.whole());
    EXPECT_EQ(a.values(), (std::vector<std::string>{"x", "abcde", "", "cd"}));
    EXPECT_EQ(a.nulls(), (std::vector<bool>{false, false, true, false}));

    const struct {
        std::vector<std::string_view> row;
        int32_t column;
        std::string_view piece;
    } hostile[] = {
        {{}, 1, "=a"},              // a piece without its row
        {{"=a"}, 1, "=b"},          // a piece for a whole row
        {{"=a", "+b"}, 1, "=c"},    // the wrong column
        {{"+a"}, 1, "-"},           // a NULL piece
        {{"+a"}, 1, "x"},           // no tag
        {{"+a"}, 1, "+0123456789"}  // past the longest value
    };
    for (const auto &h : hostile) {
        TypedRowAssembler b(10);
        if (!h.row.empty()) {
            ASSERT_EQ(b.start(h.row), 0);
        }
        EXPECT_EQ(b.add_piece(h.column, h.piece), -1) << h.piece;
        EXPECT_FALSE(b.error().empty());
        EXPECT_FALSE(b.whole());
    }
    TypedRowAssembler c(10);
    EXPECT_EQ(c.start({"=a", "?"}), -1);
    EXPECT_EQ(c.start({"=0123456789x"}), -1);
}
