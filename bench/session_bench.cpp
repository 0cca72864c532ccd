// session_bench: what a new session costs through a real master, beside the
// floor under it measured in the same run.
//
//   session_bench [--sessions N] [--seconds S] [--parallel P] [--spares N]
//                 [--console] [--pg [--no-preload] [--pool]]
//
// Sets up a temporary installation (DB_ROOT directory that is also the
// current directory, its own configuration store, odbserver copied in),
// starts db_dqpserver --headless on a free base port and measures:
//   a. new-session latency: from connecting to the base port to the START
//      reply of one's own gateway (request_server, connect, START), N times,
//      interleaved with N runs of the floor: posix_spawn of spawn_floor_child,
//      waiting for its readiness file (looking every 1 ms), connect, one byte
//      there and back;
//   b. sustained rate: whole sessions (request, START, STOP, gateway gone)
//      per second for S seconds, first one client at a time, then P client
//      threads at once, counting every failure;
//   c. memory: VmRSS of a gateway idle after START;
//   d. request latency under attack: N server requests (each gateway then
//      stopped) on the quiet master, interleaved with N while 50 idle
//      connections and 10 that send a byte every 50 ms stay open on the base
//      port (each reopened when the master drops it);
//   f. a gateway that cannot listen: spawn_server of odbserver for a port a
//      listener of this program holds, until wait_for_child has seen it exit
//      (the path of a port the master could not use), N times, interleaved
//      with N runs of the floor of a.
// --spares N sets PortServer "spares" (default: the master's default, 1);
// --spares 0 measures spawning on the critical path. --console then measures
// the new sessions again with the master's console running (offscreen),
// beside the headless figures of the same run.
//
// --pg measures new PostgreSQL sessions instead of a to d: the installation
// gets the project's ODBC driver list (scripts/odbc-ini) and a DSN for a
// throwaway PostgreSQL server, named by ODBCSYSINI and ODBCINI, which the
// master and its gateways inherit; then N times, interleaved:
//   e. a new PostgreSQL session: request, connect, START, and CONNECT to the
//      DSN until its reply (the gateway's SQLConnect), beside the baseline
//      of the floor run above plus a direct in-process connect and
//      disconnect to the same DSN made as the gateway makes it (connection
//      string, autocommit off, the same SQLGetInfo calls; driver already
//      loaded in this process).
//   The figure is session median / baseline median (each baseline run is
//   one floor run plus the direct connect that follows it). Each session and
//   each baseline run starts 50 ms after the step before it ended. --no-preload
//   sets ODBServer "preload_drivers" to "false": gateways then load their
//   driver at CONNECT, for a comparison in the same conditions. --pool sets
//   ODBServer "pool" to "true": each session after the first is then handed
//   to the gateway that kept the last one's connection.
//
// Notes: every loop is bounded by a count and by time, and SIGINT or SIGTERM
// ends the current phase early. At the end the master gets SIGTERM (it
// terminates its gateways) and the temporary directory is removed. All
// traffic stays on 127.0.0.1.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"
#include "bench_odbc.h"
#include "bench_stats.h"
#include "client/dqp_client.h"
#include "client/port_query.h"
#include "master/spawn.h"
#include "protocol/packet.h"
#include "support/config_store.h"
#include "tests/servers/throwaway_server.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kHost = "127.0.0.1";
constexpr int kTimeoutMs = 10000;                // bound of every single wait
constexpr long kMaxSessionsPerThread = 1000000;  // count bound of the rate loops

// Set by SIGINT and SIGTERM; every loop checks it.
std::atomic<bool> interrupted{false};

extern "C" void on_signal(int) {
    interrupted = true;
}

struct Options {
    int sessions = 200;
    int seconds = 30;
    int parallel = 20;
    int spares = -1;       // -1: not set in the store
    bool console = false;  // also measure new sessions with the console running
    bool pg = false;       // measure new PostgreSQL sessions instead
    bool preload = true;   // false: ODBServer "preload_drivers" is "false"
    bool pool = false;     // true: ODBServer "pool" is "true"
};

// The temporary installation and the master running in it.
struct Installation {
    std::string dir;
    std::filesystem::path old_cwd;
    int base = 0;
    pid_t master = -1;
};

