// Socket I/O helpers: the one connect, read-exactly and write-all of the
// project. The client library, the transport, the port server and the
// benchmarks all move bytes through these, so a fix to partial reads, EINTR
// or SIGPIPE lands everywhere at once.
//
// Every descriptor made here is close-on-exec. No function throws; failures
// return -1 (or the failing call's value) with errno set, and connect_tcp puts
// a readable reason in *err.
#pragma once

#include <cstddef>
#include <string>

namespace dqp {

// Connects to host:port with TCP_NODELAY set. host is a name, an IPv4 or an
// IPv6 address; each address a name resolves to is tried in turn.
// timeout_ms > 0 bounds every later receive and send on the socket (SO_RCVTIMEO,
// SO_SNDTIMEO). Returns the socket, or -1 with the reason in *err
// ("cannot resolve host ..." or "cannot connect to host:port: ...").
[[nodiscard]] int connect_tcp(const std::string &host, int port, int timeout_ms, std::string *err);

// Plain or TLS alike (tls_channel.h): the connection's plaintext.
// Reads exactly n bytes unless the peer closes or a read fails first. Returns
// n, the count read before the close or failure when it is less, or the
// failing call's value (0 on close, -1 on error) when nothing was read.
[[nodiscard]] long read_full(int fd, char *buf, size_t n);

// Writes all n bytes, looping on partial writes; never raises SIGPIPE.
// Returns n, the count written before a failure, or the failing call's value
// when nothing was written.
[[nodiscard]] long write_full(int fd, const char *buf, size_t n);

// Sets TCP_NODELAY on a connected socket.
void set_nodelay(int fd);

}  // namespace dqp
