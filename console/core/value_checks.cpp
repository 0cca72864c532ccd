// Checks of single values written outside the settings page.
#include "console/core/value_checks.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "console/core/settings.h"
#include "support/config_limits.h"
#include "support/settings_catalog.h"

namespace vnx::console {

namespace {

bool is_root_value(const std::string &key, const std::string &name, const char *wanted) {
    return strcasecmp(normalize_key_path(key).c_str(), kRootKey) == 0 &&
           strcasecmp(name.c_str(), wanted) == 0;
}

std::string without_final_stop(std::string text) {
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

// The port the batch leaves in the root value `name`: the last change that
// sets it, else the store's. *index is the change's, or changes.size() when
// the port comes from the store. -1 when absent or not a port; kStoreFailed
// when the store cannot be read.
long port_after(ConfigStore &store, const std::vector<StoreChange> &changes, const char *name,
                size_t *index) {
    *index = changes.size();
    for (size_t i = changes.size(); i-- > 0;) {
        const StoreChange &c = changes[i];
        if (c.kind != StoreChange::kSetValue || !is_root_value(c.key, c.name, name)) continue;
        *index = i;
        return setting_port(c.data);
    }
    std::string data;
    const int rc = store.get_value(kRootKey, name, &data);
    if (rc < 0) return kStoreFailed;
    return rc == 0 ? setting_port(data) : -1;
}

// The port order of the range the batch leaves, when the batch sets a port.
int check_port_range(ConfigStore &store, const std::vector<StoreChange> &changes, size_t *bad,
                     std::string *reason) {
    size_t base_at = 0, max_at = 0;
    const long base = port_after(store, changes, "DB_DQPBASE", &base_at);
    const long max = port_after(store, changes, "DB_DQPMAX", &max_at);
    if (base == kStoreFailed || max == kStoreFailed) {
        *reason = store.error();
        return kStoreFailed;
    }
    if (base < 0 || max < 0 || (base_at == changes.size() && max_at == changes.size())) return 0;
    ConsoleMessage msg;
    if (check_port_order(base, max, &msg) == 0) return 0;
    // Blame the later of the changes that made the range.
    *bad = base_at == changes.size()  ? max_at
           : max_at == changes.size() ? base_at
                                      : std::max(base_at, max_at);
    *reason = without_final_stop(msg.text);
    return -1;
}

}  // namespace

std::string db_root_problem(const std::string &root) {
    const std::string named = "DB_ROOT \"" + root + "\"";
    if (root.empty() || root[0] != '/') return named + " is not an absolute path.";
    struct stat st {};
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return named + " is not a directory.";
    }
    if (st.st_mode & S_IWOTH) {
        return named + " may be written by every user, who could replace its programs.";
    }
    const std::string gateway = root + "/odbserver";
    struct stat gw {};
    if (stat(gateway.c_str(), &gw) != 0 || !S_ISREG(gw.st_mode) ||
        access(gateway.c_str(), X_OK) != 0) {
        return named + " holds no odbserver program; copy odbserver there.";
    }
    return {};
}

std::string value_problem(const std::string &key, const std::string &name,
                          const std::string &data) {
    const std::string k = normalize_key_path(key);
    if (std::string problem = store_value_problem(k, name, data); !problem.empty()) return problem;
    if (is_root_value(k, name, "DB_ROOT")) return without_final_stop(db_root_problem(data));
    if (const int id = setting_at(k, name); id >= 0) {
        std::string text = data;
        ConsoleMessage msg;
        if (check_setting(id, &text, &msg) != 0) return without_final_stop(msg.text);
    }
    // The store finds the value whatever the case of its name: the row of
    // that name decides its type.
    if (const SettingEntry *row = find_setting_any_case(k, name)) {
        std::string why;
        if (check_setting_text(*row, data, nullptr, &why) != 0) return why;
    }
    return {};
}

int check_value_changes(ConfigStore &store, const std::vector<StoreChange> &changes, size_t *bad,
                        std::string *reason) {
    try {
        for (size_t i = 0; i < changes.size(); ++i) {
            const StoreChange &c = changes[i];
            if (c.kind != StoreChange::kSetValue) continue;
            *reason = value_problem(c.key, c.name, c.data);
            if (reason->empty()) continue;
            *bad = i;
            return -1;
        }
        return check_port_range(store, changes, bad, reason);
    } catch (...) {
        *reason = "out of memory";
        return kStoreFailed;
    }
}

}  // namespace vnx::console
