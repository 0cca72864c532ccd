// Shared set-up of the integration tests: a temporary DB_ROOT directory that
// is also the current directory (the handshake files live there), its own
// configuration store, free loopback ports, and waiting for processes.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "support/config_cache.h"
#include "support/config_store.h"

extern char **environ;

namespace vnxtest {

// The folder of the port-region locks, shared by the test runs of every user
// of the machine.
inline constexpr const char *kPortLockDir = "/tmp/vnx_test_ports";

// True when fd is a folder of mode 1777 (every user may create files in it,
// none may remove another's), after setting that mode when it differs and
// this process may (its owner, or root).
inline bool open_to_every_user(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return (st.st_mode & 07777) == 01777 || fchmod(fd, 01777) == 0;
}

// The folder in which this process takes its port-region locks: `dir`, made
// like /tmp (mode 1777) so that a run as another user can lock there too, and
// mended when an earlier run made it with another mode. When `dir` cannot be
// used (a run as another user made it wrongly, or it is not a folder), a
// folder of this user's own beside it ("dir.UID"). "" when neither can be had.
// Never follows a symbolic link.
inline std::string port_lock_dir(const std::string &dir) {
    mkdir(dir.c_str(), 01777);  // the umask takes bits away: mended below
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    bool shared = fd >= 0 && open_to_every_user(fd);
    if (fd >= 0) close(fd);
    if (shared) return dir;
    std::string own = dir + "." + std::to_string(geteuid());
    mkdir(own.c_str(), 0700);
    fd = open(own.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    bool mine = fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == geteuid();
    if (fd >= 0) close(fd);
    return mine ? own : std::string();
}

// Locks the region of ports starting at base in folder dir: an exclusive lock
// on a file named after it. The descriptor that holds the lock (>= 0; the
// lock lasts while it is open), -1 when another process holds it, -2 when no
// lock can be had there. The file is made readable and writable by every
// user, so that a run as another user can lock it later.
inline int lock_port_region(const std::string &dir, int base) {
    std::string path = dir + "/" + std::to_string(base) + ".lock";
    // flock needs no write access: a file made by another user still locks.
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return -2;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 0777) != 0666)
        fchmod(fd, 0666);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// True when this process now holds the region of ports starting at base,
// until it ends. Test processes run side by side (ctest -j, two suites at
// once, runs as different users); probing a port with bind alone lets two of
// them pick the same port in the same moment, the lock does not. Without a
// lock to be had, the bind probe alone decides.
// A region this process holds already is its own to use again (the bind
// probe then says whether its ports are free now): a test process that
// starts many gateways never runs out of regions.
inline bool claim_port_region(int base) {
    static const std::string dir = port_lock_dir(kPortLockDir);
    static std::set<int> held;
    if (dir.empty() || held.contains(base)) return true;
    int fd = lock_port_region(dir, base);  // the descriptor stays open
    if (fd >= 0) held.insert(base);
    return fd != -1;
}

// A base port with the base and the next 201 ports free right now, below the
// kernel's ephemeral range (32768 and up), so that no client socket of the
// machine takes a gateway's port between the check and the gateway's bind.
// The region is this process's alone (claim_port_region).
inline int free_base_port() {
    static std::mutex mutex;  // tests start gateways from several threads
    std::lock_guard<std::mutex> lock(mutex);
    static int next = 20000 + (getpid() * 250) % 12000;
    for (int tries = 0; tries < 200; tries++) {
        int base = next;
        next += 250;
        if (next > 32000) next = 20000;
        if (!claim_port_region(base)) continue;
        bool ok = true;
        for (int p = base; p <= base + 201 && ok; p += 1) {
            // SO_REUSEADDR and listen, as the master and gateways do:
            // connections in TIME_WAIT do not hold a port; listeners and
            // live connections on it (a gateway serving its client) do.
            int s = socket(AF_INET, SOCK_STREAM, 0);
            int on = 1;
            setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            a.sin_port = htons(static_cast<uint16_t>(p));
            ok = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(s, 1) == 0;
            close(s);
        }
        if (ok) return base;
    }
    return 0;
}

// A port nobody listens on right now, from the same scheme.
inline int free_port() {
    return free_base_port() + 1;
}

// Exit code of pid within timeout_ms (reaping it), -1000 - signal when it was
// killed by one, -2 when it is not (or no longer) a child to wait for, or -1
// when it is still running.
inline int wait_exit(pid_t pid, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -1000 - WTERMSIG(st);
        if (r < 0) return -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < end);
    return -1;
}

// The gateway program the tests start: $VNX_TEST_GATEWAY when set (for
// example a script that runs odbserver under valgrind; it gets the
// arguments odbserver would: its own path and the port), else the odbserver
// of this build.
inline std::string gateway_program() {
    const char *program = getenv("VNX_TEST_GATEWAY");
    return program != nullptr && *program != '\0' ? program : VNX_ODBSERVER_PATH;
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A temporary installation: DB_ROOT, configuration store, current directory.
class Installation : public ::testing::Test {
  protected:
    void SetUp() override {
        // Files the tests write (odbc.ini above all) are never writable by
        // group or others, whatever umask the run was started with: the
        // master and its gateways refuse such files.
        umask(umask(022) | 022);
        char tmpl[] = "/tmp/vnx_it_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        old_cwd_ = std::filesystem::current_path();
        std::filesystem::current_path(root_);
        std::string store = root_ + "/registry.db";
        setenv("VNX_REGISTRY", store.c_str(), 1);
        setenv("DQP_SPAWNWAIT", "20", 1);
        // Made as vnxadmin init makes it (mode 0600, whatever the umask):
        // the master refuses a store that group or others may write.
        close(open(store.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        std::string err;
        store_ = vnx::ConfigStore::open(store, true, &err);
        ASSERT_NE(store_, nullptr) << err;
        EXPECT_EQ(store_->set_value(vnx::kRootKey, "DB_ROOT", root_), 0);
        EXPECT_EQ(store_->create_key(std::string(vnx::kRootKey) + "\\ODBServer"), 0);
        EXPECT_EQ(store_->create_key(vnx::kNetServerKey), 0);
        vnx::reset_registry_cache_for_tests();
    }
    void TearDown() override {
        for (pid_t pid : children_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        std::filesystem::current_path(old_cwd_);
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        vnx::reset_registry_cache_for_tests();
    }
    void own(pid_t pid) { children_.push_back(pid); }
    void forget(pid_t pid) { std::erase(children_, pid); }

    std::string root_;
    std::filesystem::path old_cwd_;
    std::unique_ptr<vnx::ConfigStore> store_;
    std::vector<pid_t> children_;
};

}  // namespace vnxtest
