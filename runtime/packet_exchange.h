// Packet exchange over a client's connection: framing and run-length coding
// on the way out, frame checking and decoding on the way in, and METADATA
// batching of result packets.
//
// Receiving is strict: a frame whose length field is not 8 upper-case hex
// digits, is below 8 or above the 16384-byte frame buffer, that arrives short,
// or that decodes to more than a packet buffer or to something that is not
// packet text, is a failed read ('S'), which the request loop treats as ABORT.
// Sending never builds a frame the peer could not receive: a packet whose
// frame would exceed 16384 bytes is not sent (-1).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace vnx {

// Frames and sends the NUL-terminated packet. Without info_out returns 89
// ('Y') on success; with it, waits for the answer and returns
// dqp_getpkt(client, packet, info_out). -1 when the slot has no connection,
// the transport is unknown, the packet cannot be framed or the write fails.
int dqp_sendpkt(int client, char *packet, int32_t *info_out);

// Receives one packet into buffer (PKT_BUFSIZE bytes) and returns its type
// character; 'S' when the slot has no connection, the transport is unknown or
// the read fails; 0 when the packet is too short to hold a header (it is then
// padded with NULs, and packet_check refuses it). The decoded packet is NUL-terminated and holds no
// other NUL, so its size is strlen(buffer). info_out, when given, gets pkt_info.
int dqp_getpkt(int client, char *buffer, int32_t *info_out);

// Builds a reply into packet and queues or sends it through the METADATA
// queue (meta_queue.h); metabuf is a second PKT_BUFSIZE buffer. Returns the
// result of the last send made, 0 when it only queued.
int dqp_send_metapkt(int client, char *packet, int type, int32_t info,
                     std::span<const std::string_view> args, char *metabuf);

// Builds a reply into packet and sends it at once.
int dqp_send_reply(int client, char *packet, int type, int32_t info,
                   std::span<const std::string_view> args);

// Forgets whatever the METADATA queue holds (start of each fetch).
void dqp_reset_metaqueue();

}  // namespace vnx
