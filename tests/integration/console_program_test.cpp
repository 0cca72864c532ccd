// db_dqpserver without --headless: it runs its console when a Qt platform can
// start, and headless (saying so) when none can; either way SIGTERM ends it.
#include <fcntl.h>

#include "client/dqp_client.h"
#include "master_harness.h"

using namespace vnxtest;

namespace {

class ConsoleProgram : public Master {
  protected:
    // Starts db_dqpserver with `args` and the environment without any
    // display, plus `extra` ("NAME=VALUE").
    pid_t spawn(const std::vector<std::string> &args, const std::vector<std::string> &extra) {
        std::vector<std::string> env;
        for (char **e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("WAYLAND_DISPLAY=", 0) == 0 ||
                entry.rfind("QT_QPA_PLATFORM=", 0) == 0) {
                continue;
            }
            env.push_back(entry);
        }
        env.insert(env.end(), extra.begin(), extra.end());
        std::vector<char *> envp, argv{const_cast<char *>("db_dqpserver")};
        for (std::string &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, err_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        pid_t pid = 0;
        EXPECT_EQ(posix_spawn(&pid, VNX_DB_DQPSERVER_PATH, &fa, nullptr, argv.data(), envp.data()),
                  0);
        posix_spawn_file_actions_destroy(&fa);
        masters_.push_back(pid);
        return pid;
    }
    std::string err_path() { return root_ + "/console.err"; }
};

}  // namespace

TEST_F(ConsoleProgram, WithoutDisplaySaysSoAndRunsHeadless) {
    const pid_t pid = spawn({}, {});
    ASSERT_TRUE(wait_active(10000));
    EXPECT_NE(read_file(err_path()).find("running headless"), std::string::npos)
        << read_file(err_path());
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_exit(pid, 10000), 0);
    masters_.clear();
}

TEST_F(ConsoleProgram, OffscreenConsoleServesAndEndsOnSigterm) {
#ifndef VNX_HAS_CONSOLE
    GTEST_SKIP() << "built without the console (VNX_CONSOLE=OFF)";
#endif
    const pid_t pid = spawn({"/MINIMIZED"}, {"QT_QPA_PLATFORM=offscreen"});
    ASSERT_TRUE(wait_active(15000)) << read_file(err_path());
    EXPECT_EQ(read_file(err_path()).find("running headless"), std::string::npos)
        << read_file(err_path());
    std::string err;
    int port = 0;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err, &port);
    ASSERT_NE(c, nullptr) << err;
    EXPECT_EQ(port, base_ + 1);
    dqp::Reply reply;
    ASSERT_EQ(c->request('A', 0, {"", "alice", "pw"}, &reply), 0) << c->error();
    ASSERT_TRUE(wait_sessions(1));
    // With a session live, the port-server thread ends its gateway and the
    // console quits without asking anything.
    kill(pid, SIGTERM);
    const int code = wait_exit(pid, 15000);
    EXPECT_EQ(code, 0) << read_file(err_path());
    if (code == -1) {  // hung: end it here, SIGTERM no longer reaches it
        kill(pid, SIGKILL);
        wait_exit(pid, 5000);
    }
    masters_.clear();
}

TEST_F(ConsoleProgram, ConsoleMasterWhoseBasePortIsTakenExitsWithTheReason) {
#ifndef VNX_HAS_CONSOLE
    GTEST_SKIP() << "built without the console (VNX_CONSOLE=OFF)";
#endif
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(base_));
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    const pid_t pid = spawn({}, {"QT_QPA_PLATFORM=offscreen"});
    const int code = wait_exit(pid, 15000);
    close(holder);
    EXPECT_EQ(code, 255) << read_file(err_path());
    if (code == -1) {
        kill(pid, SIGKILL);
        wait_exit(pid, 5000);
    }
    masters_.clear();
    EXPECT_NE(read_file(err_path()).find(std::to_string(base_)), std::string::npos)
        << read_file(err_path());
}
