// SQLite settings for a driver's library. See sqlite_tuning.h.
#include "gateway/sqlite_tuning.h"

#include <dlfcn.h>
#include <strings.h>

#include <cstdlib>
#include <fstream>
#include <initializer_list>

#include "support/config_cache.h"
#include "support/settings_catalog.h"

namespace vnx {

namespace {

// sqlite3.h's values: they are part of SQLite's stable interface.
constexpr int kSqliteOk = 0;
constexpr int kConfigMultiThread = 2;  // SQLITE_CONFIG_MULTITHREAD
constexpr int kConfigMemStatus = 9;    // SQLITE_CONFIG_MEMSTATUS

// Text without the blanks around it.
std::string trimmed(const std::string &text) {
    size_t from = text.find_first_not_of(" \t\r");
    if (from == std::string::npos) return {};
    size_t to = text.find_last_not_of(" \t\r");
    return text.substr(from, to - from + 1);
}

// The entry of section `section` in the ini file at path under the first
// of `keys` (in order of preference) that the section has, names compared
// without regard to case as the driver manager compares them; empty when
// the file, the section or every entry is missing. One reading of the file.
// ';' and '#' start comments.
std::string ini_entry(const std::string &path, const std::string &section,
                      std::initializer_list<const char *> keys) {
    std::ifstream in(path);
    std::string line, found;
    size_t found_rank = keys.size();
    bool inside = false;
    while (std::getline(in, line)) {
        std::string t = trimmed(line);
        if (t.empty() || t[0] == ';' || t[0] == '#') continue;
        if (t[0] == '[') {
            size_t end = t.find(']');
            inside = end != std::string::npos &&
                     strcasecmp(trimmed(t.substr(1, end - 1)).c_str(), section.c_str()) == 0;
            continue;
        }
        size_t eq = t.find('=');
        if (!inside || eq == std::string::npos) continue;
        std::string name = trimmed(t.substr(0, eq));
        size_t rank = 0;
        for (const char *key : keys) {
            if (rank < found_rank && strcasecmp(name.c_str(), key) == 0) {
                found = trimmed(t.substr(eq + 1));
                found_rank = rank;
            }
            rank++;
        }
    }
    return found;
}

// Where the driver manager looks: the user's odbc.ini ($ODBCINI, else
// ~/.odbc.ini) before the system's, and the system folder ($ODBCSYSINI, else
// /etc) for odbc.ini and odbcinst.ini.
std::string env_or(const char *name, const std::string &otherwise) {
    const char *v = getenv(name);
    return v != nullptr && *v != '\0' ? v : otherwise;
}
std::string user_odbc_ini() {
    const char *home = getenv("HOME");
    return env_or("ODBCINI", home != nullptr ? std::string(home) + "/.odbc.ini" : "");
}
std::string system_folder() {
    return env_or("ODBCSYSINI", "/etc");
}

bool switched_off() {
    return !setting_switch("ODBServer", "tune_sqlite");
}

}  // namespace

std::string driver_library_of(const std::string &dsn) {
    std::string driver = ini_entry(user_odbc_ini(), dsn, {"Driver"});
    if (driver.empty()) driver = ini_entry(system_folder() + "/odbc.ini", dsn, {"Driver"});
    if (driver.empty() || driver.find('/') != std::string::npos) return driver;
    return ini_entry(system_folder() + "/odbcinst.ini", driver, {"Driver64", "Driver"});
}

SqliteTuning tune_driver_sqlite(const std::string &library) {
    if (library.empty()) return SqliteTuning::NoSqlite;
    // Loaded as the driver manager loads it, and left loaded for it.
    void *driver = dlopen(library.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (driver == nullptr) return SqliteTuning::NoSqlite;
    using Config = int (*)(int, ...);
    using ThreadSafe = int (*)();
    auto config = reinterpret_cast<Config>(dlsym(driver, "sqlite3_config"));
    auto threadsafe = reinterpret_cast<ThreadSafe>(dlsym(driver, "sqlite3_threadsafe"));
    if (config == nullptr || threadsafe == nullptr) return SqliteTuning::NoSqlite;
    if (switched_off()) return SqliteTuning::SwitchedOff;
    // A library built without mutexes has none to leave out.
    if (threadsafe() != 0 && config(kConfigMultiThread) != kSqliteOk) return SqliteTuning::InUse;
    return config(kConfigMemStatus, 0) == kSqliteOk ? SqliteTuning::Tuned : SqliteTuning::InUse;
}

}  // namespace vnx