double elapsed_us(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- options ----

int usage() {
    fprintf(stderr,
            "usage: session_bench [--sessions N] [--seconds S] [--parallel P] [--spares N] "
            "[--console] [--pg [--no-preload] [--pool]]\n");
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
        std::string flag = argv[i];
        bool *switch_on = flag == "--console" ? &opts->console
                          : flag == "--pg"    ? &opts->pg
                                              : nullptr;
        if (switch_on != nullptr || flag == "--no-preload" || flag == "--pool") {
            if (switch_on != nullptr) *switch_on = true;
            if (flag == "--no-preload") opts->preload = false;
            if (flag == "--pool") opts->pool = true;
            i--;  // a flag: no value follows
            continue;
        }
        if (i + 1 >= argc) return false;
        std::string name = argv[i];
        bool ok = name == "--sessions"   ? parse_count(argv[i + 1], 1, 100000, &opts->sessions)
                  : name == "--seconds"  ? parse_count(argv[i + 1], 1, 3600, &opts->seconds)
                  : name == "--parallel" ? parse_count(argv[i + 1], 1, 90, &opts->parallel)
                  : name == "--spares"   ? parse_count(argv[i + 1], 0, 16, &opts->spares)
                                         : false;
        if (!ok) return false;
    }
    return true;
}

// ---- ports and processes ----

// With SO_REUSEADDR, as the master and gateways bind: connections in
// TIME_WAIT do not hold a port, listeners do.
bool can_bind(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (s >= 0) setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = s >= 0 && bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    if (s >= 0) close(s);
    return ok;
}

// A base port with itself and the 101 ports above it free right now, or 0.
int free_base_port() {
    // Below the kernel's ephemeral range (32768 and up), so that no client
    // socket takes a gateway's port between this check and the gateway's bind.
    int base = 20000 + (getpid() * 250) % 12000;
    for (int tries = 0; tries < 200; tries++, base += 250) {
        if (base > 32500) base = 20000;
        bool ok = true;
        for (int p = base; p <= base + 101 && ok; p++)
            ok = can_bind(p);
        if (ok) return base;
    }
    return 0;
}

using benchnet::connect_loopback;
using benchnet::free_port;

// Waits up to timeout_ms for pid to exit; true when it did (and is reaped).
bool wait_exit(pid_t pid, int timeout_ms) {
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return true;
        sleep_ms(2);
    } while (Clock::now() < end);
    return false;
}

// VmRSS of pid in kB, or -1.
long vm_rss_kb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
    }
    return -1;
}

std::string read_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// ---- the installation ----

bool make_installation(Installation *inst, const Options &opts, std::string *err) {
    char tmpl[] = "/tmp/vnx_sessbench_XXXXXX";
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
        store->set_value(root, "DB_DQPMAX", std::to_string(inst->base + 101)) != 0 ||
        store->create_key(root + "\\PortServer") != 0 ||
        store->create_key(root + "\\ODBServer") != 0 ||
        store->create_key(root + "\\NetServer") != 0 ||
        (opts.spares >= 0 &&
         store->set_value(root + "\\PortServer", "spares", std::to_string(opts.spares)) != 0) ||
        (!opts.preload &&
         store->set_value(root + "\\ODBServer", "preload_drivers", "false") != 0) ||
        (opts.pool && store->set_value(root + "\\ODBServer", "pool", "true") != 0)) {
        *err = "cannot write the configuration store: " + store->error();
        return false;
    }
    std::error_code ec;
    std::filesystem::copy_file(VNX_ODBSERVER_PATH, inst->dir + "/odbserver", ec);
    if (ec) {
        *err = "cannot copy odbserver: " + ec.message();
        return false;
    }
    std::filesystem::permissions(inst->dir + "/odbserver", std::filesystem::perms::owner_all);
    return true;
}

// True once the port server answers "?Active" with "0", within timeout_ms.
bool wait_active(int base, int timeout_ms) {
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string answer, err;
    while (Clock::now() < end && !interrupted) {
        if (dqp::text_query(kHost, base, "Active", &answer, &err) == 0 && answer == "0")
            return true;
        sleep_ms(10);
    }
    return false;
}

// Starts the master with its standard error in <dir>/master.err: headless,
// or with its console on Qt's offscreen platform.
bool start_master(Installation *inst, std::string *err, bool console = false) {
    std::string err_path = inst->dir + "/master.err";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char arg0[] = "db_dqpserver", arg1[] = "--headless";
    char *argv[] = {arg0, console ? nullptr : arg1, nullptr};
    if (console) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int rc = posix_spawn(&inst->master, VNX_DB_DQPSERVER_PATH, &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        inst->master = -1;
        *err = std::string("cannot start " VNX_DB_DQPSERVER_PATH ": ") + strerror(rc);
        return false;
    }
    if (!wait_active(inst->base, kTimeoutMs)) {
        *err = "the master did not answer \"?Active\" within 10 s\n" + read_text(err_path);
        return false;
    }
    return true;
}

