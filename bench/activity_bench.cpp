// The cost of publishing a gateway's activity: "SELECT 1" rounds (one
// pipelined query: EXECSQL, MAPERROR, FETCHMANY and the row back) against
// two gateways on the same SQLite data source, one with ODBServer
// "track_activity" on (the default) and one with it off, measured in the
// same run with their rounds interleaved in blocks of random order, so that
// a busy neighbour weighs on both alike. Prints the medians and p95 and the
// ratio on/off; the board is checked afterwards to show that the one
// gateway published and the other did not.
//
//   activity_bench [--rounds N] [--blocks B]     (default 2000 rounds in 20 blocks each)
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "bench_odbc.h"
#include "bench_stats.h"
#include "support/activity_board.h"
#include "support/config_store.h"

namespace {

using benchodbc::Clock;

// A gateway started on `port` (the activity board's base port + 1 or + 2),
// STARTed and CONNECTed to "sqlite".
struct Gateway {
    pid_t pid = -1;
    std::unique_ptr<dqp::Connection> c;
    std::unique_ptr<dqp::SqlClient> sql;
    bool start(int port) {
        pid = vnx::spawn_server(std::string(VNX_ODBSERVER_PATH) + " " + std::to_string(port), port);
        if (pid <= 0 || vnx::wait_for_child(port, pid) != 0) return false;
        std::string err;
        c = dqp::Connection::open("127.0.0.1", port, &err, 120000);
        if (c == nullptr) return false;
        sql = std::make_unique<dqp::SqlClient>(*c);
        return sql->start("bench", "") == 0 && sql->connect("sqlite", "bench", "") == 0;
    }
    // One round; its time in microseconds, or -1 when it failed.
    double round() {
        dqp::ExecResult res;
        int rows = 0;
        auto t0 = Clock::now();
        int rc = sql->query("SELECT 1", &res, nullptr, nullptr, [&](dqp::Row &&) {
            rows++;
            return 0;
        });
        double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        return rc == 0 && rows == 1 ? us : -1;
    }
    ~Gateway() {
        if (c != nullptr) (void)c->send('B', 0);
        if (pid > 0) benchodbc::end_gateway(pid);
    }
};

bool set_tracking(const std::string &store_path, const char *value) {
    std::string err;
    auto store = vnx::ConfigStore::open(store_path, true, &err);
    return store && store->set_value(std::string(vnx::kRootKey) + "\\ODBServer", "track_activity",
                                     value) == 0;
}

void print_stats(const char *name, const Stats &s) {
    printf("%-22s %6zu rounds  median %7.1f us  p95 %7.1f us  max %8.1f us\n", name, s.n, s.median,
           s.p95, s.max);
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = 2000, blocks = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--rounds")) rounds = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--blocks")) blocks = atoi(argv[i + 1]);
    }
    if (rounds < blocks || blocks < 1) return 2;
    char tmpl[] = "/tmp/vnx_activity_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string dir = tmpl, store_path = dir + "/registry.db";
    std::filesystem::current_path(dir);
    if (!benchodbc::use_odbc_folder(VNX_SOURCE_DIR, dir)) return 1;
    setenv("VNX_REGISTRY", store_path.c_str(), 1);
    std::ofstream(dir + "/odbc.ini") << "[sqlite]\nDriver=SQLite3\nDatabase=" << dir << "/b.db\n";
    {
        std::string err;
        auto store = vnx::ConfigStore::open(store_path, true, &err);
        if (!store || store->set_value(vnx::kRootKey, "DB_ROOT", dir) != 0) return 1;
    }
    // The board a master would make; its base port just below the gateways'.
    const int base = benchnet::free_port();
    std::string err;
    if (!vnx::ActivityBoard::create(dir + "/" + vnx::kActivityBoardName, base, &err)) {
        printf("no board: %s\n", err.c_str());
        return 1;
    }
    // The setting is read when the client comes: one gateway each way.
    Gateway on, off;
    if (!set_tracking(store_path, "true") || !on.start(base + 1) ||
        !set_tracking(store_path, "false") || !off.start(base + 2)) {
        printf("cannot start the gateways (ports %d, %d)\n", base + 1, base + 2);
        return 1;
    }
    std::vector<double> with, without;
    std::mt19937 rng(42);
    const int per_block = rounds / blocks;
    for (int b = 0; b < blocks; b++) {
        bool on_first = rng() & 1;
        for (int pass = 0; pass < 2; pass++) {
            const bool tracking = (pass == 0) == on_first;
            Gateway &g = tracking ? on : off;
            for (int i = 0; i < per_block; i++) {
                double us = g.round();
                if (us < 0) {
                    printf("a round failed: %s\n", g.sql->error().c_str());
                    return 1;
                }
                (tracking ? with : without).push_back(us);
            }
        }
    }
    const Stats s_on = stats_of(with), s_off = stats_of(without);
    print_stats("track_activity on", s_on);
    print_stats("track_activity off", s_off);
    printf("ratio on/off: median %.3f, p95 %.3f\n", s_on.median / s_off.median,
           s_on.p95 / s_off.p95);
    auto board = vnx::ActivityBoard::open(dir + "/" + vnx::kActivityBoardName, false, &err);
    vnx::ActivityRecord a, b;
    if (board && board->read(1, &a) == 0 && board->read(2, &b) == 0)
        printf("board: on-gateway rows sent %llu (state %s), off-gateway slot %s\n",
               static_cast<unsigned long long>(a.rows_sent), vnx::activity_state_name(a.state),
               vnx::activity_state_name(b.state));
    std::filesystem::current_path("/");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
