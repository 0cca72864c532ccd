// The pure parts of a typed session's answers: diagnostics split into
// message, detail and hint, and which statements report a row count.
#include <gtest/gtest.h>

#include <cstring>

#include "gateway/cursors.h"
#include "gateway/diagnostics.h"
#include "gateway/long_text.h"
#include "gateway/typed_param.h"
#include "gateway/typed_rows.h"
#include "protocol/packet.h"

using namespace vnx;

TEST(TypedAnswers, DiagnosticsLoseTheirPrefixesAndTrailersAndSplitDetailAndHint) {
    const struct {
        const char *raw, *message, *detail, *hint;
    } cases[] = {
        {"[unixODBC][ma-3.1.15][10.11.19-MariaDB]Lock wait timeout exceeded",
         "Lock wait timeout exceeded", "", ""},
        {"ERROR: relation \"x\" does not exist;\nError while executing the query",
         "ERROR: relation \"x\" does not exist", "", ""},
        {"ERROR: duplicate key value violates unique constraint \"t_pkey\"\n"
         "DETAIL:  Key (id)=(1) already exists.;\nError while executing the query",
         "ERROR: duplicate key value violates unique constraint \"t_pkey\"",
         "Key (id)=(1) already exists.", ""},
        {"ERROR: column \"nme\" does not exist\r\nHINT:  Perhaps you meant \"name\".;\n"
         "Error while preparing parameters",
         "ERROR: column \"nme\" does not exist", "", "Perhaps you meant \"name\"."},
        {"[unixODBC]connection to server failed: FATAL:  password authentication failed\n",
         "connection to server failed: FATAL:  password authentication failed", "", ""},
        {"[SQLite]near \"FOR\": syntax error (1)", "near \"FOR\": syntax error (1)", "", ""},
        {"[unclosed prefix", "[unclosed prefix", "", ""},
        {"", "", "", ""},
    };
    for (const auto &c : cases) {
        DiagnosticParts p = split_diagnostic(c.raw);
        EXPECT_EQ(p.message, c.message) << c.raw;
        EXPECT_EQ(p.detail, c.detail) << c.raw;
        EXPECT_EQ(p.hint, c.hint) << c.raw;
    }
}

