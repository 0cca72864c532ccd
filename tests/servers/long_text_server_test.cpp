// Long text columns (PostgreSQL text, MariaDB TEXT) through the gateway on
// real servers: the placeholder for clients that do not ask at CONNECT, the
// text for those that do, alike in FETCH and FETCHMANY, cut over the limit.
#include <gtest/gtest.h>

#include "client/sql_client.h"
#include "data_sources.h"
#include "mariadb_tag.h"
#include "odbc_harness.h"
#include "protocol/long_text.h"
#include "throwaway_server.h"

using namespace vnxtest;
using Kind = vnxtest::Source;
using Rows = std::vector<std::vector<std::string>>;

namespace {

class LongTextServer : public OdbcGateway, public testing::WithParamInterface<Kind> {
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
        ask(*c, 'G', h, {"DROP TABLE IF EXISTS lt"});
        exec_ok(*c, h, "CREATE TABLE lt (id INTEGER PRIMARY KEY, body TEXT)");
        exec_ok(*c, h, "INSERT INTO lt VALUES (1, '" + text_5000() + "')");
        exec_ok(*c, h, "INSERT INTO lt VALUES (2, NULL)");
        exec_ok(*c, h, "INSERT INTO lt VALUES (3, '" + std::string(12000, 'q') + "')");
        EXPECT_EQ(ask(*c, 'X', h).type, 'Y');
        ask(*c, 'D', h);
    }
    static std::string text_5000() {
        std::string s;
        while (s.size() < 5000)
            s += "gr\xC3\xBC\xC3\x9F"
                 "e-";
        return s;
    }
    int32_t session(std::unique_ptr<dqp::Connection> *c, const std::string &options) {
        *c = start_gateway();
        if (*c == nullptr) return 0;
        dqp::Reply r = ask(**c, 'C', 0, {options, "vnx", "secret", "db"});
        return r.type == 'Y' ? r.info : 0;
    }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Servers, LongTextServer, testing::Values(Kind::Postgres, Kind::Mariadb),
                         source_name);

TEST_P(LongTextServer, OldConnectSeesThePlaceholder) {
    std::unique_ptr<dqp::Connection> c;
    int32_t h = session(&c, "odb");
    ASSERT_GT(h, 0);
    std::vector<std::string> header;
    EXPECT_EQ(
        query(*c, h, "SELECT id, body FROM lt ORDER BY id", &header),
        (Rows{{"         1", "Bitmap image"}, {"         2", ""}, {"         3", "Bitmap image"}}));
    EXPECT_EQ(header[1], "body:4:M:0:");
}

TEST_P(LongTextServer, AskingGivesTheTextInFetchAndFetchmany) {
    std::unique_ptr<dqp::Connection> c;
    int32_t h = session(&c, std::string(dqp::kLongTextOption));
    ASSERT_GT(h, 0);
    const std::string sql = "SELECT id, body FROM lt ORDER BY id";
    std::string cut = std::string(dqp::kLongTextMax - dqp::kLongTextCut.size(), 'q') +
                      std::string(dqp::kLongTextCut);
    const Rows expected{{"         1", text_5000()}, {"         2", ""}, {"         3", cut}};
    std::vector<std::string> header;
    EXPECT_EQ(query(*c, h, sql, &header), expected);
    EXPECT_EQ(header[1], "body:8000:T:0:");
    // A statement with parameters makes its cursor the same way.
    dqp::Reply with_params =
        ask(*c, 'G', h, {"SELECT id, body FROM lt WHERE id > ? ORDER BY id", "PARAMS:0", "0"});
    ASSERT_EQ(with_params.type, 'Y');
    ASSERT_GE(with_params.args.size(), 3u);
    EXPECT_EQ(fetch_all(*c, h, with_params.args[2]), expected);

    std::string cursor = exec_ok(*c, h, sql);
    Rows fetched;
    for (dqp::Reply r; (r = ask(*c, 'P', h, {cursor})).type == 'T';) {
        std::vector<std::string> values;
        for (const std::string &a : r.args) {
            dqp::FieldDesc d;
            std::string v;
            EXPECT_EQ(dqp::parse_described_value(a, &d, &v), 0);
            values.push_back(v);
        }
        fetched.push_back(values);
    }
    EXPECT_EQ(fetched, expected);
}
