// Mapping the far end of an IPv6 or dual-stack connection to its process.
#include "master/peer_process.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support/unique_fd.h"

using namespace vnx;

namespace {

// A connection to a listener of the given family: the accepted end and the
// client end. With dual_stack the listener is "::" with IPV6_V6ONLY off and
// the client connects over IPv4 to 127.0.0.1.
struct Pair {
    UniqueFd accepted, client;
};

Pair connect_pair(bool ipv6, bool dual_stack) {
    Pair pair;
    UniqueFd listener(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.valid()) return pair;
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = dual_stack ? in6addr_any : in6addr_loopback;
    int v6only = dual_stack ? 0 : 1;
    setsockopt(listener.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    socklen_t len = sizeof a6;
    if (bind(listener.get(), reinterpret_cast<sockaddr *>(&a6), sizeof a6) != 0 ||
        listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr *>(&a6), &len) != 0)
        return pair;
    if (dual_stack) {
        sockaddr_in a4{};
        a4.sin_family = AF_INET;
        a4.sin_port = a6.sin6_port;
        a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        pair.client.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (connect(pair.client.get(), reinterpret_cast<sockaddr *>(&a4), sizeof a4) != 0)
            return pair;
    } else {
        pair.client.reset(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (connect(pair.client.get(), reinterpret_cast<sockaddr *>(&a6), sizeof a6) != 0)
            return pair;
    }
    pair.accepted.reset(accept(listener.get(), nullptr, nullptr));
    return pair;
}

bool have_ipv6_loopback() {
    UniqueFd s(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    return s.valid() && bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
}

TcpEnd end_of(const char *address, int port) {
    TcpEnd e;
    EXPECT_TRUE(parse_ip_address(address, &e.address)) << address;
    e.port = port;
    return e;
}

}  // namespace

TEST(PeerProcess, FindsTheFarEndOfAnIPv6Connection) {
    if (!have_ipv6_loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    Pair pair = connect_pair(true, false);
    ASSERT_TRUE(pair.accepted.valid());
    EXPECT_TRUE(peer_is_process(pair.accepted.get(), getpid()));
    EXPECT_FALSE(peer_is_process(pair.accepted.get(), getppid()));
}

TEST(PeerProcess, FindsAnIPv4ClientOfADualStackListener) {
    if (!have_ipv6_loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    Pair pair = connect_pair(true, true);
    ASSERT_TRUE(pair.accepted.valid());
    // Our end holds ::ffff:127.0.0.1; the client's socket is a plain IPv4 one.
    EXPECT_TRUE(peer_is_process(pair.accepted.get(), getpid()));
    EXPECT_FALSE(peer_is_process(pair.accepted.get(), getppid()));
}

TEST(PeerProcess, Tcp6TableLinesParsedStrictly) {
    std::string path = ::testing::TempDir() + "tcp6" + std::to_string(getpid());
    std::ofstream(path)
        << "  sl  local_address                         remote_address                        st "
           "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
           // Malformed: short address, then a non-hex digit.
           "   0: 0000000000000000000000000100000:1F90 00000000000000000000000001000000:1F41 01 "
           "00000000:00000000 00:00000000 00000000  1000        0 1111 1 0 20 4 30 10 -1\n"
           "   1: 0000000000000000000000000100000G:1F90 00000000000000000000000001000000:1F41 01 "
           "00000000:00000000 00:00000000 00000000  1000        0 2222 1 0 20 4 30 10 -1\n"
           // ::1 port 8080 to ::1 port 8001.
           "   2: 00000000000000000000000001000000:1F90 00000000000000000000000001000000:1F41 01 "
           "00000000:00000000 00:00000000 00000000  1000        0 4711 1 0 20 4 30 10 -1\n"
           // ::ffff:127.0.0.1 port 8080 to ::ffff:127.0.0.2 port 8002.
           "   3: 0000000000000000FFFF00000100007F:1F90 0000000000000000FFFF00000200007F:1F42 01 "
           "00000000:00000000 00:00000000 00000000  1000        0 4712 1 0 20 4 30 10 -1\n";
    EXPECT_EQ(tcp6_socket_inode(end_of("::1", 0x1F90), end_of("::1", 0x1F41), path), 4711u);
    EXPECT_EQ(tcp6_socket_inode(end_of("127.0.0.1", 0x1F90), end_of("127.0.0.2", 0x1F42), path),
              4712u);
    EXPECT_EQ(tcp6_socket_inode(end_of("::1", 0x1F90), end_of("::1", 0x1F42), path), 0u);
    EXPECT_EQ(tcp6_socket_inode(end_of("::2", 0x1F90), end_of("::1", 0x1F41), path), 0u);
    unlink(path.c_str());
    EXPECT_EQ(tcp6_socket_inode(end_of("::1", 0x1F90), end_of("::1", 0x1F41), path), 0u);
}
