// The gateway's row path on its own: rows of a 128-row rowset, as a driver
// leaves them in column-wise arrays (an INTEGER of precision 10 and a
// VARCHAR(20) holding "row N"), formatted into DATA packets, batched into
// METADATA packets, run-length encoded and written to a loopback TCP
// connection whose other end a thread drains, exactly as FETCHMANY does after
// each driver call. Beside it, in the same run, the floor: writing the same
// number of frame bytes to the same connection in 64 KB pieces.
//
//   row_path_bench [google-benchmark flags]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "bench_ratio.h"
#include "gateway/row_format.h"
#include "gateway/rowset.h"
#include "protocol/packet.h"
#include "runtime/client_table.h"
#include "runtime/packet_exchange.h"

namespace {

using vnx::RowsetColumn;

constexpr size_t kRows = 128;
constexpr int kRowsetsPerIteration = 64;  // 8192 rows an iteration

// A loopback TCP connection: `send_fd` is attached as a client slot, and a
// thread reads and discards whatever arrives at the other end.
class Drain {
  public:
    Drain() {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
            perror("loopback listener");
            exit(1);
        }
        send_fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(send_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            perror("connect");
            exit(1);
        }
        recv_fd_ = accept(listener, nullptr, nullptr);
        close(listener);
        reader_ = std::thread([this] {
            std::vector<char> buf(1 << 18);
            for (;;) {
                ssize_t n = read(recv_fd_, buf.data(), buf.size());
                if (n <= 0) return;
                received_ += static_cast<size_t>(n);
            }
        });
        client = vnx::attach_socket(send_fd, vnx::TRANSPORT_TCPIP);
    }
    size_t received() const { return received_; }
    int send_fd = -1;
    int client = -1;

  private:
    int recv_fd_ = -1;
    std::atomic<size_t> received_{0};
    std::thread reader_;
};

Drain &drain() {
    static Drain *d = new Drain;  // lives until the process ends
    return *d;
}

struct Rowset {
    std::vector<vnx::svr_column> cols{2};
    std::vector<char> ints = std::vector<char>(kRows * sizeof(SQLINTEGER));
    std::vector<char> texts = std::vector<char>(kRows * vnx::kColumnDataSize);
    std::vector<SQLLEN> int_len = std::vector<SQLLEN>(kRows, sizeof(SQLINTEGER));
    std::vector<SQLLEN> text_len = std::vector<SQLLEN>(kRows);
    std::vector<RowsetColumn> set;
    Rowset() {
        cols[0].sql_type = SQL_INTEGER;
        cols[0].precision = 10;
        cols[1].sql_type = SQL_VARCHAR;
        cols[1].precision = 20;
        for (size_t i = 0; i < kRows; i++) {
            SQLINTEGER v = static_cast<SQLINTEGER>(500000 + i * 37);
            memcpy(ints.data() + i * sizeof v, &v, sizeof v);
            char *t = texts.data() + i * vnx::kColumnDataSize;
            text_len[i] = snprintf(t, vnx::kColumnDataSize, "row %d", static_cast<int>(v));
        }
        set = {{ints.data(), int_len.data(), sizeof(SQLINTEGER)},
               {texts.data(), text_len.data(), static_cast<size_t>(vnx::kColumnDataSize)}};
    }
};

// One FETCHMANY's worth of the row path: kRowsetsPerIteration rowsets, then
// the EOF. False when a row was refused.
bool send_rows(int client, const Rowset &rs) {
    vnx::ReplyBatch batch(client);
    vnx::dqp_reset_metaqueue();
    size_t size = 0;
    vnx::MetaSink sink = vnx::dqp_meta_sink(client);
    for (int k = 0; k < kRowsetsPerIteration; k++)
        for (size_t i = 0; i < kRows; i++)
            if (vnx::queue_rowset_row(sink, rs.cols, rs.set, i, &size) != vnx::RowQueued::Ok)
                return false;
    return vnx::dqp_send_metapkt(client, dqp::PKT_TYPE_EOF, SQL_NO_DATA_FOUND, {}) >= 0;
}

// Bytes the reader has had once it stops receiving.
size_t settled_received(const Drain &d) {
    size_t last = d.received();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        size_t now = d.received();
        if (now == last) return now;
        last = now;
    }
}

const Rowset &rowset() {
    static const Rowset rs;
    return rs;
}

size_t frame_bytes = 0;  // what one send_rows writes, measured in main

void BM_row_path(benchmark::State &state) {
    Drain &d = drain();
    for (auto _ : state)
        if (!send_rows(d.client, rowset())) {
            state.SkipWithError("a row was not queued");
            return;
        }
    state.SetItemsProcessed(state.iterations() * kRowsetsPerIteration * kRows);
}

// The same bytes through the same connection, 64 KB a write.
void BM_write_floor(benchmark::State &state) {
    Drain &d = drain();
    static std::vector<char> bytes(1 << 16, 'x');
    for (auto _ : state) {
        for (size_t left = frame_bytes; left > 0;) {
            size_t n = std::min(left, bytes.size());
            if (write(d.send_fd, bytes.data(), n) != static_cast<ssize_t>(n)) {
                state.SkipWithError("write failed");
                return;
            }
            left -= n;
        }
    }
    state.SetItemsProcessed(state.iterations() * kRowsetsPerIteration * kRows);
}

BENCHMARK(BM_write_floor)->UseRealTime();
BENCHMARK(BM_row_path)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    Drain &d = drain();
    size_t before = settled_received(d);
    if (!send_rows(d.client, rowset())) {
        fprintf(stderr, "row_path_bench: a row was not queued\n");
        return 1;
    }
    frame_bytes = settled_received(d) - before;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double path = reporter.time_ns("BM_row_path/real_time"),
           floor = reporter.time_ns("BM_write_floor/real_time");
    double rows = kRowsetsPerIteration * static_cast<double>(kRows);
    printf(
        "row path: %zu frame bytes per %.0f rows (%.1f a row); %.1f ns a row against a write "
        "floor of %.1f ns a row; floor/path %.2f\n",
        frame_bytes, rows, frame_bytes / rows, path / rows, floor / rows,
        path > 0 ? floor / path : 0.0);
    benchmark::Shutdown();
    return 0;
}
