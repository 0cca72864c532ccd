// Limits on what the configuration store holds: one place for the rules that
// the store itself enforces on every write and that the console's checks,
// vnxadmin's "reg set", "settings set" and the import of an export file
// apply before they write, so that the store never holds what an import of
// its own export would refuse.
//
// A key path (normalised, as normalize_key_path gives it) holds at most
// kMaxKeyPathBytes bytes; each of its backslash-separated names is non-empty,
// is neither "." nor "..", and holds no control character. A value name
// holds 1 to kMaxValueNameBytes bytes and no control character. A value's
// data holds at most kMaxValueDataBytes bytes and no control character other
// than the tab (a line break would end the value's line in an export file).
// Lengths are in bytes of the UTF-8 text; any other byte is allowed.
//
// Each check returns an empty text when the input is within the limits, else
// a short lower-case reason ("the value name is longer than 255 bytes").
#pragma once

#include <cstddef>
#include <string>

namespace vnx {

inline constexpr size_t kMaxKeyPathBytes = 512;
inline constexpr size_t kMaxValueNameBytes = 255;
inline constexpr size_t kMaxValueDataBytes = 8192;

// `key` as the store names it after normalize_key_path; an empty path is refused.
std::string key_path_problem(const std::string &key);
std::string value_name_problem(const std::string &name);
std::string value_data_problem(const std::string &data);
// The three checks in that order: the first problem found, or "".
std::string store_value_problem(const std::string &key, const std::string &name,
                                const std::string &data);

}  // namespace vnx
