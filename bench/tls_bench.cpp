// tls_bench: what TLS costs a session, beside the same work in clear,
// measured in the same run against one master with NetServer "tls" = allow.
//
//   tls_bench [--requests N] [--sessions N] [--rows N]
//
// Sets up a temporary installation (DB_ROOT that is also the current
// directory, its own configuration store, odbserver copied in, an SQLite
// DSN, a CA and a server certificate made by the openssl program) and
// measures, each pair interleaved so that both see the same machine:
//   a. request round trip on an established session (MAPERROR, answered by
//      the gateway without the data source), N requests on a plain and N on
//      a TLS session in ten alternating blocks:
//      - wall clock: the median of every round trip, the 10th percentile and
//        the fastest block's median. On a VM these move together with the
//        host's wake-up latency (both sides between about 20 and 90 us from
//        run to run), so their ratio is only as good as the run;
//      - CPU time per round trip: the client's thread (getrusage), the
//        gateway's process (its CPU clock) and their sum, each the median
//        over the blocks (and the sum's fastest block). Waiting costs no
//        CPU, so these hold still from run to run: the figure to compare;
//   b. FETCHMANY throughput: a query of N rows (SQLite, a recursive CTE)
//      streamed to the client, three times on each session; best of three;
//   c. new session: port request, connect and START (TLS: a handshake on
//      both hops, verify-full), N times each; medians.
// psql with sslmode=require is not run here: see the report of the branch.
// All traffic stays on 127.0.0.1; the master gets SIGTERM at the end and the
// directory is removed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_stats.h"
#include "client/connect_options.h"
#include "client/port_query.h"
#include "client/sql_client.h"
#include "master/session_registry.h"
#include "support/config_store.h"
#include "tests/tls_certs.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char *kHost = "127.0.0.1";

struct Setup {
    std::string dir;
    int base = 0;
    pid_t master = -1;
    vnxtest::TlsCerts certs;
};

double us_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

bool make_setup(Setup *s, std::string *err) {
    char tmpl[] = "/tmp/vnx_tlsbench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return false;
    s->dir = tmpl;
    std::filesystem::current_path(s->dir);
    std::filesystem::create_directories(s->dir + "/certs");
    if (!s->certs.make(s->dir + "/certs")) {
        *err = "openssl could not make the certificates";
        return false;
    }
    s->base = 21000 + (getpid() * 250) % 9000;
    std::string path = s->dir + "/registry.db";
    setenv("VNX_REGISTRY", path.c_str(), 1);
    auto store = vnx::ConfigStore::open(path, true, err);
    if (!store) return false;
    std::string root = vnx::kRootKey, net = root + "\\NetServer";
    bool ok = store->set_value(root, "DB_ROOT", s->dir) == 0 &&
              store->set_value(root, "DB_DQPBASE", std::to_string(s->base)) == 0 &&
              store->create_key(root + "\\PortServer") == 0 &&
              store->set_value(root + "\\PortServer", "spares", "2") == 0 &&
              store->create_key(root + "\\ODBServer") == 0 &&
              store->set_value(net, "tls", "allow") == 0 &&
              store->set_value(net, "tls_cert", s->certs.server_cert) == 0 &&
              store->set_value(net, "tls_key", s->certs.server_key) == 0;
    if (!ok) {
        *err = "cannot write the configuration store";
        return false;
    }
    std::filesystem::copy_file(VNX_ODBSERVER_PATH, s->dir + "/odbserver");
    std::filesystem::permissions(s->dir + "/odbserver", std::filesystem::perms::owner_all);
    std::string cmd = std::string(VNX_SOURCE_DIR) + "/scripts/odbc-ini " + s->dir;
    if (system(cmd.c_str()) != 0) return false;
    std::ofstream(s->dir + "/odbc.ini")
        << "[bench]\nDriver=SQLite3\nDatabase=" << s->dir << "/bench.db\n";
    setenv("ODBCSYSINI", s->dir.c_str(), 1);
    setenv("ODBCINI", (s->dir + "/odbc.ini").c_str(), 1);
    return true;
}

