// Typed values on PostgreSQL and MariaDB: a matrix of types read by a
// client that does not ask (its rows pinned byte for byte), and the same
// values through the C++ client of a typed session, exact and with their
// NULL flags, long ones whole.
#include <gtest/gtest.h>

#include <optional>

#include "client/sql_client.h"
#include "data_sources.h"
#include "mariadb_tag.h"
#include "odbc_harness.h"
#include "protocol/packet.h"
#include "throwaway_server.h"

using namespace vnxtest;
using Kind = vnxtest::Source;
using Rows = std::vector<std::vector<std::string>>;

namespace {

using Value = std::optional<std::string>;

// The unit of a 70,000-byte text (7,000 units): with a character outside
// the BMP on PostgreSQL, ASCII on MariaDB (whose default character set may
// not hold it).
std::string unit(bool pg) {
    return pg ? "abcd \xF0\x9F\x98\x80 " : "abcdefghi ";
}
std::string long_text(bool pg) {
    std::string s;
    for (int i = 0; i < 7000; i++)
        s += unit(pg);
    return s;
}

class TypedServer : public OdbcGateway, public testing::WithParamInterface<Kind> {
  protected:
    static void TearDownTestSuite() { destroy_servers(); }
    void SetUp() override {
        OdbcGateway::SetUp();
        start_server(GetParam());
        if (IsSkipped() || HasFailure()) return;
        add_dsn("db", server_of(GetParam()).dsn_body());
        auto c = start_gateway();
        ASSERT_NE(c, nullptr);
        int32_t h = connect_dsn(*c, "db", "vnx", "secret");
        ASSERT_GT(h, 0);
        bool pg = GetParam() == Kind::Postgres;
        ask(*c, 'G', h, {"DROP TABLE IF EXISTS tm"});
        exec_ok(*c, h,
                std::string("CREATE TABLE tm (id INTEGER PRIMARY KEY, i INTEGER, big BIGINT, ") +
                    "f DOUBLE PRECISION, n NUMERIC(38,10), b BOOLEAN, d DATE, " +
                    (pg ? "ts TIMESTAMP(6)" : "ts DATETIME(6)") + ", c CHAR(4), v VARCHAR(20), " +
                    (pg ? "t TEXT, bin BYTEA" : "t MEDIUMTEXT, bin LONGBLOB") + ")");
        exec_ok(*c, h,
                "INSERT INTO tm VALUES (1, -7, 9007199254740993, 1e300, "
                "1234567890123456789012345678.0123456789, TRUE, '2024-02-29', "
                "'2024-02-29 23:59:58.123456', 'ab', 'x  ', 'ok', NULL)");
        exec_ok(*c, h,
                "INSERT INTO tm VALUES (2, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, '', "
                "'', NULL)");
        EXPECT_EQ(ask(*c, 'X', h).type, 'Y');
        ask(*c, 'D', h);
    }
    std::unique_ptr<dqp::Connection> conn_;
    int32_t session(const std::string &options) {
        conn_ = start_gateway();
        if (conn_ == nullptr) return 0;
        dqp::Reply r = ask(*conn_, 'C', 0, {options, "vnx", "secret", "db"});
        return r.type == 'Y' ? r.info : 0;
    }
};

const char kMatrix[] = "SELECT id, i, big, f, n, b, d, ts, c, v, t FROM tm ORDER BY id";

}  // namespace

INSTANTIATE_TEST_SUITE_P(Servers, TypedServer, testing::Values(Kind::Postgres, Kind::Mariadb),
                         source_name);

TEST_P(TypedServer, ClientsThatDoNotAskGetTheRowsTheyAlwaysGot) {
    int32_t h = session("odb");
    ASSERT_GT(h, 0);
    std::vector<std::string> header;
    Rows rows = query(*conn_, h, kMatrix, &header);
    // Pinned from the untyped format: widths padded, blanks trimmed,
    // dates without dashes, booleans T/F, NULL the empty text.
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "         1");
    EXPECT_EQ(rows[0][1], "        -7");
    EXPECT_EQ(rows[0][2], "9007199254740993");
    EXPECT_EQ(rows[0][6], "20240229");
    EXPECT_EQ(rows[0][8], "ab");
    EXPECT_EQ(rows[0][9], "x");
    EXPECT_EQ(rows[0][10], "Bitmap image");
    // A text that is not NULL shows the placeholder, even when empty.
    EXPECT_EQ(rows[1], (std::vector<std::string>{"         2", "", "", "", "", "", "", "", "", "",
                                                 "Bitmap image"}));
    EXPECT_EQ(header[0], "id:10:N:0:");
    EXPECT_EQ(header[10], "t:4:M:0:");
}

