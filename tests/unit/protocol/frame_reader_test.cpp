// Frames read through the per-connection receive buffer, on blocking and
// non-blocking sockets.
#include "protocol/frame_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "protocol/packet.h"
#include "protocol/rle.h"

using namespace dqp;

namespace {

std::string frame_of(std::string_view arg) {
    char pkt[PKT_BUFSIZE], frame[PKT_MAX_SIZE];
    std::string_view args[] = {arg};
    int len = build_packet(pkt, sizeof pkt, 'n', 0, args);
    int flen = frame_encode(pkt, len, frame, sizeof frame);
    return std::string(frame, flen);
}

// Text without runs, so that its frame is as long as the text.
std::string varied(size_t n) {
    std::string s(n, ' ');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
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
    std::string receive(size_t cap = PKT_MAX_SIZE) {
        std::string buf(cap, '\0');
        int n = reader.receive(ours, buf.data(), cap);
        return n <= 0 ? "<" + std::to_string(n) + ">" : buf.substr(0, static_cast<size_t>(n));
    }
    FrameReader reader;
};

}  // namespace

TEST(FrameReader, FramesArrivingTogetherOrSplitComeOutWhole) {
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

TEST(FrameReader, CloseMidFrameBadHeaderAndSmallBuffer) {
    Pair p;
    ASSERT_GE(p.ours, 0);
    std::string a = frame_of("abcdefgh");
    p.put(a.substr(0, 11));
    shutdown(p.theirs, SHUT_WR);
    EXPECT_EQ(p.receive(), a.substr(0, 11));  // fewer bytes: the peer closed mid-frame
    EXPECT_EQ(p.receive(), "<0>");

    Pair q;
    q.put("0zzzzzzz" + a);
    EXPECT_EQ(q.receive(), "<" + std::to_string(FRAME_BAD) + ">");
    Pair r;
    r.put(a);
    EXPECT_EQ(r.receive(10), "<" + std::to_string(FRAME_BAD) + ">");
}

TEST(FrameReader, KnowsWhenAWholeFrameIsAlreadyBuffered) {
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

TEST(FrameReader, NonBlockingSocketWaitsWithWhatArrivedAndCompletesLater) {
    Pair p;
    ASSERT_GE(p.ours, 0);
    fcntl(p.ours, F_SETFL, fcntl(p.ours, F_GETFL) | O_NONBLOCK);
    std::string f = frame_of(varied(500));
    std::string_view got;
    EXPECT_EQ(p.reader.next_frame(p.ours, PKT_MAX_SIZE, &got), FRAME_WAIT);
    p.put(f.substr(0, 5));  // part of the header
    EXPECT_EQ(p.reader.next_frame(p.ours, PKT_MAX_SIZE, &got), FRAME_WAIT);
    p.put(f.substr(5, 100));  // the header and part of the body
    EXPECT_EQ(p.reader.next_frame(p.ours, PKT_MAX_SIZE, &got), FRAME_WAIT);
    EXPECT_EQ(p.reader.buffered().size(), 105u);
    p.put(f.substr(105) + f.substr(0, 3));  // the rest and the start of the next
    ASSERT_EQ(p.reader.next_frame(p.ours, PKT_MAX_SIZE, &got), FRAME_READY);
    EXPECT_EQ(got, f);
    p.reader.consume(got.size());
    EXPECT_EQ(p.reader.buffered(), f.substr(0, 3));
}

TEST(FrameReader, FrameAboveTheCallersLimitOrTheBufferIsRefusedUnread) {
    Pair p;
    ASSERT_GE(p.ours, 0);
    std::string f = frame_of(varied(2000));
    p.put(f);
    std::string_view got;
    EXPECT_EQ(p.reader.next_frame(p.ours, 1000, &got), FRAME_BAD);
    FrameReader small(1024);  // a reader sized below the frame refuses it too
    Pair q;
    ASSERT_GE(q.ours, 0);
    q.put(f);
    EXPECT_EQ(small.next_frame(q.ours, PKT_MAX_SIZE, &got), FRAME_BAD);
    EXPECT_LE(small.buffered().size(), 1024u);
}

TEST(FrameReader, PeerClosingMidFrameLeavesThePartBuffered) {
    Pair p;
    ASSERT_GE(p.ours, 0);
    std::string f = frame_of("cut short");
    p.put(f.substr(0, 12));
    close(p.theirs);
    p.theirs = -1;
    std::string_view got;
    EXPECT_EQ(p.reader.next_frame(p.ours, PKT_MAX_SIZE, &got), FRAME_CLOSED);
    EXPECT_EQ(p.reader.buffered(), f.substr(0, 12));
}
