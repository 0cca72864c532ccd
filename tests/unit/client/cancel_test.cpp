// Connection::cancel over a real loopback TCP connection: one urgent byte
// per request, taken beside the data stream, which stays exactly the frames
// that were sent.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "client/dqp_client.h"

namespace {

class ConnectionCancel : public ::testing::Test {
  protected:
    void SetUp() override {
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len), 0);
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        gateway_ = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        close(listener);
        ASSERT_GE(gateway_, 0);
        conn_ = dqp::Connection::adopt(fd, 5000);
    }
    void TearDown() override { close(gateway_); }

    // The urgent byte as the gateway takes it; 0 when none arrives.
    char urgent_byte() {
        pollfd p{gateway_, POLLPRI, 0};
        if (poll(&p, 1, 5000) != 1) return 0;
        char c = 0;
        return recv(gateway_, &c, 1, MSG_OOB) == 1 ? c : 0;
    }
    // The data stream's bytes that have arrived (none: empty).
    std::string stream_bytes() {
        std::string got;
        char buf[512];
        ssize_t n;
        while ((n = recv(gateway_, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            got.append(buf, static_cast<size_t>(n));
        return got;
    }
    int gateway_ = -1;
    std::unique_ptr<dqp::Connection> conn_;
};

}  // namespace

TEST_F(ConnectionCancel, OneUrgentByteARequestAndTheStreamKeepsOnlyFrames) {
    errno = EDOM;
    EXPECT_EQ(conn_->cancel(), 0);
    EXPECT_EQ(errno, EDOM);  // a signal handler's caller keeps its errno
    // A second cancel for the same request sends nothing: had it sent a
    // byte, TCP would have put the first one into the data stream.
    EXPECT_EQ(conn_->cancel(), 0);
    EXPECT_EQ(urgent_byte(), '!');
    EXPECT_EQ(stream_bytes(), "");

    ASSERT_EQ(conn_->send('G', 1, {"SELECT 1"}), 0);
    std::string frame;
    while (frame.size() < 8 || frame.size() < std::stoul(frame.substr(0, 8), nullptr, 16)) {
        pollfd p{gateway_, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        frame += stream_bytes();
    }
    EXPECT_NE(frame.find("SELECT 1"), std::string::npos);
    // The next request may be cancelled again.
    EXPECT_EQ(conn_->cancel(), 0);
    EXPECT_EQ(urgent_byte(), '!');
    EXPECT_EQ(stream_bytes(), "");
}
