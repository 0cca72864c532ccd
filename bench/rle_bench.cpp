// Run-length encode and decode throughput on row-like packets, beside memcpy
// of the same bytes measured in the same run.
//
// The input is a METADATA packet of DATA rows as a gateway sends them: short
// numbers, names padded with blanks to their column width, dates, amounts.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "protocol/packet.h"
#include "protocol/rle.h"

namespace {

std::string pad(std::string s, size_t width) {
    s.resize(width, ' ');
    return s;
}

// A METADATA packet of rows, close to the 16384-byte limit.
std::string row_packet() {
    static const char *names[] = {"Smith", "Okonkwo", "Li", "Fernandez-Garcia", "Nakamura"};
    std::vector<std::string> rows;
    std::vector<std::string_view> views;
    size_t total = dqp::PKT_HEADER_SIZE;
    char row[dqp::PKT_BUFSIZE];
    for (int i = 0; total < 15500; i++) {
        std::string id = std::to_string(100000 + i * 37);
        std::string name = pad(names[i % 5], 30);
        std::string city = pad(i % 3 ? "Lagos" : "Montevideo", 20);
        std::string date = "2026" + std::to_string(10 + i % 3) + std::to_string(10 + i % 18);
        std::string amount = std::to_string((i * 7919) % 100000) + ".00";
        std::vector<std::string_view> fields{id, name, city, date, amount};
        int n = dqp::build_packet(row, sizeof row, 'T', 0, fields);
        rows.emplace_back(row, n);
        total += 8 + n;
    }
    for (const std::string &r : rows)
        views.push_back(r);
    char pkt[dqp::PKT_BUFSIZE];
    int n = dqp::build_packet(pkt, sizeof pkt, 'W', 0, views);
    return std::string(pkt, n);
}

const std::string &input() {
    static const std::string in = row_packet();
    return in;
}

void BM_memcpy(benchmark::State &state) {
    const std::string &in = input();
    std::vector<char> out(in.size());
    for (auto _ : state) {
        memcpy(out.data(), in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_encode(benchmark::State &state) {
    const std::string &in = input();
    std::vector<char> out(3 * in.size());
    for (auto _ : state) {
        int n = dqp::rle_encode(in.data(), in.size(), out.data(), out.size());
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_decode(benchmark::State &state) {
    const std::string &in = input();
    std::vector<char> enc(3 * in.size()), out(in.size());
    int n = dqp::rle_encode(in.data(), in.size(), enc.data(), enc.size());
    for (auto _ : state) {
        int d = dqp::rle_decode(enc.data(), n, out.data(), out.size());
        benchmark::DoNotOptimize(d);
    }
    // Throughput in decoded (packet) bytes.
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

BENCHMARK(BM_memcpy);
BENCHMARK(BM_encode);
BENCHMARK(BM_decode);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const std::string &in = input();
    std::vector<char> enc(3 * in.size());
    int n = dqp::rle_encode(in.data(), in.size(), enc.data(), enc.size());
    double copy = reporter.mb_per_s("BM_memcpy");
    double e = reporter.mb_per_s("BM_encode"), d = reporter.mb_per_s("BM_decode");
    printf("\ninput: %zu-byte METADATA packet of rows, encoded to %d bytes (%.1f%%)\n", in.size(),
           n, 100.0 * n / in.size());
    printf("memcpy  %9.1f MB/s  (baseline)\n", copy);
    printf("encode  %9.1f MB/s  %.3f x memcpy   goal >= 400 MB/s\n", e, copy > 0 ? e / copy : 0);
    printf("decode  %9.1f MB/s  %.3f x memcpy   goal >= 1000 MB/s\n", d, copy > 0 ? d / copy : 0);
    benchmark::Shutdown();
    return 0;
}
