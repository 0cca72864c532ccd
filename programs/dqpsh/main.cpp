// dqpsh: an SQL shell for Varnex gateways, in the manner of psql.
//
//   dqpsh [-h HOST] [-p BASEPORT] [-d DSN] [-U USER] [--csv] [-c SQL]... [-f FILE]...
//
// It asks the master's port server on HOST:BASEPORT for a gateway (or, with
// --gateway-port, connects to a gateway port directly), STARTs it and CONNECTs
// to the data source DSN as USER with the password of $VNXPASSWORD (else asked
// for on the terminal without echo). Statements end with ";" and may span
// lines; lines starting with "\" are shell commands (\? lists them). -c and
// -f run in the order given. As in psql, a -c text stops at its first error,
// a -f file and standard input go on after one, ON_ERROR_STOP stops at the
// first error anywhere, and the exit status is that of the last -c or -f:
// 0, 1 (a failed -c, a file that cannot be read), 2 (the gateway or the data
// source could not be reached or was lost) or 3 (a script stopped by
// ON_ERROR_STOP). For the old request shell's habits "active", "start alice",
// "sessions", "stop" and "send TYPE INFO ARG..." still work, as -c texts and
// as lines of standard input or -f (outside a statement, without a ";"), and
// --base-port is another name for -p.
#include <editline/readline.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "client/sql_script.h"
#include "programs/dqpsh/shell.h"
#include "support/config_cache.h"
#include "support/program_help.h"
#include "support/version.h"

using dqpsh::Shell;

namespace {

// One -c or -f option, in command-line order.
struct Action {
    bool file;
    std::string text;
};

// What dqpsh takes: its --help and its man page (--man).
vnx::ProgramHelp program_help() {
    vnx::ProgramHelp h;
    h.name = "dqpsh";
    h.man_section = 1;
    h.summary = "the Varnex SQL shell";
    h.synopsis = {"[OPTION]...", "--version | --help"};
    h.description =
        "Asks the master's port server on HOST for a gateway (or, with --gateway-port,\n"
        "connects to a gateway port directly), starts a session as USER and connects to\n"
        "the data source DSN. Statements end with \";\" and may span lines; results print as\n"
        "aligned tables (or CSV); lines starting with \"\\\" are shell commands (\\? lists\n"
        "them). -c and -f run in the order given: a -c text stops at its first error, a\n"
        "file goes on after one (unless ON_ERROR_STOP is set); without them statements\n"
        "come from standard input, with line editing and history on a terminal.\n"
        "On a terminal Ctrl-C cancels the running statement and keeps the session.";
    h.sections = {
        {"Options",
         {{"-h, --host HOST", "master host (default 127.0.0.1)"},
          {"-p, --port PORT",
           "master's base port (default DB_DQPBASE of the store); --base-port too"},
          {"--gateway-port PORT", "connect to a gateway port directly"},
          {"--type NAME", "server type to ask for (default odb)"},
          {"-d DSN", "data source to connect to"},
          {"-U USER", "user name (default $USER)"},
          {"-c COMMAND", "run an SQL statement or \\command (repeatable)"},
          {"-f FILE", "run the statements of FILE (repeatable)"},
          {"--csv", "print results as CSV"},
          {"-A", "unaligned output (values separated by -F, default |)"},
          {"-F SEP", "field separator of unaligned output"},
          {"-t", "rows only: no headings, no row count"},
          {"-x", "expanded output (one block per row)"},
          {"-v NAME=VALUE", "set a variable (AUTOCOMMIT=off, ON_ERROR_STOP=1)"},
          {"--tls=MODE",
           "disable, prefer, require, verify-ca or verify-full (default $VNX_TLSMODE,\n"
           "else disable)"},
          {"--tls-ca FILE", "CA certificates for verify-ca and verify-full ($VNX_TLSROOTCERT)"},
          {"--tls-cert FILE", "client certificate ($VNX_TLSCERT)"},
          {"--tls-key FILE", "its key ($VNX_TLSKEY)"},
          {"--help, -?", "print this text and exit (also -h with no host after it)"},
          {"--version", "print the version and exit"}}},
        {"Environment",
         {{"VNXPASSWORD", "the password (else asked for on the terminal without echo)"},
          {"USER", "the default user name"},
          {"VNX_REGISTRY",
           "the configuration store the default base port is read from\n"
           "(default /etc/vnx/registry.db)"},
          {"VNX_TLSMODE, VNX_TLSROOTCERT, VNX_TLSCERT, VNX_TLSKEY",
           "defaults of --tls, --tls-ca, --tls-cert and --tls-key"},
          {"HOME", "where the history file is kept"}}},
        {"Files", {{"~/.dqpsh_history", "the interactive session's line history"}}},
        {"Exit status",
         {{"0",
           "the last -c or -f ran to its end (a file that went on after an error\n"
           "counts), standard input was read to its end, or after --help and --version"},
          {"1",
           "the last -c failed, a -f file could not be read, a bad option, or -c/-f\n"
           "left a transaction uncommitted"},
          {"2",
           "no gateway or data source could be reached, or the connection to the\n"
           "gateway was lost"},
          {"3", "a script stopped at an error because ON_ERROR_STOP is set"}}},
    };
    return h;
}

bool port_value(const char *text, int *port) {
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < 1 || v > 65535) return false;
    *port = static_cast<int>(v);
    return true;
}

