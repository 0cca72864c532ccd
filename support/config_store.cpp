// Configuration store on SQLite.
//
// Schema: "keys" holds one row per key, with its full path as first spelled
// (unique without regard to ASCII case), its own name and its parent's id;
// "key_values" holds the values, unique per key by name without regard to case.
// Both tables take ids in insertion order, which is the enumeration order.
// The file carries an application id so that no other SQLite database (and no
// other file) is mistaken for a store.
//
// Writes run in BEGIN IMMEDIATE transactions and every connection has a busy
// timeout, so that a writer waits for another process's write instead of
// failing with SQLITE_BUSY; in WAL mode readers never wait for writers.
#include "support/config_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "support/config_limits.h"

namespace vnx {

namespace {

constexpr const char *kDefaultStorePath = "/etc/vnx/registry.db";
constexpr int kApplicationId = 0x564E5852;  // "VNXR"
constexpr int kBusyTimeoutMs = 5000;

constexpr const char *kSchema =
    "CREATE TABLE keys ("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER REFERENCES keys(id),"
    "  name TEXT NOT NULL,"
    "  path TEXT NOT NULL UNIQUE COLLATE NOCASE);"
    "CREATE INDEX keys_parent ON keys(parent);"
    "CREATE TABLE key_values ("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  key_id INTEGER NOT NULL REFERENCES keys(id),"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  data TEXT NOT NULL,"
    "  UNIQUE (key_id, name));";

// One prepared statement, finalized on scope exit. A failed prepare or bind is
// remembered and returned by step(), so call sites check one result.
class Stmt {
  public:
    Stmt(sqlite3 *db, const char *sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Stmt() { sqlite3_finalize(stmt_); }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;

    Stmt &bind(int index, const std::string &text) {
        if (rc_ != SQLITE_OK) return *this;
        if (text.size() > static_cast<size_t>(INT_MAX)) {
            rc_ = SQLITE_TOOBIG;
        } else {
            rc_ = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                    SQLITE_TRANSIENT);
        }
        return *this;
    }
    Stmt &bind(int index, long long number) {
        if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(stmt_, index, number);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE, or the error code.
    int step() { return rc_ == SQLITE_OK ? sqlite3_step(stmt_) : rc_; }

    long long integer(int column) { return sqlite3_column_int64(stmt_, column); }
    std::string text(int column) {
        const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(stmt_, column));
        if (p == nullptr) return {};
        return std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
    }

