// Field descriptions and value texts of result columns.
#include "gateway/row_format.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace vnx;

namespace {

svr_column column(const char *name, SQLSMALLINT type, SQLULEN precision, SQLSMALLINT scale = 0) {
    svr_column c;
    c.name = name;
    c.sql_type = type;
    c.precision = precision;
    c.width = precision;
    c.scale = scale;
    c.updatable = 1;
    return c;
}

void put_text(svr_column *c, const char *text) {
    size_t n = strlen(text);
    memcpy(c->data, text, n + 1);
    c->length = static_cast<SQLLEN>(n);
}

template <typename T>
void put_number(svr_column *c, T v) {
    memcpy(c->data, &v, sizeof v);
    c->length = sizeof v;
}

}  // namespace

TEST(FieldDescription, RowsAndFieldListFormats) {
    svr_column c = column("NAME", SQL_CHAR, 10);
    EXPECT_EQ(field_description(c, false), "NAME:10:C:0:");
    EXPECT_EQ(field_description(c, true), "NAME:10:C:0:0:");
    c.updatable = 0;
    EXPECT_EQ(field_description(c, true), "NAME:10:C:0:1:");
    EXPECT_EQ(field_description(column("N", SQL_NUMERIC, 8, 2), false), "N:8:N:2:");
}

TEST(FieldDescription, LettersAndWidthsByType) {
    struct Case {
        SQLSMALLINT type;
        SQLULEN precision;
        const char *rows, *list;
    } cases[] = {
        {SQL_BIT, 1, "x:1:L:0:", "x:1:L:0:0:"},
        {SQL_INTEGER, 10, "x:10:N:0:", "x:10:N:0:0:"},
        {SQL_BIGINT, 19, "x:19:N:0:", "x:19:N:0:0:"},
        {SQL_DOUBLE, 15, "x:15:N:0:", "x:15:N:0:0:"},
        {SQL_DATE, 10, "x:10:D:0:", "x:10:D:0:0:"},
        {SQL_CHAR, 0, "x:255:C:0:", "x:255:C:0:0:"},
        {SQL_VARCHAR, 70000, "x:255:C:0:", "x:255:C:0:0:"},  // 70000 as 16 bits is 4464
        {SQL_TIME, 8, "x:8:C:0:", "x:8:C:0:0:"},
        {SQL_TIMESTAMP, 19, "x:19:C:0:", "x:26:C:0:0:"},
        {SQL_VARBINARY, 255, "x:12:C:0:", "x:12:C:0:0:"},
        {SQL_LONGVARCHAR, 65535, "x:4:M:0:", "x:4:M:0:0:"},
    };
    for (const Case &k : cases) {
        svr_column c = column("x", k.type, k.precision);
        if (k.precision == 70000) {
            EXPECT_EQ(field_description(c, false), "x:4464:C:0:");
            continue;
        }
        EXPECT_EQ(field_description(c, false), k.rows) << k.type;
        EXPECT_EQ(field_description(c, true), k.list) << k.type;
    }
}

TEST(FieldDescription, LongNameIsShortenedToFitItsSlot) {
    svr_column c = column(std::string(200, 'a').c_str(), SQL_CHAR, 10);
    std::string d = field_description(c, true);
    EXPECT_EQ(d.size(), kDescriptionMax);
    EXPECT_EQ(d.substr(d.size() - 10), ":10:C:0:0:");
    EXPECT_EQ(d.back(), ':');
}

TEST(ValueText, IntegerIsRightAlignedInItsPrecision) {
    svr_column c = column("i", SQL_INTEGER, 10);
    put_number<SQLINTEGER>(&c, 42);
    EXPECT_EQ(value_text(c), "        42");
    put_number<SQLINTEGER>(&c, INT32_MIN);  // wider than 10: sent whole, never cut
    EXPECT_EQ(value_text(c), "-2147483648");
}

