// The request loop of a gateway: receive one packet, dispatch it on its type
// through the backend operation table, answer, until STOP, ABORT, a lost
// connection or a failed START ends it.
//
// Reply rules: a handler's negative status is answered NOK with that status as
// pkt_info, success OK with the request's result; LOGGING, STOP and ABORT are
// never answered, EXTENDED_FETCH only by its operation.
//
// Refusals: what the loop refuses itself, before or instead of the backend, is
// answered NOK -1 with the arguments the type's OK reply carries (out1 and
// out2, out1, the record number -1 or the count 0; none for the others), so
// that a client may index the arguments of any NOK. Refused so: a packet that
// is not well formed (bad header digits, offsets or lengths outside it, too
// short for a header) or that holds a NUL byte (the run-length code carries
// any byte, but arguments travel on as NUL-terminated texts), an empty backend
// slot, names longer than their 79-character field, and the record requests'
// checks (record_handlers.cpp). A type without a handler is answered NOK 0. A
// malformed packet of a type the loop never answers closes the connection: a
// NOK would be taken for the answer to the client's next request. Texts are
// taken whole.
//
// Long arguments: PIECE packets are gathered for the next request and never
// answered (request_pieces.h); EXECSQL, DECLARE and OPEN get their arguments
// joined whole, any other request after pieces, and a request whose pieces
// break a rule, is refused. A request without pieces costs one comparison
// more than before.
//
// MAPERROR after a refusal answers the refusal's reason in words ("record 12
// is beyond the last record (10) of alias CU") instead of asking the backend,
// which knows nothing of it, until another request than MAPERROR is handled.
#pragma once

#include "runtime/backend.h"

namespace vnx {

// Longest name (alias, cursor, table) a request may carry.
inline constexpr int MAX_NAME_LEN = 79;

// Runs the loop for `client` until it ends; returns 0. With `login_required`,
// START must name a console user with its password (login.h); until it has,
// every request but START, STOP and ABORT is refused (NOK -1, nothing sent
// for a type that is never answered), and a refused START ends the loop.
// `started`: the client's START was served already (by the gateway that
// handed the client over, handover.h); the session is then announced to
// the port server once the first reply has left (announce_handed_session).
int dqp_request_loop(int client, const BackendOps *ops, bool login_required = false,
                     bool started = false);

}  // namespace vnx
