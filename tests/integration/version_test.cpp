// --version and --help of the four programs: what they print, that they exit
// 0, and that answering them touches neither the store nor the network.
#include <filesystem>
#include <sstream>

#include "program_runner.h"

namespace vnxtest {
namespace {

struct Program {
    const char *name;
    const char *path;
};

const Program kPrograms[] = {
    {"db_dqpserver", VNX_DB_DQPSERVER_PATH},
    {"odbserver", VNX_ODBSERVER_PATH},
    {"dqpsh", VNX_DQPSH_PATH},
    {"vnxadmin", VNX_VNXADMIN_PATH},
};

// A working directory that holds nothing, and a store path in it that does
// not exist: whatever a program creates shows up there.
class ProgramInfo : public ::testing::TestWithParam<Program> {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vnx_version_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        work_ = dir_ + "/work";
        std::filesystem::create_directory(work_);
        setenv("VNX_REGISTRY", (work_ + "/registry.db").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VNX_REGISTRY");
        std::filesystem::remove_all(dir_);
    }
    ProgramResult run(const std::vector<std::string> &args, bool no_sockets = false) {
        return run_program(GetParam().path, args, work_, dir_, no_sockets);
    }
    bool work_dir_empty() { return std::filesystem::is_empty(work_); }

    std::string dir_, work_;
};

TEST_P(ProgramInfo, VersionPrintsOneLineWithTheProjectVersion) {
    const ProgramResult r = run({"--version"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string expected = std::string(GetParam().name) + " (Varnex) " VNX_PROJECT_VERSION;
    EXPECT_EQ(r.out.rfind(expected, 0), 0u) << r.out;
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
    // What follows the version is nothing, or the commit it was built from.
    const std::string rest = r.out.substr(expected.size(), r.out.size() - 1 - expected.size());
    if (!rest.empty()) {
        EXPECT_EQ(rest.rfind(" (commit ", 0), 0u) << rest;
    }
}

TEST_P(ProgramInfo, VersionCreatesNoStoreOrFile) {
    ASSERT_EQ(run({"--version"}).status, 0);
    EXPECT_TRUE(work_dir_empty());
    EXPECT_FALSE(std::filesystem::exists(work_ + "/registry.db"));
}

TEST_P(ProgramInfo, VersionOpensNoSocket) {
    if (!can_forbid_sockets()) GTEST_SKIP() << "no system call filter for this machine";
    const ProgramResult r = run({"--version"}, true);
    EXPECT_EQ(r.status, 0) << "killed at a socket() call when -1031: " << r.status;
    EXPECT_NE(r.out.find(" (Varnex) "), std::string::npos);
}

TEST_P(ProgramInfo, HelpListsVersionAndExitStatus) {
    const ProgramResult r = run({"--help"}, can_forbid_sockets());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("--version"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Exit status:"), std::string::npos) << r.out;
    EXPECT_TRUE(work_dir_empty());
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramInfo, ::testing::ValuesIn(kPrograms),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vnxtest
