// table_bench: record-level table access through the ODBC gateway, each
// figure beside a baseline measured in the same run.
//
//   table_bench [--rows N] [--small M] [--ops K] [--runs R]
//
// Sets up a temporary folder with the project's own odbcinst.ini, a SQLite
// data source and, when PostgreSQL's programs are installed, a throwaway
// PostgreSQL server, each with tables big (N rows) and small (M rows) of
// (i INTEGER PRIMARY KEY, v VARCHAR(20) with an index), and measures:
//   a. USE of big through a real odbserver beside a direct in-process ODBC
//      query of the same row identifiers (one SQLFetch a row); the figure is
//      gateway time / direct time (goal <= 1.5), best of R runs;
//   b. FIND of K random exact values of v on big and on small: the median
//      time per request at the client (goal < 0.5 ms, the same at both sizes);
//   c. READ of K random records of big beside EXECSQL of
//      "SELECT * FROM big WHERE i = n" + FETCHMANY of its one row, both
//      through the gateway; the figure is READ time / baseline (goal <= 1.3);
//   d. the scroll cursor's memory per record at N records (row ids as the
//      decimal texts of 1..N, index built), measured in this process.
#include <signal.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"
#include "bench_odbc.h"
#include "client/dqp_client.h"
#include "master/spawn.h"
#include "runtime/scroll_cursor.h"
#include "tests/servers/throwaway_server.h"

namespace {

using Clock = std::chrono::steady_clock;

using benchodbc::seconds_since;
using Odbc = benchodbc::DirectOdbc;

// Fetches the first column of every row as text; seconds.
double direct_keys(Odbc &db, const std::string &sql, long *rows) {
    auto t0 = Clock::now();
    SQLHSTMT h;
    SQLAllocStmt(db.dbc, &h);
    std::string s = sql;
    SQLExecDirect(h, (SQLCHAR *)s.data(), SQL_NTS);
    char a[257];
    SQLLEN la = 0;
    SQLBindCol(h, 1, SQL_C_CHAR, a, sizeof a, &la);
    long n = 0;
    for (SQLRETURN rc; (rc = SQLFetch(h)) == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;)
        n++;
    SQLFreeStmt(h, SQL_DROP);
    SQLTransact(db.env, db.dbc, SQL_ROLLBACK);
    *rows = n;
    return seconds_since(t0);
}

// The gateway of one's own, with the requests this benchmark makes.
struct Gateway : benchodbc::GatewaySession {
    bool start(const std::string &dsn, const std::string &user, const std::string &pw) {
        return GatewaySession::start(VNX_ODBSERVER_PATH, dsn, user, pw);
    }
    // USE of a table; its record count, or -1.
    long use(const std::string &table, const std::string &alias) {
        dqp::Reply r;
        if (!ask('1', {table, alias, "", "*", "", ""}, &r) || r.type != 'Y' || r.args.size() < 2)
            return -1;
        return atol(r.args[1].c_str());
    }
};

struct Source {
    std::string name, dsn, user, pw, id;  // id: the row identifier column USE lists
};

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void bench_use(const Source &src, int runs) {
    Odbc db;
    if (!db.open(src.dsn, src.user, src.pw)) return;
    double best_direct = 1e9, best_use = 1e9;
    long drows = 0, grows = 0;
    for (int k = 0; k < runs; k++) {
        best_direct =
            std::min(best_direct, direct_keys(db, "SELECT " + src.id + " FROM big", &drows));
        Gateway g;
        if (!g.start(src.dsn, src.user, src.pw)) return;
        auto t0 = Clock::now();
        grows = g.use("big", "B");
        best_use = std::min(best_use, seconds_since(t0));
    }
    printf(
        "%-10s USE of %ld rows: gateway %.3f s, direct ODBC query of the row ids %.3f s (%ld "
        "rows); ratio gateway/direct %.2f (goal <= 1.5)\n",
        src.name.c_str(), grows, best_use, best_direct, drows, best_use / best_direct);
}

void bench_find(const Source &src, const std::string &table, long rows, int ops) {
    Gateway g;
    if (!g.start(src.dsn, src.user, src.pw) || g.use(table, "F") != rows) {
        printf("%-10s FIND on %s: USE failed\n", src.name.c_str(), table.c_str());
        return;
    }
    std::mt19937 rng(7);
    std::vector<double> times;
    int misses = 0;
    for (int i = 0; i < ops; i++) {
        std::string value = "row " + std::to_string(1 + rng() % rows);
        dqp::Reply r;
        auto t0 = Clock::now();
        if (!g.ask('J', {"F", "v", value, "", table, "EXACT", "C"}, &r)) return;
        times.push_back(seconds_since(t0));
        if (r.type != 'Y') misses++;
    }
    printf(
        "%-10s FIND on %ld rows: median %.3f ms over %d requests (%d not found; goal < 0.5 ms)\n",
        src.name.c_str(), rows, median(times) * 1e3, ops, misses);
}

void bench_read(const Source &src, long rows, int ops) {
    Gateway g;
    if (!g.start(src.dsn, src.user, src.pw) || g.use("big", "R") != rows) return;
    std::mt19937 rng(11);
    std::vector<long> recs(static_cast<size_t>(ops));
    for (long &r : recs)
        r = 1 + static_cast<long>(rng() % rows);
    auto t0 = Clock::now();
    int bad = 0;
    for (long rec : recs) {
        dqp::Reply r;
        if (!g.ask('L', {"R", std::to_string(rec)}, &r)) return;
        if (r.type != 'T') bad++;
    }
    double t_read = seconds_since(t0);
    t0 = Clock::now();
    for (long rec : recs) {
        dqp::Reply r;
        if (!g.ask('G', {"SELECT * FROM big WHERE i = " + std::to_string(rec)}, &r) ||
            r.type != 'Y' || r.args.size() < 3)
            return;
        if (g.c->send('Q', g.h, {r.args[2]}) != 0) return;
        std::vector<dqp::Reply> out;
        if (g.c->receive(&r) != 0 || g.c->receive_result(&out) != 0) return;
    }
    double t_base = seconds_since(t0);
    printf(
        "%-10s READ x %d: %.1f us/record (%d failed); EXECSQL + FETCHMANY by key %.1f us/row; "
        "ratio READ/baseline %.2f (goal <= 1.3)\n",
        src.name.c_str(), ops, t_read / ops * 1e6, bad, t_base / ops * 1e6, t_read / t_base);
}

void bench_memory(long rows) {
    vnx::ScrollCursor *c = vnx::create_scrollcursor("big", "MEM", 0, "*");
    if (c == nullptr) return;
    for (long i = 1; i <= rows; i++) {
        std::string id = std::to_string(i);
        vnx::write_scrollcursor(c, static_cast<int>(i), id.c_str(), static_cast<int>(id.size()),
                                static_cast<int>(rows));
    }
    int rec = 0;
    std::string last = std::to_string(rows);
    vnx::search_scrollcursor(c, last.c_str(), static_cast<int>(last.size()), c->highest, &rec);
    printf(
        "scroll cursor at %ld records (decimal row ids, index built): %zu bytes, %.1f bytes per "
        "record (found record %d)\n",
        rows, vnx::scrollcursor_memory(c), double(vnx::scrollcursor_memory(c)) / rows, rec);
    vnx::release_scrollcursor(c);
}

bool fill(Odbc &db, const std::string &table, long n, bool pg) {
    std::string count = std::to_string(n);
    std::string rows = pg ? "SELECT g, 'row ' || g FROM generate_series(1, " + count + ") g"
                          : "WITH RECURSIVE s(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM s "
                            "WHERE x < " +
                                count + ") SELECT x, 'row ' || x FROM s";
    return db.exec("CREATE TABLE " + table + " (i INTEGER PRIMARY KEY, v VARCHAR(20))") &&
           db.exec("INSERT INTO " + table + " " + rows) &&
           db.exec("CREATE INDEX " + table + "_v ON " + table + " (v)") &&
           (!pg || db.exec("ANALYZE " + table));
}

void run_source(const Source &src, long nrows, long nsmall, int ops, int runs) {
    bench_use(src, runs);
    bench_find(src, "small", nsmall, ops);
    bench_find(src, "big", nrows, ops);
    bench_read(src, nrows, ops);
}

}  // namespace

