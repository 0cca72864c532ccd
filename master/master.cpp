// The master's start-up and port-server thread. See master.h.
#include "master/master.h"

#include <glob.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "master/gateway_pids.h"
#include "master/master_log.h"
#include "master/port_server.h"
#include "master/session_registry.h"
#include "protocol/server_log.h"
#include "protocol/trace.h"
#include "support/activity_board.h"
#include "support/config_cache.h"
#include "support/file_trust.h"
#include "support/odbc_files.h"

namespace vnx {

namespace {

constexpr const char *kProduct = "Tavorin 8.0 Varnex";

FatalReporter g_reporter = nullptr;

// DB_ROOT exactly as named (case matters), straight from the root key.
std::string find_db_root() {
    for (const auto &[name, data] : load_registry_key(kRootKey))
        if (name == "DB_ROOT") return data;
    return "";
}

// Empty when root is a directory holding an executable odbserver; otherwise
// the reason it cannot serve clients.
std::string db_root_problem(const std::string &root) {
    struct stat st;
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return "DB_ROOT \"" + root + "\" is not a directory.";
    std::string gateway = root + "/odbserver";
    if (access(gateway.c_str(), X_OK) != 0)
        return "DB_ROOT \"" + root + "\" holds no odbserver program; copy odbserver there.";
    return "";
}

void delete_old_logs(const std::string &root) {
    glob_t g{};
    std::string pattern = root + "/*.log";
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0)
        for (size_t i = 0; i < g.gl_pathc; i++)
            unlink(g.gl_pathv[i]);
    globfree(&g);
}

// The board the gateways publish their activity on, made anew at each start
// (mode 0600: it shows statements and user names). Without it the gateways
// serve as before and publish nothing.
void make_activity_board(const std::string &root) {
    std::string err;
    if (!ActivityBoard::create(root + "/" + kActivityBoardName, port_server_baseport(), &err))
        master_event("no activity board: %s; vnxadmin sessions shows no activity", err.c_str());
}

void record_master_host() {
    if (!read_netserver_value_direct("DQP_MASTERHOST").empty()) return;
    write_netserver_value("DQP_MASTERHOST", master_host_name());
}

// Reports that the master will not start because of `problem`, on the
// fatal-report path and in the port server's log when it is open.
void refuse_untrusted(const TrustProblem &problem) {
    const uid_t user = geteuid();
    std::string text = problem.problem + "\ndetail: the master runs only what no user other than " +
                       (user == 0 ? std::string("root") : user_name(user) + " or root") +
                       " can change: its configuration store, DB_ROOT, the gateway program and "
                       "the ODBC files its gateways load";
    if (!problem.fix.empty()) text += "\nhint: " + problem.fix;
    dqp::trace("[port_server_thread]", text.c_str());
    report_fatal(kProduct, text.c_str(), 0);
}

// True when `path` is trusted, or absent and `missing_ok`; otherwise reported.
bool trusted(const std::string &path, TrustKind kind, const char *label, bool missing_ok) {
    TrustProblem problem;
    const int rc = check_trusted_path(path, kind, geteuid(), label, &problem);
    if (rc == kTrusted || (rc == kTrustMissing && missing_ok)) return true;
    refuse_untrusted(problem);
    return false;
}

// The store before anything is read from it, with the files SQLite keeps
// beside it. A missing store is left to the DB_ROOT look-up, which names it.
bool store_trusted() {
    const std::string store = config_store_path();
    for (const char *suffix : {"", "-wal", "-shm", "-journal"})
        if (!trusted(store + suffix, TrustKind::kFile, "the configuration store", true))
            return false;
    return true;
}

// DB_ROOT and the gateway program in it (a link there, and its target).
bool installation_trusted(const std::string &root) {
    return trusted(root, TrustKind::kDirectory, "DB_ROOT", false) &&
           trusted(root + "/odbserver", TrustKind::kFile, "the gateway program", false);
}

// The ODBC ini files and every library they name: the gateways load them.
bool odbc_files_trusted() {
    TrustProblem problem;
    if (check_odbc_files(geteuid(), &problem) == kTrusted) return true;
    refuse_untrusted(problem);
    return false;
}

// The gateways' logs in DB_ROOT hold every statement while ODBServer
// "logging" is on: then no other user may look into DB_ROOT. With logging off
// a DB_ROOT open to others is only warned of. False (reported) when the
// master must not start.
bool db_root_private(const std::string &root) {
    std::string problem = readable_by_others(root, "DB_ROOT");
    if (problem.empty()) return true;
    const bool logging = read_server_value("ODBServer", "logging") == "true";
    const std::string hint = "\nhint: chmod o-rwx " + root;
    if (logging) {
        std::string text = problem + " while ODBServer \"logging\" is on" +
                           "\ndetail: the gateways' logs there hold every statement" + hint;
        dqp::trace("[port_server_thread]", text.c_str());
        report_fatal(kProduct, text.c_str(), 0);
        return false;
    }
    fprintf(stderr,
            "db_dqpserver: warning: %s\ndetail: with ODBServer \"logging\" on, the gateways' "
            "logs there would show every statement%s\n",
            problem.c_str(), hint.c_str());
    return true;
}

// Finds and checks DB_ROOT; empty (reported) when the master cannot run.
std::string checked_db_root() {
    std::string root = find_db_root();
    if (root.empty()) {
        report_fatal(kProduct, "Cannot find DB_ROOT in the registry.", 0);
        fprintf(stderr,
                "db_dqpserver: the configuration store %s has no DB_ROOT\n"
                "hint: create an installation with: vnxadmin init --db-root DIR --base-port PORT\n",
                config_store_path().c_str());
        return "";
    }
    if (std::string problem = db_root_problem(root); !problem.empty()) {
        report_fatal(kProduct, problem.c_str(), 0);
        return "";
    }
    if (!installation_trusted(root) || !odbc_files_trusted() || !db_root_private(root)) return "";
    return root;
}

// One line in the master's log for a problem found while it runs.
void log_trust_problem(const TrustProblem &problem, const char *consequence) {
    master_event("%s: %s%s%s", problem.problem.c_str(), consequence,
                 problem.fix.empty() ? "" : "; hint: ", problem.fix.c_str());
}

}  // namespace

