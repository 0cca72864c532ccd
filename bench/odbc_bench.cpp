// odbc_bench: the ODBC gateway's result path beside direct ODBC in the same
// run.
//
//   odbc_bench [--rows N] [--rounds R] [--runs K] [--only sqlite|pg] [--no-tune-sqlite]
//              [--server-side-prepare] [--pin ME,PEER] [--blocks] [--typed]
//
// Sets up a temporary folder with the project's own odbcinst.ini
// (scripts/odbc-ini), a SQLite data source and, when PostgreSQL's programs
// are installed, a throwaway PostgreSQL server (see
// tests/servers/throwaway_server.h), each with a table of N rows
// (INTEGER, VARCHAR(20)), and measures:
//   a. EXECSQL + FETCHMANY of all N rows through a real odbserver and the
//      client library's query call (rows handed over as values), beside a direct
//      in-process fetch of the same query with both columns bound, one row
//      per SQLFetch; the figure is direct time / gateway time (1.0 = as fast);
//   b. "SELECT 1" through the same call (EXECSQL, MAPERROR and FETCHMANY
//      leave as one pipeline), beside direct SQLPrepare + SQLExecute +
//      SQLFetch + SQLFreeStmt(SQL_CLOSE) plus one loopback round trip of a
//      small frame to an echo, run in alternating blocks (K x 10 blocks of
//      R/10 rounds): direct with the echo in a thread, direct with the echo
//      in a process of its own (a gateway is a process), the gateway. The
//      figures are gateway / baseline, for the median block and the fastest,
//      in wall-clock time and in CPU time (this thread plus the echo, or
//      plus the gateway process). --pin ME,PEER keeps this thread on CPU ME
//      and the echoes and the gateway on CPU PEER: on a VM the scheduler's
//      placement of the two ends changes a round trip threefold, and pinning
//      gives every side the same placement; --blocks prints every block;
//   b'. R executions of one UPDATE of a one-row table through EXECSQL (the statement cache
//      executes the prepared statement again), beside R direct SQLExecute
//      of the same statement prepared once; the figure is gateway time /
//      direct time;
//   c. the gateway's resident memory while it streams the N rows from
//      PostgreSQL through a DSN with UseDeclareFetch=1, Fetch=10000, and
//      from SQLite with and without StepAPI=1.
// SQLite runs twice: the DSN "sqlite" at the driver's defaults (the whole
// result is read before the first row) and "sqlite_step" with StepAPI=1
// (rows are stepped as they are fetched), the direct fetch on the same DSN.
// Each timing is the best of K runs. --no-tune-sqlite sets ODBServer
// "tune_sqlite" to "false" (the gateways leave the SQLite driver's library at
// SQLite's defaults), for comparison; --server-side-prepare sets ODBServer
// "server_side_prepare" to "true" (psqlODBC prepares on the server, as the
// gateway did before). VNX_BENCH_GATEWAY names another command
// to start the gateways with (it gets the arguments odbserver would). The
// temporary folder and the server are removed at the end.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"
#include "bench_odbc.h"
#include "client/dqp_client.h"
#include "master/spawn.h"
#include "support/config_store.h"
#include "tests/servers/throwaway_server.h"

namespace {

// --typed: the FETCHMANY figure (a) is taken in a session that asked for
// typed values.
bool g_typed = false;

}  // namespace

