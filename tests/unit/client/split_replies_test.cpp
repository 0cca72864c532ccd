// The one-pass reply parsing (SplitReplies, parse_reply, packet_check,
// packet_arg) against the parsing as first written (reply_reference.h) on
// well-formed and damaged packets, and the row paths of SqlClient built on it.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "client/dqp_client.h"
#include "client/sql_client.h"
#include "fake_gateway.h"
#include "reply_reference.h"

using dqp::SplitReplies;
using fake::packet;

namespace {

std::string container(const std::vector<std::string> &inner) {
    return packet(dqp::PKT_TYPE_METADATA, 0, inner);
}

// A METADATA container of n DATA rows of two values, like a gateway's batch.
std::string row_container(int n, int first = 0) {
    std::vector<std::string> rows;
    for (int i = first; i < first + n; i++)
        rows.push_back(packet(dqp::PKT_TYPE_DATA, i, {"  " + std::to_string(i), "row"}));
    return container(rows);
}

// Checks every reader against the reference on the first `size` bytes of pkt.
void expect_same(const std::string &pkt, size_t size) {
    const char *p = pkt.data();
    std::vector<dqp::Reply> want;
    int w = reply_reference::unpack(p, size, &want);
    SplitReplies batch;
    int g = batch.split(p, size);
    ASSERT_EQ(g == 0, w == 0) << "split of " << size << " bytes";
    if (g == 0) {
        ASSERT_EQ(batch.size(), want.size());
        for (size_t i = 0; i < want.size(); i++) {
            dqp::Reply r;
            dqp::to_reply(batch[i], &r);
            EXPECT_EQ(r.type, want[i].type);
            EXPECT_EQ(r.info, want[i].info);
            EXPECT_EQ(r.args, want[i].args);
        }
    } else {
        EXPECT_EQ(batch.size(), 0u);
    }
    dqp::Reply mine, ref;
    ASSERT_EQ(dqp::parse_reply(p, size, &mine), reply_reference::parse_reply(p, size, &ref));
    EXPECT_EQ(mine.args, ref.args);
    ASSERT_EQ(dqp::packet_check(p, size), reply_reference::packet_check(p, size));
    for (int i = -1; i < 6; i++) {
        std::string_view a, b;
        ASSERT_EQ(dqp::packet_arg(p, size, i, &a), reply_reference::packet_arg(p, size, i, &b));
        EXPECT_EQ(a, b);
    }
}

}  // namespace

TEST(SplitReplies, SplitsContainersAndSinglePackets) {
    std::string meta = row_container(3, 7);
    SplitReplies batch;
    ASSERT_EQ(batch.split(meta.data(), meta.size()), 0);
    ASSERT_EQ(batch.size(), 3u);
    EXPECT_EQ(batch[2].type, dqp::PKT_TYPE_DATA);
    EXPECT_EQ(batch[2].info, 9);
    ASSERT_EQ(batch[2].args.size(), 2u);
    EXPECT_EQ(batch[2].args[0], "  9");
    EXPECT_EQ(batch[2].args[1], "row");

    std::string eof = packet(dqp::PKT_TYPE_EOF, -5, {"x"});
    ASSERT_EQ(batch.split(eof.data(), eof.size()), 0);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].info, -5);
    EXPECT_EQ(batch[0].args[0], "x");
}

TEST(SplitReplies, TellsAMalformedContainerFromAMalformedPacketInIt) {
    SplitReplies batch;
    std::string nested = container({packet(dqp::PKT_TYPE_DATA, 0, {"a"}), container({})});
    EXPECT_EQ(batch.split(nested.data(), nested.size()), SplitReplies::kMalformedInner);
    EXPECT_EQ(batch.size(), 0u);
    std::string bad_inner = container({packet(dqp::PKT_TYPE_DATA, 0, {"a"}), "00000000T0000"});
    EXPECT_EQ(batch.split(bad_inner.data(), bad_inner.size()), SplitReplies::kMalformedInner);
    std::string meta = row_container(2);
    EXPECT_EQ(batch.split(meta.data(), meta.size() - 1), SplitReplies::kMalformed);
    EXPECT_EQ(batch.size(), 0u);
    EXPECT_EQ(batch.split(meta.data(), 20), SplitReplies::kMalformed);
}

