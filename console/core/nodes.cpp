// Server nodes: load, register, modify, remove.
#include "console/core/nodes.h"

namespace vnx::console {

namespace {

constexpr size_t kMaxNodeText = 128;

int check_node(NodeInfo *n, ConsoleMessage *msg) {
    n->server = trimmed(n->server);
    n->login = trimmed(n->login);
    if (n->server.empty()) return refuse(kServerCaption, "You must specify a server name.", msg);
    if (n->login.empty()) return refuse(kServerCaption, "You must specify a login ID.", msg);
    if (n->login.find('/') != std::string::npos) {
        return refuse(kServerCaption, "A login ID cannot contain \"/\".", msg);
    }
    if (n->server.size() > kMaxNodeText ||
        n->login.size() + 1 + n->password.size() > kMaxNodeText) {
        return refuse(kServerCaption,
                      "A server name, and its login ID and password together, can have at most "
                      "128 characters.",
                      msg);
    }
    return 0;
}

bool node_exists(ConfigStore &store, const std::string &server) {
    std::string data;
    return store.get_value(kNodesKey, server, &data) == 0;
}

int write_node(ConfigStore &store, NodeInfo n, bool must_exist, ConsoleMessage *msg) {
    try {
        if (int rc = check_node(&n, msg); rc != 0) return rc;
        const bool exists = node_exists(store, n.server);
        if (must_exist && !exists) return refuse(kServerCaption, "Server not found.", msg);
        if (!must_exist && exists) {
            return refuse(kServerCaption, "Server already registered.", msg);
        }
        if (store.set_value(kNodesKey, n.server, n.login + "/" + n.password) != 0) {
            return store_failure(kServerCaption, store.error(), msg);
        }
        return 0;
    } catch (...) {
        return store_failure(kServerCaption, "out of memory", msg);
    }
}

}  // namespace

NodeInfo split_node(const std::string &server, const std::string &data) {
    const size_t slash = data.find('/');
    if (slash == std::string::npos) return {server, data, {}};
    return {server, data.substr(0, slash), data.substr(slash + 1)};
}

int load_nodes(ConfigStore &store, std::vector<NodeInfo> *out, ConsoleMessage *msg) {
    try {
        out->clear();
        ValueList values;
        const int rc = store.list_values(kNodesKey, &values);
        if (rc == -1) return 0;
        if (rc < 0) return store_failure(kServerCaption, store.error(), msg);
        for (const auto &[name, data] : values)
            out->push_back(split_node(name, data));
        return 0;
    } catch (...) {
        return store_failure(kServerCaption, "out of memory", msg);
    }
}

int register_node(ConfigStore &store, NodeInfo node, ConsoleMessage *msg) {
    return write_node(store, std::move(node), false, msg);
}

int modify_node(ConfigStore &store, NodeInfo node, ConsoleMessage *msg) {
    return write_node(store, std::move(node), true, msg);
}

int remove_node(ConfigStore &store, const std::string &server, ConsoleMessage *msg) {
    const int rc = store.delete_value(kNodesKey, server);
    if (rc == -1) return refuse(kServerCaption, "Server not found.", msg);
    return rc == 0 ? 0 : store_failure(kServerCaption, store.error(), msg);
}

}  // namespace vnx::console
