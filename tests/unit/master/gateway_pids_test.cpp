// The record of started gateways and the mapping of a loopback peer to its
// process.
#include "master/gateway_pids.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "master/peer_process.h"
#include "support/unique_fd.h"

using namespace vnx;

namespace {

std::string temp_path(const char *stem) {
    return ::testing::TempDir() + stem + std::to_string(getpid());
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A connected loopback pair: the listener's accepted end and the client end.
struct LoopbackPair {
    UniqueFd accepted, client;
};

LoopbackPair connect_loopback() {
    LoopbackPair pair;
    UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return pair;
    pair.client.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(pair.client.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return pair;
    pair.accepted.reset(accept(listener.get(), nullptr, nullptr));
    return pair;
}

}  // namespace

TEST(GatewayPids, WrittenListReadsBack) {
    std::string path = temp_path("pids");
    ASSERT_EQ(write_gateway_pids(path, {1234, 0, 99999, -5, 42}), 0);
    EXPECT_EQ(read_gateway_pids(path), (std::vector<pid_t>{1234, 99999, 42}));
    ASSERT_EQ(write_gateway_pids(path, {}), 0);
    EXPECT_TRUE(read_gateway_pids(path).empty());
    unlink(path.c_str());
    EXPECT_TRUE(read_gateway_pids(path).empty());  // no file
}

TEST(GatewayPids, HostileOrTruncatedFilesYieldOnlyPlainPids) {
    std::string path = temp_path("hostile");
    // Signs, blanks, init, overlong numbers, binary, and a last line cut short.
    write_text(path, "-1\n 77\n1\n0\n1234567890\n12a\n\x01\xff\n\n555\n66");
    EXPECT_EQ(read_gateway_pids(path), (std::vector<pid_t>{555}));
    // A huge file is read only up to its cap, and at most so many pids.
    std::string many;
    for (int i = 0; i < 5000; i++)
        many += "4242\n";
    write_text(path, many);
    std::vector<pid_t> pids = read_gateway_pids(path);
    EXPECT_LE(pids.size(), GATEWAY_PID_MAX_ENTRIES);
    EXPECT_LE(pids.size() * 5, GATEWAY_PID_FILE_MAX);
    EXPECT_FALSE(pids.empty());
    unlink(path.c_str());
}

TEST(GatewayPids, NeverWritesThroughALeftoverLink) {
    std::string path = temp_path("linked");
    std::string target = temp_path("target");
    write_text(target, "keep");
    unlink((path + ".new").c_str());
    ASSERT_EQ(symlink(target.c_str(), (path + ".new").c_str()), 0);
    EXPECT_EQ(write_gateway_pids(path, {321}), -1);
    std::ifstream in(target);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "keep");
    unlink((path + ".new").c_str());
    unlink(target.c_str());
}

TEST(PeerProcess, FindsTheProcessHoldingTheFarEnd) {
    LoopbackPair pair = connect_loopback();
    ASSERT_TRUE(pair.accepted.valid());
    EXPECT_TRUE(peer_is_process(pair.accepted.get(), getpid()));
    EXPECT_FALSE(peer_is_process(pair.accepted.get(), getppid()));
    EXPECT_FALSE(peer_is_process(pair.accepted.get(), 0));
    EXPECT_FALSE(peer_is_process(-1, getpid()));
    // The far end gone: nobody holds it any more.
    int fd = pair.accepted.get();
    pair.client.reset();
    EXPECT_FALSE(peer_is_process(fd, getpid()));
}

TEST(PeerProcess, MalformedTableLinesAreSkipped) {
    std::string path = temp_path("tcp");
    write_text(path,
               "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   "
               "uid  timeout inode\n"
               "   0: 0100007F:1F90 zz\n"
               "   1: 0100007F:1F90 0100007F:1F41 01 00000000:00000000 00:00000000 00000000  "
               "1000        0 4711 1 0000000000000000 20 4 30 10 -1\n");
    sockaddr_in local{}, remote{};
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(0x1F90);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    remote.sin_port = htons(0x1F41);
    EXPECT_EQ(tcp_socket_inode(local, remote, path), 4711u);
    remote.sin_port = htons(0x1F42);
    EXPECT_EQ(tcp_socket_inode(local, remote, path), 0u);
    unlink(path.c_str());
}
