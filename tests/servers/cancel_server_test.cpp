// Cancelling statements on real PostgreSQL and MariaDB servers (throwaway
// instances, see throwaway_server.h): a client that hangs up, or sends its
// urgent byte, while the server sleeps in its statement. A second session
// watches the server's own list of running statements, so every wait is for
// an event the server reports.
#include <gtest/gtest.h>

#include <functional>

#include "client/sql_script.h"
#include "data_sources.h"
#include "gateway/cancel.h"
#include "gateway/cursors.h"
#include "gateway/diagnostics.h"
#include "gateway/session.h"
#include "gateway/svr_session.h"
#include "gateway/table_open.h"
#include "odbc_harness.h"
#include "throwaway_server.h"

using namespace vnxtest;
using Kind = vnxtest::Source;

namespace {

// Waits for `done`, at most 45 seconds: far less than the statements sleep.
bool eventually(const std::function<bool()> &done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(45);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class CancelServer : public OdbcGateway, public testing::WithParamInterface<Kind> {
  protected:
    static void TearDownTestSuite() { destroy_servers(); }
    void SetUp() override {
        OdbcGateway::SetUp();
        start_server(GetParam());
        if (IsSkipped() || HasFailure()) return;
        ThrowawayServer &s = server_of(GetParam());
        add_dsn("db", s.dsn_body());
        c_ = start_gateway(&pid_);
        ASSERT_NE(c_, nullptr);
        h_ = connect_dsn(*c_, "db", "vnx", "secret");
        ASSERT_GT(h_, 0) << "CONNECT failed";
        watch_ = start_gateway();
        ASSERT_NE(watch_, nullptr);
        watch_h_ = connect_dsn(*watch_, "db", "vnx", "secret");
        ASSERT_GT(watch_h_, 0);
    }
    bool pg() const { return GetParam() == Kind::Postgres; }
    std::string sleep_statement() const {
        return pg() ? "SELECT pg_sleep(60)" : "SELECT SLEEP(60)";
    }
    // How many statements the server is running with that text, as its own
    // activity list says (in a transaction of its own: PostgreSQL keeps the
    // list of a transaction's first look). psqlODBC may send the statement
    // behind the BEGIN of its transaction in one query ("BEGIN;SELECT ..."),
    // so on PostgreSQL the text is what the query ends with.
    int running(const std::string &text) {
        std::string sql =
            pg()
                ? "SELECT count(*) FROM pg_stat_activity WHERE state = 'active' AND query LIKE "
                  "'%" +
                      text + "'"
                : "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE INFO = '" + text + "'";
        auto rows = query(*watch_, watch_h_, sql);
        ask(*watch_, 'Z', watch_h_);
        return rows.size() == 1 ? atoi(dqp::trim(rows[0].at(0)).c_str()) : -1;
    }
    std::unique_ptr<dqp::Connection> c_, watch_;
    pid_t pid_ = 0;
    int32_t h_ = 0, watch_h_ = 0;
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Servers, CancelServer, testing::Values(Kind::Postgres, Kind::Mariadb),
                         source_name);

TEST_P(CancelServer, HangUpStopsTheServersStatementAndEndsTheGateway) {
    std::string sleep = sleep_statement();
    ASSERT_EQ(c_->send('G', h_, {sleep}), 0);
    ASSERT_TRUE(eventually([&] { return running(sleep) == 1; }));
    c_->close();
    EXPECT_TRUE(eventually([&] { return running(sleep) == 0; }));
    EXPECT_EQ(wait_exit(pid_, 45000), 1);
    forget(pid_);
}

TEST_P(CancelServer, UrgentCancelAnswersNokWithTheDriversTextAndTheSessionGoesOn) {
    std::string sleep = sleep_statement();
    ASSERT_EQ(c_->send('G', h_, {sleep}), 0);
    ASSERT_TRUE(eventually([&] { return running(sleep) == 1; }));
    ASSERT_EQ(c_->cancel(), 0);
    dqp::Reply r;
    ASSERT_EQ(c_->receive(&r), 0) << c_->error();
    EXPECT_EQ(r.type, 'N');
    std::string why = maperror(*c_, h_);
    EXPECT_NE(why.find(pg() ? "canceling statement due to user request"
                            : "Query execution was interrupted"),
              std::string::npos)
        << why;
    // MariaDB lists a query it was told to stop until its thread has noticed.
    EXPECT_TRUE(eventually([&] { return running(sleep) == 0; }));
    auto rows = query(*c_, h_, "SELECT 1");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(dqp::trim(rows[0].at(0)), "1");
}

// In-process: a cancel that finds no call running must leave an open result
// alone. SQLCancel on an idle statement would reset the driver manager's
// state of it to "no cursor", and the next fetch would fail.
TEST_P(CancelServer, CancelFindingNothingRunningLeavesAnOpenResultAlone) {
    int32_t h = 0, err = 0;
    ASSERT_EQ(vnx::db_server_connect(&h, "", "vnx", "secret", "db", &err, 0), 0);
    vnx::svr_session *s = vnx::find_session(h);
    ASSERT_NE(s, nullptr);
    char name[240] = "";
    int32_t has = 0, st = 0, st2 = 0;
    ASSERT_EQ(vnx::db_server_execsql(h, "SELECT 1 UNION ALL SELECT 2 UNION ALL SELECT 3", name,
                                     &has, &st, &st2),
              0);
    vnx::csb *c = vnx::find_cursor(s, name);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(vnx::fetch_statement_row(s, c), SQL_SUCCESS);
    vnx::cancel_running_statement(vnx::CancelCause::ClientRequest);
    vnx::cancel_running_statement(vnx::CancelCause::HangUp);
    EXPECT_EQ(vnx::fetch_statement_row(s, c), SQL_SUCCESS) << s->error_text;
    EXPECT_EQ(vnx::fetch_statement_row(s, c), SQL_SUCCESS) << s->error_text;
    EXPECT_EQ(vnx::fetch_statement_row(s, c), SQL_NO_DATA_FOUND) << s->error_text;
    EXPECT_EQ(vnx::db_server_disconnect(h), 0);
    vnx::free_all_sessions();
}
