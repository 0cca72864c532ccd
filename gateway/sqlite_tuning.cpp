// SQLite settings for a driver's library. See sqlite_tuning.h.
#include "gateway/sqlite_tuning.h"

#include <dlfcn.h>
#include <odbcinst.h>

#include "support/config_cache.h"

namespace vnx {

namespace {

// sqlite3.h's values: they are part of SQLite's stable interface.
constexpr int kSqliteOk = 0;
constexpr int kConfigMultiThread = 2;  // SQLITE_CONFIG_MULTITHREAD
constexpr int kConfigMemStatus = 9;    // SQLITE_CONFIG_MEMSTATUS

constexpr int kEntryMax = 1024;

// An ini entry through the driver manager (which knows where the files are
// and which of the user's and the system's applies); empty when absent.
std::string ini_entry(const std::string &section, const char *key, const char *file) {
    char value[kEntryMax] = {};
    int n = SQLGetPrivateProfileString(section.c_str(), key, "", value, sizeof value, file);
    if (n <= 0) return {};
    value[sizeof value - 1] = '\0';
    return value;
}

bool switched_off() {
    for (const auto &[name, data] : load_registry_key(std::string(kRootKey) + "\\ODBServer"))
        if (name == "tune_sqlite") return data == "false";
    return false;
}

}  // namespace

std::string driver_library_of(const std::string &dsn) {
    std::string driver = ini_entry(dsn, "Driver", "odbc.ini");
    if (driver.empty() || driver.find('/') != std::string::npos) return driver;
    std::string library = ini_entry(driver, "Driver64", "odbcinst.ini");
    return library.empty() ? ini_entry(driver, "Driver", "odbcinst.ini") : library;
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
