// A running master changing its settings (SIGHUP, vnxadmin reload) and
// stopping with a grace period, without losing the sessions it serves.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>

#include "client/dqp_client.h"
#include "master_harness.h"
#include "protocol/packet.h"

using namespace vnxtest;
using dqp::Reply;

namespace {

class MasterLifecycle : public Master {
  protected:
    // The master's standard error so far.
    std::string master_err() { return read_file(root_ + "/master0.err"); }
    // Waits until the master's standard error holds `text`.
    bool wait_err(const std::string &text, int timeout_ms = 10000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            if (master_err().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // A client with a started session on a gateway of its own.
    std::unique_ptr<dqp::Connection> session(const std::string &user, pid_t *gateway = nullptr) {
        std::string err;
        auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
        EXPECT_NE(c, nullptr) << err;
        if (c == nullptr) return nullptr;
        Reply r;
        EXPECT_EQ(c->request(dqp::PKT_TYPE_START, 0, {"", user, "pw"}, &r), 0) << c->error();
        EXPECT_EQ(r.type, 'Y');
        if (gateway != nullptr) *gateway = r.info;
        return c;
    }
    // True when the session's gateway still answers a request.
    static bool answers(dqp::Connection &c) {
        Reply r;
        return c.request(dqp::PKT_TYPE_MAPERROR, 0, {}, &r) == 0;
    }
    // Runs vnxadmin with args; its exit status.
    int vnxadmin(const std::vector<std::string> &args) {
        std::vector<char *> argv{const_cast<char *>(VNX_VNXADMIN_PATH)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, (root_ + "/vnxadmin.err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = 0;
        int status = -1;
        if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) == 0)
            waitpid(pid, &status, 0);
        posix_spawn_file_actions_destroy(&fa);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

}  // namespace

TEST_F(MasterLifecycle, SighupStartsTheNewNumberOfSparesAndKeepsTheSession) {
    pid_t m = start_master();
    pid_t gateway = 0;
    auto c = session("alice", &gateway);
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(wait_recorded(1));
    set_spares(2);
    kill(m, SIGHUP);
    EXPECT_TRUE(wait_err("settings reloaded: spares 0 -> 2")) << master_err();
    EXPECT_TRUE(wait_recorded(3)) << "the session's gateway and two spares";
    EXPECT_TRUE(answers(*c));
    EXPECT_TRUE(process_alive(gateway));
    EXPECT_EQ(sessions().size(), 1u);
}

TEST_F(MasterLifecycle, ChangedGatewaySettingsReplaceTheSparesButNotTheSessions) {
    set_spares(1);
    pid_t m = start_master();
    pid_t gateway = 0;
    auto c = session("bob", &gateway);
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(wait_recorded(2));
    std::vector<pid_t> before = recorded_gateways();
    EXPECT_EQ(store_->set_value(std::string(vnx::kRootKey) + "\\ODBServer", "lock_timeout", "7"),
              0);
    kill(m, SIGHUP);
    EXPECT_TRUE(wait_err("settings reloaded: ODBServer values changed")) << master_err();
    pid_t old_spare = before[0] == gateway ? before[1] : before[0];
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<pid_t> now;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        now = recorded_gateways();
    } while ((now.size() != 2 || std::count(now.begin(), now.end(), old_spare) != 0) &&
             std::chrono::steady_clock::now() < end);
    EXPECT_EQ(now.size(), 2u);
    EXPECT_EQ(std::count(now.begin(), now.end(), old_spare), 0) << "the old spare was replaced";
    EXPECT_EQ(std::count(now.begin(), now.end(), gateway), 1) << "the session's gateway stays";
    EXPECT_TRUE(answers(*c));
}

TEST_F(MasterLifecycle, AMalformedSettingIsRefusedAtReloadAndTheOldOnesKept) {
    pid_t m = start_master();
    set_port_server_value("allow", "10.0.0.0/8, not-an-address");
    kill(m, SIGHUP);
    EXPECT_TRUE(wait_err("reload refused, the settings in use are kept")) << master_err();
    EXPECT_NE(master_err().find("not-an-address"), std::string::npos);
    EXPECT_GT(request(), 0) << "127.0.0.1 is still allowed";
}

TEST_F(MasterLifecycle, VnxadminReloadFindsTheRunningMaster) {
    EXPECT_NE(vnxadmin({"reload"}), 0) << "no master runs yet";
    EXPECT_NE(read_file(root_ + "/vnxadmin.err").find("no master runs"), std::string::npos);
    start_master();
    set_port_server_value("claim_timeout", "30");
    EXPECT_EQ(vnxadmin({"reload"}), 0) << read_file(root_ + "/vnxadmin.err");
    EXPECT_TRUE(wait_err("settings reloaded: claim_timeout 60 -> 30")) << master_err();
}

TEST_F(MasterLifecycle, GracePeriodRefusesNewClientsAndWaitsForTheLiveSession) {
    set_port_server_value("shutdown_grace", "60");
    pid_t m = start_master();
    auto c = session("carol");
    ASSERT_NE(c, nullptr);
    int unclaimed = request();
    ASSERT_GT(unclaimed, 0);
    kill(m, SIGTERM);
    ASSERT_TRUE(wait_err("waiting up to 60 s for 1 live session to end")) << master_err();
    EXPECT_EQ(request(), -1) << "a stopping master starts no gateway";
    EXPECT_TRUE(answers(*c));
    EXPECT_EQ(wait_exit(m, 200), -1) << "the master waits for the session";
    ASSERT_EQ(c->send(dqp::PKT_TYPE_STOP, 0), 0);
    EXPECT_EQ(wait_exit(m, 20000), 0);
    masters_.back() = -1;
    EXPECT_NE(master_err().find("every session ended within the grace period"), std::string::npos)
        << master_err();
}

TEST_F(MasterLifecycle, SessionsLeftWhenTheGraceEndsAreEndedAndCounted) {
    set_port_server_value("shutdown_grace", "1");
    pid_t m = start_master();
    pid_t gateway = 0;
    auto c = session("dave", &gateway);
    ASSERT_NE(c, nullptr);
    kill(m, SIGTERM);
    EXPECT_EQ(wait_exit(m, 20000), 0);
    masters_.back() = -1;
    EXPECT_NE(master_err().find("grace period over, ending 1 session still running"),
              std::string::npos)
        << master_err();
    EXPECT_TRUE(c->peer_closed(5000));
    EXPECT_FALSE(std::filesystem::exists(root_ + "/db_dqpserver.pid"));
}

TEST_F(MasterLifecycle, ASecondSigtermEndsTheGracePeriodAtOnce) {
    set_port_server_value("shutdown_grace", "3600");
    pid_t m = start_master();
    auto c = session("erin");
    ASSERT_NE(c, nullptr);
    kill(m, SIGTERM);
    ASSERT_TRUE(wait_err("waiting up to 3600 s")) << master_err();
    kill(m, SIGTERM);
    EXPECT_EQ(wait_exit(m, 20000), 0);
    masters_.back() = -1;
    EXPECT_TRUE(c->peer_closed(5000));
}
