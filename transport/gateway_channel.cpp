// The master's channel to a gateway it started. See gateway_channel.h.
#include "transport/gateway_channel.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace vnx {

namespace {

// A kind byte, a blank and the longest address text, with room to spare.
constexpr size_t kMessageMax = 80;

bool is_channel_socket(int fd) {
    int domain = 0, type = 0;
    socklen_t len = sizeof domain;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0) return false;
    len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return false;
    return domain == AF_UNIX && type == SOCK_SEQPACKET;
}

}  // namespace

int gateway_channel_pair(UniqueFd *master_end, UniqueFd *gateway_end) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return -1;
    UniqueFd ours(fds[0]), theirs(fds[1]);
    if (theirs.get() == kGatewayChannelFd) {  // reset closes the descriptor it held
        theirs.reset(fcntl(fds[1], F_DUPFD_CLOEXEC, kGatewayChannelFd + 1));
        if (!theirs.valid()) return -1;
    }
    if (fcntl(ours.get(), F_SETFL, fcntl(ours.get(), F_GETFL) | O_NONBLOCK) != 0) return -1;
    *master_end = std::move(ours);
    *gateway_end = std::move(theirs);
    return 0;
}

int channel_send(int fd, char kind, const IpAddress &address) {
    std::string text = std::string(1, kind) + " " + format_ip_address(address);
    ssize_t n = send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return n == static_cast<ssize_t>(text.size()) ? 0 : -1;
}

int channel_receive(int fd, char *kind, IpAddress *address) {
    for (;;) {
        char buf[kMessageMax];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        if (n == 0) return -1;
        // A message longer than the buffer was cut (MSG_TRUNC gives its
        // length): it is no message of ours.
        if (static_cast<size_t>(n) > sizeof buf || n < 3 || buf[1] != ' ') continue;
        if (buf[0] != kChannelClient && buf[0] != kChannelRefused) continue;
        IpAddress a;
        if (!parse_ip_address(std::string_view(buf + 2, static_cast<size_t>(n) - 2), &a)) continue;
        *kind = buf[0];
        *address = a;
        return 1;
    }
}

int inherited_gateway_channel() {
    const char *named = getenv(kGatewayChannelEnv);
    if (named == nullptr) return -1;
    if (strtol(named, nullptr, 10) != kGatewayChannelFd || !is_channel_socket(kGatewayChannelFd))
        return -2;
    fcntl(kGatewayChannelFd, F_SETFD, FD_CLOEXEC);
    return kGatewayChannelFd;
}

}  // namespace vnx
