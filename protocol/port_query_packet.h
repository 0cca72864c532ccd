// The packet form of port-server requests: a query packet (type 'n', info 0,
// text fields; field 0 is the command) and its one-field reply. Built and
// decoded here only, for the gateways' session notices, the client library and
// the port server alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace dqp {

// Largest reply field the port server sends: longer texts are cut to it.
inline constexpr size_t PORT_REPLY_FIELD_MAX = 4096;

// Builds the query packet from `fields` into *packet and its frame into *frame.
// 0, or -1 when it does not fit one frame.
[[nodiscard]] int build_port_query(std::span<const std::string_view> fields, std::string *packet,
                                   std::string *frame);

// Builds a reply packet of `type` and `code` with the one field (cut to
// PORT_REPLY_FIELD_MAX) into *packet and its frame into *frame. 0, or -1.
[[nodiscard]] int build_port_reply(int type, int32_t code, std::string_view field,
                                   std::string *packet, std::string *frame);

// Decodes a received frame of flen bytes into *packet and checks that it is a
// well-formed packet. 0, or -1 when the frame or the packet is malformed.
[[nodiscard]] int decode_port_packet(const char *frame, size_t flen, std::string *packet);

}  // namespace dqp
