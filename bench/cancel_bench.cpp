// cancel_bench: what cancelling costs and how quickly it acts.
//
//   cancel_bench [--rows N] [--runs K] [--only sqlite|pg]
//
// Sets up a temporary folder with the project's own odbcinst.ini, a SQLite
// data source with a table of N rows and, when PostgreSQL's programs are
// installed, a throwaway PostgreSQL server, and measures:
//   a. the mark the request loop sets around each long ODBC call: one
//      CancellableCall (mark and clear, each under the canceller's mutex)
//      beside one lock and unlock of an uncontended mutex, in ns;
//   b. in-process, one SQLFetch per row of the N rows with every fetch
//      marked, beside the same fetches unmarked (OPEN's row count and a
//      forward-only FETCH go so): the figure is unmarked time / marked time;
//   c. through a real odbserver: from Connection::cancel() to the NOK of a
//      statement that would otherwise run for an hour (SQLite: a recursive
//      query; PostgreSQL: pg_sleep), median of K;
//   d. from a client's hang-up in such a statement to the gateway's exit,
//      median of K;
//   e. what the watch adds to every session: starting its thread and
//      stopping it, beside making the socket pair it would watch.
// The temporary folder and the server are removed at the end.
#include <sql.h>
#include <sqlext.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_odbc.h"
#include "gateway/cancel.h"
#include "gateway/session.h"
#include "gateway/svr_session.h"
#include "runtime/client_watch.h"
#include "support/config_cache.h"
#include "tests/servers/throwaway_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using benchodbc::seconds_since;

constexpr char kEndlessSqlite[] =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 100000000000) "
    "SELECT count(*) FROM c";

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// a. ns per mark and clear, and per lock and unlock of a plain mutex.
void mark_cost() {
    constexpr int kRounds = 5000000;
    vnx::svr_session s;
    SQLHSTMT h = reinterpret_cast<SQLHSTMT>(&s);  // never called: only marked
    auto t0 = Clock::now();
    for (int i = 0; i < kRounds; i++) {
        vnx::CancellableCall running(&s, h);
        running.end();
    }
    double marked = seconds_since(t0) * 1e9 / kRounds;
    std::mutex m;
    t0 = Clock::now();
    for (int i = 0; i < kRounds; i++) {
        m.lock();
        m.unlock();
    }
    double plain = seconds_since(t0) * 1e9 / kRounds;
    printf("a. mark and clear of a call: %.1f ns; lock and unlock of a mutex: %.1f ns\n", marked,
           plain);
}

// Seconds for one SQLFetch per row of the whole table, marked or not.
double fetch_all(vnx::svr_session *s, bool marked, long *rows) {
    SQLHSTMT h;
    SQLAllocStmt(s->hdbc, &h);
    std::string sql = "SELECT x FROM big";
    SQLExecDirect(h, reinterpret_cast<SQLCHAR *>(sql.data()), SQL_NTS);
    SQLINTEGER x = 0;
    SQLLEN len = 0;
    SQLBindCol(h, 1, SQL_C_LONG, &x, 0, &len);
    long n = 0;
    auto t0 = Clock::now();
    for (;;) {
        SQLRETURN rc = marked ? vnx::call_cancellable(s, h, SQLFetch, h) : SQLFetch(h);
        if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) break;
        n++;
    }
    double secs = seconds_since(t0);
    SQLFreeStmt(h, SQL_DROP);
    *rows = n;
    return secs;
}

// b. Per-row fetches on SQLite, marked beside unmarked, best of `runs`.
void marked_fetches(int runs) {
    int32_t handle = 0, err = 0;
    if (vnx::db_server_connect(&handle, "", "", "", "sqlite", &err, 0) != 0) {
        printf("b. skipped: no SQLite connection\n");
        return;
    }
    vnx::svr_session *s = vnx::find_session(handle);
    double plain = 1e9, marked = 1e9;
    long rows = 0;
    for (int i = 0; i < runs; i++) {
        plain = std::min(plain, fetch_all(s, false, &rows));
        marked = std::min(marked, fetch_all(s, true, &rows));
    }
    printf("b. SQLite, %ld rows one SQLFetch each: unmarked %.3f s, marked %.3f s (%.3f)\n", rows,
           plain, marked, plain / marked);
    vnx::db_server_disconnect(handle);
}