namespace {

using Clock = std::chrono::steady_clock;

double self_cpu_s() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

using benchodbc::seconds_since;
using Odbc = benchodbc::DirectOdbc;

// Fetches every row of the query with both columns bound; returns seconds.
double direct_fetch(Odbc &db, const std::string &sql, long *rows) {
    auto t0 = Clock::now();
    SQLHSTMT h;
    SQLAllocStmt(db.dbc, &h);
    std::string s = sql;
    SQLExecDirect(h, (SQLCHAR *)s.data(), SQL_NTS);
    char a[257], b[257];
    SQLLEN la = 0, lb = 0;
    SQLBindCol(h, 1, SQL_C_CHAR, a, sizeof a, &la);
    SQLBindCol(h, 2, SQL_C_CHAR, b, sizeof b, &lb);
    long n = 0;
    for (SQLRETURN rc; (rc = SQLFetch(h)) == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;)
        n++;
    SQLFreeStmt(h, SQL_DROP);
    *rows = n;
    return seconds_since(t0);
}

// CPU seconds the calling thread has used.
double thread_cpu_s() {
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double clock_s(clockid_t clock) {
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0) return 0;
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// CPU seconds another process has used (nanosecond accounting, unlike the
// clock ticks of /proc/PID/stat); 0 when it cannot be read.
double process_cpu_s(pid_t pid) {
    clockid_t clock;
    return clock_getcpuclockid(pid, &clock) == 0 ? clock_s(clock) : 0;
}

// The far end of the baseline's round trip: a loopback peer that writes back
// what it reads, either a thread of this process or a process of its own. A
// gateway is a process, so the process echo pays the same wake-ups (another
// address space to switch to) that a gateway round pays; the thread echo is
// the cheaper floor.
class Echo {
  public:
    explicit Echo(bool own_process) {
        int port = 0;
        int listener = benchnet::loopback_listener(&port);
        if (own_process) {
            child_ = fork();
            if (child_ == 0) {
                serve(listener);
                _exit(0);
            }
        } else {
            thread_ = std::thread([this, listener] {
                pthread_getcpuclockid(pthread_self(), &thread_clock_);
                tid_ = gettid();
                clock_ready_ = true;
                serve(listener);
            });
        }
        fd_ = benchnet::connect_loopback(port);
        if (own_process) close(listener);  // the thread closes it once it has accepted
        while (!own_process && !clock_ready_)
            std::this_thread::yield();
    }
    ~Echo() {
        close(fd_);
        if (thread_.joinable()) thread_.join();
        if (child_ > 0) waitpid(child_, nullptr, 0);
    }
    int fd() const { return fd_; }
    pid_t pid() const { return child_; }
    pid_t tid() const { return tid_; }
    double cpu_s() const { return child_ > 0 ? process_cpu_s(child_) : clock_s(thread_clock_); }

  private:
    static void serve(int listener) {
        int fd = accept(listener, nullptr, nullptr);
        close(listener);
        benchnet::set_nodelay(fd);
        char buf[64];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            if (write(fd, buf, static_cast<size_t>(n)) != n) break;
        close(fd);
    }
    int fd_ = -1;
    pid_t child_ = -1;
    std::thread thread_;
    clockid_t thread_clock_{};
    pid_t tid_ = 0;
    std::atomic<bool> clock_ready_{false};
};

// How the "SELECT 1" rounds are placed and shown: --pin ME,PEER keeps this
// thread on CPU ME and both echoes and the gateway on CPU PEER (the same
// CPU or two, for every side alike); --blocks prints every block.
struct Select1Options {
    int pin_me = -1, pin_peer = -1;
    bool each_block = false;
} g_select1;

// Keeps a thread (0: the caller) or every thread of a process on one CPU.
void pin_to_cpu(pid_t tid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(tid, sizeof set, &set);
}

void pin_process(pid_t pid, int cpu) {
    std::error_code ec;
    for (const auto &task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec))
        pin_to_cpu(static_cast<pid_t>(atoi(task.path().filename().c_str())), cpu);
}

// Wall and CPU seconds of one block of rounds.
struct Block {
    double wall = 0, cpu = 0;
    double client_cpu = 0;  // the share of the cpu the client side used
};

// R rounds of prepare, execute, fetch, close of SELECT 1, each with one
// loopback round trip of a small frame to the echo. The CPU is this
// thread's and the echo's.
Block direct_select1(Odbc &db, Echo &echo, int rounds) {
    const char frame[] =
        "0000000CY\x01\x0c"
        "0";
    SQLHSTMT h;
    SQLAllocStmt(db.dbc, &h);
    char v[32];
    SQLLEN lv = 0;
    const double cpu0 = thread_cpu_s() + echo.cpu_s();
    auto t0 = Clock::now();
    for (int i = 0; i < rounds; i++) {
        if (write(echo.fd(), frame, 12) != 12) break;
        char in[64];
        if (read(echo.fd(), in, sizeof in) <= 0) break;
        SQLPrepare(h, (SQLCHAR *)"SELECT 1", SQL_NTS);
        SQLExecute(h);
        SQLBindCol(h, 1, SQL_C_CHAR, v, sizeof v, &lv);
        SQLFetch(h);
        SQLFreeStmt(h, SQL_CLOSE);
    }
    Block b{seconds_since(t0), 0};
    b.cpu = thread_cpu_s() + echo.cpu_s() - cpu0;
    SQLFreeStmt(h, SQL_DROP);
    return b;
}

// R executions of one statement prepared once; returns seconds.
double direct_dml(Odbc &db, const std::string &sql, int rounds) {
    SQLHSTMT h;
    SQLAllocStmt(db.dbc, &h);
    std::string s = sql;
    SQLPrepare(h, (SQLCHAR *)s.data(), SQL_NTS);
    auto t0 = Clock::now();
    for (int i = 0; i < rounds; i++)
        SQLExecute(h);
    double t = seconds_since(t0);
    SQLFreeStmt(h, SQL_DROP);
    SQLTransact(db.env, db.dbc, SQL_ROLLBACK);
    return t;
}

// ---- through the gateway ----------------------------------------------------------

// Waits a little for a gateway that was told to stop, then kills it.
// The gateway of one's own, with the measurements of this benchmark.
struct Gateway : benchodbc::GatewaySession {
    // CPU seconds the gateway process has used so far.
    double cpu_s() const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos) return 0;
        std::istringstream rest(stat.substr(close_paren + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; i++) {
            if (i == 14) utime = atol(field.c_str());
            if (i == 15) stime = atol(field.c_str());
        }
        return double(utime + stime) / sysconf(_SC_CLK_TCK);
    }
    long rss_kb() const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
        return 0;
    }
    // EXECSQL + FETCHMANY through the client library's query call, every
    // row handed over as values; seconds, or -1 on failure.
    double fetch(const std::string &text, long *rows, long *max_rss_kb = nullptr) {
        auto t0 = Clock::now();
        double gw0 = max_rss_kb != nullptr ? cpu_s() : 0, me0 = self_cpu_s();
        long n = 0;
        dqp::ExecResult res;
        int rc = sql->query(text, &res, nullptr, nullptr, [&](dqp::Row &&) {
            if (++n % 6400 == 0 && max_rss_kb != nullptr)
                *max_rss_kb = std::max(*max_rss_kb, rss_kb());
            return 0;
        });
        if (rc != 0 || !res.has_cursor) return -1;
        *rows = n;
        if (max_rss_kb != nullptr) gateway_cpu = cpu_s() - gw0;
        client_cpu = self_cpu_s() - me0;
        return seconds_since(t0);
    }
    double gateway_cpu = 0, client_cpu = 0;
    // R EXECSQL of one statement without a result; seconds, -1 on failure.
    double dml(const std::string &text, int rounds) {
        auto t0 = Clock::now();
        for (int i = 0; i < rounds; i++) {
            dqp::ExecResult res;
            if (sql->execsql(text, &res) != 0 || res.has_cursor) return -1;
        }
        return seconds_since(t0);
    }
    // R rounds of "SELECT 1"; the CPU is this thread's and the gateway's.
    // A wall time of -1 on failure.
    Block select1(int rounds) {
        const double client0 = thread_cpu_s();
        const double cpu0 = client0 + process_cpu_s(pid);
        auto t0 = Clock::now();
        // The client library's call alone: no CPU accounting inside the rounds.
        for (int i = 0; i < rounds; i++) {
            dqp::ExecResult res;
            if (sql->query("SELECT 1", &res, nullptr, nullptr, [](dqp::Row &&) { return 0; }) !=
                    0 ||
                !res.has_cursor)
                return {-1, 0};
        }
        Block b{seconds_since(t0), 0};
        const double client = thread_cpu_s();
        b.cpu = client + process_cpu_s(pid) - cpu0;
        b.client_cpu = client - client0;
        return b;
    }
};

