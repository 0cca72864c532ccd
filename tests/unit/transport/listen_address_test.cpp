// Where a gateway listens and how it records its client's address.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "support/config_store.h"
#include "tests/unit/support/temp_store.h"
#include "transport/handshake.h"
#include "transport/session_notice.h"
#include "transport/tcp.h"

using namespace vnx;

namespace {

// A loopback port nobody listens on right now.
int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

bool ipv6_loopback_available() {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// A connection from this process to address:port, from the IPv4 address
// `source` when one is given; -1 when refused.
int connect_to(const char *address, int port, const char *source = nullptr) {
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (strchr(address, ':') != nullptr) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, address, &a->sin6_addr);
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address, &a->sin_addr);
        len = sizeof *a;
    }
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (source != nullptr) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        inet_pton(AF_INET, source, &from.sin_addr);
        bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from);
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Runs the gateway's accept (tcp_accept) on a thread in a directory of its
// own, with VNX_LISTEN_ADDRESS as given (null: unset).
class GatewayAccept : public ::testing::Test {
  protected:
    void SetUp() override {
        old_cwd_ = std::filesystem::current_path();
        dir_ = "/tmp/vnx_listen_XXXXXX";
        ASSERT_NE(mkdtemp(dir_.data()), nullptr);
        std::filesystem::current_path(dir_);
        setenv("VNX_REGISTRY", "/nonexistent/registry.db", 1);
        reset_registry_cache_for_tests();
        port_ = free_port();
    }
    void TearDown() override {
        if (accepting_.joinable()) {
            int fd = -1;
            if (accepted_.load() == kRunning) {  // let the waiting accept return
                fd = connect_to("127.0.0.1", port_);
                if (fd < 0) fd = connect_to("::1", port_);
            }
            accepting_.join();
            if (fd >= 0) close(fd);
        }
        if (accepted_.load() >= 0) close(accepted_.load());
        unsetenv(kListenAddressEnv);
        std::filesystem::current_path(old_cwd_);
        std::filesystem::remove_all(dir_);
    }
    // Starts the accept and waits until the gateway listens; false when
    // tcp_accept returned first.
    bool start(const char *listen) {
        if (listen != nullptr)
            setenv(kListenAddressEnv, listen, 1);
        else
            unsetenv(kListenAddressEnv);
        accepting_ = std::thread([this] { accepted_ = tcp_accept("odb", port_); });
        std::string ready = handshake_file_name(port_);
        for (int i = 0; i < 5000; i++) {
            if (access(ready.c_str(), F_OK) == 0) return true;
            if (accepted_.load() != kRunning) {
                accepting_.join();
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    // Connects from `address` and waits for the accept; the client address
    // the gateway recorded.
    std::string accept_from(const char *address, const char *source = nullptr) {
        int fd = connect_to(address, port_, source);
        EXPECT_GE(fd, 0) << address;
        if (fd < 0) return "<refused>";
        accepting_.join();
        close(fd);
        EXPECT_GE(accepted_.load(), 0);
        return tcp_client_address();
    }

    static constexpr int kRunning = -2;
    std::filesystem::path old_cwd_;
    std::string dir_;
    int port_ = 0;
    std::atomic<int> accepted_{kRunning};
    std::thread accepting_;
};

}  // namespace

TEST_F(GatewayAccept, DefaultListensOnIPv4Only) {
    ASSERT_TRUE(start(nullptr));
    if (ipv6_loopback_available()) {
        EXPECT_EQ(connect_to("::1", port_), -1);
    }
    EXPECT_EQ(accept_from("127.0.0.1", "127.0.0.2"), "127.0.0.2");
}

TEST_F(GatewayAccept, OneIPv4AddressRefusesOthers) {
    ASSERT_TRUE(start("127.0.0.1"));
    EXPECT_EQ(connect_to("127.0.0.2", port_), -1);
    if (ipv6_loopback_available()) {
        EXPECT_EQ(connect_to("::1", port_), -1);
    }
    EXPECT_EQ(accept_from("127.0.0.1"), "127.0.0.1");
}

TEST_F(GatewayAccept, IPv6LoopbackRecordsAnIPv6Client) {
    if (!ipv6_loopback_available()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    ASSERT_TRUE(start("::1"));
    EXPECT_EQ(connect_to("127.0.0.1", port_), -1);
    EXPECT_EQ(accept_from("::1"), "::1");
}

TEST_F(GatewayAccept, DualStackRecordsIPv4ClientsPlain) {
    if (!ipv6_loopback_available()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    ASSERT_TRUE(start("::"));
    // An IPv4 client arrives as ::ffff:127.0.0.2 and is recorded as itself.
    EXPECT_EQ(accept_from("127.0.0.1", "127.0.0.2"), "127.0.0.2");
}

TEST_F(GatewayAccept, MalformedAddressIsRefusedWithItsName) {
    EXPECT_FALSE(start("127.1"));
    EXPECT_EQ(accepted_.load(), -1);
    EXPECT_NE(tcp_last_error().find("PortServer \"listen\""), std::string::npos)
        << tcp_last_error();
    EXPECT_NE(tcp_last_error().find("127.1"), std::string::npos) << tcp_last_error();
}

TEST(GatewayListenAddress, MasterAnnouncementBeforeTheStore) {
    TempStore store;
    auto s = store.open();
    ASSERT_NE(s, nullptr) << store.last_error;
    ASSERT_EQ(s->set_value(std::string(kRootKey) + "\\PortServer", "listen", "::1"), 0);
    unsetenv(kListenAddressEnv);
    ListenAddress where;
    std::string why;
    // Started by hand: the store's setting.
    ASSERT_EQ(gateway_listen_address(&where, &why), 0) << why;
    EXPECT_EQ(where.text, "::1");
    // Started by a master: the address it announced.
    setenv(kListenAddressEnv, "127.0.0.1", 1);
    ASSERT_EQ(gateway_listen_address(&where, &why), 0) << why;
    EXPECT_EQ(where.text, "127.0.0.1");
    unsetenv(kListenAddressEnv);
}

TEST(GatewayListenAddress, NoticesGoToASingleListenAddress) {
    setenv("VNX_REGISTRY", "/nonexistent/registry.db", 1);
    reset_registry_cache_for_tests();
    setenv(kListenAddressEnv, "::1", 1);
    EXPECT_EQ(notice_host(), "::1");
    // Listening everywhere, the master is reached by its host name.
    setenv(kListenAddressEnv, "::", 1);
    EXPECT_NE(notice_host(), "::");
    EXPECT_FALSE(notice_host().empty());
    unsetenv(kListenAddressEnv);
}
