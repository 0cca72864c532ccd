// The server library's read cache over the configuration store.
//
// Each cached list is loaded on first use and then kept for the life of the
// process: settings changed meanwhile are not seen, except those this process
// writes itself through write_netserver_value. A key that is missing from the
// store loads as an empty list; a store that cannot be opened or read leaves
// the list unloaded, so a later call tries again.
//
// The store connection itself is opened once and kept for the life of the
// process: a gateway reads several keys before it can listen, and opening an
// SQLite file in WAL mode costs far more than reading it. A connection that
// stays open also keeps the store's WAL files in place for the processes that
// open it after this one.
#include "support/config_cache.h"

#include <optional>

#include "support/settings_snapshot.h"

namespace vnx {

namespace {

// The process-wide cache: one list for the root key, one for "NetServer".
struct RegistryCache {
    std::optional<ValueList> root;
    std::optional<ValueList> netserver;
    std::unique_ptr<ConfigStore> store;  // open connection to store_path
    std::string store_path;
};

RegistryCache &cache() {
    static RegistryCache instance;
    return instance;
}

// The process's connection to the store, opened on first use (and again when
// VNX_REGISTRY names another file); null when the store cannot be opened.
ConfigStore *shared_store() {
    RegistryCache &c = cache();
    std::string path = config_store_path();
    if (c.store && c.store_path == path) return c.store.get();
    std::string err;
    c.store = ConfigStore::open(path, false, &err);
    c.store_path = path;
    return c.store.get();
}

// Reads all values of `key_path`; false when the store cannot be read.
// A missing key is a successful read of no values.
bool read_key(const std::string &key_path, ValueList *out) {
    out->clear();
    ConfigStore *store = shared_store();
    if (store == nullptr) return false;
    return store->list_values(key_path, out) != kStoreFailed;
}

// The cached list for `slot`, loading it from `key_path` when not yet loaded.
const ValueList *cached_list(std::optional<ValueList> &slot, const char *key_path) {
    if (!slot) {
        ValueList values;
        if (!read_key(key_path, &values)) return nullptr;
        slot = std::move(values);
    }
    return &*slot;
}

// Exact (case-sensitive) look-up of `name` in `list`.
std::string find_exact(const ValueList *list, const std::string &name) {
    if (list == nullptr) return {};
    for (const auto &[value_name, data] : *list) {
        if (value_name == name) return data;
    }
    return {};
}

}  // namespace

std::string get_registry_value(const std::string &name, const std::string &key_path) {
    if (key_path == kNetServerKey) return get_netserver_value(name);
    if (key_path != kRootKey) return {};
    return find_exact(cached_list(cache().root, kRootKey), name);
}

std::string get_netserver_value(const std::string &name) {
    return find_exact(cached_list(cache().netserver, kNetServerKey), name);
}

ValueList load_registry_key(const std::string &key_path) {
    ValueList values;
    if (!read_key(key_path, &values)) values.clear();
    return values;
}

std::string read_server_value(const std::string &server, const std::string &name,
                              const std::string &otherwise) {
    ValueList values;
    if (!snapshot_values(server, &values))
        values = load_registry_key(std::string(kRootKey) + "\\" + server);
    for (const auto &[value_name, data] : values)
        if (value_name == name) return data;
    return otherwise;
}

int read_user_password(const std::string &name, std::string *stored) {
    stored->clear();
    if (name.empty() || name.find_first_of("\\/") != std::string::npos) return 1;
    ConfigStore *store = shared_store();
    if (store == nullptr) return -1;
    int rc = store->get_value(std::string(kUsersKey) + "\\" + name, "password", stored);
    if (rc == 0 || rc == 1) return rc;
    stored->clear();
    return -1;
}

std::string base_name(const std::string &path) {
    const size_t backslash = path.rfind('\\');
    if (backslash != std::string::npos) return path.substr(backslash + 1);
    const size_t colon = path.find(':');
    if (colon != std::string::npos) return path.substr(colon + 1);
    return path;
}

std::string read_netserver_value_direct(const std::string &name) {
    ConfigStore *store = shared_store();
    std::string data;
    if (store == nullptr || store->get_value(kNetServerKey, name, &data) != 0) return {};
    return data;
}

int write_netserver_value(const std::string &name, const std::string &text) {
    ConfigStore *store = shared_store();
    if (store == nullptr || store->set_value(kNetServerKey, name, text) != 0) return -1;
    // This process sees its own write at once; other names stay as loaded.
    if (auto &list = cache().netserver) {
        for (auto &[value_name, data] : *list) {
            if (value_name == name) data = text;
        }
    }
    return 0;
}

void release_registry_cache() {
    cache().netserver.reset();
}

void reset_registry_cache_for_tests() {
    cache().root.reset();
    cache().netserver.reset();
    cache().store.reset();
    cache().store_path.clear();
}

}  // namespace vnx
