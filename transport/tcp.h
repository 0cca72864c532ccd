// TCP transport: the byte layer under the DQP protocol.
//
// A gateway (child mode) binds and listens on the port its master gave it,
// signals readiness with the handshake file, accepts exactly one client and
// then moves whole frames over that connection. Only the child side lives
// here: the master's listener is its port server (port_server.h), which the
// master program enters itself.
//
// Frames are read through a FrameReader, the receive buffer of one
// connection: one recv takes as much as has arrived, so a request that arrived
// whole costs one system call, and bytes beyond the frame wait for the next
// receive. The reader belongs to the connection's owner and is reset when the
// connection closes, so leftover bytes can never reach another socket that
// is later given the same descriptor number. Frames are then
// copied into caller buffers whose capacity is checked: a frame
// header that is not 8 upper-case hex digits, is below 8 or announces more than
// the buffer holds is refused before any of the body is read.
// Messages go to the server log under "[tcp_accept]" and "[tcp_close]".
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vnx {

// Child mode: binds and listens on port, signals readiness, accepts one
// client and returns its socket; -1 when the port is below 1 or the socket,
// bind, listen or accept fails (logged under "[tcp_accept]").
int tcp_accept(const char *server_name, int port);

// Result of tcp_receive for a header that is not a valid frame length.
inline constexpr int TCP_BAD_FRAME = -2;

// The receive buffer of one connection.
class FrameReader {
  public:
    // Reads one frame from sock into buffer (capacity cap). Returns the bytes
    // read: the frame's length when it arrived whole, fewer when the peer
    // closed or failed mid-frame; 0 when the peer closed before sending
    // anything; -1 on a read error (logged); TCP_BAD_FRAME when the header is
    // invalid or the frame exceeds cap.
    int receive(int sock, char *buffer, size_t cap);
    // True when receive would return without reading the socket: a whole
    // frame (or a header it refuses) is already buffered.
    bool frame_buffered() const;
    // Drops every buffered byte: the connection was closed.
    void reset() { start_ = end_ = 0; }

  private:
    size_t available() const { return end_ - start_; }
    int fill(int sock, size_t n);
    int take(char *buffer, size_t n);

    std::vector<char> data_;
    size_t start_ = 0, end_ = 0;
};

// Sends the frame in buffer (its length in its first 8 bytes) with one call,
// looping only on a partial write. Returns the bytes sent, or the value (<= 0)
// of a failed first write.
int tcp_send(int socket, const char *buffer);

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
int tcp_bind_any(int port, const char **stage);
// Logs SO_RCVBUF and SO_SNDBUF of sock under tag.
void tcp_log_buffer_sizes(int sock, const char *tag);
// Sets TCP_NODELAY and a zero linger on a connected socket.
void tcp_set_nodelay_nolinger(int socket);

}  // namespace vnx