struct Source {
    std::string name, dsn, user, pw;
};

// Per-round figures of a set of blocks: the median block and the fastest.
struct RoundFigures {
    double median = 0, fastest = 0;
};

RoundFigures per_round(std::vector<double> blocks, int rounds) {
    if (blocks.empty()) return {};
    std::sort(blocks.begin(), blocks.end());
    return {blocks[(blocks.size() - 1) / 2] / rounds, blocks.front() / rounds};
}

void print_select1_line(const char *source, const char *what, const RoundFigures &gw,
                        const RoundFigures &base) {
    printf(
        "%-10s   %s: gateway %.1f us/round (fastest block %.1f), baseline %.1f (%.1f); "
        "ratio median %.2f, fastest block %.2f\n",
        source, what, gw.median * 1e6, gw.fastest * 1e6, base.median * 1e6, base.fastest * 1e6,
        gw.median / base.median, gw.fastest / base.fastest);
}

// "SELECT 1" rounds in alternating blocks: direct ODBC with a thread echo,
// direct ODBC with a process echo, the gateway. Alternating keeps the
// machine's slow phases from landing on one side only; each figure is
// printed as the median block and the fastest block, wall clock and CPU.
void select1_figures(Odbc &db, const Source &src, const std::string &odbserver, int rounds,
                     int runs) {
    constexpr int kBlocksPerRun = 10;
    const int per_block = std::max(1, rounds / kBlocksPerRun);
    Gateway g;
    if (!g.start(odbserver, src.dsn, src.user, src.pw)) return;
    Echo thread_echo(false), process_echo(true);
    if (g_select1.pin_me >= 0) {
        pin_to_cpu(0, g_select1.pin_me);
        pin_process(process_echo.pid(), g_select1.pin_peer);
        pin_to_cpu(thread_echo.tid(), g_select1.pin_peer);
        pin_process(g.pid, g_select1.pin_peer);
    }
    std::vector<double> wall_t, cpu_t, wall_p, cpu_p, wall_g, cpu_g, client_g, server_g;
    for (int b = 0; b < runs * kBlocksPerRun; b++) {
        Block t = direct_select1(db, thread_echo, per_block);
        Block p = direct_select1(db, process_echo, per_block);
        Block gw = g.select1(per_block);
        if (gw.wall < 0) {
            printf("%s: SELECT 1 through the gateway failed\n", src.name.c_str());
            return;
        }
        wall_t.push_back(t.wall), cpu_t.push_back(t.cpu);
        wall_p.push_back(p.wall), cpu_p.push_back(p.cpu);
        wall_g.push_back(gw.wall), cpu_g.push_back(gw.cpu);
        client_g.push_back(gw.client_cpu), server_g.push_back(gw.cpu - gw.client_cpu);
    }
    const char *name = src.name.c_str();
    if (g_select1.each_block)
        for (size_t i = 0; i < wall_g.size(); i++)
            printf(
                "block %zu: gateway %.1f us/round (client CPU %.1f, gateway CPU %.1f), "
                "baseline with the process echo %.1f\n",
                i, wall_g[i] / per_block * 1e6, client_g[i] / per_block * 1e6,
                server_g[i] / per_block * 1e6, wall_p[i] / per_block * 1e6);
    printf(
        "%-10s SELECT 1, %d blocks of %d rounds; baseline = direct ODBC + one loopback round "
        "trip\n",
        name, runs * kBlocksPerRun, per_block);
    print_select1_line(name, "wall, echo in a process", per_round(wall_g, per_block),
                       per_round(wall_p, per_block));
    print_select1_line(name, "CPU,  echo in a process", per_round(cpu_g, per_block),
                       per_round(cpu_p, per_block));
    const RoundFigures client = per_round(client_g, per_block),
                       server = per_round(server_g, per_block);
    printf(
        "%-10s   CPU through the gateway: client %.1f us/round (fastest block %.1f), gateway "
        "%.1f (%.1f)\n",
        name, client.median * 1e6, client.fastest * 1e6, server.median * 1e6, server.fastest * 1e6);
    print_select1_line(name, "wall, echo in a thread ", per_round(wall_g, per_block),
                       per_round(wall_t, per_block));
    print_select1_line(name, "CPU,  echo in a thread ", per_round(cpu_g, per_block),
                       per_round(cpu_t, per_block));
}

