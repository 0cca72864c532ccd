// Run-length encode and decode throughput on row-like packets, beside memcpy
// of the same bytes and the first encoder and decoder, all measured in the
// same run.
//
// Two inputs, each a METADATA packet of DATA rows as a gateway sends them:
// "rows" holds short numbers, names padded with blanks to their column width,
// dates and amounts; "gateway" holds 128 rows of a two-column result (an
// integer right-aligned to width 10 and a short text), the gateway's commonest
// traffic.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "protocol/packet.h"
#include "protocol/rle.h"
#include "tests/unit/protocol/rle_reference.h"

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

// A METADATA packet of 128 DATA rows of two arguments: "    123456" and
// "row 123456".
std::string gateway_packet() {
    std::vector<std::string> rows;
    char row[dqp::PKT_BUFSIZE];
    for (int i = 0; i < 128; i++) {
        char number[16], text[24];
        snprintf(number, sizeof number, "%10d", 100000 + i * 37);
        snprintf(text, sizeof text, "row %d", 100000 + i * 37);
        std::vector<std::string_view> fields{number, text};
        int n = dqp::build_packet(row, sizeof row, dqp::PKT_TYPE_DATA, 0, fields);
        rows.emplace_back(row, n);
    }
    std::vector<std::string_view> views(rows.begin(), rows.end());
    char pkt[dqp::PKT_BUFSIZE];
    int n = dqp::build_packet(pkt, sizeof pkt, dqp::PKT_TYPE_METADATA, 0, views);
    return std::string(pkt, n);
}

const std::string &input(const std::string &name) {
    static const std::string rows = row_packet(), gateway = gateway_packet();
    return name == "gateway" ? gateway : rows;
}

void BM_memcpy(benchmark::State &state, const std::string &name) {
    const std::string &in = input(name);
    std::vector<char> out(in.size());
    for (auto _ : state) {
        memcpy(out.data(), in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

template <int (*Encode)(const char *, size_t, char *, size_t)>
void encode_loop(benchmark::State &state, const std::string &name) {
    const std::string &in = input(name);
    std::vector<char> out(3 * in.size());
    for (auto _ : state) {
        int n = Encode(in.data(), in.size(), out.data(), out.size());
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_encode(benchmark::State &state, const std::string &name) {
    encode_loop<dqp::rle_encode>(state, name);
}

// The first encoder, as the baseline the tuned one is measured against; kept
// out of line like the library's encoder, so neither gains from inlining.
[[gnu::noinline]] int encode_reference(const char *in, size_t n, char *out, size_t cap) {
    return rle_reference::rle_encode(in, n, out, cap);
}

void BM_encode_reference(benchmark::State &state, const std::string &name) {
    encode_loop<encode_reference>(state, name);
}

void BM_decode(benchmark::State &state, const std::string &name) {
    const std::string &in = input(name);
    std::vector<char> enc(3 * in.size()), out(in.size());
    int n = dqp::rle_encode(in.data(), in.size(), enc.data(), enc.size());
    for (auto _ : state) {
        int d = dqp::rle_decode(enc.data(), n, out.data(), out.size());
        benchmark::DoNotOptimize(d);
    }
    // Throughput in decoded (packet) bytes.
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

// The first decoder, kept out of line like the library's.
[[gnu::noinline]] int decode_reference(const char *in, size_t n, char *out, size_t cap) {
    return rle_reference::rle_decode(in, n, out, cap);
}

void BM_decode_reference(benchmark::State &state, const std::string &name) {
    const std::string &in = input(name);
    std::vector<char> enc(3 * in.size()), out(in.size());
    int n = dqp::rle_encode(in.data(), in.size(), enc.data(), enc.size());
    for (auto _ : state) {
        int d = decode_reference(enc.data(), n, out.data(), out.size());
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

BENCHMARK_CAPTURE(BM_memcpy, rows, std::string("rows"));
BENCHMARK_CAPTURE(BM_encode, rows, std::string("rows"));
BENCHMARK_CAPTURE(BM_encode_reference, rows, std::string("rows"));
BENCHMARK_CAPTURE(BM_decode, rows, std::string("rows"));
BENCHMARK_CAPTURE(BM_decode_reference, rows, std::string("rows"));
BENCHMARK_CAPTURE(BM_memcpy, gateway, std::string("gateway"));
BENCHMARK_CAPTURE(BM_encode, gateway, std::string("gateway"));
BENCHMARK_CAPTURE(BM_encode_reference, gateway, std::string("gateway"));
BENCHMARK_CAPTURE(BM_decode, gateway, std::string("gateway"));
BENCHMARK_CAPTURE(BM_decode_reference, gateway, std::string("gateway"));

// A benchmark's MB/s: the median when run with --benchmark_repetitions, 0 when
// it was filtered out.
double figure(const RatioReporter &reporter, const std::string &name) {
    double median = reporter.mb_per_s(name + "_median");
    return median > 0 ? median : reporter.mb_per_s(name);
}

// Prints one input's figures; false when the two encoders disagree on it.
bool summary(const RatioReporter &reporter, const std::string &name) {
    const std::string &in = input(name);
    std::vector<char> enc(3 * in.size()), ref_enc(3 * in.size());
    int n = dqp::rle_encode(in.data(), in.size(), enc.data(), enc.size());
    int ref_n = encode_reference(in.data(), in.size(), ref_enc.data(), ref_enc.size());
    bool same =
        n == ref_n && n >= 0 && memcmp(enc.data(), ref_enc.data(), static_cast<size_t>(n)) == 0;
    double copy = figure(reporter, "BM_memcpy/" + name);
    double e = figure(reporter, "BM_encode/" + name);
    double ref = figure(reporter, "BM_encode_reference/" + name);
    double d = figure(reporter, "BM_decode/" + name);
    double ref_d = figure(reporter, "BM_decode_reference/" + name);
    printf("\n%s: %zu-byte METADATA packet of rows, encoded to %d bytes (%.1f%%)\n", name.c_str(),
           in.size(), n, 100.0 * n / in.size());
    printf("memcpy     %9.1f MB/s  (baseline)\n", copy);
    printf("encode     %9.1f MB/s  %.3f x memcpy  %.2f x first encoder   goal >= 400 MB/s\n", e,
           copy > 0 ? e / copy : 0, ref > 0 ? e / ref : 0);
    printf("first enc  %9.1f MB/s  %.3f x memcpy\n", ref, copy > 0 ? ref / copy : 0);
    printf("decode     %9.1f MB/s  %.3f x memcpy  %.2f x first decoder   goal >= 1000 MB/s\n", d,
           copy > 0 ? d / copy : 0, ref_d > 0 ? d / ref_d : 0);
    printf("first dec  %9.1f MB/s  %.3f x memcpy\n", ref_d, copy > 0 ? ref_d / copy : 0);
    if (!same) printf("encode and first encoder DISAGREE on this input\n");
    return same;
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    bool same = summary(reporter, "rows");
    same = summary(reporter, "gateway") && same;
    benchmark::Shutdown();
    return same ? 0 : 1;
}
