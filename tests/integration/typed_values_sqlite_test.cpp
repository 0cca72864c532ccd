// Typed values through a real gateway on SQLite: what CONNECT, MAPERROR
// and EXECSQL answer a client that asks TYPED (and still answer one that
// does not), and rows whose values come tagged, exact and whole, long ones
// in pieces, alike through FETCHMANY, FETCH and EXTENDED_FETCH.
#include <gtest/gtest.h>

#include <optional>

#include "client/sql_client.h"
#include "odbc_harness.h"
#include "protocol/typed_value.h"

using namespace vnxtest;

namespace {

using Value = std::optional<std::string>;  // nullopt for NULL
using TypedRows = std::vector<std::vector<Value>>;

// 70,000 bytes: 7,000 times ASCII, a two-byte and a four-byte character.
const char kUnit[] = "abc\xC3\xBC\xF0\x9F\x98\x80 ";
std::string long_text() {
    std::string s;
    for (int i = 0; i < 7000; i++)
        s += kUnit;
    return s;
}

class TypedValues : public OdbcGateway {
  protected:
    void SetUp() override {
        OdbcGateway::SetUp();
        add_sqlite_dsn();
        auto c = start_gateway();
        ASSERT_NE(c, nullptr);
        int32_t h = connect_dsn(*c, "vnxtest");
        ASSERT_GT(h, 0);
        exec_ok(*c, h,
                "CREATE TABLE tv (id INTEGER PRIMARY KEY, i INTEGER, f DOUBLE, t TEXT, "
                "v VARCHAR(10), b BLOB)");
        exec_ok(*c, h, "INSERT INTO tv VALUES (1, -42, 1.5, 'ab  ', 'x', x'00ff10')");
        exec_ok(*c, h, "INSERT INTO tv VALUES (2, NULL, 1e300, '', '', x'')");
        exec_ok(*c, h, "INSERT INTO tv VALUES (3, NULL, NULL, NULL, NULL, NULL)");
        exec_ok(*c, h,
                std::string("INSERT INTO tv VALUES (4, 0, 0.1, ") +
                    "replace(hex(zeroblob(7000)), '00', '" + kUnit + "'), 'y', zeroblob(1048576))");
        EXPECT_EQ(ask(*c, 'X', h).type, 'Y');
        ask(*c, 'D', h);
    }
    // A new gateway session whose CONNECT carries `options`; *connect_reply
    // receives CONNECT's answer.
    int32_t session(std::unique_ptr<dqp::Connection> *c, const std::string &options,
                    dqp::Reply *connect_reply = nullptr) {
        *c = start_gateway();
        if (*c == nullptr) return 0;
        dqp::Reply r = ask(**c, 'C', 0, {options, "", "", "vnxtest"});
        EXPECT_EQ(r.type, 'Y');
        if (connect_reply != nullptr) *connect_reply = r;
        return r.type == 'Y' ? r.info : 0;
    }
    static std::vector<Value> values_of(const dqp::TypedRowAssembler &a) {
        std::vector<Value> row;
        for (size_t i = 0; i < a.values().size(); i++)
            row.push_back(a.nulls()[i] ? Value() : Value(a.values()[i]));
        return row;
    }
    // FETCHMANY of a cursor, reassembled; *header receives the descriptions.
    TypedRows fetch_many(dqp::Connection &c, int32_t h, const std::string &cursor,
                         std::vector<std::string> *header) {
        std::vector<dqp::Reply> res = result(c, 'Q', h, cursor);
        TypedRows rows;
        dqp::TypedRowAssembler a(size_t{1} << 24);
        EXPECT_EQ(res.back().type, 'R');
        *header = res.front().args;
        for (size_t i = 1; i + 1 < res.size(); i++) {
            const dqp::Reply &r = res[i];
            if (r.type == 'T') {
                EXPECT_TRUE(rows.empty() || a.whole()) << "a row before the pieces ended";
                EXPECT_EQ(a.start({r.args.begin(), r.args.end()}), 0) << a.error();
            } else {
                EXPECT_EQ(r.type, '+');
                EXPECT_EQ(a.add_piece(r.info, r.args.empty() ? "" : r.args[0]), 0) << a.error();
            }
            if (a.whole()) rows.push_back(values_of(a));
        }
        return rows;
    }
    // One FETCH (or EXTENDED_FETCH NEXT when scroll), its pieces read as they
    // follow; the row's descriptions in *descriptions. Empty at the end.
    std::vector<Value> fetch_one(dqp::Connection &c, int32_t h, const std::string &cursor,
                                 bool scroll, std::vector<std::string> *descriptions) {
        dqp::Reply r = scroll ? ask(c, 'm', h, {cursor, "NEXT", "0"}) : ask(c, 'P', h, {cursor});
        if (r.type != 'T') return {};
        std::vector<std::string_view> tagged;
        descriptions->clear();
        for (const std::string &arg : r.args) {
            dqp::TypedField f;
            size_t used = 0;
            EXPECT_EQ(dqp::parse_typed_description(arg, false, &f, &used), 0) << arg;
            descriptions->push_back(arg.substr(0, used));
            tagged.push_back(std::string_view(arg).substr(used));
        }
        dqp::TypedRowAssembler a(size_t{1} << 24);
        EXPECT_EQ(a.start(tagged), 0) << a.error();
        while (!a.whole()) {
            dqp::Reply piece;
            EXPECT_EQ(c.receive(&piece), 0);
            if (piece.type != '+' || piece.args.size() != 1) {
                ADD_FAILURE() << "a piece was expected, got " << static_cast<char>(piece.type);
                return {};
            }
            EXPECT_EQ(a.add_piece(piece.info, piece.args[0]), 0) << a.error();
        }
        return values_of(a);
    }
};

const char kQuery[] = "SELECT id, i, f, t, v, b FROM tv ORDER BY id";

TypedRows expected_rows() {
    return {{"1", "-42", "1.5", "ab  ", "x", "00ff10"},
            {"2", Value(), "1e+300", "", "", ""},
            {"3", Value(), Value(), Value(), Value(), Value()},
            {"4", "0", "0.1", long_text(), "y", std::string(2 * 1048576, '0')}};
}

}  // namespace

