// "vnxadmin stats": what the master's port server has done since it started
// (sessions started, requests refused by the allow list and by the per-host
// caps, claims that ran out, gateways that could not start, spares, the
// port-request wait percentiles, live sessions per client address), as
// aligned text or, with --json, one JSON object. Asks the port server's
// "Stats" query; reads the store only for the default port.
#pragma once

#include "programs/vnxadmin/admin.h"

namespace vnxadmin {

constexpr const char *kStatsUsage =
    "stats [--json] [--host HOST] [--port PORT] [--timeout MS] [--tls MODE] [--tls-ca FILE] "
    "[--tls-cert FILE] [--tls-key FILE]";

int run_stats(const Args &args);

}  // namespace vnxadmin
