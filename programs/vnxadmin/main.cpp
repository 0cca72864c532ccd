// vnxadmin: command-line administration of the configuration store.
//
// Subcommands are found through dispatch tables (top level, "reg", and the
// console's groups in console_commands.cpp), each entry naming its argument
// count and usage line, so that argument checking and the help text come
// from one place. The store is the one named
// by VNX_REGISTRY (default /etc/vnx/registry.db); only "init" creates it.
//
// Exit status: 0 success, 1 failure (missing key or value, store error, a
// change the console's checks refuse), 2 usage error ("reg set" of a value
// outside its form included). Errors print one short factual line on
// stderr, then a detail or hint line where it helps.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "console/core/value_checks.h"
#include "programs/vnxadmin/admin.h"
#include "programs/vnxadmin/console_commands.h"
#include "programs/vnxadmin/ping.h"
#include "programs/vnxadmin/stats.h"
#include "support/config_store.h"
#include "support/file_trust.h"
#include "support/settings_catalog.h"
#include "support/version.h"

namespace {

using namespace vnxadmin;
using vnx::ConfigStore;

// Full store path of a KEY argument: a normalised path that starts with
// "SOFTWARE\" is taken as it is, anything else is below the root key.
std::string resolve_key(const std::string &arg) {
    const std::string key = vnx::normalize_key_path(arg);
    static const std::string kFullPrefix = "SOFTWARE\\";
    if (key.size() >= kFullPrefix.size() &&
        strncasecmp(key.c_str(), kFullPrefix.c_str(), kFullPrefix.size()) == 0) {
        return key;
    }
    return key.empty() ? vnx::kRootKey : std::string(vnx::kRootKey) + "\\" + key;
}

// ---- reg subcommands ----

int reg_list(const Args &args) {
    auto store = open_store();
    if (!store) return kFailure;
    const std::string key = resolve_key(args[0]);
    vnx::ValueList values;
    const int rc = store->list_values(key, &values);
    if (rc == -1) return failure("no such key " + quoted(key));
    if (rc < 0) return failure("cannot read key " + quoted(key), store->error());
    for (const auto &[name, data] : values)
        print_line(stdout, name + "=" + data);
    return kSuccess;
}

int reg_keys(const Args &args) {
    auto store = open_store();
    if (!store) return kFailure;
    const std::string key = resolve_key(args[0]);
    std::vector<std::string> subkeys;
    const int rc = store->list_subkeys(key, &subkeys);
    if (rc == -1) return failure("no such key " + quoted(key));
    if (rc < 0) return failure("cannot read key " + quoted(key), store->error());
    for (const std::string &name : subkeys)
        print_line(stdout, name);
    return kSuccess;
}

int reg_get(const Args &args) {
    auto store = open_store();
    if (!store) return kFailure;
    const std::string key = resolve_key(args[0]);
    const std::string &name = args[1];
    std::string data;
    const int rc = store->get_value(key, name, &data);
    if (rc == 0) {
        print_line(stdout, data);
        return kSuccess;
    }
    if (rc < 0) return failure("cannot read key " + quoted(key), store->error());
    if (!store->key_exists(key)) return failure("no such key " + quoted(key));
    return failure("no value " + quoted(name) + " in key " + quoted(key));
}

// After a write: a value name the settings table does not list under a key it
// knows is stored, but no program reads it (administrators keep notes there);
// a listed name spelled in another case is not found by the servers.
void warn_unlisted_value(const std::string &key, const std::string &name) {
    if (!vnx::setting_key_known(key) || vnx::find_setting(key, name) != nullptr) return;
    const vnx::SettingEntry *other = vnx::find_setting_any_case(key, name);
    print_line(
        stderr,
        "vnxadmin: warning: " +
            (other != nullptr ? "the servers read " + quoted(other->name) + ", not " + quoted(name)
                              : "no program reads value " + quoted(name) + " of " + quoted(key)));
    print_line(stderr, "hint: \"vnxadmin settings show --all\" lists the values the programs read");
}

int reg_set(const Args &args) {
    auto store = open_store();
    if (!store) return kFailure;
    const std::string key = resolve_key(args[0]);
    const std::vector<vnx::StoreChange> change{
        {vnx::StoreChange::kSetValue, key, args[1], args[2]}};
    size_t bad = 0;
    std::string reason;
    const int rc = vnx::console::check_value_changes(*store, change, &bad, &reason);
    if (rc != 0) {
        // A value outside its form is the caller's mistake (2); a store that
        // cannot be read is a failure (1).
        const int status = failure("cannot set value " + quoted(args[1]) + " in key " + quoted(key),
                                   reason, rc == -1 ? "nothing was written" : "");
        return rc == -1 ? kUsage : status;
    }
    if (store->set_value(key, args[1], args[2]) != 0) {
        return failure("cannot set value " + quoted(args[1]) + " in key " + quoted(key),
                       store->error());
    }
    warn_unlisted_value(key, args[1]);
    return kSuccess;
}

int reg_delete(const Args &args) {
    auto store = open_store();
    if (!store) return kFailure;
    const std::string key = resolve_key(args[0]);
    if (args.size() == 1) {
        const int rc = store->delete_key(key);
        if (rc == -1) return failure("no such key " + quoted(key));
        if (rc < 0) return failure("cannot delete key " + quoted(key), store->error());
        return kSuccess;
    }
    const std::string &name = args[1];
    const int rc = store->delete_value(key, name);
    if (rc == -1) {
        if (!store->key_exists(key)) return failure("no such key " + quoted(key));
        return failure("no value " + quoted(name) + " in key " + quoted(key));
    }
    if (rc < 0) return failure("cannot delete value " + quoted(name), store->error());
    return kSuccess;
}

const Command kRegCommands[] = {
    {"list", reg_list, 1, 1, "reg list KEY", "print the values of KEY as NAME=DATA lines"},
    {"get", reg_get, 2, 2, "reg get KEY NAME", "print the data of value NAME of KEY"},
    {"set", reg_set, 3, 3, "reg set KEY NAME DATA",
     "set value NAME of KEY, creating KEY if needed; the value is checked as\n"
     "import checks it (limits, the Settings page's forms, DB_ROOT, the form of\n"
     "each setting in the settings reference)"},
    {"delete", reg_delete, 1, 2, "reg delete KEY [NAME]",
     "delete value NAME, or KEY with all its values and subkeys"},
    {"keys", reg_keys, 1, 1, "reg keys KEY", "print the names of the subkeys of KEY"},
};

// ---- init ----

// A port number: decimal digits only, 1..65535. -1 otherwise.
long parse_port(const std::string &text) {
    if (text.empty() || text.size() > 5) return -1;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return (value >= 1 && value <= 65535) ? value : -1;
}

struct InitOptions {
    std::string db_root;
    std::string base_port;
    std::string max_port;
    bool has_db_root = false, has_base_port = false, has_max_port = false;
    bool force = false;  // overwrite the values of an existing store
};

constexpr const char *kInitUsage = "init --db-root DIR --base-port N [--max-port M] [--force]";

// Fills `opts` from "--name VALUE" and "--name=VALUE" arguments; returns a
// usage message, or an empty text when they are well-formed.
std::string parse_init_options(const Args &args, InitOptions *opts) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        bool has_value = false;
        if (name.rfind("--", 0) != 0) return "unexpected argument " + quoted(name);
        if (name == "--force") {
            opts->force = true;
            continue;
        }
        if (const size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            has_value = true;
        }
        std::string *target = nullptr;
        bool *seen = nullptr;
        if (name == "--db-root") {
            target = &opts->db_root, seen = &opts->has_db_root;
        } else if (name == "--base-port") {
            target = &opts->base_port, seen = &opts->has_base_port;
        } else if (name == "--max-port") {
            target = &opts->max_port, seen = &opts->has_max_port;
        } else {
            return "unknown option " + quoted(name);
        }
        if (*seen) return "option " + name + " given twice";
        if (!has_value) {
            if (i + 1 >= args.size()) return "option " + name + " needs a value";
            value = args[++i];
        }
        *target = value;
        *seen = true;
    }
    if (!opts->has_db_root) return "init needs --db-root";
    if (!opts->has_base_port) return "init needs --base-port";
    return {};
}