// Every truncation of a container, and every byte of it overwritten with
// characters that matter to the parser: hex digits around the real values,
// lower-case and other non-digits, and the container's own type.
TEST(ReplyParsingDifferential, TruncatedAndOverwrittenContainers) {
    std::string meta = row_container(3);
    for (size_t size = 0; size <= meta.size(); size++)
        expect_same(meta, size);
    const char bytes[] = {'0', '1', '9', 'A', 'F', 'G', 'a', 'f', ' ', 'W', '\xFF'};
    for (size_t at = 0; at < meta.size(); at++)
        for (char c : bytes) {
            std::string s = meta;
            s[at] = c;
            expect_same(s, s.size());
            if (HasFatalFailure()) return;
        }
}

TEST(ReplyParsingDifferential, RandomDamage) {
    std::mt19937 rng(31);
    for (int i = 0; i < 3000; i++) {
        std::string s = i % 2 ? row_container(1 + i % 20) : packet(dqp::PKT_TYPE_OK, i, {"a", ""});
        for (int k = rng() % 4; k >= 0; k--)
            s[rng() % s.size()] = "0123456789ABCDEFWT\x01z"[rng() % 20];
        expect_same(s, s.size() - rng() % 3);
        if (HasFatalFailure()) return;
    }
}

// --- rows through SqlClient ----------------------------------------------------

namespace {

void send_rows(fake::Gateway &g) {
    ASSERT_TRUE(g.next());
    g.ok({"ID:10:N:0:", "NAME:3:C:0:"});
    for (int first = 0; first < 300; first += 128) {
        std::vector<std::string> rows;
        for (int i = first; i < std::min(300, first + 128); i++)
            rows.push_back(packet(dqp::PKT_TYPE_DATA, 0, {std::to_string(i), i % 2 ? "" : "x"}));
        g.meta(rows);
    }
    g.reply(dqp::PKT_TYPE_EOF, 100);
}

}  // namespace

TEST(SqlClientRows, ViewsCarryEveryValueInOrder) {
    fake::Harness h(send_rows);
    dqp::SqlClient sql(h.client());
    int rows = 0;
    bool right = true;
    int rc = sql.fetchmany_views("C1", nullptr, [&](std::span<const std::string_view> v) {
        right =
            right && v.size() == 2 && v[0] == std::to_string(rows) && v[1] == (rows % 2 ? "" : "x");
        rows++;
        return 0;
    });
    ASSERT_EQ(rc, 0) << sql.error();
    EXPECT_EQ(rows, 300);
    EXPECT_TRUE(right);
}

// The Row handed over is reused from row to row when the callback leaves it:
// a callback that changes it, or keeps only some rows, must still see each
// row's own values.
TEST(SqlClientRows, RowsAreWholeWhetherTheCallbackKeepsOrChangesThem) {
    fake::Harness h(send_rows);
    dqp::SqlClient sql(h.client());
    std::vector<dqp::Row> kept;
    int rows = 0;
    bool right = true;
    int rc = sql.fetchmany("C1", nullptr, [&](dqp::Row &&r) {
        right =
            right && r.size() == 2 && r[0] == std::to_string(rows) && r[1] == (rows % 2 ? "" : "x");
        if (rows % 3 == 0)
            kept.push_back(std::move(r));
        else if (rows % 3 == 1)
            r.assign(5, "junk");
        else
            r.clear();
        rows++;
        return 0;
    });
    ASSERT_EQ(rc, 0) << sql.error();
    EXPECT_EQ(rows, 300);
    EXPECT_TRUE(right);
    ASSERT_EQ(kept.size(), 100u);
    EXPECT_EQ(kept[99], (dqp::Row{"297", ""}));
}