TEST_F(TypedValues, ConnectNamesTheWordOnlyForClientsThatAsk) {
    for (const char *options : {"odb", "LONGTEXT", "typed"}) {
        std::unique_ptr<dqp::Connection> c;
        dqp::Reply r;
        ASSERT_GT(session(&c, options, &r), 0);
        EXPECT_EQ(r.args.size(), 2u) << options;
    }
    std::unique_ptr<dqp::Connection> c;
    dqp::Reply r;
    ASSERT_GT(session(&c, "odb TYPED", &r), 0);
    ASSERT_EQ(r.args.size(), 3u);
    EXPECT_EQ(r.args[2], "TYPED");
}

TEST_F(TypedValues, MaperrorAndExecsqlAnswerInTheirTypedForms) {
    std::unique_ptr<dqp::Connection> old_client, typed_client;
    int32_t h_old = session(&old_client, "odb");
    int32_t h = session(&typed_client, "TYPED");
    ASSERT_GT(h_old, 0);
    ASSERT_GT(h, 0);
    dqp::Connection &c = *typed_client;

    EXPECT_EQ(ask(c, 'G', h, {"SELEKT 1"}).type, 'N');
    dqp::Reply e = ask(c, 'O', h);
    ASSERT_EQ(e.args.size(), 4u);
    EXPECT_EQ(e.args[0].find('['), std::string::npos) << e.args[0];
    EXPECT_NE(e.args[0].find("syntax error"), std::string::npos) << e.args[0];
    EXPECT_EQ(e.args[1].size(), 5u) << e.args[1];
    EXPECT_EQ(ask(*old_client, 'G', h_old, {"SELEKT 1"}).type, 'N');
    dqp::Reply old_error = ask(*old_client, 'O', h_old);
    ASSERT_EQ(old_error.args.size(), 1u);
    EXPECT_EQ(old_error.args[0].rfind("[SQLite]", 0), 0u) << old_error.args[0];

    // A refusal of the runtime's own has no SQLSTATE.
    EXPECT_EQ(ask(c, 'G', h, {"SELECT 1", "PARAMS:x", "1"}).type, 'N');
    e = ask(c, 'O', h);
    ASSERT_EQ(e.args.size(), 4u);
    EXPECT_NE(e.args[0].find("PARAMS"), std::string::npos);
    EXPECT_EQ(e.args[1], "");

    const struct {
        const char *sql;
        const char *rows;
    } statements[] = {
        {"CREATE TABLE rc (a INTEGER)", "-1"},
        {"INSERT INTO rc VALUES (1), (2), (3)", "3"},
        {"UPDATE rc SET a = a + 1 WHERE a > 1", "2"},
        {"UPDATE rc SET a = a + 1 WHERE a > 1", "2"},  // again, from the statement cache
        {"DELETE FROM rc WHERE a = 9", "0"},
        {"SELECT a FROM rc", "-1"},
    };
    for (const auto &st : statements) {
        dqp::Reply r = ask(c, 'G', h, {st.sql});
        ASSERT_EQ(r.type, 'Y') << st.sql;
        ASSERT_EQ(r.args.size(), 4u) << st.sql;
        EXPECT_EQ(r.args[3], st.rows) << st.sql;
        EXPECT_EQ(r.args[2].empty(), st.sql[0] != 'S') << st.sql;
    }
    dqp::Reply old = ask(*old_client, 'G', h_old, {"CREATE TABLE ro (a INTEGER)"});
    EXPECT_EQ(old.args.size(), 2u);
}