int main(int argc, char **argv) {
    long nrows = 1000000, nsmall = 10000;
    int ops = 2000, runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--rows")) nrows = atol(argv[i + 1]);
        if (!strcmp(argv[i], "--small")) nsmall = atol(argv[i + 1]);
        if (!strcmp(argv[i], "--ops")) ops = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--runs")) runs = atoi(argv[i + 1]);
    }
    char tmpl[] = "/tmp/vnx_table_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string dir = tmpl;
    std::filesystem::current_path(dir);
    if (!benchodbc::use_odbc_folder(VNX_SOURCE_DIR, dir)) return 1;
    setenv("VNX_REGISTRY", (dir + "/registry.db").c_str(), 1);
    setenv("DB_ROOT", dir.c_str(), 1);
    std::ofstream ini(dir + "/odbc.ini");
    ini << "[sqlite]\nDriver=SQLite3\nDatabase=" << dir << "/big.db\n";
    vnxtest::PostgresServer pg;
    bool have_pg = pg.start();
    if (have_pg)
        ini << "[pg]\n" << pg.dsn_body() << "\n";
    else
        printf("PostgreSQL skipped: %s\n", pg.why().c_str());
    ini.close();
    {
        Odbc db;
        if (!db.open("sqlite", "", "") || !fill(db, "big", nrows, false) ||
            !fill(db, "small", nsmall, false))
            printf("cannot fill the SQLite tables\n");
    }
    run_source({"SQLite", "sqlite", "", "", "_ROWID_"}, nrows, nsmall, ops, runs);
    if (have_pg) {
        {
            Odbc db;
            if (!db.open("pg", "vnx", "secret") || !fill(db, "big", nrows, true) ||
                !fill(db, "small", nsmall, true))
                printf("cannot fill the PostgreSQL tables\n");
        }
        run_source({"PostgreSQL", "pg", "vnx", "secret", "i"}, nrows, nsmall, ops, runs);
        pg.destroy();
    }
    bench_memory(nrows);
    std::filesystem::current_path("/");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
