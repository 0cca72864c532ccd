// Server entry. See server.h.
#include "runtime/server.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "protocol/server_log.h"
#include "protocol/trace.h"
#include "runtime/activity.h"
#include "runtime/client_table.h"
#include "runtime/client_watch.h"
#include "runtime/handover.h"
#include "runtime/login.h"
#include "runtime/request_loop.h"
#include "support/config_cache.h"
#include "support/program_help.h"
#include "support/version.h"
#include "transport/tcp.h"

namespace vnx {

namespace {

// Port from argv[1]: its leading decimal digits (none gives 0).
int port_argument(int argc, char **argv) {
    if (argc != 2) return -1;
    const char *p = argv[1];
    long port = 0;
    while (isdigit(static_cast<unsigned char>(*p)) && port < 1000000)
        port = port * 10 + (*p++ - '0');
    return static_cast<int>(port);
}

// "SOFTWARE\\Tavorin\\VNX\\%sServer" for a server type name.
std::string server_key(const char *name) {
    return std::string(kRootKey) + "\\" + name + "Server";
}

// Serves the client in slot `client` until its session ends and frees the
// slot. `started`: the client's START was served by the gateway that handed
// it over.
void serve_client(int client, int port, const BackendOps *ops, bool login, bool started) {
    ClientSlot *slot = client_slot(client);
    // The watch lets a client cancel its statement and ends the work of one
    // that hangs up; without it the loop serves the client as before.
    if (start_client_watch(slot->socket) != 0)
        dqp::trace("[dqp_server]", "client connection not watched: cancelling is unavailable");
    // Read once the client is here, so that a gateway started ahead of its
    // client (a warm spare) follows the setting as it is when the client comes.
    (void)activity_start(port);
    dqp_request_loop(client, ops, login, started);
    activity_stop();
    stop_client_watch();
    detach_from_client(client);
}

int run_child(const char *name, int port, const BackendOps *ops) {
    if (port >= 0)
        dqp::tracef("[dqp_server]", "child %s/server started using %s protocol on port %d", name,
                    "tcpip", port);
    else
        dqp::tracef("[dqp_server]", "parent %s/server started using %s protocol", name, "tcpip");
    int client = attach_to_client(name, TRANSPORT_TCPIP, port);
    if (client < 0) {
        dqp::trace("[dqp_server]", "failed to attach to client");
        return -1;
    }
    ClientSlot *slot = client_slot(client);
    slot->peer_name = tcp_client_address();
    slot->port = port;
    slot->table_closed = 1;
    const bool login = login_required(name);
    serve_client(client, port, ops, login, false);
    // A gateway that kept its data-source connection serves the clients
    // handed to it until it holds none (handover.h).
    while ((client = next_handed_client(port)) >= 0)
        serve_client(client, port, ops, login, true);
    return 0;
}

std::string base_program_name(const char *argv0) {
    std::string name = argv0 != nullptr ? argv0 : "odbserver";
    size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// What the gateway takes: its --help and its man page (--man).
ProgramHelp gateway_help(const std::string &name) {
    ProgramHelp h;
    h.name = name;
    h.man_section = 8;
    h.summary = "the Varnex ODBC gateway: serves one client's session";
    h.synopsis = {"PROGRAM-PATH PORT", "--version | --help"};
    h.description =
        "Serves one DQP client on PORT and exits when that client stops: SQL, cursor and\n"
        "record requests through ODBC. The master's port server starts it in DB_ROOT, as\n"
        "\"odbserver DB_ROOT/odbserver PORT\"; by hand: cd DB_ROOT && ./odbserver\n"
        "\"$PWD/odbserver\" 5001. While it waits for its client it loads the data sources'\n"
        "ODBC drivers (ODBServer \"preload_drivers\"). With ODBServer \"logging\" it writes a\n"
        "log in DB_ROOT, capped at ODBServer \"log_max\" megabytes.";
    h.sections = {
        {"Options",
         {{"--version", "print the version and exit"},
          {"--help", "print this text and exit (also -h)"}}},
        {"Environment",
         {{"VNX_REGISTRY", "the configuration store (default /etc/vnx/registry.db)"},
          {"ODBCSYSINI, ODBCINI", "the ODBC driver and data source lists"},
          {"VNX_LISTEN_ADDRESS", "the address to listen on (set by the master)"}}},
        {"Files",
         {{"DB_ROOT/*.log", "the gateway's log and the logs a client asks for (LOGGING)"}}},
        {"Exit status",
         {{"0", "after --help or --version"},
          {"1",
           "the client's session has ended, or no client could be attached on PORT\n"
           "(standard error says why)"},
          {"255", "the arguments are not PROGRAM-PATH PORT"}}},
    };
    return h;
}

void gateway_usage(FILE *out, const char *argv0) {
    fputs(help_text(gateway_help(base_program_name(argv0))).c_str(), out);
}

// The gateway's arguments after its own name, joined with blanks.
std::string joined_arguments(int argc, char **argv) {
    std::string tail;
    for (int i = 1; i < argc; i++) {
        if (i > 1) tail += ' ';
        tail += argv[i];
    }
    return tail;
}

}  // namespace

int dqp_server(const char *name, int argc, char **argv, const BackendOps *ops) {
    if (name == nullptr) {
        // Parent mode is the master's own: its port-server thread runs the
        // port server (master/master.h), which a gateway never links.
        return -1;
    }
    dqp::open_server_log(server_key(name), std::string(name) + "server");
    return run_child(name, port_argument(argc, argv), ops);
}

int gateway_answer_only(int argc, char **argv) {
    const std::string tail = joined_arguments(argc, argv);
    if (tail == "-h" || tail == "--help" || tail == "--man")
        return answer_help_argument(gateway_help(base_program_name(argv[0])),
                                    tail == "-h" ? "--help" : tail.c_str());
    if (tail == "--version") {
        printf("%s\n", version_line(base_program_name(argv[0]).c_str()).c_str());
        return 0;
    }
    return -1;
}

int gateway_main(int argc, char **argv, const char *name, const BackendOps *ops) {
    if (int rc = gateway_answer_only(argc, argv); rc >= 0) return rc;
    const std::string tail = joined_arguments(argc, argv);
    size_t blank = tail.rfind(' ');
    if (blank == std::string::npos) {
        gateway_usage(stderr, argv[0]);
        return -1;
    }
    std::string path = tail.substr(0, blank), port = tail.substr(blank + 1);
    char *args[] = {path.data(), port.data(), nullptr};
    if (dqp_server(name, 2, args, ops) < 0) {
        std::string why = tcp_last_error().empty() ? "cannot attach the client" : tcp_last_error();
        if (port.empty() || !isdigit(static_cast<unsigned char>(port[0])))
            why = "\"" + port + "\" is not a port number (1 to 65535)";
        fprintf(stderr, "%s: %s\n", base_program_name(argv[0]).c_str(), why.c_str());
    }
    return 1;
}

}  // namespace vnx
