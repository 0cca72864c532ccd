// How long the activity window's Refresh holds the console thread with 100
// live sessions in users.db: the whole command (read users.db and the store,
// rebuild the list, update the status pane and Kill), beside the file read
// alone, measured in the same run on the offscreen platform.
#include <stdlib.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <vector>

#include "console/core/activity.h"
#include "console/qt/activity_window.h"
#include "console/qt/context.h"
#include "master/session_registry.h"
#include "support/config_store.h"

namespace {

constexpr int kSessions = 100;
constexpr int kRounds = 200;

void write_users_db(const std::string &path) {
    std::string bytes(vnx::SESSION_HEADER_SIZE, '\0');
    for (int i = 0; i < kSessions; ++i) {
        vnx::SessionRecord r;
        r.status = vnx::SESSION_LIVE;
        r.name = "user" + std::to_string(i);
        r.type_field = "ODB10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250);
        r.process = 10000 + i;
        r.port = 5001 + i;
        r.gid = i % 3 == 0 ? -1 : 1;
        r.uid = i;
        r.login_date = "07/12/2026";
        r.login_time = "15:00:00";
        unsigned char buf[vnx::SESSION_RECORD_SIZE];
        vnx::encode_session_record(r, buf);
        bytes.append(reinterpret_cast<char *>(buf), sizeof buf);
    }
    std::ofstream(path, std::ios::binary) << bytes;
}

double thread_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct Timings {
    std::vector<double> wall, cpu;  // ms per round, sorted
};

// Wall time and this thread's CPU time of each round: on a shared machine
// the CPU time is what the console thread itself spends.
template <typename F>
Timings time_rounds(F f) {
    Timings t;
    for (int i = 0; i < kRounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const double cpu = thread_cpu_ms();
        f();
        t.cpu.push_back(thread_cpu_ms() - cpu);
        t.wall.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(t.wall.begin(), t.wall.end());
    std::sort(t.cpu.begin(), t.cpu.end());
    return t;
}

void report(const char *what, const Timings &t) {
    auto at = [](const std::vector<double> &v, int pct) { return v[v.size() * pct / 100]; };
    std::printf("%-40s thread CPU median %6.3f p95 %6.3f ms | wall median %6.3f p95 %6.3f ms\n",
                what, at(t.cpu, 50), at(t.cpu, 95), at(t.wall, 50), at(t.wall, 95));
}

}  // namespace

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    char tmpl[] = "/tmp/vnx_refresh_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string root = tmpl;
    const std::string store_path = root + "/registry.db";
    setenv("VNX_REGISTRY", store_path.c_str(), 1);
    {
        std::string err;
        auto store = vnx::ConfigStore::open(store_path, true, &err);
        if (!store) return 1;
        store->set_value(vnx::kRootKey, "DB_ROOT", root);
        store->set_value(vnx::kRootKey, "DB_DQPBASE", "5000");
        store->set_value(vnx::kRootKey, "DB_DQPMAX", "5201");
    }
    write_users_db(root + "/users.db");

    QApplication app(argc, argv);
    vnx::console::console_context().live_sessions = [] { return kSessions; };
    vnx::console::CCurActFrm frame;
    frame.resize(800, 600);
    frame.show();
    QCoreApplication::processEvents();
    std::printf("activity window refresh, %d live sessions, %d rounds\n", kSessions, kRounds);
    std::vector<vnx::console::ActivityRow> rows;
    report("users.db read alone (baseline)",
           time_rounds([&] { vnx::console::read_activity(root + "/users.db", &rows); }));
    report("Refresh (list rebuilt, status updated)", time_rounds([&] { frame.refresh(); }));
    report("repaint alone", time_rounds([&] { frame.view()->viewport()->repaint(); }));
    report("Refresh and repaint", time_rounds([&] {
               frame.refresh();
               frame.view()->viewport()->repaint();
           }));
    std::printf("rows shown: %d\n", frame.view()->topLevelItemCount());
    frame.view()->clear();
    report("repaint of the empty list", time_rounds([&] { frame.view()->viewport()->repaint(); }));
    std::filesystem::remove_all(root);
    return 0;
}
