// Fuzzes the packet readers on a decoded packet: the check, argument views
// and copies into small fixed fields, the client's reply and METADATA
// unpacking, and the trace of a packet.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "client/dqp_client.h"
#include "fuzz_log.h"
#include "protocol/packet.h"
#include "protocol/trace.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > static_cast<size_t>(dqp::PKT_MAX_SIZE)) return 0;
    // Packets reach the readers as NUL-terminated text without inner NULs.
    std::vector<char> pkt(data, data + size);
    for (char &c : pkt)
        if (c == '\0') c = '0';
    pkt.push_back('\0');
    const char *p = pkt.data();

    bool ok = dqp::packet_check(p, size) == 0;
    if (size >= dqp::PKT_HEADER_SIZE) {
        int argc = dqp::pkt_argc(p);
        char field[80];
        std::string_view arg;
        for (int i = -1; i <= argc && i < 300; i++) {
            int r = dqp::packet_arg(p, size, i, &arg);
            if (r == 0 && (arg.data() < p || arg.data() + arg.size() > p + size)) abort();
            if (ok && i >= 0 && i < argc && r != 0) abort();
            int g = dqp::get_argument(p, size, i, field, sizeof field);
            if (strlen(field) >= sizeof field) abort();
            if (g == 0 && strlen(field) != arg.size()) abort();
        }
        fuzz_trace_on();
        dqp::trace_packet(p, size, "[fuzz]", "packet");
    }

    dqp::Reply reply;
    std::vector<dqp::Reply> replies;
    if (dqp::parse_reply(p, size, &reply) == 0 && !ok) abort();
    dqp::unpack_metadata(p, size, &replies);
    return 0;
}
