// The typed client calls and dqpsh against a real gateway on SQLite through
// its ODBC driver (no server needed).
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "client/sql_client.h"
#include "odbc_harness.h"

using namespace vnxtest;
using dqp::Failure;
using dqp::FieldDesc;
using dqp::Record;
using dqp::Row;
using dqp::Scroll;
using dqp::SqlClient;

namespace {

class SqliteClient : public OdbcGateway {
  protected:
    void SetUp() override {
        OdbcGateway::SetUp();
        add_sqlite_dsn();
        conn_ = start_gateway();
        ASSERT_NE(conn_, nullptr);
        sql_ = std::make_unique<SqlClient>(*conn_);
        ASSERT_EQ(sql_->connect("vnxtest", "", ""), 0) << sql_->error();
        exec("CREATE TABLE t (r INTEGER PRIMARY KEY, v VARCHAR(20))");
        exec(
            "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 300) "
            "INSERT INTO t SELECT x, 'value ' || x FROM n");
    }
    void exec(const std::string &text) {
        dqp::ExecResult res;
        ASSERT_EQ(sql_->execsql(text, &res), 0) << text << ": " << sql_->error();
    }
    std::unique_ptr<dqp::Connection> conn_;
    std::unique_ptr<SqlClient> sql_;
};

}  // namespace

TEST_F(SqliteClient, QueryStreamsEveryRowWithItsHeader) {
    dqp::ExecResult res;
    ASSERT_EQ(sql_->execsql("SELECT r, v FROM t ORDER BY r", &res), 0) << sql_->error();
    ASSERT_TRUE(res.has_cursor);
    std::vector<FieldDesc> fields;
    ASSERT_EQ(sql_->fieldlist(res.cursor, &fields), 0) << sql_->error();
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].name, "r");
    EXPECT_EQ(fields[0].type, 'N');
    EXPECT_EQ(fields[1].width, 20);
    std::vector<Row> rows;
    ASSERT_EQ(sql_->fetchmany(res.cursor, &fields, &rows), 0) << sql_->error();
    ASSERT_EQ(rows.size(), 300u);
    EXPECT_EQ(rows[299], (Row{"       300", "value 300"}));
    // The gateway released the cursor after its last row.
    EXPECT_EQ(sql_->fetchmany(res.cursor, &fields, &rows), -1);
    EXPECT_EQ(sql_->failure(), Failure::refused);
    EXPECT_TRUE(sql_->usable());
}

TEST_F(SqliteClient, DeclaredCursorOpensCountsAndFetches) {
    ASSERT_EQ(sql_->declare("c1", "SELECT r, v FROM t WHERE r <= 3 ORDER BY r"), 0)
        << sql_->error();
    int32_t count = -1;
    ASSERT_EQ(sql_->open("c1", &count), 0) << sql_->error();
    EXPECT_EQ(count, 3);
    Record rec;
    bool end = false;
    ASSERT_EQ(sql_->fetch("c1", &rec, &end), 0) << sql_->error();
    ASSERT_FALSE(end);
    EXPECT_EQ(rec.fields[1].name, "v");
    EXPECT_EQ(rec.values, (Row{"         1", "value 1"}));
    ASSERT_EQ(sql_->extended_fetch("c1", Scroll::next, 0, &rec, &end), 0) << sql_->error();
    EXPECT_EQ(rec.values[1], "value 2");
    ASSERT_EQ(sql_->extended_fetch("c1", Scroll::first, 0, &rec, &end), 0) << sql_->error();
    EXPECT_EQ(rec.values[1], "value 1");
    for (int i = 0; i < 3 && !end; i++)
        ASSERT_EQ(sql_->fetch("c1", &rec, &end), 0) << sql_->error();
    EXPECT_TRUE(end);
    EXPECT_EQ(sql_->close("c1"), 0) << sql_->error();
    EXPECT_EQ(sql_->undeclare("c1"), 0) << sql_->error();
}

TEST_F(SqliteClient, ErrorsCarryTheDriverText) {
    dqp::ExecResult res;
    EXPECT_EQ(sql_->execsql("SELECT * FROM nowhere", &res), -1);
    EXPECT_EQ(sql_->failure(), Failure::refused);
    std::string text;
    ASSERT_EQ(sql_->maperror(&text), 0) << sql_->error();
    EXPECT_NE(text.find("no such table"), std::string::npos) << text;
    std::vector<dqp::TableInfo> tables;
    ASSERT_EQ(sql_->tablelist("TL", &tables), 0) << sql_->error();
    ASSERT_EQ(tables.size(), 1u);
    EXPECT_EQ(tables[0].name, "t");
    EXPECT_EQ(sql_->rollback(), 0) << sql_->error();
    EXPECT_EQ(sql_->disconnect(), 0) << sql_->error();
}

