// A real master (db_dqpserver --headless) on a loopback base port, with
// odbserver copied into its DB_ROOT.
#pragma once

#include <fcntl.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "client/port_query.h"
#include "harness.h"

namespace vnxtest {

class Master : public Installation {
  protected:
    void SetUp() override {
        Installation::SetUp();
        std::filesystem::copy_file(VNX_ODBSERVER_PATH, root_ + "/odbserver");
        std::filesystem::permissions(root_ + "/odbserver", std::filesystem::perms::owner_all);
        base_ = free_base_port();
        ASSERT_GT(base_, 0);
        EXPECT_EQ(store_->set_value(vnx::kRootKey, "DB_DQPBASE", std::to_string(base_)), 0);
        // Ports are handed out lowest free first unless a test asks for
        // warm spares (set_spares).
        set_spares(0);
    }
    void set_port_server_value(const std::string &name, const std::string &data) {
        EXPECT_EQ(store_->set_value(std::string(vnx::kRootKey) + "\\PortServer", name, data), 0);
    }
    void set_spares(int n) { set_port_server_value("spares", std::to_string(n)); }
    // The project's ODBC driver list in DB_ROOT and one SQLite DSN, `dsn`,
    // whose database is DB_ROOT/<file>; the master and its gateways read them.
    void use_sqlite_dsn(const std::string &dsn, const std::string &file) {
        std::string cmd = std::string(VNX_SOURCE_DIR) + "/scripts/odbc-ini " + root_;
        ASSERT_EQ(system(cmd.c_str()), 0);
        std::ofstream(root_ + "/odbc.ini")
            << "[" << dsn << "]\nDriver=SQLite3\nDatabase=" << root_ << "/" << file << "\n";
        setenv("ODBCSYSINI", root_.c_str(), 1);
        setenv("ODBCINI", (root_ + "/odbc.ini").c_str(), 1);
    }
    void TearDown() override {
        // Entries of -1 are masters already reaped: never signal them (kill
        // with -1 would reach every process).
        for (pid_t m : masters_)
            if (m > 0) kill(m, SIGTERM);
        for (pid_t m : masters_)
            if (m > 0) wait_exit(m, 10000);
        Installation::TearDown();
    }

    // Starts a master; its standard error goes to <root>/master<N>.err. With
    // wait_ready, waits until it serves; when another test process claimed
    // the same base port first, moves to another base port and tries again.
    pid_t start_master(bool wait_ready = true) {
        for (int attempt = 0;; attempt++) {
            pid_t pid = spawn_master();
            if (!wait_ready) return pid;
            if (wait_claimed(pid, 10000) || attempt == 4) {
                EXPECT_TRUE(wait_active(10000));
                return pid;
            }
            if (masters_.back() > 0) {
                kill(pid, SIGKILL);
                wait_exit(pid, 5000);
            }
            masters_.pop_back();
            base_ = free_base_port();
            EXPECT_EQ(store_->set_value(vnx::kRootKey, "DB_DQPBASE", std::to_string(base_)), 0);
        }
    }
    pid_t spawn_master() {
        std::string err = root_ + "/master" + std::to_string(masters_.size()) + ".err";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        // Neither the master nor its gateways may hold the test runner's
        // output pipe: a process left behind would keep the runner waiting.
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        char arg0[] = "db_dqpserver", arg1[] = "--headless";
        char *argv[] = {arg0, arg1, nullptr};
        pid_t pid = 0;
        EXPECT_EQ(posix_spawn(&pid, VNX_DB_DQPSERVER_PATH, &fa, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        masters_.push_back(pid);
        return pid;
    }
    // True once the master has claimed its base port (it recreates users.db
    // only after that); false when it exited first.
    bool wait_claimed(pid_t pid, int timeout_ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            std::error_code ec;
            if (std::filesystem::file_size(users_db(), ec) == 1025u && !ec) return true;
            int st = 0;
            if (waitpid(pid, &st, WNOHANG) == pid) {
                masters_.back() = -1;  // reaped here
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    bool wait_active(int timeout_ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        std::string answer, err;
        while (std::chrono::steady_clock::now() < end) {
            if (dqp::text_query("127.0.0.1", base_, "Active", &answer, &err) == 0 && answer == "0")
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    int request(const std::string &type = "odb", std::string *err_out = nullptr) {
        int port = -1;
        std::string err;
        if (dqp::request_server("127.0.0.1", base_, type, &port, &err) != 0) port = -1;
        if (err_out != nullptr) *err_out = err;
        return port;
    }
    std::vector<std::string> sessions() {
        std::vector<std::string> lines;
        std::string err;
        EXPECT_EQ(dqp::list_sessions("127.0.0.1", base_, &lines, &err), 0) << err;
        return lines;
    }
    // Waits until the listed sessions number n.
    bool wait_sessions(size_t n, int timeout_ms = 5000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            if (sessions().size() == n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    std::string users_db() { return root_ + "/users.db"; }
    // The gateways the master lists in gateways.pid.
    std::vector<pid_t> recorded_gateways() {
        std::vector<pid_t> pids;
        std::istringstream in(read_file(root_ + "/gateways.pid"));
        for (long pid; in >> pid;)
            if (pid > 1) pids.push_back(static_cast<pid_t>(pid));
        return pids;
    }
    // Waits until gateways.pid lists n gateways.
    bool wait_recorded(size_t n, int timeout_ms = 10000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            if (recorded_gateways().size() == n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    int base_ = 0;
    std::vector<pid_t> masters_;
};

// True while pid runs (a zombie counts as ended).
inline bool process_alive(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

}  // namespace vnxtest
