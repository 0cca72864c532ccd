// Frames read through the per-connection receive buffer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "protocol/packet.h"
#include "protocol/rle.h"
#include "transport/tcp.h"

using namespace vnx;

namespace {

std::string frame_of(std::string_view arg) {
    char pkt[dqp::PKT_BUFSIZE], frame[dqp::PKT_MAX_SIZE];
    std::string_view args[] = {arg};
    int len = dqp::build_packet(pkt, sizeof pkt, 'n', 0, args);
    int flen = dqp::frame_encode(pkt, len, frame, sizeof frame);
    return std::string(frame, flen);
}

struct Pair {
    int ours = -1, theirs = -1;
    Pair() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
            ours = sv[0];
            theirs = sv[1];
        }
    }
    ~Pair() {
        if (ours >= 0) close(ours);
        if (theirs >= 0) close(theirs);
    }
    void put(const std::string &bytes) const {
        ASSERT_EQ(write(theirs, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // The next frame from our side, or "<status>".
    std::string receive(size_t cap = dqp::PKT_MAX_SIZE) {
        std::string buf(cap, '\0');
        int n = reader.receive(ours, buf.data(), cap);
        return n <= 0 ? "<" + std::to_string(n) + ">" : buf.substr(0, static_cast<size_t>(n));
    }
    FrameReader reader;
};

}  // namespace

TEST(TcpReceive, FramesArrivingTogetherOrSplitComeOutWhole) {
    Pair p;
    ASSERT_GE(p.ours, 0);
    std::string a = frame_of("first"), b = frame_of(std::string(3000, 'b')), c = frame_of("c");
    p.put(a + b + c.substr(0, 5));  // two and a bit in one write
    EXPECT_EQ(p.receive(), a);
    EXPECT_EQ(p.receive(), b);
    p.put(c.substr(5));
    EXPECT_EQ(p.receive(), c);
    p.put(c.substr(0, 3));  // a header split in two
    p.put(c.substr(3));
    EXPECT_EQ(p.receive(), c);
}

TEST(TcpReceive, CloseMidFrameBadHeaderAndSmallBuffer) {
    Pair p;
    ASSERT_GE(p.ours, 0);
    std::string a = frame_of("abcdefgh");
    p.put(a.substr(0, 11));
    shutdown(p.theirs, SHUT_WR);
    EXPECT_EQ(p.receive(), a.substr(0, 11));  // fewer bytes: the peer closed mid-frame
    EXPECT_EQ(p.receive(), "<0>");

    Pair q;
    q.put("0zzzzzzz" + a);
    EXPECT_EQ(q.receive(), "<" + std::to_string(TCP_BAD_FRAME) + ">");
    Pair r;
    r.put(a);
    EXPECT_EQ(r.receive(10), "<" + std::to_string(TCP_BAD_FRAME) + ">");
}

TEST(TcpReceive, KnowsWhenAWholeFrameIsAlreadyBuffered) {
    Pair p;
    ASSERT_GE(p.ours, 0);
    std::string a = frame_of("a"), b = frame_of("bb");
    EXPECT_FALSE(p.reader.frame_buffered());
    p.put(a + b + a.substr(0, 10));
    EXPECT_EQ(p.receive(), a);  // one receive took all three pieces
    EXPECT_TRUE(p.reader.frame_buffered());
    EXPECT_EQ(p.receive(), b);
    EXPECT_FALSE(p.reader.frame_buffered());  // a header and not the whole frame
    p.put(a.substr(10));
    EXPECT_EQ(p.receive(), a);
    EXPECT_FALSE(p.reader.frame_buffered());
}
