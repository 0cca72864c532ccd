// TCP transport: the byte layer under the DQP protocol.
//
// A gateway (child mode) binds and listens on the port its master gave it,
// signals readiness with the handshake file, accepts exactly one client and
// then moves whole frames over that connection. Only the child side lives
// here: the master's listener is its port server (port_server.h), which the
// master program enters itself.
//
// Frames are read through a FrameReader (protocol/frame_reader.h), the
// receive buffer of one connection, and refused there when their header is
// invalid or announces more than the caller's buffer holds.
// Messages go to the server log under "[tcp_accept]" and "[tcp_close]".
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "protocol/frame_reader.h"

namespace vnx {

// Child mode: binds and listens on port, signals readiness, accepts one
// client and returns its socket; -1 when the port is below 1 or the socket,
// bind, listen or accept fails (logged under "[tcp_accept]").
[[nodiscard]] int tcp_accept(const char *server_name, int port);

// The receive buffer of one connection (protocol/frame_reader.h), and its
// result for a header that is not a valid frame length.
using dqp::FrameReader;
inline constexpr int TCP_BAD_FRAME = dqp::FRAME_BAD;

// Sends the frame in buffer (its length in its first 8 bytes) with one call,
// looping only on a partial write. Returns the bytes sent, or the value (<= 0)
// of a failed first write.
[[nodiscard]] int tcp_send(int socket, const char *buffer);

// Why the last tcp_accept failed, in words for a person ("cannot listen on
// 5001: Address already in use"); empty before any failure.
const std::string &tcp_last_error();

// Closes a connection at once (linger 0: reset, no lingering).
void tcp_close(int socket);

// Dotted-decimal address of the client accepted in child mode ("" before).
const std::string &tcp_client_address();

// Socket helpers shared by the transport modules.
// A TCP socket bound to the wildcard address and port (SO_REUSEADDR,
// close-on-exec), or -1 with errno set by the failing call (*stage names it:
// "socket" or "bind").
[[nodiscard]] int tcp_bind_any(int port, const char **stage);
// Logs SO_RCVBUF and SO_SNDBUF of sock under tag.
void tcp_log_buffer_sizes(int sock, const char *tag);
// Sets TCP_NODELAY and a zero linger on a connected socket.
void tcp_set_nodelay_nolinger(int socket);

}  // namespace vnx
