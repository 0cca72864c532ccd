// The ODBC gateway's backend operations.
#include "gateway/lib_svr.h"

#include <unistd.h>

#include "support/registry.h"
#include "transport/port_client.h"

namespace vnx {

namespace {

// What the gateway knows of its one session.
struct GatewaySession {
    std::string user;
    int port = 0;
};

GatewaySession &session() {
    static GatewaySession s;
    return s;
}

BackendOps make_ops() {
    BackendOps ops{};
    ops.start = db_server_start;
    ops.stop = db_server_stop;
    return ops;
}

}  // namespace

const BackendOps *odb_backend_ops() {
    static const BackendOps ops = make_ops();
    return &ops;
}

int db_server_start(int32_t *result, const char *user, const char *, const char *, const char *,
                    int port) {
    session().user = user;
    session().port = port;
    // Announce the session to the master unless this installation runs
    // without notices; a master that cannot be reached does not stop it.
    if (get_netserver_value("dqp_protocol") != "decnet")
        notify_port_server(true, session().user, std::to_string(port), "ODB");
    *result = static_cast<int32_t>(getpid());
    return 0;
}

int db_server_stop(int32_t *) {
    return 0;
}

const std::string &gateway_user() {
    return session().user;
}
int gateway_port() {
    return session().port;
}

}  // namespace vnx
