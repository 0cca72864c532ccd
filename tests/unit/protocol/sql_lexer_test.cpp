// The marker lexer: which `?` are markers, and the text sent for `??`.
#include "protocol/sql_lexer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Each case: a statement, and the text it is sent as with every marker
// shown as '@'.
TEST(SqlLexer, MarkersOutsideQuotesAndComments) {
    struct Case {
        std::string sql, marked;
    } cases[] = {
        {"SELECT ?", "SELECT @"},
        {"INSERT INTO t VALUES (?, ?)", "INSERT INTO t VALUES (@, @)"},
        {"SELECT 'it''s?', ?", "SELECT 'it''s?', @"},      // doubled quote stays inside
        {"SELECT 'a\\', ?", "SELECT 'a\\', @"},            // a plain string's backslash
        {"SELECT E'it\\'s?', ?", "SELECT E'it\\'s?', @"},  // E'': backslash escapes the quote
        {"SELECT e'\\\\', ?", "SELECT e'\\\\', @"},        // ... and the backslash
        {"SELECT x WHERE'?'", "SELECT x WHERE'?'"},        // a quote, not E'', after WHER
        {"SELECT $$what?$$, ?", "SELECT $$what?$$, @"},
        {"SELECT $fn$ $$?$$ $fn$ ?", "SELECT $fn$ $$?$$ $fn$ @"},  // $$ inside a tagged quote
        {"SELECT $1, ?", "SELECT $1, @"},                          // $1 is no dollar quote
        {"SELECT a$b$ ?", "SELECT a$b$ @"},                        // nor a $ inside an identifier
        {"SELECT \"col?\", ?", "SELECT \"col?\", @"},
        {"SELECT \"a\"\"?\" ?", "SELECT \"a\"\"?\" @"},
        {"SELECT ? -- why?\n, ?", "SELECT @ -- why?\n, @"},
        {"SELECT /* a /* b? */ c? */ ?", "SELECT /* a /* b? */ c? */ @"},  // nested
        {"SELECT j ?? 'a', ?", "SELECT j ? 'a', @"},                       // ?? is the literal ?
        {"SELECT ???", "SELECT ?@"},
        {"SELECT 'open ?", "SELECT 'open ?"},  // an open quote runs to the end
        {"SELECT /* open ?", "SELECT /* open ?"},
        {"SELECT $$ open ?", "SELECT $$ open ?"},
        {"SELECT E'\\", "SELECT E'\\"},  // an escape at the very end
        {"", ""},
    };
    for (const Case &c : cases) {
        dqp::MarkerScan s = dqp::scan_markers(c.sql);
        std::string marked = s.text;
        for (size_t at : s.markers) {
            ASSERT_LT(at, marked.size()) << c.sql;
            EXPECT_EQ(marked[at], '?') << c.sql;
            marked[at] = '@';
        }
        EXPECT_EQ(marked, c.marked) << c.sql;
    }
}

}  // namespace
