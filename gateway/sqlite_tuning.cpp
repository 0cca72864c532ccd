// SQLite settings for a driver's library. See sqlite_tuning.h.
#include "gateway/sqlite_tuning.h"

#include <dlfcn.h>
#include <strings.h>

#include <cstdlib>

#include "support/config_cache.h"
#include "support/odbc_files.h"
#include "support/settings_catalog.h"

namespace vnx {

namespace {

// sqlite3.h's values: they are part of SQLite's stable interface.
constexpr int kSqliteOk = 0;
constexpr int kConfigMultiThread = 2;  // SQLITE_CONFIG_MULTITHREAD
constexpr int kConfigMemStatus = 9;    // SQLITE_CONFIG_MEMSTATUS

bool switched_off() {
    return !setting_switch("ODBServer", "tune_sqlite");
}

}  // namespace

std::string driver_library_of(const std::string &dsn) {
    return data_source_library(dsn);
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
