// The console's functions on the command line. Each subcommand opens the
// store, calls the console model (console/core) and prints a table or the
// model's message; option words take "--name VALUE" or "--name=VALUE".
#include "programs/vnxadmin/console_commands.h"

#include <signal.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <set>

#include "console/core/accounts.h"
#include "console/core/activity.h"
#include "console/core/nodes.h"
#include "console/core/regfile.h"
#include "console/core/settings.h"
#include "master/gateway_pids.h"
#include "programs/vnxadmin/json_text.h"
#include "support/activity_board.h"
#include "support/settings_catalog.h"

namespace vnxadmin {

namespace {

using namespace vnx::console;
using Options = std::map<std::string, std::string>;
using Table = std::vector<std::vector<std::string>>;

// A refused change or a store failure: the console's message on stderr.
int refused(const ConsoleMessage &msg) {
    return failure(msg.text);
}

// Columns padded to their widest cell, two blanks apart; the heading row
// first.
void print_table(const std::vector<std::string> &headings, const Table &rows) {
    std::vector<size_t> widths;
    for (const std::string &h : headings)
        widths.push_back(h.size());
    for (const auto &row : rows) {
        for (size_t i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    }
    auto print_row = [&](const std::vector<std::string> &cells) {
        std::string line;
        for (size_t i = 0; i < cells.size(); ++i) {
            line += cells[i];
            if (i + 1 < cells.size()) line += std::string(widths[i] - cells[i].size() + 2, ' ');
        }
        print_line(stdout, line);
    };
    print_row(headings);
    for (const auto &row : rows)
        print_row(row);
}

// Splits args into positional words and "--name value" options, allowing
// only the names in `allowed`. Empty text, or the usage problem.
std::string parse_options(const Args &args, const std::set<std::string> &allowed, Args *positional,
                          Options *options) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string word = args[i];
        if (word.rfind("--", 0) != 0 || word == "--") {
            positional->push_back(word);
            continue;
        }
        std::string value;
        bool has_value = false;
        if (const size_t eq = word.find('='); eq != std::string::npos) {
            value = word.substr(eq + 1);
            word.resize(eq);
            has_value = true;
        }
        const std::string name = word.substr(2);
        if (!allowed.count(name)) return "unknown option " + quoted(word);
        if (options->count(name)) return "option " + word + " given twice";
        if (!has_value) {
            if (i + 1 >= args.size()) return "option " + word + " needs a value";
            value = args[++i];
        }
        (*options)[name] = value;
    }
    return {};
}

bool wants_help(const Args &args) {
    return std::any_of(args.begin(), args.end(),
                       [](const std::string &a) { return a == "--help" || a == "-h"; });
}

// Parses `args` for a subcommand taking exactly one positional word.
// Returns -1 when parsed, else the exit status to return.
int one_name_and_options(const Args &args, const std::set<std::string> &allowed, const char *usage,
                         std::string *name, Options *options) {
    if (wants_help(args)) return print_help({});
    Args positional;
    if (std::string problem = parse_options(args, allowed, &positional, options);
        !problem.empty()) {
        return usage_error(problem, usage);
    }
    if (positional.size() != 1) return usage_error("expected one name", usage);
    *name = positional[0];
    return -1;
}

std::string option_or(const Options &options, const char *name, const std::string &fallback) {
    const auto it = options.find(name);
    return it == options.end() ? fallback : it->second;
}

// ---- sessions and kill ----

int read_rows(vnx::ConfigStore &store, std::vector<ActivityRow> *rows) {
    const std::string path = users_db_path(store);
    if (path.empty()) return failure("DB_ROOT is not set in the configuration store");
    if (read_activity(path, rows) != 0) {
        return failure("cannot read the session registry " + quoted(path), {},
                       "the master creates it when it starts");
    }
    return kSuccess;
}

// What a session's gateway is doing, from the activity board; `known` is
// false when the board has no record of that gateway.
struct SessionActivity {
    bool known = false;
    vnx::ActivityRecord record;
};

// The board's record for each row (matched by port and process), or why the
// board cannot be read: it is readable by the master's user and root only.
std::string read_board(vnx::ConfigStore &store, const std::vector<ActivityRow> &rows,
                       std::vector<SessionActivity> *out) {
    out->assign(rows.size(), {});
    std::string err;
    auto board =
        vnx::ActivityBoard::open(store_db_root(store) + "/" + vnx::kActivityBoardName, false, &err);
    if (!board) return err;
    for (size_t i = 0; i < rows.size(); ++i) {
        vnx::ActivityRecord rec;
        const int slot = board->slot_of(rows[i].port);
        if (slot < 0 || board->read(slot, &rec) != 0) continue;
        if (rec.state == static_cast<uint32_t>(vnx::ActivityState::kFree) ||
            rec.pid != row_process(rows[i]) || rec.port != rows[i].port)
            continue;
        (*out)[i] = {true, rec};
    }
    return {};
}

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Milliseconds the record has been in its state (never negative).
int64_t state_ms(const vnx::ActivityRecord &rec) {
    return std::max<int64_t>(0, now_ms() - rec.since_ms);
}

std::string duration_text(int64_t ms) {
    char text[32];
    snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

// A statement on one table line: blanks for line ends and tabs, cut to 60.
std::string one_line(std::string text) {
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    return text.size() > 60 ? text.substr(0, 57) + "..." : text;
}

std::vector<std::string> activity_cells(const SessionActivity &a) {
    if (!a.known) return {"", "", "", "", "", ""};
    const vnx::ActivityRecord &r = a.record;
    return {vnx::activity_text(r.data_source, sizeof r.data_source),
            vnx::activity_text(r.user, sizeof r.user),
            vnx::activity_state_name(r.state),
            duration_text(state_ms(r)),
            std::to_string(r.rows_sent),
            one_line(vnx::activity_text(r.statement, sizeof r.statement))};
}

void print_sessions_text(vnx::ConfigStore &store, const std::vector<ActivityRow> &rows,
                         const std::vector<SessionActivity> &activity,
                         const std::string &board_error) {
    std::vector<std::string> headings;
    for (const ActivityColumn &c : kActivityColumns)
        headings.push_back(c.heading);
    // Without a readable board the table is users.db's alone, as it always was.
    const bool with_activity = board_error.empty();
    if (with_activity)
        for (const char *h : {"Data source", "User", "State", "For", "Rows sent", "Statement"})
            headings.push_back(h);
    Table table;
    for (size_t i = 0; i < rows.size(); ++i) {
        std::vector<std::string> row(rows[i].cells.begin(), rows[i].cells.end());
        if (with_activity)
            for (std::string &cell : activity_cells(activity[i]))
                row.push_back(std::move(cell));
        table.push_back(std::move(row));
    }
    print_table(headings, table);
    print_line(stdout, activity_status_text(store, static_cast<int>(rows.size())));
    if (!board_error.empty())
        print_line(stderr, "vnxadmin: activity not shown: " + board_error +
                               " (only the master's user and root may read it)");
}

std::string session_json(const ActivityRow &row, const SessionActivity &a) {
    static const char *const kNames[kActivityColumnCount] = {
        "connection", "type", "process", "port", "client", "login_time", "gid_uid"};
    std::string out = "{";
    for (size_t c = 0; c < row.cells.size(); ++c)
        out += std::string(c ? ", " : "") + json_string(kNames[c]) + ": " +
               (c == 2 || c == 3 ? json_value(row.cells[c]) : json_string(row.cells[c]));
    if (a.known) {
        const vnx::ActivityRecord &r = a.record;
        out += ", \"data_source\": " +
               json_string(vnx::activity_text(r.data_source, sizeof r.data_source)) +
               ", \"user\": " + json_string(vnx::activity_text(r.user, sizeof r.user)) +
               ", \"state\": " + json_string(vnx::activity_state_name(r.state)) +
               ", \"request\": " + json_string(vnx::activity_text(r.request, sizeof r.request)) +
               ", \"state_ms\": " + std::to_string(state_ms(r)) +
               ", \"rows_sent\": " + std::to_string(r.rows_sent) + ", \"statement\": " +
               json_string(vnx::activity_text(r.statement, sizeof r.statement));
    }
    return out + "}";
}

void print_sessions_json(vnx::ConfigStore &store, const std::vector<ActivityRow> &rows,
                         const std::vector<SessionActivity> &activity,
                         const std::string &board_error) {
    std::string out = "{\"sessions\": [";
    for (size_t i = 0; i < rows.size(); ++i)
        out += std::string(i ? ", " : "") + session_json(rows[i], activity[i]);
    out +=
        "], \"status\": " + json_string(activity_status_text(store, static_cast<int>(rows.size())));
    if (!board_error.empty()) out += ", \"activity_error\": " + json_string(board_error);
    print_line(stdout, out + "}");
}

}  // namespace

int run_sessions(const Args &args) {
    if (!args.empty() && args[0] != "--json")
        return usage_error("unknown option " + quoted(args[0]), "sessions [--json]");
    auto store = open_store();
    if (!store) return kFailure;
    std::vector<ActivityRow> rows;
    if (int rc = read_rows(*store, &rows); rc != kSuccess) return rc;
    std::vector<SessionActivity> activity;
    const std::string board_error = read_board(*store, rows, &activity);
    if (args.empty())
        print_sessions_text(*store, rows, activity, board_error);
    else
        print_sessions_json(*store, rows, activity, board_error);
    return kSuccess;
}

int run_kill(const Args &args) {
    const std::string &port_text = args[0];
    if (!all_digits(port_text) || port_text.size() > 5) {
        return usage_error(quoted(port_text) + " is not a port number", "kill PORT");
    }
    auto store = open_store();
    if (!store) return kFailure;
    std::vector<ActivityRow> rows;
    if (int rc = read_rows(*store, &rows); rc != kSuccess) return rc;
    const long port = std::stol(port_text);
    for (const ActivityRow &row : rows) {
        if (row.port != port) continue;
        ConsoleMessage msg;
        if (kill_gateway(row_process(row), store_db_root(*store), &msg) != 0) return refused(msg);
        print_line(stdout, "Ended the gateway of " + row.cells[0] + " (process " + row.cells[2] +
                               ", port " + row.cells[3] + ").");
        return kSuccess;
    }
    return failure("no live session on port " + port_text);
}

int run_reload(const Args &) {
    auto store = open_store();
    if (!store) return kFailure;
    std::string why;
    pid_t master = vnx::running_master(store_db_root(*store), &why);
    if (master <= 0) return failure("nothing to reload: " + why);
    if (kill(master, SIGHUP) != 0)
        return failure("cannot signal the master (process " + std::to_string(master) +
                           "): " + std::strerror(errno),
                       {}, "run vnxadmin as the master's user or as root");
    print_line(stdout, "Asked the master (process " + std::to_string(master) +
                           ") to reload its settings; its log and standard error say what "
                           "changed.");
    return kSuccess;
}

// ---- settings ----

namespace {

// The stored value of a catalog row, as "settings show --all" prints it:
// the data of the value named exactly so (with what the servers read
// instead when its type refuses it), or "(default)"; a value whose
// name differs only in case is pointed out, since the servers would not
// find it. A row of entries gives their count.
std::string catalog_value(vnx::ConfigStore &store, const vnx::SettingEntry &e) {
    const std::string key = vnx::setting_key_path(e);
    if (e.holds_entries()) {
        // A missing key (-1) holds no entries; a store that fails says so.
        std::vector<std::string> subkeys;
        vnx::ValueList values;
        if (store.list_subkeys(key, &subkeys) == vnx::kStoreFailed ||
            store.list_values(key, &values) == vnx::kStoreFailed)
            return "(cannot read: " + store.error() + ")";
        const bool by_key = std::string(e.unit) == "subkeys";
        const size_t n = by_key ? subkeys.size() : values.size();
        return std::to_string(n) + (by_key ? " subkey" : " value") + (n == 1 ? "" : "s");
    }
    vnx::ValueList values;
    const int rc = store.list_values(key, &values);
    if (rc == vnx::kStoreFailed) return "(cannot read: " + store.error() + ")";
    if (rc != 0) return "(default)";
    std::string other_case;
    for (const auto &[name, data] : values) {
        if (name == e.name) {
            if (data.empty()) return "\"\"";
            std::string why;
            if (vnx::check_setting_text(e, data, nullptr, &why) == 0) return data;
            return quoted(data) + " (refused; read as " + vnx::setting_reading(e, data) + ")";
        }
        if (strcasecmp(name.c_str(), e.name) == 0) other_case = name;
    }
    if (other_case.empty()) return "(default)";
    return "(default; a value " + quoted(other_case) + " differs in case)";
}

int settings_show_all() {
    auto store = open_store();
    if (!store) return kFailure;
    Table table;
    bool unreadable = false;
    for (const vnx::SettingEntry &e : vnx::settings_catalog()) {
        std::string value = catalog_value(*store, e);
        unreadable = unreadable || value.rfind("(cannot read", 0) == 0;
        table.push_back({e.key[0] != '\0' ? e.key : "(root)", e.name, value, e.default_text});
    }
    print_table({"KEY", "NAME", "VALUE", "DEFAULT"}, table);
    if (unreadable) return failure("the configuration store could not be read whole");
    return kSuccess;
}

int settings_reference(const Args &) {
    const std::string text = vnx::settings_reference_markdown();
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kSuccess;
}

int settings_show(const Args &args) {
    if (!args.empty()) {
        if (args[0] != "--all") {
            return usage_error("unknown option " + quoted(args[0]) + " of settings show",
                               "settings show [--all]");
        }
        return settings_show_all();
    }
    auto store = open_store();
    if (!store) return kFailure;
    Settings s;
    ConsoleMessage msg;
    if (load_settings(*store, &s, &msg) != 0) return refused(msg);
    Table table;
    for (int id = 0; id < kSettingCount; ++id) {
        const SettingField &f = kSettingFields[id];
        const std::string where =
            f.subkey[0] ? std::string(f.subkey) + "\\" + f.value_name : std::string(f.value_name);
        table.push_back({f.name, s.text[id], where});
    }
    print_table({"NAME", "VALUE", "STORED AS"}, table);
    return kSuccess;
}

int settings_set(const Args &args) {
    if (args.size() % 2 != 0) {
        return usage_error("settings set takes NAME VALUE pairs", "settings set NAME VALUE ...");
    }
    for (size_t i = 0; i < args.size(); i += 2) {
        if (setting_by_name(args[i]) < 0) {
            return usage_error("unknown setting " + quoted(args[i]) +
                               "; \"vnxadmin settings show\" lists them");
        }
    }
    auto store = open_store();
    if (!store) return kFailure;
    Settings s;
    ConsoleMessage msg;
    if (load_settings(*store, &s, &msg) != 0) return refused(msg);
    for (size_t i = 0; i < args.size(); i += 2)
        s.text[setting_by_name(args[i])] = args[i + 1];
    if (save_settings(*store, s, &msg) != 0) return refused(msg);
    return kSuccess;
}

const Command kSettingsCommands[] = {
    {"show", settings_show, 0, 1, "settings show [--all]",
     "print every setting of the console's Settings page with its NAME;\n"
     "--all: every setting the programs read, its value in the store and its default"},
    {"reference", settings_reference, 0, 0, "settings reference",
     "print every setting the programs read as Markdown (docs/configuration.md)"},
    {"set", settings_set, 2, SIZE_MAX, "settings set NAME VALUE [NAME VALUE ...]",
     "change settings; all of them are checked as the console checks them,\n"
     "and nothing is written when one is refused"},
};

// ---- users ----

constexpr const char *kUserAddUsage =
    "users add NAME [--password-stdin | --password P] --id N --group G";
constexpr const char *kUserChangeUsage =
    "users change NAME [--password-stdin | --password P] [--id N] [--group G]";
constexpr const char *kPasswordStdin = "--password-stdin";

// Takes the word `flag` out of args; true when it was there.
bool take_flag(Args *args, const char *flag) {
    const auto it = std::find(args->begin(), args->end(), flag);
    if (it == args->end()) return false;
    args->erase(it);
    return true;
}

// One line of standard input without its line end; false at its end.
bool read_password_line(std::string *password) {
    password->clear();
    int c = EOF;
    while ((c = getchar()) != EOF && c != '\n')
        password->push_back(static_cast<char>(c));
    const bool got = c == '\n' || !password->empty();
    if (!password->empty() && password->back() == '\r') password->pop_back();
    return got;
}

// Asks for the password on the terminal of standard input, without echo.
bool prompt_password(std::string *password) {
    termios before{};
    if (tcgetattr(STDIN_FILENO, &before) != 0) return false;
    termios quiet = before;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    fputs("Password: ", stderr);
    fflush(stderr);
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) return false;
    const bool got = read_password_line(password);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
    return got;
}

// The password of users add and change: from --password-stdin (one line),
// from --password (with a warning: every user of the machine sees the
// command line), or asked for on a terminal when `ask` and neither is
// given. -1 when done (*given says whether a password came), else the exit
// status.
int user_password(const Options &o, bool from_stdin, bool ask, const char *usage,
                  std::string *password, bool *given) {
    *given = true;
    const auto option = o.find("password");
    if (from_stdin && option != o.end())
        return usage_error("give " + std::string(kPasswordStdin) + " or --password, not both",
                           usage);
    if (from_stdin) {
        if (!read_password_line(password)) return failure("no password on standard input");
        return -1;
    }
    if (option != o.end()) {
        print_line(stderr,
                   "vnxadmin: warning: a password on the command line can be read by every user "
                   "of this machine; use " +
                       std::string(kPasswordStdin) + " or the prompt");
        *password = option->second;
        return -1;
    }
    if (ask && isatty(STDIN_FILENO) == 1) {
        if (!prompt_password(password)) return failure("no password was typed");
        return -1;
    }
    *given = false;
    return -1;
}

int users_list(const Args &) {
    auto store = open_store();
    if (!store) return kFailure;
    std::vector<UserInfo> users;
    ConsoleMessage msg;
    if (load_users(*store, &users, &msg) != 0) return refused(msg);
    Table table;
    for (const UserInfo &u : users)
        table.push_back({u.name, u.user_id, u.group, masked_password(u.password)});
    print_table({"Name", "User ID", "Group name", "Password"}, table);
    return kSuccess;
}

int users_add(const Args &given_args) {
    Args args = given_args;
    const bool from_stdin = take_flag(&args, kPasswordStdin);
    std::string name, password;
    Options o;
    bool has_password = false;
    if (int rc = one_name_and_options(args, {"password", "id", "group"}, kUserAddUsage, &name, &o);
        rc >= 0) {
        return rc;
    }
    if (int rc = user_password(o, from_stdin, true, kUserAddUsage, &password, &has_password);
        rc >= 0)
        return rc;
    auto store = open_store();
    if (!store) return kFailure;
    ConsoleMessage msg;
    const UserInfo user{name, option_or(o, "id", ""), option_or(o, "group", ""), password};
    return add_user(*store, user, &msg) == 0 ? kSuccess : refused(msg);
}

int users_change(const Args &given_args) {
    Args args = given_args;
    const bool from_stdin = take_flag(&args, kPasswordStdin);
    std::string name, password;
    Options o;
    bool has_password = false;
    if (int rc =
            one_name_and_options(args, {"password", "id", "group"}, kUserChangeUsage, &name, &o);
        rc >= 0) {
        return rc;
    }
    // A change that names nothing else asks for a new password.
    if (int rc =
            user_password(o, from_stdin, o.empty(), kUserChangeUsage, &password, &has_password);
        rc >= 0)
        return rc;
    if (has_password) o["password"] = password;
    auto store = open_store();
    if (!store) return kFailure;
    std::vector<UserInfo> users;
    ConsoleMessage msg;
    if (load_users(*store, &users, &msg) != 0) return refused(msg);
    for (const UserInfo &u : users) {
        if (upper(u.name) != upper(name)) continue;
        const UserInfo changed{u.name, option_or(o, "id", u.user_id),
                               option_or(o, "group", u.group),
                               option_or(o, "password", u.password)};
        return change_user(*store, changed, &msg) == 0 ? kSuccess : refused(msg);
    }
    return failure("User name not found.");
}

int users_delete(const Args &args) {
    auto store = open_store();
    if (!store) return kFailure;
    ConsoleMessage msg;
    return delete_user(*store, args[0], &msg) == 0 ? kSuccess : refused(msg);
}

const Command kUsersCommands[] = {
    {"list", users_list, 0, 0, "users list", "print the user accounts"},
    {"add", users_add, 1, 8, kUserAddUsage,
     "add a user account; the password is read from standard input\n"
     "(--password-stdin, one line) or asked for on a terminal"},
    {"change", users_change, 1, 8, kUserChangeUsage,
     "change a user's password, id or group (the name stays); with the\n"
     "name alone, asks for a new password on a terminal"},
    {"delete", users_delete, 1, 1, "users delete NAME", "delete a user account"},
};

// ---- groups ----

constexpr const char *kGroupAddUsage = "groups add NAME --id N";
constexpr const char *kGroupChangeUsage = "groups change NAME [--name NEW] [--id N]";

int groups_list(const Args &) {
    auto store = open_store();
    if (!store) return kFailure;
    std::vector<GroupInfo> groups;
    ConsoleMessage msg;
    if (load_groups(*store, &groups, &msg) != 0) return refused(msg);
    Table table;
    for (const GroupInfo &g : groups)
        table.push_back({g.name, g.id});
    print_table({"Name", "Group ID"}, table);
    return kSuccess;
}

int groups_add(const Args &args) {
    std::string name;
    Options o;
    if (int rc = one_name_and_options(args, {"id"}, kGroupAddUsage, &name, &o); rc >= 0) {
        return rc;
    }
    auto store = open_store();
    if (!store) return kFailure;
    ConsoleMessage msg;
    return add_group(*store, {name, option_or(o, "id", "")}, &msg) == 0 ? kSuccess : refused(msg);
}

int groups_change(const Args &args) {
    std::string name;
    Options o;
    if (int rc = one_name_and_options(args, {"name", "id"}, kGroupChangeUsage, &name, &o);
        rc >= 0) {
        return rc;
    }
    auto store = open_store();
    if (!store) return kFailure;
    std::vector<GroupInfo> groups;
    ConsoleMessage msg;
    if (load_groups(*store, &groups, &msg) != 0) return refused(msg);
    for (const GroupInfo &g : groups) {
        if (upper(g.name) != upper(name)) continue;
        const GroupInfo changed{option_or(o, "name", g.name), option_or(o, "id", g.id)};
        return change_group(*store, g.name, changed, &msg) == 0 ? kSuccess : refused(msg);
    }
    return failure("Group name not found");
}

int groups_delete(const Args &args) {
    auto store = open_store();
    if (!store) return kFailure;
    std::vector<UserInfo> users;
    ConsoleMessage msg;
    if (load_users(*store, &users, &msg) != 0) return refused(msg);
    if (delete_group(*store, args[0], &msg) != 0) return refused(msg);
    const std::vector<std::string> left = users_of_group(users, args[0]);
    if (!left.empty()) {
        std::string names;
        for (const std::string &n : left)
            names += (names.empty() ? "" : ", ") + n;
        print_line(stderr, "vnxadmin: note: these users still name group " + quoted(args[0]) +
                               " and need another group before they can be changed: " + names);
    }
    return kSuccess;
}

const Command kGroupsCommands[] = {
    {"list", groups_list, 0, 0, "groups list", "print the user groups"},
    {"add", groups_add, 1, 3, kGroupAddUsage, "add a group"},
    {"change", groups_change, 1, 5, kGroupChangeUsage, "rename a group or change its id"},
    {"delete", groups_delete, 1, 1, "groups delete NAME",
     "delete a group (users that name it keep it until changed)"},
};

// ---- nodes ----

constexpr const char *kNodeAddUsage = "nodes add SERVER --login L --password P";
constexpr const char *kNodeChangeUsage = "nodes change SERVER [--login L] [--password P]";

int nodes_list(const Args &) {
    auto store = open_store();
    if (!store) return kFailure;
    std::vector<NodeInfo> nodes;
    ConsoleMessage msg;
    if (load_nodes(*store, &nodes, &msg) != 0) return refused(msg);
    Table table;
    for (const NodeInfo &n : nodes)
        table.push_back({n.server, n.login, masked_password(n.password)});
    print_table({"Server", "Login ID", "Password"}, table);
    return kSuccess;
}

int nodes_add(const Args &args) {
    std::string server;
    Options o;
    if (int rc = one_name_and_options(args, {"login", "password"}, kNodeAddUsage, &server, &o);
        rc >= 0) {
        return rc;
    }
    auto store = open_store();
    if (!store) return kFailure;
    ConsoleMessage msg;
    const NodeInfo node{server, option_or(o, "login", ""), option_or(o, "password", "")};
    return register_node(*store, node, &msg) == 0 ? kSuccess : refused(msg);
}

int nodes_change(const Args &args) {
    std::string server;
    Options o;
    if (int rc = one_name_and_options(args, {"login", "password"}, kNodeChangeUsage, &server, &o);
        rc >= 0) {
        return rc;
    }
    auto store = open_store();
    if (!store) return kFailure;
    std::vector<NodeInfo> nodes;
    ConsoleMessage msg;
    if (load_nodes(*store, &nodes, &msg) != 0) return refused(msg);
    for (const NodeInfo &n : nodes) {
        if (upper(n.server) != upper(server)) continue;
        const NodeInfo changed{n.server, option_or(o, "login", n.login),
                               option_or(o, "password", n.password)};
        return modify_node(*store, changed, &msg) == 0 ? kSuccess : refused(msg);
    }
    return failure("Server not found.");
}

int nodes_delete(const Args &args) {
    auto store = open_store();
    if (!store) return kFailure;
    ConsoleMessage msg;
    return remove_node(*store, args[0], &msg) == 0 ? kSuccess : refused(msg);
}

const Command kNodesCommands[] = {
    {"list", nodes_list, 0, 0, "nodes list", "print the registered server nodes"},
    {"add", nodes_add, 1, 5, kNodeAddUsage, "register a server node"},
    {"change", nodes_change, 1, 5, kNodeChangeUsage, "change a node's login id or password"},
    {"delete", nodes_delete, 1, 1, "nodes delete SERVER", "remove a server node"},
};

std::string file_argument(vnx::ConfigStore &store, const Args &args) {
    return args.empty() ? export_path(store) : args[0];
}

}  // namespace

