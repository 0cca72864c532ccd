// Export of the configuration to "VNX.reg" and its import back into the
// store (the stand-in for the system registry editor).
//
// The file is plain text: "REGEDIT\n;Varnex registry file\n", then one line
// "SOFTWARE\\Tavorin\\VNX\\NAME=DATA\n" per value of the root key, then the
// values of "NetServer", "ODBServer" and "PortServer" with the subkey in the
// path, each in enumeration order. DATA is written as it is, whole (the
// store's limits keep line breaks and other control characters out of it).
// NAME is written as it is unless it holds "=", a double quote or a
// backslash; such a name is written in double quotes, with each backslash
// and double quote inside preceded by a backslash: the name a=b is written
// "a=b", the name a"b\c is written "a\"b\\c". Export refuses a value outside
// the store's limits (config_limits.h) rather than write a file that import
// would misread. Subkeys of the subkeys are not exported.
//
// Import reads such a file: the "REGEDIT" line first, then lines that are
// empty or comments (";"), or "KEY\\NAME=DATA" with KEY at or below the root
// key and NAME either quoted as above or the text up to the first "="; DATA
// is the rest of the line. Every value is then checked as vnxadmin's
// "reg set" checks it (value_checks.h: the store's limits, the settings
// page's forms, DB_ROOT, the port order). A file with any bad line is refused
// whole, naming the first bad line and why; otherwise every value is written
// in one store transaction.
#pragma once

#include <string>
#include <vector>

#include "console/core/messages.h"
#include "support/config_store.h"

namespace vnx::console {

inline constexpr const char *kExportHeader = "REGEDIT\n;Varnex registry file\n";
inline constexpr const char *kExportFileName = "VNX.reg";
inline constexpr const char *kExportQuestion = "Export registry settings for the VNX?";
inline constexpr const char *kImportQuestion = "Import registry settings for the VNX?";
// Largest import file read (bigger ones are refused).
inline constexpr size_t kMaxImportFile = 16 * 1024 * 1024;

// DB_ROOT + "/VNX.reg", or "" without a DB_ROOT.
std::string export_path(ConfigStore &store);

// The export file's text. 0, or kStoreFailed.
int export_text(ConfigStore &store, std::string *out, ConsoleMessage *msg);
// Writes the export file at `path` (created or truncated, links not
// followed). -1 with "Cann't create export file '%s'" when it cannot.
int export_registry(ConfigStore &store, const std::string &path, ConsoleMessage *msg);

// The export file's line of one value, "KEY\\NAME=DATA\n", the name quoted
// where it needs to be. `data` must hold no line break.
std::string export_line(const std::string &key, const std::string &name, const std::string &data);

// Parses an import file's text into the values to set, and (when `lines` is
// given) the 1-based line number of each. Checks the form of the lines only.
// 0, or -1 with *bad_line (1-based) and *reason.
int parse_registry_text(const std::string &text, std::vector<StoreChange> *changes, int *bad_line,
                        std::string *reason, std::vector<int> *lines = nullptr);
// Reads `path`, checks every line and value, and writes the values in one
// transaction; nothing is written when the file cannot be read or any line
// is malformed or holds a value that the checks refuse.
int import_registry(ConfigStore &store, const std::string &path, ConsoleMessage *msg);

}  // namespace vnx::console
