// A warm spare against a real PostgreSQL server: the spare has loaded
// psqlODBC and looked its DSN's settings up before any client came; when
// odbc.ini changes after that, the client's CONNECT uses the new settings,
// never the ones the spare read while it waited.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "client/sql_client.h"
#include "data_sources.h"
#include "master_harness.h"
#include "throwaway_server.h"

using namespace vnxtest;

namespace {

class WarmSpare : public Master {
  protected:
    void SetUp() override {
        Master::SetUp();
        start_server(Source::Postgres);
        if (IsSkipped() || HasFailure()) return;
        std::string cmd = std::string(VNX_SOURCE_DIR) + "/scripts/odbc-ini " + root_;
        ASSERT_EQ(system(cmd.c_str()), 0);
        setenv("ODBCSYSINI", root_.c_str(), 1);
        setenv("ODBCINI", (root_ + "/odbc.ini").c_str(), 1);
        body_ = server_of(Source::Postgres).dsn_body();
        write_dsn();
        set_spares(1);
        start_master();
        ASSERT_TRUE(wait_recorded(1));
        spare_ = recorded_gateways().front();
        ASSERT_TRUE(wait_driver_loaded(spare_));
        // The warm-up looks the DSN's settings up right after loading the
        // driver; give it ample time to have done so.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    static void TearDownTestSuite() { destroy_servers(); }

    // odbc.ini holds the one DSN "pg" of the throwaway server.
    void write_dsn() { std::ofstream(root_ + "/odbc.ini") << "[pg]\n" << body_; }
    // Rewrites odbc.ini with one setting's value changed in place.
    void change_setting(const std::string &from, const std::string &to) {
        size_t at = body_.find(from);
        ASSERT_NE(at, std::string::npos) << body_;
        body_.replace(at, from.size(), to);
        write_dsn();
    }
    // True once the gateway has psqlODBC mapped (its warm-up loaded it).
    static bool wait_driver_loaded(pid_t pid) {
        for (int i = 0; i < 1000; i++) {
            if (read_file("/proc/" + std::to_string(pid) + "/maps").find("psqlodbc") !=
                std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // A client of the port the master hands out, started: the gateway must
    // be the spare that waited.
    std::unique_ptr<dqp::Connection> claim_spare() {
        int port = request();
        EXPECT_GT(port, 0);
        std::string err;
        auto c = dqp::Connection::open("127.0.0.1", port, &err, 10000);
        EXPECT_NE(c, nullptr) << err;
        if (c == nullptr) return c;
        int32_t pid = 0;
        EXPECT_EQ(dqp::SqlClient(*c).start("tester", "pw", &pid), 0) << c->error();
        EXPECT_EQ(pid, spare_) << "the client was not given the warmed spare";
        return c;
    }
    // The database a connected session is in, or "" when the query failed.
    static std::string current_database(dqp::SqlClient &sql) {
        std::vector<dqp::Row> rows;
        dqp::ExecResult res;
        int rc =
            sql.query("SELECT current_database()", &res, nullptr, nullptr, [&](dqp::Row &&row) {
                rows.push_back(std::move(row));
                return 0;
            });
        return rc == 0 && rows.size() == 1 && rows[0].size() == 1 ? rows[0][0] : "";
    }
    std::string body_;
    pid_t spare_ = 0;
};

}  // namespace

TEST_F(WarmSpare, ConnectAfterTheDatabaseChangedUsesTheNewDatabase) {
    change_setting("Database=postgres", "Database=template1");
    auto c = claim_spare();
    ASSERT_NE(c, nullptr);
    dqp::SqlClient sql(*c);
    ASSERT_EQ(sql.connect("pg", "vnx", "secret"), 0) << c->error();
    EXPECT_EQ(current_database(sql), "template1");
}

TEST_F(WarmSpare, ConnectAfterThePortChangedGoesToTheNewPort) {
    // A port of as many digits: the file keeps its size, and only its
    // modification time tells the change.
    std::string old = std::to_string(server_of(Source::Postgres).port());
    std::string closed = std::to_string(free_port());
    ASSERT_EQ(closed.size(), old.size());
    change_setting("Port=" + old, "Port=" + closed);
    auto c = claim_spare();
    ASSERT_NE(c, nullptr);
    dqp::SqlClient sql(*c);
    EXPECT_NE(sql.connect("pg", "vnx", "secret"), 0) << "CONNECT reached the old port's server";
}

TEST_F(WarmSpare, ConnectWithTheFilesUnchangedUsesTheirSettings) {
    auto c = claim_spare();
    ASSERT_NE(c, nullptr);
    dqp::SqlClient sql(*c);
    ASSERT_EQ(sql.connect("pg", "vnx", "secret"), 0) << c->error();
    EXPECT_EQ(current_database(sql), "postgres");
}
