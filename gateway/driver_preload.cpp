// Warming a gateway's ODBC layer. See driver_preload.h.
#include "gateway/driver_preload.h"

#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <system_error>

#include "gateway/profile_rehearsal.h"
#include "protocol/trace.h"
#include "support/config_cache.h"
#include "support/odbc_files.h"
#include "support/settings_catalog.h"

namespace vnx {

namespace {

// Names and attribute lists come back in buffers of these sizes; a longer
// one is cut, and its library is then not found (CONNECT loads it as usual).
constexpr SQLSMALLINT kNameMax = 512;
constexpr SQLSMALLINT kAttributesMax = 4096;

// The warm-up; started, called off and waited for on the main thread only.
// A warm-up that has not begun when START, CONNECT or the end of the process
// comes is called off; one that has begun is waited for.
struct Preload {
    std::mutex mutex;
    std::condition_variable wake;
    bool called_off = false;  // under mutex
    bool started = false;
    int loaded = 0;
    // Written by the warm-up only, read only after it has been waited for.
    std::vector<std::pair<std::string, std::string>> dsn_libraries;  // DSN, library
    std::function<void()> also;                                      // see start_driver_preload
    // The ini files as they were before the DSNs were listed or the last
    // rehearsal read them, and the loaded drivers (library, handle).
    ProfileFiles files;
    std::vector<std::pair<std::string, void *>> drivers;
    std::future<int> running;  // last member: destroyed (waited for) first