TEST(ValueText, FloatsKeepTheirMagnitude) {
    svr_column c = column("f", SQL_DOUBLE, 15);
    put_number<double>(&c, 12.34);
    EXPECT_EQ(value_text(c), "      12.340000");
    c.precision = 8;
    EXPECT_EQ(value_text(c), "12.34000");
    put_number<double>(&c, 123456789.5);
    EXPECT_EQ(value_text(c), "123456790");  // no room for decimals; whole part kept
    svr_column r = column("r", SQL_REAL, 8);
    put_number<float>(&r, -1.5f);
    EXPECT_EQ(value_text(r), "-1.50000");
}

TEST(ValueText, CharactersAreCutAndLoseTrailingBlanks) {
    svr_column c = column("c", SQL_CHAR, 10);
    put_text(&c, "AB        ");
    EXPECT_EQ(value_text(c), "AB");
    put_text(&c, "   ");
    EXPECT_EQ(value_text(c), "");
    put_text(&c, "  lead");
    EXPECT_EQ(value_text(c), "  lead");
    svr_column v = column("v", SQL_VARCHAR, 3);
    put_text(&v, "abcdef");
    EXPECT_EQ(value_text(v), "abc");
}

TEST(ValueText, DatesBitsBinaryAndMemo) {
    svr_column d = column("d", SQL_DATE, 10);
    put_text(&d, "2001-02-03");
    EXPECT_EQ(value_text(d), "20010203");
    svr_column b = column("b", SQL_BIT, 1);
    put_text(&b, "0");
    EXPECT_EQ(value_text(b), "F");
    put_text(&b, "1");
    EXPECT_EQ(value_text(b), "T");
    b.data[0] = '\0';  // a driver that sends the byte 0x00
    b.length = 1;
    EXPECT_EQ(value_text(b), "F");
    b.data[0] = '\x01';
    EXPECT_EQ(value_text(b), "T");
    svr_column bin = column("bin", SQL_VARBINARY, 255);
    put_text(&bin, "\x01\x02");
    EXPECT_EQ(value_text(bin), "Bitmap image");
    bin.precision = 6;
    EXPECT_EQ(value_text(bin), "Bitmap");
    svr_column m = column("m", SQL_LONGVARCHAR, 65535);
    put_text(&m, "text");
    EXPECT_EQ(value_text(m), "Bitmap image");
}

TEST(ValueText, NullIsEmptyForEveryType) {
    for (SQLSMALLINT t : {SQL_INTEGER, SQL_DOUBLE, SQL_NUMERIC, SQL_DATE, SQL_CHAR, SQL_BIT,
                          SQL_LONGVARCHAR, SQL_VARBINARY, SQL_TIMESTAMP, SQL_SMALLINT}) {
        svr_column c = column("x", t, 10);
        put_text(&c, "1999-01-01");
        c.length = SQL_NULL_DATA;
        EXPECT_EQ(value_text(c), "") << t;
    }
}

TEST(BoundBuffer, TerminatedEvenWhenTheDriverFillsItWhole) {
    svr_column c = column("c", SQL_VARCHAR, 255);
    memset(c.data, 'x', kColumnDataSize);  // all 257 bytes, no terminator
    c.length = 40000;                      // the whole value's length
    terminate_bound_buffer(&c);
    EXPECT_EQ(strlen(c.data), static_cast<size_t>(kColumnDataSize - 1));
    put_text(&c, "abc");
    c.data[3] = 'z';  // stale byte after a short value
    terminate_bound_buffer(&c);
    EXPECT_STREQ(c.data, "abc");
}

TEST(ValueText, WrittenInPlaceOnlyWhenItFits) {
    svr_column c = column("c", SQL_VARCHAR, 20);
    put_text(&c, "hello   ");
    char out[8];
    memset(out, '#', sizeof out);
    EXPECT_EQ(write_value_text(c, out, 4), kValueTooLong);
    EXPECT_EQ(std::string(out, sizeof out), std::string(8, '#'));  // nothing written
    ASSERT_EQ(write_value_text(c, out, 5), 5u);
    EXPECT_EQ(std::string(out, 5), "hello");
    // Through the large-buffer path the text is the same as value_text's.
    svr_column i = column("i", SQL_INTEGER, 10);
    put_number<SQLINTEGER>(&i, -7);
    char big[kValueTextMax];
    size_t n = write_value_text(i, big, sizeof big);
    EXPECT_EQ(std::string(big, n), value_text(i));
}