  private:
    sqlite3_stmt *stmt_ = nullptr;
    int rc_;
};

// A transaction rolled back on scope exit unless committed.
class Transaction {
  public:
    Transaction(sqlite3 *db, bool write) : db_(db) {
        rc_ = sqlite3_exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr);
    }
    ~Transaction() {
        if (rc_ == SQLITE_OK && !committed_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    bool began() const { return rc_ == SQLITE_OK; }
    bool commit() {
        committed_ = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        return committed_;
    }

  private:
    sqlite3 *db_;
    int rc_;
    bool committed_ = false;
};

struct DbCloser {
    void operator()(sqlite3 *db) const { sqlite3_close_v2(db); }
};
using DbHandle = std::unique_ptr<sqlite3, DbCloser>;

std::vector<std::string> split_key_path(const std::string &key) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : key) {
        if (c == '\\' || c == '/') {
            if (!part.empty()) parts.push_back(std::move(part));
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(std::move(part));
    return parts;
}

std::string quoted(const std::string &text) {
    return "\"" + text + "\"";
}

// Reads one integer PRAGMA; false when the statement fails.
bool read_pragma(sqlite3 *db, const char *sql, long long *out) {
    Stmt stmt(db, sql);
    if (stmt.step() != SQLITE_ROW) return false;
    *out = stmt.integer(0);
    return true;
}

// Text of a one-row PRAGMA; false when the statement fails.
bool read_pragma_text(sqlite3 *db, const char *sql, std::string *out) {
    Stmt stmt(db, sql);
    if (stmt.step() != SQLITE_ROW) return false;
    *out = stmt.text(0);
    return true;
}

// Makes an empty database a store: schema and application id in one write
// transaction, so that of several processes creating the file at once exactly
// one does the work and the others find it done. Empty text on success.
std::string create_schema(sqlite3 *db) {
    Transaction txn(db, true);
    if (!txn.began()) return sqlite3_errmsg(db);
    long long app_id = 0, objects = 0;
    if (!read_pragma(db, "PRAGMA application_id", &app_id) ||
        !read_pragma(db, "SELECT count(*) FROM sqlite_schema", &objects)) {
        return sqlite3_errmsg(db);
    }
    if (app_id == kApplicationId) return {};
    if (app_id != 0 || objects != 0) return "not a configuration store";
    const std::string set_id = "PRAGMA application_id=" + std::to_string(kApplicationId);
    if (sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, set_id.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK || !txn.commit()) {
        return sqlite3_errmsg(db);
    }
    return {};
}

// Puts the file in WAL mode (a property of the file, so this happens once).
// SQLite refuses the switch at once, without the busy handler, while another
// connection uses the file; retry for as long as the busy timeout would wait.
std::string switch_to_wal(sqlite3 *db) {
    std::string mode;
    if (!read_pragma_text(db, "PRAGMA journal_mode", &mode)) return sqlite3_errmsg(db);
    constexpr int kPauseMs = 5;
    for (int waited = 0; mode != "wal"; waited += kPauseMs) {
        if (read_pragma_text(db, "PRAGMA journal_mode=WAL", &mode)) {
            if (mode != "wal") return "the file system does not support WAL mode";
            break;
        }
        const int rc = sqlite3_errcode(db);
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || waited >= kBusyTimeoutMs) {
            return sqlite3_errmsg(db);
        }
        sqlite3_sleep(kPauseMs);
    }
    return {};
}

// Checks that `db` is a store, making an empty database one when `create` is
// set, and that it is in WAL mode. Empty text on success, else the reason.
std::string prepare_store(sqlite3 *db, bool create) {
    long long app_id = 0;
    if (!read_pragma(db, "PRAGMA application_id", &app_id)) return sqlite3_errmsg(db);
    if (app_id != kApplicationId) {
        if (!create) return "not a configuration store";
        if (std::string problem = create_schema(db); !problem.empty()) return problem;
    }
    return switch_to_wal(db);
}

// Runs `body` and turns an escaping exception (in practice std::bad_alloc)
// into a failure status, so that none leaves the module.
template <typename Body>
int guarded(std::string *error, Body body) noexcept {
    try {
        return body();
    } catch (...) {
        try {
            *error = "out of memory";
        } catch (...) {
        }
        return kStoreFailed;
    }
}

}  // namespace

std::string config_store_path() {
    const char *env = std::getenv("VNX_REGISTRY");
    return (env != nullptr && *env != '\0') ? env : kDefaultStorePath;
}

std::string normalize_key_path(const std::string &path) {
    std::string out;
    for (const std::string &part : split_key_path(path)) {
        if (!out.empty()) out += '\\';
        out += part;
    }
    return out;
}

ConfigStore::~ConfigStore() {
    sqlite3_close_v2(db_);
}

std::unique_ptr<ConfigStore> ConfigStore::open(const std::string &path, bool create,
                                               std::string *err) {
    try {
        const std::string prefix = "cannot open configuration store " + quoted(path) + ": ";
        struct stat st;
        if (!create && stat(path.c_str(), &st) != 0) {
            if (err) *err = prefix + std::strerror(errno);
            return nullptr;
        }
        sqlite3 *raw = nullptr;
        const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
        const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
        DbHandle db(raw);
        if (rc != SQLITE_OK) {
            if (err) *err = prefix + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
            return nullptr;
        }
        sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
        const std::string problem = prepare_store(db.get(), create);
        if (!problem.empty()) {
            if (err) *err = prefix + problem;
            return nullptr;
        }
        return std::unique_ptr<ConfigStore>(new ConfigStore(db.release(), path));
    } catch (...) {
        if (err) {
            try {
                *err = "out of memory";
            } catch (...) {
            }
        }
        return nullptr;
    }
}

std::unique_ptr<ConfigStore> ConfigStore::open_default(std::string *err) {
    return open(config_store_path(), false, err);
}

int ConfigStore::fail(const char *what) {
    error_ = "configuration store " + quoted(path_) + ": " + what + ": " + sqlite3_errmsg(db_);
    return kStoreFailed;
}

int ConfigStore::fail_text(std::string text) {
    error_ = std::move(text);
    return -1;
}

long long ConfigStore::find_key(const std::string &key) {
    Stmt stmt(db_, "SELECT id FROM keys WHERE path = ?1");
    stmt.bind(1, key);
    const int rc = stmt.step();
    if (rc == SQLITE_ROW) return stmt.integer(0);
    if (rc == SQLITE_DONE) return 0;
    return fail("cannot read key");
}

long long ConfigStore::make_key(const std::string &key) {
    long long parent = 0;
    std::string parent_path;  // stored spelling, so new paths follow existing ancestors
    std::string wanted;       // the caller's spelling of the prefix
    for (const std::string &part : split_key_path(key)) {
        wanted += (wanted.empty() ? "" : "\\") + part;
        Stmt find(db_, "SELECT id, path FROM keys WHERE path = ?1");
        find.bind(1, wanted);
        const int rc = find.step();
        if (rc == SQLITE_ROW) {
            parent = find.integer(0);
            parent_path = find.text(1);
            continue;
        }
        if (rc != SQLITE_DONE) return fail("cannot read key");
        parent_path += (parent_path.empty() ? "" : "\\") + part;
        Stmt insert(db_, "INSERT INTO keys (parent, name, path) VALUES (?1, ?2, ?3)");
        if (parent != 0) insert.bind(1, parent);  // top-level keys keep a NULL parent
        insert.bind(2, part).bind(3, parent_path);
        if (insert.step() != SQLITE_DONE) return fail("cannot create key");
        parent = sqlite3_last_insert_rowid(db_);
    }
    return parent;
}

int ConfigStore::create_key(const std::string &key) {
    return guarded(&error_, [&] {
        const std::string k = normalize_key_path(key);
        if (k.empty()) return fail_text("empty key path");
        if (std::string problem = key_path_problem(k); !problem.empty()) return fail_text(problem);
        Transaction txn(db_, true);
        if (!txn.began()) return fail("cannot start a write");
        const long long id = make_key(k);
        if (id < 0) return static_cast<int>(id);
        return txn.commit() ? 0 : fail("cannot commit");
    });
}

int ConfigStore::delete_key(const std::string &key) {
    return guarded(&error_, [&] {
        const std::string k = normalize_key_path(key);
        Transaction txn(db_, true);
        if (!txn.began()) return fail("cannot start a write");
        const long long id = find_key(k);
        if (id < 0) return static_cast<int>(id);
        if (id == 0) return fail_text("no such key " + quoted(k));
        if (int rc = delete_subtree(id); rc != 0) return rc;
        return txn.commit() ? 0 : fail("cannot commit");
    });
}

int ConfigStore::delete_subtree(long long id) {
    // The key and every key below it, found through the parent links.
    static constexpr const char *kSubtree =
        "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL "
        "SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) ";
    const std::string delete_values =
        std::string(kSubtree) + "DELETE FROM key_values WHERE key_id IN (SELECT id FROM sub)";
    const std::string delete_keys =
        std::string(kSubtree) + "DELETE FROM keys WHERE id IN (SELECT id FROM sub)";
    Stmt values(db_, delete_values.c_str());
    if (values.bind(1, id).step() != SQLITE_DONE) return fail("cannot delete values");
    Stmt keys(db_, delete_keys.c_str());
    if (keys.bind(1, id).step() != SQLITE_DONE) return fail("cannot delete keys");
    return 0;
}

bool ConfigStore::key_exists(const std::string &key) {
    return guarded(&error_, [&] { return find_key(normalize_key_path(key)) > 0 ? 1 : 0; }) == 1;
}

int ConfigStore::read_key_rows(const std::string &key, const char *sql, const char *what,
                               const std::function<void(std::string, std::string)> &row) {
    const std::string k = normalize_key_path(key);
    Transaction txn(db_, false);
    if (!txn.began()) return fail("cannot start a read");
    const long long id = find_key(k);
    if (id < 0) return static_cast<int>(id);
    if (id == 0) return fail_text("no such key " + quoted(k));
    Stmt stmt(db_, sql);
    stmt.bind(1, id);
    int rc;
    while ((rc = stmt.step()) == SQLITE_ROW)
        row(stmt.text(0), stmt.text(1));
    return rc == SQLITE_DONE ? 0 : fail(what);
}

int ConfigStore::list_subkeys(const std::string &key, std::vector<std::string> *out) {
    return guarded(&error_, [&] {
        out->clear();
        return read_key_rows(
            key, "SELECT name, '' FROM keys WHERE parent = ?1 ORDER BY id", "cannot read subkeys",
            [out](std::string name, std::string) { out->push_back(std::move(name)); });
    });
}

int ConfigStore::list_values(const std::string &key, ValueList *out) {
    return guarded(&error_, [&] {
        out->clear();
        return read_key_rows(key, "SELECT name, data FROM key_values WHERE key_id = ?1 ORDER BY id",
                             "cannot read values", [out](std::string name, std::string data) {
                                 out->emplace_back(std::move(name), std::move(data));
                             });
    });
}

int ConfigStore::get_value(const std::string &key, const std::string &name, std::string *data) {
    return guarded(&error_, [&] {
        data->clear();
        Stmt stmt(db_,
                  "SELECT key_values.data FROM key_values JOIN keys ON key_values.key_id = keys.id"
                  " WHERE keys.path = ?1 AND key_values.name = ?2");
        stmt.bind(1, normalize_key_path(key)).bind(2, name);
        const int rc = stmt.step();
        if (rc == SQLITE_ROW) {
            *data = stmt.text(0);
            return 0;
        }
        return rc == SQLITE_DONE ? 1 : fail("cannot read value");
    });
}

int ConfigStore::set_value(const std::string &key, const std::string &name,
                           const std::string &data) {
    return guarded(&error_, [&] {
        const std::string k = normalize_key_path(key);
        if (k.empty()) return fail_text("empty key path");
        if (std::string problem = store_value_problem(k, name, data); !problem.empty()) {
            return fail_text(problem);
        }
        Transaction txn(db_, true);
        if (!txn.began()) return fail("cannot start a write");
        const long long id = make_key(k);
        if (id < 0) return static_cast<int>(id);
        if (int rc = upsert_value(id, name, data); rc != 0) return rc;
        return txn.commit() ? 0 : fail("cannot commit");
    });
}

int ConfigStore::upsert_value(long long id, const std::string &name, const std::string &data) {
    // An existing value keeps its row (its place in the order) and takes
    // the new spelling of its name.
    Stmt update(db_, "UPDATE key_values SET name = ?1, data = ?2 WHERE key_id = ?3 AND name = ?1");
    if (update.bind(1, name).bind(2, data).bind(3, id).step() != SQLITE_DONE) {
        return fail("cannot write value");
    }
    if (sqlite3_changes(db_) == 0) {
        Stmt insert(db_, "INSERT INTO key_values (key_id, name, data) VALUES (?1, ?2, ?3)");
        if (insert.bind(1, id).bind(2, name).bind(3, data).step() != SQLITE_DONE) {
            return fail("cannot write value");
        }
    }
    return 0;
}

int ConfigStore::delete_value(const std::string &key, const std::string &name) {
    return guarded(&error_, [&] {
        const std::string k = normalize_key_path(key);
        Transaction txn(db_, true);
        if (!txn.began()) return fail("cannot start a write");
        Stmt stmt(db_,
                  "DELETE FROM key_values WHERE name = ?2"
                  " AND key_id = (SELECT id FROM keys WHERE path = ?1)");
        if (stmt.bind(1, k).bind(2, name).step() != SQLITE_DONE) return fail("cannot delete value");
        if (sqlite3_changes(db_) == 0) {
            return fail_text("no value " + quoted(name) + " in key " + quoted(k));
        }
        return txn.commit() ? 0 : fail("cannot commit");
    });
}

int ConfigStore::apply_one(const StoreChange &change) {
    const std::string k = normalize_key_path(change.key);
    if (k.empty()) return fail_text("empty key path");
    if (change.kind == StoreChange::kSetValue || change.kind == StoreChange::kCreateKey) {
        const std::string problem = change.kind == StoreChange::kSetValue
                                        ? store_value_problem(k, change.name, change.data)
                                        : key_path_problem(k);
        if (!problem.empty()) return fail_text(problem);
        const long long id = make_key(k);
        if (id < 0) return static_cast<int>(id);
        return change.kind == StoreChange::kSetValue ? upsert_value(id, change.name, change.data)
                                                     : 0;
    }
    const long long id = find_key(k);
    if (id <= 0) return static_cast<int>(id);  // absent: nothing to delete
    if (change.kind == StoreChange::kDeleteKey) return delete_subtree(id);
    Stmt stmt(db_, "DELETE FROM key_values WHERE key_id = ?1 AND name = ?2");
    if (stmt.bind(1, id).bind(2, change.name).step() != SQLITE_DONE) {
        return fail("cannot delete value");
    }
    return 0;
}

int ConfigStore::apply(const std::vector<StoreChange> &changes) {
    return guarded(&error_, [&] {
        Transaction txn(db_, true);
        if (!txn.began()) return fail("cannot start a write");
        for (const StoreChange &change : changes) {
            if (int rc = apply_one(change); rc != 0) return rc;
        }
        return txn.commit() ? 0 : fail("cannot commit");
    });
}

}  // namespace vnx