// Stops the master (its gateways end with it).
void stop_master(Installation *inst) {
    if (inst->master > 0) {
        kill(inst->master, SIGTERM);
        if (!wait_exit(inst->master, kTimeoutMs)) {
            kill(inst->master, SIGKILL);
            waitpid(inst->master, nullptr, 0);
        }
        inst->master = -1;
    }
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

// ---- one session, one floor run ----

// Where the time of one new session goes, in microseconds.
struct SessionTimes {
    double request = 0;  // base port: the master spawns the gateway and answers its port
    double connect = 0;  // connecting to the gateway
    double start = 0;    // START until its reply
    double odbc = 0;     // CONNECT to a data source until its reply (--pg)
};

// A new session up to the START reply: the connection and the gateway's pid,
// or null with the reason in *err. *times (optional) gets the steps.
std::unique_ptr<dqp::Connection> start_session(int base, pid_t *gateway, std::string *err,
                                               SessionTimes *times = nullptr) {
    SessionTimes t;
    auto t0 = Clock::now();
    int port = 0;
    if (dqp::request_server(kHost, base, "odb", &port, err, kTimeoutMs) != 0) return nullptr;
    if (port <= 0) {
        *err = "the port server answered " + std::to_string(port);
        return nullptr;
    }
    t.request = elapsed_us(t0);
    auto c = dqp::Connection::open(kHost, port, err, kTimeoutMs);
    if (!c) return nullptr;
    t.connect = elapsed_us(t0) - t.request;
    dqp::Reply r;
    if (c->request(dqp::PKT_TYPE_START, 0, {"bench", "", "pw"}, &r) != 0) {
        *err = "START: " + c->error();
        return nullptr;
    }
    if (r.type != dqp::PKT_TYPE_OK || r.info <= 0) {
        *err = "START answered " + std::string(1, static_cast<char>(r.type)) + " " +
               std::to_string(r.info);
        return nullptr;
    }
    t.start = elapsed_us(t0) - t.request - t.connect;
    if (times != nullptr) *times = t;
    *gateway = r.info;
    return c;
}

// STOP, then waits until the gateway has closed the connection.
bool stop_session(dqp::Connection *c, std::string *err) {
    if (c->send(dqp::PKT_TYPE_STOP, 0) != 0) {
        *err = "STOP: " + c->error();
        return false;
    }
    if (!c->peer_closed(kTimeoutMs)) {
        *err = "the gateway did not close its connection within 10 s of STOP";
        return false;
    }
    return true;
}

// Takes the readiness file away when it is there, as the master does with
// its handshake file; true when it was.
bool take_file(const char *name) {
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    unlink(name);
    return true;
}

// Waits for the floor child's readiness file, looking every 1 ms.
bool wait_ready_file(const char *name, pid_t pid) {
    auto end = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
    while (Clock::now() < end) {
        if (take_file(name)) return true;
        if (waitpid(pid, nullptr, WNOHANG) == pid) return take_file(name);
        sleep_ms(1);
    }
    return false;
}

// One floor run: its duration in microseconds, or -1 with *err.
double floor_once(std::string *err) {
    int port = free_port();
    if (port < 0) {
        *err = "no free loopback port for spawn_floor_child";
        return -1;
    }
    char name[32];
    snprintf(name, sizeof name, "floor_%04X.tmp", static_cast<unsigned>(port));
    unlink(name);
    std::string path = VNX_SPAWN_FLOOR_CHILD_PATH, port_text = std::to_string(port);
    char *argv[] = {path.data(), port_text.data(), name, nullptr};
    auto t0 = Clock::now();
    pid_t pid = 0;
    int rc = posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ);
    if (rc != 0) {
        *err = "cannot start spawn_floor_child: " + std::string(strerror(rc));
        return -1;
    }
    double us = -1;
    int fd = -1;
    char c = 'x';
    if (!wait_ready_file(name, pid)) {
        *err = "spawn_floor_child did not signal readiness";
    } else if ((fd = connect_loopback(port)) < 0) {
        *err = "cannot connect to spawn_floor_child: " + std::string(strerror(errno));
    } else if (send(fd, &c, 1, MSG_NOSIGNAL) != 1 || recv(fd, &c, 1, 0) != 1) {
        *err = "no byte back from spawn_floor_child";
    } else {
        us = elapsed_us(t0);
    }
    if (fd >= 0) close(fd);
    if (!wait_exit(pid, kTimeoutMs)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    unlink(name);
    return us;
}

// ---- the phases ----

struct LatencyResult {
    Stats session_us, floor_us;
    Stats request_us, connect_us, start_us;  // the steps of a session
    long failures = 0;
    std::string first_error;
};

LatencyResult measure_latency(const Installation &inst, int sessions) {
    LatencyResult res;
    std::vector<double> session_us, floor_us, request_us, connect_us, start_us;
    for (int i = 0; i < sessions && !interrupted; i++) {
        std::string err;
        pid_t gateway = 0;
        SessionTimes steps;
        auto t0 = Clock::now();
        auto c = start_session(inst.base, &gateway, &err, &steps);
        double us = elapsed_us(t0);
        if (c && stop_session(c.get(), &err)) {
            session_us.push_back(us);
            request_us.push_back(steps.request);
            connect_us.push_back(steps.connect);
            start_us.push_back(steps.start);
        } else {
            res.failures++;
        }
        double f = floor_once(&err);
        if (f >= 0)
            floor_us.push_back(f);
        else
            res.failures++;
        if (!err.empty() && res.first_error.empty()) res.first_error = err;
    }
    res.session_us = stats_of(session_us);
    res.floor_us = stats_of(floor_us);
    res.request_us = stats_of(request_us);
    res.connect_us = stats_of(connect_us);
    res.start_us = stats_of(start_us);
    return res;
}

// ---- a gateway that cannot listen ----

// One run of f: odbserver of the installation started for a port that a
// listener of this process holds, until wait_for_child has seen it exit and
// reaped it. Its duration in microseconds, or -1 with *err.
double failed_spawn_once(const Installation &inst, std::string *err) {
    int port = 0;
    int holder = benchnet::loopback_listener(&port);
    if (holder < 0) {
        *err = "no loopback listener to hold a port";
        return -1;
    }
    auto t0 = Clock::now();
    pid_t pid = vnx::spawn_server(inst.dir + "/odbserver " + std::to_string(port), port);
    int rc = pid > 0 ? vnx::wait_for_child(port, pid) : 0;
    double us = elapsed_us(t0);
    close(holder);
    if (pid <= 0) {
        *err = "spawn_server could not start odbserver";
        return -1;
    }
    if (rc == -1 && waitpid(pid, nullptr, WNOHANG) < 0) return us;  // seen and reaped
    *err = rc == 0 ? "odbserver signalled readiness on a port that was taken"
                   : "wait_for_child ran out its limit instead of seeing odbserver exit";
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

struct FailedSpawnResult {
    Stats failed_us, floor_us;
    long failures = 0;
    std::string first_error;
};

// Phase f. The gateways' "cannot listen" messages go to /dev/null meanwhile.
FailedSpawnResult measure_failed_spawns(const Installation &inst, int runs) {
    FailedSpawnResult res;
    std::vector<double> failed_us, floor_us;
    fflush(stderr);
    int saved_stderr = dup(2);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) dup2(null, 2);
    for (int i = 0; i < runs && !interrupted; i++) {
        std::string err;
        double us = failed_spawn_once(inst, &err);
        if (us >= 0)
            failed_us.push_back(us);
        else
            res.failures++;
        double f = floor_once(&err);
        if (f >= 0)
            floor_us.push_back(f);
        else
            res.failures++;
        if (!err.empty() && res.first_error.empty()) res.first_error = err;
    }
    if (saved_stderr >= 0) {
        dup2(saved_stderr, 2);
        close(saved_stderr);
    }
    if (null >= 0) close(null);
    res.failed_us = stats_of(failed_us);
    res.floor_us = stats_of(floor_us);
    return res;
}

struct RateResult {
    int threads = 0;
    long sessions = 0;
    long failures = 0;
    double seconds = 0;
    std::string first_error;
};

// Whole sessions back to back on `threads` client threads for `seconds`.
RateResult measure_rate(const Installation &inst, int threads, int seconds) {
    RateResult res;
    res.threads = threads;
    std::atomic<long> ok{0}, failed{0};
    std::mutex error_mutex;
    auto t0 = Clock::now();
    auto deadline = t0 + std::chrono::seconds(seconds);
    auto worker = [&] {
        for (long i = 0; i < kMaxSessionsPerThread && !interrupted && Clock::now() < deadline;
             i++) {
            std::string err;
            pid_t gateway = 0;
            auto c = start_session(inst.base, &gateway, &err);
            if (c && stop_session(c.get(), &err)) {
                ok++;
                continue;
            }
            failed++;
            std::lock_guard<std::mutex> lock(error_mutex);
            if (res.first_error.empty()) res.first_error = err;
        }
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back(worker);
    for (std::thread &t : pool)
        t.join();
    res.seconds = elapsed_us(t0) / 1e6;
    res.sessions = ok;
    res.failures = failed;
    return res;
}

struct MemoryResult {
    long gateway_kb = -1;
    long master_kb = -1;
    std::string error;
};

// VmRSS of a gateway after START, once it has sat idle for 200 ms.
MemoryResult measure_memory(const Installation &inst) {
    MemoryResult res;
    pid_t gateway = 0;
    auto c = start_session(inst.base, &gateway, &res.error);
    if (!c) return res;
    sleep_ms(200);
    res.gateway_kb = vm_rss_kb(gateway);
    res.master_kb = vm_rss_kb(inst.master);
    stop_session(c.get(), &res.error);
    return res;
}

// Keeps 50 idle and 10 trickling connections open on the base port until
// told to stop; a connection the master drops is opened again.
class HostileLoad {
  public:
    explicit HostileLoad(int base) : base_(base), thread_([this] { run(); }) {}
    ~HostileLoad() {
        stop_ = true;
        thread_.join();
        for (int fd : idle_)
            if (fd >= 0) close(fd);
        for (int fd : slow_)
            if (fd >= 0) close(fd);
    }
    HostileLoad(const HostileLoad &) = delete;
    HostileLoad &operator=(const HostileLoad &) = delete;
    long reopened() const { return reopened_.load(); }

  private:
    // A connection the master has closed reads as ready with nothing to read.
    static bool dropped(int fd) {
        char c;
        return fd < 0 || recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK) == 0;
    }
    void keep_open(std::vector<int> &fds) {
        for (int &fd : fds) {
            if (!dropped(fd)) continue;
            if (fd >= 0) close(fd);
            fd = connect_loopback(base_);
            reopened_++;
        }
    }
    void run() {
        idle_.assign(50, -1);
        slow_.assign(10, -1);
        const char bytes[] = "0000002An0000000";
        for (int k = 0; !stop_ && !interrupted; k++) {
            keep_open(idle_);
            keep_open(slow_);
            for (int fd : slow_)
                if (fd >= 0) send(fd, &bytes[k % 16], 1, MSG_NOSIGNAL);
            sleep_ms(50);
        }
    }
    int base_;
    std::atomic<bool> stop_{false};
    std::atomic<long> reopened_{0};
    std::vector<int> idle_, slow_;
    std::thread thread_;
};

struct AttackResult {
    Stats quiet_us, attacked_us;
    long reopened = 0;
    long failures = 0;
    std::string first_error;
};

// One server request, its gateway then stopped: the request's time in
// microseconds, or -1 with *err.
double request_once(int base, std::string *err) {
    pid_t gateway = 0;
    SessionTimes t;
    auto c = start_session(base, &gateway, err, &t);
    if (!c || !stop_session(c.get(), err)) return -1;
    return t.request;
}

AttackResult measure_under_attack(const Installation &inst, int requests) {
    AttackResult r;
    std::vector<double> quiet, attacked;
    std::string err;
    auto note = [&r](const std::string &e) {
        if (r.failures++ == 0) r.first_error = e;
    };
    // Alternating blocks of ten, so both see the same machine.
    for (int done = 0; done < requests && !interrupted; done += 10) {
        for (int i = 0; i < 10 && !interrupted; i++) {
            double us = request_once(inst.base, &err);
            us < 0 ? note(err) : quiet.push_back(us);
        }
        HostileLoad load(inst.base);
        sleep_ms(100);  // every hostile connection is open
        for (int i = 0; i < 10 && !interrupted; i++) {
            double us = request_once(inst.base, &err);
            us < 0 ? note(err) : attacked.push_back(us);
        }
        r.reopened += load.reopened();
    }
    r.quiet_us = stats_of(quiet);
    r.attacked_us = stats_of(attacked);
    return r;
}

// ---- PostgreSQL sessions (--pg) ----

constexpr const char *kPgDsn = "pg";
constexpr const char *kPgUser = "vnx";  // the throwaway server's user
constexpr const char *kPgPassword = "secret";

// Gives the installation the project's driver list and the DSN "pg" of a
// newly started throwaway PostgreSQL server, through ODBCSYSINI and ODBCINI
// (set before the master starts, so its gateways inherit them). One direct
// connect checks the DSN and loads the driver into this process, so that
// the baseline's direct connects all find it loaded.
bool set_up_postgres(const Installation &inst, vnxtest::PostgresServer *pg, std::string *err) {
    if (!benchodbc::use_odbc_folder(VNX_SOURCE_DIR, inst.dir)) {
        *err = "scripts/odbc-ini failed";
        return false;
    }
    if (!pg->start()) {
        *err = "PostgreSQL did not start: " + pg->why();
        return false;
    }
    std::ofstream(inst.dir + "/odbc.ini") << "[" << kPgDsn << "]\n" << pg->dsn_body() << "\n";
    if (!benchodbc::connect_and_disconnect(kPgDsn, kPgUser, kPgPassword)) {
        *err = "a direct connect to the DSN failed";
        return false;
    }
    return true;
}

// CONNECT to the PostgreSQL DSN on a started session; the session handle, or
// 0 with *err.
int32_t connect_postgres(dqp::Connection *c, std::string *err) {
    dqp::Reply r;
    if (c->request(dqp::PKT_TYPE_CONNECT, 0, {"odb", kPgUser, kPgPassword, kPgDsn}, &r) != 0) {
        *err = "CONNECT: " + c->error();
        return 0;
    }
    if (r.type != dqp::PKT_TYPE_OK || r.info <= 0) {
        *err = "CONNECT answered " + std::string(1, static_cast<char>(r.type)) + " " +
               std::to_string(r.info);
        return 0;
    }
    return r.info;
}

// A new PostgreSQL session up to the CONNECT reply, then DISCONNECT and STOP:
// its time in microseconds up to the reply (steps in *times), or -1 with *err.
double pg_session_once(int base, SessionTimes *times, std::string *err) {
    pid_t gateway = 0;
    auto t0 = Clock::now();
    auto c = start_session(base, &gateway, err, times);
    if (!c) return -1;
    auto t1 = Clock::now();
    int32_t handle = connect_postgres(c.get(), err);
    double us = elapsed_us(t0);
    times->odbc = elapsed_us(t1);
    dqp::Reply r;
    if (handle == 0) return -1;
    if (c->request(dqp::PKT_TYPE_DISCONNECT, handle, {}, &r) != 0 || r.type != dqp::PKT_TYPE_OK) {
        *err = "DISCONNECT failed: " + c->error();
        return -1;
    }
    return stop_session(c.get(), err) ? us : -1;
}

// One direct connect and disconnect that does what the gateway's CONNECT
// does with a psqlODBC DSN: the same connection string (UseServerSidePrepare=0),
// login timeout, dialect and cursor-behaviour look-ups and autocommit off.
// True when the connect and the disconnect succeeded.
bool connect_like_gateway_and_disconnect() {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    if (!SQL_SUCCEEDED(SQLAllocEnv(&env))) return false;
    bool ok = SQL_SUCCEEDED(SQLAllocConnect(env, &dbc));
    if (ok) SQLSetConnectOption(dbc, SQL_LOGIN_TIMEOUT, 5);
    std::string in = std::string("DSN=") + kPgDsn + ";UID=" + kPgUser + ";PWD=" + kPgPassword +
                     ";UseServerSidePrepare=0";
    SQLCHAR out[1024];
    SQLSMALLINT out_len = 0;
    ok = ok && SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, (SQLCHAR *)in.data(), SQL_NTS, out,
                                              sizeof out, &out_len, SQL_DRIVER_NOPROMPT));
    char name[128] = "";
    SQLUSMALLINT behavior = 0;
    ok = ok && SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_DBMS_NAME, name, sizeof name, nullptr));
    ok = ok && SQL_SUCCEEDED(SQLSetConnectOption(dbc, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF));
    ok = ok && SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_CURSOR_COMMIT_BEHAVIOR, &behavior, 2, nullptr));
    ok = ok && SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_CURSOR_ROLLBACK_BEHAVIOR, &behavior, 2, nullptr));
    ok = ok && SQL_SUCCEEDED(SQLDisconnect(dbc));
    if (dbc != SQL_NULL_HDBC) SQLFreeConnect(dbc);
    SQLFreeEnv(env);
    return ok;
}

