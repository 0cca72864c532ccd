// Base port and port range. See ports.h.
#include "transport/ports.h"

#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdlib>

#include "support/config_cache.h"

namespace vnx {

int service_port(const char *name) {
    servent *se = getservbyname(name, "tcp");
    return se != nullptr ? ntohs(static_cast<uint16_t>(se->s_port)) : 0;
}

int parse_port(const std::string &text) {
    if (text.empty() || text.size() > 5) return 0;
    for (char c : text)
        if (c < '0' || c > '9') return 0;
    long v = strtol(text.c_str(), nullptr, 10);
    return (v > 0 && v <= MAX_PORT_NUMBER) ? static_cast<int>(v) : 0;
}

PortSource configured_base_port() {
    if (int port = service_port("db_dqpbase"); port > 0) return {port, "services entry db_dqpbase"};
    return {parse_port(get_registry_value("DB_DQPBASE", kRootKey)), "DB_DQPBASE"};
}

PortSource master_port() {
    const char *announced = getenv(kMasterPortEnv);
    if (announced != nullptr)
        if (int port = parse_port(announced); port > 0) return {port, kMasterPortEnv};
    return configured_base_port();
}

int cap_max_port(int baseport, int maxport) {
    return std::min(maxport, baseport + PORT_TABLE_SIZE);
}

int configured_max_port(int baseport) {
    int maxport = service_port("db_dqpmax");
    if (maxport == 0) maxport = std::max(8101, baseport + 101);
    return cap_max_port(baseport, maxport);
}

}  // namespace vnx
