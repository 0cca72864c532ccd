// Latency figures of the whole-system benchmarks: median, p95 and maximum of
// a set of samples, by nearest rank.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

struct Stats {
    size_t n = 0;
    double median = 0, p95 = 0, max = 0;
};

// Nearest-rank percentile of sorted values (not empty).
inline double percentile(const std::vector<double> &sorted, double p) {
    size_t rank = static_cast<size_t>(p * static_cast<double>(sorted.size()) + 0.999999);
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

inline Stats stats_of(std::vector<double> v) {
    Stats s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.n = v.size();
    s.median = percentile(v, 0.5);
    s.p95 = percentile(v, 0.95);
    s.max = v.back();
    return s;
}
