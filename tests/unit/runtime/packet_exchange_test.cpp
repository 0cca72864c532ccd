// Packet exchange over a real connection: replies batched into METADATA
// packets arrive, unpacked by the client library, as the rows that were sent.
#include "runtime/packet_exchange.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/dqp_client.h"
#include "protocol/packet.h"
#include "protocol/rle.h"
#include "runtime/client_table.h"

using namespace vnx;

namespace {

class Exchange : public ::testing::Test {
  protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        slot_ = attach_socket(fds[0], TRANSPORT_TCPIP);
        ASSERT_GE(slot_, 0);
        client_fd_ = fds[1];
        conn_ = dqp::Connection::adopt(fds[1], 5000);
        dqp_reset_metaqueue();
    }
    void TearDown() override { detach_from_client(slot_); }

    int send_row(int type, std::vector<std::string_view> args) {
        return dqp_send_metapkt(slot_, type, 0, args);
    }

    // The gateway side's receive timeout in milliseconds; -1 when unreadable.
    int receive_timeout_ms() {
        timeval tv{};
        socklen_t len = sizeof tv;
        ClientSlot *slot = client_slot(slot_);
        if (getsockopt(slot->socket, SOL_SOCKET, SO_RCVTIMEO, &tv, &len) != 0) return -1;
        return static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
    }
    // The frame of a 'G' request with `info` and one argument.
    static std::string request_frame(int32_t info, std::string_view arg) {
        char pkt[256], frame[512];
        std::string_view args[] = {arg};
        int len = dqp::build_packet(pkt, sizeof pkt, 'G', info, args);
        int flen =
            len < 0 ? -1 : dqp::frame_encode(pkt, static_cast<size_t>(len), frame, sizeof frame);
        return flen < 0 ? std::string() : std::string(frame, static_cast<size_t>(flen));
    }

    int slot_ = -1;
    int client_fd_ = -1;  // the client's end, owned by conn_
    std::unique_ptr<dqp::Connection> conn_;
    char packet_[dqp::PKT_BUFSIZE];
};

}  // namespace

TEST_F(Exchange, BatchedRowsArriveInOrderThenEof) {
    std::vector<std::string> rows;
    for (int i = 0; i < 1000; i++)
        rows.push_back("row " + std::to_string(i) + std::string(40, ' '));
    for (const std::string &r : rows)
        ASSERT_GE(send_row('T', {r, "x"}), 0);
    ASSERT_EQ(send_row('R', {}), 'Y');
    std::vector<dqp::Reply> got;
    ASSERT_EQ(conn_->receive_result(&got), 0) << conn_->error();
    ASSERT_EQ(got.size(), rows.size() + 1);
    for (size_t i = 0; i < rows.size(); i++) {
        EXPECT_EQ(got[i].type, 'T');
        EXPECT_EQ(got[i].args, (std::vector<std::string>{rows[i], "x"}));
    }
    EXPECT_EQ(got.back().type, 'R');
}

TEST_F(Exchange, EmptyResultIsEndPacketAlone) {
    ASSERT_EQ(send_row('N', {"no rows"}), 'Y');
    dqp::Reply r;
    ASSERT_EQ(conn_->receive(&r), 0);
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.args, (std::vector<std::string>{"no rows"}));
}

TEST_F(Exchange, ReplyHoldingEscapeByteArrivesExactly) {
    std::string value =
        "a\x01\x01\x01"
        "b";
    std::vector<std::string_view> args{value};
    ASSERT_EQ(dqp_send_reply(slot_, packet_, 'Y', 7, args), 'Y');
    dqp::Reply r;
    ASSERT_EQ(conn_->receive(&r), 0);
    EXPECT_EQ(r.info, 7);
    EXPECT_EQ(r.args, (std::vector<std::string>{value}));
}