// The baseline run: one floor run plus one direct connect and disconnect;
// its parts in *floor and *direct, or false with *err.
bool pg_baseline_once(double *floor, double *direct, std::string *err) {
    *floor = floor_once(err);
    if (*floor < 0) return false;
    auto t0 = Clock::now();
    if (!connect_like_gateway_and_disconnect()) {
        *err = "a direct connect to the DSN failed";
        return false;
    }
    *direct = elapsed_us(t0);
    return true;
}

// The pause before each measured step of the PostgreSQL phase: the processes
// of the step before (a gateway ending, a PostgreSQL backend ending, the spare
// the master started meanwhile) have done their work, so neither side is
// charged for the other's leftovers. What a session sets off itself (the
// master starts the replacement of its spare at its START) still falls on it.
constexpr int kSettleMs = 50;

struct PgLatencyResult {
    Stats session_us, baseline_us;
    Stats request_us, connect_us, start_us, odbc_us;  // the steps of a session
    Stats floor_us, direct_us;                        // the parts of the baseline
    long failures = 0;
    std::string first_error;
};

PgLatencyResult measure_pg_latency(const Installation &inst, int sessions) {
    PgLatencyResult res;
    std::vector<double> session, baseline, request, connect, start, odbc, floor, direct;
    auto note = [&res](const std::string &e) {
        if (res.failures++ == 0) res.first_error = e;
    };
    for (int i = 0; i < sessions && !interrupted; i++) {
        std::string err;
        SessionTimes t;
        sleep_ms(kSettleMs);
        double us = pg_session_once(inst.base, &t, &err);
        if (us >= 0) {
            session.push_back(us);
            request.push_back(t.request);
            connect.push_back(t.connect);
            start.push_back(t.start);
            odbc.push_back(t.odbc);
        } else {
            note(err);
        }
        double f = 0, d = 0;
        sleep_ms(kSettleMs);
        if (pg_baseline_once(&f, &d, &err)) {
            baseline.push_back(f + d);
            floor.push_back(f);
            direct.push_back(d);
        } else {
            note(err);
        }
    }
    res.session_us = stats_of(session);
    res.baseline_us = stats_of(baseline);
    res.request_us = stats_of(request);
    res.connect_us = stats_of(connect);
    res.start_us = stats_of(start);
    res.odbc_us = stats_of(odbc);
    res.floor_us = stats_of(floor);
    res.direct_us = stats_of(direct);
    return res;
}