enum ParseResult { kRun = 0, kHelp = 1, kVersion = 2, kManual = 3, kUsageError = -1 };

// A bad command line: one line naming the fault, one pointing at --help, as
// psql does. Always kUsageError.
int usage_error(const std::string &what) {
    fprintf(stderr, "dqpsh: %s\nTry \"dqpsh --help\" for more information.\n", what.c_str());
    return kUsageError;
}

// psql's words for an option it does not know: "-X" by its letter, a long
// option whole.
int unknown_option(const std::string &a) {
    if (a.size() >= 2 && a[0] == '-' && a[1] != '-')
        return usage_error("invalid option -- '" + a.substr(1, 1) + "'");
    return usage_error("unrecognized option '" + a + "'");
}

// Options that take a value; parse_options dispatches on them.
constexpr const char *kValueOptions[] = {
    "-h",    "--host",   "-p",         "--port",    "--base-port", "--gateway-port",
    "--tls", "--tls-ca", "--tls-cert", "--tls-key", "--type",      "-d",
    "-U",    "-F",       "-v",         "--set",     "-c",          "-f"};

bool takes_value(const std::string &a) {
    for (const char *o : kValueOptions)
        if (a == o) return true;
    return false;
}

// Parses the command line into a ParseResult.
using Vars = std::vector<std::pair<std::string, std::string>>;

