// Sessions handed between gateways. See handover.h.
#include "runtime/handover.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "protocol/rle.h"
#include "protocol/tls_channel.h"
#include "protocol/trace.h"
#include "runtime/client_watch.h"
#include "runtime/packet_exchange.h"
#include "support/config_cache.h"
#include "support/unique_fd.h"
#include "transport/session_handover.h"
#include "transport/session_notice.h"

namespace vnx {

namespace {

const PoolHooks *g_hooks = nullptr;
// The offering gateway of the client served now, until its session notice
// has gone out (it closes its end once its own session record has ended).
UniqueFd g_offerer;

void wipe(std::string *secret) {
    std::fill(secret->begin(), secret->end(), '\0');
}

std::string db_root() {
    return get_registry_value("DB_ROOT", kRootKey);
}

// The request in r framed again as the client sent it, followed by what
// the client sent after it; empty when it cannot be framed.
std::string client_bytes(const Request &r) {
    std::string pkt(r.packet, r.size);
    std::vector<char> frame(dqp::PKT_MAX_SIZE + 1);
    int n = dqp::frame_encode(pkt.data(), pkt.size(), frame.data(), frame.size());
    wipe(&pkt);  // CONNECT holds the password
    if (n <= 0) return "";
    std::string bytes(frame.data(), static_cast<size_t>(n));
    std::fill(frame.begin(), frame.end(), '\0');
    bytes.append(r.slot().reader.buffered());
    return bytes;
}

// Gives the handed socket a slot with the bytes that came with it. The slot
// index, or -1 (the socket is then still the caller's).
int attach_handed(int sock, const HandoverOffer &offer, int port) {
    int client = attach_socket(sock, TRANSPORT_TCPIP);
    if (client < 0) return -1;
    ClientSlot *slot = client_slot(client);
    if (!slot->reader.preload(offer.bytes)) {
        *slot = ClientSlot{};
        return -1;
    }
    slot->peer_name = offer.client_address;
    slot->port = port;
    slot->table_closed = 1;
    tcp_adopt_client_address(offer.client_address);
    return client;
}

// Frees a slot whose socket another process still serves: no shutdown,
// which would end the connection for that process too.
void release_slot(int client) {
    ClientSlot *slot = client_slot(client);
    if (slot->socket >= 0) close(slot->socket);
    *slot = ClientSlot{};
}

// Handles one offer on the holder socket: the slot of the client taken,
// or -1 when it was declined.
int take_offer(const PoolHooks &h, HandoverOffer &offer, UniqueFd sock, UniqueFd peer, int port) {
    bool ok = h.check(offer.dsn, offer.user, offer.password) == 0;
    wipe(&offer.password);
    int client = ok ? attach_handed(sock.get(), offer, port) : -1;
    if (client < 0) {
        (void)handover_answer(peer.get(), kHandoverDeclined);
        return -1;
    }
    sock.release();  // the slot owns it now
    // Until the commit arrives the client may still be the offering
    // gateway's (it gave up waiting, or went): without it, never serve.
    if (handover_answer(peer.get(), kHandoverTaken) != 0 || !holder_committed(peer.get())) {
        dqp::trace("[dqp_server]", "a handed client was not committed: left to its gateway");
        release_slot(client);
        return -1;
    }
    g_offerer = std::move(peer);
    h.adopted(offer.start_user, port);
    dqp::trace("[dqp_server]", "a client was handed over to this gateway's kept connection");
    return client;
}

}  // namespace

void set_pool_hooks(const PoolHooks *hooks) {
    g_hooks = hooks;
}

bool offer_to_holder(Request &r, const std::string &user, const std::string &password,
                     const std::string &dsn) {
    if (g_hooks == nullptr || !g_hooks->may_offer()) return false;
    ClientSlot &slot = r.slot();
    // A TLS session's state cannot travel with its socket.
    if (slot.socket < 0 || dqp::channel_encrypted(slot.socket)) return false;
    const std::string root = db_root(), key = handover_key(dsn, user);
    if (root.empty() || key.empty() || holder_sockets(root, key).empty()) return false;
    HandoverOffer offer{
        dsn, user, password, g_hooks->start_user(), slot.peer_name, client_bytes(r)};
    if (offer.bytes.empty()) return false;
    dqp_flush_replies(r.client);  // START's reply leaves before the holder's
    clear_idle_wait(r.client);    // the holder's receives wait without a timeout
    stop_client_watch();
    // The session record of this gateway ends before the holder's begins.
    bool taken = offer_client(root, key, slot.socket, offer, [] { g_hooks->handed_over(); });
    wipe(&offer.password);
    wipe(&offer.bytes);
    if (!taken) {
        if (start_client_watch(slot.socket) != 0)
            dqp::trace("[dqp_server]", "client connection not watched: cancelling is unavailable");
        return false;
    }
    release_slot(r.client);
    dqp::trace("[dqp_server]", "the client was handed to a gateway holding its connection");
    return true;
}

void announce_handed_session() {
    // The offerer's record ends first, so that the holder's takes its place
    // in the session list rather than one after a gap.
    if (g_offerer.valid()) holder_done(g_offerer.get());
    g_offerer.reset();
    if (g_hooks != nullptr) g_hooks->announce();
}

int next_handed_client(int port) {
    const PoolHooks *h = g_hooks;
    g_offerer.reset();  // a session that ended before its notice went out
    if (h == nullptr) return -1;
    const std::string key = h->holding_key();
    if (key.empty()) return -1;
    std::string path, why;
    UniqueFd listener(holder_listen(db_root(), key, &path, &why));
    if (!listener.valid())
        dqp::tracef("[dqp_server]", "cannot hold the connection: %s", why.c_str());
    else if (notify_port_server_idle(std::to_string(port)) != 0)
        dqp::trace("[dqp_server]", "the port server did not take this gateway's idling (IdleUser)");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(h->idle_ms());
    int client = -1;
    while (listener.valid() && client < 0 && !h->holding_key().empty()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        HandoverOffer offer;
        int sock = -1, peer = -1;
        int rc = holder_wait(listener.get(), static_cast<int>(left.count()), &offer, &sock, &peer);
        if (rc < 0) break;
        if (rc > 0) client = take_offer(*h, offer, UniqueFd(sock), UniqueFd(peer), port);
    }
    if (!path.empty()) unlink(path.c_str());
    if (client < 0) h->release();
    return client;
}

}  // namespace vnx
