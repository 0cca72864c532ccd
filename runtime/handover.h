// Sessions handed between gateways that reuse a data-source connection
// (transport/session_handover.h carries the socket; the backend keeps the
// connection).
//
// Offering: when CONNECT arrives on a plain connection and the backend says
// it may offer, the client is offered to a gateway holding a connection for
// the same data source and user, with the CONNECT frame and every byte of
// the client's already read. Replies already gathered are written first, so
// the client's byte stream stays in order. When the holder takes the
// client, the request loop ends without answering: the holder answers.
//
// Holding: once its client has gone and the backend keeps a connection, the
// gateway waits for offers on its holder socket for the backend's idle
// time; an offer the backend accepts becomes its next client, served by the
// request loop as if that client had connected here, its CONNECT first.
// When the time runs out the backend releases the connection and the
// gateway exits as before.
#pragma once

#include <string>

#include "runtime/backend.h"
#include "runtime/request.h"

namespace vnx {

// What the backend tells the runtime; each member must be set.
struct PoolHooks {
    // CONNECT may be offered to a holder (reuse is on, nothing is kept here).
    bool (*may_offer)();
    // The client was taken by a holder: this gateway's session has ended.
    void (*handed_over)();
    // START's user name, which travels with the client.
    std::string (*start_user)();
    // The handover key of the kept connection; empty when none is kept.
    std::string (*holding_key)();
    // How long to hold it, in milliseconds.
    int (*idle_ms)();
    // 0 when the kept connection serves this login (it is then checked).
    int (*check)(const std::string &dsn, const std::string &user, const std::string &password);
    // A taken client's session starts here: START's user name and the port,
    // recorded as START records them.
    void (*adopted)(const std::string &start_user, int port);
    // Tells the port server of the taken client's session, as START does.
    void (*announce)();
    // The holding time is over: disconnect the kept connection.
    void (*release)();
};

// Registers (or removes, with null) the backend's hooks; without them the
// runtime never offers nor holds.
void set_pool_hooks(const PoolHooks *hooks);

// From CONNECT's handler: true when a holder took the client (the loop must
// end without a reply); false when the caller connects as usual.
bool offer_to_holder(Request &r, const std::string &user, const std::string &password,
                     const std::string &dsn);

// After a client's session: while the backend holds a connection, waits
// for a client to be handed over and attaches it (its reader holds the
// bytes that came with it). The client's slot, or -1 once nothing is held
// (the time ran out, the connection was dropped, the holder socket could
// not be made): the kept connection has then been released.
int next_handed_client(int port);

// The request loop of a handed client, once its first reply has left: once
// the offering gateway has ended its own session record, the session
// notice ("AddUser") goes out, off the path of the CONNECT.
void announce_handed_session();

}  // namespace vnx