TEST_F(Exchange, ReplyTooLargeForAFrameIsNotSent) {
    // Incompressible text with an escape byte: its frame would exceed 16384.
    std::string big;
    for (int i = 0; i < dqp::PKT_MAX_SIZE - 30; i++)
        big += static_cast<char>('a' + i % 2);
    for (int i = 10; i < 200; i += 10)
        big[i] = '\x01';  // each costs two more bytes on the wire
    std::vector<std::string_view> args{big};
    EXPECT_EQ(dqp_send_reply(slot_, packet_, 'Y', 0, args), -1);
    ASSERT_EQ(dqp_send_reply(slot_, packet_, 'Y', 1, {}), 'Y');  // the connection still works
    dqp::Reply r;
    ASSERT_EQ(conn_->receive(&r), 0);
    EXPECT_EQ(r.info, 1);
}

TEST_F(Exchange, SendToFreeSlotFails) {
    char pkt[] = "00000000Y000000000000";
    EXPECT_EQ(dqp_sendpkt(99, pkt, nullptr), -1);
    EXPECT_EQ(dqp_sendpkt(-1, pkt, nullptr), -1);
    EXPECT_EQ(dqp_getpkt(99, packet_, nullptr), 'S');
}

TEST_F(Exchange, BatchedRepliesLeaveTogetherWhenTheBatchEnds) {
    {
        ReplyBatch batch(slot_);
        ReplyBatch inner(slot_);  // nested: the outer one decides
        ASSERT_EQ(dqp_send_reply(slot_, packet_, 'Y', 1, {}), 'Y');
        ASSERT_EQ(dqp_send_reply(slot_, packet_, 'Y', 2, {}), 'Y');
        pollfd p{conn_->fd(), POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 50), 0) << "a reply left before its batch ended";
    }
    dqp::Reply r;
    ASSERT_EQ(conn_->receive(&r), 0);
    EXPECT_EQ(r.info, 1);
    ASSERT_EQ(conn_->receive(&r), 0);
    EXPECT_EQ(r.info, 2);
}

TEST_F(Exchange, FlushInsideABatchSendsWhatItGatheredAtOnce) {
    // A finished result leaves before the work that follows it in the same
    // batch (freeing its statement); later replies are still gathered.
    {
        ReplyBatch batch(slot_);
        ASSERT_EQ(dqp_send_reply(slot_, packet_, 'Y', 1, {}), 'Y');
        dqp_flush_replies(slot_);
        pollfd p{conn_->fd(), POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 1000), 1) << "the flushed reply did not leave";
        dqp::Reply r;
        ASSERT_EQ(conn_->receive(&r), 0);
        EXPECT_EQ(r.info, 1);
        ASSERT_EQ(dqp_send_reply(slot_, packet_, 'Y', 2, {}), 'Y');
        EXPECT_EQ(poll(&p, 1, 50), 0) << "a reply after the flush left before its batch ended";
    }
    dqp::Reply r;
    ASSERT_EQ(conn_->receive(&r), 0);
    EXPECT_EQ(r.info, 2);
}

TEST_F(Exchange, LongBatchLeavesInPiecesAndInOrder) {
    // More than the batch holds: the first part leaves before the end, so a
    // long result streams.
    std::string row;
    for (int i = 0; i < 1000; i++)
        row += static_cast<char>('a' + i % 2);  // no runs: 1000 bytes on the wire
    std::vector<std::string_view> args{row};
    bool early = false;
    {
        ReplyBatch batch(slot_);
        for (int i = 0; i < 200 && !early; i++) {
            ASSERT_EQ(dqp_send_reply(slot_, packet_, 'Y', i, args), 'Y');
            pollfd p{conn_->fd(), POLLIN, 0};
            early = poll(&p, 1, 0) == 1;
        }
        EXPECT_TRUE(early);
    }
    dqp::Reply r;
    ASSERT_EQ(conn_->receive(&r), 0);
    EXPECT_EQ(r.info, 0);
    EXPECT_EQ(r.args, (std::vector<std::string>{row}));
}

