// Throwaway database servers. See throwaway_server.h.
#include "throwaway_server.h"

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace vnxtest {

namespace {

// A loopback port nobody listens on right now.
int free_port() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0) close(s);
    return port;
}

// Reaps pid within timeout_ms; false when it is still running.
bool reaped(pid_t pid, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || r < 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

const passwd *server_user() {
    return geteuid() == 0 ? getpwnam("nobody") : nullptr;
}

bool wait_for_path(const std::string &path, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (std::filesystem::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// The newest installed PostgreSQL server programs, or empty.
std::string postgres_bin() {
    std::string best;
    std::error_code ec;
    for (auto &e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        std::string bin = e.path().string() + "/bin";
        if (std::filesystem::exists(bin + "/initdb") && std::filesystem::exists(bin + "/pg_ctl") &&
            (best.empty() || std::stoi(e.path().filename().string()) >
                                 std::stoi(std::filesystem::path(best).parent_path().filename())))
            best = bin;
    }
    return best;
}

std::string first_existing(std::initializer_list<const char *> paths) {
    for (const char *p : paths)
        if (std::filesystem::exists(p)) return p;
    return "";
}

}  // namespace

int run_unprivileged(const std::vector<std::string> &argv, const std::string &log, bool wait) {
    const passwd *pw = server_user();
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in >= 0) dup2(in, 0);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        if (pw != nullptr &&
            (setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0))
            _exit(126);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (!wait) return pid;
    int st = 0;
    if (waitpid(pid, &st, 0) != pid) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

bool ThrowawayServer::make_dir(const char *prefix) {
    std::string tmpl = std::string("/tmp/") + prefix + "_XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) return fail("cannot make a temporary folder");
    dir_ = tmpl;
    if (const passwd *pw = server_user())
        if (chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0)
            return fail("cannot hand the folder over");
    port_ = free_port();
    return true;
}

// ---- PostgreSQL ----------------------------------------------------------------

bool PostgresServer::start() {
    if (running_) return true;
    if (!why_.empty()) return false;
    bin_ = postgres_bin();
    if (bin_.empty())
        return not_installed(
            "PostgreSQL server programs (initdb, pg_ctl) not found: install package postgresql");
    if (!make_dir("vnx_pg")) return false;
    std::string pwfile = dir_ + "/pw";
    std::ofstream(pwfile) << "secret\n";
    if (const passwd *pw = server_user()) chown(pwfile.c_str(), pw->pw_uid, pw->pw_gid);
    int rc = run_unprivileged(
        {bin_ + "/initdb", "-D", dir_ + "/data", "-U", "vnx", "--pwfile=" + pwfile,
         "--auth-host=scram-sha-256", "--auth-local=trust", "-E", "UTF8", "--no-sync"},
        dir_ + "/initdb.log", true);
    if (rc != 0) return fail("initdb failed; see " + dir_ + "/initdb.log");
    return pg_ctl_start();
}

bool PostgresServer::pg_ctl_start() {
    std::string opts = "-p " + std::to_string(port_) + " -k " + dir_ +
                       " -c listen_addresses=127.0.0.1 -c fsync=off";
    int rc = run_unprivileged({bin_ + "/pg_ctl", "start", "-w", "-D", dir_ + "/data", "-l",
                               dir_ + "/server.log", "-o", opts},
                              dir_ + "/pg_ctl.log", true);
    if (rc != 0) return fail("pg_ctl start failed; see " + dir_ + "/server.log");
    running_ = true;
    return true;
}

void PostgresServer::stop() {
    if (!running_) return;
    run_unprivileged({bin_ + "/pg_ctl", "stop", "-w", "-D", dir_ + "/data", "-m", "immediate"},
                     dir_ + "/pg_ctl.log", true);
    running_ = false;
}

bool PostgresServer::restart() {
    return running_ || pg_ctl_start();
}

void PostgresServer::destroy() {
    stop();
    std::error_code ec;
    // A server that failed to start leaves its folder for the logs it names.
    if (!dir_.empty() && why_.empty()) std::filesystem::remove_all(dir_, ec);
}

std::string PostgresServer::dsn_body(const std::string &extra) const {
    return "Driver=PostgreSQL Unicode\nServername=127.0.0.1\nPort=" + std::to_string(port_) +
           "\nDatabase=postgres\n" + extra;
}

// ---- MariaDB --------------------------------------------------------------------

bool MariadbServer::start() {
    if (pid_ > 0) return true;
    if (!why_.empty()) return false;
    std::string install =
        first_existing({"/usr/bin/mariadb-install-db", "/usr/bin/mysql_install_db"});
    std::string server = first_existing({"/usr/sbin/mariadbd", "/usr/sbin/mysqld"});
    std::string client = first_existing({"/usr/bin/mariadb", "/usr/bin/mysql"});
    if (install.empty() || server.empty() || client.empty())
        return not_installed(
            "MariaDB server programs (mariadbd, mariadb-install-db) not found: install "
            "package mariadb-server");
    if (!make_dir("vnx_maria")) return false;
    // Its own temporary folder: servers bootstrapping side by side in /tmp
    // collide on the names of their temporary tables.
    std::string tmp = dir_ + "/tmp";
    std::filesystem::create_directory(tmp);
    if (const passwd *pw = server_user())
        if (chown(tmp.c_str(), pw->pw_uid, pw->pw_gid) != 0) return fail("cannot hand over " + tmp);
    int rc = run_unprivileged(
        {install, "--no-defaults", "--datadir=" + dir_ + "/data", "--tmpdir=" + tmp,
         "--auth-root-authentication-method=normal", "--skip-test-db"},
        dir_ + "/install.log", true);
    if (rc != 0) return fail("mariadb-install-db failed; see " + dir_ + "/install.log");
    if (!launch()) return false;
    rc = run_unprivileged(
        {client, "--no-defaults", "-S", dir_ + "/sock", "-u", "root", "-e",
         "CREATE DATABASE vnx; CREATE USER 'vnx'@'%' IDENTIFIED BY 'secret'; "
         "CREATE USER 'vnx'@'localhost' IDENTIFIED BY 'secret'; "
         "GRANT ALL ON vnx.* TO 'vnx'@'%'; GRANT ALL ON vnx.* TO 'vnx'@'localhost';"},
        dir_ + "/setup.log", true);
    if (rc != 0) return fail("creating the test user failed; see " + dir_ + "/setup.log");
    return true;
}

bool MariadbServer::launch() {
    std::string server = first_existing({"/usr/sbin/mariadbd", "/usr/sbin/mysqld"});
    std::filesystem::remove(dir_ + "/sock");
    pid_ = run_unprivileged(
        {server, "--no-defaults", "--datadir=" + dir_ + "/data", "--port=" + std::to_string(port_),
         "--socket=" + dir_ + "/sock", "--bind-address=127.0.0.1", "--skip-log-bin",
         "--innodb-buffer-pool-size=16M", "--log-error=" + dir_ + "/err.log"},
        dir_ + "/server.out", false);
    if (pid_ <= 0 || !wait_for_path(dir_ + "/sock", 30000)) {
        stop();
        return fail("mariadbd did not start; see " + dir_ + "/err.log");
    }
    return true;
}

void MariadbServer::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!reaped(pid_, 30000)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

bool MariadbServer::restart() {
    return pid_ > 0 || launch();
}

void MariadbServer::destroy() {
    stop();
    std::error_code ec;
    // A server that failed to start leaves its folder for the logs it names.
    if (!dir_.empty() && why_.empty()) std::filesystem::remove_all(dir_, ec);
}

std::string MariadbServer::dsn_body(const std::string &extra) const {
    return "Driver=MariaDB Unicode\nServer=127.0.0.1\nPort=" + std::to_string(port_) +
           "\nDatabase=vnx\n" + extra;
}

}  // namespace vnxtest
