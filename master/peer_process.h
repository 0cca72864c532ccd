// Which local process holds the other end of a loopback TCP connection.
//
// The master accepts session notices only from the gateway they speak for.
// The kernel's socket diagnostics (netlink) give the inode of the socket with
// two given ends; where they are not available, /proc/net/tcp and
// /proc/net/tcp6, which list every TCP socket of the network namespace with
// its two addresses and its inode, are searched instead. Both families are
// handled: an IPv4 peer that reached a dual-stack listener (an IPv4-mapped
// address on our side) is looked up as the IPv4 socket it is. A process holds a socket when one of
// the links in /proc/PID/fd reads "socket:[INODE]". Files are read with fixed buffers and every
// line is parsed strictly: a line that does not parse is skipped, never trusted. Only the master
// links this module.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <string>

#include "support/address_rules.h"

namespace vnx {

// One end of a TCP connection.
struct TcpEnd {
    IpAddress address;
    int port = 0;
};

// Inode of the IPv4 TCP socket whose own address is `local` and whose peer is
// `remote`, read from `table_path` (normally "/proc/net/tcp"); 0 when none.
unsigned long tcp_socket_inode(const sockaddr_in &local, const sockaddr_in &remote,
                               const std::string &table_path = "/proc/net/tcp");

// The same for /proc/net/tcp6 (IPv6 sockets, IPv4 ones held mapped there).
unsigned long tcp6_socket_inode(const TcpEnd &local, const TcpEnd &remote,
                                const std::string &table_path = "/proc/net/tcp6");

// True when process pid has a descriptor open on the socket with this inode.
bool process_holds_socket(pid_t pid, unsigned long inode);

// True when pid holds the far end of the accepted connection `sock` (the
// socket the peer connected from). False when the peer cannot be found or
// pid is not > 0.
bool peer_is_process(int sock, pid_t pid);

}  // namespace vnx