// Creates the missing directories above the file `path`; an empty text on
// success, else the failure message.
std::string make_parent_dirs(const std::string &path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
            return "cannot create directory " + quoted(dir) + ": " + std::strerror(errno);
        }
    }
    return {};
}

// Creates DB_ROOT with mode 0750, whatever the umask, and its missing
// parents, when it does not exist; an existing directory keeps its mode.
// *created says which. An empty text on success, else the failure message.
std::string make_db_root(const std::string &dir, bool *created) {
    *created = false;
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) return "DB_ROOT " + quoted(dir) + " is not a directory";
        return {};
    }
    if (std::string problem = make_parent_dirs(dir); !problem.empty()) return problem;
    // Made private first and opened up to 0750 after: never wider on the way.
    if (mkdir(dir.c_str(), 0700) != 0)
        return "cannot create DB_ROOT directory " + quoted(dir) + ": " + std::strerror(errno);
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool ok = fd >= 0 && fchmod(fd, 0750) == 0;
    const int err = errno;
    if (fd >= 0) close(fd);
    if (!ok) return "cannot set the mode of DB_ROOT " + quoted(dir) + ": " + std::strerror(err);
    *created = true;
    return {};
}

// Creates the store file, empty, readable and writable by its owner alone
// (it holds the users' passwords), so that SQLite opens it as it is and makes
// its -wal and -shm files with the same mode. An existing file is left as it
// is. An empty text on success, else the failure message.
std::string make_private_file(const std::string &path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST) return {};
        return "cannot create the configuration store " + quoted(path) + ": " +
               std::strerror(errno);
    }
    const bool ok = fchmod(fd, 0600) == 0;
    const int err = errno;
    close(fd);
    if (!ok) return "cannot set the mode of " + quoted(path) + ": " + std::strerror(err);
    return {};
}

