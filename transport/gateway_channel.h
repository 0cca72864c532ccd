// The channel between the master and a gateway it started: a SOCK_SEQPACKET
// socket pair whose gateway end the gateway inherits as descriptor
// kGatewayChannelFd; the master names that descriptor in kGatewayChannelEnv,
// so a gateway started by the master never runs without it.
//
// It carries two kinds of message, each one packet of text: the master tells
// the gateway the address of the client its port was handed to ("C" and the
// address), before it tells the client the port, so the gateway knows whom
// to accept before that client can connect; the gateway reports a connection
// it refused ("R" and the peer's address), which the master logs. A gateway
// serves only the client it was told of: a warm spare that was never handed
// out serves nobody. Once its client is accepted the gateway closes its end.
//
// Every message read is checked: one that is not a known kind followed by a
// whole address is skipped. Nothing here reads the configuration.
#pragma once

#include "support/address_rules.h"
#include "support/unique_fd.h"

namespace vnx {

// The descriptor a gateway inherits its end of the channel as.
inline constexpr int kGatewayChannelFd = 3;
// Environment variable through which the master tells its gateways that the
// channel is there (its value is kGatewayChannelFd).
inline constexpr const char *kGatewayChannelEnv = "VNX_GATEWAY_CHANNEL";

inline constexpr char kChannelClient = 'C';   // master -> gateway: serve this address
inline constexpr char kChannelRefused = 'R';  // gateway -> master: refused this address

// Master: a new channel. The master's end is non-blocking; both ends are
// close-on-exec, and the gateway's end is never kGatewayChannelFd itself (so
// that duplicating it there in the child clears close-on-exec). 0, or -1
// with errno set.
[[nodiscard]] int gateway_channel_pair(UniqueFd *master_end, UniqueFd *gateway_end);

// Sends one message of `kind` about `address` without waiting. 0, or -1 when
// it could not be sent whole (the peer has gone, its buffer is full).
[[nodiscard]] int channel_send(int fd, char kind, const IpAddress &address);

// Reads one message without waiting: 1 with *kind and *address set, 0 when
// none is waiting, -1 when the peer has closed its end or the read failed.
// Malformed messages are skipped.
[[nodiscard]] int channel_receive(int fd, char *kind, IpAddress *address);

// Gateway: the inherited channel, kGatewayChannelFd, when the master said
// there is one (-1 otherwise). -2 when it said so but the descriptor is not
// such a channel: the gateway then serves nobody.
[[nodiscard]] int inherited_gateway_channel();

}  // namespace vnx
