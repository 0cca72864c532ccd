// The printed text of one awkward result in every output form, byte for byte:
// NULLs of each type, quotes, commas, line breaks, control characters, UTF-8,
// blanks at either end and a value far wider than its heading. The printer's
// inner loops are tuned for speed; these pin what they must still produce.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/result_format.h"

using dqp::FieldDesc;
using dqp::OutputFormat;
using dqp::PrintOptions;
using dqp::Row;

namespace {

FieldDesc field(const char *name, char type) {
    FieldDesc f;
    f.name = name;
    f.type = type;
    f.width = 10;
    return f;
}

std::vector<FieldDesc> awkward_fields() {
    return {field("id", 'N'), field("name", 'C'), field("born", 'D'), field("ok", 'L'),
            field("note", 'T')};
}

std::string long_value() {
    std::string v;
    for (int i = 0; i < 12; i++)
        v += "0123456789";
    return v;
}

std::vector<Row> awkward_rows() {
    return {
        {"         1", "Amara Okafor", "20200131", "T", "plain"},
        {"          ", "", "        ", " ", ""},  // NULL where the type can tell
        {"       -12", "say \"hi\", twice", "19991231", "F", "two\nlines"},
        {"      3.50", " padded ", "2020013", "X", "Z\xc3\xbcrich \xe6\x9d\xb1\xe4\xba\xac"},
        {"         5", "bell\x07tab\tcr\r", "20010203", "T", long_value()},
        {"         6", "last blank ", "20240229", "F", "trailing  "},
    };
}

// The result printed with `opt`, streamed as dqpsh streams it (views).
std::string printed(const PrintOptions &opt) {
    std::string out;
    {
        dqp::ResultPrinter p([&](std::string_view s) { out += s; }, opt);
        p.set_fields(awkward_fields());
        for (const Row &r : awkward_rows()) {
            std::vector<std::string_view> views(r.begin(), r.end());
            EXPECT_EQ(p.on_row_view(views), 0);
        }
        p.finish();
    }
    return out;
}

PrintOptions options(OutputFormat format, bool expanded = false, bool tuples_only = false) {
    PrintOptions opt;
    opt.format = format;
    opt.expanded = expanded;
    opt.tuples_only = tuples_only;
    return opt;
}

const std::string kLong = long_value();
// The expanded record heading runs as wide as "note | " and the long value.
const std::string kRule(kLong.size() + 7 - 13, '-');

}  // namespace

TEST(PrintedResult, AlignedTableIsByteExact) {
    EXPECT_EQ(
        printed(options(OutputFormat::aligned)),
        std::string(
            "  id  |      name       |    born    | ok |                                           "
            "                note\n"
            "------+-----------------+------------+----+-------------------------------------------"
            "-------------------------------------------------------------------------------\n"
            "    1 | Amara Okafor    | 2020-01-31 | t  | plain\n"
            "      |                 |            |    |\n"
            "  -12 | say \"hi\", twice | 1999-12-31 | f  | two" +
            std::string(kLong.size() - 3, ' ') +
            "+\n"  // psql pads a value that goes on, then marks it
            "      |                 |            |    | lines\n"
            " 3.50 |  padded         | 2020013    | X  | Z\xc3\xbcrich \xe6\x9d\xb1\xe4\xba\xac\n"
            "    5 | bell?tab?cr?    | 2001-02-03 | t  | " +
            kLong +
            "\n"
            "    6 | last blank      | 2024-02-29 | f  | trailing\n"
            "(6 rows)\n"
            "\n"));
}

TEST(PrintedResult, AlignedTuplesOnlyWithNullTextIsByteExact) {
    PrintOptions opt = options(OutputFormat::aligned, false, true);
    opt.null_text = "(null)";
    EXPECT_EQ(printed(opt),
              std::string("      1 | Amara Okafor    | 2020-01-31 | t      | plain\n"
                          " (null) |                 | (null)     | (null) |\n"
                          "    -12 | say \"hi\", twice | 1999-12-31 | f      | two" +
                          std::string(kLong.size() - 3, ' ') +
                          "+\n"
                          "        |                 |            |        | lines\n"
                          "   3.50 |  padded         | 2020013    | X      | Z\xc3\xbcrich "
                          "\xe6\x9d\xb1\xe4\xba\xac\n"
                          "      5 | bell?tab?cr?    | 2001-02-03 | t      | " +
                          kLong +
                          "\n"
                          "      6 | last blank      | 2024-02-29 | f      | trailing\n"));
}

TEST(PrintedResult, ExpandedAlignedIsByteExact) {
    EXPECT_EQ(printed(options(OutputFormat::aligned, true)),
              std::string("-[ RECORD 1 ]" + kRule +
                          "\n"
                          "id   | 1\n"
                          "name | Amara Okafor\n"
                          "born | 2020-01-31\n"
                          "ok   | t\n"
                          "note | plain\n"
                          "-[ RECORD 2 ]" +
                          kRule +
                          "\n"
                          "id   |\n"
                          "name |\n"
                          "born |\n"
                          "ok   |\n"
                          "note |\n"
                          "-[ RECORD 3 ]" +
                          kRule +
                          "\n"
                          "id   | -12\n"
                          "name | say \"hi\", twice\n"
                          "born | 1999-12-31\n"
                          "ok   | f\n"
                          "note | two?lines\n"
                          "-[ RECORD 4 ]" +
                          kRule +
                          "\n"
                          "id   | 3.50\n"
                          "name |  padded\n"
                          "born | 2020013\n"
                          "ok   | X\n"
                          "note | Z\xc3\xbcrich \xe6\x9d\xb1\xe4\xba\xac\n"
                          "-[ RECORD 5 ]" +
                          kRule +
                          "\n"
                          "id   | 5\n"
                          "name | bell?tab?cr?\n"
                          "born | 2001-02-03\n"
                          "ok   | t\n"
                          "note | " +
                          kLong +
                          "\n"
                          "-[ RECORD 6 ]" +
                          kRule +
                          "\n"
                          "id   | 6\n"
                          "name | last blank\n"
                          "born | 2024-02-29\n"
                          "ok   | f\n"
                          "note | trailing\n"
                          "\n"));
}