// Warns when the master, run as this user, would refuse `path`.
void warn_if_untrusted(const std::string &path, vnx::TrustKind kind, const char *label) {
    vnx::TrustProblem problem;
    if (vnx::check_trusted_path(path, kind, geteuid(), label, &problem) != vnx::kUntrusted) return;
    print_line(stderr, "vnxadmin: warning: the master will refuse to start: " + problem.problem);
    if (!problem.fix.empty()) print_line(stderr, "hint: " + problem.fix);
}

int run_init(const Args &args) {
    InitOptions opts;
    if (std::string problem = parse_init_options(args, &opts); !problem.empty()) {
        return usage_error(problem, kInitUsage);
    }
    std::string db_root = opts.db_root;
    if (db_root.empty() || db_root[0] != '/') {
        return usage_error("--db-root must be an absolute path, not " + quoted(db_root));
    }
    while (db_root.size() > 1 && db_root.back() == '/')
        db_root.pop_back();
    if (db_root == "/") return usage_error("--db-root must name a directory below \"/\"");

    const long base = parse_port(opts.base_port);
    if (base < 0) {
        return usage_error("--base-port " + quoted(opts.base_port) + " is not a port number",
                           kInitUsage);
    }
    long max = base + 101;
    if (opts.has_max_port) {
        max = parse_port(opts.max_port);
        if (max < 0) {
            return usage_error("--max-port " + quoted(opts.max_port) + " is not a port number",
                               kInitUsage);
        }
        if (max <= base) return usage_error("--max-port must be greater than --base-port");
    } else if (max > 65535) {
        return usage_error("the default --max-port " + std::to_string(max) +
                           " (base port + 101) is not a port number; give --max-port");
    }

    const std::string path = vnx::config_store_path();
    struct stat st;
    if (!opts.force && stat(path.c_str(), &st) == 0) {
        return failure("the configuration store " + quoted(path) + " already exists", {},
                       "nothing was written; give --force to overwrite its DB_ROOT, DB_DQPBASE "
                       "and DB_DQPMAX, or point VNX_REGISTRY at another file");
    }
    bool created_root = false;
    if (std::string problem = make_db_root(db_root, &created_root); !problem.empty())
        return failure(problem, {}, "nothing was written to the configuration store");
    if (std::string problem = make_parent_dirs(path); !problem.empty()) return failure(problem);
    if (std::string problem = make_private_file(path); !problem.empty()) return failure(problem);
    std::string err;
    auto store = ConfigStore::open(path, true, &err);
    if (!store) return failure(err);

    const std::pair<const char *, std::string> values[] = {
        {"DB_ROOT", db_root},
        {"DB_DQPBASE", std::to_string(base)},
        {"DB_DQPMAX", std::to_string(max)},
    };
    for (const auto &[name, data] : values) {
        if (store->set_value(vnx::kRootKey, name, data) != 0) {
            return failure("cannot write " + std::string(name), store->error());
        }
    }
    for (const char *subkey : {"PortServer", "ODBServer", "NetServer"}) {
        if (store->create_key(std::string(vnx::kRootKey) + "\\" + subkey) != 0) {
            return failure("cannot create key " + quoted(subkey), store->error());
        }
    }
    const std::array<std::array<const char *, 3>, 3> defaults = {{
        {"PortServer", "claim_timeout", "60"},
        {"PortServer", "spares", "1"},
        {"ODBServer", "log_max", "100"},
    }};
    for (const auto &[subkey, name, data] : defaults) {
        if (store->set_value(std::string(vnx::kRootKey) + "\\" + subkey, name, data) != 0) {
            return failure("cannot write " + std::string(name), store->error());
        }
    }
    printf("configuration store %s:\n", path.c_str());
    for (const auto &[name, data] : values)
        printf("  %s=%s\n", name, data.c_str());
    for (const auto &[subkey, name, data] : defaults)
        printf("  %s\\%s=%s\n", subkey, name, data);
    if (created_root) printf("created DB_ROOT directory %s (mode 0750)\n", db_root.c_str());
    warn_if_untrusted(path, vnx::TrustKind::kFile, "the configuration store");
    warn_if_untrusted(db_root, vnx::TrustKind::kDirectory, "DB_ROOT");
    return kSuccess;
}

