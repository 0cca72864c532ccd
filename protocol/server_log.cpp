// Opening a server's log. See server_log.h.
#include "protocol/server_log.h"

#include <sys/stat.h>

#include <cstdio>

#include "protocol/trace.h"
#include "support/config_cache.h"
#include "support/config_store.h"
#include "support/settings_catalog.h"

namespace dqp {

namespace {

bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string choose_log_path(const std::string &dir, const std::string &logfile,
                            const std::string &fallback_stem) {
    std::string stem = vnx::base_name(logfile);
    size_t slash = stem.rfind('/');
    if (slash != std::string::npos) stem = stem.substr(slash + 1);
    size_t dot = stem.find('.');
    if (dot != std::string::npos) stem = stem.substr(0, dot);
    if (stem.empty()) stem = fallback_stem;
    std::string base = (dir.empty() ? std::string(".") : dir) + "/" + stem;
    std::string path = base + ".log";
    char numbered[16];
    for (int n = 1; file_exists(path) && n < 100000; n++) {
        snprintf(numbered, sizeof numbered, "%03d.log", n);
        path = base + numbered;
    }
    return path;
}

int open_server_log(const std::string &key, const std::string &fallback_stem) {
    vnx::ValueList values = vnx::load_registry_key(key);
    std::string logfile;
    for (const auto &[vname, data] : values)
        if (vname == "logfile") logfile = data;
    if (!vnx::setting_switch_in(values, key.c_str(), "logging")) return -1;
    std::string dir = vnx::get_registry_value("DB_ROOT", vnx::kRootKey);
    return open_log(choose_log_path(dir, logfile, fallback_stem));
}

}  // namespace dqp
