// The master refuses to start when a user other than root or its own could
// change its configuration store, DB_ROOT or the gateway program, and starts
// as before otherwise. The cases with another user's files chown to a uid
// with no user database entry, which needs root; elsewhere they are skipped.
#include <gtest/gtest.h>

#include <filesystem>

#include "client/dqp_client.h"
#include "master_harness.h"
#include "support/file_trust.h"

using namespace vnxtest;

namespace {

constexpr uid_t kStranger = 54321;

class MasterFiles : public Master {
  protected:
    // Starts a master that must refuse; its standard error.
    std::string refused_start() {
        pid_t m = start_master(false);
        EXPECT_EQ(wait_exit(m, 10000), 255);
        masters_.back() = -1;
        // Refused before it touched anything in DB_ROOT.
        EXPECT_FALSE(std::filesystem::exists(users_db()));
        return read_file(root_ + "/master0.err");
    }
    std::string me() { return vnx::user_name(geteuid()); }
};

#define REQUIRE_ROOT() \
    if (geteuid() != 0) GTEST_SKIP() << "changing a file's owner to another user needs root"

TEST_F(MasterFiles, RefusesAGroupWritableStore) {
    std::string store = root_ + "/registry.db";
    ASSERT_EQ(chmod(store.c_str(), 0660), 0);
    std::string err = refused_start();
    EXPECT_NE(err.find("db_dqpserver: the configuration store " + store +
                       " is writable by group or others (mode 0660, owner " + me() + ")\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("\nhint: chmod go-w " + store + "\n"), std::string::npos) << err;
}

TEST_F(MasterFiles, RefusesAnOtherWritableDbRootWithTheStoreElsewhere) {
    char tmpl[] = "/tmp/vnx_store_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string store = std::string(tmpl) + "/registry.db";
    {
        std::string why;
        auto other = vnx::ConfigStore::open(store, true, &why);
        ASSERT_NE(other, nullptr) << why;
        other->set_value(vnx::kRootKey, "DB_ROOT", root_);
        other->set_value(vnx::kRootKey, "DB_DQPBASE", std::to_string(base_));
    }
    setenv("VNX_REGISTRY", store.c_str(), 1);
    ASSERT_EQ(chmod(root_.c_str(), 0707), 0);
    std::string err = refused_start();
    std::filesystem::remove_all(tmpl);
    EXPECT_NE(err.find("db_dqpserver: DB_ROOT " + root_ +
                       " is writable by group or others (mode 0707, owner " + me() + ")\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("hint: chmod go-w " + root_ + "\n"), std::string::npos) << err;
}

TEST_F(MasterFiles, RefusesAGatewayLinkedToAProgramOthersCanWrite) {
    std::string bin = root_ + "/bin";
    ASSERT_TRUE(std::filesystem::create_directory(bin));
    std::filesystem::rename(root_ + "/odbserver", bin + "/odbserver");
    ASSERT_EQ(chmod((bin + "/odbserver").c_str(), 0777), 0);
    std::filesystem::create_symlink("bin/odbserver", root_ + "/odbserver");
    std::string err = refused_start();
    EXPECT_NE(err.find("the file " + bin + "/odbserver, on the path of the gateway program " +
                       root_ + "/odbserver, is writable by group or others (mode 0777"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("hint: chmod go-w " + bin + "/odbserver\n"), std::string::npos) << err;
}

TEST_F(MasterFiles, RefusesAGatewayReplacedByAnotherUser) {
    REQUIRE_ROOT();
    std::string gateway = root_ + "/odbserver";
    ASSERT_EQ(chown(gateway.c_str(), kStranger, static_cast<gid_t>(-1)), 0);
    std::string err = refused_start();
    EXPECT_NE(err.find("the gateway program " + gateway +
                       " is owned by uid 54321, not by root (mode 0700)"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("hint: chown root " + gateway + "\n"), std::string::npos) << err;
}

TEST_F(MasterFiles, RefusesAStoreWalFileOfAnotherUser) {
    REQUIRE_ROOT();
    // The fixture's store connection is open, so its write-ahead log exists.
    std::string wal = root_ + "/registry.db-wal";
    ASSERT_TRUE(std::filesystem::exists(wal));
    ASSERT_EQ(chown(wal.c_str(), kStranger, static_cast<gid_t>(-1)), 0);
    std::string err = refused_start();
    EXPECT_NE(err.find("the configuration store " + wal + " is owned by uid 54321"),
              std::string::npos)
        << err;
}

TEST_F(MasterFiles, StartsAsBeforeWithAReadableStoreAndLinkedGateway) {
    // Today's installation: store and DB_ROOT readable by all, the gateway
    // program a link to the build's odbserver.
    ASSERT_EQ(chmod((root_ + "/registry.db").c_str(), 0644), 0);
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    std::filesystem::remove(root_ + "/odbserver");
    std::filesystem::create_symlink(VNX_ODBSERVER_PATH, root_ + "/odbserver");
    pid_t m = start_master();
    ASSERT_GT(m, 0);
    std::string err;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(c, nullptr) << err;
    dqp::Reply r;
    EXPECT_EQ(c->request('A', 0, {"", "alice", "pw"}, &r), 0) << c->error();
    EXPECT_EQ(r.type, 'Y');
    // With ODBServer "logging" off, a DB_ROOT others may read is only warned of.
    EXPECT_NE(read_file(root_ + "/master0.err")
                  .find("db_dqpserver: warning: DB_ROOT " + root_ + " is readable by others"),
              std::string::npos);
}

}  // namespace