TEST(TypedAnswers, OnlyStatementsThatChangeRowsCountThem) {
    const struct {
        const char *sql;
        bool counts;
    } cases[] = {
        {"INSERT INTO t VALUES (1)", true},
        {"  update t set a = 1", true},
        {"-- why\n/* note */ (DELETE FROM t)", true},
        {"merge into t using s on true when matched then delete", true},
        {"WITH x AS (SELECT 1) INSERT INTO t SELECT * FROM x", true},
        {"CREATE TABLE t (a int)", false},
        {"INSERTX", false},
        {"/* never closed", false},
        {"", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(changes_rows(c.sql), c.counts) << c.sql;
}

TEST(TypedAnswers, RowsTooLongForAPacketTravelInPiecesThatFitAndReassemble) {
    std::string text = "=";
    while (text.size() < 50000)
        text += "\xC3\xBC\x01z";  // a two-byte character, a byte the frame codes as three
    std::string hex = "=" + std::string(30001, 'a') + "b";
    const std::vector<std::string> values{"=7", "-", text, hex, "="};
    const std::vector<bool> is_bytes{false, false, false, true, false};
    const size_t limit = 16384;
    for (bool described : {false, true}) {
        std::vector<std::string> descriptions;
        if (described) descriptions.assign(values.size(), "c:1:C:0:text:1:1:1::");
        std::vector<TypedPacket> packets;
        ASSERT_TRUE(lay_out_typed_row(values, descriptions, is_bytes, limit, &packets));
        ASSERT_GT(packets.size(), 2u);
        dqp::TypedRowAssembler a(1 << 20);
        std::vector<std::string_view> tagged;
        size_t row_size = dqp::PKT_HEADER_SIZE;
        for (size_t i = 0; i < packets[0].args.size(); i++) {
            const std::string &arg = packets[0].args[i];
            row_size += 8 + wire_cost(arg);
            tagged.push_back(std::string_view(arg).substr(described ? descriptions[i].size() : 0));
        }
        EXPECT_LE(row_size, limit);
        ASSERT_EQ(a.start(tagged), 0) << a.error();
        for (size_t p = 1; p < packets.size(); p++) {
            const std::string &piece = packets[p].args.at(0);
            EXPECT_LE(dqp::PKT_HEADER_SIZE + 8 + wire_cost(piece), limit);
            if (packets[p].column == 3) {  // a text piece ends at a character boundary
                EXPECT_NE(static_cast<unsigned char>(piece.back()), 0xC3);
            }
            if (packets[p].column == 4) {
                EXPECT_EQ((piece.size() - 1) % 2, 0u);
            }
            ASSERT_EQ(a.add_piece(packets[p].column, piece), 0) << a.error();
        }
        ASSERT_TRUE(a.whole());
        EXPECT_EQ(a.values()[0], "7");
        EXPECT_TRUE(a.nulls()[1]);
        EXPECT_EQ(a.values()[2], text.substr(1));
        EXPECT_EQ(a.values()[3], hex.substr(1));
        EXPECT_EQ(a.values()[4], "");
    }
    // Too many columns for even their tags: refused, never overrun.
    std::vector<TypedPacket> packets;
    EXPECT_FALSE(lay_out_typed_row(std::vector<std::string>(3000, "=1"), {},
                                   std::vector<bool>(3000, false), limit, &packets));
}

TEST(TypedAnswers, TypedParametersCheckTheirTextAndChooseTheirBinding) {
    const struct {
        char flag;
        const char *text;
        SQLSMALLINT c_type, sql_type;
        SQLULEN precision;
        SQLSMALLINT scale;
    } good[] = {
        {'i', "-9223372036854775808", SQL_C_SBIGINT, SQL_BIGINT, 19, 0},
        {'f', "-inf", SQL_C_DOUBLE, SQL_DOUBLE, 15, 0},
        {'n', "-12.3400", SQL_C_CHAR, SQL_NUMERIC, 6, 4},
        {'l', "t", SQL_C_CHAR, SQL_BIT, 1, 0},
        {'b', "00FFab", SQL_C_BINARY, SQL_LONGVARBINARY, 3, 0},
        {'d', "2024-02-29", SQL_C_CHAR, SQL_TYPE_DATE, 10, 0},
        {'s', "2024-02-29 23:59:59.123456", SQL_C_CHAR, SQL_TYPE_TIMESTAMP, 26, 6},
        {'z', "2024-02-29 23:59:59+05:30", SQL_C_CHAR, SQL_VARCHAR, 25, 0},
    };
    for (const auto &g : good) {
        TypedBinding b;
        std::string why;
        ASSERT_EQ(typed_binding(g.flag, g.text, &b, &why), 0) << g.flag << " " << why;
        EXPECT_EQ(b.c_type, g.c_type) << g.flag;
        EXPECT_EQ(b.sql_type, g.sql_type) << g.flag;
        EXPECT_EQ(b.precision, g.precision) << g.flag;
        EXPECT_EQ(b.scale, g.scale) << g.flag;
    }
    TypedBinding b;
    std::string why;
    ASSERT_EQ(typed_binding('b', "00ff", &b, &why), 0);
    EXPECT_EQ(b.value, std::string("\x00\xff", 2));
    ASSERT_EQ(typed_binding('i', "+42", &b, &why), 0);
    int64_t v = 0;
    memcpy(&v, b.value.data(), sizeof v);
    EXPECT_EQ(v, 42);
    ASSERT_EQ(typed_binding('l', "f", &b, &why), 0);
    EXPECT_EQ(b.value, "0");
    const struct {
        char flag;
        const char *text;
    } bad[] = {{'i', "9223372036854775808"},
               {'i', "1.0"},
               {'i', ""},
               {'f', "1e"},
               {'f', " 1"},
               {'n', "1.2.3"},
               {'n', "."},
               {'n', "1e5"},
               {'l', "true"},
               {'b', "abc"},
               {'b', "zz"},
               {'x', "1"}};
    for (const auto &x : bad) {
        why.clear();
        EXPECT_EQ(typed_binding(x.flag, x.text, &b, &why), -1) << x.flag << " " << x.text;
        EXPECT_FALSE(why.empty());
    }
}
