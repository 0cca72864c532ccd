// "vnxadmin ping": the health check of a master's port server, for
// monitoring. Asks the port server the text query "?Active" and reports how
// long the answer took and how many live sessions it lists.
//
// Exit status: 0 when the port server answered "0" within the time limit;
// 1 when it could not be reached, did not answer in time or answered
// something else (the reason on stderr); 2 for a usage error. Reads the
// configuration store only for the default port, and writes nothing.
#pragma once

#include "programs/vnxadmin/admin.h"

namespace vnxadmin {

constexpr const char *kPingUsage =
    "ping [--host HOST] [--port PORT] [--timeout MS] [--tls MODE] [--tls-ca FILE] "
    "[--tls-cert FILE] [--tls-key FILE]";

// ping [--host HOST] [--port PORT] [--timeout MS]: HOST defaults to
// 127.0.0.1, PORT to the configured base port (the services entry
// "db_dqpbase", else DB_DQPBASE of the store), MS to 1000. The TLS options
// (client/connect_options.h) default to $VNX_TLSMODE, $VNX_TLSROOTCERT,
// $VNX_TLSCERT and $VNX_TLSKEY.
int run_ping(const Args &args);

}  // namespace vnxadmin
