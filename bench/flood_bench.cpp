// flood_bench: a legitimate client's port request while another address
// floods the base port with requests it never claims, beside the same request
// on the quiet master, measured in the same run.
//
//   flood_bench [--requests N] [--flooders F] [--cap N] [--bin DIR]
//
// Sets up a temporary installation (DB_ROOT that is also the current
// directory, its own configuration store, odbserver copied in), starts
// db_dqpserver --headless on a free base port with its default warm spare,
// and measures, in alternating blocks of ten so that both see the same
// machine:
//   a. quiet: requests from 127.0.0.1, each timed from connecting to the
//      base port to the port's arrival (request_server); then, untimed,
//      connect, START, STOP and wait until the gateway has closed;
//   b. flooded: F threads at 127.0.0.2 send server requests to the base port
//      as fast as it answers and never connect to a port they get; after a
//      head start of 200 ms, requests from 127.0.0.1 as in a; then the flood
//      stops (the gateways it was handed stay, unclaimed).
// N requests of each kind. Prints the medians and p95 of a and b and their ratio (goal: b within 2x
// of a, and no request of 127.0.0.1 refused), what the flooder got (ports,
// "-1" answers, closes without an answer), and how many gateways the master
// ran at the end of the flood with their resident memory.
//
// --cap N sets PortServer "max_pending_per_host" (0: no cap); by default the
// master's own default holds. --bin DIR takes db_dqpserver and odbserver from
// DIR (for example the build of an earlier revision, for a before/after in
// the same set-up).
//
// Notes: every loop is bounded by a count and by time; SIGINT or SIGTERM ends
// the current phase early. At the end the master gets SIGTERM (it ends its
// gateways) and the temporary directory is removed. All traffic stays on the
// loopback network (127.0.0.1 and 127.0.0.2).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "client/dqp_client.h"
#include "client/port_query.h"
#include "protocol/packet.h"
#include "support/config_store.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kLegit = "127.0.0.1";
constexpr const char *kFlooder = "127.0.0.2";
constexpr int kTimeoutMs = 10000;  // bound of every single wait
constexpr int kHeadStartMs = 200;  // the flood runs alone this long first
constexpr int kBlock = 10;         // requests per block

std::atomic<bool> interrupted{false};

extern "C" void on_signal(int) {
    interrupted = true;
}

struct Options {
    int requests = 200;
    int flooders = 2;
    int cap = -1;     // -1: PortServer "max_pending_per_host" not set
    std::string bin;  // empty: the programs of this build
};

struct Installation {
    std::string dir;
    std::filesystem::path old_cwd;
    int base = 0;
    pid_t master = -1;
    std::string master_path = VNX_DB_DQPSERVER_PATH;
    std::string gateway_path = VNX_ODBSERVER_PATH;
};

double elapsed_us(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string read_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// ---- options ----

int usage() {
    fprintf(stderr, "usage: flood_bench [--requests N] [--flooders F] [--cap N] [--bin DIR]\n");
    return 2;
}

bool parse_count(const char *text, int min, int max, int *out) {
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < min || v > max) return false;
    *out = static_cast<int>(v);
    return true;
}

bool parse_options(int argc, char **argv, Options *opts) {
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc) return false;
        std::string name = argv[i];
        const char *value = argv[i + 1];
        if (name == "--bin") {
            opts->bin = value;
            continue;
        }
        bool ok = name == "--requests"   ? parse_count(value, 1, 100000, &opts->requests)
                  : name == "--flooders" ? parse_count(value, 1, 16, &opts->flooders)
                  : name == "--cap"      ? parse_count(value, 0, 200, &opts->cap)
                                         : false;
        if (!ok) return false;
    }
    return true;
}

// ---- the installation and its master ----

// A base port with itself and the 101 ports above it free on every address.
int free_base_port() {
    int base = 20000 + (getpid() * 250) % 12000;
    for (int tries = 0; tries < 200; tries++, base += 250) {
        if (base > 32500) base = 20000;
        bool ok = true;
        for (int p = base; p <= base + 101 && ok; p++) {
            int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int on = 1;
            setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(p));
            ok = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
            close(s);
        }
        if (ok) return base;
    }
    return 0;
}

