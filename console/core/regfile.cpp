// Export and import of the configuration.
#include "console/core/regfile.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console/core/value_checks.h"
#include "support/config_limits.h"
#include "support/unique_fd.h"

namespace vnx::console {

namespace {

constexpr const char *kExportedSubkeys[] = {"NetServer", "ODBServer", "PortServer"};

// A value name as the export writes it: bare, or quoted with "\\" and "\""
// escaped when it holds a character that ends or splits a bare name.
std::string exported_name(const std::string &name) {
    if (name.find_first_of("=\"\\") == std::string::npos) return name;
    std::string out = "\"";
    for (const char c : name) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// Appends the lines of `key`'s values. 0; -1 with *problem for a value the
// file cannot carry; a store status.
int append_key(ConfigStore &store, const std::string &key, std::string *out, std::string *problem) {
    ValueList values;
    const int rc = store.list_values(key, &values);
    if (rc == -1) return 0;  // a missing subkey exports nothing
    if (rc < 0) return rc;
    for (const auto &[name, data] : values) {
        if (std::string why = store_value_problem(key, name, data); !why.empty()) {
            *problem = "Cannot export value \"" + name + "\" of " + key + ": " + why +
                       "; nothing was exported.";
            return -1;
        }
        *out += export_line(key, name, data);
    }
    return 0;
}

bool write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads a whole regular file of at most kMaxImportFile bytes. Empty text
// on success, else why not.
std::string read_import_file(const std::string &path, std::string *text) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) return std::strerror(errno);
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (static_cast<unsigned long long>(st.st_size) > kMaxImportFile) return "file too large";
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::strerror(errno);
        if (n == 0) return {};
        text->append(buf, static_cast<size_t>(n));
        if (text->size() > kMaxImportFile) return "file too large";
    }
}

// A quoted value name starting at line[*pos] (the opening quote): sets
// *name and moves *pos past the closing quote. Empty reason when well-formed.
std::string parse_quoted_name(const std::string &line, size_t *pos, std::string *name) {
    name->clear();
    for (size_t i = *pos + 1; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            *pos = i + 1;
            return {};
        }
        if (c == '\\') {
            if (i + 1 == line.size() || (line[i + 1] != '\\' && line[i + 1] != '"')) {
                return "a backslash in a quoted value name must come before \\ or \"";
            }
            c = line[++i];
        }
        *name += c;
    }
    return "the quoted value name has no closing quote";
}

// One "KEY\\NAME=DATA" line; empty reason when it is well-formed. The key
// names after the root key run up to each backslash; the value name is
// quoted, or runs up to the first "=".
std::string parse_value_line(const std::string &line, StoreChange *change) {
    const std::string root = std::string(kRootKey) + "\\";
    if (line.size() < root.size() || strncasecmp(line.c_str(), root.c_str(), root.size()) != 0) {
        return "expected a line starting \"" + root + "\"";
    }
    std::string key = kRootKey, name;
    size_t pos = root.size();
    for (;;) {
        if (pos < line.size() && line[pos] == '"') {
            if (std::string why = parse_quoted_name(line, &pos, &name); !why.empty()) return why;
            if (pos == line.size() || line[pos] != '=') {
                return "no \"=\" after the quoted value name";
            }
            break;
        }
        const size_t stop = line.find_first_of("\\=", pos);
        if (stop == std::string::npos) return "no \"=\" between value name and data";
        const std::string part = line.substr(pos, stop - pos);
        pos = stop;
        if (line[stop] == '=') {
            name = part;
            break;
        }
        if (part.empty()) return "empty key name in the path";
        key += "\\" + part;
        ++pos;
    }
    if (name.empty()) return "empty value name";
    *change = {StoreChange::kSetValue, key, name, line.substr(pos + 1)};
    return {};
}

