// vnxadmin run as a real process against a store in a temporary directory:
// the fixture shared by the vnxadmin integration tests.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace vnxtest {

struct Result {
    int status = -1;  // exit status, -1 when the program did not exit normally
    std::string out, err;
};

inline std::string slurp(const std::string &path) {
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

    // Runs vnxadmin with `args`, its stdout and stderr sent to files and
    // `input` as its standard input (never the terminal: nothing prompts).
    Result run(const std::vector<std::string> &args, const std::string &input = "") {
        std::ofstream(dir_ + "/in") << input;
        std::vector<char *> argv{const_cast<char *>(VNX_VNXADMIN_PATH)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        const int flags = O_WRONLY | O_CREAT | O_TRUNC;
        posix_spawn_file_actions_addopen(&files, 0, (dir_ + "/in").c_str(), O_RDONLY, 0);
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
        const Result r = run({"init", "--db-root", dir_ + "/vnx/", "--base-port", "5000"});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    std::string dir_;
    std::string store_;
};

}  // namespace vnxtest