int set_value_option(const std::string &a, const char *value, Shell *sh,
                     std::vector<Action> *actions, Vars *vars) {
    if (a == "-h" || a == "--host") {
        sh->opt.host = value;
    } else if (a == "-p" || a == "--port" || a == "--base-port") {
        if (!port_value(value, &sh->opt.base_port))
            return usage_error("invalid port \"" + std::string(value) + "\"");
    } else if (a == "--gateway-port") {
        if (!port_value(value, &sh->opt.direct_port))
            return usage_error("invalid port \"" + std::string(value) + "\"");
    } else if (a == "--tls") {
        if (!dqp::parse_tls_mode(value, &sh->opt.tls.mode))
            return usage_error("invalid TLS mode \"" + std::string(value) + "\"");
    } else if (a == "--tls-ca") {
        sh->opt.tls.ca_file = value;
    } else if (a == "--tls-cert") {
        sh->opt.tls.cert_file = value;
    } else if (a == "--tls-key") {
        sh->opt.tls.key_file = value;
    } else if (a == "--type") {
        sh->opt.type = value;
    } else if (a == "-d") {
        sh->opt.dsn = value;
    } else if (a == "-U") {
        sh->opt.user = value;
    } else if (a == "-F") {
        sh->print.field_sep = value;
    } else if (a == "-v" || a == "--set") {
        std::string v = value;
        size_t eq = v.find('=');
        if (eq == 0 || eq == std::string::npos)
            return usage_error("-v takes NAME=VALUE, not \"" + v + "\"");
        vars->emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else {
        actions->push_back(Action{a == "-f", value});
    }
    return kRun;
}

int parse_options(int argc, char **argv, Shell *sh, std::vector<Action> *actions, Vars *vars) {
    std::string err;
    if (dqp::tls_options_from_env(&sh->opt.tls, &err) != 0) return usage_error(err);
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a.rfind("--tls=", 0) == 0) {
            if (!dqp::parse_tls_mode(a.substr(6), &sh->opt.tls.mode))
                return usage_error("invalid TLS mode \"" + a.substr(6) + "\"");
            continue;
        }
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        // -h is the host (as in psql); alone at the end, with no host after
        // it, it asks for help like --help.
        if (a == "--help" || a == "-?" || (a == "-h" && value == nullptr)) return kHelp;
        if (a == "--version") return kVersion;
        if (a == "--man") return kManual;
        if (a == "--csv" || a == "-A" || a == "-t" || a == "-x") {
            if (a == "--csv") sh->print.format = dqp::OutputFormat::csv;
            if (a == "-A") sh->print.format = dqp::OutputFormat::unaligned;
            if (a == "-t") sh->print.tuples_only = true;
            if (a == "-x") sh->print.expanded = true;
            continue;
        }
        if (!takes_value(a)) return unknown_option(a);
        if (value == nullptr) {
            if (a.rfind("--", 0) == 0)
                return usage_error("option '" + a + "' requires an argument");
            return usage_error("option requires an argument -- '" + a.substr(1) + "'");
        }
        i++;
        if (set_value_option(a, value, sh, actions, vars) != kRun) return kUsageError;
    }
    return kRun;
}

// Runs one unit of input (a statement or a command).
int run_unit(Shell &sh, const std::string &text, bool command) {
    if (sh.interactive) dqpsh::catch_interrupts(true);
    int rc = command ? dqpsh::run_command(sh, text) : dqpsh::run_sql(sh, text);
    if (sh.interactive) dqpsh::catch_interrupts(false);
    fflush(stdout);
    return rc;
}

// The command word of a command line (without its backslash).
std::string command_name(const std::string &text) {
    size_t end = text.find_first_of(" \t");
    return text.substr(0, end);
}

bool is_conditional(const std::string &name) {
    return name == "if" || name == "elif" || name == "else" || name == "endif";
}

// One \if ... \endif block being read.
struct Branch {
    bool outer_active;  // the block itself is in a branch being run
    bool taken;         // a branch of the block ran or runs
    bool now;           // the current branch runs
    bool in_else;
};

