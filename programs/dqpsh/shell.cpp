// dqpsh's session and SQL statements. See shell.h.
#include "programs/dqpsh/shell.h"

#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "client/port_query.h"
#include "client/result_format.h"

namespace dqpsh {

namespace {
volatile sig_atomic_t g_interrupted = 0;
// The gateway connection whose statement Ctrl-C cancels; null while no
// statement waits for its answer.
std::atomic<dqp::Connection *> g_cancel_target{nullptr};

void on_sigint(int) {
    g_interrupted = 1;
    if (dqp::Connection *c = g_cancel_target.load()) c->cancel();
}

// While it lives, Ctrl-C also asks the gateway to cancel what it runs.
struct CancelOnInterrupt {
    explicit CancelOnInterrupt(Shell &sh) {
        if (sh.interactive) g_cancel_target.store(sh.gateway.get());
    }
    ~CancelOnInterrupt() { g_cancel_target.store(nullptr); }
    CancelOnInterrupt(const CancelOnInterrupt &) = delete;
    CancelOnInterrupt &operator=(const CancelOnInterrupt &) = delete;
};
}  // namespace

void catch_interrupts(bool on) {
    struct sigaction sa {};
    sa.sa_handler = on ? on_sigint : SIG_DFL;
    sa.sa_flags = SA_RESTART;  // a receive from the gateway goes on
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    g_interrupted = 0;
}

bool interrupted() {
    return g_interrupted != 0;
}

void drop_gateway(Shell &sh) {
    sh.rec.reset();
    sh.sql.reset();
    sh.gateway.reset();
    sh.started = false;
    sh.aliases.clear();
}

namespace {

std::string upper(std::string s) {
    for (char &c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// Reads a password from the terminal without echo; empty without a terminal.
std::string prompt_password(const std::string &user) {
    FILE *tty = fopen("/dev/tty", "r+e");
    if (tty == nullptr) return "";
    fprintf(tty, "Password for user %s: ", user.c_str());
    fflush(tty);
    termios old{}, quiet{};
    bool restore = tcgetattr(fileno(tty), &old) == 0;
    if (restore) {
        quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fileno(tty), TCSAFLUSH, &quiet);
    }
    char buf[512] = "";
    if (fgets(buf, sizeof buf, tty) == nullptr) buf[0] = '\0';
    if (restore) tcsetattr(fileno(tty), TCSAFLUSH, &old);
    fprintf(tty, "\n");
    fclose(tty);
    std::string pw = buf;
    while (!pw.empty() && (pw.back() == '\n' || pw.back() == '\r'))
        pw.pop_back();
    return pw;
}

const std::string &password(Shell &sh) {
    if (!sh.have_password) {
        const char *env = getenv("VNXPASSWORD");
        sh.password = env != nullptr ? env : prompt_password(sh.opt.user);
        sh.have_password = true;
    }
    return sh.password;
}

void write_out(std::string_view s) {
    fwrite(s.data(), 1, s.size(), stdout);
}

bool is_word(const std::string &stmt, const char *word) {
    return upper(stmt) == word;
}

}  // namespace

void report_failure(Shell &sh, const std::string &what) {
    dqp::SqlClient &sql = *sh.sql;
    if (sql.failure() == dqp::Failure::refused && sql.usable()) {
        std::string reason = sql.error(), text;
        if (sql.maperror(&text) == 0 && !text.empty())
            fprintf(stderr, "ERROR:  %s\n", text.c_str());
        else
            fprintf(stderr, "ERROR:  %s\n", reason.c_str());
    } else {
        fprintf(stderr, "dqpsh: %s: %s\n", what.c_str(), sql.error().c_str());
    }
    // A gateway that broke the protocol or went away (also while MAPERROR
    // was asked) is dropped; the next command asks for a new one.
    if (!sql.usable()) {
        fprintf(stderr, "hint: the connection to the gateway was closed\n");
        drop_gateway(sh);
    }
}

int need_gateway(Shell &sh) {
    if (sh.gateway != nullptr) return 0;
    std::string err;
    int port = sh.opt.direct_port;
    dqp::ConnectOptions options;
    options.tls = sh.opt.tls;
    // Queries may run long: replies are awaited without a time limit, as a
    // terminal user can always interrupt.
    options.timeout_ms = 0;
    if (port == 0) {
        if (sh.opt.base_port == 0) {
            fprintf(stderr, "dqpsh: no base port\nhint: give -p PORT or set DB_DQPBASE\n");
            return -1;
        }
        bool encrypted = false;
        if (dqp::request_server(sh.opt.host, sh.opt.base_port, sh.opt.type, &port, &err, 120000,
                                &sh.opt.tls, &encrypted) != 0) {
            fprintf(stderr, "dqpsh: no gateway\ndetail: %s\n", err.c_str());
            return -1;
        }
        // The gateway serves one connection: "prefer" does there what the
        // base port did rather than spend it on a refused TLS attempt.
        if (options.tls.mode == dqp::TlsMode::Prefer)
            options.tls.mode = encrypted ? dqp::TlsMode::Require : dqp::TlsMode::Disable;
    }
    sh.gateway = dqp::Connection::open(sh.opt.host, port, options, &err);
    if (sh.gateway == nullptr) {
        fprintf(stderr, "dqpsh: could not connect to the gateway on port %d\ndetail: %s\n", port,
                err.c_str());
        return -1;
    }
    sh.sql = std::make_unique<dqp::SqlClient>(*sh.gateway);
    sh.rec = std::make_unique<dqp::RecordClient>(*sh.sql);
    return 0;
}

int need_start(Shell &sh) {
    if (need_gateway(sh) != 0) return -1;
    if (sh.started) return 0;
    // START carries the password too: a gateway that requires a login
    // checks it against the console's users (one that does not ignores it).
    if (sh.sql->start(sh.opt.user, password(sh)) != 0) {
        report_failure(sh, "START");
        return -1;
    }
    sh.started = true;
    return 0;
}

int need_session(Shell &sh) {
    if (sh.sql != nullptr && sh.sql->connected()) return 0;
    if (sh.opt.dsn.empty()) {
        fprintf(stderr,
                "dqpsh: not connected to a data source\n"
                "hint: give -d DSN, or type \\connect DSN\n");
        return -1;
    }
    if (need_start(sh) != 0) return -1;
    if (sh.sql->connect(sh.opt.dsn, sh.opt.user, password(sh)) != 0) {
        report_failure(sh, "CONNECT");
        return -1;
    }
    return 0;
}

void end_session(Shell &sh) {
    if (sh.sql == nullptr || !sh.sql->usable()) return drop_gateway(sh);
    if (sh.sql->connected()) sh.sql->disconnect();
    if (sh.sql->usable()) sh.sql->stop();
    drop_gateway(sh);
}

// Runs a statement and streams the rows of a query to standard output; the
// field list gives the headings even when the result is empty. The gateway
// releases the cursor after its last row. On a terminal, Ctrl-C cancels the
// statement in the gateway: before the first row the statement's error is
// printed, later the printing stops (the rest of the result, if the gateway
// sends one, is read and dropped).
static int print_statement(Shell &sh, const std::string &statement) {
    dqp::ResultPrinter printer(write_out, sh.opt.csv);
    dqp::ExecResult res;
    bool printing = false;
    int rc = 0;
    {
        CancelOnInterrupt cancel(sh);
        rc = sh.sql->query(
            statement, &res,
            [&](const std::vector<dqp::FieldDesc> &f) {
                printer.set_fields(f);
                return 0;
            },
            [&](const std::vector<dqp::FieldDesc> &f) { return printer.on_header(f); },
            [&](dqp::Row &&row) {
                if (interrupted()) return 1;
                printing = true;
                return printer.on_row(std::move(row));
            });
    }
    // A statement the gateway cancelled answers NOK: its error is printed
    // below. Otherwise Ctrl-C stopped the printing.
    bool refused = sh.sql != nullptr && sh.sql->failure() == dqp::Failure::refused;
    if (rc != 0 && interrupted() && (printing || !refused) && sh.sql != nullptr &&
        sh.sql->usable()) {
        fflush(stdout);
        fprintf(stderr, "Cancel request: the remaining rows were read and dropped.\n");
        return -1;
    }
    if (rc != 0) {
        fflush(stdout);
        report_failure(sh, res.has_cursor ? "FETCHMANY" : "EXECSQL");
        return -1;
    }
    if (res.has_cursor)
        printer.finish();
    else if (!sh.opt.csv)
        printf("OK\n");
    return 0;
}

int run_sql(Shell &sh, const std::string &statement) {
    if (need_session(sh) != 0) return -1;
    // COMMIT and ROLLBACK end the gateway's own transaction.
    if (is_word(statement, "COMMIT") || is_word(statement, "ROLLBACK")) {
        bool commit = is_word(statement, "COMMIT");
        if ((commit ? sh.sql->commit() : sh.sql->rollback()) != 0) {
            report_failure(sh, commit ? "COMMIT" : "ROLLBACK");
            return -1;
        }
        printf("%s\n", commit ? "COMMIT" : "ROLLBACK");
        return 0;
    }
    return print_statement(sh, statement);
}

}  // namespace dqpsh
