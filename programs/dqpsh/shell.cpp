// dqpsh's session and SQL statements. See shell.h.
#include "programs/dqpsh/shell.h"

#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "client/port_query.h"
#include "client/result_format.h"
#include "client/sql_script.h"

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
    sh.in_block = false;
    sh.uncommitted = false;
    sh.rec.reset();
    sh.sql.reset();
    sh.gateway.reset();
    sh.started = false;
    sh.aliases.clear();
}

namespace {

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

}  // namespace

void write_out(std::string_view s) {
    fwrite(s.data(), 1, s.size(), stdout);
}

void report_failure(Shell &sh, const std::string &what) {
    dqp::SqlClient &sql = *sh.sql;
    if (sql.failure() == dqp::Failure::refused && sql.usable()) {
        std::string reason = sql.error(), text;
        if (sql.maperror(&text) != 0 || text.empty()) text = reason;
        fprintf(stderr, "%sERROR:  %s\n", sh.where.c_str(), dqp::error_message_text(text).c_str());
    } else {
        fprintf(stderr, "%sdqpsh: %s: %s\n", sh.where.c_str(), what.c_str(), sql.error().c_str());
    }
    // A gateway that broke the protocol or went away (also while MAPERROR
    // was asked) is dropped; the next command asks for a new one.
    if (!sql.usable()) {
        fprintf(stderr, "hint: the connection to the gateway was closed\n");
        if (open_transaction(sh))
            fprintf(stderr, "detail: the uncommitted work of the transaction is lost\n");
        drop_gateway(sh);
        sh.lost = true;
        sh.conn_failed = true;
    }
}