// Feeds lines to the splitter and runs what completes. Outside a statement, a
// line that starts with "\" is a command, and so is one of the request
// shell's forms ("start alice", "active"), as with -c. A backslash outside
// quotes later on a line also starts a command ("SELECT 1 \g"). Variables
// (:NAME, :'NAME', :"NAME") are replaced in statements and commands, and
// \if blocks skip the lines of branches not taken. stop_on_error: return at
// the first failure. Counts the failures.
class Runner {
  public:
    Runner(Shell &sh, bool stop_on_error, std::string source = {})
        : sh_(sh),
          stop_(stop_on_error),
          source_(std::move(source)),
          vars_(dqpsh::variable_lookup(sh)) {}
    bool line(const std::string &text) {
        line_no_++;
        // Errors of a file's statements name the file and the line that
        // ended the statement, as psql's "psql:FILE:LINE: ERROR:  ...".
        if (!source_.empty())
            sh_.where = "dqpsh:" + source_ + ":" + std::to_string(line_no_) + ": ";
        std::string trimmed = dqp::trim(text);
        if (!active()) {
            // Inside a branch not taken only the block's own commands count.
            if (trimmed.size() > 1 && trimmed[0] == '\\' &&
                is_conditional(command_name(trimmed.substr(1))))
                return command(trimmed.substr(1));
            return true;
        }
        if (!splitter_.pending() && dqpsh::is_legacy_command(trimmed))
            return count(run_unit(sh_, "\\" + trimmed, true));
        size_t cmd = splitter_.feed(text, vars_);
        for (std::string st; splitter_.next(&st);)
            if (!count(run_unit(sh_, st, false))) return false;
        if (cmd == std::string::npos) return !sh_.quit;
        return command(text.substr(cmd + 1));
    }
    ~Runner() {
        if (!source_.empty()) sh_.where.clear();
    }
    Runner(const Runner &) = delete;
    Runner &operator=(const Runner &) = delete;
    // End of input: an unfinished statement runs as it is.
    bool finish() {
        if (!branches_.empty()) {
            fprintf(stderr, "%sreached the end of input without finding closing \\endif\n",
                    sh_.where.empty() ? "dqpsh: " : sh_.where.c_str());
            branches_.clear();
            splitter_.take_rest();
            return count(-1);
        }
        std::string rest = splitter_.take_rest();
        return rest.empty() || count(run_unit(sh_, rest, false));
    }
    bool pending() const { return splitter_.pending(); }
    int failures() const { return failures_; }
    // True when an error (or a lost gateway) ended the input early.
    bool stopped() const { return stopped_; }

  private:
    bool active() const { return branches_.empty() || branches_.back().now; }

    // A command line (without its backslash). \g, \gset and \watch take
    // the statement typed so far.
    bool command(const std::string &raw) {
        std::string text = dqp::trim(raw);
        std::string name = command_name(text);
        if (is_conditional(name)) return count(conditional(name, text));
        if (name == "g" || name == "gset" || name == "watch")
            sh_.query_buffer = splitter_.take_rest();
        return count(run_unit(sh_, "\\" + text, true));
    }

    // psql's boolean of an \if or \elif; an unreadable one counts as false.
    int condition(const std::string &text, bool *value) {
        dqpsh::Words w;
        std::string why;
        *value = false;
        if (dqp::split_words(text, &w, &why, vars_) != 0 || w.size() < 2) {
            fprintf(stderr, "dqpsh: \\%s: missing expression\n", w.empty() ? "if" : w[0].c_str());
            return -1;
        }
        if (dqpsh::parse_bool(w[1], value) == 0) return 0;
        fprintf(stderr,
                "dqpsh: unrecognized value \"%s\" for \"\\%s expression\": Boolean expected\n",
                w[1].c_str(), w[0].c_str());
        return -1;
    }

    int conditional(const std::string &name, const std::string &text) {
        bool value = false;
        if (name == "if") {
            bool outer = active();
            int rc = outer ? condition(text, &value) : 0;
            branches_.push_back(Branch{outer, value, outer && value, false});
            return rc;
        }
        if (branches_.empty()) {
            fprintf(stderr, "dqpsh: \\%s: no matching \\if\n", name.c_str());
            return -1;
        }
        Branch &b = branches_.back();
        if (name == "endif") {
            branches_.pop_back();
            return 0;
        }
        if (b.in_else) {
            fprintf(stderr, "dqpsh: \\%s: cannot occur after \\else\n", name.c_str());
            return -1;
        }
        int rc = 0;
        if (name == "elif") {
            if (b.outer_active && !b.taken) rc = condition(text, &value);
        } else {
            value = true;
            b.in_else = true;
        }
        b.now = b.outer_active && !b.taken && value;
        b.taken = b.taken || b.now;
        return rc;
    }

