// Port-server query packets. See port_query_packet.h.
#include "protocol/port_query_packet.h"

#include "protocol/packet.h"
#include "protocol/rle.h"

namespace dqp {

namespace {

int build_framed(int type, int32_t info, std::span<const std::string_view> args,
                 std::string *packet, std::string *frame) {
    char pkt[PKT_BUFSIZE];
    char buf[PKT_MAX_SIZE];
    int len = build_packet(pkt, sizeof pkt, type, info, args);
    if (len < 0) return -1;
    int flen = frame_encode(pkt, static_cast<size_t>(len), buf, sizeof buf);
    if (flen < 0) return -1;
    packet->assign(pkt, static_cast<size_t>(len));
    frame->assign(buf, static_cast<size_t>(flen));
    return 0;
}

}  // namespace

int build_port_query(std::span<const std::string_view> fields, std::string *packet,
                     std::string *frame) {
    return build_framed(PKT_TYPE_QUERY, 0, fields, packet, frame);
}

int build_port_reply(int type, int32_t code, std::string_view field, std::string *packet,
                     std::string *frame) {
    if (field.size() > PORT_REPLY_FIELD_MAX) field = field.substr(0, PORT_REPLY_FIELD_MAX);
    return build_framed(type, code, std::span(&field, 1), packet, frame);
}

int decode_port_packet(const char *frame, size_t flen, std::string *packet) {
    char pkt[PKT_BUFSIZE];
    int len = frame_decode(frame, flen, pkt, sizeof pkt);
    if (len < 0 || packet_check(pkt, static_cast<size_t>(len)) != 0) return -1;
    packet->assign(pkt, static_cast<size_t>(len));
    return 0;
}

}  // namespace dqp