// ---- report ----

void print_stats(const char *name, const Stats &s) {
    printf("  %-22s %6zu %9.0f %9.0f %9.0f\n", name, s.n, s.median, s.p95, s.max);
}

void print_latency(const LatencyResult &lat) {
    const Stats &s = lat.session_us, &f = lat.floor_us;
    printf("\nnew session latency (us)        n    median       p95       max\n");
    printf("  request+connect+START  %6zu %9.0f %9.0f %9.0f\n", s.n, s.median, s.p95, s.max);
    print_stats("    port request", lat.request_us);
    print_stats("    connect", lat.connect_us);
    print_stats("    START", lat.start_us);
    printf("  floor: spawn+file+1B   %6zu %9.0f %9.0f %9.0f\n", f.n, f.median, f.p95, f.max);
    printf("  session median / floor median: %.2f x   goal <= 0.5 x (warm spares)\n",
           f.median > 0 ? s.median / f.median : 0);
    printf("  session p95 / floor median:    %.2f x   goal <= 1 x\n",
           f.median > 0 ? s.p95 / f.median : 0);
}

void print_failed_spawns(const FailedSpawnResult &r) {
    printf("\ngateway that cannot listen (us)  n    median       p95       max\n");
    print_stats("spawn until exit seen", r.failed_us);
    print_stats("floor: spawn+file+1B", r.floor_us);
    printf("  median / floor median: %.2f x   (the wait's limit: %d s)\n",
           r.floor_us.median > 0 ? r.failed_us.median / r.floor_us.median : 0,
           vnx::spawn_wait_limit());
    if (r.failures > 0) printf("  failures: %ld (first: %s)\n", r.failures, r.first_error.c_str());
}

