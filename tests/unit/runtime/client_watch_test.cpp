// The client watch over a real loopback TCP connection: a client's urgent
// byte and its hang-up reach the cancel hook, the data stream is never
// touched, and requests left by a client that hung up are not handed out.
#include "runtime/client_watch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "client/dqp_client.h"
#include "protocol/packet.h"
#include "runtime/client_table.h"
#include "runtime/packet_exchange.h"

using namespace vnx;

namespace {

std::atomic<int> g_requests{0}, g_hang_ups{0};

void count_causes(CancelCause cause) {
    (cause == CancelCause::ClientRequest ? g_requests : g_hang_ups)++;
}

// Waits for `done` (the event a test expects), at most ten seconds.
bool eventually(const std::function<bool()> &done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class ClientWatchTest : public ::testing::Test {
  protected:
    // A connected loopback pair: server_ is watched, client_ plays the client.
    void SetUp() override {
        g_requests = g_hang_ups = 0;
        set_cancel_hook(count_causes);
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len), 0);
        client_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(connect(client_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        server_ = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        close(listener);
        ASSERT_GE(server_, 0);
    }
    void TearDown() override {
        stop_client_watch();
        set_cancel_hook(nullptr);
        if (client_ >= 0) close(client_);
        if (server_ >= 0) close(server_);
    }
    void send_text(const std::string &text, int flags = 0) {
        ASSERT_EQ(send(client_, text.data(), text.size(), flags),
                  static_cast<ssize_t>(text.size()));
    }
    // Reads the data stream of the watched end until EOF.
    std::string read_stream() {
        std::string got;
        char buf[256];
        ssize_t n;
        while ((n = recv(server_, buf, sizeof buf, 0)) > 0)
            got.append(buf, static_cast<size_t>(n));
        return got;
    }
    void hang_up() {
        close(client_);
        client_ = -1;
    }
    int client_ = -1, server_ = -1;
};

}  // namespace

// The data stream is left to the request loop: urgent data and the hang-up
// are seen, the bytes around them are not taken.
TEST_F(ClientWatchTest, UrgentByteReachesTheHookAndTheStreamSkipsIt) {
    ASSERT_EQ(start_client_watch(server_), 0);
    send_text("abc");
    send_text("!", MSG_OOB);
    send_text("def");
    ASSERT_TRUE(eventually([] { return g_requests == 1; }));
    hang_up();
    EXPECT_EQ(read_stream(), "abcdef");
    EXPECT_TRUE(eventually([] { return g_hang_ups > 0; }));
    EXPECT_EQ(g_requests, 1);
}

TEST_F(ClientWatchTest, HangUpIsRecordedAndRepeatedUntilTheWatchStops) {
    ASSERT_EQ(start_client_watch(server_), 0);
    EXPECT_FALSE(client_hung_up(server_));
    hang_up();
    // Repeated: a long call that began just after the first one is not missed.
    ASSERT_TRUE(eventually([] { return g_hang_ups >= 3; }));
    EXPECT_TRUE(client_hung_up(server_));
    EXPECT_FALSE(client_hung_up(server_ + 1));
    stop_client_watch();
    EXPECT_FALSE(client_hung_up(server_));
}

TEST_F(ClientWatchTest, RequestsOfAClientThatHungUpAreNotHandedOut) {
    int slot = attach_socket(server_, TRANSPORT_TCPIP);
    ASSERT_GE(slot, 0);
    auto conn = dqp::Connection::adopt(client_, 5000);
    client_ = -1;  // the Connection owns it
    ASSERT_EQ(start_client_watch(server_), 0);
    // A whole request, then the client leaves without waiting for its answer.
    ASSERT_EQ(conn->send('G', 7, {"INSERT INTO t VALUES (1)"}), 0);
    conn.reset();
    ASSERT_TRUE(eventually([&] { return client_hung_up(server_); }));
    char packet[dqp::PKT_BUFSIZE];
    int32_t info = 0;
    EXPECT_EQ(dqp_getpkt(slot, packet, &info), dqp::PKT_TYPE_ABORT);
    stop_client_watch();
    detach_from_client(slot);
    server_ = -1;  // closed by the detach
}
