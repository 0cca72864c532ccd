// Packet exchange over a client's connection. See packet_exchange.h.
#include "runtime/packet_exchange.h"

#include <cstring>

#include "protocol/meta_queue.h"
#include "protocol/packet.h"
#include "protocol/rle.h"
#include "protocol/trace.h"
#include "runtime/client_table.h"
#include "transport/tcp.h"

namespace vnx {

namespace {

dqp::MetaQueue &meta_queue() {
    static dqp::MetaQueue queue;
    return queue;
}

// The frame buffer of this process's single request thread.
char *frame_buffer() {
    static char frame[dqp::PKT_MAX_SIZE];
    return frame;
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
    char *frame = frame_buffer();
    int flen = dqp::frame_encode(packet, len, frame, dqp::PKT_MAX_SIZE);
    if (flen < 0) {
        dqp::tracef("[dqp_sendpkt]", "packet too large to send - uncompressed=%zu", len);
        return -1;
    }
    int sent = tcp_send(slot->socket, frame);
    if (sent != flen) {
        dqp::tracef("[dqp_sendpkt]", "network write failed, status=%d", sent);
        return -1;
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

int dqp_getpkt(int client, char *buffer, int32_t *info_out) {
    ClientSlot *slot = connected_slot(client);
    if (slot == nullptr || slot->transport != TRANSPORT_TCPIP) return dqp::PKT_TYPE_ABORT;
    char *frame = frame_buffer();
    int n = tcp_receive(slot->socket, frame, dqp::PKT_MAX_SIZE);
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
    int len = dqp::frame_decode(frame, flen, buffer, dqp::PKT_BUFSIZE);
    if (len < 0) {
        dqp::trace("[dqp_getpkt]", "frame does not decode to a packet, connection closed");
        return dqp::PKT_TYPE_ABORT;
    }
    if (len < dqp::PKT_HEADER_SIZE) {
        // Too short to carry a type: pad to a header so readers stay in bounds;
        // the request loop answers it as a malformed packet.
        memset(buffer + len, 0, dqp::PKT_HEADER_SIZE + 1 - len);
        if (info_out != nullptr) *info_out = 0;
        return 0;
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

int dqp_send_metapkt(int client, char *packet, int type, int32_t info,
                     std::span<const std::string_view> args, char *metabuf) {
    auto send = [client](char *p) { return dqp_sendpkt(client, p, nullptr); };
    return meta_queue().add(packet, dqp::PKT_BUFSIZE, type, info, args, metabuf, maxbufsize(),
                            send);
}

int dqp_send_reply(int client, char *packet, int type, int32_t info,
                   std::span<const std::string_view> args) {
    if (dqp::build_packet(packet, dqp::PKT_BUFSIZE, type, info, args) < 0) return -1;
    return dqp_sendpkt(client, packet, nullptr);
}

void dqp_reset_metaqueue() {
    meta_queue().reset();
}

}  // namespace vnx