// ---- dispatch ----

int run_reg(const Args &args) {
    return dispatch(kRegCommands, std::size(kRegCommands), "reg", args);
}

const Command kCommands[] = {
    {"init", run_init, 0, SIZE_MAX, kInitUsage,
     "create the store if needed (mode 0600) and DB_ROOT if missing (mode 0750);\n"
     "write DB_ROOT, DB_DQPBASE, DB_DQPMAX (default base port + 101) and the\n"
     "PortServer, ODBServer, NetServer keys"},
    {"reg", run_reg, 0, SIZE_MAX, "reg list|get|set|delete|keys ...", nullptr},
    {"sessions", run_sessions, 0, 1, "sessions [--json]",
     "list the live sessions of users.db and the connection counts, with what\n"
     "each gateway is doing (data source, user, state, statement, rows sent)\n"
     "when the activity board is readable (the master's user and root)"},
    {"stats", run_stats, 0, 15, kStatsUsage,
     "what the port server has done since the master started: sessions,\n"
     "refusals, claim time-outs, spawn failures, spares, port-request wait\n"
     "percentiles, live sessions per client address (asks the port server)"},
    {"kill", run_kill, 1, 1, "kill PORT", "end the gateway serving the live session on PORT"},
    {"reload", run_reload, 0, 0, "reload",
     "make the running master re-read its PortServer and ODBServer settings\n"
     "(as SIGHUP does); sessions keep running"},
    {"settings", run_settings, 0, SIZE_MAX, "settings show|set|reference ...", nullptr},
    {"users", run_users, 0, SIZE_MAX, "users list|add|change|delete ...", nullptr},
    {"groups", run_groups, 0, SIZE_MAX, "groups list|add|change|delete ...", nullptr},
    {"nodes", run_nodes, 0, SIZE_MAX, "nodes list|add|change|delete ...", nullptr},
    {"export", run_export, 0, 1, "export [FILE]",
     "write the configuration to FILE (default VNX.reg in DB_ROOT)"},
    {"import", run_import, 0, 1, "import [FILE]",
     "read an export file (default VNX.reg in DB_ROOT) back into the store;\n"
     "values are checked as \"reg set\" checks them, and a file with any\n"
     "malformed line or refused value is refused whole"},
    {"ping", run_ping, 0, 14, kPingUsage,
     "ask the master's port server whether it answers (\"?Active\") within MS\n"
     "milliseconds (default 1000) and how many live sessions it lists; HOST\n"
     "defaults to 127.0.0.1, PORT to the configured base port. Exit status 0\n"
     "when it answered, 1 (the reason on stderr) when it did not"},
    {"help", vnxadmin::print_help, 0, 0, "help", "print this text (also --help, -h)"},
};