void run_source(const Source &src, const std::string &odbserver, long nrows, int rounds, int runs) {
    Odbc db;
    if (!db.open(src.dsn, src.user, src.pw)) {
        printf("%s: cannot connect to DSN %s\n", src.name.c_str(), src.dsn.c_str());
        return;
    }
    std::string sql = "SELECT i, v FROM big";
    double best_direct = 1e9, best_gw = 1e9, gw_cpu = 0, client_cpu = 0, direct_cpu = 0;
    long drows = 0, grows = 0;
    for (int k = 0; k < runs; k++) {
        double cpu0 = self_cpu_s();
        double td = direct_fetch(db, sql, &drows);
        if (td < best_direct) {
            best_direct = td;
            direct_cpu = self_cpu_s() - cpu0;
        }
        Gateway g;
        g.options.typed = g_typed;
        if (!g.start(odbserver, src.dsn, src.user, src.pw)) {
            printf("%s: the gateway did not start\n", src.name.c_str());
            return;
        }
        long unused_rss = 0;
        double t = g.fetch(sql, &grows, &unused_rss);
        if (t < 0) {
            printf("%s: FETCHMANY failed\n", src.name.c_str());
            return;
        }
        if (t < best_gw) {
            best_gw = t;
            gw_cpu = g.gateway_cpu;
            client_cpu = g.client_cpu;
        }
    }
    printf(
        "%-10s FETCHMANY %ld rows: gateway %.3f s (%.2f M rows/s), direct ODBC %.3f s "
        "(%ld rows, %.2f M rows/s), ratio direct/gateway %.2f\n",
        src.name.c_str(), grows, best_gw, grows / best_gw / 1e6, best_direct, drows,
        drows / best_direct / 1e6, best_direct / best_gw);
    printf(
        "%-10s   CPU of the best runs: gateway %.3f s, its client %.3f s, direct fetch %.3f s; "
        "direct/gateway CPU %.2f\n",
        src.name.c_str(), gw_cpu, client_cpu, direct_cpu, direct_cpu / gw_cpu);
    (void)nrows;
    select1_figures(db, src, odbserver, rounds, runs);
    const std::string update = "UPDATE small SET v = 'changed' WHERE i = 1";
    double best_ddml = 1e9, best_gdml = 1e9;
    for (int k = 0; k < runs; k++) {
        best_ddml = std::min(best_ddml, direct_dml(db, update, rounds));
        Gateway g;
        if (!g.start(odbserver, src.dsn, src.user, src.pw)) return;
        double t = g.dml(update, rounds);
        if (t < 0) {
            printf("%s: EXECSQL of the UPDATE failed\n", src.name.c_str());
            return;
        }
        best_gdml = std::min(best_gdml, t);
    }
    printf(
        "%-10s UPDATE x %d: gateway %.1f us/statement, direct prepared SQLExecute %.1f "
        "us/statement, ratio gateway/direct %.2f\n",
        src.name.c_str(), rounds, best_gdml / rounds * 1e6, best_ddml / rounds * 1e6,
        best_gdml / best_ddml);
}

