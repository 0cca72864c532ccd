// Starting gateway processes and the readiness handshake.
//
// The master starts a server program for one client with spawn_server and
// waits with wait_for_child until the program listens; the program signals
// that with signal_ready (handshake.h). Only the master links this module.
//
// wait_for_child looks for the file every few milliseconds up to the limit of
// DQP_SPAWNWAIT seconds (default 100, 0 = look once), and gives up at once
// when the child has already exited: a program that fails to bind is seen
// immediately, not after the limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <initializer_list>
#include <string>

#include "transport/handshake.h"

namespace vnx {

// spawn_server's answer for a program that is no longer trusted.
inline constexpr pid_t kSpawnRefused = -2;
// A refusal to start an untrusted program is logged at most this often.
inline constexpr std::chrono::seconds kSpawnRefusalLogInterval{60};

// Starts the program named by command_line (its path is the text before the
// last blank) without waiting for it, as posix_spawn(path, {path, path, PORT}),
// after deleting a stale handshake file for port. Returns the pid (> 0), -1
// when the command line has no blank or the program cannot be started
// ("spawn_server(%s) failed" is logged with the system's text), or
// kSpawnRefused when a user other than root or the master's own could have
// changed the program since the master checked it (support/file_trust.h):
// it is checked again before every start, and the refusal is logged once
// a minute (and whenever its reason changes), not per request. A channel
// (>= 0, gateway_channel.h) is given to the program as kGatewayChannelFd,
// and sealed TLS texts (>= 0, tls_config.h) as kGatewayTlsFd; the caller
// closes its copies.
pid_t spawn_server(const std::string &command_line, int port, int channel = -1,
                   int tls_material = -1);

// 0 when the child for port has signalled (the handshake file is then
// deleted), -1 when it did not within the limit or exited first, -2 when one
// of wake_fds became readable first (the master is stopping; nothing is read
// from it). pid is the child's (0: unknown, only the file is watched). A child
// that exited is reaped here.
[[nodiscard]] int wait_for_child(int port, pid_t pid = 0, std::initializer_list<int> wake_fds = {});

// True when the child for port has signalled that it listens; the handshake
// file is then deleted. Never waits (the port server checks its warm spares
// with it).
bool take_ready_signal(int port);

// The limit of wait_for_child in seconds: DQP_SPAWNWAIT, default 100.
int spawn_wait_limit();

}  // namespace vnx
