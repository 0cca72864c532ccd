// The settings a master hands to the gateways it starts: the values of the
// keys its gateways read, as the master checked and accepted them at start or
// at its last reload, in a file of DB_ROOT named by the environment variable
// kSettingsSnapshotEnv, which the gateways inherit.
//
// A gateway then reads those keys from the snapshot, not from the store: a
// value written into the store after the master refused it (a reload that
// keeps the settings in use) never reaches a new gateway, which would
// otherwise refuse to start on it. A process without the variable, or whose
// snapshot is missing, unreadable or not private to its user, reads the
// store as before.
//
// The file is written whole under a temporary name with mode 0600 and renamed
// over the old one, so a reader sees the old snapshot or the new one, never a
// part. Its text: a first line "VNX settings 1", then for each key a line
// "[KEY]" (a key below the root key, "ODBServer") and one "NAME<TAB>DATA"
// line per value. Names hold no control character and data no line break
// (the store's limits), so the lines cannot be confused.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/config_store.h"

namespace vnx {

inline constexpr const char *kSettingsSnapshotEnv = "VNX_SETTINGS_SNAPSHOT";
// The snapshot's file name in DB_ROOT.
inline constexpr const char *kSettingsSnapshotName = "settings.snapshot";

// One key below the root key ("ODBServer") and its values.
using SnapshotKey = std::pair<std::string, ValueList>;

// Writes `keys` to `path` atomically, mode 0600. 0, or -1 with *why.
[[nodiscard]] int write_settings_snapshot(const std::string &path,
                                          const std::vector<SnapshotKey> &keys, std::string *why);

// Reads the snapshot at `path`: 0 with *keys; -1 when it is missing,
// malformed, not a regular file, not owned by this process's user or open to
// group or others.
[[nodiscard]] int read_settings_snapshot(const std::string &path, std::vector<SnapshotKey> *keys);

// The values of `key` (below the root key, compared without regard to case)
// in the snapshot named by kSettingsSnapshotEnv: true with *values, or false
// when there is no usable snapshot or it holds no such key. The file is read
// again whenever it was replaced.
bool snapshot_values(const std::string &key, ValueList *values);

// From now on this process reads the store, whatever its environment says:
// the master, which writes the snapshot into the environment it hands down,
// checks the store itself.
void ignore_settings_snapshot();

}  // namespace vnx
