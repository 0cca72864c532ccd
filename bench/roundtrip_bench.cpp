// Request round trip of a real gateway, beside a plain TCP ping-pong of the
// same message sizes measured in the same run.
//
// The gateway (odbserver) runs as its own process in a temporary directory
// with its own configuration store; the client sends DISCONNECT before any
// CONNECT, which the gateway answers OK without calling its backend, so the
// figure is the cost of the protocol path alone: build, frame, send, receive,
// decode, dispatch and the same back. The baseline is a forked process that
// reads a message as long as the DQP request frame and answers one as long as
// the reply frame, one send per message, TCP_NODELAY on both sockets.
//
// Every round trip is timed on its own, so the summary shows medians and
// tails rather than means. Benchmarks run a fixed number of iterations per
// repetition (no calibration runs), with repetitions interleaved at random so
// that a busy neighbour weighs on both sides alike.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"
#include "bench_ratio.h"
#include "client/dqp_client.h"
#include "protocol/packet.h"
#include "protocol/rle.h"
#include "protocol/socket_io.h"
#include "support/config_store.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kInfo = 4711;  // DISCONNECT's info, echoed by the OK
constexpr int kIterations = 20000;
constexpr int kRepetitions = 5;

// Everything the benchmarks share: the gateway, the echo process, the
// message sizes and the round-trip samples of each side.
struct Bench {
    std::string dir;
    std::filesystem::path old_cwd;
    pid_t gateway = -1;
    std::unique_ptr<dqp::Connection> dqp;
    pid_t echo = -1;
    int echo_fd = -1;
    size_t request_size = 0;  // bytes of the DISCONNECT frame
    size_t reply_size = 0;    // bytes of the OK frame
    std::vector<double> dqp_ns, tcp_ns;
};

Bench bench;

// Reads exactly n bytes; false on EOF or error.
bool read_full(int fd, char *buf, size_t n) {
    return dqp::read_full(fd, buf, n) == static_cast<long>(n);
}

using benchnet::connect_loopback;
using benchnet::free_port;
using benchnet::loopback_listener;
using benchnet::set_nodelay;

// The echo process: answers every request_size bytes with reply_size bytes
// until the client closes. Its life is bounded by an alarm.
[[noreturn]] void echo_loop(int listener, size_t request_size, size_t reply_size) {
    alarm(1200);
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    if (fd < 0) _exit(1);
    set_nodelay(fd);
    std::vector<char> in(request_size), out(reply_size, '0');
    while (read_full(fd, in.data(), in.size())) {
        if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
            _exit(1);
    }
    _exit(0);
}

// Forks the echo process and connects to it.
bool start_echo() {
    int port = 0;
    int listener = loopback_listener(&port);
    if (listener < 0) return false;
    fflush(stdout);
    bench.echo = fork();
    if (bench.echo == 0) {
        close(bench.dqp->fd());  // the gateway must see only the benchmark's end
        echo_loop(listener, bench.request_size, bench.reply_size);
    }
    close(listener);
    if (bench.echo < 0) return false;
    bench.echo_fd = connect_loopback(port);
    return bench.echo_fd >= 0;
}

// A temporary directory that is the current directory (the handshake file
// lands there) with its own configuration store.
bool make_installation(std::string *err) {
    char tmpl[] = "/tmp/vnx_rtbench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        *err = std::string("mkdtemp: ") + strerror(errno);
        return false;
    }
    bench.dir = tmpl;
    bench.old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(bench.dir);
    std::string path = bench.dir + "/registry.db";
    setenv("VNX_REGISTRY", path.c_str(), 1);
    auto store = vnx::ConfigStore::open(path, true, err);
    if (!store) return false;
    return store->set_value(vnx::kRootKey, "DB_ROOT", bench.dir) == 0;
}