void print_pg_latency(const PgLatencyResult &r) {
    const Stats &s = r.session_us, &b = r.baseline_us;
    printf("\nnew PostgreSQL session latency (us)  n    median       p95       max\n");
    print_stats("request..CONNECT reply", s);
    print_stats("    port request", r.request_us);
    print_stats("    connect", r.connect_us);
    print_stats("    START", r.start_us);
    print_stats("    CONNECT (SQLConnect)", r.odbc_us);
    print_stats("baseline", b);
    print_stats("    floor: spawn+file+1B", r.floor_us);
    print_stats("    direct connect+disc.", r.direct_us);
    printf("  session median / baseline median: %.2f x   goal <= 1.2 x\n",
           b.median > 0 ? s.median / b.median : 0);
    printf("  session p95 / baseline p95:       %.2f x\n", b.p95 > 0 ? s.p95 / b.p95 : 0);
    if (r.failures > 0) printf("  failures: %ld (first: %s)\n", r.failures, r.first_error.c_str());
}

void print_rate(const char *name, const RateResult &r) {
    printf("  %-26s %3d %8ld %8.1f %10.1f %8ld\n", name, r.threads, r.sessions, r.seconds,
           r.seconds > 0 ? static_cast<double>(r.sessions) / r.seconds : 0, r.failures);
    if (!r.first_error.empty()) printf("    first failure: %s\n", r.first_error.c_str());
}