TEST_F(TypedValues, RowsAreExactTaggedAndWholeInEveryFetchPath) {
    std::unique_ptr<dqp::Connection> c;
    int32_t h = session(&c, "TYPED");
    ASSERT_GT(h, 0);
    std::vector<std::string> header;
    std::string cursor = exec_ok(*c, h, kQuery);
    EXPECT_EQ(fetch_many(*c, h, cursor, &header), expected_rows());
    ASSERT_EQ(header.size(), 6u);
    EXPECT_EQ(header[0], "id:10:N:0:int:10:1:10:INTEGER:");
    dqp::TypedField f;
    size_t used = 0;
    const struct {
        size_t column;
        dqp::ValueType type;
    } types[] = {{1, dqp::ValueType::Int},
                 {2, dqp::ValueType::Float},
                 {3, dqp::ValueType::Text},
                 {4, dqp::ValueType::Text},
                 {5, dqp::ValueType::Bytes}};
    for (const auto &t : types) {
        ASSERT_EQ(dqp::parse_typed_description(header[t.column], false, &f, &used), 0);
        EXPECT_EQ(f.type, t.type) << header[t.column];
        EXPECT_EQ(used, header[t.column].size());
    }

    for (bool scroll : {false, true}) {
        std::string name = scroll ? "sc" : "fc";
        ASSERT_EQ(ask(*c, 'U', h, {name, kQuery, ""}).type, 'Y');
        ASSERT_EQ(ask(*c, 'E', h, {name}).type, 'Y');
        TypedRows rows;
        std::vector<std::string> descriptions;
        for (std::vector<Value> row;
             !(row = fetch_one(*c, h, name, scroll, &descriptions)).empty();)
            rows.push_back(row);
        EXPECT_EQ(rows, expected_rows()) << name;
        EXPECT_EQ(descriptions, header) << name;
    }
    // The session goes on after the pieces: the next request is answered.
    EXPECT_EQ(exec_ok(*c, h, "SELECT 1").empty(), false);
}

TEST_F(TypedValues, FieldListAddsTheTypedFields) {
    std::unique_ptr<dqp::Connection> c;
    int32_t h = session(&c, "TYPED");
    ASSERT_GT(h, 0);
    std::string cursor = exec_ok(*c, h, kQuery);
    dqp::Reply fields = ask(*c, '6', h, {cursor});
    ASSERT_EQ(fields.args.size(), 6u);
    dqp::TypedField f;
    size_t used = 0;
    ASSERT_EQ(dqp::parse_typed_description(fields.args[3], true, &f, &used), 0) << fields.args[3];
    EXPECT_EQ(f.name, "t");
    EXPECT_EQ(f.letter, 'T');
    EXPECT_EQ(f.type, dqp::ValueType::Text);
    EXPECT_EQ(f.source, "TEXT");
}

