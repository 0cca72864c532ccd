// The byte channel of a connection: a plain socket, or a socket with a TLS
// session on it.
//
// Every connection of the suite is a descriptor, and every frame goes through
// the one frame reader (frame_reader.h) and the one write-all (socket_io.h).
// So that those two serve plain and encrypted connections alike, the TLS
// session of a connection is kept here, in a table indexed by its descriptor:
// channel_recv and channel_send move plaintext through the session when the
// descriptor has one and through recv/send when it has none.
//
// Rules that keep the table right:
// - A descriptor's entry is cleared whenever a socket is connected or accepted
//   (channel_forget), so a session never outlives its socket into another
//   that later gets the same number, even when an owner closed it without
//   channel_detach.
// - The owner of a connection calls channel_detach before closing it; that
//   frees the session (no close_notify is sent: the DQP close is the end).
// - Entries are atomic: several threads may own different connections.
//
// TLS records go through a socket BIO of this module that sends with
// MSG_NOSIGNAL, so a peer that has gone never raises SIGPIPE in a program
// that has not ignored it. Urgent data (a client's cancel) travels outside
// the TLS stream, beside it, as it does beside the plain one.
//
// No function throws; failures return -1 with errno set, or a reason text.
// Reads and writes leave the thread's OpenSSL error queue empty; a
// successful one does not touch it when it is already empty.
#pragma once

#include <cstddef>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

namespace dqp {

// The first byte of a TLS connection (a handshake record). A DQP frame and a
// port-server request start with a printable character, never this one.
inline constexpr unsigned char kTlsRecordByte = 0x16;

// Attaches a TLS session to fd; the table owns it from now on (a session
// attached before to fd is freed). 0, or -1 when fd is outside the table (the
// session is then freed too).
[[nodiscard]] int channel_attach(int fd, ssl_st *ssl);
// Frees the session of fd, if any. The descriptor stays open.
void channel_detach(int fd);
// Same as channel_detach, for a descriptor that has just been made: named
// apart so that the intent reads at the accept and connect sites.
inline void channel_forget(int fd) {
    channel_detach(fd);
}
// The session of fd, or null for a plain connection.
ssl_st *channel_tls(int fd);
inline bool channel_encrypted(int fd) {
    return channel_tls(fd) != nullptr;
}

// Reads at most n bytes of the connection's plaintext, as recv does: the
// count (> 0), 0 when the peer closed, -1 with errno set (EAGAIN when a
// non-blocking socket has nothing yet, EPROTO when the TLS stream is broken).
[[nodiscard]] long channel_recv(int fd, char *buf, size_t n);
// Writes n bytes. A TLS connection writes them as one record (two or more
// when n exceeds the record size), so a whole frame leaves in one send; on a
// non-blocking socket the write waits for room (at most kSendWaitMs a wait).
// n, or -1 with errno set; a plain connection may return a short count, as
// send does.
[[nodiscard]] long channel_send(int fd, const char *buf, size_t n);
// Bytes the session holds and a poll on the socket would not announce:
// plaintext not yet read, or (read-ahead) records not yet decrypted; 0 when
// none, at least 1 when any.
size_t channel_pending(int fd);

// The longest a non-blocking write waits for the socket to take more.
inline constexpr int kSendWaitMs = 2000;

// Looks at the first byte a new connection sends without taking it: 1 with
// *byte set; 0 when the peer closed first; -1 with errno set (EAGAIN: a
// non-blocking socket has nothing yet).
[[nodiscard]] int peek_first_byte(int fd, unsigned char *byte);

// A new TLS session for fd from ctx, in the server or client role, reading
// and writing the socket through this module's BIO. Null with *why set.
ssl_st *tls_new_session(ssl_ctx_st *ctx, int fd, bool server, std::string *why);

// Results of tls_handshake_step.
inline constexpr int TLS_DONE = 1;
inline constexpr int TLS_WANT = 0;
inline constexpr int TLS_FAILED = -1;

// Moves the handshake of fd's session on without waiting: TLS_DONE,
// TLS_WANT (*want_write tells whether the socket must become writable or
// readable), or TLS_FAILED with the reason in *why.
[[nodiscard]] int tls_handshake_step(int fd, bool *want_write, std::string *why);
// Runs the handshake of fd's session to its end, waiting at most timeout_ms
// in all (whatever the socket's blocking mode, which it restores). 0, or -1
// with the reason in *why; *peer_silent is set when the peer closed without
// sending a byte of TLS (a server that does not speak TLS closes so).
[[nodiscard]] int tls_handshake(int fd, int timeout_ms, std::string *why,
                                bool *peer_silent = nullptr);

// The protocol ("TLSv1.3") and cipher of fd's session; "" for a plain one.
std::string channel_protocol(int fd);
std::string channel_cipher(int fd);

// The OpenSSL error queue as one line (the last reason first), emptied;
// `otherwise` when it is empty.
std::string tls_error_text(const std::string &otherwise);

}  // namespace dqp
