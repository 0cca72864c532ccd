// Fuzzes the port server's request parsing: the first byte picks the request
// form, as on the base port ("?" text query, "0" packet query, else a server
// type name). Session notices run against a registry with no file, so they do
// no file work.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "master/port_server.h"
#include "protocol/packet.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("VNX_REGISTRY", "/nonexistent/registry.db", 1);
    vnx::port_table_reset(20000, 20101);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > static_cast<size_t>(dqp::PKT_MAX_SIZE)) return 0;
    const char *in = reinterpret_cast<const char *>(data);
    if (in[0] == '?') {
        char first[9] = {};
        memcpy(first, in, size < 8 ? size : 8);
        std::string reply = vnx::text_query_reply(first);
        if (reply != "0" && reply != "-1") abort();
    } else if (in[0] == '0') {
        std::string reply;
        if (vnx::answer_packet_query(in, size, (size & 1) != 0, &reply) == 0) {
            if (reply.size() < 8 || reply.size() > static_cast<size_t>(dqp::PKT_MAX_SIZE)) abort();
        }
    } else {
        vnx::valid_server_type(std::string(in, size < 8 ? size : 8));
    }
    // The table never records a port outside its range.
    for (int port = 19990; port < 20310; port++)
        if ((port <= 20000 || port >= 20101) && vnx::port_table_entry(port) != 0) abort();
    return 0;
}