// The refusal of an import file's line.
int refuse_line(const std::string &path, int line, const std::string &reason, ConsoleMessage *msg) {
    return refuse(kServerCaption,
                  "Import file '" + path + "' line " + std::to_string(line) + ": " + reason +
                      "; nothing was imported.",
                  msg);
}

}  // namespace

std::string export_line(const std::string &key, const std::string &name, const std::string &data) {
    return key + "\\" + exported_name(name) + "=" + data + "\n";
}

std::string export_path(ConfigStore &store) {
    std::string root;
    if (store.get_value(kRootKey, "DB_ROOT", &root) != 0 || root.empty()) return {};
    return root + "/" + kExportFileName;
}

int export_text(ConfigStore &store, std::string *out, ConsoleMessage *msg) {
    try {
        *out = kExportHeader;
        std::string problem;
        int rc = append_key(store, kRootKey, out, &problem);
        for (const char *subkey : kExportedSubkeys) {
            if (rc == 0) {
                rc = append_key(store, std::string(kRootKey) + "\\" + subkey, out, &problem);
            }
        }
        if (rc == -1) return refuse(kServerCaption, problem, msg);
        return rc == 0 ? 0 : store_failure(kServerCaption, store.error(), msg);
    } catch (...) {
        return store_failure(kServerCaption, "out of memory", msg);
    }
}

int export_registry(ConfigStore &store, const std::string &path, ConsoleMessage *msg) {
    std::string text;
    if (int rc = export_text(store, &text, msg); rc != 0) return rc;
    const std::string cannot = format_text("Cann't create export file '%s'", path);
    if (path.empty()) return refuse(kServerCaption, cannot, msg);
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd.valid()) return refuse(kServerCaption, cannot, msg);
    if (!write_all(fd.get(), text) || close(fd.release()) != 0) {
        return refuse(kServerCaption, cannot, msg);
    }
    return 0;
}

int parse_registry_text(const std::string &text, std::vector<StoreChange> *changes, int *bad_line,
                        std::string *reason, std::vector<int> *lines) {
    changes->clear();
    if (lines != nullptr) lines->clear();
    size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        *bad_line = number;
        if (line.find('\0') != std::string::npos) {
            *reason = "the line holds a NUL byte";
            return -1;
        }
        if (number == 1) {
            if (line != "REGEDIT") {
                *reason = "the file does not begin with \"REGEDIT\"";
                return -1;
            }
            continue;
        }
        if (line.empty() || line[0] == ';') continue;
        StoreChange change;
        if (std::string why = parse_value_line(line, &change); !why.empty()) {
            *reason = why;
            return -1;
        }
        changes->push_back(std::move(change));
        if (lines != nullptr) lines->push_back(number);
    }
    if (text.empty()) {
        *bad_line = 1;
        *reason = "the file is empty";
        return -1;
    }
    return 0;
}

int import_registry(ConfigStore &store, const std::string &path, ConsoleMessage *msg) {
    try {
        if (path.empty()) {
            return refuse(kServerCaption, format_text("Cann't execute import file '%s'", path),
                          msg);
        }
        std::string text;
        if (std::string why = read_import_file(path, &text); !why.empty()) {
            return refuse(kServerCaption, "Cannot read import file '" + path + "': " + why, msg);
        }
        std::vector<StoreChange> changes;
        std::vector<int> lines;
        int line = 0;
        std::string reason;
        if (parse_registry_text(text, &changes, &line, &reason, &lines) != 0) {
            return refuse_line(path, line, reason, msg);
        }
        size_t bad = 0;
        const int rc = check_value_changes(store, changes, &bad, &reason);
        if (rc == -1) return refuse_line(path, lines[bad], reason, msg);
        if (rc < 0) return store_failure(kServerCaption, reason, msg);
        if (store.apply(changes) != 0) return store_failure(kServerCaption, store.error(), msg);
        return 0;
    } catch (...) {
        return store_failure(kServerCaption, "out of memory", msg);
    }
}

}  // namespace vnx::console
