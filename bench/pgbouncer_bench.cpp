// pgbouncer_bench: "SELECT 1" through the gateway beside what a user would
// pick instead, all against one throwaway PostgreSQL server in the same run.
//
//   pgbouncer_bench [--rounds R] [--runs K] [--new-clients N] [--pin CPU]
//
// Starts a throwaway PostgreSQL server (tests/servers/throwaway_server.h)
// and, from Debian's pgbouncer package, a PgBouncer of its own in session
// pooling mode in front of it. Each run measures R queries of "SELECT 1",
// one after another on one connection, each answer read in full:
//   libpq     PQexec straight to the server;
//   pgbouncer PQexec through PgBouncer;
//   gateway   EXECSQL + FETCHMANY through a real odbserver and the client
//             library's query call, as the gateway connects by default;
//   gw-ssp    the same with ODBServer "server_side_prepare" = "true"
//             (psqlODBC prepares every statement on the server first);
//   odbc      direct in-process SQLExecDirect + SQLFetch + SQL_CLOSE with the
//             same driver and DSN.
// The kinds take turns within each run, so that the machine's load falls on
// all of them alike. Printed: the median µs per query over the K runs with
// the lowest and highest run, and the per-run ratios gateway ÷ pgbouncer and
// gw-ssp ÷ pgbouncer (median and range). Without pgbouncer or PostgreSQL
// installed it says so and exits 0. Everything it starts it ends; its
// folders are removed.
//
// --pin CPU keeps this process and everything it starts on one CPU: every
// hop is then a switch on that CPU, and the figures compare the CPU each
// path costs, free of where a VM's scheduler happens to place the
// processes (which changes a loopback round trip threefold).
//
// --new-clients N measures new clients instead: N times, taking turns,
// a client's connect plus its first "SELECT 1" answered, then its end,
// through PgBouncer (which keeps its server connection between clients)
// and straight to the server; each 50 ms after the last. Printed: median,
// p95 and max in µs of both, and the ratio of the medians.
#include <libpq-fe.h>
#include <sched.h>
#include <signal.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"
#include "bench_odbc.h"
#include "bench_stats.h"
#include "support/config_store.h"
#include "tests/servers/throwaway_server.h"

