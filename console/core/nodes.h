// The "Register Server" dialog's model: server nodes as values of
// "NetServer\\Nodes", each named by the server with the data
// "login/password" (split at the first "/").
//
// Register adds a node that is not there yet; Modify rewrites the login of a
// node that is; Remove deletes it. A login id holding "/" is refused: the
// data could not be split back into the same login and password.
#pragma once

#include <string>
#include <vector>

#include "console/core/messages.h"
#include "support/config_store.h"

namespace vnx::console {

inline constexpr const char *kNodesKey = "SOFTWARE\\Tavorin\\VNX\\NetServer\\Nodes";

struct NodeInfo {
    std::string server;
    std::string login;
    std::string password;
};

// Splits a node's data at its first "/"; without one, all of it is the login.
NodeInfo split_node(const std::string &server, const std::string &data);

// Nodes in enumeration order; a missing key gives an empty list.
int load_nodes(ConfigStore &store, std::vector<NodeInfo> *out, ConsoleMessage *msg);
int register_node(ConfigStore &store, NodeInfo node, ConsoleMessage *msg);
int modify_node(ConfigStore &store, NodeInfo node, ConsoleMessage *msg);
int remove_node(ConfigStore &store, const std::string &server, ConsoleMessage *msg);

}  // namespace vnx::console
