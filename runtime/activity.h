// The gateway's entry on the activity board (support/activity_board.h): its
// data source and user, whether it is idle, in a transaction or serving a
// request, the statement it last received and how many rows it has sent.
//
// Published only when ODBServer "track_activity" is not "false" (read when
// the client comes, as the other per-session settings) and the master's
// board is there; otherwise every call returns at once. A request costs two
// writes of one record into shared memory: no system call, no lock. The
// board belongs to the request loop's thread. Not for use outside runtime/.
#pragma once

#include <string>

namespace vnx {

struct Request;

// Opens the board in DB_ROOT and publishes this gateway (pid, port) as idle.
// Returns 0 when publishing, 1 when off or the board cannot be used (the
// reason is traced).
int activity_start(int port);
// Frees this gateway's slot and closes the board.
void activity_stop();
// Around each request the loop hands to its handler.
void activity_begin(const Request &r);
void activity_end(const Request &r);

}  // namespace vnx