bool start_master(Setup *s, std::string *err) {
    char arg0[] = "db_dqpserver", arg1[] = "--headless";
    char *argv[] = {arg0, arg1, nullptr};
    if (posix_spawn(&s->master, VNX_DB_DQPSERVER_PATH, nullptr, nullptr, argv, environ) != 0)
        return false;
    auto end = Clock::now() + std::chrono::seconds(10);
    std::string answer;
    while (Clock::now() < end) {
        if (dqp::text_query(kHost, s->base, "Active", &answer, err) == 0 && answer == "0")
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

dqp::ConnectOptions options(const Setup &s, bool tls) {
    dqp::ConnectOptions o;
    o.timeout_ms = 60000;
    if (tls) {
        o.tls.mode = dqp::TlsMode::VerifyFull;
        o.tls.ca_file = s.certs.ca;
    }
    return o;
}

// A STARTed session; null when it could not be had.
std::unique_ptr<dqp::Connection> session(const Setup &s, bool tls) {
    std::string err;
    dqp::ConnectOptions o = options(s, tls);
    auto c = dqp::open_session(kHost, s.base, "odb", &err, nullptr, &o);
    if (c == nullptr) {
        fprintf(stderr, "tls_bench: %s\n", err.c_str());
        return nullptr;
    }
    dqp::SqlClient sql(*c);
    if (sql.start("bench", "") != 0) return nullptr;
    return c;
}

void line(const char *what, double plain, double tls, const char *unit) {
    printf("%-44s plain %10.1f %-6s TLS %10.1f %-6s ratio %.2f\n", what, plain, unit, tls, unit,
           plain > 0 ? tls / plain : 0.0);
}

// CPU time of the calling thread (user + system), in microseconds.
double thread_cpu_us() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// CPU time of another process (all its threads), in microseconds; -1 when it
// cannot be read. The process's CPU clock counts in nanoseconds; utime and
// stime of /proc/PID/stat, the fallback, only in clock ticks (10 ms).
double process_cpu_us(pid_t pid) {
    clockid_t clock;
    timespec ts{};
    if (clock_getcpuclockid(pid, &clock) == 0 && clock_gettime(clock, &ts) == 0)
        return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = text.rfind(')');  // the command name may hold blanks
    if (paren == std::string::npos) return -1;
    std::istringstream fields(text.substr(paren + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; i++) {  // field 3 is the state
        if (i == 14) utime = std::stoull(f);
        if (i == 15) stime = std::stoull(f);
    }
    return static_cast<double>(utime + stime) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The pid of the gateway at the far end of c: the users.db record of the
// port c is connected to (its START entered it); -1 when none shows within
// two seconds.
pid_t gateway_pid(const Setup &s, dqp::Connection &c) {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (getpeername(c.fd(), reinterpret_cast<sockaddr *>(&peer), &len) != 0) return -1;
    int port = peer.ss_family == AF_INET6
                   ? ntohs(reinterpret_cast<sockaddr_in6 *>(&peer)->sin6_port)
                   : ntohs(reinterpret_cast<sockaddr_in *>(&peer)->sin_port);
    auto end = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < end) {
        std::vector<vnx::SessionRecord> records;
        if (vnx::read_session_file(s.dir + "/users.db", &records) == 0) {
            for (const vnx::SessionRecord &r : records)
                if (r.status == vnx::SESSION_LIVE && r.port == port) return r.process;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

// The figures of one side (plain or TLS) of the round-trip measurement.
struct Side {
    dqp::Connection *conn = nullptr;
    pid_t gateway = -1;
    std::vector<double> samples;        // wall clock of each round trip, us
    std::vector<double> block_medians;  // median of each block
    // CPU per round trip of each block, us: the client's thread, the
    // gateway's process, their sum.
    std::vector<double> client_cpu, gateway_cpu, both_cpu;
};

// One block of n round trips on one side; false when a request failed.
bool run_block(Side &side, int n) {
    dqp::Reply r;
    std::vector<double> block;
    double g0 = process_cpu_us(side.gateway), c0 = thread_cpu_us();
    for (int i = 0; i < n; i++) {
        auto t0 = Clock::now();
        if (side.conn->request('O', 0, {}, &r) != 0) return false;
        block.push_back(us_since(t0));
    }
    double c = (thread_cpu_us() - c0) / n, g = (process_cpu_us(side.gateway) - g0) / n;
    side.client_cpu.push_back(c);
    side.gateway_cpu.push_back(g);
    side.both_cpu.push_back(c + g);
    side.block_medians.push_back(stats_of(block).median);
    side.samples.insert(side.samples.end(), block.begin(), block.end());
    return true;
}

// Round trips in alternating blocks, so that both sides see the same
// machine. Wall-clock figures move with the VM's wake-up latency from run to
// run (both sides alike); CPU time per round trip does not, but grows in
// blocks where other processes crowd the CPUs (caches, hyperthreads): its
// median over the blocks is the figure to compare.
void round_trips(const Setup &s, dqp::Connection &plain, dqp::Connection &tls, int n) {
    constexpr int kBlocks = 40;
    Side p, t;
    p.conn = &plain;
    t.conn = &tls;
    p.gateway = gateway_pid(s, plain);
    t.gateway = gateway_pid(s, tls);
    if (p.gateway < 0 || t.gateway < 0) {
        fprintf(stderr, "tls_bench: the gateways' pids are not in users.db\n");
        return;
    }
    for (Side *side : {&p, &t})  // warm both paths up
        if (!run_block(*side, 50)) return;
    for (Side *side : {&p, &t})  // the warm-up is not counted
        *side = Side{side->conn, side->gateway, {}, {}, {}, {}, {}};
    for (int b = 0; b < kBlocks; b++) {
        if (!run_block(p, n / kBlocks) || !run_block(t, n / kBlocks)) return;
    }
    auto fastest = [](const std::vector<double> &v) {
        return *std::min_element(v.begin(), v.end());
    };
    auto p10 = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return percentile(v, 0.10);
    };
    auto median = [](const std::vector<double> &v) { return stats_of(v).median; };
    line("a. round trip, wall clock, median", median(p.samples), median(t.samples), "us");
    line("a. round trip, wall clock, 10th percentile", p10(p.samples), p10(t.samples), "us");
    line("a. round trip, wall clock, fastest block median", fastest(p.block_medians),
         fastest(t.block_medians), "us");
    line("a. CPU per round trip, client (block median)", median(p.client_cpu), median(t.client_cpu),
         "us");
    line("a. CPU per round trip, gateway (block median)", median(p.gateway_cpu),
         median(t.gateway_cpu), "us");
    line("a. CPU per round trip, sum (block median)", median(p.both_cpu), median(t.both_cpu), "us");
    line("a. CPU per round trip, sum (fastest block)", fastest(p.both_cpu), fastest(t.both_cpu),
         "us");
}

// Rows per second of one streamed query; -1 on failure.
double fetch_rate(dqp::SqlClient &sql, long rows) {
    std::string q = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < " +
                    std::to_string(rows) + ") SELECT x, 'row number ' || x FROM c";
    dqp::ExecResult res;
    long got = 0;
    auto t0 = Clock::now();
    auto no_header = [](const std::vector<dqp::FieldDesc> &) { return 0; };
    int rc =
        sql.query_views(q, &res, nullptr, no_header, [&got](std::span<const std::string_view>) {
            got++;
            return 0;
        });
    double us = us_since(t0);
    if (rc != 0 || got != rows)
        fprintf(stderr, "tls_bench: the query gave %ld rows (rc %d): %s\n", got, rc,
                sql.error().c_str());
    return rc == 0 && got == rows ? static_cast<double>(rows) / (us / 1e6) : -1;
}

void fetches(dqp::Connection &plain, dqp::Connection &tls, long rows) {
    dqp::SqlClient p_sql(plain), t_sql(tls);
    for (dqp::SqlClient *sql : {&p_sql, &t_sql}) {
        if (sql->connect("bench", "", "") != 0) {
            fprintf(stderr, "tls_bench: CONNECT failed: %s\n", sql->error().c_str());
            return;
        }
    }
    double p = 0, t = 0;
    for (int i = 0; i < 3; i++) {
        p = std::max(p, fetch_rate(p_sql, rows));
        t = std::max(t, fetch_rate(t_sql, rows));
    }
    char what[64];
    snprintf(what, sizeof what, "b. FETCHMANY %ld rows (best of 3)", rows);
    line(what, p, t, "rows/s");
}

void new_sessions(const Setup &s, int n) {
    std::vector<double> p, t;
    for (int i = 0; i < n; i++) {
        for (int k = 0; k < 2; k++) {
            auto t0 = Clock::now();
            auto c = session(s, k == 1);
            if (c == nullptr) return;
            (k == 0 ? p : t).push_back(us_since(t0));
            dqp::SqlClient(*c).stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(30));  // a spare refills
        }
    }
    line("c. new session: request, connect, START", stats_of(p).median, stats_of(t).median, "us");
}

}  // namespace

int main(int argc, char **argv) {
    int requests = 20000, sessions = 40;
    long rows = 1000000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--requests") == 0) requests = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--sessions") == 0) sessions = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--rows") == 0) rows = atol(argv[i + 1]);
    }
    Setup s;
    std::string err;
    if (!make_setup(&s, &err) || !start_master(&s, &err)) {
        fprintf(stderr, "tls_bench: cannot set up: %s\n", err.c_str());
        return 1;
    }
    auto plain = session(s, false);
    auto tls = session(s, true);
    if (plain != nullptr && tls != nullptr) {
        printf("TLS session: %s, %s\n", tls->tls_protocol().c_str(), tls->tls_cipher().c_str());
        round_trips(s, *plain, *tls, requests);
        fetches(*plain, *tls, rows);
    }
    plain.reset();
    tls.reset();
    new_sessions(s, sessions);
    kill(s.master, SIGTERM);
    waitpid(s.master, nullptr, 0);
    std::filesystem::current_path("/");
    std::filesystem::remove_all(s.dir);
    return 0;
}
