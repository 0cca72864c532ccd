// Rehearsing a driver's profile look-ups before its first connect.
//
// psqlODBC reads its DSN's settings at every connect through unixODBC's
// SQLGetPrivateProfileString, about 60 look-ups of odbc.ini and
// odbcinst.ini; in a new process each one opens and parses both files and
// reads /etc/passwd for the home directory (about 5 ms in all). unixODBC
// answers a look-up it has made before from a per-process cache (entries
// live 20 s; a hit needs the same section, entry, default, file name and a
// buffer at least as large). A waiting gateway makes those look-ups ahead,
// exactly as the driver will, through the installer library the driver
// itself links, so that its CONNECT finds them cached.
//
// Staleness: the cache is emptied before each rehearsal and whenever the
// ini files changed (their inode, size and modification time, taken before
// the rehearsal read them): CONNECT never reads a value older than the
// files. Where the installer library exports its clear, that is called;
// otherwise a write to a scratch file empties the cache (unixODBC does so
// on every successful profile write). The scratch file lives in a directory
// of its own that only this user can write, is never opened through a
// link, and goes with its directory at once; a first write checks that it
// really empties the cache, and when it does not, nothing is rehearsed. A value
// that may have been cut by its buffer ends the rehearsal and clears the
// cache, so a longer buffer of another driver version is never answered
// with a cut value. The driver manager's own few look-ups (its own copy of
// the cache) are left as they are.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vnx {

// What identifies the contents of the ini files unixODBC reads (user and
// system odbc.ini, odbcinst.ini) without reading them: per file its inode,
// size and modification time, or nothing when it is absent.
struct ProfileFiles {
    struct File {
        bool present = false;
        ino_t inode = 0;
        off_t size = 0;
        long long mtime_ns = 0;
        bool operator==(const File &) const = default;
    };
    std::vector<File> files;
    bool operator==(const ProfileFiles &) const = default;
};

// The files as they are now (ODBCINI or ~/.odbc.ini; ODBCSYSINI or /etc,
// with odbc.ini and ODBCINSTINI or odbcinst.ini).
ProfileFiles profile_files_now();

// Empties the profile cache of the installer library that `driver` (a
// dlopen handle of a driver library) links. True when it was emptied;
// false when the library has no such cache calls or a check write showed
// that writes do not empty it.
bool clear_profile_cache(void *driver);

// Makes the look-ups that the driver library `library` (handle `driver`)
// makes when it connects to data source `dsn` of driver `driver_name`.
// Returns the number made (0 for a driver whose look-ups are not known:
// only psqlODBC's are), or -1 when a value may have been cut (the cache
// was then cleared).
int rehearse_profile_lookups(void *driver, const std::string &library, const std::string &dsn,
                             const std::string &driver_name);

}  // namespace vnx
