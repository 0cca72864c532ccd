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

extern char **environ;

namespace {

struct Result {
    int status = -1;  // exit status, -1 when the program did not exit normally
    std::string out, err;
};

std::string slurp(const std::string &path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

class VnxadminTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = "/tmp/vnx_admin_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        store_ = dir_ + "/registry.db";
        setenv("VNX_REGISTRY", store_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VNX_REGISTRY");
        std::filesystem::remove_all(dir_);
    }

    // Runs vnxadmin with `args`, its stdout and stderr sent to files.
    Result run(const std::vector<std::string> &args) {
        std::vector<char *> argv{const_cast<char *>(VNX_VNXADMIN_PATH)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        const int flags = O_WRONLY | O_CREAT | O_TRUNC;
        posix_spawn_file_actions_addopen(&files, 1, (dir_ + "/out").c_str(), flags, 0644);
        posix_spawn_file_actions_addopen(&files, 2, (dir_ + "/err").c_str(), flags, 0644);
        Result r;
        pid_t pid;
        int status = 0;
        if (posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ) == 0 &&
            waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
            r.status = WEXITSTATUS(status);
        }
        posix_spawn_file_actions_destroy(&files);
        r.out = slurp(dir_ + "/out");
        r.err = slurp(dir_ + "/err");
        return r;
    }

    void init() {
        const Result r = run({"init", "--db-root", "/opt/vnx/", "--base-port", "5000"});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    std::string dir_;
    std::string store_;
};

TEST_F(VnxadminTest, InitWritesInstallationLayout) {
    const Result r = run({"init", "--db-root", "/opt/vnx/", "--base-port", "5000"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "configuration store " + store_ +
                         ":\n  DB_ROOT=/opt/vnx\n  DB_DQPBASE=5000\n  DB_DQPMAX=5101\n"
                         "  keys PortServer, ODBServer, NetServer\n");
    EXPECT_EQ(run({"reg", "list", ""}).out, "DB_ROOT=/opt/vnx\nDB_DQPBASE=5000\nDB_DQPMAX=5101\n");
    EXPECT_EQ(run({"reg", "keys", "SOFTWARE\\Tavorin\\VNX"}).out,
              "PortServer\nODBServer\nNetServer\n");
}

TEST_F(VnxadminTest, InitRefusesToOverwriteAStoreWithoutForce) {
    init();
    const Result again = run({"init", "--db-root", "/elsewhere", "--base-port", "6000"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
    EXPECT_EQ(run({"reg", "get", "", "DB_ROOT"}).out, "/opt/vnx\n");
    EXPECT_EQ(run({"init", "--db-root", "/elsewhere", "--base-port", "6000", "--force"}).status, 0);
    EXPECT_EQ(run({"reg", "get", "", "DB_ROOT"}).out, "/elsewhere\n");
}

TEST_F(VnxadminTest, InitCreatesDirectoriesAndTakesMaxPort) {
    setenv("VNX_REGISTRY", (dir_ + "/etc/vnx/registry.db").c_str(), 1);
    const Result r = run({"init", "--db-root=/v", "--base-port=65534", "--max-port=65535"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(run({"reg", "get", "", "DB_DQPMAX"}).out, "65535\n");
}

TEST_F(VnxadminTest, InitRefusesBadArgumentsWithoutCreatingStore) {
    for (const char *port : {"0", "65536", "50x0", "-5", "65435" /* default max 65536 */}) {
        EXPECT_EQ(run({"init", "--db-root", "/v", "--base-port", port}).status, 2) << port;
    }
    EXPECT_EQ(run({"init", "--db-root", "/v", "--base-port", "5000", "--max-port", "5000"}).status,
              2);
    EXPECT_EQ(run({"init", "--db-root", "opt/vnx", "--base-port", "5000"}).status, 2);
    EXPECT_EQ(run({"init", "--db-root", "/v"}).status, 2);
    struct stat st;
    EXPECT_NE(stat(store_.c_str(), &st), 0);
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

}  // namespace
