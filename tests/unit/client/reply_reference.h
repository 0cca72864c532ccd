// Reply parsing as first written: packet_check walks a packet's arguments,
// packet_arg re-reads the header and offset table for each one, and a METADATA
// container is checked whole before each inner packet is parsed again into a
// Reply of strings. The one-pass parser in the client must accept exactly the
// packets this accepts and give the same values; the unit tests and
// client_rx_bench compare against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "client/dqp_client.h"
#include "protocol/packet.h"

namespace reply_reference {

inline int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

inline int parse_hex(const char *text, int width, uint32_t *value) {
    uint32_t v = 0;
    for (int i = 0; i < width; i++) {
        int d = hex_digit(text[i]);
        if (d < 0) return -1;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    *value = v;
    return 0;
}

inline int packet_arg(const char *pkt, size_t size, int i, std::string_view *out) {
    *out = std::string_view();
    if (size < dqp::PKT_HEADER_SIZE || i < 0) return -1;
    uint32_t argc = 0;
    if (parse_hex(pkt + 17, 4, &argc) != 0 || static_cast<uint32_t>(i) >= argc) return -1;
    size_t slot = dqp::PKT_HEADER_SIZE + 4 * static_cast<size_t>(i);
    uint32_t off = 0, len = 0;
    if (slot + 4 > size || parse_hex(pkt + slot, 4, &off) != 0) return -1;
    if (off < dqp::PKT_HEADER_SIZE || size_t{off} + 4 > size || parse_hex(pkt + off, 4, &len) != 0)
        return -1;
    if (size_t{off} + 4 + len > size) return -1;
    *out = std::string_view(pkt + off + 4, len);
    return 0;
}

inline int packet_check(const char *pkt, size_t size) {
    uint32_t info = 0, argc = 0;
    if (size < dqp::PKT_HEADER_SIZE) return -1;
    if (parse_hex(pkt + 9, 8, &info) != 0 || parse_hex(pkt + 17, 4, &argc) != 0) return -1;
    if (dqp::PKT_HEADER_SIZE + 4 * size_t{argc} > size) return -1;
    std::string_view arg;
    for (uint32_t i = 0; i < argc; i++)
        if (packet_arg(pkt, size, static_cast<int>(i), &arg) != 0) return -1;
    return 0;
}

inline int parse_reply(const char *pkt, size_t size, dqp::Reply *out) {
    uint32_t info = 0, argc = 0;
    out->args.clear();
    if (size < dqp::PKT_HEADER_SIZE || parse_hex(pkt + 9, 8, &info) != 0 ||
        parse_hex(pkt + 17, 4, &argc) != 0 || dqp::PKT_HEADER_SIZE + 4 * size_t{argc} > size)
        return -1;
    out->type = static_cast<unsigned char>(pkt[8]);
    out->info = static_cast<int32_t>(info);
    out->args.reserve(argc);
    std::string_view arg;
    for (uint32_t i = 0; i < argc; i++) {
        if (packet_arg(pkt, size, static_cast<int>(i), &arg) != 0) {
            out->args.clear();
            return -1;
        }
        out->args.emplace_back(arg);
    }
    return 0;
}

// The packets one received packet stands for, as the client first unpacked
// them: a METADATA container's inner packets (none of them a container), or
// the packet itself. 0, or -1 when anything is malformed.
inline int unpack(const char *pkt, size_t size, std::vector<dqp::Reply> *out) {
    out->clear();
    if (size < dqp::PKT_HEADER_SIZE || pkt[8] != dqp::PKT_TYPE_METADATA) {
        out->resize(1);
        return reply_reference::parse_reply(pkt, size, &(*out)[0]);
    }
    if (packet_check(pkt, size) != 0) return -1;
    uint32_t count = 0;
    parse_hex(pkt + 17, 4, &count);
    out->resize(count);
    std::string_view inner;
    for (uint32_t i = 0; i < count; i++) {
        packet_arg(pkt, size, static_cast<int>(i), &inner);
        dqp::Reply &p = (*out)[i];
        if (reply_reference::parse_reply(inner.data(), inner.size(), &p) != 0 ||
            p.type == dqp::PKT_TYPE_METADATA)
            return -1;
    }
    return 0;
}

}  // namespace reply_reference