TEST_F(Exchange, ReceiveInsideABatchFirstSendsWhatItGathered) {
    // The peer answers only once it has our reply: a receive that waited with
    // the reply still held back would wait for ever.
    std::thread peer([this] {
        dqp::Reply r;
        bool got = conn_->receive(&r) == 0 && r.info == 5;
        EXPECT_EQ(conn_->send('Y', got ? 1 : 0), 0);
    });
    {
        ReplyBatch batch(slot_);
        ASSERT_EQ(dqp_send_reply(slot_, packet_, 'Y', 5, {}), 'Y');
        int32_t info = -1;
        EXPECT_EQ(dqp_getpkt(slot_, packet_, &info), 'Y');
        EXPECT_EQ(info, 1);
    }
    peer.join();
}

TEST_F(Exchange, BatchOfAClosedConnectionIsDroppedNotWrittenElsewhere) {
    int fds[2] = {-1, -1};
    {
        ReplyBatch batch(slot_);
        ASSERT_EQ(dqp_send_reply(slot_, packet_, 'Y', 1, {}), 'Y');
        detach_from_client(slot_);  // closes the socket the batch was for
        // The freed descriptor number is the lowest: a new socket takes it.
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    }
    pollfd p{fds[1], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 50), 0) << "the batch was written to another socket";
    close(fds[0]);
    close(fds[1]);
}

TEST_F(Exchange, RequestsLeftByAClosedClientNeverReachTheNextOne) {
    EXPECT_EQ(conn_->send('A', 1), 0);
    EXPECT_EQ(conn_->send('B', 2), 0);  // both arrive in one read; B waits in the slot's buffer
    int32_t info = -1;
    ASSERT_EQ(dqp_getpkt(slot_, packet_, &info), 'A');
    int old_socket = client_slot(slot_)->socket;
    detach_from_client(slot_);
    conn_.reset();

    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    int slot = attach_socket(fds[0], TRANSPORT_TCPIP);
    ASSERT_EQ(slot, slot_);
    EXPECT_EQ(client_slot(slot)->socket, old_socket);  // the same number again
    conn_ = dqp::Connection::adopt(fds[1], 5000);
    EXPECT_EQ(conn_->send('C', 3), 0);
    EXPECT_EQ(dqp_getpkt(slot, packet_, &info), 'C');
    EXPECT_EQ(info, 3);
}

TEST_F(Exchange, ReceivedPacketHoldingNulBytesKeepsThemAndItsSize) {
    std::string_view args[] = {std::string_view("a\0b", 3)};
    ASSERT_EQ(conn_->send('M', 9, args), 0);
    int32_t info = -1;
    size_t size = 0;
    ASSERT_EQ(dqp_getpkt(slot_, packet_, &info, &size), 'M');
    EXPECT_EQ(info, 9);
    ASSERT_EQ(size, 32u);  // header 21, offset 4, length 4, value 3
    EXPECT_EQ(std::string(packet_ + 29, 4), std::string("a\0b\0", 4));  // and the terminator
}

TEST_F(Exchange, ShortPacketKeepsItsTypeAndIsPaddedToAHeader) {
    std::string pkt = "00000000M00";
    char frame[dqp::PKT_MAX_SIZE];
    int n = dqp::frame_encode(pkt.data(), pkt.size(), frame, sizeof frame);
    ASSERT_GT(n, 0);
    ASSERT_EQ(conn_->send_raw(frame, static_cast<size_t>(n)), 0);
    int32_t info = -1;
    size_t size = 0;
    EXPECT_EQ(dqp_getpkt(slot_, packet_, &info, &size), 'M');
    EXPECT_EQ(size, 11u);
    EXPECT_EQ(info, 0);
    EXPECT_EQ(std::string(packet_, dqp::PKT_HEADER_SIZE + 1),
              std::string("0000000BM00") + std::string(11, '\0'));  // pkt_len: the frame's
}

namespace {

int idle_calls = 0;
void count_idle_call() {
    idle_calls++;
}

}  // namespace