    bool count(int rc) {
        if (rc != 0) failures_++;
        // A script cannot go on without its gateway (psql ends too); a
        // terminal user gets a new one with the next statement.
        if (sh_.conn_failed && !sh_.interactive) return stop();
        // A -c text stops at its first error; ON_ERROR_STOP stops anything.
        if (rc != 0 && (stop_ || dqpsh::bool_variable(sh_, "ON_ERROR_STOP", false))) return stop();
        return !sh_.quit;
    }
    bool stop() {
        stopped_ = true;
        return false;
    }
    Shell &sh_;
    bool stop_;
    std::string source_;
    int line_no_ = 0;
    dqp::StatementSplitter splitter_;
    dqp::VarLookup vars_;
    std::vector<Branch> branches_;
    int failures_ = 0;
    bool stopped_ = false;
};

// psql's exit statuses.
constexpr int kExitFailure = 1;  // a failed -c, an unreadable file, a bad option
constexpr int kExitBadConn = 2;  // no gateway or data source, or the gateway was lost
constexpr int kExitUser = 3;     // ON_ERROR_STOP stopped a script

// Files nested by \i deeper than this are refused (a file that reads itself).
constexpr int kMaxFileDepth = 16;

// Runs the lines of `in`, which is also where \copy ... FROM stdin reads
// unless `data` names another source (a -c text's data comes from standard
// input, as in psql).
bool run_lines(Shell &sh, Runner &r, std::istream &in, std::istream *data = nullptr) {
    std::istream *outer = sh.input;
    sh.input = data != nullptr ? data : &in;
    bool ok = true;
    for (std::string line; ok && std::getline(in, line);)
        ok = r.line(line);
    sh.input = outer;
    return ok && r.finish();
}

// Runs one -c or -f; its exit status.
int run_action(Shell &sh, const Action &a) {
    if (a.file) return dqpsh::run_file(sh, a.text);
    Runner r(sh, true);
    if (dqpsh::is_legacy_command(a.text)) {
        r.line("\\" + a.text);
    } else {
        std::istringstream in(a.text);
        run_lines(sh, r, in, &std::cin);
    }
    if (sh.conn_failed) return kExitBadConn;
    return r.failures() == 0 ? 0 : kExitFailure;
}

std::string history_path() {
    const char *home = getenv("HOME");
    return home != nullptr ? std::string(home) + "/.dqpsh_history" : std::string();
}

// Interactive input with line editing and history.
int run_terminal(Shell &sh) {
    Runner r(sh, false);
    sh.interactive = true;
    // The line editor reads multibyte input only in the user's locale (in
    // the "C" locale "Ünïcødé €" loses every non-ASCII byte). Numbers keep
    // the "C" form: values are texts of the wire, never locale numbers.
    setlocale(LC_ALL, "");
    setlocale(LC_NUMERIC, "C");
    // Prompts and the echo stay on the terminal when \o sends output elsewhere.
    int tty_fd = dup(1);
    FILE *tty = tty_fd >= 0 ? fdopen(tty_fd, "w") : nullptr;
    if (tty != nullptr) rl_outstream = tty;
    // Like psql: connect (and ask for the password) before the first prompt.
    if (!sh.opt.dsn.empty() && dqpsh::need_session(sh) != 0) return kExitBadConn;
    std::string hist = history_path();
    using_history();
    if (!hist.empty()) read_history(hist.c_str());
    std::string name = sh.opt.dsn.empty() ? "dqp" : sh.opt.dsn;
    printf("dqpsh: type \\? for help, \\q to quit.\n");
    sh.input = &std::cin;  // \copy ... FROM stdin reads the terminal
    std::string entry;
    for (;;) {
        // psql's prompt: "=" or "-" (statement continues), "*" inside a
        // transaction that holds uncommitted work.
        std::string prompt =
            name + (r.pending() ? "-" : "=") + (dqpsh::open_transaction(sh) ? "*" : "") + "> ";
        char *line = readline(prompt.c_str());
        if (line == nullptr) break;
        std::string text = line;
        free(line);
        // A statement over several lines is one history entry, as in psql.
        if (!dqp::trim(text).empty()) entry += (entry.empty() ? "" : "\n") + text;
        bool go_on = r.line(text);
        if (!r.pending() && !entry.empty()) {
            add_history(entry.c_str());
            entry.clear();
        }
        if (!go_on) break;
    }
    if (!sh.quit) printf("\n");
    if (!hist.empty()) write_history(hist.c_str());
    rl_outstream = stdout;
    if (tty != nullptr) fclose(tty);
    return 0;
}

}  // namespace

