// Statement splitting, command words, CSV quoting and the aligned table.
#include <gtest/gtest.h>

#include <map>

#include "client/result_format.h"
#include "client/sql_script.h"

using dqp::FieldDesc;
using dqp::Row;
using dqp::StatementSplitter;

namespace {

std::vector<std::string> split_all(std::initializer_list<const char *> lines) {
    StatementSplitter s;
    std::vector<std::string> out;
    for (const char *l : lines) {
        s.feed(l);
        for (std::string st; s.next(&st);)
            out.push_back(st);
    }
    return out;
}

FieldDesc field(const char *name, char type, int width = 10) {
    FieldDesc f;
    f.name = name;
    f.type = type;
    f.width = width;
    return f;
}

}  // namespace

TEST(StatementSplitter, SemicolonsOutsideQuotesEndStatements) {
    EXPECT_EQ(split_all({"select 1; select 2;"}),
              (std::vector<std::string>{"select 1", "select 2"}));
    EXPECT_EQ(split_all({"select 'a;b', \"c;d\" from t;"}),
              (std::vector<std::string>{"select 'a;b', \"c;d\" from t"}));
    EXPECT_EQ(split_all({"select 'it''s;' ;"}), (std::vector<std::string>{"select 'it''s;'"}));
    EXPECT_EQ(split_all({";;  ;"}), (std::vector<std::string>{}));
}

TEST(StatementSplitter, StatementsSpanLinesAndQuotesSpanLines) {
    EXPECT_EQ(split_all({"select a,", "  b from t", ";"}),
              (std::vector<std::string>{"select a,\n  b from t"}));
    EXPECT_EQ(split_all({"insert into t values ('x;", "y');"}),
              (std::vector<std::string>{"insert into t values ('x;\ny')"}));
}

TEST(StatementSplitter, CommentsAreDroppedAndHideSemicolons) {
    EXPECT_EQ(split_all({"select 1 -- one; two", "; select 2;"}),
              (std::vector<std::string>{"select 1", "select 2"}));
    EXPECT_EQ(split_all({"select /* a; b", "c; */ 3;"}), (std::vector<std::string>{"select   3"}));
    EXPECT_EQ(split_all({"-- only a comment", "select '--x';"}),
              (std::vector<std::string>{"select '--x'"}));
}

TEST(StatementSplitter, PendingAndRest) {
    StatementSplitter s;
    EXPECT_FALSE(s.pending());
    s.feed("select 1");
    EXPECT_TRUE(s.pending());
    s.feed("  ");
    std::string st;
    EXPECT_FALSE(s.next(&st));
    EXPECT_EQ(s.take_rest(), "select 1");
    EXPECT_FALSE(s.pending());
    s.feed("select 'open");
    s.feed("still';");
    EXPECT_TRUE(s.next(&st));
    EXPECT_FALSE(s.pending());
}

TEST(SplitWords, BlanksQuotesAndDoubledQuotes) {
    std::vector<std::string> w;
    std::string why;
    ASSERT_EQ(dqp::split_words("  \\use  customer cu ", &w, &why), 0);
    EXPECT_EQ(w, (std::vector<std::string>{"\\use", "customer", "cu"}));
    ASSERT_EQ(dqp::split_words("\\update cu 2 city='New York' name=\"O'Neil\"", &w, &why), 0);
    EXPECT_EQ(w, (std::vector<std::string>{"\\update", "cu", "2", "city=New York", "name=O'Neil"}));
    ASSERT_EQ(dqp::split_words("a 'it''s' '' b", &w, &why), 0);
    EXPECT_EQ(w, (std::vector<std::string>{"a", "it's", "", "b"}));
    EXPECT_EQ(dqp::split_words("a 'open", &w, &why), -1);
    EXPECT_FALSE(why.empty());
}