    // Calls off the warm-up if it is still in its pause.
    void call_off() {
        std::lock_guard<std::mutex> lock(mutex);
        called_off = true;
        wake.notify_all();
    }
    // Waits out the pause before the warm-up: true when the warm-up is to go
    // ahead, false when it was called off meanwhile. No pause: goes ahead.
    bool wait_out(std::chrono::milliseconds pause) {
        if (pause.count() <= 0) return true;
        std::unique_lock<std::mutex> lock(mutex);
        return !wake.wait_for(lock, pause, [this] { return called_off; });
    }
    // Rests `period` between rehearsals: true when the time is up, false
    // when the warm-up was called off meanwhile.
    bool rest(std::chrono::milliseconds period) {
        std::unique_lock<std::mutex> lock(mutex);
        return !wake.wait_for(lock, period, [this] { return called_off; });
    }
    ~Preload() { call_off(); }
};

Preload &preload() {
    static Preload p;
    return p;
}

// The value of `key` in a driver's attribute list as SQLDrivers writes it:
// "key=value" entries, each ended by a NUL, n bytes in all. Keys compare
// without regard to case, as odbcinst.ini's do.
std::string attribute(const char *list, size_t n, const std::string &key) {
    for (size_t at = 0; at < n;) {
        std::string entry(list + at, strnlen(list + at, n - at));
        at += entry.size() + 1;
        size_t eq = entry.find('=');
        if (eq != key.size()) continue;
        if (std::equal(key.begin(), key.end(), entry.begin(), [](char a, char b) {
                return tolower(static_cast<unsigned char>(a)) ==
                       tolower(static_cast<unsigned char>(b));
            }))
            return entry.substr(eq + 1);
    }
    return {};
}

// Each installed driver's library: "Driver64" when set (as the 64-bit driver
// manager prefers it), else "Driver".
std::map<std::string, std::string> installed_driver_libraries(SQLHENV env) {
    std::map<std::string, std::string> libraries;
    SQLCHAR name[kNameMax], attrs[kAttributesMax];
    SQLSMALLINT name_len = 0, attrs_len = 0;
    for (SQLUSMALLINT dir = SQL_FETCH_FIRST; SQL_SUCCEEDED(
             SQLDrivers(env, dir, name, kNameMax, &name_len, attrs, kAttributesMax, &attrs_len));
         dir = SQL_FETCH_NEXT) {
        const char *list = reinterpret_cast<const char *>(attrs);
        size_t n = std::clamp<SQLSMALLINT>(attrs_len, 0, kAttributesMax - 1);
        std::string library = attribute(list, n, "Driver64");
        if (library.empty()) library = attribute(list, n, "Driver");
        if (!library.empty()) libraries[reinterpret_cast<const char *>(name)] = library;
    }
    return libraries;
}

// The DSNs as the driver manager lists them (user DSNs first), each with
// its driver: a driver name, or a library path written straight into the DSN.
std::vector<std::pair<std::string, std::string>> data_source_drivers(SQLHENV env) {
    std::vector<std::pair<std::string, std::string>> drivers;
    SQLCHAR dsn[kNameMax], driver[kNameMax];
    SQLSMALLINT dsn_len = 0, driver_len = 0;
    for (SQLUSMALLINT dir = SQL_FETCH_FIRST; SQL_SUCCEEDED(
             SQLDataSources(env, dir, dsn, kNameMax, &dsn_len, driver, kNameMax, &driver_len));
         dir = SQL_FETCH_NEXT)
        drivers.emplace_back(reinterpret_cast<const char *>(dsn),
                             reinterpret_cast<const char *>(driver));
    return drivers;
}

// Each listed DSN with its driver library; DSNs whose driver names no library
// are left out.
std::vector<std::pair<std::string, std::string>> dsn_libraries_of(SQLHENV env) {
    std::map<std::string, std::string> installed = installed_driver_libraries(env);
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto &[dsn, driver] : data_source_drivers(env)) {
        auto it = installed.find(driver);
        std::string library = it != installed.end()                   ? it->second
                              : driver.find('/') != std::string::npos ? driver
                                                                      : std::string();
        if (!library.empty()) out.emplace_back(dsn, library);
    }
    return out;
}

// The libraries of dsn_libraries_of, once each, in order.
std::vector<std::string> distinct_libraries(
    const std::vector<std::pair<std::string, std::string>> &dsn_libraries) {
    std::vector<std::string> libraries;
    for (const auto &entry : dsn_libraries)
        if (std::find(libraries.begin(), libraries.end(), entry.second) == libraries.end())
            libraries.push_back(entry.second);
    return libraries;
}

// A driver library that links OpenSSL (libpq does, for TLS and for SCRAM
// authentication) would pay at its first connect for OpenSSL's one-time
// set-up: reading its configuration, building the default provider's
// algorithm tables (the first digest fetch) and seeding its random
// generator. Done here through the driver's own handle, so that the OpenSSL
// it links is the one set up; a library without OpenSSL is left as it is.
// The first initialisation would also register OpenSSL's exit handler, and
// a handler registered by this thread runs at exit before the warm-up is
// waited for, freeing OpenSSL's state under a warm-up still at work (a
// client that leaves during the warm-up crashed the gateway at exit). This
// thread changes no process-wide state: OPENSSL_INIT_NO_ATEXIT, so that no
// handler is ever registered and OpenSSL's memory goes with the process.
void warm_openssl(void *driver) {
    using InitCrypto = int (*)(uint64_t opts, const void *settings);
    using FetchDigest = void *(*)(void *libctx, const char *name, const char *properties);
    using FreeDigest = void (*)(void *digest);
    using RandStatus = int (*)();
    constexpr uint64_t kLoadConfig = 0x40;   // OPENSSL_INIT_LOAD_CONFIG
    constexpr uint64_t kNoAtExit = 0x80000;  // OPENSSL_INIT_NO_ATEXIT
    auto init = reinterpret_cast<InitCrypto>(dlsym(driver, "OPENSSL_init_crypto"));
    if (init == nullptr || init(kLoadConfig | kNoAtExit, nullptr) != 1) return;
    auto fetch = reinterpret_cast<FetchDigest>(dlsym(driver, "EVP_MD_fetch"));
    auto free_digest = reinterpret_cast<FreeDigest>(dlsym(driver, "EVP_MD_free"));
    if (fetch != nullptr && free_digest != nullptr) free_digest(fetch(nullptr, "SHA256", nullptr));
    if (auto rand_status = reinterpret_cast<RandStatus>(dlsym(driver, "RAND_status")))
        rand_status();
}

// The loaded driver of library, or null.
void *driver_handle(const std::string &library) {
    for (const auto &[name, handle] : preload().drivers)
        if (name == library) return handle;
    return nullptr;
}

// Empties the profile cache of every loaded driver's installer library;
// false when one of them could not be emptied.
bool clear_profile_caches() {
    bool all = true;
    for (const auto &entry : preload().drivers)
        all = clear_profile_cache(entry.second) && all;
    return all;
}

// One rehearsal: the cache emptied, the files noted, then each DSN's
// look-ups as its driver will make them. Nothing is rehearsed where the
// cache cannot be emptied: its entries could not be kept fresh.
void rehearse_profiles(const std::vector<std::pair<std::string, std::string>> &dsn_drivers) {
    if (!clear_profile_caches()) return;
    preload().files = profile_files_now();
    for (const auto &entry : preload().dsn_libraries) {
        const std::string &dsn = entry.first, &library = entry.second;
        void *driver = driver_handle(library);
        auto it = std::find_if(dsn_drivers.begin(), dsn_drivers.end(),
                               [&dsn](const auto &e) { return e.first == dsn; });
        if (driver != nullptr && it != dsn_drivers.end() &&
            rehearse_profile_lookups(driver, library, dsn, it->second) < 0)
            return;
    }
}

// Rehearses the profile look-ups now and again every kRehearsalPeriod
// (unixODBC keeps an entry 20 s), until START or the end of the process
// calls the warm-up off: a waiting gateway sleeps between rehearsals.
void keep_profiles_warm(const std::vector<std::pair<std::string, std::string>> &dsn_drivers) {
    do {
        rehearse_profiles(dsn_drivers);
    } while (preload().rest(kRehearsalPeriod));
}

// One line on standard error (the master's log) with what is refused, why
// and the command that mends it: one write, so gateways' lines never mix.
void report_untrusted(const char *consequence, const TrustProblem &problem) {
    std::string line =
        std::string(program_invocation_short_name) + ": " + problem.problem + ": " + consequence;
    if (!problem.fix.empty()) line += " (hint: " + problem.fix + ")";
    line += '\n';
    ssize_t w = write(STDERR_FILENO, line.data(), line.size());
    (void)w;
}

// The warm-up itself, after its pause: an environment kept for the life of
// the process (so the driver manager's own set-up is done once), then every
// data source's driver library, never unloaded, and the OpenSSL it links.
// Symbols bind lazily, as when the driver manager loads a driver: binding
// them all now would cost more than the few a connect uses.
int warm_up(std::chrono::milliseconds pause) {
    if (!preload().wait_out(pause)) return 0;
    TrustProblem problem;
    if (check_odbc_ini_files(geteuid(), &problem) != kTrusted) {
        report_untrusted("the warm-up loads no ODBC driver", problem);
        if (preload().also) preload().also();
        return 0;
    }
    static SQLHENV env = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocEnv(&env))) return 0;
    int loaded = 0;
    preload().files = profile_files_now();
    preload().dsn_libraries = dsn_libraries_of(env);
    for (const std::string &library : distinct_libraries(preload().dsn_libraries)) {
        if (check_odbc_library(library, geteuid(), &problem) != kTrusted) {
            report_untrusted("the warm-up does not load it", problem);
            continue;
        }
        void *driver = dlopen(library.c_str(), RTLD_LAZY | RTLD_LOCAL);
        if (driver == nullptr) continue;
        loaded++;
        warm_openssl(driver);
        preload().drivers.emplace_back(library, driver);
    }
    if (preload().also) preload().also();
    keep_profiles_warm(data_source_drivers(env));
    return loaded;
}

