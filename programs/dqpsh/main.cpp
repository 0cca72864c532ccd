// dqpsh: an SQL shell for Varnex gateways, in the manner of psql.
//
//   dqpsh [-h HOST] [-p BASEPORT] [-d DSN] [-U USER] [--csv] [-c SQL]... [-f FILE]...
//
// It asks the master's port server on HOST:BASEPORT for a gateway (or, with
// --port, connects to a gateway port directly), STARTs it and CONNECTs to the
// data source DSN as USER with the password of $VNXPASSWORD (else asked for on
// the terminal without echo). Statements end with ";" and may span lines;
// lines starting with "\" are shell commands (\? lists them). -c and -f run in
// the order given and stop at the first error with exit status 1; otherwise
// statements come from standard input, with line editing and history on a
// terminal. For the old request shell's habits "active", "start alice",
// "sessions", "stop" and "send TYPE INFO ARG..." still work, as -c texts and
// as lines of standard input or -f (outside a statement, without a ";"), and
// --base-port is another name for -p.
#include <editline/readline.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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
#include "support/version.h"

using dqpsh::Shell;

namespace {

// One -c or -f option, in command-line order.
struct Action {
    bool file;
    std::string text;
};

void usage(FILE *out) {
    fprintf(out,
            "usage: dqpsh [OPTION]...\n"
            "  -h, --host HOST         master host (default 127.0.0.1)\n"
            "  -p, --base-port PORT    master's base port (default DB_DQPBASE of $VNX_REGISTRY)\n"
            "      --port PORT         connect to a gateway port directly\n"
            "      --type NAME         server type to ask for (default odb)\n"
            "  -d DSN                  data source to connect to\n"
            "  -U USER                 user name (default $USER); password from $VNXPASSWORD\n"
            "  -c COMMAND              run an SQL statement or \\command (repeatable)\n"
            "  -f FILE                 run the statements of FILE (repeatable)\n"
            "      --csv               print results as CSV\n"
            "      --tls=MODE          disable, prefer, require, verify-ca, verify-full\n"
            "                          (default $VNX_TLSMODE, else disable)\n"
            "      --tls-ca FILE       CA certificates for verify-ca/-full ($VNX_TLSROOTCERT)\n"
            "      --tls-cert FILE     client certificate ($VNX_TLSCERT)\n"
            "      --tls-key FILE      its key ($VNX_TLSKEY)\n"
            "      --help, -?          this text (also -h with no host after it)\n"
            "      --version           print the version and exit\n"
            "\n"
            "Exit status: 0 when every statement and command succeeded (and always after an\n"
            "interactive session); 1 when one failed, a -f file could not be read, or the\n"
            "session could not start; 2 for a usage error.\n");
}

bool port_value(const char *text, int *port) {
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < 1 || v > 65535) return false;
    *port = static_cast<int>(v);
    return true;
}

enum ParseResult { kRun = 0, kHelp = 1, kVersion = 2, kUsageError = -1 };

// Parses the command line into a ParseResult.
int parse_options(int argc, char **argv, Shell *sh, std::vector<Action> *actions) {
    std::string err;
    if (dqp::tls_options_from_env(&sh->opt.tls, &err) != 0) {
        fprintf(stderr, "dqpsh: %s\n", err.c_str());
        return kUsageError;
    }
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a.rfind("--tls=", 0) == 0) {
            if (!dqp::parse_tls_mode(a.substr(6), &sh->opt.tls.mode)) return kUsageError;
            continue;
        }
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        // -h is the host (as in psql); alone at the end, with no host after
        // it, it asks for help like --help.
        if (a == "--help" || a == "-?" || (a == "-h" && value == nullptr)) return kHelp;
        if (a == "--version") return kVersion;
        if (a == "--csv") {
            sh->opt.csv = true;
            continue;
        }
        if (value == nullptr) return kUsageError;
        i++;
        if (a == "-h" || a == "--host") {
            sh->opt.host = value;
        } else if (a == "-p" || a == "--base-port") {
            if (!port_value(value, &sh->opt.base_port)) return kUsageError;
        } else if (a == "--port") {
            if (!port_value(value, &sh->opt.direct_port)) return kUsageError;
        } else if (a == "--tls") {
            if (!dqp::parse_tls_mode(value, &sh->opt.tls.mode)) return kUsageError;
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
        } else if (a == "-c" || a == "-f") {
            actions->push_back(Action{a == "-f", value});
        } else {
            return kUsageError;
        }
    }
    return kRun;
}

