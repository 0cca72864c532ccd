#include "protocol/meta_queue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/packet.h"
#include "protocol/rle.h"

using namespace dqp;

namespace {

// Collects what the queue sends.
struct Sink {
    std::vector<std::string> sent;
    MetaQueue::SendFn fn() {
        return [this](char *p) {
            sent.emplace_back(p);
            return 'Y';
        };
    }
};

int add(MetaQueue &q, Sink &s, int type, std::vector<std::string_view> args, int maxbuf = 16384) {
    return q.add(type, 0, args, maxbuf, s.fn());
}

}  // namespace

TEST(MetaQueue, EmptyResultSendsEndPacketAlone) {
    MetaQueue q;
    Sink s;
    EXPECT_EQ(add(q, s, 'R', {}), 'Y');
    ASSERT_EQ(s.sent.size(), 1u);
    EXPECT_EQ(s.sent[0], "00000000R000000000000");
}

TEST(MetaQueue, RowsBatchedThenEofAsOwnFrame) {
    MetaQueue q;
    Sink s;
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(add(q, s, 'T', {"row"}), 0);
    EXPECT_EQ(q.count(), 3);
    add(q, s, 'R', {});
    ASSERT_EQ(s.sent.size(), 2u);
    EXPECT_EQ(pkt_type(s.sent[0].c_str()), 'W');
    EXPECT_EQ(pkt_argc(s.sent[0].c_str()), 3);
    std::string_view inner;
    ASSERT_EQ(packet_arg(s.sent[0].c_str(), s.sent[0].size(), 2, &inner), 0);
    EXPECT_EQ(inner,
              "00000000T0000000000010019"
              "0003row");
    EXPECT_EQ(s.sent[1], "00000000R000000000000");
    EXPECT_EQ(q.count(), 0);
}

TEST(MetaQueue, AtMost128PacketsPerBatch) {
    MetaQueue q;
    Sink s;
    for (int i = 0; i < 300; i++)
        add(q, s, 'T', {"r"});
    add(q, s, 'R', {});
    ASSERT_EQ(s.sent.size(), 4u);  // 128 + 128 + 44, then EOF
    EXPECT_EQ(pkt_argc(s.sent[0].c_str()), 128);
    EXPECT_EQ(pkt_argc(s.sent[1].c_str()), 128);
    EXPECT_EQ(pkt_argc(s.sent[2].c_str()), 44);
    EXPECT_EQ(pkt_type(s.sent[3].c_str()), 'R');
}

TEST(MetaQueue, BatchesStayWithinMaxbufsize) {
    MetaQueue q;
    Sink s;
    std::string row(500, 'x');
    for (int i = 0; i < 100; i++)
        add(q, s, 'T', {row}, 4096);
    add(q, s, 'R', {}, 4096);
    for (const std::string &p : s.sent)
        EXPECT_LT(p.size(), 4096u + 29) << p.size();
    size_t rows = 0;
    for (size_t i = 0; i + 1 < s.sent.size(); i++)
        rows += pkt_argc(s.sent[i].c_str());
    EXPECT_EQ(rows, 100u);
}

TEST(MetaQueue, OversizeFirstPacketFlushesEmptyBatch) {
    MetaQueue q;
    Sink s;
    std::string row(200, 'x');
    add(q, s, 'T', {row}, 100);
    ASSERT_EQ(s.sent.size(), 1u);
    EXPECT_EQ(s.sent[0], "00000000W000000000000");
    EXPECT_EQ(q.count(), 1);
}

TEST(MetaQueue, NearFullPacketsNeverMakeUndeliverableBatch) {
    // Two packets that each fit alone but would overflow one METADATA packet
    // although the size estimate says they fit.
    MetaQueue q;
    Sink s;
    std::string a(8100, 'a'), b(8200, 'b');
    add(q, s, 'T', {a}, 1 << 30);
    add(q, s, 'T', {b}, 1 << 30);
    add(q, s, 'R', {});
    for (const std::string &p : s.sent)
        EXPECT_LE(p.size(), static_cast<size_t>(PKT_MAX_SIZE));
    EXPECT_EQ(s.sent.size(), 3u);
}

TEST(MetaQueue, BatchesOfEscapedBytesStillFitAFrame) {
    // Each 0x01 byte takes three bytes once run-length coded: batches sized by
    // their plain length alone grew past the largest frame and were never sent.
    MetaQueue q;
    std::vector<std::string> frames;
    int failed = 0;
    MetaQueue::SendFn send = [&](char *p) {
        std::vector<char> frame(PKT_MAX_SIZE);
        int n = frame_encode(p, strlen(p), frame.data(), frame.size());
        if (n < 0)
            failed++;
        else
            frames.emplace_back(frame.data(), static_cast<size_t>(n));
        return n < 0 ? -1 : 'Y';
    };
    std::string ones;
    for (int i = 0; i < 100; i++)
        ones += "\x01x";  // single 0x01 bytes: a run of them would shrink
    for (int i = 0; i < 300; i++) {
        std::vector<std::string_view> args{ones};
        ASSERT_GE(q.add('T', 0, args, 1 << 30, send), 0) << "row " << i;
    }
    ASSERT_GE(q.add('R', 0, {}, 1 << 30, send), 0);
    EXPECT_EQ(failed, 0);
    EXPECT_GT(frames.size(), 4u);
}

TEST(MetaQueue, PacketThatCannotBeFramedAloneIsRefused) {
    MetaQueue q;
    Sink s;
    std::string ones;
    for (int i = 0; i < PKT_MAX_SIZE / 4; i++)
        ones += "\x01x";  // 8192 bytes, 16384 and more when framed
    EXPECT_EQ(add(q, s, 'T', {ones}), -1);
    EXPECT_EQ(q.count(), 0);
    // A run of them shrinks when coded: such a packet travels.
    std::string run(PKT_MAX_SIZE / 2, '\x01');
    EXPECT_EQ(add(q, s, 'T', {run}), 0);
    EXPECT_EQ(q.count(), 1);
}

TEST(MetaQueue, PacketTooLargeForAnyBatchIsRefused) {
    MetaQueue q;
    Sink s;
    std::string huge(PKT_MAX_SIZE - 40, 'h');
    EXPECT_EQ(add(q, s, 'T', {huge}), -1);
    EXPECT_EQ(q.count(), 0);
}

TEST(MetaQueue, MaxbufsizeZeroSendsEveryRowInItsOwnBatch) {
    MetaQueue q;
    Sink s;
    for (const char *row : {"1", "2", "3"})
        add(q, s, 'T', {row}, 0);
    add(q, s, 'R', {}, 0);
    // No batch ever carries more than one row; every row arrives, in order.
    std::vector<std::string> rows;
    for (size_t i = 0; i + 1 < s.sent.size(); i++) {
        const std::string &meta = s.sent[i];
        ASSERT_EQ(meta[8], 'W');
        int argc = pkt_argc(meta.c_str());
        ASSERT_LE(argc, 1);
        if (argc == 1) rows.push_back(arg_string(meta.c_str(), meta.size(), 0));
    }
    ASSERT_EQ(rows.size(), 3u);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(arg_string(rows[i].c_str(), rows[i].size(), 0), std::to_string(i + 1));
    EXPECT_EQ(s.sent.back()[8], 'R');
}
