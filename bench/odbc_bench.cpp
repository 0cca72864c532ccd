// odbc_bench: the ODBC gateway's result path beside direct ODBC in the same
// run.
//
//   odbc_bench [--rows N] [--rounds R] [--runs K] [--only sqlite|pg] [--no-tune-sqlite]
//              [--server-side-prepare]
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
//   b. R rounds of "SELECT 1" through the same call (EXECSQL, MAPERROR and
//      FETCHMANY leave as one pipeline), beside R rounds of
//      direct SQLPrepare + SQLExecute + SQLFetch + SQLFreeStmt(SQL_CLOSE)
//      plus one loopback round trip of a small frame; the figure is gateway
//      time / baseline time;
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
#include <signal.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

#include "bench_net.h"
#include "bench_odbc.h"
#include "client/dqp_client.h"
#include "master/spawn.h"
#include "support/config_store.h"
#include "tests/servers/throwaway_server.h"

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

// R rounds of prepare, execute, fetch, close of SELECT 1, each with one
// loopback round trip of a small frame; returns seconds.
double direct_select1(Odbc &db, int rounds) {
    int port = 0;
    int listener = benchnet::loopback_listener(&port);
    std::thread echo([listener] {
        int fd = accept(listener, nullptr, nullptr);
        benchnet::set_nodelay(fd);
        char buf[64];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            if (write(fd, buf, static_cast<size_t>(n)) != n) break;
        close(fd);
    });
    int fd = benchnet::connect_loopback(port);
    const char frame[] =
        "0000000CY\x01\x0c"
        "0";
    SQLHSTMT h;
    SQLAllocStmt(db.dbc, &h);
    char v[32];
    SQLLEN lv = 0;
    auto t0 = Clock::now();
    for (int i = 0; i < rounds; i++) {
        if (write(fd, frame, 12) != 12) break;
        char in[64];
        if (read(fd, in, sizeof in) <= 0) break;
        SQLPrepare(h, (SQLCHAR *)"SELECT 1", SQL_NTS);
        SQLExecute(h);
        SQLBindCol(h, 1, SQL_C_CHAR, v, sizeof v, &lv);
        SQLFetch(h);
        SQLFreeStmt(h, SQL_CLOSE);
    }
    double t = seconds_since(t0);
    SQLFreeStmt(h, SQL_DROP);
    close(fd);
    echo.join();
    close(listener);
    return t;
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
    double select1(int rounds) {
        auto t0 = Clock::now();
        long rows = 0;
        for (int i = 0; i < rounds; i++)
            if (fetch("SELECT 1", &rows) < 0) return -1;
        return seconds_since(t0);
    }
};

struct Source {
    std::string name, dsn, user, pw;
};

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
    double best_base = 1e9, best_sel = 1e9;
    for (int k = 0; k < runs; k++) {
        best_base = std::min(best_base, direct_select1(db, rounds));
        Gateway g;
        if (!g.start(odbserver, src.dsn, src.user, src.pw)) return;
        double t = g.select1(rounds);
        best_sel = std::min(best_sel, t);
    }
    printf(
        "%-10s SELECT 1 x %d: gateway %.1f us/round, direct ODBC + one round trip %.1f "
        "us/round, ratio gateway/baseline %.2f\n",
        src.name.c_str(), rounds, best_sel / rounds * 1e6, best_base / rounds * 1e6,
        best_sel / best_base);
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
        if (i + 1 == argc) break;
        if (!strcmp(argv[i], "--rows")) nrows = atol(argv[i + 1]);
        if (!strcmp(argv[i], "--rounds")) rounds = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--runs")) runs = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--only")) only = argv[i + 1];
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