// Runs one unit of input (a statement or a command), timing it on request.
int run_unit(Shell &sh, const std::string &text, bool command) {
    auto t0 = std::chrono::steady_clock::now();
    if (sh.interactive) dqpsh::catch_interrupts(true);
    int rc = command ? dqpsh::run_command(sh, text) : dqpsh::run_sql(sh, text);
    if (sh.interactive) dqpsh::catch_interrupts(false);
    if (sh.timing) {
        std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - t0;
        printf("Time: %.3f ms\n", ms.count());
    }
    fflush(stdout);
    return rc;
}

// Feeds lines to the splitter and runs what completes. Outside a statement, a
// line that starts with "\" is a command, and so is one of the request
// shell's forms ("start alice", "active"), as with -c. stop_on_error: return
// at the first failure. Returns the number of failures.
class Runner {
  public:
    Runner(Shell &sh, bool stop_on_error) : sh_(sh), stop_(stop_on_error) {}
    bool line(const std::string &text) {
        std::string trimmed = dqp::trim(text);
        if (!splitter_.pending() && !trimmed.empty() && trimmed[0] == '\\')
            return count(run_unit(sh_, text, true));
        if (!splitter_.pending() && dqpsh::is_legacy_command(trimmed))
            return count(run_unit(sh_, "\\" + trimmed, true));
        splitter_.feed(text);
        for (std::string st; splitter_.next(&st);)
            if (!count(run_unit(sh_, st, false))) return false;
        return !sh_.quit;
    }
    // End of input: an unfinished statement runs as it is.
    bool finish() {
        std::string rest = splitter_.take_rest();
        return rest.empty() || count(run_unit(sh_, rest, false));
    }
    bool pending() const { return splitter_.pending(); }
    int failures() const { return failures_; }

  private:
    bool count(int rc) {
        if (rc != 0) failures_++;
        return !(rc != 0 && stop_) && !sh_.quit;
    }
    Shell &sh_;
    bool stop_;
    dqp::StatementSplitter splitter_;
    int failures_ = 0;
};

bool run_lines(Runner &r, std::istream &in) {
    for (std::string line; std::getline(in, line);)
        if (!r.line(line)) return false;
    return r.finish();
}

bool run_action(Shell &sh, const Action &a, Runner &r) {
    if (!a.file) {
        if (dqpsh::is_legacy_command(a.text)) return r.line("\\" + a.text);
        std::istringstream in(a.text);
        return run_lines(r, in);
    }
    std::ifstream in(a.text);
    if (!in) {
        fprintf(stderr, "dqpsh: could not open \"%s\"\ndetail: %s\n", a.text.c_str(),
                strerror(errno));
        return false;
    }
    (void)sh;
    return run_lines(r, in);
}

std::string history_path() {
    const char *home = getenv("HOME");
    return home != nullptr ? std::string(home) + "/.dqpsh_history" : std::string();
}

// Interactive input with line editing and history.
int run_terminal(Shell &sh) {
    Runner r(sh, false);
    sh.interactive = true;
    std::string hist = history_path();
    using_history();
    if (!hist.empty()) read_history(hist.c_str());
    std::string name = sh.opt.dsn.empty() ? "dqp" : sh.opt.dsn;
    printf("dqpsh: type \\? for help, \\q to quit.\n");
    for (;;) {
        std::string prompt = name + (r.pending() ? "-> " : "=> ");
        char *line = readline(prompt.c_str());
        if (line == nullptr) break;
        std::string text = line;
        free(line);
        if (!dqp::trim(text).empty()) add_history(text.c_str());
        if (!r.line(text)) break;
    }
    if (!sh.quit) printf("\n");
    if (!hist.empty()) write_history(hist.c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    Shell sh;
    std::vector<Action> actions;
    const char *user = getenv("USER");
    sh.opt.user = user != nullptr && *user != '\0' ? user : "dqpsh";
    const int p = parse_options(argc, argv, &sh, &actions);
    if (p == kVersion) {
        printf("%s\n", vnx::version_line("dqpsh").c_str());
        return 0;
    }
    if (p != kRun) {
        usage(p == kHelp ? stdout : stderr);
        return p == kHelp ? 0 : 2;
    }
    // Read only now: --help and --version never touch the store. -p never
    // leaves 0 (port_value refuses it), so 0 means "not given".
    if (sh.opt.base_port == 0)
        sh.opt.base_port = atoi(vnx::get_registry_value("DB_DQPBASE", vnx::kRootKey).c_str());
    int rc = 0;
    if (!actions.empty()) {
        Runner r(sh, true);
        for (const Action &a : actions)
            if (!run_action(sh, a, r) || sh.quit) break;
        rc = r.failures() == 0 ? 0 : 1;
    } else if (isatty(0)) {
        rc = run_terminal(sh);
    } else {
        Runner r(sh, false);
        run_lines(r, std::cin);
        rc = r.failures() == 0 ? 0 : 1;
    }
    dqpsh::end_session(sh);
    return rc;
}
