// Socket I/O helpers. See socket_io.h.
#include "protocol/socket_io.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "protocol/tls_channel.h"

namespace dqp {

void set_nodelay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

namespace {

// One connection attempt to one resolved address; the socket, or -1 with
// errno set.
int connect_one(const addrinfo *ai, int timeout_ms) {
    int fd = socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return -1;
    if (timeout_ms > 0) {
        timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    int r;
    do {
        r = connect(fd, ai->ai_addr, ai->ai_addrlen);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

}  // namespace

int connect_tcp(const std::string &host, int port, int timeout_ms, std::string *err) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
    if (rc != 0 || res == nullptr) {
        *err = "cannot resolve host \"" + host + "\": " + gai_strerror(rc);
        return -1;
    }
    // A name may stand for IPv6 and IPv4 addresses ("localhost": ::1 and
    // 127.0.0.1) of which the server listens on only one: try each in turn.
    int fd = -1, e = 0;
    for (const addrinfo *ai = res; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = connect_one(ai, timeout_ms);
        if (fd < 0) e = errno;
    }
    freeaddrinfo(res);
    if (fd < 0) {
        *err = "cannot connect to " + host + ":" + service + ": " + strerror(e);
        errno = e;
        return -1;
    }
    channel_forget(fd);
    set_nodelay(fd);
    return fd;
}

long read_full(int fd, char *buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        long r = channel_recv(fd, buf + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return got > 0 ? static_cast<long>(got) : static_cast<long>(r);
        got += static_cast<size_t>(r);
    }
    return static_cast<long>(got);
}

long write_full(int fd, const char *buf, size_t n) {
    size_t sent = 0;
    while (sent < n) {
        long w = channel_send(fd, buf + sent, n - sent);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return sent > 0 ? static_cast<long>(sent) : static_cast<long>(w);
        sent += static_cast<size_t>(w);
    }
    return static_cast<long>(sent);
}

}  // namespace dqp
