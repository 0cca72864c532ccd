// Watching the client's connection while the request loop works.
//
// A small thread watches the client's socket for two events and nothing
// else: the client's hang-up (POLLRDHUP, POLLHUP, POLLERR), looked for a few
// times a second, and TCP urgent data, the one byte a client sends with
// MSG_OOB to cancel the request it is waiting for, which reaches the thread
// at once as SIGURG. It never reads the data stream: the urgent byte is
// taken with recv(MSG_OOB), and the stream skips it. Clients that never send
// urgent data see the protocol unchanged.
//
// The thread owns nothing of the request loop's. It calls the cancel hook
// that the backend registered (the runtime itself knows nothing of what a
// backend runs), and it records a hang-up, which dqp_getpkt answers as a lost
// connection: requests that had already arrived are not run for a client
// that is gone. After a hang-up the hook is called again every few
// milliseconds until the watch stops, since the hang-up may have been seen
// just before the loop began a long call that the first call of the hook
// then found nothing of.
//
// One client is watched at a time (a gateway serves one); the hook is called
// on the watching thread only, and must be quick and safe there.
#pragma once

namespace vnx {

enum class CancelCause {
    ClientRequest,  // the client sent its urgent byte
    HangUp,         // the client closed or lost its connection
};

// Called on the watching thread. A backend registers one before the watch
// starts; null (the default) leaves only the hang-up record.
using CancelHook = void (*)(CancelCause cause);
void set_cancel_hook(CancelHook hook);

// Starts watching `socket` (the client's connection, left open and unread
// by the watch). 0, or -1 when the thread cannot be made or a watch is
// running already: the request loop then runs without one, as before.
[[nodiscard]] int start_client_watch(int socket);

// Stops the watch and waits for its thread; nothing is called afterwards.
// Must come before the socket is closed. Harmless without a watch.
void stop_client_watch();

// The request loop works on a request (true) or waits for one (false): the
// watch looks for a hang-up more often while the loop works.
void client_watch_busy(bool busy);

// True once the watch of `socket` has seen its client hang up (until the
// watch stops).
bool client_hung_up(int socket);

}  // namespace vnx