bool make_installation(Installation *inst, const Options &opts, std::string *err) {
    if (!opts.bin.empty()) {
        inst->master_path = opts.bin + "/db_dqpserver";
        inst->gateway_path = opts.bin + "/odbserver";
    }
    char tmpl[] = "/tmp/vnx_floodbench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        *err = std::string("mkdtemp: ") + strerror(errno);
        return false;
    }
    inst->dir = tmpl;
    inst->old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(inst->dir);
    inst->base = free_base_port();
    if (inst->base == 0) {
        *err = "no free range of 102 ports for the master";
        return false;
    }
    std::string path = inst->dir + "/registry.db";
    setenv("VNX_REGISTRY", path.c_str(), 1);
    setenv("DQP_SPAWNWAIT", "10", 1);
    auto store = vnx::ConfigStore::open(path, true, err);
    if (!store) return false;
    std::string root = vnx::kRootKey;
    if (store->set_value(root, "DB_ROOT", inst->dir) != 0 ||
        store->set_value(root, "DB_DQPBASE", std::to_string(inst->base)) != 0 ||
        store->create_key(root + "\\PortServer") != 0 ||
        store->create_key(root + "\\ODBServer") != 0 ||
        store->create_key(root + "\\NetServer") != 0 ||
        (opts.cap >= 0 && store->set_value(root + "\\PortServer", "max_pending_per_host",
                                           std::to_string(opts.cap)) != 0)) {
        *err = "cannot write the configuration store: " + store->error();
        return false;
    }
    std::error_code ec;
    std::filesystem::copy_file(inst->gateway_path, inst->dir + "/odbserver", ec);
    if (ec) {
        *err = "cannot copy " + inst->gateway_path + ": " + ec.message();
        return false;
    }
    std::filesystem::permissions(inst->dir + "/odbserver", std::filesystem::perms::owner_all);
    return true;
}

bool start_master(Installation *inst, std::string *err) {
    std::string err_path = inst->dir + "/master.err";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char arg0[] = "db_dqpserver", arg1[] = "--headless";
    char *argv[] = {arg0, arg1, nullptr};
    int rc = posix_spawn(&inst->master, inst->master_path.c_str(), &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        inst->master = -1;
        *err = "cannot start " + inst->master_path + ": " + strerror(rc);
        return false;
    }
    auto end = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
    std::string answer, e;
    while (Clock::now() < end && !interrupted) {
        if (dqp::text_query(kLegit, inst->base, "Active", &answer, &e) == 0 && answer == "0")
            return true;
        sleep_ms(10);
    }
    *err = "the master did not answer \"?Active\" within 10 s\n" + read_text(err_path);
    return false;
}

bool wait_exit(pid_t pid, int timeout_ms) {
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return true;
        sleep_ms(2);
    } while (Clock::now() < end);
    return false;
}

void remove_installation(Installation *inst) {
    if (inst->master > 0) {
        kill(inst->master, SIGTERM);
        if (!wait_exit(inst->master, kTimeoutMs)) {
            kill(inst->master, SIGKILL);
            waitpid(inst->master, nullptr, 0);
        }
    }
    if (!inst->dir.empty()) {
        std::error_code ec;
        std::filesystem::current_path(inst->old_cwd, ec);
        std::filesystem::remove_all(inst->dir, ec);
    }
}

// The gateways the master lists in gateways.pid, and their VmRSS in kB.
struct Gateways {
    size_t count = 0;
    long rss_kb = 0;
};

Gateways running_gateways(const Installation &inst) {
    Gateways g;
    std::istringstream in(read_text(inst.dir + "/gateways.pid"));
    for (long pid; in >> pid;) {
        if (pid <= 1) continue;
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0) {
                g.count++;
                g.rss_kb += atol(line.c_str() + 6);
            }
    }
    return g;
}

// ---- the flooder ----

// One server request from 127.0.0.2: the answer ("" when the connection
// closed without one), never claimed.
std::string flood_request(int base) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    timeval tv{kTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, kFlooder, &from.sin_addr);
    inet_pton(AF_INET, kLegit, &to.sin_addr);
    to.sin_port = htons(static_cast<uint16_t>(base));
    std::string answer;
    if (bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
        connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 &&
        send(fd, "odb", 3, MSG_NOSIGNAL) == 3) {
        char buf[32];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
            answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return answer;
}

// Floods from the constructor to the destructor; counts what it got.
class Flood {
  public:
    Flood(int base, int threads) {
        for (int i = 0; i < threads; i++)
            threads_.emplace_back([this, base] { run(base); });
    }
    ~Flood() { stop(); }
    Flood(const Flood &) = delete;
    Flood &operator=(const Flood &) = delete;
    void stop() {
        stop_ = true;
        for (auto &t : threads_)
            if (t.joinable()) t.join();
    }
    std::atomic<long> ports{0}, refused{0}, closed{0};
    double seconds() const { return std::chrono::duration<double>(Clock::now() - t0_).count(); }

  private:
    void run(int base) {
        while (!stop_ && !interrupted) {
            std::string a = flood_request(base);
            if (a == "-1")
                refused++;
            else if (atoi(a.c_str()) > base)
                ports++;
            else
                closed++;
        }
    }
    std::atomic<bool> stop_{false};
    Clock::time_point t0_ = Clock::now();
    std::vector<std::thread> threads_;
};