TEST_F(Exchange, AnIdleCallRunsOnceWhenTheClientPausesAndNotWhileItSpeaks) {
    set_idle_hook(count_idle_call);
    idle_calls = 0;
    // Not asked for: a receive runs nothing, however long the client pauses.
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(4 * kIdleDelayMs));
        EXPECT_EQ(conn_->send('G', 1, {"a"}), 0);
    });
    int32_t info = 0;
    EXPECT_EQ(dqp_getpkt(slot_, packet_, &info), 'G');
    late.join();
    EXPECT_EQ(idle_calls, 0);
    // Asked for, with the next request already there: it waits for a pause.
    request_idle_call();
    EXPECT_EQ(conn_->send('G', 2, {"b"}), 0);
    EXPECT_EQ(dqp_getpkt(slot_, packet_, &info), 'G');
    EXPECT_EQ(idle_calls, 0);
    // The client pauses before its next request: the call runs, once.
    std::thread paused([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(4 * kIdleDelayMs));
        EXPECT_EQ(conn_->send('G', 3, {"c"}), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(4 * kIdleDelayMs));
        EXPECT_EQ(conn_->send('G', 4, {"d"}), 0);
    });
    EXPECT_EQ(dqp_getpkt(slot_, packet_, &info), 'G');
    EXPECT_EQ(info, 3);
    EXPECT_EQ(idle_calls, 1);
    EXPECT_EQ(dqp_getpkt(slot_, packet_, &info), 'G');
    EXPECT_EQ(info, 4);
    paused.join();
    EXPECT_EQ(idle_calls, 1);
    set_idle_hook(nullptr);
}

// The pause is a receive timeout, kept while the call keeps being asked for
// and taken off once it has run: a frame whose halves straddle the pause
// arrives whole, and a later long silence is waited out, not read as an error.
TEST_F(Exchange, AnIdleCallsTimeoutKeepsAFrameSplitByThePause) {
    set_idle_hook(count_idle_call);
    idle_calls = 0;
    request_idle_call();
    std::string frame = request_frame(5, "split");
    ASSERT_FALSE(frame.empty());
    std::thread halves([&] {
        EXPECT_EQ(write(client_fd_, frame.data(), 5), 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(10 * kIdleDelayMs));
        EXPECT_EQ(write(client_fd_, frame.data() + 5, frame.size() - 5),
                  static_cast<ssize_t>(frame.size() - 5));
    });
    int32_t info = 0;
    EXPECT_EQ(dqp_getpkt(slot_, packet_, &info), 'G');
    halves.join();
    EXPECT_EQ(info, 5);
    EXPECT_EQ(dqp::arg_string(packet_, dqp::PKT_BUFSIZE, 0), "split");
    EXPECT_EQ(idle_calls, 1);
    EXPECT_EQ(receive_timeout_ms(), 0) << "taken off once the call has run";

    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(6 * kIdleDelayMs));
        EXPECT_EQ(conn_->send('G', 6, {"late"}), 0);
    });
    EXPECT_EQ(dqp_getpkt(slot_, packet_, &info), 'G');
    late.join();
    EXPECT_EQ(info, 6);
    EXPECT_EQ(idle_calls, 1);
    set_idle_hook(nullptr);
}

// A connection handed to another process leaves without the timeout.
TEST_F(Exchange, ClearIdleWaitTakesTheTimeoutOff) {
    set_idle_hook(count_idle_call);
    idle_calls = 0;
    request_idle_call();
    EXPECT_EQ(conn_->send('G', 1, {"a"}), 0);
    int32_t info = 0;
    EXPECT_EQ(dqp_getpkt(slot_, packet_, &info), 'G');
    // (The kernel rounds the timeout up to its clock tick.)
    EXPECT_GE(receive_timeout_ms(), kIdleDelayMs) << "set while the call is asked for";
    clear_idle_wait(slot_);
    EXPECT_EQ(receive_timeout_ms(), 0);
    EXPECT_EQ(idle_calls, 0);
    set_idle_hook(nullptr);
}
