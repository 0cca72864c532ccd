// A bound on a wait on a socket. See socket_deadline.h.
#include "transport/socket_deadline.h"

#include <dirent.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace vnx {

namespace {

// The armed bound as one word: the arm's generation above, the socket's
// number below (kNone when nothing is armed). The timer's thread takes the
// socket only when the word still holds its own generation, so a late
// expiry of an earlier arm finds a later one's generation and does nothing.
constexpr uint32_t kNone = 0xFFFFFFFFu;

struct DeadlineState {
    std::atomic<uint64_t> armed{kNone};
    uint32_t generation = 0;  // of the last arm (the arming thread only)
    timer_t timer{};
    bool have_timer = false;
};

// Lives as long as the process: a timer's thread may still run after
// every caller is gone.
DeadlineState &state() {
    static DeadlineState *s = new DeadlineState;
    return *s;
}

uint64_t word(uint32_t generation, uint32_t fd) {
    return (static_cast<uint64_t>(generation) << 32) | fd;
}

void expire(sigval v) {
    uint64_t mine = state().armed.load();
    if ((mine >> 32) != static_cast<uint32_t>(v.sival_int) || (mine & kNone) == kNone) return;
    if (state().armed.compare_exchange_strong(mine, kNone))
        shutdown(static_cast<int>(mine & kNone), SHUT_RDWR);
}

bool same_socket(int fd, const struct stat &st, const SocketId &id) {
    return S_ISSOCK(st.st_mode) && st.st_dev == id.dev && st.st_ino == id.ino && fd == id.fd;
}

}  // namespace

std::vector<SocketId> open_sockets() {
    std::vector<SocketId> found;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return found;
    const int own = dirfd(d);
    while (dirent *e = readdir(d)) {
        char *end = nullptr;
        long fd = strtol(e->d_name, &end, 10);
        struct stat st {};
        if (e->d_name[0] == '.' || *end != '\0' || fd == own || fd < 0 || fd > 0x7FFFFFFF ||
            fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        found.push_back({static_cast<int>(fd), st.st_dev, st.st_ino});
    }
    closedir(d);
    return found;
}

SocketId new_socket(const std::vector<SocketId> &before, const std::vector<SocketId> &after) {
    SocketId found;
    int count = 0;
    for (const SocketId &a : after) {
        bool old = false;
        for (const SocketId &b : before)
            old = old || (a.fd == b.fd && a.dev == b.dev && a.ino == b.ino);
        if (!old && count++ == 0) found = a;
    }
    return count == 1 ? found : SocketId{};
}

bool still_open(const SocketId &id) {
    struct stat st {};
    return id.valid() && fstat(id.fd, &st) == 0 && same_socket(id.fd, st, id);
}

bool socket_deadline_arm(const SocketId &id, int timeout_ms) {
    DeadlineState &s = state();
    if (!still_open(id) || timeout_ms <= 0) return false;
    if (s.have_timer) {
        timer_delete(s.timer);
        s.have_timer = false;
    }
    const uint32_t generation = ++s.generation & 0x7FFFFFFFu;
    sigevent ev{};
    ev.sigev_notify = SIGEV_THREAD;
    ev.sigev_notify_function = expire;
    ev.sigev_value.sival_int = static_cast<int>(generation);
    if (timer_create(CLOCK_MONOTONIC, &ev, &s.timer) != 0) return false;
    s.have_timer = true;
    s.armed.store(word(generation, static_cast<uint32_t>(id.fd)));
    itimerspec when{};
    when.it_value.tv_sec = timeout_ms / 1000;
    when.it_value.tv_nsec = static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (timer_settime(s.timer, 0, &when, nullptr) != 0) {
        s.armed.store(kNone);
        timer_delete(s.timer);
        s.have_timer = false;
        return false;
    }
    return true;
}

bool socket_deadline_disarm() {
    DeadlineState &s = state();
    if (!s.have_timer) return false;
    const uint64_t was = s.armed.exchange(kNone);
    timer_delete(s.timer);
    s.have_timer = false;
    // The timer's thread replaced this arm's word when it took the socket.
    return (was >> 32) != (s.generation & 0x7FFFFFFFu) || (was & kNone) == kNone;
}

}  // namespace vnx
