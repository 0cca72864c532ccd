// The server library's view of the configuration store: a per-process read
// cache of the root key and of "NetServer", loaded on first use and never
// refreshed, plus the few direct reads and writes the servers make.
//
// Cache look-ups compare value names exactly (case matters), unlike the
// store's own look-ups. Values are read whole, whatever their length.
// Everything here reads the store named by config_store_path(); a store that
// cannot be opened reads as empty keys. No function reports an error: a missing
// key or value reads as the empty text. Single-threaded use per process.
#pragma once

#include <string>

#include "support/config_store.h"

namespace vnx {

// Value `name` of `key_path`, which must be exactly kRootKey or kNetServerKey
// (anything else reads as empty). Empty text when absent.
std::string get_registry_value(const std::string &name, const std::string &key_path);
// The same for the "NetServer" key.
std::string get_netserver_value(const std::string &name);
// All values of `key_path` in enumeration order, straight from the store;
// empty when the key cannot be opened.
ValueList load_registry_key(const std::string &key_path);
// Value `name` of a server's own key "SOFTWARE\\Tavorin\\VNX\\<server>"
// ("ODBServer", "NetServer"), compared exactly; `otherwise` when absent. Read
// from the master's checked snapshot when this process has one
// (settings_snapshot.h), else straight from the store.
std::string read_server_value(const std::string &server, const std::string &name,
                              const std::string &otherwise = "");
// The stored "password" value of user `name` under kUsersKey, straight from
// the store (user and value names found without regard to case, as the store
// finds key and value names). 0 with *stored set; 1 when there is no such
// user, the user has no password value, or `name` cannot name one user key
// (empty, or holding "\\" or "/", which the store reads as key separators);
// -1 when the store cannot be opened or read.
int read_user_password(const std::string &name, std::string *stored);
// The part of `path` after its last backslash; without one, after its first
// colon; otherwise `path` itself.
std::string base_name(const std::string &path);
// A "NetServer" value read from the store, bypassing the cache; empty when the
// key or value is missing. The store's look-up (case-insensitive names).
std::string read_netserver_value_direct(const std::string &name);
// Sets a "NetServer" value in the store, and replaces the cached copy when the
// "NetServer" list is loaded and holds `name`. 0, or -1 when the store fails.
int write_netserver_value(const std::string &name, const std::string &text);
// Forgets the cached "NetServer" list; the next read loads it again.
void release_registry_cache();
// Forgets both cached lists (tests, and a process that changes VNX_REGISTRY).
void reset_registry_cache_for_tests();

}  // namespace vnx
