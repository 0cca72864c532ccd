// The request loop of a gateway: receive one packet, dispatch it on its type
// through the backend operation table, answer, until STOP, ABORT, a lost
// connection or a failed START ends it.
//
// Reply rules: a handler's negative status is answered NOK with that status as
// pkt_info, success OK with the request's result; types without a handler are
// answered NOK 0; a null backend slot is answered NOK -1 (EXTENDED_FETCH sends
// nothing); LOGGING, STOP and ABORT are never answered. A packet that is not
// well formed (bad header digits, offsets or lengths outside it) is answered
// NOK -1 without being dispatched. Names longer than their 79-character field
// are refused with NOK -1; texts are taken whole.
#pragma once

#include "runtime/backend.h"

namespace vnx {

// Longest name (alias, cursor, table) a request may carry.
inline constexpr int MAX_NAME_LEN = 79;

// Runs the loop for `client` until it ends; returns 0.
int dqp_request_loop(int client, const BackendOps *ops);

}  // namespace vnx
