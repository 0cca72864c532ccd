// Mapping a loopback peer to its process through /proc. See peer_process.h.
#include "master/peer_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vnx {

namespace {

// One parsed line of /proc/net/tcp.
struct TcpLine {
    unsigned local_addr = 0, local_port = 0, remote_addr = 0, remote_port = 0;
    unsigned long inode = 0;
};

// "  sl  local_address rem_address   st tx_queue:rx_queue tr:tm->when retrnsmt
//  uid  timeout inode ...". Addresses are the raw 32-bit value as the kernel
// holds it, printed in hex, then ':' and the port in hex.
bool parse_tcp_line(const char *line, TcpLine *out) {
    unsigned st = 0;
    int consumed = 0;
    if (sscanf(line, " %*u: %8X:%4X %8X:%4X %2X %*s %*s %*s %*u %*u %lu%n", &out->local_addr,
               &out->local_port, &out->remote_addr, &out->remote_port, &st, &out->inode,
               &consumed) != 6)
        return false;
    return consumed > 0;
}

bool same_end(unsigned addr, unsigned port, const sockaddr_in &end) {
    return addr == end.sin_addr.s_addr && port == ntohs(end.sin_port);
}

// Asks the kernel for the one socket with these two ends through the socket
// diagnostics netlink interface: a lookup by address, where /proc/net/tcp
// lists every TCP socket of the host (thousands after a busy hour, read in
// milliseconds). The inode (0: no such socket, or one no process holds), or
// -1 when the interface is not available.
long long diag_socket_inode(const sockaddr_in &local, const sockaddr_in &remote) {
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return -1;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = AF_INET;
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = ~0u;
    query.request.id.idiag_sport = local.sin_port;
    query.request.id.idiag_dport = remote.sin_port;
    query.request.id.idiag_src[0] = local.sin_addr.s_addr;
    query.request.id.idiag_dst[0] = remote.sin_addr.s_addr;
    query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    long long inode = -1;
    alignas(nlmsghdr) char answer[1024];
    if (sendto(fd, &query, sizeof query, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof query)) {
        ssize_t n = recv(fd, answer, sizeof answer, 0);
        auto *h = reinterpret_cast<nlmsghdr *>(answer);
        bool whole = n > 0 && NLMSG_OK(h, static_cast<unsigned>(n));
        if (whole && h->nlmsg_type == NLMSG_ERROR &&
            h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) &&
            static_cast<nlmsgerr *>(NLMSG_DATA(h))->error == -ENOENT)
            inode = 0;  // no such socket
        if (whole && h->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            inode = 0;
            auto *msg = static_cast<inet_diag_msg *>(NLMSG_DATA(h));
            // The kernel matched the ends; check them anyway before trusting.
            if (msg->id.idiag_sport == local.sin_port && msg->id.idiag_dport == remote.sin_port &&
                msg->id.idiag_src[0] == local.sin_addr.s_addr &&
                msg->id.idiag_dst[0] == remote.sin_addr.s_addr)
                inode = msg->idiag_inode;
        }
    }
    close(fd);
    return inode;
}

}  // namespace

unsigned long tcp_socket_inode(const sockaddr_in &local, const sockaddr_in &remote,
                               const std::string &table_path) {
    FILE *f = fopen(table_path.c_str(), "re");
    if (f == nullptr) return 0;
    char line[512];
    unsigned long found = 0;
    while (found == 0 && fgets(line, sizeof line, f) != nullptr) {
        TcpLine t;
        if (!parse_tcp_line(line, &t)) continue;
        if (same_end(t.local_addr, t.local_port, local) &&
            same_end(t.remote_addr, t.remote_port, remote))
            found = t.inode;
    }
    fclose(f);
    return found;
}

bool process_holds_socket(pid_t pid, unsigned long inode) {
    if (pid <= 0 || inode == 0) return false;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return false;
    char wanted[48];
    snprintf(wanted, sizeof wanted, "socket:[%lu]", inode);
    bool holds = false;
    while (!holds) {
        dirent *e = readdir(d);
        if (e == nullptr) break;
        if (e->d_name[0] == '.') continue;
        char target[64];
        std::string link = dir + "/" + e->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        holds = strcmp(target, wanted) == 0;
    }
    closedir(d);
    return holds;
}

bool peer_is_process(int sock, pid_t pid) {
    if (pid <= 0) return false;
    sockaddr_in ours{}, peer{};
    socklen_t len = sizeof ours;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&ours), &len) != 0 ||
        ours.sin_family != AF_INET)
        return false;
    len = sizeof peer;
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &len) != 0 ||
        peer.sin_family != AF_INET)
        return false;
    // The peer's socket: its own address is our peer, its peer is us.
    long long inode = diag_socket_inode(peer, ours);
    if (inode < 0) return process_holds_socket(pid, tcp_socket_inode(peer, ours));
    return process_holds_socket(pid, static_cast<unsigned long>(inode));
}

}  // namespace vnx