bool preload_switched_off() {
    return !setting_switch("ODBServer", "preload_drivers");
}

}  // namespace

std::vector<std::string> data_source_driver_libraries() {
    SQLHENV env = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocEnv(&env))) return {};
    std::vector<std::string> libraries = distinct_libraries(dsn_libraries_of(env));
    SQLFreeEnv(env);
    return libraries;
}

void start_driver_preload(std::chrono::milliseconds pause, std::function<void()> also) {
    Preload &p = preload();
    if (p.started || preload_switched_off()) return;
    p.started = true;
    p.also = std::move(also);
    try {
        p.running = std::async(std::launch::async, warm_up, pause);
    } catch (const std::system_error &) {
        // No thread to be had: CONNECT loads its driver itself, as without
        // the warm-up.
    }
}

void call_off_driver_preload() {
    preload().call_off();
}

int wait_driver_preload() {
    Preload &p = preload();
    if (!p.running.valid()) return p.loaded;
    p.call_off();
    p.loaded = p.running.get();
    // The ini files changed since the warm-up read them: CONNECT reads them
    // afresh, as a gateway without the warm-up would.
    if (profile_files_now() != p.files) {
        if (!clear_profile_caches())
            dqp::trace("[odbserver]",
                       "the ini files changed while the gateway waited and the profile cache "
                       "could not be emptied: CONNECT may read settings up to 20 s old");
        p.dsn_libraries.clear();
    }
    return p.loaded;
}

std::string untrusted_data_source(const std::string &dsn) {
    TrustProblem problem;
    if (check_data_source(dsn, geteuid(), &problem) == kTrusted) return {};
    report_untrusted(("the data source \"" + dsn + "\" is refused").c_str(), problem);
    std::string why = "the data source is refused: " + problem.problem;
    if (!problem.fix.empty()) why += " (hint: " + problem.fix + ")";
    return why;
}

std::string preloaded_driver_library(const std::string &dsn) {
    Preload &p = preload();
    if (p.running.valid()) return {};  // not waited for: the list may be half made
    // The driver manager finds a DSN's section without regard to case.
    for (const auto &[name, library] : p.dsn_libraries)
        if (strcasecmp(name.c_str(), dsn.c_str()) == 0) return library;
    return {};
}

}  // namespace vnx