int need_gateway(Shell &sh) {
    if (sh.gateway != nullptr) return 0;
    if (sh.lost) {
        // Nothing of the old session carries over: say so before the new one.
        fprintf(stderr,
                "dqpsh: the connection to the gateway was lost; opening a new session\n"
                "detail: tables opened with \\use and cursors of the old session are gone\n");
        sh.lost = false;
    }
    std::string err;
    int port = sh.opt.direct_port;
    dqp::ConnectOptions options;
    options.tls = sh.opt.tls;
    // Queries may run long: replies are awaited without a time limit, as a
    // terminal user can always interrupt.
    options.timeout_ms = 0;
    if (port == 0) {
        if (sh.opt.base_port == 0) {
            fprintf(stderr,
                    "dqpsh: no base port\n"
                    "hint: give the master's base port with -p PORT, set DB_DQPBASE in the\n"
                    "configuration store ($VNX_REGISTRY), or name a gateway's own port with\n"
                    "--gateway-port PORT\n");
            sh.conn_failed = true;
            return -1;
        }
        bool encrypted = false;
        if (dqp::request_server(sh.opt.host, sh.opt.base_port, sh.opt.type, &port, &err, 120000,
                                &sh.opt.tls, &encrypted) != 0) {
            fprintf(stderr, "dqpsh: no gateway\ndetail: %s\n", err.c_str());
            sh.conn_failed = true;
            return -1;
        }
        // The gateway serves one connection: "prefer" does there what the
        // base port did rather than spend it on a refused TLS attempt.
        if (options.tls.mode == dqp::TlsMode::Prefer)
            options.tls.mode = encrypted ? dqp::TlsMode::Require : dqp::TlsMode::Disable;
    }
    // Queries may run long: replies are awaited without a time limit, as a
    // terminal user can always interrupt.
    sh.gateway = dqp::Connection::open(sh.opt.host, port, options, &err);
    sh.gateway_port = port;
    if (sh.gateway == nullptr) {
        fprintf(stderr, "dqpsh: could not connect to the gateway on port %d\ndetail: %s\n", port,
                err.c_str());
        sh.conn_failed = true;
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
        // A refused login ends the gateway: its reason came with the NOK.
        if (sh.sql->error().rfind("START refused", 0) == 0) {
            fprintf(stderr, "dqpsh: could not start a session as user \"%s\"\ndetail: %s\n",
                    sh.opt.user.c_str(), sh.sql->error().c_str());
            drop_gateway(sh);
            sh.conn_failed = true;
            return -1;
        }
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
    // Long text columns arrive as their text (type 'T'), not as a placeholder.
    dqp::SessionOptions session;
    session.long_text = true;
    if (sh.sql->connect(sh.opt.dsn, sh.opt.user, password(sh), session) != 0) {
        report_failure(sh, "CONNECT");
        sh.conn_failed = true;
        return -1;
    }
    return 0;
}

bool open_transaction(const Shell &sh) {
    return sh.in_block || sh.uncommitted;
}

bool warn_uncommitted(const Shell &sh) {
    // A BEGIN with nothing after it holds no work to lose.
    if (sh.sql == nullptr || !sh.sql->connected() || !sh.uncommitted) return false;
    fprintf(stderr,
            "WARNING:  leaving with an uncommitted transaction: its changes are rolled back\n"
            "hint: end it with COMMIT (or ROLLBACK) first%s\n",
            sh.in_block ? "" : "; \\set AUTOCOMMIT on commits after every statement");
    return true;
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
    dqp::ResultPrinter printer(write_out, sh.print);
    dqp::ExecResult res;
    bool printing = false;
    int rc = 0;
    {
        CancelOnInterrupt cancel(sh);
        auto on_fields = [&](const std::vector<dqp::FieldDesc> &f) {
            printer.set_fields(f);
            return 0;
        };
        auto on_header = [&](const std::vector<dqp::FieldDesc> &f) { return printer.on_header(f); };
        auto on_row = [&](std::span<const std::string_view> row) {
            if (interrupted()) return 1;
            printing = true;
            return printer.on_row_view(row);
        };
        // Only EXECSQL with parameters answers how many rows a statement
        // changed: a statement whose tag shows that count goes in that form,
        // with no values.
        if (dqp::tag_counts_rows(statement))
            rc = sh.sql->query_views(statement, std::span<const dqp::ParamValue>(), &res, on_fields,
                                     on_header, on_row);
        else
            rc = sh.sql->query_views(statement, &res, on_fields, on_header, on_row);
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
    else
        printf("%s\n", dqp::command_tag(statement, res.row_count).c_str());
    return 0;
}

// COMMIT and ROLLBACK end the gateway's own transaction (the data source's
// autocommit is off, so it always has one).
static int end_transaction(Shell &sh, bool commit) {
    sh.in_block = false;
    sh.uncommitted = false;
    if ((commit ? sh.sql->commit() : sh.sql->rollback()) != 0) {
        report_failure(sh, commit ? "COMMIT" : "ROLLBACK");
        return -1;
    }
    printf("%s\n", commit ? "COMMIT" : "ROLLBACK");
    return 0;
}

// BEGIN is the shell's own: the gateway is always inside a transaction, and
// sending BEGIN on would fail on data sources that refuse a nested one
// (SQLite) or warn (PostgreSQL). It only stops the commits after each
// statement until COMMIT or ROLLBACK. (Options of START TRANSACTION, such as
// an isolation level, are not passed on.)
static int begin_block(Shell &sh) {
    if (sh.in_block) fprintf(stderr, "WARNING:  there is already a transaction in progress\n");
    sh.in_block = true;
    printf("BEGIN\n");
    return 0;
}

namespace {

// psql's "Time: 12.345 ms", with minutes and seconds from one second on.
void print_time(double ms) {
    if (ms < 1000.0) {
        printf("Time: %.3f ms\n", ms);
        return;
    }
    double seconds = ms / 1000.0;
    double minutes = floor(seconds / 60.0);
    seconds -= 60.0 * minutes;
    if (minutes < 60.0) {
        printf("Time: %.3f ms (%02d:%06.3f)\n", ms, static_cast<int>(minutes), seconds);
        return;
    }
    double hours = floor(minutes / 60.0);
    minutes -= 60.0 * hours;
    printf("Time: %.3f ms (%02d:%02d:%06.3f)\n", ms, static_cast<int>(hours),
           static_cast<int>(minutes), seconds);
}

}  // namespace

// Runs a statement through `body` with the shell's transaction handling:
// BEGIN, COMMIT and ROLLBACK are the shell's, AUTOCOMMIT commits what
// succeeded and rolls back what failed. \\timing measures the statement
// and its answer, as psql does, not the commands around it.
int run_statement(Shell &sh, const std::string &statement, const std::function<int()> &body) {
    if (need_session(sh) != 0) return -1;
    auto t0 = std::chrono::steady_clock::now();
    int rc = 0;
    switch (dqp::classify_transaction(statement)) {
        case dqp::TxControl::begin:
            rc = begin_block(sh);
            break;
        case dqp::TxControl::commit:
            rc = end_transaction(sh, true);
            break;
        case dqp::TxControl::rollback:
            rc = end_transaction(sh, false);
            break;
        case dqp::TxControl::none:
            rc = body();
            if (sh.sql == nullptr || !sh.sql->connected()) break;  // the gateway was lost
            if (sh.in_block || !sh.autocommit) {
                sh.uncommitted = true;
                break;
            }
            // AUTOCOMMIT: keep what succeeded, drop what failed, as psql does.
            if (rc == 0 && sh.sql->commit() != 0) {
                report_failure(sh, "COMMIT");
                rc = -1;
            } else if (rc != 0 && sh.sql->usable()) {
                (void)sh.sql->rollback();
            }
            break;
    }
    if (sh.timing) {
        std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - t0;
        print_time(ms.count());
    }
    return rc;
}

int run_sql(Shell &sh, const std::string &statement) {
    sh.last_query = statement;
    return run_statement(sh, statement, [&] { return print_statement(sh, statement); });
}

int run_sql_rows(Shell &sh, const std::string &statement, std::vector<dqp::FieldDesc> *fields,
                 std::vector<dqp::Row> *rows, bool *has_result) {
    sh.last_query = statement;
    return run_statement(sh, statement, [&] {
        dqp::ExecResult res;
        CancelOnInterrupt cancel(sh);
        int rc = sh.sql->query(
            statement, &res,
            [&](const std::vector<dqp::FieldDesc> &f) {
                *fields = f;
                return 0;
            },
            [&](const std::vector<dqp::FieldDesc> &f) {
                if (fields->empty()) *fields = f;
                return 0;
            },
            [&](dqp::Row &&row) {
                rows->push_back(std::move(row));
                return 0;
            });
        *has_result = res.has_cursor;
        if (rc != 0) report_failure(sh, res.has_cursor ? "FETCHMANY" : "EXECSQL");
        return rc == 0 ? 0 : -1;
    });
}

}  // namespace dqpsh