// What vnxadmin takes, from its command tables: its --help and its man
// page (--man).
vnx::ProgramHelp program_help() {
    vnx::ProgramHelp h;
    h.name = "vnxadmin";
    h.man_section = 8;
    h.summary = "administration of the Varnex configuration store and master";
    h.synopsis = {"COMMAND [ARGUMENT]...", "--version | --help"};
    h.description =
        "Reads and writes the configuration store, the users, groups and server nodes,\n"
        "and asks the running master to reload or to end a session. A refused change\n"
        "prints the console's message, exits 1 and writes nothing.\n"
        "\n"
        "KEY is a full key path (\"SOFTWARE\\Tavorin\\VNX\\NetServer\", \"/\" separates\n"
        "too) or a path below the root key " +
        std::string(vnx::kRootKey) + "\n(\"NetServer\"; \"\" is the root key itself).";
    vnx::HelpSection commands{"Commands", {}};
    append_help_entries(kCommands, std::size(kCommands), &commands.entries);
    append_help_entries(kRegCommands, std::size(kRegCommands), &commands.entries);
    append_console_help(&commands.entries);
    h.sections = {
        commands,
        {"Options",
         {{"--version", "print the version and exit"},
          {"--help", "print this text and exit (also -h, help)"}}},
        {"Environment",
         {{"VNX_REGISTRY", "the configuration store file (default /etc/vnx/registry.db)"}}},
        {"Files",
         {{"/etc/vnx/registry.db", "the configuration store, unless VNX_REGISTRY names another"},
          {"DB_ROOT/users.db", "the session registry that sessions and kill read"},
          {"DB_ROOT/db_dqpserver.pid", "the running master, for reload"},
          {"DB_ROOT/VNX.reg", "the default export and import file"}}},
        {"Exit status",
         {{"0", "success (also after --help and --version)"},
          {"1",
           "failure: a missing key or value, a store error, a refused change, a port\n"
           "server that did not answer"},
          {"2", "a usage error, or a value reg set refuses (outside its form)"}}},
    };
    return h;
}

int print_help_text() {
    return vnx::answer_help_argument(program_help(), "--help");
}

}  // namespace

namespace vnxadmin {

int print_help(const Args &) {
    return print_help_text();
}

int dispatch(const Command *table, size_t count, const char *group, const Args &args) {
    const std::string prefix = group ? std::string(group) + " " : std::string();
    if (args.empty()) return usage_error("missing " + prefix + "command");
    const std::string &word = args[0];
    if (word == "--help" || word == "-h") return print_help_text();
    for (size_t i = 0; i < count; ++i) {
        const Command &cmd = table[i];
        if (word != cmd.name) continue;
        const Args rest(args.begin() + 1, args.end());
        if (rest.size() < cmd.min_args || rest.size() > cmd.max_args) {
            return usage_error("wrong number of arguments for " + prefix + word, cmd.arguments);
        }
        return cmd.run(rest);
    }
    return usage_error("unknown " + prefix + "command " + quoted(word));
}

}  // namespace vnxadmin

int main(int argc, char **argv) {
    try {
        const Args args(argv + 1, argv + argc);
        if (args.size() == 1 && args[0] == "--man")
            return vnx::answer_help_argument(program_help(), "--man");
        if (args.size() == 1 && args[0] == "--version") {
            print_line(stdout, vnx::version_line("vnxadmin"));
            return kSuccess;
        }
        return dispatch(kCommands, std::size(kCommands), nullptr, args);
    } catch (...) {
        std::fputs("vnxadmin: out of memory\n", stderr);
        return kFailure;
    }
}
