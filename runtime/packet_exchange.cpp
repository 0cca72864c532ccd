// Packet exchange over a client's connection. See packet_exchange.h.
#include "runtime/packet_exchange.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

#include "protocol/meta_queue.h"
#include "protocol/packet.h"
#include "protocol/rle.h"
#include "protocol/socket_io.h"
#include "protocol/tls_channel.h"
#include "protocol/trace.h"
#include "runtime/client_table.h"
#include "runtime/client_watch.h"
#include "transport/tcp.h"

namespace vnx {

namespace {

// The deferred work of set_idle_hook, on the request loop's thread only.
struct IdleCall {
    IdleHook hook = nullptr;
    bool asked = false;
};

IdleCall &idle_call() {
    static IdleCall call;
    return call;
}

void run_idle_hook() {
    IdleCall &c = idle_call();
    if (!c.asked || c.hook == nullptr) return;
    c.asked = false;
    c.hook();
}

// Sets (ms > 0) or takes off (0) a connection's receive timeout.
bool set_receive_timeout(int sock, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

// A TLS connection: polls for kIdleDelayMs and runs the hook when the
// client stayed silent.
void poll_then_run_idle_hook(int sock) {
    if (dqp::channel_pending(sock) > 0) return;  // decrypted bytes wait: the client spoke
    pollfd fd{sock, POLLIN, 0};
    int n;
    do {
        n = poll(&fd, 1, kIdleDelayMs);
    } while (n < 0 && errno == EINTR);
    if (n == 0) run_idle_hook();  // otherwise the client spoke (or the poll failed): later
}

// Before a receive that would wait, with the idle hook asked for: a plain
// connection gets its receive timeout (once), a TLS one is polled.
void prepare_idle_wait(ClientSlot &slot) {
    IdleCall &c = idle_call();
    if (!c.asked || c.hook == nullptr) return;
    if (!slot.idle_timeout && !dqp::channel_encrypted(slot.socket) &&
        set_receive_timeout(slot.socket, kIdleDelayMs))
        slot.idle_timeout = true;
    if (!slot.idle_timeout) poll_then_run_idle_hook(slot.socket);
}

void end_idle_wait(ClientSlot &slot) {
    if (slot.idle_timeout) set_receive_timeout(slot.socket, 0);
    slot.idle_timeout = false;
}

// Receives the next frame; while the receive times out because the client
// is silent, runs the idle hook once and goes on waiting without a timeout.
// What part of a frame had arrived stays buffered across the timeout.
int receive_frame(ClientSlot &slot, char *frame) {
    int n = slot.reader.receive(slot.socket, frame, dqp::PKT_MAX_SIZE);
    while (n == dqp::FRAME_WAIT && slot.idle_timeout) {
        end_idle_wait(slot);
        client_watch_busy(true);  // the hook may run statements
        run_idle_hook();
        client_watch_busy(false);
        n = slot.reader.receive(slot.socket, frame, dqp::PKT_MAX_SIZE);
    }
    return n;
}

dqp::MetaQueue &meta_queue() {
    static dqp::MetaQueue queue;
    return queue;
}

// The frame buffer of this process's single request thread.
char *frame_buffer() {
    static char frame[dqp::PKT_MAX_SIZE];
    return frame;
}

// Frames gathered by a ReplyBatch. 64 KB: large enough that a long result
// goes out in few writes, small enough that the client starts on its rows
// early.
struct OutBatch {
    bool active = false;
    bool failed = false;
    int client = -1;
    int socket = -1;
    size_t used = 0;
    static constexpr size_t kSize = 4 * dqp::PKT_MAX_SIZE;
    char buf[kSize];
};

OutBatch &out_batch() {
    static OutBatch batch;
    return batch;
}

ClientSlot *connected_slot(int client);

// Writes what the batch holds; false once a write has failed. Only ever to
// the connection it was gathered for: once the client's slot has been
// closed, what is left is dropped, never written to a descriptor that may
// since name something else.
bool flush_batch(OutBatch &b) {
    ClientSlot *slot = connected_slot(b.client);
    if (b.used > 0 && (slot == nullptr || slot->socket != b.socket)) b.failed = true;
    if (b.used > 0 && !b.failed) {
        long sent = dqp::write_full(b.socket, b.buf, b.used);
        if (sent != static_cast<long>(b.used)) {
            dqp::tracef("[dqp_sendpkt]", "network write failed, status=%ld", sent);
            b.failed = true;
        }
    }
    b.used = 0;
    return !b.failed;
}

// Room in the batch for one more frame, the batch flushed first when needed;
// null when the socket is not the batch's or a write failed.
char *batch_room(int socket) {
    OutBatch &b = out_batch();
    if (!b.active || b.socket != socket) return nullptr;
    if (OutBatch::kSize - b.used < dqp::PKT_MAX_SIZE) flush_batch(b);
    return b.buf + b.used;
}

ClientSlot *connected_slot(int client) {
    ClientSlot *slot = client_slot(client);
    if (slot == nullptr || slot->socket < 0) return nullptr;
    return slot;
}

}  // namespace

int dqp_sendpkt(int client, char *packet, int32_t *info_out) {
    ClientSlot *slot = connected_slot(client);
    if (slot == nullptr || slot->transport != TRANSPORT_TCPIP) return -1;
    size_t len = strlen(packet);
    OutBatch &batch = out_batch();
    bool batched = batch.active && batch.socket == slot->socket;
    if (batched && batch.failed) return -1;
    char *frame = batched ? batch_room(slot->socket) : frame_buffer();
    int flen = dqp::frame_encode(packet, len, frame, dqp::PKT_MAX_SIZE);
    if (flen < 0) {
        dqp::tracef("[dqp_sendpkt]", "packet too large to send - uncompressed=%zu", len);
        return -1;
    }
    if (batched) {
        batch.used += static_cast<size_t>(flen);
        if (batch.failed) return -1;
    } else {
        int sent = tcp_send(slot->socket, frame);
        if (sent != flen) {
            dqp::tracef("[dqp_sendpkt]", "network write failed, status=%d", sent);
            return -1;
        }
    }
    if (dqp::tracing()) {
        char msg[160];
        snprintf(msg, sizeof msg, "packet sent to %s port %d - compressed=%d, uncompressed=%zu",
                 slot->peer_name.c_str(), slot->port, flen, len);
        dqp::trace_packet(packet, len, "[dqp_sendpkt]", msg);
    }
    if (info_out != nullptr) return dqp_getpkt(client, packet, info_out);
    return dqp::PKT_TYPE_OK;
}

int dqp_getpkt(int client, char *buffer, int32_t *info_out, size_t *size_out) {
    if (size_out != nullptr) *size_out = 0;
    ClientSlot *slot = connected_slot(client);
    if (slot == nullptr || slot->transport != TRANSPORT_TCPIP) return dqp::PKT_TYPE_ABORT;
    // Requests of a client that has hung up are not run, even those that
    // arrived whole before it left: nobody waits for their answers.
    if (client_hung_up(slot->socket)) {
        dqp::trace("[dqp_getpkt]", "client hung up, requests not yet read are dropped");
        return dqp::PKT_TYPE_ABORT;
    }
    OutBatch &batch = out_batch();
    // Gathered replies leave before waiting for the peer, who may be waiting
    // for them; requests that already arrived are taken first.
    if (batch.active && batch.socket == slot->socket && !slot->reader.frame_buffered())
        flush_batch(batch);
    char *frame = frame_buffer();
    if (!slot->reader.frame_buffered()) prepare_idle_wait(*slot);
    client_watch_busy(false);  // the watch looks less often while the loop waits
    int n = receive_frame(*slot, frame);
    client_watch_busy(true);
    if (n <= 0) {
        if (n == TCP_BAD_FRAME)
            dqp::trace("[dqp_getpkt]", "invalid frame header, connection closed");
        else
            dqp::tracef("[dqp_getpkt]", "network read failed, status=%d", n);
        return dqp::PKT_TYPE_ABORT;
    }
    size_t flen = 0;
    if (n < 8 || dqp::frame_length(frame, dqp::PKT_MAX_SIZE, &flen) != 0 ||
        static_cast<size_t>(n) < flen) {
        dqp::tracef("[dqp_getpkt]", "network read failed, status=%d (short frame)", n);
        return dqp::PKT_TYPE_ABORT;
    }
    // NUL bytes are kept: the request loop refuses such a packet with a reply.
    int len = dqp::frame_decode_bytes(frame, flen, buffer, dqp::PKT_BUFSIZE);
    if (len < 0) {
        dqp::trace("[dqp_getpkt]", "frame does not decode to a packet, connection closed");
        return dqp::PKT_TYPE_ABORT;
    }
    if (size_out != nullptr) *size_out = static_cast<size_t>(len);
    if (len < dqp::PKT_HEADER_SIZE) {
        // Too short for a header: pad to one so readers stay in bounds; the
        // request loop refuses it as a malformed packet of its type.
        memset(buffer + len, 0, dqp::PKT_HEADER_SIZE + 1 - len);
        if (info_out != nullptr) *info_out = 0;
        return dqp::pkt_type(buffer);
    }
    if (dqp::tracing()) {
        char msg[160];
        snprintf(msg, sizeof msg,
                 "packet received from %s port %d - compressed=%zu, uncompressed=%d",
                 slot->peer_name.c_str(), slot->port, flen, len);
        dqp::trace_packet(buffer, static_cast<size_t>(len), "[dqp_getpkt]", msg);
    }
    if (info_out != nullptr) *info_out = dqp::pkt_info(buffer);
    return dqp::pkt_type(buffer);
}

namespace {

// The queue's sender, made once: a row costs no std::function of its own.
// The queue sends only within the call that names the client.
int queue_client = -1;
const dqp::MetaQueue::SendFn &queue_sender() {
    static const dqp::MetaQueue::SendFn send = [](char *p) {
        return dqp_sendpkt(queue_client, p, nullptr);
    };
    return send;
}

}  // namespace

int dqp_send_metapkt(int client, int type, int32_t info, std::span<const std::string_view> args) {
    queue_client = client;
    return meta_queue().add(type, info, args, maxbufsize(), queue_sender());
}

MetaSink dqp_meta_sink(int client) {
    queue_client = client;
    return {&meta_queue(), maxbufsize(), &queue_sender()};
}

namespace {
uint64_t g_reply_rows = 0;  // DATA packets sent alone (FETCH, READ)
}  // namespace

int dqp_send_reply(int client, char *packet, int type, int32_t info,
                   std::span<const std::string_view> args) {
    if (dqp::build_packet(packet, dqp::PKT_BUFSIZE, type, info, args) < 0) return -1;
    int rc = dqp_sendpkt(client, packet, nullptr);
    if (type == dqp::PKT_TYPE_DATA && rc >= 0) g_reply_rows++;
    return rc;
}

uint64_t dqp_rows_sent() {
    return meta_queue().data_queued() + g_reply_rows;
}

void set_idle_hook(IdleHook hook) {
    idle_call().hook = hook;
}

void request_idle_call() {
    idle_call().asked = true;
}

void clear_idle_wait(int client) {
    if (ClientSlot *slot = connected_slot(client)) end_idle_wait(*slot);
}

void dqp_reset_metaqueue() {
    meta_queue().reset();
}

ReplyBatch::ReplyBatch(int client) {
    ClientSlot *slot = connected_slot(client);
    OutBatch &b = out_batch();
    if (slot == nullptr || b.active) return;
    b.active = true;
    b.failed = false;
    b.client = client;
    b.socket = slot->socket;
    b.used = 0;
    owner_ = true;
}

void dqp_flush_replies(int client) {
    ClientSlot *slot = connected_slot(client);
    OutBatch &b = out_batch();
    if (slot != nullptr && b.active && b.socket == slot->socket) flush_batch(b);
}

bool dqp_request_buffered(int client) {
    ClientSlot *slot = connected_slot(client);
    return slot != nullptr && slot->reader.frame_buffered();
}

ReplyBatch::~ReplyBatch() {
    if (!owner_) return;
    OutBatch &b = out_batch();
    flush_batch(b);
    b.active = false;
    b.socket = -1;
}

}  // namespace vnx
