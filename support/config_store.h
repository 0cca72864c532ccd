// Configuration store: the tree of keys and string values that holds every
// setting of the suite, kept in one SQLite database file.
//
// Key paths are backslash-separated full paths as the servers name them
// ("SOFTWARE\\Tavorin\\VNX\\NetServer"); key names compare without regard to
// case. Value names keep the case they were written with, and this store's own
// look-ups find them without regard to case: setting "logging" over a stored
// "LOGGING" replaces that value in place and leaves the name "logging".
// Values of a key and subkeys of a key enumerate in insertion order.
//
// The file is opened in WAL mode with a busy timeout, because the master, its
// gateways, the console and vnxadmin read and write it from separate processes
// at once. Every call is one transaction; nothing is cached here (the servers'
// read cache lives in config_cache.h).
//
// Every operation returns 0 on success and a negative status on failure, with
// the reason in error(): -1 when the key or value named does not exist (or the
// key path is empty), or when a write names a key, value name or data beyond
// the limits of config_limits.h (then nothing is written); kStoreFailed when
// the store itself fails (I/O, a lock held past the busy timeout, out of
// memory). get_value alone answers a missing key or value with 1, which is
// not a failure. Each operation turns its own out-of-memory into kStoreFailed
// at its boundary with SQLite, so no exception leaves this module.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;

namespace vnx {

// Root of the suite's settings and its well-known subkeys.
inline constexpr const char *kRootKey = "SOFTWARE\\Tavorin\\VNX";
inline constexpr const char *kNetServerKey = "SOFTWARE\\Tavorin\\VNX\\NetServer";
inline constexpr const char *kPortServerKey = "SOFTWARE\\Tavorin\\VNX\\PortServer";
// The console's user accounts: one subkey per user, named by the user.
inline constexpr const char *kUsersKey = "SOFTWARE\\Tavorin\\VNX\\NetServer\\Users";

// Status of an operation that failed in the store itself (see above).
inline constexpr int kStoreFailed = -2;

// Path of the store file: $VNX_REGISTRY, or /etc/vnx/registry.db when unset or empty.
std::string config_store_path();

// Normalises a key path: "/" becomes "\\", runs of separators collapse,
// leading and trailing separators go. "SOFTWARE/Tavorin//VNX/" gives
// "SOFTWARE\\Tavorin\\VNX".
std::string normalize_key_path(const std::string &path);

using ValueList = std::vector<std::pair<std::string, std::string>>;  // name, data

// One change of a batch (ConfigStore::apply): set a value (creating its key),
// delete a value, delete a key with everything below it, or create a key.
// Deleting what does not exist is not an error inside a batch.
struct StoreChange {
    enum Kind { kSetValue, kDeleteValue, kDeleteKey, kCreateKey };
    Kind kind;
    std::string key;
    std::string name;  // value name (kSetValue, kDeleteValue)
    std::string data;  // kSetValue
};

class ConfigStore {
  public:
    ~ConfigStore();
    ConfigStore(const ConfigStore &) = delete;
    ConfigStore &operator=(const ConfigStore &) = delete;

    // Opens (creating when `create` is true) the store at `path`. Returns null
    // and sets *err on failure (missing file without `create`, not a store,
    // unreadable).
    static std::unique_ptr<ConfigStore> open(const std::string &path, bool create,
                                             std::string *err);
    // The store at config_store_path(), opened read-write without creating it.
    static std::unique_ptr<ConfigStore> open_default(std::string *err);

    // Keys. create_key makes the key and every missing ancestor (0 also when it
    // existed); delete_key removes the key, its values and all its subkeys
    // (-1 when it does not exist).
    int create_key(const std::string &key);
    int delete_key(const std::string &key);
    bool key_exists(const std::string &key);
    // Direct subkey names of `key`, in creation order; -1 when `key` is missing.
    int list_subkeys(const std::string &key, std::vector<std::string> *out);

    // Values. list_values: all values of `key` in enumeration order, -1 when
    // the key is missing. get_value: 0 and the data, 1 when the key or value is
    // absent, kStoreFailed when the store fails. set_value creates the key when needed.
    // delete_value: -1 when absent.
    int list_values(const std::string &key, ValueList *out);
    int get_value(const std::string &key, const std::string &name, std::string *data);
    int set_value(const std::string &key, const std::string &name, const std::string &data);
    int delete_value(const std::string &key, const std::string &name);

    // Applies every change in order inside one write transaction: all of them
    // or none. 0, or a negative status (nothing written).
    int apply(const std::vector<StoreChange> &changes);

    const std::string &error() const { return error_; }

  private:
    ConfigStore(sqlite3 *db, std::string path) : db_(db), path_(std::move(path)) {}

    // Id of the key at normalised path `key`: > 0 found, 0 missing, < 0 failed.
    long long find_key(const std::string &key);
    // Id of `key`, creating it and its missing ancestors (inside a write transaction).
    long long make_key(const std::string &key);
    // Records the SQLite failure of `what` in error_; returns -1.
    int fail(const char *what);
    int fail_text(std::string text);
    // Inside a write transaction: sets value `name` of key id `id` (an
    // existing value keeps its row and takes the new spelling of its name).
    int upsert_value(long long id, const std::string &name, const std::string &data);
    // Inside a write transaction: deletes key id `id` and everything below it.
    int delete_subtree(long long id);
    // Inside a write transaction: one change of a batch.
    int apply_one(const StoreChange &change);
    // Runs `sql` (two text columns, ?1 bound to the key's id) in one read
    // transaction and hands each row to `row`; -1 when the key is missing.
    int read_key_rows(const std::string &key, const char *sql, const char *what,
                      const std::function<void(std::string, std::string)> &row);

    sqlite3 *db_;
    std::string path_;  // as given to open(), for messages
    std::string error_;
};

}  // namespace vnx
