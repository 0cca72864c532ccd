// The client connection's input buffer: replies that arrive together, split
// frames and a peer that closes mid-frame.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "client/dqp_client.h"
#include "protocol/packet.h"
#include "protocol/rle.h"

namespace {

std::string frame_of(int type, int32_t info, std::string_view arg) {
    char pkt[dqp::PKT_BUFSIZE], frame[dqp::PKT_MAX_SIZE];
    int len = dqp::build_packet(pkt, sizeof pkt, type, info, std::span(&arg, 1));
    int flen = dqp::frame_encode(pkt, static_cast<size_t>(len), frame, sizeof frame);
    return std::string(frame, static_cast<size_t>(flen));
}

struct Pair {
    int server = -1;
    std::unique_ptr<dqp::Connection> client;
    Pair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        server = fds[0];
        client = dqp::Connection::adopt(fds[1], 5000);
    }
    ~Pair() {
        if (server >= 0) close(server);
    }
    void put(const std::string &bytes) {
        ASSERT_EQ(write(server, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};

}  // namespace

TEST(ConnectionInput, RepliesThatArriveTogetherAreEachReceived) {
    Pair p;
    p.put(frame_of('Y', 1, "first") + frame_of('N', -2, "second") + frame_of('R', 100, ""));
    dqp::Reply r;
    ASSERT_EQ(p.client->receive(&r), 0);
    EXPECT_EQ(r.type, 'Y');
    EXPECT_EQ(r.args.at(0), "first");
    EXPECT_FALSE(p.client->peer_closed(0));  // bytes still buffered
    ASSERT_EQ(p.client->receive(&r), 0);
    EXPECT_EQ(r.info, -2);
    EXPECT_EQ(r.args.at(0), "second");
    ASSERT_EQ(p.client->receive(&r), 0);
    EXPECT_EQ(r.type, 'R');
}

TEST(ConnectionInput, FrameSplitAcrossWritesIsReassembled) {
    Pair p;
    std::string text;
    for (int i = 0; i < 3003; i++)
        text += static_cast<char>('a' + i % 26);  // no runs: the frame stays 3 KB
    std::string f = frame_of('Y', 7, text);
    ASSERT_GT(f.size(), 3000u);
    std::thread writer([&] {
        p.put(f.substr(0, 5));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        p.put(f.substr(5, 1000));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        p.put(f.substr(1005));
    });
    dqp::Reply r;
    EXPECT_EQ(p.client->receive(&r), 0) << p.client->error();
    writer.join();
    EXPECT_EQ(r.args.at(0).size(), 3003u);
}

TEST(ConnectionInput, PeerClosingMidFrameIsAnError) {
    Pair p;
    std::string f = frame_of('Y', 7, "abcdef");
    p.put(f.substr(0, f.size() - 2));
    close(p.server);
    p.server = -1;
    dqp::Reply r;
    EXPECT_EQ(p.client->receive(&r), -1);
    EXPECT_EQ(p.client->error(), "connection closed in the middle of a frame");
}

TEST(ConnectionInput, PeerClosingBetweenFramesSaysSo) {
    Pair p;
    close(p.server);
    p.server = -1;
    dqp::Reply r;
    EXPECT_EQ(p.client->receive(&r), -1);
    EXPECT_EQ(p.client->error(), "connection closed by the server");
}
