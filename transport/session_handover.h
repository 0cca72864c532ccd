// Handing a client's connection from one gateway to another on this machine.
//
// A gateway that keeps its data-source connection after its client left (a
// holder) listens on a Unix socket in DB_ROOT named after a key of the data
// source and user: "pool-<key>-<pid>.sock", SOCK_SEQPACKET, mode 0600. A
// gateway whose new client names that data source and user offers the
// client to a holder: one message carries the login, START's user name,
// the client's address and the client's bytes already read (the CONNECT
// frame first), with the client's socket attached (SCM_RIGHTS). The holder
// answers one byte, kHandoverTaken or kHandoverDeclined. Taken is only a
// promise: the offering side, if it still waits, then sends kHandoverCommit
// and from then on never serves the client; the holder serves it only once
// it has read that commit. Every other outcome (no answer in time, a holder
// that died, a commit that cannot be sent or does not come) leaves the
// client with the offering side, or with nobody when the commit was sent
// and the holder went before reading it (the client then sees its
// connection closed). So no client is ever served by two processes.
//
// Either side accepts a peer only when it runs as the same user
// (SO_PEERCRED). Every received message is checked before use: a malformed
// one is declined, and a descriptor that came with it is closed.
// Plain connections only: a TLS session's state cannot travel with its
// socket. Nothing here reads the configuration or knows of ODBC.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vnx {

inline constexpr char kHandoverTaken = 'Y';
inline constexpr char kHandoverDeclined = 'N';
inline constexpr char kHandoverCommit = 'C';

// How long a holder's check of its kept connection may take before the
// holder gives the connection up (its answer is then a decline); how long
// the offering side waits for one holder's answer (the check, with room for
// hashing and scheduling); how long it waits for the holders asked so far
// before it asks the next one as well; and how long a holder that answered
// taken waits for the commit.
inline constexpr int kCheckBoundMs = 1000;
inline constexpr int kAnswerWaitMs = kCheckBoundMs + 1000;
inline constexpr int kOfferStaggerMs = 50;
inline constexpr int kCommitWaitMs = 5000;

// What travels with a client's socket.
struct HandoverOffer {
    std::string dsn, user, password;  // CONNECT's data source and login
    std::string start_user;           // START's user name, for the session notice
    std::string client_address;       // the client's address as the transport shows it
    std::string bytes;                // the CONNECT frame, then whatever followed it
};

// The key of a data source and user in holder names: 16 hex digits of a
// 64-bit hash over both (the names never appear in the file system; a
// holder checks the names themselves, so keys need not be unique).
std::string handover_key(const std::string &dsn, const std::string &user);

// Holders' sockets in `root` whose process still runs (stale files of
// processes that have gone are removed on the way); with an empty key,
// every key's.
std::vector<std::string> holder_sockets(const std::string &root, const std::string &key);

// One of at most `max` places for a kept connection: root/pool-slot-<n>
// (n below max), made 0600 when missing and held with an exclusive flock
// for as long as the returned descriptor is open, so that gateways
// deciding at once never keep more than max between them, and a holder
// that dies frees its place with its descriptors. The descriptor (the
// caller closes it to free the place), or -1 when every place is taken or
// none can be made.
[[nodiscard]] int take_holder_slot(const std::string &root, int max);

// Holder: listens on root/pool-<key>-<pid>.sock. The listening descriptor,
// or -1 with *why set; *path receives the socket's path.
[[nodiscard]] int holder_listen(const std::string &root, const std::string &key, std::string *path,
                                std::string *why);

// Holder: waits up to timeout_ms for an offer on `listener`. 1: an offer in
// *offer, its client socket in *client and the offering connection in
// *peer (answer it with handover_answer, then close it); 0: none came in
// time; -1: the listener failed. Offers from another user, or malformed,
// are declined and waiting goes on.
[[nodiscard]] int holder_wait(int listener, int timeout_ms, HandoverOffer *offer, int *client,
                              int *peer);

// Holder: sends the answer byte on the offering connection. 0 or -1.
[[nodiscard]] int handover_answer(int peer, char answer);

// Holder: after answering taken, waits up to timeout_ms for the offering
// side's commit. True: the client is this holder's to serve. False (the
// offering side gave up, went, or sent anything else): the holder must not
// serve it and closes its copy without a shutdown.
[[nodiscard]] bool holder_committed(int peer, int timeout_ms = kCommitWaitMs);

// Offering side: offers `client` to the holders of `key` in `root`, the
// first one at once and each further one when those asked so far have not
// answered within kOfferStaggerMs, so that a holder stuck in its check
// costs the wait for the others once; each answer is awaited up to
// answer_wait_ms. The first holder to answer taken gets the commit; the
// others asked are closed without one, so they never serve the client.
// True when a commit was sent: the caller then closes its own descriptor
// without a shutdown and never serves the client again. False when none
// took it or none exists: the client is still the caller's, and no holder
// will serve it. `taken` runs after the commit, before the holder hears
// that the offering side is done (holder_done).
[[nodiscard]] bool offer_client(const std::string &root, const std::string &key, int client,
                                const HandoverOffer &offer, const std::function<void()> &taken,
                                int answer_wait_ms = kAnswerWaitMs);

// Holder: after the commit, waits (at most a few seconds) until the
// offering side has closed its end: its `taken` work is then done.
void holder_done(int peer);

}  // namespace vnx