// c. From cancel() to the statement's NOK, median of `runs`.
void cancel_latency(const std::string &label, const std::string &dsn, const std::string &user,
                    const std::string &pw, const std::string &statement, int runs) {
    std::vector<double> ms;
    benchodbc::GatewaySession g;
    if (!g.start(VNX_ODBSERVER_PATH, dsn, user, pw)) {
        printf("c. %s: skipped, no gateway session\n", label.c_str());
        return;
    }
    for (int i = 0; i < runs; i++) {
        if (g.c->send('G', g.h, {statement}) != 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // well under way
        auto t0 = Clock::now();
        g.c->cancel();
        dqp::Reply r;
        if (g.c->receive(&r) != 0 || r.type != 'N') {
            printf("c. %s: the statement was not cancelled\n", label.c_str());
            return;
        }
        ms.push_back(seconds_since(t0) * 1e3);
        g.ask('Z', {}, &r);
    }
    printf("c. %s: cancel to NOK, median of %d: %.2f ms\n", label.c_str(), runs, median(ms));
}

// d. From a hang-up to the gateway's exit, median of `runs`.
void hang_up_latency(const std::string &label, const std::string &dsn, const std::string &user,
                     const std::string &pw, const std::string &statement, int runs) {
    std::vector<double> ms;
    for (int i = 0; i < runs; i++) {
        benchodbc::GatewaySession g;
        if (!g.start(VNX_ODBSERVER_PATH, dsn, user, pw)) return;
        (void)g.c->send('G', g.h, {statement});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto t0 = Clock::now();
        g.c->close();
        while (waitpid(g.pid, nullptr, WNOHANG) != g.pid)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        ms.push_back(seconds_since(t0) * 1e3);
        g.pid = -1;
        g.c.reset();
    }
    printf("d. %s: hang-up to gateway exit, median of %d: %.2f ms\n", label.c_str(), runs,
           median(ms));
}

// e. Microseconds to start a watch and to stop it, beside a socket pair's
// making. Starting is on the way to a session's first answer; stopping comes
// after its last.
void watch_cost() {
    constexpr int kRounds = 2000;
    double start = 0, stop = 0, pair = 0;
    for (int i = 0; i < kRounds; i++) {
        auto t0 = Clock::now();
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        pair += seconds_since(t0);
        t0 = Clock::now();
        if (vnx::start_client_watch(fds[0]) != 0) return;
        start += seconds_since(t0);
        t0 = Clock::now();
        vnx::stop_client_watch();
        stop += seconds_since(t0);
        close(fds[0]);
        close(fds[1]);
    }
    printf("e. watch started: %.1f us, stopped: %.1f us; a socket pair made: %.1f us\n",
           start * 1e6 / kRounds, stop * 1e6 / kRounds, pair * 1e6 / kRounds);
}

}  // namespace

int main(int argc, char **argv) {
    long rows = 1000000;
    int runs = 5;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--rows") == 0) rows = atol(argv[i + 1]);
        if (strcmp(argv[i], "--runs") == 0) runs = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--only") == 0) only = argv[i + 1];
    }
    char tmpl[] = "/tmp/vnx_cancel_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string dir = tmpl;
    if (!benchodbc::use_odbc_folder(VNX_SOURCE_DIR, dir)) return 1;
    setenv("VNX_REGISTRY", (dir + "/registry.db").c_str(), 1);
    vnx::reset_registry_cache_for_tests();
    std::ofstream(dir + "/odbc.ini")
        << "[sqlite]\nDriver=SQLite3\nDatabase=" << dir << "/bench.db\n";
    {
        benchodbc::DirectOdbc db;
        if (!db.open("sqlite", "", "") ||
            !db.exec("CREATE TABLE big AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
                     "FROM c WHERE x < " +
                     std::to_string(rows) + ") SELECT x FROM c"))
            return 1;
    }
    mark_cost();
    watch_cost();
    if (only != "pg") {
        marked_fetches(runs);
        cancel_latency("SQLite", "sqlite", "", "", kEndlessSqlite, runs);
        hang_up_latency("SQLite", "sqlite", "", "", kEndlessSqlite, runs);
    }
    vnxtest::PostgresServer pg;
    if (only != "sqlite" && pg.start()) {
        std::ofstream(dir + "/odbc.ini", std::ios::app) << "[pg]\n" << pg.dsn_body() << "\n";
        cancel_latency("PostgreSQL", "pg", "vnx", "secret", "SELECT pg_sleep(3600)", runs);
        hang_up_latency("PostgreSQL", "pg", "vnx", "secret", "SELECT pg_sleep(3600)", runs);
    } else if (only != "sqlite") {
        printf("c, d. PostgreSQL skipped: %s\n", pg.why().c_str());
    }
    pg.destroy();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
