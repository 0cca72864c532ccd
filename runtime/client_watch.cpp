// Watching the client's connection. See client_watch.h.
//
// Notes: the watching thread never polls the client's socket for long. A
// thread blocked in poll on a TCP socket is woken by every segment that
// arrives (the kernel wakes the socket's waiters for urgent and normal data
// alike), which cost each request a switch to this thread and back. Urgent
// data instead reaches the thread as SIGURG (the socket's owner is this
// thread, and the signal is read through a signalfd); a hang-up is looked
// for with a poll that does not wait, every kBusyTickMs while the loop
// works on a request and every kIdleTickMs while it waits for one (a
// receive sees a hang-up by itself). The thread blocks in poll on the
// signalfd and on a pipe that stop_client_watch writes to; it never reads
// the socket's data and never writes the log (both belong to the request
// loop's thread). Everything it shares with the loop is atomic: the hang-up
// and busy flags, and the hook, which is set before the thread starts.
#include "runtime/client_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <exception>
#include <thread>

namespace vnx {

namespace {

// How often a hang-up is passed on again while the loop is still running.
constexpr int kHangUpRepeatMs = 20;
// How often the connection is looked at for a hang-up while the loop works
// on a request, and while it waits for one.
constexpr int kBusyTickMs = 20;
constexpr int kIdleTickMs = 250;

struct ClientWatch {
    std::atomic<CancelHook> hook{nullptr};
    std::atomic<int> socket{-1};
    std::atomic<bool> hung_up{false};
    std::atomic<bool> busy{false};  // the loop is working on a request
    std::thread thread;
    int wake[2] = {-1, -1};  // read end polled by the thread, write end for stop
};

// Never destroyed: a process that exits with its watch still running (exit()
// from anywhere) must not end in std::thread's terminate.
ClientWatch &watch() {
    static ClientWatch *w = new ClientWatch;
    return *w;
}

void call_hook(CancelCause cause) {
    if (CancelHook hook = watch().hook.load()) hook(cause);
}

enum class Urgent { Taken, NotYet, Unreadable };

// Takes the urgent byte off the socket. Unreadable when the socket will not
// give one although it said it had one, which a sane stack never does: the
// caller then stops asking for urgent data rather than spin.
Urgent take_urgent_byte(int sock) {
    char byte = 0;
    for (;;) {
        ssize_t n = recv(sock, &byte, 1, MSG_OOB | MSG_DONTWAIT);
        if (n == 1) return Urgent::Taken;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Urgent::NotYet;
        return Urgent::Unreadable;
    }
}

void hang_up(ClientWatch &w) {
    w.hung_up.store(true);
    call_hook(CancelCause::HangUp);
}

// A signalfd for the SIGURG of `sock`, sent to this thread alone; -1 when
// the socket or the system will not do it (urgent data is then found by the
// ticks' look at the socket).
int urgent_signal_fd(int sock) {
    sigset_t urg;
    sigemptyset(&urg);
    sigaddset(&urg, SIGURG);
    pthread_sigmask(SIG_BLOCK, &urg, nullptr);
    f_owner_ex owner{F_OWNER_TID, static_cast<pid_t>(syscall(SYS_gettid))};
    if (fcntl(sock, F_SETOWN_EX, &owner) != 0) return -1;
    return signalfd(-1, &urg, SFD_CLOEXEC | SFD_NONBLOCK);
}

void drain_signals(int fd) {
    signalfd_siginfo info;
    while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
}

// A look at the socket that does not wait: passes on an urgent byte and the
// hang-up. `events` loses POLLPRI when urgent data cannot be read.
void look_at(ClientWatch &w, int sock, short *events) {
    pollfd fd{sock, *events, 0};
    if (poll(&fd, 1, 0) <= 0) return;
    if ((fd.revents & POLLPRI) != 0) {
        Urgent u = take_urgent_byte(sock);
        if (u == Urgent::Taken) call_hook(CancelCause::ClientRequest);
        if (u == Urgent::Unreadable) *events = POLLRDHUP;
    }
    if ((fd.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0) hang_up(w);
}

// The thread: until the pipe is written, pass on each urgent byte and the
// hang-up; after the hang-up, repeat it until the watch stops.
void watch_client(int sock, int wake_fd) {
    // A hook that writes to a socket the peer has reset (a driver's cancel
    // request) gets EPIPE on this thread rather than end the process.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    ClientWatch &w = watch();
    int urgent_fd = urgent_signal_fd(sock);
    short events = POLLPRI | POLLRDHUP;
    for (;;) {
        bool after_hang_up = w.hung_up.load();
        pollfd fds[2] = {{wake_fd, POLLIN, 0}, {urgent_fd, POLLIN, 0}};
        int tick = after_hang_up ? kHangUpRepeatMs : w.busy.load() ? kBusyTickMs : kIdleTickMs;
        int n = poll(fds, urgent_fd >= 0 ? 2 : 1, tick);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[0].revents != 0) break;
        if (after_hang_up) {
            call_hook(CancelCause::HangUp);
            continue;
        }
        if (fds[1].revents != 0) drain_signals(urgent_fd);
        look_at(w, sock, &events);
    }
    if (urgent_fd >= 0) close(urgent_fd);
}

void close_wake_pipe(ClientWatch &w) {
    for (int &fd : w.wake) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

}  // namespace

void set_cancel_hook(CancelHook hook) {
    watch().hook.store(hook);
}

int start_client_watch(int sock) {
    ClientWatch &w = watch();
    if (sock < 0 || w.thread.joinable()) return -1;
    if (pipe2(w.wake, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    w.hung_up.store(false);
    w.socket.store(sock);
    try {
        w.thread = std::thread(watch_client, sock, w.wake[0]);
    } catch (const std::exception &) {  // no thread to be had
        w.socket.store(-1);
        close_wake_pipe(w);
        return -1;
    }
    return 0;
}

void stop_client_watch() {
    ClientWatch &w = watch();
    if (!w.thread.joinable()) return;
    char byte = 0;
    while (write(w.wake[1], &byte, 1) < 0 && errno == EINTR) {
    }
    w.thread.join();
    close_wake_pipe(w);
    w.socket.store(-1);
    w.hung_up.store(false);
}

void client_watch_busy(bool busy) {
    watch().busy.store(busy, std::memory_order_relaxed);
}

bool client_hung_up(int sock) {
    ClientWatch &w = watch();
    return sock >= 0 && w.socket.load() == sock && w.hung_up.load();
}

}  // namespace vnx
