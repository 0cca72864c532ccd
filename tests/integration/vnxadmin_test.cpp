// vnxadmin run as a real process against a store in a temporary directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/file_trust.h"
#include "vnxadmin_harness.h"

using vnxtest::Result;
using vnxtest::VnxadminTest;

TEST_F(VnxadminTest, InitWritesInstallationLayout) {
    const std::string root = dir_ + "/vnx";
    const Result r = run({"init", "--db-root", root + "/", "--base-port", "5000"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "configuration store " + store_ + ":\n  DB_ROOT=" + root +
                         "\n  DB_DQPBASE=5000\n  DB_DQPMAX=5101\n"
                         "  PortServer\\claim_timeout=60\n  PortServer\\spares=1\n"
                         "  ODBServer\\log_max=100\n"
                         "created DB_ROOT directory " +
                         root + " (mode 0750)\n");
    EXPECT_EQ(run({"reg", "list", ""}).out,
              "DB_ROOT=" + root + "\nDB_DQPBASE=5000\nDB_DQPMAX=5101\n");
    EXPECT_EQ(run({"reg", "keys", "SOFTWARE\\Tavorin\\VNX"}).out,
              "PortServer\nODBServer\nNetServer\n");
    EXPECT_EQ(run({"reg", "list", "PortServer"}).out, "claim_timeout=60\nspares=1\n");
    EXPECT_EQ(run({"reg", "list", "ODBServer"}).out, "log_max=100\n");
}

TEST_F(VnxadminTest, InitRefusesToOverwriteAStoreWithoutForce) {
    init();
    const std::string elsewhere = dir_ + "/elsewhere";
    const Result again = run({"init", "--db-root", elsewhere, "--base-port", "6000"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
    EXPECT_EQ(run({"reg", "get", "", "DB_ROOT"}).out, dir_ + "/vnx\n");
    EXPECT_FALSE(std::filesystem::exists(elsewhere));
    EXPECT_EQ(run({"init", "--db-root", elsewhere, "--base-port", "6000", "--force"}).status, 0);
    EXPECT_EQ(run({"reg", "get", "", "DB_ROOT"}).out, elsewhere + "\n");
}

TEST_F(VnxadminTest, InitCreatesDirectoriesAndTakesMaxPort) {
    setenv("VNX_REGISTRY", (dir_ + "/etc/vnx/registry.db").c_str(), 1);
    const Result r =
        run({"init", "--db-root=" + dir_ + "/v", "--base-port=65534", "--max-port=65535"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(run({"reg", "get", "", "DB_DQPMAX"}).out, "65535\n");
}

TEST_F(VnxadminTest, InitRefusesBadArgumentsWithoutCreatingStore) {
    const std::string root = dir_ + "/v";
    for (const char *port : {"0", "65536", "50x0", "-5", "65435" /* default max 65536 */}) {
        EXPECT_EQ(run({"init", "--db-root", root, "--base-port", port}).status, 2) << port;
    }
    EXPECT_EQ(run({"init", "--db-root", root, "--base-port", "5000", "--max-port", "5000"}).status,
              2);
    EXPECT_EQ(run({"init", "--db-root", "opt/vnx", "--base-port", "5000"}).status, 2);
    EXPECT_EQ(run({"init", "--db-root", root}).status, 2);
    struct stat st;
    EXPECT_NE(stat(store_.c_str(), &st), 0);
    EXPECT_NE(stat(root.c_str(), &st), 0);
}

namespace {

// The permission bits of `path` (07777), or -1 when it cannot be examined.
int mode_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

}  // namespace

TEST_F(VnxadminTest, InitMakesStore0600AndDbRoot0750WhateverTheUmask) {
    for (mode_t mask : {0000, 0022, 0077}) {
        const std::string sub = dir_ + "/u" + std::to_string(mask);
        const std::string store = sub + "/etc/registry.db";
        setenv("VNX_REGISTRY", store.c_str(), 1);
        const mode_t old = umask(mask);  // vnxadmin inherits it
        const Result r = run({"init", "--db-root", sub + "/root", "--base-port", "5000"});
        umask(old);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "") << mask;
        EXPECT_EQ(mode_of(store), 0600) << mask;
        EXPECT_EQ(mode_of(sub + "/root"), 0750) << mask;
    }
}

TEST_F(VnxadminTest, InitKeepsAnExistingStoreAndDbRootAndWarnsWhatTheMasterWouldRefuse) {
    const std::string root = dir_ + "/open";
    ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    ASSERT_EQ(chmod(root.c_str(), 0777), 0);
    init();
    ASSERT_EQ(chmod(store_.c_str(), 0666), 0);
    const Result r = run({"init", "--db-root", root, "--base-port", "6000", "--force"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("created DB_ROOT"), std::string::npos) << r.out;
    EXPECT_EQ(mode_of(root), 0777);
    EXPECT_EQ(mode_of(store_), 0666);
    EXPECT_EQ(r.err,
              "vnxadmin: warning: the master will refuse to start: the configuration store " +
                  store_ + " is writable by group or others (mode 0666, owner " +
                  vnx::user_name(geteuid()) + ")\nhint: chmod go-w " + store_ +
                  "\nvnxadmin: warning: the master will refuse to start: DB_ROOT " + root +
                  " is writable by group or others (mode 0777, owner " + vnx::user_name(geteuid()) +
                  ")\nhint: chmod go-w " + root + "\n");
}

TEST_F(VnxadminTest, InitRefusesADbRootThatIsAFileAndWritesNothing) {
    const std::string file = dir_ + "/file";
    std::ofstream(file) << "x";
    const Result r = run({"init", "--db-root", file, "--base-port", "5000"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vnxadmin: DB_ROOT \"" + file +
                         "\" is not a directory\nhint: nothing was written to the configuration "
                         "store\n");
    EXPECT_EQ(mode_of(store_), -1);
}

TEST_F(VnxadminTest, RelativeFullAndSlashKeyFormsNameSameKey) {
    init();
    ASSERT_EQ(run({"reg", "set", "NetServer", "DQP_TCPBUF", "16"}).status, 0);
    for (const char *key : {"NetServer", "SOFTWARE\\Tavorin\\VNX\\NetServer",
                            "software/tavorin/vnx/netserver", "/NetServer/"}) {
        EXPECT_EQ(run({"reg", "get", key, "dqp_tcpbuf"}).out, "16\n") << key;
    }
}

TEST_F(VnxadminTest, RegGetAbsentExitsOne) {
    init();
    Result r = run({"reg", "get", "", "DB_NOPE"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "vnxadmin: no value \"DB_NOPE\" in key \"SOFTWARE\\Tavorin\\VNX\"\n");
    r = run({"reg", "get", "Nodes", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vnxadmin: no such key \"SOFTWARE\\Tavorin\\VNX\\Nodes\"\n");
}

TEST_F(VnxadminTest, MissingStoreExitsOneWithHint) {
    const Result r = run({"reg", "list", ""});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vnxadmin: cannot open configuration store \"" + store_ +
                         "\": No such file or directory\n"
                         "hint: run \"vnxadmin init\" to create the store, or point VNX_REGISTRY "
                         "at an existing one\n");
}

TEST_F(VnxadminTest, UsageErrorsExitTwo) {
    for (const auto &args : std::vector<std::vector<std::string>>{{}, {"frob"}, {"reg", "x"}}) {
        EXPECT_EQ(run(args).status, 2);
    }
    const Result r = run({"reg", "get", "NetServer"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "vnxadmin: wrong number of arguments for reg get\n"
              "usage: vnxadmin reg get KEY NAME\n"
              "Try \"vnxadmin --help\" for more information.\n");
}
