// Checks of values written into the store one by one, outside the settings
// page: vnxadmin's "reg set" and the import of an export file. A value passes
// when it is within the store's limits (config_limits.h) and, where it is one
// the console knows, has that value's form:
//   - a value of the settings page (matched by key and name without regard
//     to case, as the store matches them) passes check_setting as stored;
//   - DB_ROOT of the root key passes db_root_problem;
//   - a value with a row in the settings table (settings_catalog.h; key and
//     name matched without regard to case) passes check_setting_text;
//   - the port range left after the writes keeps DB_DQPMAX above DB_DQPBASE
//     (a port the writes do not set is taken from the store; a range with a
//     port missing or unreadable in the store is not compared).
// Everything else is free text within the limits.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "console/core/messages.h"
#include "support/config_store.h"

namespace vnx::console {

// Empty when `root` can be DB_ROOT, else the sentence saying why not. DB_ROOT
// holds the gateway program the master starts, users.db and the logs (the
// master deletes "*.log" there when it starts), so it must be an absolute
// path of an existing directory holding an executable regular file
// "odbserver", and no user but its owner may write to it (anyone could
// replace the program the master runs).
std::string db_root_problem(const std::string &root);

// The problem of one value to be set at `key` (any spelling of a key path),
// or "" when it passes the checks above except the port order.
std::string value_problem(const std::string &key, const std::string &name, const std::string &data);

// Checks the kSetValue changes of a batch as above, port order included.
// 0 when all pass; -1 with *bad (index into changes) and *reason; kStoreFailed
// with *reason when the store cannot be read.
int check_value_changes(ConfigStore &store, const std::vector<StoreChange> &changes, size_t *bad,
                        std::string *reason);

}  // namespace vnx::console
