// The master's checked settings for its gateways. See settings_snapshot.h.
#include "support/settings_snapshot.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/unique_fd.h"

namespace vnx {

namespace {

constexpr const char *kFirstLine = "VNX settings 1\n";
// Larger than any snapshot the store's limits allow in practice; a bigger
// file is not ours.
constexpr off_t kMaxSnapshotBytes = 16 * 1024 * 1024;

bool line_safe(const std::string &text, bool tab_allowed) {
    for (unsigned char c : text)
        if (c == '\n' || c == '\r' || (c == '\t' && !tab_allowed)) return false;
    return true;
}

int write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    return 0;
}

int parse_snapshot(const std::string &text, std::vector<SnapshotKey> *keys) {
    if (text.rfind(kFirstLine, 0) != 0) return -1;
    std::vector<SnapshotKey> out;
    size_t at = strlen(kFirstLine);
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) return -1;  // cut short
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            out.push_back({line.substr(1, line.size() - 2), {}});
            continue;
        }
        const size_t tab = line.find('\t');
        if (out.empty() || tab == std::string::npos || tab == 0) return -1;
        out.back().second.push_back({line.substr(0, tab), line.substr(tab + 1)});
    }
    *keys = std::move(out);
    return 0;
}

struct SnapshotCache {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    timespec ctime{};  // changes with every write, rename or chmod
    off_t size = -1;
    bool usable = false;
    bool ignored = false;  // ignore_settings_snapshot()
    std::vector<SnapshotKey> keys;
};

SnapshotCache &cache() {
    static SnapshotCache c;
    return c;
}

}  // namespace

int write_settings_snapshot(const std::string &path, const std::vector<SnapshotKey> &keys,
                            std::string *why) {
    std::string text = kFirstLine;
    for (const auto &[key, values] : keys) {
        if (key.empty() || !line_safe(key, false)) {
            *why = "a key name holds a line break or tab";
            return -1;
        }
        text += "[" + key + "]\n";
        for (const auto &[name, data] : values) {
            if (name.empty() || !line_safe(name, false) || !line_safe(data, true)) {
                *why = "value \"" + name + "\" of " + key + " holds a line break";
                return -1;
            }
            text += name + "\t" + data + "\n";
        }
    }
    const std::string temp = path + ".new";
    unlink(temp.c_str());
    UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0 || fchmod(fd.get(), 0600) != 0 || write_all(fd.get(), text) != 0 ||
        fsync(fd.get()) != 0) {
        *why = "cannot write " + temp + ": " + strerror(errno);
        unlink(temp.c_str());
        return -1;
    }
    fd.reset();
    if (rename(temp.c_str(), path.c_str()) != 0) {
        *why = "cannot rename " + temp + " to " + path + ": " + strerror(errno);
        unlink(temp.c_str());
        return -1;
    }
    return 0;
}

int read_settings_snapshot(const std::string &path, std::vector<SnapshotKey> *keys) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != geteuid() || (st.st_mode & 077) != 0 || st.st_size > kMaxSnapshotBytes)
        return -1;
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = read(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    return parse_snapshot(text, keys);
}

bool snapshot_values(const std::string &key, ValueList *values) {
    SnapshotCache &c = cache();
    const char *path = getenv(kSettingsSnapshotEnv);
    if (c.ignored || path == nullptr || path[0] == '\0') return false;
    struct stat st {};
    // Mode and owner are looked at on every read: a snapshot opened to
    // others since it was read is not trusted any more.
    if (stat(path, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0) return false;
    if (c.path != path || c.dev != st.st_dev || c.ino != st.st_ino || c.size != st.st_size ||
        c.ctime.tv_sec != st.st_ctim.tv_sec || c.ctime.tv_nsec != st.st_ctim.tv_nsec) {
        c.path = path;
        c.dev = st.st_dev;
        c.ino = st.st_ino;
        c.size = st.st_size;
        c.ctime = st.st_ctim;
        c.usable = read_settings_snapshot(path, &c.keys) == 0;
    }
    if (!c.usable) return false;
    for (const auto &[k, v] : c.keys) {
        if (strcasecmp(k.c_str(), key.c_str()) != 0) continue;
        *values = v;
        return true;
    }
    return false;
}

void ignore_settings_snapshot() {
    cache().ignored = true;
}

}  // namespace vnx
