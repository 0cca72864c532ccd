// Starting gateway processes and the readiness handshake. See spawn.h.
#include "master/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "master/master_log.h"
#include "protocol/trace.h"
#include "support/file_trust.h"
#include "support/tls_config.h"
#include "transport/gateway_channel.h"

extern char **environ;

namespace vnx {

namespace {

// Longest sleep of wait_for_child between looks at the child: the handshake
// file itself wakes it at once through inotify.
constexpr int kPollIntervalMs = 2;

// True when the child has exited (and is reaped now) or is not ours.
bool child_gone(pid_t pid) {
    if (pid <= 0) return false;
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
}

// Takes the handshake file away when it is there; true when it was.
bool take_handshake(const std::string &name) {
    int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    unlink(name.c_str());
    return true;
}

// Watches the current directory for new files; -1 when inotify is not to be
// had (waiting then falls back to sleeping between looks).
class DirectoryWatch {
  public:
    DirectoryWatch() {
        fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (fd_ >= 0 && inotify_add_watch(fd_, ".", IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~DirectoryWatch() {
        if (fd_ >= 0) close(fd_);
    }
    // Waits up to timeout_ms for a change in the directory; false when one of
    // wake_fds became readable instead.
    bool wait(int timeout_ms, std::initializer_list<int> wake_fds) {
        pollfd p[4];
        nfds_t n = 0;
        if (fd_ >= 0) p[n++] = {fd_, POLLIN, 0};
        for (int fd : wake_fds)
            if (fd >= 0 && n < 4) p[n++] = {fd, POLLIN, 0};
        if (n == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
            return true;
        }
        if (poll(p, n, timeout_ms) <= 0) return true;
        for (nfds_t i = fd_ >= 0 ? 1 : 0; i < n; i++)
            if ((p[i].revents & POLLIN) != 0) return false;
        char events[4096];
        while (fd_ >= 0 && read(fd_, events, sizeof events) > 0) {
        }
        return true;
    }

  private:
    int fd_ = -1;
};

// When a refusal to start an untrusted program was last logged, and why.
struct RefusalNote {
    std::chrono::steady_clock::time_point at{};
    std::string problem;
    bool logged = false;
};

// True unless the program at path could have been changed by a user other
// than root or this one since the master checked it at start (a DB_ROOT made
// writable for others, a program replaced): such a program is never run.
// A refusal is logged once a minute, and at once when the reason changes.
// A missing program passes: posix_spawn then fails and says so.
bool program_trusted(const std::string &path) {
    TrustProblem problem;
    if (check_trusted_path(path, TrustKind::kFile, geteuid(), "the gateway program", &problem) !=
        kUntrusted)
        return true;
    static RefusalNote last;
    const auto now = std::chrono::steady_clock::now();
    if (!last.logged || problem.problem != last.problem ||
        now - last.at >= kSpawnRefusalLogInterval) {
        last = {now, problem.problem, true};
        master_event("refusing to start gateways: %s%s%s", problem.problem.c_str(),
                     problem.fix.empty() ? "" : "; hint: ", problem.fix.c_str());
    }
    return false;
}

}  // namespace

int spawn_wait_limit() {
    const char *v = getenv("DQP_SPAWNWAIT");
    if (v == nullptr) return 100;
    int limit = atoi(v);
    return limit < 0 ? 0 : limit;
}

pid_t spawn_server(const std::string &command_line, int port, int channel, int tls_material) {
    size_t blank = command_line.rfind(' ');
    if (blank == std::string::npos) return -1;
    std::string path = command_line.substr(0, blank);
    std::string port_text = command_line.substr(blank + 1);
    if (!program_trusted(path)) return kSpawnRefused;
    unlink(handshake_file_name(port).c_str());

    // The gateway joins its arguments after its own name and splits them at
    // the last blank, so it receives the program path and the port.
    char *argv[] = {path.data(), path.data(), port_text.data(), nullptr};
    // The child starts with default signal handling and nothing blocked,
    // whatever this thread has blocked or ignored (the master blocks SIGTERM
    // in its threads and ignores SIGPIPE).
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (channel >= 0) posix_spawn_file_actions_adddup2(&actions, channel, kGatewayChannelFd);
    if (tls_material >= 0) posix_spawn_file_actions_adddup2(&actions, tls_material, kGatewayTlsFd);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        dqp::tracef("[tcp_accept]", "spawn_server(%s) failed", strerror(rc));
        return -1;
    }
    return pid;
}

bool take_ready_signal(int port) {
    return take_handshake(handshake_file_name(port));
}

int wait_for_child(int port, pid_t pid, std::initializer_list<int> wake_fds) {
    std::string name = handshake_file_name(port);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(spawn_wait_limit());
    DirectoryWatch watch;  // before the first look, so no creation is missed
    for (;;) {
        if (take_handshake(name)) return 0;
        if (child_gone(pid)) return take_handshake(name) ? 0 : -1;
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        if (!watch.wait(kPollIntervalMs, wake_fds)) return -2;
    }
}

}  // namespace vnx
