// TCP transport: the byte layer under the DQP protocol.
//
// A gateway (child mode) binds and listens on the port its master gave it,
// signals readiness with the handshake file, accepts exactly one client and
// then moves whole frames over that connection.
//
// Which client: a gateway the master started serves only the address the
// master handed its port to, which it learns through the master's channel
// (gateway_channel.h) before that client is told the port; until then (a
// warm spare) it serves nobody. A gateway started by hand serves the first
// client PortServer "allow" admits. A connection from anyone else is reset
// at once, before anything is read, and the gateway listens on; it is
// reported to the master (or, started by hand, logged once a minute per
// address). Only the child side lives
// here: the master's listener is its port server (port_server.h), which the
// master program enters itself.
//
// The listening address: the one the master announced in VNX_LISTEN_ADDRESS
// (its PortServer "listen"), else PortServer "listen" from the configuration
// store (a gateway started by hand), else every IPv4 address.
//
// TLS: the first byte a client sends decides. The TLS record byte starts a
// handshake when NetServer "tls" is allow or require (the context is loaded
// before readiness is signalled), anything else is plain DQP unless "tls" is
// require; the handshake must end within PortServer "claim_timeout". From
// then on the connection's frames go through its TLS session
// (protocol/tls_channel.h) and nothing above this layer sees a difference.
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
#include "support/address_rules.h"

namespace vnx {

// Child mode: loads the TLS context, binds and listens on port, signals
// readiness, accepts its client (see above), settles plain or TLS and
// returns its socket; -1 when the port is below 1, the TLS settings or files
// are unusable, the socket, bind, listen or accept fails, the master went
// before naming a client, or the client was refused (plain under "require",
// TLS under "off", a failed handshake); tcp_last_error() says why and the
// log under "[tcp_accept]".
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

// Closes a connection at once (linger 0: reset, no lingering), freeing its
// TLS session.
void tcp_close(int socket);

// Address of the client accepted in child mode ("" before): dotted decimal
// for IPv4 (also when it arrived IPv4-mapped on a dual-stack socket), the
// short IPv6 form otherwise.
const std::string &tcp_client_address();
// Records the address of a client whose connection this process took over
// from another gateway (session_handover.h), for its session notices.
void tcp_adopt_client_address(const std::string &address);

// Environment variable through which the master gives the gateways it starts
// the address it listens on (its PortServer "listen").
inline constexpr const char *kListenAddressEnv = "VNX_LISTEN_ADDRESS";

// Where this gateway listens (see above). 0, or -1 with the reason in *why
// when the configured address is not an IP address.
[[nodiscard]] int gateway_listen_address(ListenAddress *out, std::string *why);

// Socket helpers shared by the transport modules.
// A TCP socket bound to `where` and port (SO_REUSEADDR, close-on-exec; for
// "::" IPV6_V6ONLY off, so IPv4 clients reach it too; for another IPv6
// address on), or -1 with errno set by the failing call (*stage names it:
// "socket", "bind" or "option" when dual stack cannot be set).
[[nodiscard]] int tcp_bind(const ListenAddress &where, int port, const char **stage);
// The same on every IPv4 address.
[[nodiscard]] int tcp_bind_any(int port, const char **stage);
// Logs SO_RCVBUF and SO_SNDBUF of sock under tag.
void tcp_log_buffer_sizes(int sock, const char *tag);
// Sets TCP_NODELAY and a zero linger on a connected socket.
void tcp_set_nodelay_nolinger(int socket);

}  // namespace vnx