TEST_F(TypedValues, TheClientReassemblesValuesAndTellsNullFromEmpty) {
    auto conn = start_gateway();
    ASSERT_NE(conn, nullptr);
    dqp::SqlClient sql(*conn);
    dqp::SessionOptions typed;
    typed.typed = true;
    ASSERT_EQ(sql.connect("vnxtest", "", "", typed), 0) << sql.error();
    ASSERT_TRUE(sql.typed());

    dqp::ExecResult res;
    ASSERT_EQ(sql.execsql("CREATE TABLE cl (a TEXT)", &res), 0) << sql.error();
    EXPECT_EQ(res.row_count, -1);
    ASSERT_EQ(sql.execsql("INSERT INTO cl VALUES ('x'), ('y')", &res), 0) << sql.error();
    EXPECT_EQ(res.row_count, 2);
    // A refusal brings its diagnostic without being asked.
    EXPECT_EQ(sql.execsql("SELECT nope FROM cl", &res), -1);
    EXPECT_EQ(sql.failure(), dqp::Failure::refused);
    EXPECT_NE(sql.error().find("no such column"), std::string::npos) << sql.error();
    EXPECT_EQ(sql.sqlstate().size(), 5u) << sql.sqlstate();
    std::string text;
    ASSERT_EQ(sql.maperror(&text), 0);
    EXPECT_EQ(text, sql.error());

    std::vector<dqp::FieldDesc> header;
    TypedRows rows;
    ASSERT_EQ(sql.query_views(kQuery, &res, nullptr, nullptr, nullptr), 0) << sql.error();
    ASSERT_EQ(sql.execsql(kQuery, &res), 0) << sql.error();
    ASSERT_EQ(sql.fetchmany_values(
                  res.cursor,
                  [&](const std::vector<dqp::FieldDesc> &f) {
                      header = f;
                      return 0;
                  },
                  [&](std::span<const dqp::ValueView> row) {
                      std::vector<Value> r;
                      for (const dqp::ValueView &v : row)
                          r.push_back(v.null ? Value() : Value(std::string(v.text)));
                      rows.push_back(std::move(r));
                      return 0;
                  }),
              0)
        << sql.error();
    EXPECT_EQ(rows, expected_rows());
    ASSERT_EQ(header.size(), 6u);
    EXPECT_TRUE(header[5].typed);
    EXPECT_EQ(header[5].value_type, dqp::ValueType::Bytes);

    // The untyped calls still work: a NULL is the empty text.
    std::vector<dqp::Row> plain;
    ASSERT_EQ(sql.execsql(kQuery, &res), 0);
    ASSERT_EQ(sql.fetchmany(res.cursor, &header, &plain), 0) << sql.error();
    ASSERT_EQ(plain.size(), 4u);
    EXPECT_EQ(plain[2], (dqp::Row{"3", "", "", "", "", ""}));
    EXPECT_EQ(plain[3][3], long_text());

    ASSERT_EQ(sql.declare("rc", kQuery), 0) << sql.error();
    ASSERT_EQ(sql.open("rc"), 0) << sql.error();
    dqp::Record record;
    bool end = false;
    TypedRows fetched;
    while (sql.fetch("rc", &record, &end) == 0 && !end) {
        std::vector<Value> r;
        for (size_t i = 0; i < record.values.size(); i++)
            r.push_back(record.nulls[i] ? Value() : Value(record.values[i]));
        fetched.push_back(std::move(r));
    }
    EXPECT_TRUE(end) << sql.error();
    EXPECT_EQ(fetched, expected_rows());
}

TEST_F(TypedValues, TypedParametersBindAsTheirTypes) {
    std::unique_ptr<dqp::Connection> c;
    int32_t h = session(&c, "TYPED");
    ASSERT_GT(h, 0);
    exec_ok(*c, h, "CREATE TABLE tp (i, f, b, n, t)");
    const std::string big(12000, 'x');  // over the old limit of 8000 bytes
    dqp::Reply r = ask(
        *c, 'G', h,
        {"INSERT INTO tp VALUES (?, ?, ?, ?, ?)", "PARAMS:ifb10", "42", "1e300", "00ff", "", big});
    ASSERT_EQ(r.type, 'Y') << maperror(*c, h);
    EXPECT_EQ(r.args.at(3), "1");
    std::string cursor =
        exec_ok(*c, h, "SELECT typeof(i), typeof(f), typeof(b), hex(b), n, length(t) FROM tp");
    std::vector<std::string> header;
    EXPECT_EQ(fetch_many(*c, h, cursor, &header),
              (TypedRows{{"integer", "real", "blob", "00FF", Value(), "12000"}}));
    // A value that is not of its type is refused before the data source.
    EXPECT_EQ(ask(*c, 'G', h, {"INSERT INTO tp (i) VALUES (?)", "PARAMS:i", "4x"}).type, 'N');
    dqp::Reply e = ask(*c, 'O', h);
    ASSERT_EQ(e.args.size(), 4u);
    EXPECT_NE(e.args[0].find("not a 64-bit integer"), std::string::npos) << e.args[0];
}
