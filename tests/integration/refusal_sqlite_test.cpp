// Requests a real gateway refuses before its data source sees them, on SQLite
// through its ODBC driver: the refusal carries the reply's arguments, the
// session goes on, and MAPERROR tells the refusal rather than the data
// source's last diagnostic.
#include <gtest/gtest.h>
#include <signal.h>

#include "odbc_harness.h"

using namespace vnxtest;
using dqp::Reply;
using Args = std::vector<std::string>;

namespace {

class SqliteRefusals : public OdbcGateway {
  protected:
    void SetUp() override {
        OdbcGateway::SetUp();
        add_sqlite_dsn();
        c_ = start_gateway(&pid_);
        ASSERT_NE(c_, nullptr);
        h_ = connect_dsn(*c_, "vnxtest");
        ASSERT_GT(h_, 0) << "CONNECT to the SQLite DSN failed";
        exec_ok(*c_, h_, "CREATE TABLE t (r INTEGER PRIMARY KEY, v VARCHAR(10))");
        exec_ok(*c_, h_, "INSERT INTO t VALUES (1, 'one'), (2, 'two')");
        ASSERT_EQ(ask(*c_, 'X', h_).type, 'Y');
        Reply use = ask(*c_, '1', h_, {"t", "CU", "", "*", "r", ""});
        ASSERT_EQ(use.type, 'Y') << maperror(*c_, h_);
        ASSERT_EQ(use.args, (Args{"0", "2"}));
    }
    std::string value_of(int r) {
        auto rows = query(*c_, h_, "SELECT v FROM t WHERE r = " + std::to_string(r));
        return rows.size() == 1 && rows[0].size() == 1 ? rows[0][0] : "<not one value>";
    }
    std::unique_ptr<dqp::Connection> c_;
    pid_t pid_ = 0;
    int32_t h_ = 0;
};

}  // namespace

TEST_F(SqliteRefusals, NulByteInAnUpdateValueIsRefusedAndTheSessionGoesOn) {
    Reply r = ask(*c_, 'M', h_, {"CU", "1", "2", "1", std::string("a\0b", 3)});
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.info, -1);
    EXPECT_EQ(r.args, (Args{"0", "0"}));
    EXPECT_EQ(maperror(*c_, h_), "argument 4 holds a NUL byte, which no request may carry");
    EXPECT_EQ(kill(pid_, 0), 0) << "the gateway exited";
    EXPECT_EQ(value_of(1), "one");
    Reply ok = ask(*c_, 'M', h_, {"CU", "1", "2", "1", "ab"});
    EXPECT_EQ(ok.type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(value_of(1), "ab");
}

TEST_F(SqliteRefusals, RecordBeyondTheLastIsToldByMaperrorThenTheDriverAgain) {
    Reply r = ask(*c_, 'I', h_, {"CU", "12"});
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.args, (Args{"0", "0"}));
    EXPECT_EQ(maperror(*c_, h_), "record 12 is beyond the last record (2) of alias CU");
    EXPECT_EQ(ask(*c_, 'G', h_, {"SELECT v FROM no_such_table"}).type, 'N');
    EXPECT_NE(maperror(*c_, h_).find("no such table"), std::string::npos);
}
