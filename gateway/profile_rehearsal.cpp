// Rehearsing a driver's profile look-ups. See profile_rehearsal.h.
#include "gateway/profile_rehearsal.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace vnx {

namespace {

using GetProfile = int (*)(const char *section, const char *entry, const char *fallback,
                           char *buffer, int size, const char *file);
using WriteProfile = int (*)(const char *section, const char *entry, const char *value,
                             const char *file);

enum Section { kDsn, kDriver };

// One look-up as the driver makes it: the cache matches on all of it.
struct Lookup {
    Section section;
    const char *entry;
    const char *fallback;
    int size;
};

// psqlODBC 13's look-ups at a connect through a DSN, in its order: the
// driver's section of odbcinst.ini, then the DSN's section of odbc.ini
// (which it names ".odbc.ini").
constexpr Lookup kPsqlodbcLookups[] = {
    {kDriver, "Logdir", "", 1024},
    {kDriver, "Debug", "", 16},
    {kDriver, "CommLog", "", 16},
    {kDsn, "Driver", "", 256},
    {kDriver, "Fetch", "", 256},
    {kDriver, "UniqueIndex", "", 256},
    {kDriver, "UnknownSizes", "", 256},
    {kDriver, "Lie", "", 256},
    {kDriver, "Parse", "", 256},
    {kDriver, "UseDeclareFetch", "", 256},
    {kDriver, "MaxVarcharSize", "", 256},
    {kDriver, "MaxLongVarcharSize", "", 256},
    {kDriver, "TextAsLongVarchar", "", 256},
    {kDriver, "UnknownsAsLongVarchar", "", 256},
    {kDriver, "BoolsAsChar", "", 256},
    {kDriver, "ExtraSysTablePrefixes", " @@@ ", 256},
    {kDriver, "Protocol", " @@@ ", 256},
    {kDsn, "Description", "", 256},
    {kDsn, "Servername", "", 4096},
    {kDsn, "Database", "", 4096},
    {kDsn, "Username", "", 4096},
    {kDsn, "Password", "", 4096},
    {kDsn, "Port", "", 4096},
    {kDsn, "Debug", "", 4096},
    {kDsn, "CommLog", "", 4096},
    {kDsn, "ReadOnly", "", 4096},
    {kDsn, "ShowOidColumn", "", 4096},
    {kDsn, "FakeOidIndex", "", 4096},
    {kDsn, "RowVersioning", "", 4096},
    {kDsn, "ShowSystemTables", "", 4096},
    {kDsn, "Protocol", " @@@ ", 4096},
    {kDsn, "ConnSettings", " @@@ ", 4096},
    {kDsn, "pqopt", " @@@ ", 4096},
    {kDsn, "TranslationDLL", "", 4096},
    {kDsn, "TranslationOption", "", 4096},
    {kDsn, "UpdatableCursors", "", 4096},
    {kDsn, "LFConversion", "", 4096},
    {kDsn, "TrueIsMinus1", "", 4096},
    {kDsn, "BI", "", 4096},
    {kDsn, "D6", "", 4096},
    {kDsn, "OptionalErrors", "", 4096},
    {kDsn, "ByteaAsLongVarBinary", "", 4096},
    {kDsn, "UseServerSidePrepare", "", 4096},
    {kDsn, "LowerCaseIdentifier", "", 4096},
    {kDsn, "KeepaliveTime", "", 4096},
    {kDsn, "KeepaliveInterval", "", 4096},
    {kDsn, "BatchSize", "", 4096},
    {kDsn, "IgnoreTimeout", "", 4096},
    {kDsn, "SSLmode", "", 4096},
    {kDsn, "FetchRefcursors", "", 4096},
    {kDsn, "AB", "", 4096},
    {kDsn, "Fetch", "", 256},
    {kDsn, "UniqueIndex", "", 256},
    {kDsn, "UnknownSizes", "", 256},
    {kDsn, "Lie", "", 256},
    {kDsn, "Parse", "", 256},
    {kDsn, "UseDeclareFetch", "", 256},
    {kDsn, "MaxVarcharSize", "", 256},
    {kDsn, "MaxLongVarcharSize", "", 256},
    {kDsn, "TextAsLongVarchar", "", 256},
    {kDsn, "UnknownsAsLongVarchar", "", 256},
    {kDsn, "BoolsAsChar", "", 256},
    {kDsn, "ExtraSysTablePrefixes", " @@@ ", 256},
};

GetProfile get_profile(void *driver) {
    return reinterpret_cast<GetProfile>(dlsym(driver, "SQLGetPrivateProfileString"));
}

ProfileFiles::File file_state(const std::string &path) {
    ProfileFiles::File f;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return f;
    f.present = true;
    f.inode = st.st_ino;
    f.size = st.st_size;
    f.mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return f;
}

std::string env_or(const char *name, const std::string &fallback) {
    const char *v = getenv(name);
    return v != nullptr && *v != '\0' ? std::string(v) : fallback;
}

bool is_psqlodbc_library(const std::string &library) {
    size_t slash = library.rfind('/');
    return library.compare(slash == std::string::npos ? 0 : slash + 1, 8, "psqlodbc") == 0;
}

// The scratch file whose writes empty the cache, in a directory of its own
// that only this process's user can write (made by mkdtemp with mode 0700),
// so that nobody can swap the file for a link between its creation here and
// the installer library's write, which opens it by name. The file is created
// anew (O_EXCL, never through a link), mode 0600; both go at destruction.
// path is empty when it cannot be made: then nothing is cleared.
class ScratchFile {
  public:
    ScratchFile() {
        const char *tmp = getenv("TMPDIR");
        std::string dir =
            std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/vnx_profile_XXXXXX";
        // A name holding "odbcinst" would be taken for the driver list.
        if (strcasestr(dir.c_str(), "odbcinst") != nullptr || mkdtemp(dir.data()) == nullptr)
            return;
        dir_ = dir;
        std::string path = dir_ + "/scratch.ini";
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return;
        const char text[] = "[scratch]\nvalue=0\n";
        bool ok = write(fd, text, sizeof text - 1) == static_cast<ssize_t>(sizeof text - 1);
        close(fd);
        if (ok)
            path_ = path;
        else
            unlink(path.c_str());
    }
    ~ScratchFile() {
        if (dir_.empty()) return;
        unlink((dir_ + "/scratch.ini").c_str());
        rmdir(dir_.c_str());
    }
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string dir_, path_;
};

// True when a write empties the cache: a cached value read back after a
// write of another one must be the new one.
bool write_clears(GetProfile get, WriteProfile put, const std::string &path) {
    char value[16] = "";
    get("scratch", "value", "", value, sizeof value, path.c_str());
    if (strcmp(value, "0") != 0) return false;
    if (!put("scratch", "value", "1", path.c_str())) return false;
    get("scratch", "value", "", value, sizeof value, path.c_str());
    return strcmp(value, "1") == 0;
}

}  // namespace

