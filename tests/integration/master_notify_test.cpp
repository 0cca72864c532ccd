// The master's notices to a service manager (NOTIFY_SOCKET): READY=1 once
// the base port answers and the warm spares listen, RELOADING=1 and READY=1
// around a reload (also a refused one), STOPPING=1 at SIGTERM, and nothing
// from a master that could not start. The test owns the notify socket, as
// systemd would.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "master_harness.h"

using namespace vnxtest;

namespace {

class MasterNotify : public Master {
  protected:
    void SetUp() override {
        Master::SetUp();
        const std::string path = root_ + "/notify.sock";
        sock_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(sock_, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        ASSERT_LT(path.size(), sizeof addr.sun_path);
        memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        ASSERT_EQ(bind(sock_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("NOTIFY_SOCKET");
        Master::TearDown();
        if (sock_ >= 0) close(sock_);
    }
    // The next notice, or "" when none arrives within timeout_ms.
    std::string next_notice(int timeout_ms = 20000) {
        pollfd p{sock_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return "";
        char buf[4096];
        const ssize_t n = recv(sock_, buf, sizeof buf, 0);
        if (n <= 0) return "";
        std::string notice(buf, static_cast<size_t>(n));
        while (!notice.empty() && notice.back() == '\n')
            notice.pop_back();
        return notice;
    }
    // True when a TCP connection to 127.0.0.1:port is accepted at once.
    static bool accepts(int port) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(fd);
        return ok;
    }
    int sock_ = -1;
};

}  // namespace

TEST_F(MasterNotify, ReadyOnlyOnceBasePortAnswersAndSparesListen) {
    set_spares(2);
    start_master(false);
    ASSERT_EQ(next_notice(), "READY=1") << read_file(root_ + "/master0.err");
    // No retry: at READY=1 the port server answers and both spares listen.
    std::string answer, err;
    ASSERT_EQ(dqp::text_query("127.0.0.1", base_, "Active", &answer, &err), 0) << err;
    EXPECT_EQ(answer, "0");
    // The spares took the first two gateway ports; each accepts a connection
    // already, without the port server in between.
    EXPECT_TRUE(accepts(base_ + 1));
    EXPECT_TRUE(accepts(base_ + 2));
}

TEST_F(MasterNotify, ReloadIsBracketedByReloadingAndReady) {
    const pid_t pid = start_master(false);
    ASSERT_EQ(next_notice(), "READY=1");
    set_spares(1);
    kill(pid, SIGHUP);
    EXPECT_EQ(next_notice(), "RELOADING=1");
    EXPECT_EQ(next_notice(), "READY=1");
}

TEST_F(MasterNotify, RefusedReloadStillEndsWithReady) {
    const pid_t pid = start_master(false);
    ASSERT_EQ(next_notice(), "READY=1");
    set_port_server_value("allow", "not-an-address");
    kill(pid, SIGHUP);
    EXPECT_EQ(next_notice(), "RELOADING=1");
    EXPECT_EQ(next_notice(), "READY=1");
    EXPECT_TRUE(wait_active(5000));  // still serving with the settings it had
}

TEST_F(MasterNotify, SigtermSendsStoppingAndExitsZero) {
    const pid_t pid = start_master(false);
    ASSERT_EQ(next_notice(), "READY=1");
    kill(pid, SIGTERM);
    EXPECT_EQ(next_notice(), "STOPPING=1");
    EXPECT_EQ(wait_exit(pid, 10000), 0);
    masters_.back() = -1;
}

TEST_F(MasterNotify, MasterThatCannotStartSendsNoReady) {
    // Another program holds the base port.
    int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(base_));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(holder, 4), 0);
    const pid_t pid = start_master(false);
    EXPECT_EQ(wait_exit(pid, 10000), 255);
    masters_.back() = -1;
    EXPECT_EQ(next_notice(0), "");
    close(holder);
}
