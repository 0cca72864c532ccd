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

// The first non-zero answer of `match` over the lines of a /proc/net/tcp
// style table, or 0 (also when the table cannot be read).
template <typename Match>
unsigned long scan_tcp_table(const std::string &table_path, Match match) {
    FILE *f = fopen(table_path.c_str(), "re");
    if (f == nullptr) return 0;
    char line[512];
    unsigned long found = 0;
    while (found == 0 && fgets(line, sizeof line, f) != nullptr)
        found = match(line);
    fclose(f);
    return found;
}

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

// /proc/net/tcp6 line: as /proc/net/tcp, with each address as 32 hex
// digits: its four 32-bit words, each printed as the kernel holds it.
struct Tcp6Line {
    TcpEnd local, remote;
    unsigned long inode = 0;
};

bool parse_hex_address(const char *hex, IpAddress *out) {
    for (int w = 0; w < 4; w++) {
        unsigned word = 0;
        if (sscanf(hex + w * 8, "%8X", &word) != 1) return false;
        std::memcpy(out->bytes.data() + w * 4, &word, 4);
    }
    return true;
}

bool parse_tcp6_line(const char *line, Tcp6Line *out) {
    char local[33], remote[33];
    unsigned lport = 0, rport = 0, st = 0;
    int consumed = 0;
    if (sscanf(line, " %*u: %32[0-9A-Fa-f]:%4X %32[0-9A-Fa-f]:%4X %2X %*s %*s %*s %*u %*u %lu%n",
               local, &lport, remote, &rport, &st, &out->inode, &consumed) != 6 ||
        consumed <= 0 || strlen(local) != 32 || strlen(remote) != 32)
        return false;
    out->local.port = static_cast<int>(lport);
    out->remote.port = static_cast<int>(rport);
    return parse_hex_address(local, &out->local.address) &&
           parse_hex_address(remote, &out->remote.address);
}

bool same_end6(const TcpEnd &a, const TcpEnd &b) {
    return a.address == b.address && a.port == b.port;
}

// The ends of a socket (ours from getsockname, or its peer); false when it
// is not an IPv4 or IPv6 socket.
bool end_of(int sock, bool peer, TcpEnd *out) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int rc = peer ? getpeername(sock, reinterpret_cast<sockaddr *>(&ss), &len)
                  : getsockname(sock, reinterpret_cast<sockaddr *>(&ss), &len);
    if (rc != 0 || !ip_address_of(reinterpret_cast<sockaddr *>(&ss), len, &out->address))
        return false;
    out->port = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                                               : reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    return true;
}

sockaddr_in v4_of(const TcpEnd &e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    std::memcpy(&a.sin_addr, e.address.bytes.data() + 12, 4);
    a.sin_port = htons(static_cast<uint16_t>(e.port));
    return a;
}

// Puts an end into a diagnostics request or reads it back: IPv4 sockets
// carry their address in the first word, IPv6 ones in all four.
void put_diag_address(const IpAddress &a, int family, __be32 out[4]) {
    if (family == AF_INET)
        std::memcpy(out, a.bytes.data() + 12, 4);
    else
        std::memcpy(out, a.bytes.data(), 16);
}

IpAddress diag_address(const __be32 in[4], int family) {
    IpAddress a;
    if (family == AF_INET) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        std::memcpy(&v4.sin_addr, in, 4);
        ip_address_of(reinterpret_cast<sockaddr *>(&v4), sizeof v4, &a);
    } else {
        std::memcpy(a.bytes.data(), in, 16);
    }
    return a;
}

// Asks the kernel for the one socket with these two ends through the socket
// diagnostics netlink interface: a lookup by address, where /proc/net/tcp
// lists every TCP socket of the host (thousands after a busy hour, read in
// milliseconds). Ends that are both IPv4 are looked up as an IPv4 socket
// (which also finds an IPv6 socket holding them mapped). The inode (0: no
// such socket, or one no process holds), or -1 when the interface is not
// available.
long long diag_socket_inode(const TcpEnd &local, const TcpEnd &remote) {
    int family = local.address.is_v4() && remote.address.is_v4() ? AF_INET : AF_INET6;
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return -1;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = static_cast<uint8_t>(family);
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = ~0u;
    query.request.id.idiag_sport = htons(static_cast<uint16_t>(local.port));
    query.request.id.idiag_dport = htons(static_cast<uint16_t>(remote.port));
    put_diag_address(local.address, family, query.request.id.idiag_src);
    put_diag_address(remote.address, family, query.request.id.idiag_dst);
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
            // The kernel matched the ends; check them anyway before trusting
            // (in the family the socket reports, which may hold them mapped).
            int got = msg->idiag_family == AF_INET6 ? AF_INET6 : AF_INET;
            TcpEnd src{diag_address(msg->id.idiag_src, got), ntohs(msg->id.idiag_sport)};
            TcpEnd dst{diag_address(msg->id.idiag_dst, got), ntohs(msg->id.idiag_dport)};
            if (same_end6(src, local) && same_end6(dst, remote)) inode = msg->idiag_inode;
        }
    }
    close(fd);
    return inode;
}

// The /proc tables: an IPv4 socket is in tcp, an IPv6 socket (also one
// holding IPv4 ends mapped) in tcp6.
unsigned long proc_socket_inode(const TcpEnd &local, const TcpEnd &remote) {
    unsigned long inode = 0;
    if (local.address.is_v4() && remote.address.is_v4())
        inode = tcp_socket_inode(v4_of(local), v4_of(remote));
    return inode != 0 ? inode : tcp6_socket_inode(local, remote);
}

}  // namespace

unsigned long tcp_socket_inode(const sockaddr_in &local, const sockaddr_in &remote,
                               const std::string &table_path) {
    return scan_tcp_table(table_path, [&](const char *line) -> unsigned long {
        TcpLine t;
        if (!parse_tcp_line(line, &t)) return 0;
        return same_end(t.local_addr, t.local_port, local) &&
                       same_end(t.remote_addr, t.remote_port, remote)
                   ? t.inode
                   : 0;
    });
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

unsigned long tcp6_socket_inode(const TcpEnd &local, const TcpEnd &remote,
                                const std::string &table_path) {
    return scan_tcp_table(table_path, [&](const char *line) -> unsigned long {
        Tcp6Line t;
        if (!parse_tcp6_line(line, &t)) return 0;
        return same_end6(t.local, local) && same_end6(t.remote, remote) ? t.inode : 0;
    });
}

bool peer_is_process(int sock, pid_t pid) {
    if (pid <= 0) return false;
    TcpEnd ours, peer;
    if (!end_of(sock, false, &ours) || !end_of(sock, true, &peer)) return false;
    // The peer's socket: its own address is our peer, its peer is us.
    long long inode = diag_socket_inode(peer, ours);
    if (inode < 0) return process_holds_socket(pid, proc_socket_inode(peer, ours));
    return process_holds_socket(pid, static_cast<unsigned long>(inode));
}

}  // namespace vnx
