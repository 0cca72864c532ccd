// The ODBC driver manager's files. See odbc_files.h.
#include "support/odbc_files.h"

#include <glob.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace vnx {

namespace {

// One section of an ini file: its name and its entries in file order.
struct IniSection {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;
};

// Text without the blanks around it.
std::string trimmed(const std::string &text) {
    size_t from = text.find_first_not_of(" \t\r");
    if (from == std::string::npos) return {};
    size_t to = text.find_last_not_of(" \t\r");
    return text.substr(from, to - from + 1);
}

// The sections of the ini file at path; none when it cannot be read.
std::vector<IniSection> read_ini(const std::string &path) {
    std::vector<IniSection> sections;
    if (path.empty()) return sections;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::string t = trimmed(line);
        if (t.empty() || t[0] == ';' || t[0] == '#') continue;
        if (t[0] == '[') {
            size_t end = t.find(']');
            sections.push_back({end == std::string::npos ? "" : trimmed(t.substr(1, end - 1)), {}});
            continue;
        }
        size_t eq = t.find('=');
        if (sections.empty() || eq == std::string::npos) continue;
        sections.back().entries.emplace_back(trimmed(t.substr(0, eq)), trimmed(t.substr(eq + 1)));
    }
    return sections;
}

bool same_name(const std::string &a, const char *b) {
    return strcasecmp(a.c_str(), b) == 0;
}

// The entry of `section` under the first of `keys` it has.
std::string entry_of(const std::vector<IniSection> &ini, const std::string &section,
                     std::initializer_list<const char *> keys) {
    std::string found;
    size_t found_rank = keys.size();
    for (const IniSection &s : ini) {
        if (!same_name(s.name, section.c_str())) continue;
        for (const auto &[name, value] : s.entries) {
            size_t rank = 0;
            for (const char *key : keys) {
                if (rank < found_rank && same_name(name, key)) {
                    found = value;
                    found_rank = rank;
                }
                rank++;
            }
        }
    }
    return found;
}

std::string env_or(const char *name, const std::string &otherwise) {
    const char *v = getenv(name);
    return v != nullptr && *v != '\0' ? v : otherwise;
}

// The folders of a colon-separated list, empty entries left out.
void add_folders(const std::string &list, std::vector<std::string> *out) {
    for (size_t start = 0; start <= list.size();) {
        size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        if (end > start) out->push_back(list.substr(start, end - start));
        start = end + 1;
    }
}

// The folders /etc/ld.so.conf lists, following its "include" lines (depth
// bounded: a file that includes itself ends).
void add_ld_so_conf(const std::string &path, int depth, std::vector<std::string> *out) {
    if (depth > 8) return;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::string t = trimmed(line.substr(0, line.find('#')));
        if (t.empty()) continue;
        if (t.rfind("include", 0) == 0 && t.size() > 7 && (t[7] == ' ' || t[7] == '\t')) {
            glob_t g{};
            if (glob(trimmed(t.substr(8)).c_str(), 0, nullptr, &g) == 0)
                for (size_t i = 0; i < g.gl_pathc; i++)
                    add_ld_so_conf(g.gl_pathv[i], depth + 1, out);
            globfree(&g);
        } else if (t[0] == '/') {
            out->push_back(t);
        }
    }
}

// Where the driver manager looks for a library named without a folder, in
// its order.
std::vector<std::string> library_folders() {
    const std::string arch = VNX_LIBRARY_ARCHITECTURE;
    std::vector<std::string> folders;
    if (!arch.empty()) folders.push_back("/usr/lib/" + arch + "/odbc");
    folders.insert(folders.end(), {"/usr/lib/odbc", "/usr/lib64/odbc"});
    add_folders(env_or("LTDL_LIBRARY_PATH", ""), &folders);
    add_folders(env_or("LD_LIBRARY_PATH", ""), &folders);
    folders.insert(folders.end(), {"/lib", "/usr/lib"});
    add_ld_so_conf("/etc/ld.so.conf", 0, &folders);
    if (!arch.empty()) folders.insert(folders.end(), {"/lib/" + arch, "/usr/lib/" + arch});
    folders.insert(folders.end(), {"/lib64", "/usr/lib64"});
    return folders;
}

void add_once(const std::string &item, std::vector<std::string> *out) {
    if (!item.empty() && std::find(out->begin(), out->end(), item) == out->end())
        out->push_back(item);
}

