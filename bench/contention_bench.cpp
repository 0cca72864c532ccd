// Many sessions writing one SQLite file at once: each of --sessions gateways
// (default 50) READs and UPDATEs records of its own, round after round, for
// --seconds (default 60). Prints the rounds, the failed ones, the updates a
// second, and how many acknowledged updates are missing from the file
// afterwards (there must be none); beside it, as the baseline, the same
// rounds (SELECT, UPDATE, COMMIT) from as many direct ODBC connections of
// this process through the same driver, for the same time.
//
//   contention_bench [--sessions N] [--seconds S] [--lock-timeout T]
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_odbc.h"
#include "support/config_cache.h"
#include "support/config_store.h"

using benchodbc::Clock;

namespace {

struct Options {
    int sessions = 50;
    int seconds = 60;
    int lock_timeout = 5;
};

struct Tally {
    std::atomic<long> rounds{0}, failed{0};
    std::mutex mutex;
    std::map<int, std::string> acknowledged;  // record -> last value acknowledged
};

struct Result {
    long rounds, failed, missing;
    double seconds;
};

// The value of column v of row r in the file, read outside every session.
std::string stored_value(const std::string &file, int r) {
    sqlite3 *db = nullptr;
    sqlite3_stmt *st = nullptr;
    std::string out = "<none>";
    std::string sql = "SELECT v FROM t WHERE r = " + std::to_string(r);
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0) != nullptr)
        out = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

Result settle(const std::string &file, Tally &tally, double seconds) {
    long missing = 0;
    for (const auto &[record, value] : tally.acknowledged)
        if (stored_value(file, record) != value) missing++;
    return {tally.rounds.load(), tally.failed.load(), missing, seconds};
}

// A session's records: two of its own, numbered from 1.
int record_of(int session, long round) {
    return 1 + session * 2 + static_cast<int>(round % 2);
}

// One session's part of a run: `open` readies it (false: it takes no part),
// `round` runs round `round` on record `record`, writing `value` (false when
// the round failed).
struct SessionWork {
    std::function<bool(int session)> open;
    std::function<bool(int session, int record, const std::string &value)> round;
};

// Runs every session's rounds side by side for o.seconds, each on a thread
// of its own, and then reads back what was acknowledged. Values are tagged
// with `tag`, the session and the round.
Result run_sessions(const Options &o, const std::string &file, const char *tag,
                    const SessionWork &work) {
    Tally tally;
    auto end = Clock::now() + std::chrono::seconds(o.seconds);
    auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (int k = 0; k < o.sessions; k++) {
        threads.emplace_back([&, k] {
            if (!work.open(k)) {
                tally.failed += 1;
                return;
            }
            for (long round = 0; Clock::now() < end; round++) {
                int record = record_of(k, round);
                std::string value = tag + std::to_string(k) + "." + std::to_string(round);
                tally.rounds++;
                if (!work.round(k, record, value)) {
                    tally.failed++;
                    continue;
                }
                std::lock_guard<std::mutex> lock(tally.mutex);
                tally.acknowledged[record] = value;
            }
        });
    }
    for (auto &t : threads)
        t.join();
    return settle(file, tally, benchodbc::seconds_since(t0));
}

Result run_gateways(const Options &o, const std::string &file) {
    std::vector<std::unique_ptr<benchodbc::GatewaySession>> gw;
    for (int k = 0; k < o.sessions; k++) {
        gw.push_back(std::make_unique<benchodbc::GatewaySession>());
        if (!gw.back()->start(VNX_ODBSERVER_PATH, "contend", "", "")) {
            fprintf(stderr, "contention_bench: gateway %d did not start\n", k);
            exit(1);
        }
    }
    SessionWork work;
    work.open = [&](int k) {
        dqp::Reply r;
        return gw[k]->ask('1', {"t", "A", "", "*", "r", ""}, &r) && r.type == 'Y';
    };
    work.round = [&](int k, int record, const std::string &value) {
        std::string rec = std::to_string(record);
        dqp::Reply read, upd;
        return gw[k]->ask('L', {"A", rec}, &read) && read.type == 'T' &&
               gw[k]->ask('M', {"A", rec, "2", "", value}, &upd) && upd.type == 'Y';
    };
    return run_sessions(o, file, "g", work);
}

// The baseline: the same rounds through direct ODBC connections.
Result run_direct(const Options &o, const std::string &file) {
    std::vector<benchodbc::DirectOdbc> db(o.sessions);
    SessionWork work;
    work.open = [&](int k) {
        return db[k].open("contend", "", "") &&
               db[k].exec("PRAGMA busy_timeout = " + std::to_string(o.lock_timeout * 1000));
    };
    work.round = [&](int k, int record, const std::string &value) {
        std::string r = std::to_string(record);
        return db[k].exec("SELECT * FROM t WHERE r = " + r) &&
               db[k].exec("UPDATE t SET v = '" + value + "' WHERE r = " + r);
    };
    return run_sessions(o, file, "d", work);
}

void print(const char *what, const Result &r) {
    printf("%-34s %8ld rounds %7ld failed (%5.2f %%) %8.0f updates/s  %ld acknowledged missing\n",
           what, r.rounds, r.failed, r.rounds > 0 ? 100.0 * r.failed / r.rounds : 0.0,
           (r.rounds - r.failed) / r.seconds, r.missing);
}

Options parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--sessions") == 0) o.sessions = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--seconds") == 0) o.seconds = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--lock-timeout") == 0) o.lock_timeout = atoi(argv[i + 1]);
    }
    return o;
}

}  // namespace

int main(int argc, char **argv) {
    Options o = parse(argc, argv);
    char tmpl[] = "/tmp/vnx_contend_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string dir = tmpl, file = dir + "/contend.db";
    if (!benchodbc::use_odbc_folder(VNX_SOURCE_DIR, dir)) return 1;
    std::ofstream(dir + "/odbc.ini") << "[contend]\nDriver=SQLite3\nDatabase=" << file << "\n";
    std::string err, store_path = dir + "/registry.db";
    setenv("VNX_REGISTRY", store_path.c_str(), 1);
    {
        auto store = vnx::ConfigStore::open(store_path, true, &err);
        if (store == nullptr) return 1;
        (void)store->set_value(vnx::kRootKey, "DB_ROOT", dir);
        (void)store->set_value(std::string(vnx::kRootKey) + "\\ODBServer", "lock_timeout",
                               std::to_string(o.lock_timeout));
    }
    {
        benchodbc::DirectOdbc db;
        db.open("contend", "", "");
        db.exec("CREATE TABLE t (r INTEGER PRIMARY KEY, v VARCHAR(40))");
        for (int r = 1; r <= o.sessions * 2; r++)
            db.exec("INSERT INTO t VALUES (" + std::to_string(r) + ", 'start')");
    }
    printf("%d sessions, %d s each run, lock_timeout %d s, one SQLite file\n", o.sessions,
           o.seconds, o.lock_timeout);
    Result gateway = run_gateways(o, file);
    print("gateways: READ + record UPDATE", gateway);
    Result direct = run_direct(o, file);
    print("direct ODBC: SELECT + UPDATE", direct);
    if (direct.rounds > direct.failed && direct.seconds > 0)
        printf("updates/s, gateways / direct: %.2f\n",
               ((gateway.rounds - gateway.failed) / gateway.seconds) /
                   ((direct.rounds - direct.failed) / direct.seconds));
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return gateway.missing == 0 ? 0 : 1;
}