int dqpsh::run_file(Shell &sh, const std::string &path) {
    if (sh.file_depth >= kMaxFileDepth) {
        fprintf(stderr, "dqpsh: \"%s\": files nested more than %d deep\n", path.c_str(),
                kMaxFileDepth);
        return kExitFailure;
    }
    std::ifstream in(path);
    if (!in) {
        fprintf(stderr, "dqpsh: could not open \"%s\"\ndetail: %s\n", path.c_str(),
                strerror(errno));
        return kExitFailure;
    }
    std::string outer = sh.where;
    sh.file_depth++;
    bool stopped = false;
    {
        Runner r(sh, false, path);
        run_lines(sh, r, in);
        stopped = r.stopped();
    }
    sh.file_depth--;
    sh.where = outer;
    if (sh.conn_failed) return kExitBadConn;
    return stopped ? kExitUser : 0;
}

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    // Column widths count characters as the user's locale shows them.
    setlocale(LC_CTYPE, "");
    // Results go out in large writes: a full buffer instead of a line at a
    // time when standard output is no terminal.
    if (!isatty(1)) setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    Shell sh;
    std::vector<Action> actions;
    const char *user = getenv("USER");
    sh.opt.user = user != nullptr && *user != '\0' ? user : "dqpsh";
    Vars vars;
    const int p = parse_options(argc, argv, &sh, &actions, &vars);
    if (p == kVersion) {
        printf("%s\n", vnx::version_line("dqpsh").c_str());
        return 0;
    }
    if (p == kHelp || p == kManual)
        return vnx::answer_help_argument(program_help(), p == kHelp ? "--help" : "--man");
    if (p != kRun) return kExitFailure;
    // Read only now: --help and --version never touch the store. -p never
    // leaves 0 (port_value refuses it), so 0 means "not given".
    if (sh.opt.base_port == 0)
        sh.opt.base_port = atoi(vnx::get_registry_value("DB_DQPBASE", vnx::kRootKey).c_str());
    for (const auto &[name, value] : vars)
        if (dqpsh::set_variable(sh, name, value) != 0) return kExitFailure;
    int rc = 0;
    if (!actions.empty()) {
        // The status is the last action's, as in psql; ON_ERROR_STOP stops
        // at the first that fails.
        for (const Action &a : actions) {
            rc = run_action(sh, a);
            if (sh.quit || rc == kExitBadConn) break;
            if (rc != 0 && dqpsh::bool_variable(sh, "ON_ERROR_STOP", false)) break;
        }
        // A script that leaves work uncommitted did not do what it says.
        if (dqpsh::warn_uncommitted(sh) && rc == 0) rc = kExitFailure;
    } else if (isatty(0)) {
        rc = run_terminal(sh);
        dqpsh::warn_uncommitted(sh);
    } else {
        Runner r(sh, false);
        run_lines(sh, r, std::cin);
        rc = sh.conn_failed ? kExitBadConn : r.stopped() ? kExitUser : 0;
        dqpsh::warn_uncommitted(sh);
    }
    dqpsh::end_session(sh);
    return rc;
}
