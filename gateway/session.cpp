// The gateway's session operations. See session.h.
#include "gateway/session.h"

#include <unistd.h>

#include <string>

#include "support/config_cache.h"
#include "transport/session_notice.h"

namespace vnx {

namespace {

// What START recorded: the user name and port that "RemUser" repeats.
struct GatewaySession {
    std::string user;
    int port = 0;
};

GatewaySession &session() {
    static GatewaySession s;
    return s;
}

}  // namespace

int db_server_start(int32_t *result, const char *, const char *user, const char *, const char *,
                    int port) {
    session().user = user;
    session().port = port;
    if (get_netserver_value("dqp_protocol") != "decnet")
        notify_port_server(true, session().user, std::to_string(port), "ODB");
    *result = static_cast<int32_t>(getpid());
    return 0;
}

int db_server_stop(int32_t *) {
    return 0;
}

}  // namespace vnx
