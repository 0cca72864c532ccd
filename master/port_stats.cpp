// The port server's statistics. See port_stats.h.
#include "master/port_stats.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "protocol/trace.h"

namespace vnx {

int LatencyHistogram::bucket_of(uint64_t micros) {
    if (micros < 4) return static_cast<int>(micros);
    const int octave = std::bit_width(micros) - 1;  // 2^octave <= micros
    const int sub = static_cast<int>((micros >> (octave - 2)) & 3);
    return std::min(4 * (octave - 1) + sub, kBuckets - 1);
}

uint64_t LatencyHistogram::bucket_upper(int i) {
    if (i < 4) return static_cast<uint64_t>(i);
    const int octave = i / 4 + 1, sub = i % 4;
    return ((static_cast<uint64_t>(4 + sub + 1)) << (octave - 2)) - 1;
}

void LatencyHistogram::add(uint64_t micros) {
    counts_[static_cast<size_t>(bucket_of(micros))]++;
    total_++;
}

uint64_t LatencyHistogram::percentile(double p) const {
    if (total_ == 0) return 0;
    const double wanted = std::ceil(std::clamp(p, 0.0, 1.0) * static_cast<double>(total_));
    const uint64_t rank = std::max<uint64_t>(1, static_cast<uint64_t>(wanted));
    uint64_t seen = 0;
    for (int i = 0; i < kBuckets; i++) {
        seen += counts_[static_cast<size_t>(i)];
        if (seen >= rank) return bucket_upper(i);
    }
    return bucket_upper(kBuckets - 1);
}

PortStats &port_stats() {
    static PortStats stats;
    return stats;
}

void port_stats_reset() {
    port_stats() = PortStats{};
    port_stats().started = time(nullptr);
    port_stats().started_steady = std::chrono::steady_clock::now();
}

void port_stats_session_started() {
    port_stats().sessions_started++;
}
void port_stats_refused_allow() {
    port_stats().refused_allow++;
}
void port_stats_refused_cap() {
    port_stats().refused_cap++;
}
void port_stats_refused_stopping() {
    port_stats().refused_stopping++;
}
void port_stats_claim_timed_out() {
    port_stats().claim_timeouts++;
}
void port_stats_spawn_failed() {
    port_stats().spawn_failures++;
}

void port_stats_port_answered(std::chrono::steady_clock::duration waited, bool from_spare) {
    PortStats &s = port_stats();
    (from_spare ? s.served_by_spare : s.served_by_new)++;
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(waited).count();
    s.port_wait.add(us < 0 ? 0 : static_cast<uint64_t>(us));
}

std::string port_stats_text(const PortStats &stats, const PortTableView &view, size_t max_bytes) {
    const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - stats.started_steady);
    const std::pair<const char *, std::string> values[] = {
        {"started", dqp::iso_time(stats.started, 0)},
        {"uptime_seconds", std::to_string(uptime.count())},
        {"sessions_started", std::to_string(stats.sessions_started)},
        {"refused_allow", std::to_string(stats.refused_allow)},
        {"refused_cap", std::to_string(stats.refused_cap)},
        {"refused_stopping", std::to_string(stats.refused_stopping)},
        {"claim_timeouts", std::to_string(stats.claim_timeouts)},
        {"spawn_failures", std::to_string(stats.spawn_failures)},
        {"served_by_spare", std::to_string(stats.served_by_spare)},
        {"served_by_new_gateway", std::to_string(stats.served_by_new)},
        {"spares_wanted", std::to_string(view.spares_wanted)},
        {"spares_ready", std::to_string(view.spares_ready)},
        {"spares_starting", std::to_string(view.spares_starting)},
        {"unclaimed_gateways", std::to_string(view.unclaimed)},
        {"live_sessions", std::to_string(view.live)},
        {"port_requests_answered", std::to_string(stats.port_wait.count())},
        {"port_wait_p50_us", std::to_string(stats.port_wait.percentile(0.50))},
        {"port_wait_p95_us", std::to_string(stats.port_wait.percentile(0.95))},
        {"port_wait_p99_us", std::to_string(stats.port_wait.percentile(0.99))},
    };
    std::string text;
    for (const auto &[name, value] : values)
        text += std::string(name) + " " + value + "\n";
    // Room for the omitted count, whatever it comes to.
    const size_t reserve = sizeof "hosts_omitted 4294967295\n";
    size_t omitted = 0;
    for (const auto &[host, count] : view.live_by_host) {
        std::string line = "host " + host + " " + std::to_string(count) + "\n";
        if (omitted > 0 || text.size() + line.size() + reserve > max_bytes) {
            omitted++;
            continue;
        }
        text += line;
    }
    text += "hosts_omitted " + std::to_string(omitted) + "\n";
    return text;
}

}  // namespace vnx