TEST(PrintedResult, UnalignedIsByteExact) {
    PrintOptions opt = options(OutputFormat::unaligned);
    EXPECT_EQ(printed(opt),
              std::string("id|name|born|ok|note\n"
                          "1|Amara Okafor|2020-01-31|t|plain\n"
                          "||||\n"
                          "-12|say \"hi\", twice|1999-12-31|f|two\n"
                          "lines\n"
                          "3.50| padded |2020013|X|Z\xc3\xbcrich \xe6\x9d\xb1\xe4\xba\xac\n"
                          "5|bell\x07"
                          "tab\x09"
                          "cr\x0d"
                          "|2001-02-03|t|" +
                          kLong +
                          "\n"
                          "6|last blank |2024-02-29|f|trailing  \n"
                          "(6 rows)\n"));
    opt.field_sep = ";";
    opt.null_text = "NULL";
    opt.tuples_only = true;
    EXPECT_EQ(printed(opt),
              std::string("1;Amara Okafor;2020-01-31;t;plain\n"
                          "NULL;;NULL;NULL;\n"
                          "-12;say \"hi\", twice;1999-12-31;f;two\n"
                          "lines\n"
                          "3.50; padded ;2020013;X;Z\xc3\xbcrich \xe6\x9d\xb1\xe4\xba\xac\n"
                          "5;bell\x07"
                          "tab\x09"
                          "cr\x0d"
                          ";2001-02-03;t;" +
                          kLong +
                          "\n"
                          "6;last blank ;2024-02-29;f;trailing  \n"));
}

TEST(PrintedResult, ExpandedUnalignedIsByteExact) {
    EXPECT_EQ(printed(options(OutputFormat::unaligned, true)),
              std::string("id|1\n"
                          "name|Amara Okafor\n"
                          "born|2020-01-31\n"
                          "ok|t\n"
                          "note|plain\n"
                          "\n"
                          "id|\n"
                          "name|\n"
                          "born|\n"
                          "ok|\n"
                          "note|\n"
                          "\n"
                          "id|-12\n"
                          "name|say \"hi\", twice\n"
                          "born|1999-12-31\n"
                          "ok|f\n"
                          "note|two\n"
                          "lines\n"
                          "\n"
                          "id|3.50\n"
                          "name| padded \n"
                          "born|2020013\n"
                          "ok|X\n"
                          "note|Z\xc3\xbcrich \xe6\x9d\xb1\xe4\xba\xac\n"
                          "\n"
                          "id|5\n"
                          "name|bell\x07"
                          "tab\x09"
                          "cr\x0d"
                          "\n"
                          "born|2001-02-03\n"
                          "ok|t\n"
                          "note|" +
                          kLong +
                          "\n"
                          "\n"
                          "id|6\n"
                          "name|last blank \n"
                          "born|2024-02-29\n"
                          "ok|f\n"
                          "note|trailing  \n"));
}

TEST(PrintedResult, CsvIsByteExact) {
    // The rows after the first two, the same whatever the null text.
    const std::string rest =
        "-12,\"say \"\"hi\"\", twice\",1999-12-31,f,\"two\n"
        "lines\"\n"
        "3.50,\" padded \",2020013,X,Z\xc3\xbcrich \xe6\x9d\xb1\xe4\xba\xac\n"
        "5,\"bell\x07"
        "tab\x09"
        "cr\x0d"
        "\",2001-02-03,t," +
        kLong +
        "\n"
        "6,\"last blank \",2024-02-29,f,\"trailing  \"\n";
    EXPECT_EQ(printed(options(OutputFormat::csv)),
              "id,name,born,ok,note\n"
              "1,Amara Okafor,2020-01-31,t,plain\n"
              ",,,,\n" +
                  rest);
    PrintOptions opt = options(OutputFormat::csv, false, true);
    opt.null_text = "NULL";
    EXPECT_EQ(printed(opt),
              "1,Amara Okafor,2020-01-31,t,plain\n"
              "NULL,,NULL,NULL,\n" +
                  rest);
}

// Each character that makes a CSV field quoted, alone, first and last.
TEST(PrintedResult, CsvQuotesExactlyTheFieldsThatNeedIt) {
    std::string out;
    {
        PrintOptions opt = options(OutputFormat::csv, false, true);
        dqp::ResultPrinter p([&](std::string_view s) { out += s; }, opt);
        p.set_fields({field("v", 'C')});
        for (const char *v : {"", " ", "a", ",", "\"", "\n", "\r", ",a", "a,", "\"a", "a\"", "a b",
                              " a", "a ", "\ta\t", "a;b|c"})
            p.on_row({v});
        p.finish();
    }
    EXPECT_EQ(
        out,
        "\n\" \"\na\n\",\"\n\"\"\"\"\n\"\n\"\n\"\r\"\n\",a\"\n\"a,\"\n\"\"\"a\"\n\"a\"\"\"\na b\n"
        "\" a\"\n\"a \"\n\ta\t\na;b|c\n");
}
