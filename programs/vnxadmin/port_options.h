// The options of the vnxadmin commands that ask a master's port server
// (ping, stats): where it is, how long to wait and how to connect.
//
//   --host HOST      default 127.0.0.1
//   --port PORT      default the configured base port (the services entry
//                    "db_dqpbase", else DB_DQPBASE of the store)
//   --timeout MS     1 to 3600000 milliseconds (never 0: no limit at all)
//   --tls MODE, --tls-ca FILE, --tls-cert FILE, --tls-key FILE
//                    as client/connect_options.h; default $VNX_TLSMODE,
//                    $VNX_TLSROOTCERT, $VNX_TLSCERT, $VNX_TLSKEY
// Each takes "--name VALUE" or "--name=VALUE".
#pragma once

#include <string>

#include "client/connect_options.h"
#include "programs/vnxadmin/admin.h"

namespace vnxadmin {

struct PortServerOptions {
    std::string host = "127.0.0.1";
    int port = 0;  // 0 until given or looked up
    int timeout_ms = 1000;
    bool json = false;  // --json, where the command takes it
    dqp::TlsOptions tls;
};

// The usage text of the options above, for a command's usage line.
constexpr const char *kPortServerOptionsUsage =
    "[--host HOST] [--port PORT] [--timeout MS] [--tls MODE] [--tls-ca FILE] "
    "[--tls-cert FILE] [--tls-key FILE]";

// Fills *o from the environment and args (also --json when allow_json); then
// the configured base port when none was given. A usage message ("no port to
// <verb>: ..." when there is no port at all), or "".
std::string parse_port_server_options(const Args &args, bool allow_json, const std::string &verb,
                                      PortServerOptions *o);

}  // namespace vnxadmin
