// Statements and parameter values longer than one packet, through the C++
// client and a real gateway on SQLite (no server needed): they go in pieces
// and arrive whole; a request over ODBServer "max_statement_bytes" is
// refused with the setting's name and the session goes on.
#include <gtest/gtest.h>

#include <string>

#include "client/sql_client.h"
#include "odbc_harness.h"

using namespace vnxtest;

namespace {

class LongRequest : public OdbcGateway {
  protected:
    void SetUp() override {
        OdbcGateway::SetUp();
        add_sqlite_dsn();
    }
    void connect() {
        conn_ = start_gateway();
        ASSERT_NE(conn_, nullptr);
        sql_ = std::make_unique<dqp::SqlClient>(*conn_);
        ASSERT_EQ(sql_->connect("vnxtest", "", ""), 0) << sql_->error();
    }
    // The rows of a query, each value trimmed of the padding of N columns.
    std::vector<dqp::Row> query(const std::string &text,
                                std::span<const dqp::ParamValue> values = {}) {
        std::vector<dqp::Row> rows;
        dqp::ExecResult res;
        auto take = [&](std::span<const std::string_view> v) {
            dqp::Row row;
            for (std::string_view s : v) {
                size_t b = s.find_first_not_of(' ');
                row.emplace_back(b == s.npos ? "" : s.substr(b));
            }
            rows.push_back(row);
            return 0;
        };
        int rc = values.empty() ? sql_->query_views(text, &res, nullptr, nullptr, take)
                                : sql_->query_views(text, values, &res, nullptr, nullptr, take);
        EXPECT_EQ(rc, 0) << sql_->error();
        return rows;
    }
    std::unique_ptr<dqp::Connection> conn_;
    std::unique_ptr<dqp::SqlClient> sql_;
};

}  // namespace

TEST_F(LongRequest, InListOf19KilobytesAndValueOf100KilobytesGoWhole) {
    connect();
    dqp::ExecResult res;
    ASSERT_EQ(sql_->execsql("CREATE TABLE t (id INTEGER, body TEXT)", &res), 0) << sql_->error();
    std::string value;
    for (int i = 0; value.size() < 100000; i++)
        value += "é€" + std::to_string(i) + " ";
    dqp::ParamValue insert[] = {{"7"}, {value}};
    ASSERT_EQ(sql_->execsql("INSERT INTO t VALUES (?, ?)", insert, &res), 0) << sql_->error();
    EXPECT_EQ(res.row_count, 1);

    std::string in_list = "SELECT id, length(body) FROM t WHERE id IN (";
    for (int i = 0; in_list.size() < 18900; i++)
        in_list += std::to_string(i * 7) + ", ";
    in_list += "-1)";
    ASSERT_GT(in_list.size(), 18900u);
    size_t characters = 0;
    for (unsigned char c : value)
        characters += (c & 0xC0) != 0x80;
    EXPECT_EQ(query(in_list), (std::vector<dqp::Row>{{"7", std::to_string(characters)}}));
    // The value stored is the one sent, whole.
    dqp::ParamValue same[] = {{value}};
    EXPECT_EQ(query("SELECT count(*) FROM t WHERE body = ?", same), (std::vector<dqp::Row>{{"1"}}));
}

TEST_F(LongRequest, OverTheSettingRefusedAndTheSessionGoesOn) {
    ASSERT_EQ(store_->set_value(std::string(vnx::kRootKey) + "\\ODBServer", "max_statement_bytes",
                                "20000"),
              0);
    connect();
    dqp::ExecResult res;
    std::string text = "SELECT '" + std::string(30000, 'x') + "'";
    EXPECT_EQ(sql_->execsql(text, &res), -1);
    EXPECT_EQ(sql_->failure(), dqp::Failure::refused);
    std::string why;
    ASSERT_EQ(sql_->maperror(&why), 0) << sql_->error();
    EXPECT_NE(why.find("over ODBServer \"max_statement_bytes\" (20000)"), std::string::npos) << why;
    text.resize(19000);
    text += "'";
    EXPECT_EQ(query(text).size(), 1u);
}
