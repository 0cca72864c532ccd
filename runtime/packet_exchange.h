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

#include "protocol/meta_queue.h"
#include "protocol/packet.h"

namespace vnx {

// Frames and sends the NUL-terminated packet. Without info_out returns 89
// ('Y') on success; with it, waits for the answer and returns
// dqp_getpkt(client, packet, info_out). -1 when the slot has no connection,
// the transport is unknown, the packet cannot be framed or the write fails.
[[nodiscard]] int dqp_sendpkt(int client, char *packet, int32_t *info_out);

// Receives one packet into buffer (PKT_BUFSIZE bytes) and returns its type
// character; 'S' when the slot has no connection, the transport is unknown,
// the read fails or the client's watch has seen it hang up (client_watch.h:
// what it sent before is then left unread). A packet too short to hold a
// header is padded with NULs up to one (packet_check refuses it); its type
// is 0 when it has none either. The packet is NUL-terminated, but the
// run-length code carries any byte, so it may hold NUL bytes before its end:
// its size is *size_out, which callers that read arguments take instead of
// strlen(buffer). info_out, when given, gets pkt_info (0 for a packet
// shorter than a header).
[[nodiscard]] int dqp_getpkt(int client, char *buffer, int32_t *info_out,
                             size_t *size_out = nullptr);

// Work a backend defers until its client pauses: once request_idle_call()
// has asked for it, `hook` runs on the request loop's thread when the
// client has sent nothing for kIdleDelayMs after the loop's last reply (and
// not again until asked anew). On a plain connection the wait is a receive
// timeout (SO_RCVTIMEO, which the kernel rounds up to its clock tick), set
// when first asked and kept while the hook keeps being asked, so a client
// that keeps talking costs no extra system call; it is taken off when the
// hook runs. A TLS connection is polled before each receive instead, as
// its record layer must not see a read time out.
inline constexpr int kIdleDelayMs = 5;
using IdleHook = void (*)();
void set_idle_hook(IdleHook hook);
void request_idle_call();
// Takes the idle wait's receive timeout off the client's connection, before
// the connection is handed to another process (the timeout travels with it).
void clear_idle_wait(int client);

// Builds a reply and queues or sends it through the METADATA queue
// (meta_queue.h). Returns the result of the last send made, 0 when it only
// queued, -1 when the packet cannot be built or sent.
[[nodiscard]] int dqp_send_metapkt(int client, int type, int32_t info,
                                   std::span<const std::string_view> args);

// The METADATA queue, looked up once by a caller that builds many packets
// for one client in place (a result's rows): stage a packet on `queue`,
// write it, then commit it with `maxbufsize` and `send`, which queues it or
// sends it as dqp_send_metapkt would. Good until a METADATA call names
// another client.
struct MetaSink {
    dqp::MetaQueue *queue;
    int maxbufsize;
    const dqp::MetaQueue::SendFn *send;
};
MetaSink dqp_meta_sink(int client);

// Builds a reply into packet and sends it at once. Returns what dqp_sendpkt
// returns (89 once sent), or -1 when the reply does not fit a packet.
[[nodiscard]] int dqp_send_reply(int client, char *packet, int type, int32_t info,
                                 std::span<const std::string_view> args);

// DATA packets (result rows and records) sent or queued to the client since
// the process started: a counter for the activity board.
uint64_t dqp_rows_sent();

// Forgets whatever the METADATA queue holds (start of each fetch).
void dqp_reset_metaqueue();

// True when the client's next request has already arrived whole.
bool dqp_request_buffered(int client);

// While a ReplyBatch lives, the frames sent to its client are gathered in a
// buffer and written in large pieces: whenever less room is left than the
// largest frame, before a receive on that client would wait, and when the
// batch ends.
// A result of many frames costs a few system calls instead of one per frame,
// and a short one leaves in a single write. A failed write fails every later
// send of the batch. Batches do not nest: an inner one does nothing.
class ReplyBatch {
  public:
    explicit ReplyBatch(int client);
    ~ReplyBatch();
    ReplyBatch(const ReplyBatch &) = delete;
    ReplyBatch &operator=(const ReplyBatch &) = delete;

  private:
    bool owner_ = false;
};

// Writes at once what the open batch holds for this client, so that a
// finished reply is not held back by work that follows it.
void dqp_flush_replies(int client);

}  // namespace vnx