// Starts odbserver for a free port and waits (polling every 1 ms, at most
// 10 s) for its handshake file. The port, or -1.
int start_gateway(std::string *err) {
    int port = free_port();
    if (port < 0) {
        *err = "no free loopback port";
        return -1;
    }
    char name[32];
    snprintf(name, sizeof name, "dqp_%04X.tmp", static_cast<unsigned>(port));
    std::string path = VNX_ODBSERVER_PATH, port_text = std::to_string(port);
    char *argv[] = {path.data(), path.data(), port_text.data(), nullptr};
    if (posix_spawn(&bench.gateway, path.c_str(), nullptr, nullptr, argv, environ) != 0) {
        *err = "cannot start " + path + ": " + strerror(errno);
        return -1;
    }
    auto end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end) {
        struct stat st;
        if (stat(name, &st) == 0) {
            unlink(name);
            return port;
        }
        if (waitpid(bench.gateway, nullptr, WNOHANG) == bench.gateway) {
            bench.gateway = -1;
            *err = "the gateway exited before it signalled readiness";
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    *err = "the gateway did not signal readiness within 10 s";
    return -1;
}

// Length of the frame the client sends for DISCONNECT.
size_t request_frame_size() {
    char pkt[dqp::PKT_BUFSIZE], frame[dqp::PKT_MAX_SIZE];
    int len = dqp::build_packet(pkt, sizeof pkt, dqp::PKT_TYPE_DISCONNECT, kInfo, {});
    int flen = dqp::frame_encode(pkt, static_cast<size_t>(len), frame, sizeof frame);
    return flen < 0 ? 0 : static_cast<size_t>(flen);
}

// Length of the frame the gateway answers DISCONNECT with, read off the
// wire in one exchange.
size_t reply_frame_size() {
    char frame[dqp::PKT_MAX_SIZE];
    size_t flen = 0;
    if (bench.dqp->send(dqp::PKT_TYPE_DISCONNECT, kInfo) != 0 ||
        !read_full(bench.dqp->fd(), frame, 8) ||
        dqp::frame_length(frame, sizeof frame, &flen) != 0 ||
        !read_full(bench.dqp->fd(), frame + 8, flen - 8))
        return 0;
    return flen;
}

bool set_up(std::string *err) {
    if (!make_installation(err)) return false;
    int port = start_gateway(err);
    if (port < 0) return false;
    bench.dqp = dqp::Connection::open("127.0.0.1", port, err, 10000);
    if (!bench.dqp) return false;
    bench.request_size = request_frame_size();
    bench.reply_size = reply_frame_size();
    if (bench.request_size == 0 || bench.reply_size == 0) {
        *err = "cannot measure the frame sizes: " + bench.dqp->error();
        return false;
    }
    if (!start_echo()) {
        *err = std::string("cannot start the echo process: ") + strerror(errno);
        return false;
    }
    return true;
}

// Waits up to timeout_ms for pid to exit; true when it did (and is reaped).
bool wait_exit(pid_t pid, int timeout_ms) {
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (Clock::now() < end);
    return false;
}

void end_process(pid_t pid) {
    if (pid <= 0) return;
    if (wait_exit(pid, 5000)) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// STOP ends the gateway; closing the echo socket ends the echo process.
void tear_down() {
    if (bench.dqp) (void)bench.dqp->send(dqp::PKT_TYPE_STOP, 0);
    bench.dqp.reset();
    if (bench.echo_fd >= 0) close(bench.echo_fd);
    end_process(bench.gateway);
    end_process(bench.echo);
    if (!bench.dir.empty()) {
        std::error_code ec;
        std::filesystem::current_path(bench.old_cwd, ec);
        std::filesystem::remove_all(bench.dir, ec);
    }
}

void BM_tcp_roundtrip(benchmark::State &state) {
    std::vector<char> out(bench.request_size, '0'), in(bench.reply_size);
    for (auto _ : state) {
        auto t0 = Clock::now();
        if (send(bench.echo_fd, out.data(), out.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(out.size()) ||
            !read_full(bench.echo_fd, in.data(), in.size())) {
            state.SkipWithError("echo exchange failed");
            break;
        }
        bench.tcp_ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
    }
}

void BM_dqp_disconnect(benchmark::State &state) {
    dqp::Reply reply;
    for (auto _ : state) {
        auto t0 = Clock::now();
        if (bench.dqp->request(dqp::PKT_TYPE_DISCONNECT, kInfo, {}, &reply) != 0 ||
            reply.type != dqp::PKT_TYPE_OK || reply.info != kInfo) {
            state.SkipWithError("DISCONNECT was not answered OK");
            break;
        }
        bench.dqp_ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
    }
}

BENCHMARK(BM_tcp_roundtrip)->Iterations(kIterations)->Repetitions(kRepetitions)->UseRealTime();
BENCHMARK(BM_dqp_disconnect)->Iterations(kIterations)->Repetitions(kRepetitions)->UseRealTime();

// Nearest-rank percentile of sorted samples, in microseconds.
double percentile_us(const std::vector<double> &sorted, double p) {
    if (sorted.empty()) return 0;
    size_t rank = static_cast<size_t>(p * static_cast<double>(sorted.size()) + 0.999999);
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1] / 1000.0;
}

void print_row(const char *name, std::vector<double> &ns) {
    std::sort(ns.begin(), ns.end());
    printf("%-22s %8zu %9.1f %9.1f %9.1f %9.1f\n", name, ns.size(), percentile_us(ns, 0.5),
           percentile_us(ns, 0.95), percentile_us(ns, 0.99), percentile_us(ns, 1.0));
}

// Google Benchmark's mean over the repetitions of one benchmark, in
// microseconds (0 when it did not run).
double mean_us(const RatioReporter &reporter, const std::string &name) {
    std::string run = name + "/iterations:" + std::to_string(kIterations) +
                      "/repeats:" + std::to_string(kRepetitions) + "/real_time_mean";
    return reporter.time_ns(run) / 1000.0;
}

void print_summary(const RatioReporter &reporter) {
    printf("\nrequest frame %zu bytes, reply frame %zu bytes (both sides)\n", bench.request_size,
           bench.reply_size);
    printf("%-22s %8s %9s %9s %9s %9s\n", "round trip (us)", "samples", "median", "p95", "p99",
           "max");
    print_row("raw TCP ping-pong", bench.tcp_ns);
    print_row("DQP DISCONNECT -> OK", bench.dqp_ns);
    double tcp = percentile_us(bench.tcp_ns, 0.5), dqp = percentile_us(bench.dqp_ns, 0.5);
    printf("DQP / raw TCP (medians): %.2f x   goal <= 1.15 x\n", tcp > 0 ? dqp / tcp : 0);
    double tcp_mean = mean_us(reporter, "BM_tcp_roundtrip");
    double dqp_mean = mean_us(reporter, "BM_dqp_disconnect");
    printf("DQP / raw TCP (means):   %.2f x   (%.1f us / %.1f us)\n",
           tcp_mean > 0 ? dqp_mean / tcp_mean : 0, dqp_mean, tcp_mean);
}

}  // namespace

int main(int argc, char **argv) {
    // Interleave the repetitions unless the command line says otherwise.
    std::vector<char *> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    bool given = std::any_of(args.begin(), args.end(), [](const char *a) {
        return strstr(a, "--benchmark_enable_random_interleaving") != nullptr;
    });
    if (!given) args.insert(args.begin() + 1, interleave.data());
    int n = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&n, args.data());

    std::string err;
    bool ok = set_up(&err);
    if (!ok) {
        fprintf(stderr, "roundtrip_bench: cannot set up the gateway\n%s\n", err.c_str());
    } else {
        bench.tcp_ns.reserve(kIterations * kRepetitions);
        bench.dqp_ns.reserve(kIterations * kRepetitions);
        RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        print_summary(reporter);
    }
    tear_down();
    benchmark::Shutdown();
    return ok ? 0 : 1;
}
