// The client's side of receiving a large result: rows per second from the
// frames a gateway sends to the row values handed to a callback, beside a
// memcpy of the same frame bytes and the receive path as first written, all
// measured in the same run.
//
// The input is the gateway's commonest traffic: rows of two columns, an
// integer right-aligned to width 10 ("    123456") and a short text
// ("row 123456"), batched 128 to a METADATA packet by the gateway's own
// MetaQueue and run-length framed by frame_encode.
//
// Kernels:
//   memcpy      copies the frame bytes (the floor nothing can beat)
//   first_path  the first decoder and the first reply parsing: a Reply of
//               strings per row, moved into a Row callback
//   batch_path  frame_decode and SplitReplies (one checked pass per frame),
//               rows handed over as views: the parsing SqlClient now does,
//               without a socket
//   sqlclient   SqlClient::fetchmany with a Row callback, reading the frames
//               from a socket pair they were written into beforehand (system
//               calls and all, one thread; the writing is not timed)
//   sqlclient_views  the same through fetchmany_views
//
// Every kernel folds the values it saw into a checksum; the program fails when
// two kernels disagree.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "client/dqp_client.h"
#include "client/sql_client.h"
#include "protocol/meta_queue.h"
#include "protocol/packet.h"
#include "protocol/rle.h"
#include "tests/unit/client/reply_reference.h"
#include "tests/unit/protocol/rle_reference.h"

namespace {

// Rows per batch: 16 METADATA frames, small enough that the whole batch fits
// in a socket pair's buffers.
constexpr int kFrames = 16;
constexpr int kRows = kFrames * dqp::META_MAX_ENTRIES;

// The frames of one batch of rows, as the gateway sends them, one after the
// other in one buffer, and where each starts.
struct Frames {
    std::string bytes;
    std::vector<size_t> starts;
};

Frames make_frames() {
    Frames f;
    dqp::MetaQueue queue;
    auto send = [&f](char *pkt) {
        char frame[dqp::PKT_MAX_SIZE];
        int n = dqp::frame_encode(pkt, strlen(pkt), frame, sizeof frame);
        if (n < 0) return -1;
        f.starts.push_back(f.bytes.size());
        f.bytes.append(frame, static_cast<size_t>(n));
        return 0;
    };
    for (int i = 0; i < kRows; i++) {
        char number[16], text[24];
        snprintf(number, sizeof number, "%10d", 100000 + i * 37);
        snprintf(text, sizeof text, "row %d", 100000 + i * 37);
        std::string_view args[] = {number, text};
        (void)queue.add(dqp::PKT_TYPE_DATA, 0, args, dqp::PKT_MAX_SIZE, send);
    }
    (void)queue.add(dqp::PKT_TYPE_EOF, 100, {}, dqp::PKT_MAX_SIZE, send);  // sends the queue first
    return f;
}

const Frames &frames() {
    static const Frames f = make_frames();
    return f;
}

// Folds a row's values into a checksum that depends on every value's length
// and on its bytes at both ends.
struct Checksum {
    uint64_t sum = 0;
    size_t rows = 0;
    void add(std::string_view v) {
        sum = sum * 31 + v.size();
        if (!v.empty())
            sum = sum * 31 + static_cast<unsigned char>(v.front()) * 7 +
                  static_cast<unsigned char>(v.back());
    }
};

void count_rows(benchmark::State &state) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kRows);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frames().bytes.size()));
}