TEST_F(SqliteClient, RefusedConnectGivesTheDriverManagerText) {
    auto gateway = start_gateway();
    ASSERT_NE(gateway, nullptr);
    SqlClient other(*gateway);
    EXPECT_EQ(other.connect("no_such_dsn", "u", "p"), -1);
    EXPECT_EQ(other.failure(), Failure::refused);
    std::string text;
    ASSERT_EQ(other.maperror(&text), 0) << other.error();
    EXPECT_NE(text.find("Data source name not found"), std::string::npos) << text;
}

TEST_F(SqliteClient, DqpshPrintsAQueryOfTheGateway) {
    // The gateway works in a transaction: the table must be committed to be seen.
    ASSERT_EQ(sql_->commit(), 0) << sql_->error();
    sql_->disconnect();
    sql_->stop();
    int port = free_port();
    pid_t pid = vnx::spawn_server(gateway_program() + " " + std::to_string(port), port);
    ASSERT_GT(pid, 0);
    own(pid);
    ASSERT_EQ(vnx::wait_for_child(port, pid), 0);
    std::string cmd = "VNXPASSWORD= " VNX_DQPSH_PATH " --gateway-port " + std::to_string(port) +
                      " -d vnxtest --csv -c 'SELECT r, v FROM t WHERE r < 3 ORDER BY r'" +
                      " -c \"\\\\declare c1 SELECT r, v FROM t WHERE v = 'value 3'\"" +
                      " -c '\\open c1' -c '\\fetch c1' -c '\\fetch c1 NEXT' 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[256];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << out;
    EXPECT_EQ(out, "r,v\n1,value 1\n2,value 2\nOK\n1 row\nr: 3\nv: value 3\n(no row)\n");
}

// ---- parameters -----------------------------------------------------------

TEST_F(SqliteClient, ExecsqlWithParamsWritesValuesAsDataAndCountsRows) {
    const char *nasty = "x'); DELETE FROM t; --";
    dqp::ParamValue insert[] = {{"301"}, {nasty}};
    dqp::ExecResult res;
    ASSERT_EQ(sql_->execsql("INSERT INTO t VALUES (?, ?)", insert, &res), 0) << sql_->error();
    EXPECT_FALSE(res.has_cursor);
    EXPECT_EQ(res.row_count, 1);
    dqp::ParamValue bound[] = {{"100"}};
    ASSERT_EQ(sql_->execsql("UPDATE t SET v = 'low' WHERE r <= ?", bound, &res), 0);
    EXPECT_EQ(res.row_count, 100);
    // The query finds the stored text exactly, through the pipelined path.
    std::vector<Row> rows;
    dqp::ParamValue key[] = {{nasty}};
    ASSERT_EQ(sql_->query_views("SELECT r FROM t WHERE v = ?", key, &res, nullptr, nullptr,
                                [&](std::span<const std::string_view> v) {
                                    rows.emplace_back(v.begin(), v.end());
                                    return 0;
                                }),
              0)
        << sql_->error();
    EXPECT_EQ(rows, (std::vector<Row>{{"       301"}}));
    EXPECT_EQ(res.row_count, -1);
}

TEST_F(SqliteClient, ParamNullIsStoredAsNull) {
    dqp::ParamValue values[] = {{"400"}, {"", true}};
    dqp::ExecResult res;
    ASSERT_EQ(sql_->execsql("INSERT INTO t VALUES (?, ?)", values, &res), 0) << sql_->error();
    dqp::ParamValue none[] = {{"0"}};
    ASSERT_EQ(sql_->execsql("DELETE FROM t WHERE v IS NULL AND r > ?", none, &res), 0);
    EXPECT_EQ(res.row_count, 1);
}

TEST_F(SqliteClient, ParamCountMismatchIsRefusedAndSessionGoesOn) {
    dqp::ParamValue one[] = {{"1"}};
    dqp::ExecResult res;
    EXPECT_EQ(sql_->execsql("INSERT INTO t VALUES (?, ?)", one, &res), -1);
    EXPECT_EQ(sql_->failure(), Failure::refused);
    std::string why;
    ASSERT_EQ(sql_->maperror(&why), 0);
    EXPECT_NE(why.find("2 parameter markers but 1 values"), std::string::npos) << why;
    dqp::ParamValue two[] = {{"302"}, {"ok"}};
    EXPECT_EQ(sql_->execsql("INSERT INTO t VALUES (?, ?)", two, &res), 0) << sql_->error();
}

TEST_F(SqliteClient, DeclaredCursorOpensWithParamValues) {
    ASSERT_EQ(sql_->declare_with_params("c1", "SELECT r, v FROM t WHERE r < ? ORDER BY r"), 0)
        << sql_->error();
    dqp::ParamValue below[] = {{"4"}};
    int32_t count = -1;
    ASSERT_EQ(sql_->open("c1", below, &count), 0) << sql_->error();
    EXPECT_EQ(count, 3);
    dqp::ParamValue fewer[] = {{"2"}};
    ASSERT_EQ(sql_->open("c1", fewer, &count), 0) << sql_->error();
    EXPECT_EQ(count, 1);
}