namespace {

using benchodbc::Clock;
using benchodbc::seconds_since;

constexpr char kPgBouncer[] = "/usr/sbin/pgbouncer";

// A PgBouncer of one's own in session mode, in front of the server on
// pg_port; ended when it goes out of scope.
struct PgBouncer {
    std::string dir;
    int port = 0;
    pid_t pid = -1;
    bool start(int pg_port) {
        char tmpl[] = "/tmp/vnx_pgbouncer_XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return false;
        dir = tmpl;
        chmod(dir.c_str(), 0777);  // it runs as "nobody" when we are root
        port = benchnet::free_port();
        std::ofstream(dir + "/users.txt") << "\"vnx\" \"secret\"\n";
        std::ofstream ini(dir + "/pgbouncer.ini");
        ini << "[databases]\npostgres = host=127.0.0.1 port=" << pg_port
            << " dbname=postgres user=vnx password=secret\n"
            << "[pgbouncer]\nlisten_addr = 127.0.0.1\nlisten_port = " << port
            << "\nunix_socket_dir =\nauth_type = trust\nauth_file = " << dir
            << "/users.txt\npool_mode = session\nlogfile = " << dir
            << "/pgbouncer.log\npidfile = " << dir << "/pgbouncer.pid\n";
        ini.close();
        pid = vnxtest::run_unprivileged({kPgBouncer, dir + "/pgbouncer.ini"}, dir + "/out.log",
                                        false);
        if (pid <= 0) return false;
        for (int i = 0; i < 500; i++) {  // up to 5 s for it to accept connections
            PGconn *c = PQconnectdb(conninfo().c_str());
            bool ok = PQstatus(c) == CONNECTION_OK;
            PQfinish(c);
            if (ok) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    std::string conninfo() const {
        return "host=127.0.0.1 port=" + std::to_string(port) + " dbname=postgres user=vnx";
    }
    ~PgBouncer() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
};

// R rounds of PQexec("SELECT 1") on one connection; seconds, -1 on failure.
double libpq_select1(const std::string &conninfo, int rounds) {
    PGconn *c = PQconnectdb(conninfo.c_str());
    if (PQstatus(c) != CONNECTION_OK) {
        fprintf(stderr, "libpq: %s", PQerrorMessage(c));
        PQfinish(c);
        return -1;
    }
    auto t0 = Clock::now();
    for (int i = 0; i < rounds; i++) {
        PGresult *r = PQexec(c, "SELECT 1");
        bool ok = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 &&
                  strcmp(PQgetvalue(r, 0, 0), "1") == 0;
        PQclear(r);
        if (!ok) {
            PQfinish(c);
            return -1;
        }
    }
    double t = seconds_since(t0);
    PQfinish(c);
    return t;
}

// R rounds of SQLExecDirect + SQLFetch + SQL_CLOSE in this process.
double odbc_select1(const std::string &dsn, int rounds) {
    benchodbc::DirectOdbc db;
    if (!db.open(dsn, "vnx", "secret")) return -1;
    SQLHSTMT h;
    SQLAllocStmt(db.dbc, &h);
    char v[32];
    SQLLEN lv = 0;
    SQLBindCol(h, 1, SQL_C_CHAR, v, sizeof v, &lv);
    auto t0 = Clock::now();
    for (int i = 0; i < rounds; i++) {
        if (!SQL_SUCCEEDED(SQLExecDirect(h, (SQLCHAR *)"SELECT 1", SQL_NTS)) ||
            !SQL_SUCCEEDED(SQLFetch(h)))
            return -1;
        SQLFreeStmt(h, SQL_CLOSE);
    }
    double t = seconds_since(t0);
    SQLFreeStmt(h, SQL_DROP);
    return t;
}

// Sets ODBServer "server_side_prepare" for the gateways started next.
bool set_server_side_prepare(const std::string &registry, bool on) {
    std::string err;
    auto store = vnx::ConfigStore::open(registry, true, &err);
    std::string key = std::string(vnx::kRootKey) + "\\ODBServer";
    return store != nullptr && store->create_key(key) == 0 &&
           store->set_value(key, "server_side_prepare", on ? "true" : "false") == 0;
}

// R rounds of EXECSQL + FETCHMANY of "SELECT 1" through a new gateway.
double gateway_select1(const std::string &dsn, int rounds) {
    benchodbc::GatewaySession g;
    if (!g.start(VNX_ODBSERVER_PATH, dsn, "vnx", "secret")) return -1;
    auto t0 = Clock::now();
    for (int i = 0; i < rounds; i++) {
        long n = 0;
        dqp::ExecResult res;
        int rc = g.sql->query("SELECT 1", &res, nullptr, nullptr, [&](dqp::Row &&) {
            n++;
            return 0;
        });
        if (rc != 0 || n != 1) return -1;
    }
    return seconds_since(t0);
}

// A new client: connect, "SELECT 1" answered, end. µs until the answer
// was read, -1 on failure.
double new_client_us(const std::string &conninfo) {
    auto t0 = Clock::now();
    PGconn *c = PQconnectdb(conninfo.c_str());
    bool ok = PQstatus(c) == CONNECTION_OK;
    if (ok) {
        PGresult *r = PQexec(c, "SELECT 1");
        ok = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1;
        PQclear(r);
    }
    double us = seconds_since(t0) * 1e6;
    if (!ok) fprintf(stderr, "new client: %s", PQerrorMessage(c));
    PQfinish(c);
    return ok ? us : -1;
}

int measure_new_clients(const std::string &bouncer, const std::string &direct, int n) {
    std::vector<double> via, straight;
    (void)new_client_us(bouncer);  // PgBouncer opens its server connection here
    for (int i = 0; i < n; i++) {
        double a = new_client_us(bouncer);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        double b = new_client_us(direct);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (a < 0 || b < 0) return 1;
        via.push_back(a);
        straight.push_back(b);
    }
    Stats v = stats_of(via), d = stats_of(straight);
    printf(
        "new client: connect + first SELECT 1 answered (us)   n    median       p95       max\n");
    printf("  through PgBouncer (server kept)   %5zu %9.0f %9.0f %9.0f\n", v.n, v.median, v.p95,
           v.max);
    printf("  straight to PostgreSQL            %5zu %9.0f %9.0f %9.0f\n", d.n, d.median, d.p95,
           d.max);
    printf("  PgBouncer median / direct median: %.2f x\n", v.median / d.median);
    return 0;
}

void print_kind(const char *name, const std::vector<double> &us) {
    Stats s = stats_of(us);
    double lo = *std::min_element(us.begin(), us.end());
    printf("  %-10s %7.1f us/query  (runs %.1f .. %.1f)\n", name, s.median, lo, s.max);
}

void print_ratio(const char *name, const std::vector<double> &a, const std::vector<double> &b) {
    std::vector<double> r;
    for (size_t i = 0; i < a.size(); i++)
        r.push_back(a[i] / b[i]);
    Stats s = stats_of(r);
    double lo = *std::min_element(r.begin(), r.end());
    printf("  %-22s %.2f  (runs %.2f .. %.2f)\n", name, s.median, lo, s.max);
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = 3000, runs = 5, new_clients = 0, pin = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--rounds")) rounds = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--runs")) runs = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--new-clients")) new_clients = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--pin")) pin = atoi(argv[i + 1]);
    }
    if (rounds < 1 || runs < 1 || new_clients < 0 || new_clients > 100000) return 2;
    if (pin >= 0) {
        // Every process started from here on (the server, PgBouncer, the
        // gateways) inherits the one CPU.
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(pin, &set);
        if (sched_setaffinity(0, sizeof set, &set) != 0) return 2;
    }
    if (access(kPgBouncer, X_OK) != 0) {
        printf("pgbouncer not installed (Debian package pgbouncer): skipped\n");
        return 0;
    }
    char tmpl[] = "/tmp/vnx_pgb_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string dir = tmpl;
    if (!benchodbc::use_odbc_folder(VNX_SOURCE_DIR, dir)) return 1;
    std::string registry = dir + "/registry.db";
    setenv("VNX_REGISTRY", registry.c_str(), 1);
    vnxtest::PostgresServer pg;
    if (!pg.start()) {
        printf("PostgreSQL skipped: %s\n", pg.why().c_str());
        return 0;
    }
    std::ofstream(dir + "/odbc.ini") << "[pg]\n" << pg.dsn_body() << "\n";
    int rc = 0;
    {
        PgBouncer bouncer;
        if (!bouncer.start(pg.port())) {
            printf("PgBouncer did not start; see %s\n", bouncer.dir.c_str());
            bouncer.dir.clear();  // keep its log
            rc = 1;
        } else {
            std::string direct = "host=127.0.0.1 port=" + std::to_string(pg.port()) +
                                 " dbname=postgres user=vnx password=secret";
            if (new_clients > 0) runs = 0;
            if (new_clients > 0) rc = measure_new_clients(bouncer.conninfo(), direct, new_clients);
            std::map<std::string, std::vector<double>> us;
            const char *order[] = {"libpq", "pgbouncer", "gateway", "gw-ssp", "odbc"};
            for (int k = 0; k < runs && rc == 0; k++) {
                for (const char *kind : order) {
                    std::string n = kind;
                    double t = -1;
                    if (n == "libpq") t = libpq_select1(direct, rounds);
                    if (n == "pgbouncer") t = libpq_select1(bouncer.conninfo(), rounds);
                    if (n == "gateway" || n == "gw-ssp") {
                        if (!set_server_side_prepare(registry, n == "gw-ssp"))
                            t = -1;
                        else
                            t = gateway_select1("pg", rounds);
                    }
                    if (n == "odbc") t = odbc_select1("pg", rounds);
                    if (t < 0) {
                        printf("%s failed\n", kind);
                        rc = 1;
                        break;
                    }
                    us[n].push_back(t / rounds * 1e6);
                }
            }
            if (rc == 0 && runs > 0) {
                printf(
                    "SELECT 1 on PostgreSQL, %d runs x %d queries (median, lowest .. highest "
                    "run):\n",
                    runs, rounds);
                for (const char *kind : order)
                    print_kind(kind, us[kind]);
                print_ratio("gateway / pgbouncer", us["gateway"], us["pgbouncer"]);
                print_ratio("gw-ssp / pgbouncer", us["gw-ssp"], us["pgbouncer"]);
                print_ratio("gateway / libpq", us["gateway"], us["libpq"]);
            }
        }
    }
    pg.destroy();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return rc;
}
