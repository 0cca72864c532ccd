// A bound on a blocking call that waits on a socket this process did not
// open itself, such as the one an ODBC driver talks to its server on.
//
// A driver's connection is found by its socket: the sockets open before
// the connect are compared with those open after it (open_sockets,
// new_socket), and the one that appeared is the connection's. A socket is
// named by its number and its inode, so a number reused later is not
// mistaken for it. socket_deadline_arm() starts a timer; unless
// socket_deadline_disarm() comes first, the timer shuts the socket down in
// both directions, which ends any wait on it at once (the caller's call
// then fails as on a connection the server closed). The socket stays open
// for its owner to close. One bound is armed at a time in a process; the
// timer runs on a thread of the C library, and a timer of an earlier arm
// never touches a later one.
#pragma once

#include <sys/types.h>

#include <vector>

namespace vnx {

struct SocketId {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    bool valid() const { return fd >= 0; }
};

// The sockets open in this process now.
std::vector<SocketId> open_sockets();

// The one socket of `after` that is not in `before`; an invalid id when
// there is none, or more than one (which is the connection's is then
// unknown).
SocketId new_socket(const std::vector<SocketId> &before, const std::vector<SocketId> &after);

// True when id's number still names that socket.
bool still_open(const SocketId &id);

// Arms the bound: `id` is shut down in timeout_ms unless disarmed first.
// False when it cannot be armed (id is not open, no timer): the call then
// runs without a bound.
[[nodiscard]] bool socket_deadline_arm(const SocketId &id, int timeout_ms);

// Disarms the bound armed last: true when it had fired (the socket has
// been, or is being, shut down), false when it had not or none was armed.
bool socket_deadline_disarm();

}  // namespace vnx