int run_settings(const Args &args) {
    return dispatch(kSettingsCommands, std::size(kSettingsCommands), "settings", args);
}
int run_users(const Args &args) {
    return dispatch(kUsersCommands, std::size(kUsersCommands), "users", args);
}
int run_groups(const Args &args) {
    return dispatch(kGroupsCommands, std::size(kGroupsCommands), "groups", args);
}
int run_nodes(const Args &args) {
    return dispatch(kNodesCommands, std::size(kNodesCommands), "nodes", args);
}

int run_export(const Args &args) {
    auto store = open_store();
    if (!store) return kFailure;
    ConsoleMessage msg;
    const std::string path = file_argument(*store, args);
    if (export_registry(*store, path, &msg) != 0) return refused(msg);
    print_line(stdout, "Exported the configuration to " + quoted(path) + ".");
    return kSuccess;
}

int run_import(const Args &args) {
    auto store = open_store();
    if (!store) return kFailure;
    ConsoleMessage msg;
    const std::string path = file_argument(*store, args);
    if (import_registry(*store, path, &msg) != 0) return refused(msg);
    print_line(stdout, "Imported the configuration from " + quoted(path) + ".");
    return kSuccess;
}

void append_console_help(std::vector<vnx::HelpEntry> *out) {
    append_help_entries(kSettingsCommands, std::size(kSettingsCommands), out);
    append_help_entries(kUsersCommands, std::size(kUsersCommands), out);
    append_help_entries(kGroupsCommands, std::size(kGroupsCommands), out);
    append_help_entries(kNodesCommands, std::size(kNodesCommands), out);
}

}  // namespace vnxadmin