TEST(Csv, QuotesOnlyWhereNeeded) {
    EXPECT_EQ(dqp::csv_field("plain"), "plain");
    EXPECT_EQ(dqp::csv_field(""), "");
    EXPECT_EQ(dqp::csv_field("a,b"), "\"a,b\"");
    EXPECT_EQ(dqp::csv_field("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(dqp::csv_field("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(dqp::csv_field("        42"), "\"        42\"");
    EXPECT_EQ(dqp::csv_line({"1", "x,y", ""}), "1,\"x,y\",\n");
}

TEST(TableFormat, HeadingsCentredNumbersRightTextLeft) {
    dqp::TableFormat t({field("id", 'N'), field("name", 'C')});
    Row r1{"         1", "Amara Okafor"}, r2{"        12", "Kenji"};
    t.measure(r1);
    t.measure(r2);
    EXPECT_EQ(t.header(), " id |     name\n");
    EXPECT_EQ(t.rule(), "----+--------------\n");
    EXPECT_EQ(t.line(r1), "  1 | Amara Okafor\n");
    EXPECT_EQ(t.line(r2), " 12 | Kenji\n");
}

TEST(TableFormat, ControlCharactersAndUtf8Widths) {
    dqp::TableFormat t({field("a", 'C'), field("b", 'C')});
    Row r{"x\x1b[2Jy", "\xc3\xa9t\xc3\xa9"};
    t.measure(r);
    EXPECT_EQ(t.line(r), " x?[2Jy | \xc3\xa9t\xc3\xa9\n");
    EXPECT_EQ(t.header(), "   a    |  b\n");
}

TEST(ResultPrinter, AlignedTableWithFooter) {
    std::string out;
    dqp::ResultPrinter p([&](std::string_view s) { out += s; }, false);
    p.on_header({field("id", 'N'), field("city", 'C')});
    p.on_row({"         1", "Lagos"});
    p.on_row({"         2", "Montevideo"});
    p.finish();
    EXPECT_EQ(out,
              " id |    city\n"
              "----+------------\n"
              "  1 | Lagos\n"
              "  2 | Montevideo\n"
              "(2 rows)\n\n");
}

TEST(ResultPrinter, EmptyResultStillShowsHeadingsWhenKnown) {
    std::string out;
    dqp::ResultPrinter p([&](std::string_view s) { out += s; }, false);
    p.set_fields({field("id", 'N')});
    p.finish();
    EXPECT_EQ(out, " id\n----\n(0 rows)\n\n");
    out.clear();
    dqp::ResultPrinter q([&](std::string_view s) { out += s; }, false);
    q.on_row({"x"});
    q.finish();
    EXPECT_EQ(out, " column1\n---------\n x\n(1 row)\n\n");
}

TEST(ResultPrinter, WidthsAreFixedAfterTheFirstBatch) {
    std::string out;
    size_t lines_before_end = 0;
    dqp::ResultPrinter p([&](std::string_view s) { out += s; }, false);
    p.on_header({field("v", 'C')});
    for (size_t i = 0; i < dqp::kWidthBatch; i++)
        p.on_row({"ab"});
    // The first batch is out once it is full, before the result ends.
    lines_before_end = static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
    EXPECT_EQ(lines_before_end, dqp::kWidthBatch + 2);
    p.on_row({"abcdef"});
    p.finish();
    EXPECT_NE(out.find("\n ab\n abcdef\n(1001 rows)\n"), std::string::npos);
}

TEST(ResultPrinter, CsvHasHeaderLineAndNoFooter) {
    std::string out;
    dqp::ResultPrinter p([&](std::string_view s) { out += s; }, true);
    p.on_header({field("id", 'N'), field("name", 'C')});
    p.on_row({"         1", "Okafor, Amara"});
    p.finish();
    EXPECT_EQ(out, "id,name\n1,\"Okafor, Amara\"\n");
    out.clear();
    dqp::ResultPrinter q([&](std::string_view s) { out += s; }, true);
    q.set_fields({field("id", 'N')});
    q.finish();
    EXPECT_EQ(out, "id\n");
}

TEST(RecordForm, NamesPaddedToTheLongest) {
    dqp::Record rec;
    rec.fields = {field("id", 'N'), field("name", 'C'), field("memo", 'M')};
    rec.values = {"         2", "Lucia", ""};
    EXPECT_EQ(dqp::format_record(rec), "id:   2\nname: Lucia\nmemo:\n");
}

TEST(ClassifyTransaction, WholeTransactionFormsInAnyCase) {
    using dqp::classify_transaction;
    using dqp::TxControl;
    EXPECT_EQ(classify_transaction("BEGIN"), TxControl::begin);
    EXPECT_EQ(classify_transaction("  begin work"), TxControl::begin);
    EXPECT_EQ(classify_transaction("Begin\nTransaction"), TxControl::begin);
    EXPECT_EQ(classify_transaction("START TRANSACTION ISOLATION LEVEL SERIALIZABLE"),
              TxControl::begin);
    EXPECT_EQ(classify_transaction("commit"), TxControl::commit);
    EXPECT_EQ(classify_transaction("END TRANSACTION"), TxControl::commit);
    EXPECT_EQ(classify_transaction("rollback work"), TxControl::rollback);
    EXPECT_EQ(classify_transaction("ABORT"), TxControl::rollback);
}

TEST(ClassifyTransaction, LookalikesAreOrdinaryStatements) {
    using dqp::classify_transaction;
    using dqp::TxControl;
    EXPECT_EQ(classify_transaction("ROLLBACK TO SAVEPOINT a"), TxControl::none);
    EXPECT_EQ(classify_transaction("COMMIT PREPARED 'x'"), TxControl::none);
    EXPECT_EQ(classify_transaction("BEGIN WORK NOW"), TxControl::none);
    EXPECT_EQ(classify_transaction("BEGIN DECLARE x INT; END"), TxControl::none);
    EXPECT_EQ(classify_transaction("START"), TxControl::none);
    EXPECT_EQ(classify_transaction("COMMITTED"), TxControl::none);
    EXPECT_EQ(classify_transaction("SELECT 'COMMIT'"), TxControl::none);
    EXPECT_EQ(classify_transaction(""), TxControl::none);
}

TEST(UserForm, DatesNumbersLogicalsAndNulls) {
    EXPECT_EQ(dqp::display_value("20200131", 'D'), "2020-01-31");
    EXPECT_EQ(dqp::display_value("2020013", 'D'), "2020013");  // not a row-format date
    EXPECT_EQ(dqp::display_value("        42", 'N'), "42");
    EXPECT_EQ(dqp::display_value("  -3.50  ", 'N'), "-3.50");
    EXPECT_EQ(dqp::display_value("T", 'L'), "t");
    EXPECT_EQ(dqp::display_value("F", 'L'), "f");
    EXPECT_EQ(dqp::display_value("  x ", 'C'), "  x ");  // text keeps its blanks
    std::string out;
    dqp::append_value(&out, "", 'N', true, "(null)");
    dqp::append_value(&out, "   ", 'D', true, "(null)");
    dqp::append_value(&out, "", 'C', true, "(null)");  // empty text: not known to be NULL
    EXPECT_EQ(out, "(null)(null)");
}

namespace {

std::string print_all(const dqp::PrintOptions &opt, std::vector<Row> rows) {
    std::string out;
    {
        dqp::ResultPrinter p([&](std::string_view s) { out += s; }, opt);
        p.set_fields({field("id", 'N'), field("born", 'D'), field("ok", 'L')});
        for (Row &r : rows)
            p.on_row(std::move(r));
        p.finish();
    }
    return out;
}

}  // namespace

TEST(ResultPrinter, UnalignedTuplesOnlyAndSeparator) {
    dqp::PrintOptions opt;
    opt.format = dqp::OutputFormat::unaligned;
    std::vector<Row> rows = {{"         1", "20200131", "T"}, {"         2", "", "F"}};
    EXPECT_EQ(print_all(opt, rows), "id|born|ok\n1|2020-01-31|t\n2||f\n(2 rows)\n");
    opt.tuples_only = true;
    opt.field_sep = ",";
    opt.null_text = "NULL";
    EXPECT_EQ(print_all(opt, rows), "1,2020-01-31,t\n2,NULL,f\n");
}

TEST(ResultPrinter, ExpandedRecordsAndEmptyResult) {
    dqp::PrintOptions opt;
    opt.expanded = true;
    EXPECT_EQ(print_all(opt, {{"        12", "19991231", "T"}}),
              "-[ RECORD 1 ]----\n"  // as wide as "born | 1999-12-31"
              "id   | 12\n"
              "born | 1999-12-31\n"
              "ok   | t\n\n");
    EXPECT_EQ(print_all(opt, {}), "(0 rows)\n\n");
}

TEST(ResultPrinter, CsvShowsDatesAndLogicalsAsTyped) {
    dqp::PrintOptions opt;
    opt.format = dqp::OutputFormat::csv;
    EXPECT_EQ(print_all(opt, {{"        -7", "20010203", "F"}}), "id,born,ok\n-7,2001-02-03,f\n");
    opt.tuples_only = true;
    EXPECT_EQ(print_all(opt, {{"1", "", "T"}}), "1,,t\n");
}

TEST(ErrorText, OneErrorPrefixAndNoDriverCallRemark) {
    EXPECT_EQ(dqp::error_message_text(
                  "ERROR: relation \"x\" does not exist;\nError while executing the query"),
              "relation \"x\" does not exist");
    EXPECT_EQ(dqp::error_message_text("no such table: nowhere"), "no such table: nowhere");
    EXPECT_EQ(dqp::error_message_text("[SQLite]near \"FOR\": syntax error (1)"),
              "[SQLite]near \"FOR\": syntax error (1)");
}

// Wide characters take two columns, combining marks none, and a line break
// continues the value on the next line with psql's "+".
TEST(TableFormat, WideCharactersAndLineBreaksKeepColumnsAligned) {
    dqp::TableFormat t({field("x", 'C'), field("y", 'C'), field("z", 'N')});
    Row r{"a\nbcd", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "2"};  // 日本語
    Row accent{"e\xcc\x81", "ok", "10"};                           // e + combining acute
    t.measure(r);
    t.measure(accent);
    EXPECT_EQ(t.header(), "  x  |   y    | z\n");
    EXPECT_EQ(t.line(r),
              " a  +| \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e |  2\n"
              " bcd |        |\n");
    EXPECT_EQ(t.line(accent), " e\xcc\x81   | ok     | 10\n");
}

TEST(CommandTag, FromTheLeadingKeywordsAndTheRowCount) {
    struct {
        const char *statement;
        int64_t rows;
        const char *tag;
        bool counts;
    } cases[] = {
        {"insert into t values (1)", 1, "INSERT 0 1", true},
        {"UPDATE t SET a = 1", 3, "UPDATE 3", true},
        {"UPDATE t SET a = '?'", 0, "UPDATE 0", true},
        {"UPDATE t SET a = ?", -1, "UPDATE", false},
        {"DELETE FROM t", -1, "DELETE", true},
        {"WITH x AS (SELECT 1) DELETE FROM t", 2, "DELETE 2", true},
        {"SELECT a INTO t2 FROM t", 4, "SELECT 4", true},
        {"SELECT a FROM t", -1, "SELECT", false},
        {"CREATE TABLE t2 AS SELECT * FROM t", 5, "SELECT 5", true},
        {"CREATE TABLE t (a INTEGER, b TEXT DEFAULT 'AS')", -1, "CREATE TABLE", false},
        {"create or replace temp view v as select 1", -1, "CREATE VIEW", false},
        {"CREATE UNIQUE INDEX i ON t (a)", -1, "CREATE INDEX", false},
        {"DROP MATERIALIZED VIEW m", -1, "DROP MATERIALIZED VIEW", false},
        {"/* c */ truncate t", -1, "TRUNCATE TABLE", false},
        {"grant select on t to bob", -1, "GRANT", false},
        {"", -1, "", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(dqp::command_tag(c.statement, c.rows), c.tag) << c.statement;
        EXPECT_EQ(dqp::tag_counts_rows(c.statement), c.counts) << c.statement;
    }
}

// Variables in SQL are replaced outside quotes and comments, "::" is a cast,
// an unset name stays, and a backslash outside quotes starts a command.
TEST(StatementSplitter, VariablesAndBackslashCommands) {
    std::map<std::string, std::string> vars{{"n", "42"}, {"who", "O'Hara"}};
    dqp::VarLookup lookup = [&](std::string_view name) -> const std::string * {
        auto it = vars.find(std::string(name));
        return it == vars.end() ? nullptr : &it->second;
    };
    dqp::StatementSplitter s;
    std::string st;
    EXPECT_EQ(s.feed("SELECT :n, :'who', :\"who\", ':n', a::int, :nope -- :n", lookup),
              std::string::npos);
    EXPECT_EQ(s.feed(";", lookup), std::string::npos);
    ASSERT_TRUE(s.next(&st));
    EXPECT_EQ(st, "SELECT 42, 'O''Hara', \"O'Hara\", ':n', a::int, :nope");
    EXPECT_EQ(s.feed("SELECT '\\x' \\gset p_", lookup), 12u);
    EXPECT_EQ(s.take_rest(), "SELECT '\\x'");
    std::vector<std::string> w;
    std::string why;
    ASSERT_EQ(dqp::split_words("echo :'who' ':n' x:n", &w, &why, lookup), 0);
    EXPECT_EQ(w, (std::vector<std::string>{"echo", "'O''Hara'", ":n", "x42"}));
}