// The driver a data source names, as written: a name in the driver list or
// a library path.
std::string data_source_driver(const OdbcIniFiles &files, const std::string &dsn) {
    std::string driver = ini_entry(files.user_dsns, dsn, {"Driver"});
    if (driver.empty()) driver = ini_entry(files.system_dsns, dsn, {"Driver"});
    return driver;
}

// Checks each file of `paths` that is present; the first problem found.
int check_files(const std::vector<std::pair<std::string, const char *>> &paths, uid_t user,
                TrustProblem *problem) {
    for (const auto &[path, label] : paths) {
        if (path.empty()) continue;
        int rc = check_trusted_path(path, TrustKind::kFile, user, label, problem);
        if (rc == kUntrusted) return rc;
    }
    return kTrusted;
}

}  // namespace

OdbcIniFiles odbc_ini_files() {
    const char *home = getenv("HOME");
    OdbcIniFiles f;
    f.user_dsns =
        env_or("ODBCINI",
               home != nullptr && *home != '\0' ? std::string(home) + "/.odbc.ini" : std::string());
    const std::string system = env_or("ODBCSYSINI", "/etc");
    f.system_dsns = system + "/odbc.ini";
    f.drivers = system + "/" + env_or("ODBCINSTINI", "odbcinst.ini");
    return f;
}

std::string ini_entry(const std::string &path, const std::string &section,
                      std::initializer_list<const char *> keys) {
    return entry_of(read_ini(path), section, keys);
}

std::string data_source_library(const std::string &dsn) {
    const OdbcIniFiles files = odbc_ini_files();
    std::string driver = data_source_driver(files, dsn);
    if (driver.empty() || driver.find('/') != std::string::npos) return driver;
    return ini_entry(files.drivers, driver, {"Driver64", "Driver"});
}

std::string resolve_odbc_library(const std::string &name) {
    if (name.empty() || name.find('/') != std::string::npos) return name;
    for (const std::string &folder : library_folders()) {
        std::string path = folder + "/" + name;
        if (access(path.c_str(), F_OK) == 0) return path;
    }
    return {};
}

std::vector<std::string> odbc_named_libraries(const OdbcIniFiles &files) {
    std::vector<std::string> libraries;
    for (const IniSection &s : read_ini(files.drivers))
        for (const auto &[key, value] : s.entries)
            if (same_name(key, "Driver") || same_name(key, "Driver64") || same_name(key, "Setup") ||
                same_name(key, "Setup64"))
                add_once(value, &libraries);
    for (const std::string &list : {files.user_dsns, files.system_dsns})
        for (const IniSection &s : read_ini(list))
            for (const auto &[key, value] : s.entries)
                if (same_name(key, "Driver") && value.find('/') != std::string::npos)
                    add_once(value, &libraries);
    return libraries;
}

int check_odbc_ini_files(uid_t user, TrustProblem *problem) {
    const OdbcIniFiles f = odbc_ini_files();
    return check_files({{f.user_dsns, "the ODBC data source list"},
                        {f.system_dsns, "the ODBC data source list"},
                        {f.drivers, "the ODBC driver list"}},
                       user, problem);
}

int check_odbc_library(const std::string &name, uid_t user, TrustProblem *problem) {
    const std::string path = resolve_odbc_library(name);
    if (path.empty()) return kTrusted;
    return check_files({{path, "the ODBC driver library"}}, user, problem);
}

int check_odbc_files(uid_t user, TrustProblem *problem) {
    if (check_odbc_ini_files(user, problem) != kTrusted) return kUntrusted;
    for (const std::string &library : odbc_named_libraries(odbc_ini_files()))
        if (check_odbc_library(library, user, problem) != kTrusted) return kUntrusted;
    return kTrusted;
}

int check_data_source(const std::string &dsn, uid_t user, TrustProblem *problem) {
    if (check_odbc_ini_files(user, problem) != kTrusted) return kUntrusted;
    const OdbcIniFiles files = odbc_ini_files();
    const std::string driver = data_source_driver(files, dsn);
    if (driver.empty()) return kTrusted;  // not listed: nothing is loaded for it
    if (driver.find('/') != std::string::npos) return check_odbc_library(driver, user, problem);
    for (const char *key : {"Driver64", "Driver", "Setup64", "Setup"})
        if (check_odbc_library(ini_entry(files.drivers, driver, {key}), user, problem) != kTrusted)
            return kUntrusted;
    return kTrusted;
}

}  // namespace vnx
