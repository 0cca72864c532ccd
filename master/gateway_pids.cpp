// The record of started gateways. See gateway_pids.h.
#include "master/gateway_pids.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "master/session_registry.h"
#include "support/config_cache.h"
#include "support/unique_fd.h"

namespace vnx {

namespace {

// A pid from one line: 1 to 9 digits, above 1 (pid 1 is init: never ours).
pid_t parse_pid_line(const std::string &line) {
    if (line.empty() || line.size() > 9) return 0;
    long v = 0;
    for (char c : line) {
        if (c < '0' || c > '9') return 0;
        v = v * 10 + (c - '0');
    }
    return v > 1 ? static_cast<pid_t>(v) : 0;
}

// write(2) until all of text is written; false on a failure.
bool write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// read(2) until max bytes or the end of the file.
std::string read_up_to(int fd, size_t max) {
    std::string text(max, '\0');
    size_t got = 0;
    while (got < max) {
        ssize_t n = read(fd, text.data() + got, max - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    return text;
}

}  // namespace

std::string gateway_pid_path() {
    std::string root = get_registry_value("DB_ROOT", kRootKey);
    return root.empty() ? std::string() : root + "/gateways.pid";
}

int write_gateway_pids(const std::string &path, const std::vector<pid_t> &pids) {
    if (path.empty()) return -1;
    std::string text;
    for (pid_t pid : pids)
        if (pid > 0) text += std::to_string(pid) + "\n";
    std::string temp = path + ".new";
    UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd.valid()) return -1;
    if (!write_all(fd.get(), text)) {
        unlink(temp.c_str());
        return -1;
    }
    fd.reset();
    if (rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return -1;
    }
    return 0;
}

std::vector<pid_t> read_gateway_pids(const std::string &path) {
    std::vector<pid_t> pids;
    if (path.empty()) return pids;
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.valid()) return pids;
    std::string text = read_up_to(fd.get(), GATEWAY_PID_FILE_MAX);
    size_t start = 0;
    while (start < text.size() && pids.size() < GATEWAY_PID_MAX_ENTRIES) {
        size_t end = text.find('\n', start);
        // A last line without its newline may be cut short: skip it.
        if (end == std::string::npos) break;
        if (pid_t pid = parse_pid_line(text.substr(start, end - start)); pid > 0)
            pids.push_back(pid);
        start = end + 1;
    }
    return pids;
}

std::string master_pid_path(const std::string &db_root) {
    return db_root.empty() ? std::string() : db_root + "/db_dqpserver.pid";
}

pid_t running_master(const std::string &db_root, std::string *why) {
    std::string path = master_pid_path(db_root);
    std::vector<pid_t> pids = read_gateway_pids(path);
    if (pids.size() != 1) {
        *why = "no master runs for this DB_ROOT (" + path + " names none)";
        return 0;
    }
    char exe[4096];
    std::string link = "/proc/" + std::to_string(pids[0]) + "/exe";
    ssize_t n = readlink(link.c_str(), exe, sizeof exe - 1);
    if (n <= 0) {
        *why = "the master " + path + " names (process " + std::to_string(pids[0]) +
               ") no longer runs, or belongs to another user";
        return 0;
    }
    std::string program(exe, static_cast<size_t>(n));
    std::string base = program.substr(program.rfind('/') + 1);
    if (base.rfind("db_dqpserver", 0) != 0) {
        *why = "process " + std::to_string(pids[0]) + " named by " + path + " is not a master (" +
               program + ")";
        return 0;
    }
    return pids[0];
}

int end_recorded_gateways() {
    std::string path = gateway_pid_path();
    std::string root = get_registry_value("DB_ROOT", kRootKey);
    int ended = 0;
    for (pid_t pid : read_gateway_pids(path)) {
        if (!is_our_gateway(pid, root)) continue;
        if (kill(pid, SIGTERM) == 0) ended++;
    }
    if (write_gateway_pids(path, {}) != 0)
        fprintf(
            stderr,
            "db_dqpserver: cannot empty %s: its gateways are looked for again at the next start\n",
            path.c_str());
    return ended;
}

}  // namespace vnx