void BM_memcpy(benchmark::State &state) {
    const Frames &f = frames();
    std::vector<char> out(f.bytes.size());
    for (auto _ : state) {
        memcpy(out.data(), f.bytes.data(), f.bytes.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    count_rows(state);
}

// --- the path as first written ----------------------------------------------

// One batch through the first decoder and reply parsing; false when anything
// did not decode.
bool first_path(const dqp::RowFn &on_row) {
    const Frames &f = frames();
    char pkt[dqp::PKT_BUFSIZE];
    std::vector<dqp::Reply> pending;
    for (size_t start : f.starts) {
        size_t flen = 0;
        if (dqp::frame_length(f.bytes.data() + start, dqp::PKT_MAX_SIZE, &flen) != 0) return false;
        int len = rle_reference::frame_decode(f.bytes.data() + start, flen, pkt, sizeof pkt);
        if (len < 0 || reply_reference::unpack(pkt, static_cast<size_t>(len), &pending) != 0)
            return false;
        for (dqp::Reply &p : pending) {
            dqp::Reply r = std::move(p);  // as next_reply handed each one over
            if (r.type == dqp::PKT_TYPE_DATA && on_row(std::move(r.args)) != 0) return false;
        }
    }
    return true;
}

Checksum first_path_sum() {
    Checksum c;
    first_path([&c](dqp::Row &&row) {
        c.rows++;
        for (const std::string &v : row)
            c.add(v);
        return 0;
    });
    return c;
}

void BM_first_path(benchmark::State &state) {
    size_t seen = 0;
    dqp::RowFn on_row = [&seen](dqp::Row &&row) {
        seen += row.size();
        return 0;
    };
    for (auto _ : state) {
        if (!first_path(on_row)) state.SkipWithError("the frames did not decode");
        benchmark::DoNotOptimize(seen);
    }
    count_rows(state);
}

// --- the path SqlClient takes, without a socket ------------------------------

bool batch_path(const dqp::RowViewFn &on_row) {
    const Frames &f = frames();
    char pkt[dqp::PKT_BUFSIZE];
    dqp::SplitReplies batch;
    for (size_t start : f.starts) {
        size_t flen = 0;
        if (dqp::frame_length(f.bytes.data() + start, dqp::PKT_MAX_SIZE, &flen) != 0) return false;
        int len = dqp::frame_decode(f.bytes.data() + start, flen, pkt, sizeof pkt);
        if (len < 0 || batch.split(pkt, static_cast<size_t>(len)) != 0) return false;
        for (size_t i = 0; i < batch.size(); i++) {
            dqp::ReplyView r = batch[i];
            if (r.type == dqp::PKT_TYPE_DATA && on_row(r.args) != 0) return false;
        }
    }
    return true;
}

// The checksum of a kernel that hands rows over as views.
template <class Run>
Checksum view_sum(Run run) {
    Checksum c;
    run([&c](std::span<const std::string_view> row) {
        c.rows++;
        for (std::string_view v : row)
            c.add(v);
        return 0;
    });
    return c;
}

void BM_batch_path(benchmark::State &state) {
    size_t seen = 0;
    dqp::RowViewFn on_row = [&seen](std::span<const std::string_view> row) {
        seen += row.size();
        return 0;
    };
    for (auto _ : state) {
        if (!batch_path(on_row)) state.SkipWithError("the frames did not decode");
        benchmark::DoNotOptimize(seen);
    }
    count_rows(state);
}

// --- SqlClient over a socket pair -------------------------------------------

// A client whose gateway end is only a socket: each batch is written into it
// before the client asks, so one thread can play both ends.
class Loopback {
  public:
    Loopback() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
        int big = 4 << 20;
        for (int fd : fds) {
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        }
        conn_ = dqp::Connection::adopt(fds[0], 5000);
        gateway_ = fds[1];
        sql_ = std::make_unique<dqp::SqlClient>(*conn_);
    }
    ~Loopback() {
        if (gateway_ >= 0) ::close(gateway_);
    }

    // Writes one batch for the client to read; false when the socket did
    // not take it whole.
    bool load() {
        const std::string &b = frames().bytes;
        return send(gateway_, b.data(), b.size(), MSG_DONTWAIT) == static_cast<ssize_t>(b.size());
    }
    // Drops the requests the client sent.
    void drain() {
        char buf[4096];
        while (recv(gateway_, buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
    }
    dqp::SqlClient *sql() { return sql_.get(); }

  private:
    std::unique_ptr<dqp::Connection> conn_;
    std::unique_ptr<dqp::SqlClient> sql_;
    int gateway_ = -1;
};

// One batch through SqlClient::fetchmany; false when it failed. With state,
// the gateway's half (writing the frames, dropping the request) is left out
// of the time.
bool sqlclient_batch(Loopback &lb, const dqp::RowFn &on_row, benchmark::State *state = nullptr) {
    if (state != nullptr) state->PauseTiming();
    bool loaded = lb.load();
    if (state != nullptr) state->ResumeTiming();
    int rc = loaded ? lb.sql()->fetchmany("C1", nullptr, on_row) : -1;
    if (state != nullptr) state->PauseTiming();
    lb.drain();
    if (state != nullptr) state->ResumeTiming();
    return rc == 0;
}

Checksum sqlclient_sum() {
    Loopback lb;
    Checksum c;
    sqlclient_batch(lb, [&c](dqp::Row &&row) {
        c.rows++;
        for (const std::string &v : row)
            c.add(v);
        return 0;
    });
    return c;
}

void BM_sqlclient(benchmark::State &state) {
    Loopback lb;
    size_t seen = 0;
    dqp::RowFn on_row = [&seen](dqp::Row &&row) {
        seen += row.size();
        return 0;
    };
    for (auto _ : state) {
        if (!sqlclient_batch(lb, on_row, &state)) state.SkipWithError(lb.sql()->error().c_str());
        benchmark::DoNotOptimize(seen);
    }
    count_rows(state);
}

bool sqlclient_views_batch(Loopback &lb, const dqp::RowViewFn &on_row,
                           benchmark::State *state = nullptr) {
    if (state != nullptr) state->PauseTiming();
    bool loaded = lb.load();
    if (state != nullptr) state->ResumeTiming();
    int rc = loaded ? lb.sql()->fetchmany_views("C1", nullptr, on_row) : -1;
    if (state != nullptr) state->PauseTiming();
    lb.drain();
    if (state != nullptr) state->ResumeTiming();
    return rc == 0;
}

void BM_sqlclient_views(benchmark::State &state) {
    Loopback lb;
    size_t seen = 0;
    dqp::RowViewFn on_row = [&seen](std::span<const std::string_view> row) {
        seen += row.size();
        return 0;
    };
    for (auto _ : state) {
        if (!sqlclient_views_batch(lb, on_row, &state))
            state.SkipWithError(lb.sql()->error().c_str());
        benchmark::DoNotOptimize(seen);
    }
    count_rows(state);
}

BENCHMARK(BM_memcpy);
BENCHMARK(BM_first_path);
BENCHMARK(BM_batch_path);
BENCHMARK(BM_sqlclient);
BENCHMARK(BM_sqlclient_views);

// A kernel's rows/s: the median when run with --benchmark_repetitions, 0 when
// it was filtered out.
double rows_per_s(const RatioReporter &reporter, const std::string &name) {
    double median = reporter.items_per_s(name + "_median");
    return median > 0 ? median : reporter.items_per_s(name);
}

void print_line(const char *label, double rate, double copy, double first) {
    if (rate <= 0) return;
    printf("%-12s %8.2f M rows/s  %6.3f x memcpy  %5.2f x first path\n", label, rate / 1e6,
           copy > 0 ? rate / copy : 0, first > 0 ? rate / first : 0);
}

// Prints the figures; false when the kernels disagree on the rows.
bool summary(const RatioReporter &reporter) {
    const Frames &f = frames();
    Checksum want = first_path_sum();
    bool same = want.rows == kRows;
    Loopback lb;
    Checksum views = view_sum([&lb](const dqp::RowViewFn &fn) { sqlclient_views_batch(lb, fn); });
    for (Checksum got : {sqlclient_sum(), view_sum(batch_path), views})
        same = same && got.rows == want.rows && got.sum == want.sum;
    double copy = rows_per_s(reporter, "BM_memcpy");
    double first = rows_per_s(reporter, "BM_first_path");
    printf("\n%d rows in %zu frames, %zu bytes (%.1f bytes a row)\n", kRows, f.starts.size(),
           f.bytes.size(), static_cast<double>(f.bytes.size()) / kRows);
    print_line("memcpy", copy, copy, first);
    print_line("first path", first, copy, first);
    print_line("batch path", rows_per_s(reporter, "BM_batch_path"), copy, first);
    print_line("sqlclient", rows_per_s(reporter, "BM_sqlclient"), copy, first);
    print_line("sql views", rows_per_s(reporter, "BM_sqlclient_views"), copy, first);
    if (!same) printf("the kernels DISAGREE on the rows\n");
    return same;
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    bool same = summary(reporter);
    benchmark::Shutdown();
    return same ? 0 : 1;
}
