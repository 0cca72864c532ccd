// A running master and the settings table: a value outside its type in the
// store stops a start and refuses a reload, a refused reload leaves new
// gateways the settings in use, and a gateway that cannot start is counted.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "client/dqp_client.h"
#include "master_harness.h"
#include "program_runner.h"
#include "protocol/packet.h"
#include "support/settings_snapshot.h"

namespace vnxtest {
namespace {

class MasterSettings : public Master {
  protected:
    std::string master_err(size_t n = 0) {
        return read_file(root_ + "/master" + std::to_string(n) + ".err");
    }
    bool wait_err(const std::string &text) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            if (master_err().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    void set(const std::string &key, const std::string &name, const std::string &data) {
        EXPECT_EQ(store_->set_value(std::string(vnx::kRootKey) + "\\" + key, name, data), 0);
    }
    // A started session on a gateway of its own; true when START was answered.
    bool session_starts(const std::string &user) {
        std::string err;
        auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
        if (c == nullptr) return false;
        dqp::Reply r;
        return c->request(dqp::PKT_TYPE_START, 0, {"", user, "pw"}, &r) == 0 && r.type == 'Y';
    }
    // One counter of "vnxadmin stats"; -1 when it cannot be had.
    long stat(const std::string &name) {
        const ProgramResult r = run_program(
            VNX_VNXADMIN_PATH, {"stats", "--port", std::to_string(base_)}, root_, root_);
        std::istringstream in(r.out);
        for (std::string key, value; in >> key >> value;)
            if (key == name) return std::stol(value);
        return -1;
    }
};

TEST_F(MasterSettings, AValueOutsideItsTypeStopsTheStartNamingIt) {
    const struct {
        const char *key, *name, *data;
    } bad[] = {
        {"ODBServer", "require_login", "TRUE "},
        {"NetServer", "tls", "bogus"},
        {"PortServer", "max_pending_per_host", "-3"},
    };
    for (size_t i = 0; i < std::size(bad); ++i) {
        set(bad[i].key, bad[i].name, bad[i].data);
        const pid_t m = start_master(false);
        EXPECT_EQ(wait_exit(m, 10000), 255);
        masters_.back() = -1;
        const std::string want = std::string(bad[i].key) + " \"" + bad[i].name + "\" is \"" +
                                 bad[i].data + "\"; accepted: ";
        EXPECT_NE(master_err(i).find(want), std::string::npos) << master_err(i);
        EXPECT_EQ(store_->delete_value(std::string(vnx::kRootKey) + "\\" + bad[i].key, bad[i].name),
                  0);
    }
}

TEST_F(MasterSettings, ARefusedReloadKeepsTheSettingsInUseForNewGateways) {
    set_spares(1);
    const pid_t m = start_master();
    const std::string snapshot = root_ + "/" + vnx::kSettingsSnapshotName;
    struct stat st {};
    ASSERT_EQ(::stat(snapshot.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Values a new gateway would refuse to start on, or would read otherwise.
    set("NetServer", "tls", "bogus");
    set("ODBServer", "lock_timeout", "soon");
    set_port_server_value("spares", "3");
    kill(m, SIGHUP);
    ASSERT_TRUE(
        wait_err("reload refused, the settings in use are kept: ODBServer "
                 "\"lock_timeout\" is \"soon\"; accepted: a whole number"))
        << master_err();
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(session_starts("user" + std::to_string(i))) << "session " << i;
    EXPECT_EQ(stat("spawn_failures"), 0);
    EXPECT_EQ(stat("spares_wanted"), 1) << "the refused spares value is not in use";
}

TEST_F(MasterSettings, AGatewayThatExitsBeforeListeningCountsAsASpawnFailure) {
    start_master();
    std::ofstream(root_ + "/odbserver", std::ios::trunc) << "#!/bin/sh\nexit 3\n";
    EXPECT_EQ(request(), -1);
    EXPECT_GE(stat("spawn_failures"), 1);
}

}  // namespace
}  // namespace vnxtest
