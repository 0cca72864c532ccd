// Where the master's base port and the gateways' port range come from, for
// the port server and for the gateways that send it session notices.
//
// Base port: the services entry "db_dqpbase"/"tcp", else the root value
// "DB_DQPBASE". Upper bound: the services entry "db_dqpmax"/"tcp", else the
// larger of 8101 and base + 101; never above base + 200 (the port table's
// size). A gateway prefers the port its own master announced in
// VNX_MASTER_PORT, so its notices reach that master even if the configuration
// changes while it runs.
#pragma once

#include <string>

namespace vnx {

inline constexpr int PORT_TABLE_SIZE = 200;
inline constexpr int MAX_PORT_NUMBER = 65535;

// Environment variable through which the master tells the gateways it starts
// the port its port server listens on.
inline constexpr const char *kMasterPortEnv = "VNX_MASTER_PORT";

// A port number and where it came from ("services entry db_dqpbase",
// "DB_DQPBASE", "VNX_MASTER_PORT"); port 0 when none was found.
struct PortSource {
    int port = 0;
    std::string source;
};

// The configured base port (see above); port 0 when neither the services
// entry nor DB_DQPBASE gives a port number (1..65535).
PortSource configured_base_port();

// The base port a gateway sends its notices to: VNX_MASTER_PORT when it holds
// a port number, else configured_base_port().
PortSource master_port();

// The upper bound for `baseport` (see above).
int configured_max_port(int baseport);
// maxport cut to baseport + PORT_TABLE_SIZE.
int cap_max_port(int baseport, int maxport);

// Port of a services entry for "tcp", 0 when there is none.
int service_port(const char *name);

// A decimal port number 1..65535 from text (whole text, no sign); 0 otherwise.
[[nodiscard]] int parse_port(const std::string &text);

}  // namespace vnx
