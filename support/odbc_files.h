// The files of the ODBC driver manager that a gateway reads and loads, found
// as unixODBC finds them, and whether they can be trusted (file_trust.h).
//
// The driver manager reads the user's data source list ($ODBCINI, else
// ~/.odbc.ini), the system's ($ODBCSYSINI/odbc.ini, else /etc/odbc.ini) and
// the driver list ($ODBCSYSINI/odbcinst.ini, the file name from $ODBCINSTINI),
// and loads the library that a data source's driver names into the process
// that connects: a gateway, which may run as root. Anyone who can change one
// of those files, or a library they name, runs code in every gateway. The
// master refuses to start on such files (check_odbc_files), and a gateway
// refuses to load or connect through them (check_data_source), each naming
// the path, its mode and owner and the command that mends it.
//
// A library named by a path is checked at that path. One named by a bare
// file name ("psqlodbcw.so") is looked for where the driver manager looks:
// its own driver folder first (/usr/lib/<arch>/odbc), then $LTDL_LIBRARY_PATH
// and $LD_LIBRARY_PATH, then the system's library folders (/lib, /usr/lib and
// those of /etc/ld.so.conf); the first file found is the one checked. A file
// that is absent, and a library found nowhere, are not refused: the driver
// manager then has nothing to read or load, and says so at CONNECT.
//
// Only reads files; never loads a library.
#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "support/file_trust.h"

namespace vnx {

// The three ini files, as the driver manager finds them now.
struct OdbcIniFiles {
    std::string user_dsns;    // $ODBCINI, else ~/.odbc.ini (empty without a home)
    std::string system_dsns;  // $ODBCSYSINI/odbc.ini, else /etc/odbc.ini
    std::string drivers;      // $ODBCSYSINI/$ODBCINSTINI, else .../odbcinst.ini
};
OdbcIniFiles odbc_ini_files();

// The entry of `section` in the ini file at `path` under the first of `keys`
// (in that order of preference) that the section has; section and key names
// compare without regard to case, as the driver manager compares them; ';'
// and '#' start comments. Empty when the file, the section or every key is
// missing.
std::string ini_entry(const std::string &path, const std::string &section,
                      std::initializer_list<const char *> keys);

// The library file named by data source `dsn`: its "Driver" entry when that
// is a path, else that driver's "Driver64" or "Driver" in the driver list.
// As written in the files (a bare file name stays bare); empty when the DSN
// or its driver is not listed.
std::string data_source_library(const std::string &dsn);

// Where the driver manager would load `name` from (see above): `name` itself
// when it holds a "/", else the first file found; empty when none is found.
std::string resolve_odbc_library(const std::string &name);

// Every library the ini files name: each driver's "Driver", "Driver64",
// "Setup" and "Setup64" entries, and each data source's "Driver" when it is
// a path. Once each, as written.
std::vector<std::string> odbc_named_libraries(const OdbcIniFiles &files);

// Checks the ini files (those present) for a process running as `user`.
// kTrusted, or kUntrusted with *problem filled.
[[nodiscard]] int check_odbc_ini_files(uid_t user, TrustProblem *problem);

// Checks the ini files and every library they name (those found): what a
// master's gateways may load. kTrusted, or kUntrusted with *problem filled.
[[nodiscard]] int check_odbc_files(uid_t user, TrustProblem *problem);

// Checks a library as written in the ini files (resolved as above; one found
// nowhere passes). kTrusted, or kUntrusted with *problem filled.
[[nodiscard]] int check_odbc_library(const std::string &name, uid_t user, TrustProblem *problem);

// Checks what connecting to `dsn` reads and loads: the ini files, the DSN's
// driver library and its driver's setup library. kTrusted, or kUntrusted
// with *problem filled.
[[nodiscard]] int check_data_source(const std::string &dsn, uid_t user, TrustProblem *problem);

}  // namespace vnx
