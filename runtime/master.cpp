// The port-server thread. See master.h.
#include "runtime/master.h"

#include <glob.h>
#include <netdb.h>
#include <unistd.h>

#include "protocol/trace.h"
#include "runtime/server.h"
#include "support/registry.h"
#include "transport/port_server.h"
#include "transport/session_registry.h"

namespace vnx {

namespace {

// DB_ROOT exactly as named (case matters), straight from the root key.
std::string find_db_root() {
    for (const auto &[name, data] : load_registry_key(kRootKey))
        if (name == "DB_ROOT") return data;
    return "";
}

void delete_old_logs(const std::string &root) {
    glob_t g{};
    std::string pattern = root + "/*.log";
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0)
        for (size_t i = 0; i < g.gl_pathc; i++)
            unlink(g.gl_pathv[i]);
    globfree(&g);
}

void record_master_host() {
    if (!read_netserver_value_direct("DQP_MASTERHOST").empty()) return;
    write_netserver_value("DQP_MASTERHOST", master_host_name());
}

}  // namespace

std::string master_host_name() {
    char host[101] = "";
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0) return "localhost";
    freeaddrinfo(res);
    return host;
}

int port_server_thread() {
    // DB_ROOT first: users.db and the logs live there.
    std::string root = find_db_root();
    if (root.empty()) {
        report_fatal("Tavorin 8.0 Varnex", "Cannot find DB_ROOT in the registry.", 0);
        return -1;
    }
    // Claim the base port before anything else: a second master must fail
    // here, before it could terminate the first one's gateways or reset its
    // users.db.
    if (port_server_listen() != 0) return -1;
    if (open_session_registry() >= 0) terminate_sessions();
    reset_session_registry();
    open_session_registry();
    record_master_host();
    delete_old_logs(root);
    enable_port_server();
    int rc = dqp_server(nullptr, 0, nullptr, nullptr);
    return rc < 0 ? rc : 0;
}

}  // namespace vnx