// What the flooder got over every flooded block.
struct FloodTally {
    long ports = 0, refused = 0, closed = 0;
    double seconds = 0;
    void add(const Flood &f) {
        ports += f.ports.load();
        refused += f.refused.load();
        closed += f.closed.load();
        seconds += f.seconds();
    }
};

// ---- the legitimate client ----

struct LegitResult {
    std::vector<double> us;
    Stats request_us;
    long refused = 0;  // no port: closed, "-1" or no answer
    long failed = 0;   // a port, but the session failed
    std::string first_error;
};

// One session of 127.0.0.1: the port request's time in microseconds, or -1
// when it got no port (-2 when the session failed after it did).
double legit_session(int base, std::string *err) {
    auto t0 = Clock::now();
    int port = 0;
    if (dqp::request_server(kLegit, base, "odb", &port, err, kTimeoutMs) != 0) return -1;
    double us = elapsed_us(t0);
    auto c = dqp::Connection::open(kLegit, port, err, kTimeoutMs);
    if (!c) return -2;
    dqp::Reply r;
    if (c->request(dqp::PKT_TYPE_START, 0, {"bench", "", "pw"}, &r) != 0 ||
        r.type != dqp::PKT_TYPE_OK) {
        *err = "START failed: " + c->error();
        return -2;
    }
    if (c->send(dqp::PKT_TYPE_STOP, 0) != 0 || !c->peer_closed(kTimeoutMs)) {
        *err = "the gateway did not end after STOP";
        return -2;
    }
    return us;
}

// Runs `requests` sessions of 127.0.0.1 and adds them to *res.
void legit_block(int base, int requests, LegitResult *res) {
    for (int i = 0; i < requests && !interrupted; i++) {
        std::string err;
        double t = legit_session(base, &err);
        if (t >= 0) res->us.push_back(t);
        if (t == -1) res->refused++;
        if (t == -2) res->failed++;
        if (t < 0 && res->first_error.empty()) res->first_error = err;
    }
    res->request_us = stats_of(res->us);
}

// ---- report ----

void print_stats(const char *name, const Stats &s) {
    printf("  %-26s %6zu %9.0f %9.0f %9.0f\n", name, s.n, s.median, s.p95, s.max);
}

void print_legit(const char *name, const LegitResult &r) {
    print_stats(name, r.request_us);
    if (r.refused > 0 || r.failed > 0)
        printf("    refused: %ld, failed after a port: %ld (first: %s)\n", r.refused, r.failed,
               r.first_error.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    Options opts;
    if (!parse_options(argc, argv, &opts)) return usage();
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Installation inst;
    std::string err;
    if (!make_installation(&inst, opts, &err) || !start_master(&inst, &err)) {
        fprintf(stderr, "flood_bench: cannot set up the installation\n%s\n", err.c_str());
        remove_installation(&inst);
        return 1;
    }
    printf("master %s on base port %d, DB_ROOT %s, max_pending_per_host %s\n",
           inst.master_path.c_str(), inst.base, inst.dir.c_str(),
           opts.cap < 0 ? "(default)" : std::to_string(opts.cap).c_str());
    printf(
        "%d requests from %s on the quiet master, alternating by tens with %d while %d "
        "threads at %s flood the base port...\n",
        opts.requests, kLegit, opts.requests, opts.flooders, kFlooder);
    fflush(stdout);
    LegitResult quiet, flooded;
    FloodTally tally;
    Gateways held;
    for (int done = 0; done < opts.requests && !interrupted; done += kBlock) {
        int n = std::min(kBlock, opts.requests - done);
        legit_block(inst.base, n, &quiet);
        Flood flood(inst.base, opts.flooders);
        sleep_ms(kHeadStartMs);
        legit_block(inst.base, n, &flooded);
        held = running_gateways(inst);
        flood.stop();
        tally.add(flood);
    }

    printf("\nport request of %s (us)       n    median       p95       max\n", kLegit);
    print_legit("quiet master", quiet);
    print_legit("flooded from 127.0.0.2", flooded);
    double ratio =
        quiet.request_us.median > 0 ? flooded.request_us.median / quiet.request_us.median : 0;
    printf("  ratio of medians: %.2f x   goal <= 2 x, none refused\n", ratio);
    printf("\nflooder (%d threads, %.1f s in all)\n", opts.flooders, tally.seconds);
    printf("  ports handed to it (gateways started for it)  %8ld\n", tally.ports);
    printf("  answered -1                                    %8ld\n", tally.refused);
    printf("  closed without an answer                       %8ld\n", tally.closed);
    printf("  gateways running at the end of the flood       %8zu  (%ld MB resident)\n", held.count,
           held.rss_kb / 1024);
    remove_installation(&inst);
    bool ok = quiet.refused + quiet.failed + flooded.refused + flooded.failed == 0;
    return ok && !interrupted ? 0 : 1;
}
