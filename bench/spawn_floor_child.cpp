// spawn_floor_child PORT FILE: the least a freshly started server can do.
//
// Binds PORT on loopback, listens, creates the empty readiness FILE, accepts
// one connection, reads one byte, answers one byte and exits. session_bench
// starts it with posix_spawn to measure the floor under the cost of starting
// a gateway: process start, readiness by file, connect, one round trip. It
// uses only system calls, so the floor holds no work a real server could
// avoid. An alarm bounds its life should nobody connect.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace {

int listen_on(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    alarm(30);
    int port = atoi(argv[1]);
    int listener = listen_on(port);
    if (listener < 0) return 3;
    int ready = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (ready < 0) return 4;
    close(ready);
    int sock = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (sock < 0) return 5;
    int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char c = 0;
    if (recv(sock, &c, 1, 0) != 1) return 6;
    if (send(sock, &c, 1, MSG_NOSIGNAL) != 1) return 7;
    close(sock);
    close(listener);
    return 0;
}
