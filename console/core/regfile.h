// Export of the configuration to "VNX.reg" and its import back into the
// store (the stand-in for the system registry editor).
//
// The file is plain text: "REGEDIT\n;Varnex registry file\n", then one line
// "SOFTWARE\\Tavorin\\VNX\\NAME=DATA\n" per value of the root key, then the
// values of "NetServer", "ODBServer" and "PortServer" with the subkey in the
// path, each in enumeration order, written as they are (no quoting or
// escaping; values are written whole). Subkeys of the subkeys are not
// exported.
//
// Import reads such a file: the "REGEDIT" line first, then lines that are
// empty or comments (";"), or "KEY\\NAME=DATA" with KEY at or below the root
// key and NAME the text after KEY's last backslash up to the first "=". A
// file with any other line is refused whole, naming the first bad line;
// otherwise every value is written in one store transaction.
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

// Parses an import file's text into the values to set. 0, or -1 with
// *bad_line (1-based) and *reason.
int parse_registry_text(const std::string &text, std::vector<StoreChange> *changes, int *bad_line,
                        std::string *reason);
// Reads `path` and writes its values in one transaction; nothing is written
// when the file cannot be read or any line is malformed.
int import_registry(ConfigStore &store, const std::string &path, ConsoleMessage *msg);

}  // namespace vnx::console