void print_summary(const LatencyResult &lat, const RateResult &seq, const RateResult &par,
                   const MemoryResult &mem) {
    print_latency(lat);
    if (lat.failures > 0)
        printf("  failures: %ld (first: %s)\n", lat.failures, lat.first_error.c_str());
    printf("\nsustained sessions (request, START, STOP, gateway gone)\n");
    printf("  %-26s %3s %8s %8s %10s %8s\n", "", "thr", "sessions", "seconds", "sessions/s",
           "failures");
    print_rate("sequential", seq);
    print_rate("parallel", par);
    printf("\nmemory (VmRSS, kB)\n");
    printf("  idle gateway after START  %8ld\n", mem.gateway_kb);
    printf("  master                    %8ld\n", mem.master_kb);
    if (mem.gateway_kb < 0) printf("    failure: %s\n", mem.error.c_str());
}

}  // namespace

// Phases a to d and f (and the console's, with --console) on the running master;
// the number of failures.
long run_phases(Installation *inst, const Options &opts) {
    std::string err;
    printf("a. %d new sessions interleaved with %d floor runs...\n", opts.sessions, opts.sessions);
    fflush(stdout);
    LatencyResult lat = measure_latency(*inst, opts.sessions);
    printf("b. %d s of sequential sessions, then %d s on %d threads...\n", opts.seconds,
           opts.seconds, opts.parallel);
    fflush(stdout);
    RateResult seq = measure_rate(*inst, 1, opts.seconds);
    RateResult par = measure_rate(*inst, opts.parallel, opts.seconds);
    MemoryResult mem = measure_memory(*inst);
    printf("d. %d server requests on the quiet master and %d with 60 hostile connections...\n",
           opts.sessions, opts.sessions);
    fflush(stdout);
    AttackResult attack = measure_under_attack(*inst, opts.sessions);
    printf("f. %d gateways that cannot listen interleaved with %d floor runs...\n", opts.sessions,
           opts.sessions);
    fflush(stdout);
    FailedSpawnResult failed = measure_failed_spawns(*inst, opts.sessions);
    print_summary(lat, seq, par, mem);
    printf("\nserver request latency (us)    n    median       p95       max\n");
    print_stats("quiet master", attack.quiet_us);
    print_stats("50 idle + 10 trickling", attack.attacked_us);
    printf("  ratio of medians: %.2f x   goal <= 1 x (hostile reconnects: %ld)\n",
           attack.quiet_us.median > 0 ? attack.attacked_us.median / attack.quiet_us.median : 0,
           attack.reopened);
    if (attack.failures > 0)
        printf("  failures: %ld (first: %s)\n", attack.failures, attack.first_error.c_str());
    print_failed_spawns(failed);
    long console_failures = 0;
    if (opts.console) {
        // The same sessions against the same installation, now with the
        // console running in the master (offscreen).
        stop_master(inst);
        if (!start_master(inst, &err, true)) {
            fprintf(stderr, "session_bench: the console master did not start\n%s\n", err.c_str());
            console_failures = 1;
        } else {
            bool headless =
                read_text(inst->dir + "/master.err").find("headless") != std::string::npos;
            LatencyResult with_console = measure_latency(*inst, opts.sessions);
            console_failures = with_console.failures;
            printf("\nnew session (us), master %s   n    median       p95       max\n",
                   headless ? "fell back to headless!" : "with its console");
            print_stats("headless master", lat.session_us);
            print_stats("console master", with_console.session_us);
            printf("  ratio of medians: %.2f x   goal: the console adds nothing (~1 x)\n",
                   lat.session_us.median > 0
                       ? with_console.session_us.median / lat.session_us.median
                       : 0);
        }
    }
    return lat.failures + seq.failures + par.failures + attack.failures + failed.failures +
           console_failures + (mem.gateway_kb < 0 ? 1 : 0);
}

int main(int argc, char **argv) {
    Options opts;
    if (!parse_options(argc, argv, &opts)) return usage();
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Installation inst;
    vnxtest::PostgresServer pg;
    std::string err;
    if (!make_installation(&inst, opts, &err) || (opts.pg && !set_up_postgres(inst, &pg, &err)) ||
        !start_master(&inst, &err)) {
        fprintf(stderr, "session_bench: cannot set up the installation\n%s\n", err.c_str());
        remove_installation(&inst);
        pg.destroy();
        return 1;
    }
    printf("master on base port %d, DB_ROOT %s\n", inst.base, inst.dir.c_str());
    long failures = 0;
    if (opts.pg) {
        printf("e. %d new PostgreSQL sessions interleaved with %d baseline runs...\n",
               opts.sessions, opts.sessions);
        fflush(stdout);
        PgLatencyResult r = measure_pg_latency(inst, opts.sessions);
        print_pg_latency(r);
        failures = r.failures;
    } else {
        failures = run_phases(&inst, opts);
    }
    remove_installation(&inst);
    pg.destroy();
    return failures == 0 && !interrupted ? 0 : 1;
}
