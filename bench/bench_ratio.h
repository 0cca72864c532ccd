// A console reporter that also remembers each benchmark's throughput, so a
// benchmark program can print its figures as ratios against a baseline
// measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end()) bytes_per_second_[r.benchmark_name()] = it->second;
            it = r.counters.find("items_per_second");
            if (it != r.counters.end()) items_per_second_[r.benchmark_name()] = it->second;
            time_ns_[r.benchmark_name()] = r.GetAdjustedRealTime();
        }
    }
    double mb_per_s(const std::string &name) const {
        auto it = bytes_per_second_.find(name);
        return it == bytes_per_second_.end() ? 0.0 : it->second / 1e6;
    }
    // Items (rows, packets) per second; 0 when the benchmark counted none.
    double items_per_s(const std::string &name) const {
        auto it = items_per_second_.find(name);
        return it == items_per_second_.end() ? 0.0 : it->second;
    }
    double time_ns(const std::string &name) const {
        auto it = time_ns_.find(name);
        return it == time_ns_.end() ? 0.0 : it->second;
    }

  private:
    std::map<std::string, double> bytes_per_second_;
    std::map<std::string, double> items_per_second_;
    std::map<std::string, double> time_ns_;
};