void run_memory(const Source &src, const std::string &odbserver) {
    Gateway g;
    if (!g.start(odbserver, src.dsn, src.user, src.pw)) {
        printf("%s: the gateway did not start\n", src.name.c_str());
        return;
    }
    long idle = g.rss_kb(), peak = 0, rows = 0;
    double t = g.fetch("SELECT i, v FROM big", &rows, &peak);
    printf(
        "%-10s gateway resident memory: %ld kB after CONNECT, at most %ld kB while streaming "
        "%ld rows (%.3f s)\n",
        src.name.c_str(), idle, peak, rows, t);
}

// Sets an ODBServer value in the store at path, for the gateways started
// later.
bool set_odbserver_value(const std::string &path, const char *name, const char *value) {
    std::string err;
    auto store = vnx::ConfigStore::open(path, true, &err);
    std::string key = std::string(vnx::kRootKey) + "\\ODBServer";
    if (store == nullptr || store->create_key(key) != 0 ||
        store->set_value(key, name, value) != 0) {
        printf("cannot write the configuration store %s: %s\n", path.c_str(),
               store != nullptr ? store->error().c_str() : err.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    long nrows = 1000000;
    int rounds = 2000, runs = 3;
    std::string only;
    bool tune_sqlite = true, server_prepare = false;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--no-tune-sqlite")) {
            tune_sqlite = false;
            continue;
        }
        if (!strcmp(argv[i], "--server-side-prepare")) {
            server_prepare = true;
            continue;
        }
        if (!strcmp(argv[i], "--typed")) {
            g_typed = true;
            continue;
        }
        if (!strcmp(argv[i], "--blocks")) {
            g_select1.each_block = true;
            continue;
        }
        if (i + 1 == argc) break;
        if (!strcmp(argv[i], "--rows")) nrows = atol(argv[i + 1]);
        if (!strcmp(argv[i], "--rounds")) rounds = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--runs")) runs = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--only")) only = argv[i + 1];
        if (!strcmp(argv[i], "--pin") &&
            sscanf(argv[i + 1], "%d,%d", &g_select1.pin_me, &g_select1.pin_peer) != 2)
            g_select1.pin_me = -1;
        i++;
    }
    char tmpl[] = "/tmp/vnx_odbc_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string dir = tmpl;
    std::filesystem::current_path(dir);
    if (!benchodbc::use_odbc_folder(VNX_SOURCE_DIR, dir)) return 1;
    setenv("VNX_REGISTRY", (dir + "/registry.db").c_str(), 1);
    std::string registry = dir + "/registry.db";
    if (!tune_sqlite && !set_odbserver_value(registry, "tune_sqlite", "false")) return 1;
    if (server_prepare && !set_odbserver_value(registry, "server_side_prepare", "true")) return 1;
    std::ofstream ini(dir + "/odbc.ini");
    ini << "[sqlite]\nDriver=SQLite3\nDatabase=" << dir << "/big.db\n"
        << "[sqlite_step]\nDriver=SQLite3\nDatabase=" << dir << "/big.db\nStepAPI=1\n";
    vnxtest::PostgresServer pg;
    bool have_pg = only != "sqlite" && pg.start();
    if (have_pg) {
        ini << "[pg]\n"
            << pg.dsn_body() << "\n[pg_decl]\n"
            << pg.dsn_body("UseDeclareFetch=1\nFetch=10000\n") << "\n";
    } else if (only != "sqlite") {
        printf("PostgreSQL skipped: %s\n", pg.why().c_str());
    }
    ini.close();
    std::string n = std::to_string(nrows);
    {
        Odbc db;
        if (!db.open("sqlite", "", "") || !db.exec("CREATE TABLE big (i INTEGER, v VARCHAR(20))") ||
            !db.exec("WITH RECURSIVE s(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM s WHERE x < " +
                     n + ") INSERT INTO big SELECT x, 'row ' || x FROM s") ||
            !db.exec("CREATE TABLE small (i INTEGER PRIMARY KEY, v VARCHAR(20))") ||
            !db.exec("INSERT INTO small VALUES (1, 'one')"))
            printf("cannot fill the SQLite table\n");
    }
    if (have_pg) {
        Odbc db;
        if (!db.open("pg", "vnx", "secret") ||
            !db.exec("CREATE TABLE big (i INTEGER, v VARCHAR(20))") ||
            !db.exec("INSERT INTO big SELECT g, 'row ' || g FROM generate_series(1, " + n +
                     ") g") ||
            !db.exec("CREATE TABLE small (i INTEGER PRIMARY KEY, v VARCHAR(20))") ||
            !db.exec("INSERT INTO small VALUES (1, 'one')"))
            printf("cannot fill the PostgreSQL table\n");
    }
    // VNX_BENCH_GATEWAY runs the gateways through another command, for
    // example a script that starts them under a profiler.
    const char *gateway = getenv("VNX_BENCH_GATEWAY");
    std::string odbserver = gateway != nullptr && *gateway != '\0' ? gateway : VNX_ODBSERVER_PATH;
    if (only != "pg") {
        run_source({"SQLite", "sqlite", "", ""}, odbserver, nrows, rounds, runs);
        run_source({"SQLite step", "sqlite_step", "", ""}, odbserver, nrows, rounds, runs);
        run_memory({"SQLite", "sqlite", "", ""}, odbserver);
        run_memory({"SQLite step", "sqlite_step", "", ""}, odbserver);
    }
    if (have_pg) {
        run_source({"PostgreSQL", "pg", "vnx", "secret"}, odbserver, nrows, rounds, runs);
        run_memory({"PG decl", "pg_decl", "vnx", "secret"}, odbserver);
        pg.destroy();
    }
    std::filesystem::current_path("/");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