TEST_P(TypedServer, TypedSessionsGetEveryValueAsStored) {
    auto conn = start_gateway();
    ASSERT_NE(conn, nullptr);
    dqp::SqlClient sql(*conn);
    dqp::SessionOptions typed;
    typed.typed = true;
    ASSERT_EQ(sql.connect("db", "vnx", "secret", typed), 0) << sql.error();
    ASSERT_TRUE(sql.typed());
    bool pg = GetParam() == Kind::Postgres;
    dqp::ExecResult res;
    // Long values through parameters, read back whole.
    // Long values made by the server (a request is one packet): 70,000
    // bytes of text and 1 MB of bytes 00 ff 00 ff ...
    std::string fill = pg ? "UPDATE tm SET t = repeat('" + unit(pg) +
                                "', 7000), bin = decode(repeat('00ff', 524288), 'hex') WHERE id = 2"
                          : "UPDATE tm SET t = REPEAT('" + unit(pg) +
                                "', 7000), bin = UNHEX(REPEAT('00FF', 524288)) WHERE id = 2";
    ASSERT_EQ(sql.execsql(fill, &res), 0) << sql.error();
    EXPECT_EQ(res.row_count, 1);
    std::string hex;
    for (int i = 0; i < 524288; i++)
        hex += "00ff";

    std::vector<std::vector<Value>> rows;
    std::vector<dqp::FieldDesc> header;
    ASSERT_EQ(
        sql.execsql(std::string(kMatrix).replace(std::string(kMatrix).find(" FROM"), 0, ", bin"),
                    &res),
        0)
        << sql.error();
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
    ASSERT_EQ(rows.size(), 2u);
    const std::vector<Value> first{"1",
                                   "-7",
                                   "9007199254740993",
                                   "1e+300",
                                   "1234567890123456789012345678.0123456789",
                                   pg ? "t" : "1",  // MariaDB's BOOLEAN is TINYINT(1)
                                   "2024-02-29",
                                   "2024-02-29 23:59:58.123456",
                                   pg ? "ab  " : "ab",  // MariaDB drops CHAR's padding
                                   "x  ",
                                   "ok",
                                   Value()};
    EXPECT_EQ(rows[0], first);
    EXPECT_EQ(rows[1][1], Value());
    EXPECT_EQ(rows[1][9], Value(""));  // empty, not NULL
    EXPECT_EQ(rows[1][10], Value(long_text(pg)));
    ASSERT_TRUE(rows[1][11].has_value());
    EXPECT_EQ(*rows[1][11], hex);
    ASSERT_EQ(header.size(), 12u);
    EXPECT_EQ(header[4].value_type, dqp::ValueType::Decimal);
    EXPECT_EQ(header[4].precision, 38);
    EXPECT_EQ(header[5].value_type, pg ? dqp::ValueType::Bool : dqp::ValueType::Int);
    EXPECT_EQ(header[11].value_type, dqp::ValueType::Bytes);

    if (pg) {
        dqp::Record rec;
        bool end = false;
        ASSERT_EQ(sql.declare("u1", "SELECT 'A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11'::uuid AS u"), 0)
            << sql.error();
        ASSERT_EQ(sql.open("u1"), 0) << sql.error();
        ASSERT_EQ(sql.fetch("u1", &rec, &end), 0) << sql.error();
        ASSERT_EQ(rec.values.size(), 1u);
        EXPECT_EQ(rec.values[0], "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11");
        EXPECT_EQ(rec.fields[0].source, "uuid");
        // PostgreSQL's detail and hint come apart from the message.
        EXPECT_EQ(sql.execsql("INSERT INTO tm (id) VALUES (1)", &res), -1);
        EXPECT_EQ(sql.sqlstate(), "23505");
        EXPECT_NE(sql.error_detail().find("already exists"), std::string::npos)
            << sql.error_detail();
        EXPECT_EQ(sql.error().find("Error while"), std::string::npos) << sql.error();
    }
}
