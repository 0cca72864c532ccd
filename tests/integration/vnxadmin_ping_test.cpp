// vnxadmin ping against a real master, a closed port, a listener that never
// answers and one that answers nonsense.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <thread>

#include "master_harness.h"
#include "program_runner.h"

namespace vnxtest {
namespace {

// A loopback socket bound to a port of the kernel's choosing; listening
// when asked. The port stays taken until the socket closes.
int bound_socket(bool listening, int *port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        (listening && listen(fd, 8) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

class Ping : public Master {
  protected:
    ProgramResult ping(const std::vector<std::string> &args) {
        std::vector<std::string> all{"ping"};
        all.insert(all.end(), args.begin(), args.end());
        return run_program(VNX_VNXADMIN_PATH, all, root_, root_);
    }
};

TEST_F(Ping, RunningMasterAnswersOnTheConfiguredBasePort) {
    start_master();
    const ProgramResult r = ping({});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("the port server on 127.0.0.1:" + std::to_string(base_) + " answered in"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("(0 live sessions)"), std::string::npos) << r.out;
}

TEST_F(Ping, RunningMasterCountsALiveSession) {
    start_master();
    std::string err;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(c, nullptr) << err;
    dqp::Reply reply;
    ASSERT_EQ(c->request('A', 0, {"", "alice", "pw"}, &reply), 0) << c->error();
    ASSERT_TRUE(wait_sessions(1));
    const ProgramResult r = ping({"--host", "127.0.0.1", "--port", std::to_string(base_)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(1 live session)"), std::string::npos) << r.out;
}

TEST_F(Ping, ClosedPortFailsWithTheReason) {
    int port = 0;
    const int fd = bound_socket(false, &port);  // bound, not listening: refused
    ASSERT_GE(fd, 0);
    const ProgramResult r = ping({"--port=" + std::to_string(port)});
    close(fd);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("did not answer"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Connection refused"), std::string::npos) << r.err;
}

TEST_F(Ping, SilentListenerFailsAfterTheTimeout) {
    int port = 0;
    // The kernel completes the connection from the backlog; nobody reads.
    const int fd = bound_socket(true, &port);
    ASSERT_GE(fd, 0);
    const ProgramResult r = ping({"--port", std::to_string(port), "--timeout", "200"});
    close(fd);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no answer from the port server within 200 ms"), std::string::npos)
        << r.err;
}

TEST_F(Ping, MalformedAnswerFails) {
    int port = 0;
    const int fd = bound_socket(true, &port);
    ASSERT_GE(fd, 0);
    std::thread peer([fd] {
        const int c = accept(fd, nullptr, nullptr);
        if (c < 0) return;
        char buf[64];
        (void)!recv(c, buf, sizeof buf, 0);
        (void)!send(c, "-1", 2, MSG_NOSIGNAL);
        close(c);
    });
    const ProgramResult r = ping({"--port", std::to_string(port)});
    peer.join();
    close(fd);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("malformed answer to \"?Active\": \"-1\""), std::string::npos) << r.err;
}

TEST_F(Ping, UsageErrorsExitTwo) {
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--timeout", "0"},
             {"--timeout", "3600001"},
             {"--timeout", "1s"},
             {"--port", "0"},
             {"--port", "65536"},
             {"--port"},
             {"--host", ""},
             {"--verbose"},
             {"localhost"},
         }) {
        const ProgramResult r = ping(args);
        EXPECT_EQ(r.status, 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_NE(r.err.find("usage: vnxadmin ping"), std::string::npos) << r.err;
    }
}

TEST_F(Ping, NoConfiguredBasePortIsAUsageError) {
    ASSERT_EQ(store_->delete_value(vnx::kRootKey, "DB_DQPBASE"), 0);
    const ProgramResult r = ping({});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("no port to ping"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace vnxtest
