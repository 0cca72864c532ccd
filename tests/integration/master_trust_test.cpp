// What the master and its gateways run and read stays what no other user
// could change, also after the master has started: the ODBC files and the
// driver libraries they name, the gateway program at every start, and the
// modes of the files that show what clients do (logs, users.db).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "client/dqp_client.h"
#include "master_harness.h"
#include "support/file_trust.h"

using namespace vnxtest;

namespace {

class MasterTrust : public Master {
  protected:
    void SetUp() override {
        Master::SetUp();
        use_sqlite_dsn("good", "good.db");
    }
    // The standard error of the master started n-th.
    std::string master_err(size_t n = 0) {
        return read_file(root_ + "/master" + std::to_string(n) + ".err");
    }
    // Starts a master that must refuse; its standard error.
    std::string refused_start() {
        pid_t m = start_master(false);
        EXPECT_EQ(wait_exit(m, 10000), 255);
        masters_.back() = -1;
        EXPECT_FALSE(std::filesystem::exists(users_db()));
        return master_err(masters_.size() - 1);
    }
    // Waits until the first master's standard error holds `text`.
    bool wait_err(const std::string &text, int timeout_ms = 10000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            if (master_err().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // A copy of the SQLite driver library at `path` with `mode`, and a DSN
    // "evil" in odbc.ini that names it.
    void plant_driver(const std::string &path, mode_t mode) {
        std::string list = read_file(root_ + "/odbcinst.ini");
        size_t at = list.find("Driver=");
        ASSERT_NE(at, std::string::npos) << "no SQLite ODBC driver installed";
        std::string driver = list.substr(at + 7, list.find('\n', at) - at - 7);
        std::filesystem::copy_file(driver, path);
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        std::ofstream(root_ + "/odbc.ini", std::ios::app)
            << "[evil]\nDriver=" << path << "\nDatabase=" << root_ << "/evil.db\n";
    }
    static bool maps_hold(pid_t pid, const std::string &path) {
        return read_file("/proc/" + std::to_string(pid) + "/maps").find(path) != std::string::npos;
    }
    std::string me() { return vnx::user_name(geteuid()); }
};

TEST_F(MasterTrust, RefusesToStartOnOdbcFilesOthersCouldChange) {
    const std::string ini = root_ + "/odbc.ini";
    ASSERT_EQ(chmod(ini.c_str(), 0666), 0);
    std::string err = refused_start();
    EXPECT_NE(err.find("the ODBC data source list " + ini +
                       " is writable by group or others (mode 0666, owner " + me() + ")\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("\nhint: chmod go-w " + ini + "\n"), std::string::npos) << err;
    ASSERT_EQ(chmod(ini.c_str(), 0644), 0);

    const std::string evil = root_ + "/evil.so";
    plant_driver(evil, 0666);
    err = refused_start();
    EXPECT_NE(err.find("the ODBC driver library " + evil + " is writable by group or others"),
              std::string::npos)
        << err;
}

// A driver that another user could change appears after the master started:
// the warm-up of the next spare does not load it, CONNECT to its data source
// is refused with the reason, and the other data sources serve as before.
TEST_F(MasterTrust, GatewaysNeverLoadADriverOthersCouldChange) {
    set_spares(1);
    start_master();
    ASSERT_TRUE(wait_recorded(1));
    const std::string evil = root_ + "/evil.so";
    plant_driver(evil, 0666);
    std::string err;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(c, nullptr) << err;
    // The replacement spare warms up with the planted driver listed.
    ASSERT_TRUE(wait_err("the ODBC driver library " + evil)) << master_err();
    for (pid_t spare : recorded_gateways())
        EXPECT_FALSE(maps_hold(spare, evil)) << "gateway " << spare << " loaded it";

    dqp::Reply r;
    ASSERT_EQ(c->request('A', 0, {"", "alice", ""}, &r), 0) << c->error();
    const pid_t gateway = r.info;
    ASSERT_EQ(c->request('C', 0, {"odb", "", "", "evil"}, &r), 0);
    EXPECT_EQ(r.type, 'N');
    ASSERT_FALSE(r.args.empty());
    ASSERT_EQ(c->request('O', atoi(r.args[0].c_str()), {}, &r), 0);
    ASSERT_FALSE(r.args.empty());
    EXPECT_EQ(r.args[0].rfind("the data source is refused: the ODBC driver library " + evil +
                                  " is writable by group or others (mode 0666",
                              0),
              0u)
        << r.args[0];
    EXPECT_NE(r.args[0].find("hint: chmod go-w " + evil), std::string::npos) << r.args[0];
    EXPECT_FALSE(maps_hold(gateway, evil));
    ASSERT_EQ(c->request('C', 0, {"odb", "", "", "good"}, &r), 0);
    EXPECT_EQ(r.type, 'Y');
}

// The gateway program becomes writable by others while the master runs: the
// reload says so, no gateway is started from it (logged once, not per
// request), and once mended gateways start again.
TEST_F(MasterTrust, StopsStartingAGatewayProgramThatBecameUnsafe) {
    pid_t m = start_master();
    const std::string program = root_ + "/odbserver";
    ASSERT_EQ(chmod(program.c_str(), 0777), 0);
    ASSERT_EQ(kill(m, SIGHUP), 0);
    EXPECT_TRUE(wait_err(
        "the gateway program " + program + " is writable by group or others (mode 0777, owner " +
        me() + "): no gateway is started until it is mended; hint: chmod go-w " + program))
        << master_err();
    EXPECT_EQ(request(), -1);
    EXPECT_EQ(request(), -1);
    EXPECT_TRUE(recorded_gateways().empty());
    const std::string err = master_err();
    const std::string refusal = "refusing to start gateways: the gateway program " + program;
    size_t first = err.find(refusal);
    EXPECT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find(refusal, first + 1), std::string::npos) << "logged per request:\n" << err;

    ASSERT_EQ(chmod(program.c_str(), 0700), 0);
    EXPECT_GT(request(), base_);
}

// Logs show every statement and users.db who works from where: their owner
// alone writes them, and users.db is for the console's group to read.
TEST_F(MasterTrust, LogsAndUsersDbAreNotForOtherUsers) {
    EXPECT_EQ(store_->set_value(std::string(vnx::kRootKey) + "\\ODBServer", "logging", "true"), 0);
    start_master();
    std::string err;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(c, nullptr) << err;
    dqp::Reply r;
    ASSERT_EQ(c->request('A', 0, {"", "alice", ""}, &r), 0) << c->error();
    struct stat st;
    ASSERT_EQ(stat(users_db().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(stat((root_ + "/odbserver.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(MasterTrust, RefusesADbRootOthersCanReadWhileLogsHoldStatements) {
    EXPECT_EQ(store_->set_value(std::string(vnx::kRootKey) + "\\ODBServer", "logging", "true"), 0);
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    std::string err = refused_start();
    EXPECT_NE(err.find("DB_ROOT " + root_ + " is readable by others (mode 0755, owner " + me() +
                       ") while ODBServer \"logging\" is on"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("hint: chmod o-rwx " + root_ + "\n"), std::string::npos) << err;
}

}  // namespace
