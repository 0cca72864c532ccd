// Watching the client's connection. See client_watch.h.
//
// Notes: the watching thread blocks only in poll, on the client's socket and
// on a pipe that stop_client_watch writes to; it never reads the socket's
// data and never writes the log (both belong to the request loop's thread).
// Everything it shares with the loop is atomic: the hang-up flag, and the
// hook, which is set before the thread starts.
#include "runtime/client_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <exception>
#include <thread>

namespace vnx {

namespace {

// How often a hang-up is passed on again while the loop is still running.
constexpr int kHangUpRepeatMs = 20;

struct ClientWatch {
    std::atomic<CancelHook> hook{nullptr};
    std::atomic<int> socket{-1};
    std::atomic<bool> hung_up{false};
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
// give one although poll said it had one, which a sane stack never does: the
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
    short events = POLLPRI | POLLRDHUP;
    for (;;) {
        bool after_hang_up = w.hung_up.load();
        pollfd fds[2] = {{wake_fd, POLLIN, 0}, {sock, events, 0}};
        int n = poll(fds, after_hang_up ? 1 : 2, after_hang_up ? kHangUpRepeatMs : -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[0].revents != 0) return;
        if (after_hang_up) {
            call_hook(CancelCause::HangUp);
            continue;
        }
        short got = fds[1].revents;
        if ((got & POLLPRI) != 0) {
            Urgent u = take_urgent_byte(sock);
            if (u == Urgent::Taken) call_hook(CancelCause::ClientRequest);
            if (u == Urgent::Unreadable) events = POLLRDHUP;
        }
        if ((got & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0) hang_up(w);
    }
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

bool client_hung_up(int sock) {
    ClientWatch &w = watch();
    return sock >= 0 && w.socket.load() == sock && w.hung_up.load();
}

}  // namespace vnx