ProfileFiles profile_files_now() {
    const char *home = getenv("HOME");
    std::string user = env_or("ODBCINI", std::string(home != nullptr ? home : "") + "/.odbc.ini");
    std::string system = env_or("ODBCSYSINI", "/etc");
    ProfileFiles p;
    p.files = {file_state(user), file_state(system + "/odbc.ini"),
               file_state(system + "/" + env_or("ODBCINSTINI", "odbcinst.ini"))};
    return p;
}

bool clear_profile_cache(void *driver) {
    // Newer unixODBC exports its clear; older ones clear on a profile write.
    using Clear = void (*)();
    if (auto clear = reinterpret_cast<Clear>(dlsym(driver, "__clear_ini_cache"))) {
        clear();
        return true;
    }
    GetProfile get = get_profile(driver);
    auto put = reinterpret_cast<WriteProfile>(dlsym(driver, "SQLWritePrivateProfileString"));
    if (get == nullptr || put == nullptr) return false;
    ScratchFile scratch;
    const std::string &path = scratch.path();
    if (path.empty()) return false;
    // Whether writes empty the cache is a property of the library: checked
    // once a process.
    static int clears = -1;
    if (clears < 0) {
        bool cleared = write_clears(get, put, path);
        clears = cleared ? 1 : 0;
        return cleared;
    }
    return clears == 1 && put("scratch", "value", "2", path.c_str());
}

int rehearse_profile_lookups(void *driver, const std::string &library, const std::string &dsn,
                             const std::string &driver_name) {
    GetProfile get = get_profile(driver);
    if (get == nullptr || !is_psqlodbc_library(library)) return 0;
    int made = 0;
    char value[4096];
    for (const Lookup &l : kPsqlodbcLookups) {
        bool of_dsn = l.section == kDsn;
        int n = get(of_dsn ? dsn.c_str() : driver_name.c_str(), l.entry, l.fallback, value, l.size,
                    of_dsn ? ".odbc.ini" : "odbcinst.ini");
        if (n >= l.size - 1) {
            clear_profile_cache(driver);  // a longer buffer must not get a cut value
            return -1;
        }
        made++;
    }
    return made;
}

}  // namespace vnx