bool recheck_installation(const std::string &root, std::string *refusal) {
    const uid_t user = geteuid();
    TrustProblem problem;
    const std::string store = config_store_path();
    for (const char *suffix : {"", "-wal", "-shm", "-journal"}) {
        if (check_trusted_path(store + suffix, TrustKind::kFile, user, "the configuration store",
                               &problem) == kUntrusted) {
            *refusal = problem.problem + (problem.fix.empty() ? "" : "; hint: " + problem.fix);
            return false;
        }
    }
    if (check_trusted_path(root, TrustKind::kDirectory, user, "DB_ROOT", &problem) == kUntrusted ||
        check_trusted_path(root + "/odbserver", TrustKind::kFile, user, "the gateway program",
                           &problem) == kUntrusted)
        log_trust_problem(problem, "no gateway is started until it is mended");
    if (check_odbc_files(user, &problem) == kUntrusted)
        log_trust_problem(problem, "the gateways refuse the data sources that use it");
    if (std::string open = readable_by_others(root, "DB_ROOT"); !open.empty())
        master_event("%s%s; hint: chmod o-rwx %s", open.c_str(),
                     read_server_value("ODBServer", "logging") == "true"
                         ? " while the gateways' logs there hold every statement"
                         : "",
                     root.c_str());
    return true;
}

void set_fatal_reporter(FatalReporter reporter) {
    g_reporter = reporter;
}

void report_fatal(const char *caption, const char *text, int icon) {
    if (g_reporter != nullptr)
        g_reporter(caption, text, icon);
    else
        fprintf(stderr, "%s: %s\n", caption, text);
}

std::string master_host_name() {
    char host[101] = "";
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    addrinfo *res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0) return "localhost";
    freeaddrinfo(res);
    return host;
}

int port_server_thread() {
    // Nothing is read from the store, and no program run from DB_ROOT, that
    // another local user could have changed.
    if (!store_trusted()) return -1;
    // DB_ROOT first: users.db and the logs live there.
    std::string root = checked_db_root();
    if (root.empty()) return -1;
    // Claim the base port before anything else: a second master must fail
    // here, before it could terminate the first one's gateways or reset its
    // users.db.
    if (int rc = port_server_listen(); rc != 0) {
        if (rc == -1)
            fprintf(stderr, "db_dqpserver: base port %d is held by another program\n",
                    port_server_baseport());
        return -1;
    }
    if (write_gateway_pids(master_pid_path(root), {getpid()}) != 0)
        fprintf(stderr,
                "db_dqpserver: cannot write %s: \"vnxadmin reload\" will not find this master\n",
                master_pid_path(root).c_str());
    // Gateways of a master that was killed: those with sessions (users.db)
    // and every other one it started (gateways.pid).
    if (open_session_registry() >= 0) terminate_sessions();
    end_recorded_gateways();
    reset_session_registry();
    open_session_registry();
    record_master_host();
    delete_old_logs(root);
    make_activity_board(root);
    dqp::open_server_log(kPortServerKey, "portserver");
    port_server_log_startup();
    master_event(
        "started: listening on base port %d, gateways on ports %d to %d, address %s, "
        "DB_ROOT %s, configuration store %s, log %s",
        port_server_baseport(), port_server_baseport() + 1, port_server_maxport() - 1,
        port_server_listen_text().c_str(), root.c_str(), config_store_path().c_str(),
        dqp::log_path().empty() ? "off" : dqp::log_path().c_str());
    if (strcmp(port_server_tls_mode(), "off") != 0)
        master_event("TLS %s on the base port and every gateway port", port_server_tls_mode());
    int rc = port_server_run();
    unlink(master_pid_path(root).c_str());
    master_event("stopped; every gateway was ended");
    dqp::close_log_stream();
    return rc < 0 ? rc : 0;
}

}  // namespace vnx
