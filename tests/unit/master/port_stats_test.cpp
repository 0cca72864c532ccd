// The port server's statistics: the latency histogram's buckets and
// percentiles, and the "Stats" answer's bound.
#include "master/port_stats.h"

#include <gtest/gtest.h>

using namespace vnx;

TEST(LatencyHistogram, BucketBoundsAreContiguousAndLogScale) {
    EXPECT_EQ(LatencyHistogram::bucket_of(0), 0);
    EXPECT_EQ(LatencyHistogram::bucket_of(3), 3);
    for (int i = 0; i + 1 < LatencyHistogram::kBuckets; i++) {
        const uint64_t upper = LatencyHistogram::bucket_upper(i);
        EXPECT_EQ(LatencyHistogram::bucket_of(upper), i) << i;
        EXPECT_EQ(LatencyHistogram::bucket_of(upper + 1), i + 1) << i;
    }
    // Four buckets per power of two: a bucket is at most a quarter wide.
    EXPECT_EQ(LatencyHistogram::bucket_upper(LatencyHistogram::bucket_of(1000)), 1023u);
    EXPECT_EQ(LatencyHistogram::bucket_upper(LatencyHistogram::bucket_of(800)), 895u);
    // Beyond the last bound everything counts in the last bucket.
    EXPECT_EQ(LatencyHistogram::bucket_of(UINT64_MAX), LatencyHistogram::kBuckets - 1);
}

TEST(LatencyHistogram, PercentilesOfAKnownSpread) {
    LatencyHistogram h;
    EXPECT_EQ(h.percentile(0.5), 0u);  // no samples
    for (int i = 0; i < 90; i++)
        h.add(100);  // bucket 96..111
    for (int i = 0; i < 9; i++)
        h.add(10000);  // bucket 9216..10239
    h.add(2000000);    // bucket 1835008..2097151
    EXPECT_EQ(h.count(), 100u);
    EXPECT_EQ(h.percentile(0.50), 111u);
    EXPECT_EQ(h.percentile(0.90), 111u);
    EXPECT_EQ(h.percentile(0.95), 10239u);
    EXPECT_EQ(h.percentile(0.99), 10239u);
    EXPECT_EQ(h.percentile(1.0), 2097151u);
}

TEST(PortStatsText, CountsAndPercentilesAsNameValueLines) {
    port_stats_reset();
    port_stats_refused_allow();
    port_stats_refused_cap();
    port_stats_refused_cap();
    port_stats_claim_timed_out();
    port_stats_session_started();
    port_stats_port_answered(std::chrono::microseconds(100), true);
    PortTableView view;
    view.spares_wanted = 2;
    view.spares_ready = 1;
    view.live = 3;
    view.live_by_host = {{"10.0.0.1", 2}, {"::1", 1}};
    const std::string text = port_stats_text(port_stats(), view, 4096);
    for (const char *line :
         {"\nsessions_started 1\n", "\nrefused_allow 1\n", "\nrefused_cap 2\n",
          "\nclaim_timeouts 1\n", "\nspawn_failures 0\n", "\nserved_by_spare 1\n",
          "\nspares_wanted 2\n", "\nspares_ready 1\n", "\nlive_sessions 3\n",
          "\nport_wait_p50_us 111\n", "\nhost 10.0.0.1 2\nhost ::1 1\nhosts_omitted 0\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

TEST(PortStatsText, HostLinesBeyondTheBoundAreCountedNotSent) {
    port_stats_reset();
    PortTableView view;
    for (int i = 0; i < 400; i++)
        view.live_by_host.emplace_back("2001:db8::" + std::to_string(1000 + i), 1);
    const std::string text = port_stats_text(port_stats(), view, 4096);
    EXPECT_LE(text.size(), 4096u);
    const size_t omitted = text.find("hosts_omitted ");
    ASSERT_NE(omitted, std::string::npos);
    const int left_out = std::stoi(text.substr(omitted + 14));
    size_t sent = 0;
    for (size_t at = text.find("\nhost "); at != std::string::npos;
         at = text.find("\nhost ", at + 1))
        sent++;
    EXPECT_GT(left_out, 0);
    EXPECT_EQ(sent + static_cast<size_t>(left_out), 400u);
}
