// A gateway whose client leaves while the driver warm-up runs: the warm-up
// loads psqlODBC, which links libpq and OpenSSL, and sets OpenSSL up. The
// gateway must end as it always does, not crash in its exit handlers while
// the warm-up still works on OpenSSL. No PostgreSQL server is needed: the
// warm-up only loads the driver of the DSN that odbc.ini lists.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "odbc_harness.h"

using namespace vnxtest;

namespace {

class GatewayWarmUp : public OdbcGateway {
  protected:
    void SetUp() override {
        OdbcGateway::SetUp();
        if (read_file(root_ + "/odbcinst.ini").find("[PostgreSQL Unicode]") == std::string::npos)
            GTEST_SKIP() << "psqlODBC (odbc-postgresql) is not installed";
        add_dsn("pg", "Driver=PostgreSQL Unicode\nServername=127.0.0.1\nPort=1\nDatabase=x\n");
    }
    // A plain connection to port that sends nothing; -1 when none is made.
    static int connect_to(int port) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
        if (fd >= 0) close(fd);
        return -1;
    }
};

}  // namespace

// Each round starts a gateway, connects, and drops the connection 5 to 24 ms
// later: before, during and after the warm-up (which begins 20 ms after the
// gateway starts and takes a few milliseconds on a quiet machine). The gateway
// ends with its exit code for a client that left, 1, never by a signal.
TEST_F(GatewayWarmUp, ClientLeavingDuringTheWarmUpEndsTheGatewayCleanly) {
    constexpr int kRounds = 40;
    int clean = 0;
    int port = free_port();  // free again once each round's gateway has exited
    for (int round = 0; round < kRounds; round++) {
        pid_t pid = vnx::spawn_server(gateway_program() + " " + std::to_string(port), port);
        ASSERT_GT(pid, 0);
        own(pid);
        ASSERT_EQ(vnx::wait_for_child(port, pid), 0);
        int fd = connect_to(port);
        ASSERT_GE(fd, 0);
        usleep(static_cast<useconds_t>(5000 + (round % 20) * 1000));
        close(fd);
        int status = wait_exit(pid, 30000);
        EXPECT_EQ(status, 1) << "round " << round << " (-1000 - N: killed by signal N)";
        if (status == 1) clean++;
        if (status != -1) forget(pid);  // reaped; one still running is killed at the end
    }
    EXPECT_EQ(clean, kRounds);
}
