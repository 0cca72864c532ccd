// db_dqpserver: the master. Runs the port server on a worker thread, which
// owns the master's end: on SIGTERM or SIGINT, or when the console's stop
// flow asks it (port_server_stop), it terminates every gateway and returns.
//
// The program is built twice from this file. db_dqpserver links no Qt: with
// a display named and without --headless it replaces itself (exec, same
// pid and arguments) with db_dqpserver_console, the build with the console,
// when that program is installed (beside it in a build tree, or in
// ../libexec/varnex from its bin folder); otherwise it runs headless. So a
// server installation without the console package never loads Qt, and a
// developer build shows the console as one program always did.
//
// In db_dqpserver_console the main thread runs the administration console:
// it creates its frame and notification icon, starts the port-server
// thread, opens the activity window and shows the frame, and quits when the
// port-server thread has ended. Fatal start-up errors then go to message
// boxes. Without a display, or with --headless, the master runs headless and
// reports them on standard error.
//
// Under systemd (NOTIFY_SOCKET set) the port server reports readiness,
// reloads and the stop through sd_notify; without it nothing is sent.
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "master/master.h"
#include "master/port_server.h"
#include "master/service_notify.h"
#include "master/session_registry.h"
#include "support/program_help.h"
#include "support/version.h"

#ifdef VNX_WITH_CONSOLE
#include "console/qt/console_app.h"
#endif

namespace {

// What db_dqpserver takes: its --help and its man page (--man).
vnx::ProgramHelp program_help() {
    vnx::ProgramHelp h;
    h.name = "db_dqpserver";
    h.man_section = 8;
    h.summary = "the Varnex master: port server and session registry";
    h.synopsis = {"[--headless] [/MINIMIZED]", "--version | --help"};
    h.description =
        "Runs the Varnex master. It listens on the base port (the services entry\n"
        "db_dqpbase/tcp, else DB_DQPBASE of the configuration store) and hands each client\n"
        "that names a server type (\"odb\") a gateway process of its own, DB_ROOT/odbserver,\n"
        "on a free port above the base port, keeping PortServer \"spares\" gateways started\n"
        "in advance. It keeps the session registry users.db in DB_ROOT.\n"
        "\n"
        "At start it refuses to run when the store, DB_ROOT or DB_ROOT/odbserver could be\n"
        "changed by a user other than root or its own, when DB_ROOT or the base port is\n"
        "missing, or when another program holds the base port. It then ends the gateways a\n"
        "previous master left (DB_ROOT/gateways.pid), recreates users.db and deletes the\n"
        "previous run's *.log files in DB_ROOT.\n"
        "\n"
        "SIGHUP re-reads the PortServer and ODBServer settings (as \"vnxadmin reload\").\n"
        "SIGTERM or SIGINT ends every gateway and the master; with PortServer\n"
        "\"shutdown_grace\" set, SIGTERM first waits up to that many seconds for live\n"
        "sessions. Under systemd (NOTIFY_SOCKET) it reports READY=1 once the base port and\n"
        "the spares listen, RELOADING=1 and READY=1 around a reload, and STOPPING=1.\n"
        "\n"
        "With a display (DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM) the administration\n"
        "console runs too, when it is installed (db_dqpserver_console, package\n"
        "varnex-console); otherwise the master says so and runs headless.";
    h.sections = {
        {"Options",
         {{"--headless", "run without the console, whatever the display"},
          {"/MINIMIZED", "start the console minimised (as the only argument)"},
          {"--version", "print the version and exit"},
          {"--help", "print this text and exit (also -h)"}}},
        {"Environment",
         {{"VNX_REGISTRY", "the configuration store (default /etc/vnx/registry.db)"},
          {"ODBCSYSINI, ODBCINI", "the ODBC driver and data source lists; passed to the gateways"},
          {"DQP_SPAWNWAIT", "seconds to wait for a new gateway to listen (default 100)"},
          {"NOTIFY_SOCKET", "the service manager's socket for readiness notices (systemd)"}}},
        {"Files",
         {{"/etc/vnx/registry.db", "the configuration store, unless VNX_REGISTRY names another"},
          {"DB_ROOT/odbserver", "the gateway program"},
          {"DB_ROOT/users.db", "the session registry, recreated at every start"},
          {"DB_ROOT/gateways.pid", "the gateways this master started"},
          {"DB_ROOT/db_dqpserver.pid", "this master's pid (for vnxadmin reload)"},
          {"DB_ROOT/*.log", "the port server's and gateways' logs; deleted at start"}}},
        {"Exit status",
         {{"0",
           "the master stopped (a signal or the console's stop), or after --help and\n"
           "--version"},
          {"2", "an unknown argument"},
          {"255",
           "the master could not start: the store, DB_ROOT or the gateway program refused,\n"
           "no base port, or the base port held by another program"}}},
    };
    return h;
}

void report_to_stderr(const char *, const char *text, int) {
    fprintf(stderr, "db_dqpserver: %s\n", text);
}

struct Arguments {
    bool headless = false;
    bool minimized = false;
};

// 0 to run, or the exit code (after help or a usage error).
int parse_arguments(int argc, char **argv, Arguments *args, bool *done) {
    *done = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "--man") == 0 ||
            strcmp(argv[i], "-h") == 0) {
            *done = true;
            return vnx::answer_help_argument(program_help(),
                                             argv[i][1] == 'h' ? "--help" : argv[i]);
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("%s\n", vnx::version_line("db_dqpserver").c_str());
            *done = true;
            return 0;
        }
        if (strcmp(argv[i], "--headless") == 0) {
            args->headless = true;
            continue;
        }
        if (strcmp(argv[i], "/MINIMIZED") != 0) {
            fprintf(stderr, "db_dqpserver: unknown argument \"%s\"\n", argv[i]);
            fputs(vnx::help_text(program_help()).c_str(), stderr);
            *done = true;
            return 2;
        }
    }
    // The command line is exactly "/MINIMIZED": nothing else beside it.
    args->minimized = argc == 2 && strcmp(argv[1], "/MINIMIZED") == 0;
    return 0;
}

void notify_service_manager(const char *state) {
    sd_notify(0, state);
}

#ifndef VNX_WITH_CONSOLE
// True when the environment names a display the console could use.
bool display_named() {
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char *v = getenv(name);
        if (v != nullptr && *v != '\0') return true;
    }
    return false;
}

// The console build of this program: beside this one (a build tree), else
// in ../libexec/varnex from this program's folder (an installation). Empty
// when neither is an executable file.
std::string console_program() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.rfind('/') + 1);
    for (const std::string &candidate :
         {dir + "db_dqpserver_console", dir + "../libexec/varnex/db_dqpserver_console"}) {
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// With a display and the console installed, runs the console build in this
// process; returns only when that is not possible (having said why).
void exec_console(char **argv) {
    if (!display_named()) {
        fprintf(stderr,
                "db_dqpserver: no display (DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM); "
                "running headless\n");
        return;
    }
    const std::string console = console_program();
    if (console.empty()) {
        fprintf(stderr,
                "db_dqpserver: a display is present but the console (db_dqpserver_console, "
                "package varnex-console) is not installed; running headless\n");
        return;
    }
    execv(console.c_str(), argv);
    fprintf(stderr, "db_dqpserver: cannot run the console %s: %s; running headless\n",
            console.c_str(), strerror(errno));
}
#endif

int exit_code(int rc) {
    return rc < 0 ? (rc & 0xFF) : 0;
}

int run_headless() {
    int rc = 0;
    std::thread port_server([&rc] { rc = vnx::port_server_thread(); });
    port_server.join();
    return exit_code(rc);
}

#ifdef VNX_WITH_CONSOLE
int run_with_console(int argc, char **argv, const Arguments &args) {
    vnx::set_fatal_reporter(vnx::console::console_report_fatal);
    int rc = 0;
    std::thread port_server;
    vnx::console::ConsoleStart start;
    start.minimized = args.minimized;
    start.live_sessions = [] { return vnx::live_sessions(); };
    start.stop_server = [] { vnx::port_server_stop(); };
    start.start_port_server = [&] {
        port_server = std::thread([&rc] {
            rc = vnx::port_server_thread();
            vnx::console::console_quit();
        });
    };
    vnx::console::run_console(argc, argv, start);
    // The console quit on its own (it cannot, except through the stop flow):
    // the port server still owns the end.
    vnx::port_server_stop();
    if (port_server.joinable()) port_server.join();
    vnx::set_fatal_reporter(report_to_stderr);
    return exit_code(rc);
}
#endif

}  // namespace

int main(int argc, char **argv) {
    Arguments args;
    bool done = false;
    const int parsed = parse_arguments(argc, argv, &args, &done);
    if (done) return parsed;
    vnx::set_fatal_reporter(report_to_stderr);

#ifdef VNX_WITH_CONSOLE
    std::string why;
    const bool console = !args.headless && vnx::console::console_available(argc, argv, &why);
    if (!args.headless && !console) {
        fprintf(stderr, "db_dqpserver: %s; running headless\n", why.c_str());
    }
#else
    const bool console = false;
    if (!args.headless) exec_console(argv);
#endif
    vnx::set_service_notifier(notify_service_manager);

    // Blocked in every thread before any starts (Qt's own threads included):
    // the port-server thread takes them through its signalfd.
    vnx::block_master_signals();
    int rc = 0;
#ifdef VNX_WITH_CONSOLE
    rc = console ? run_with_console(argc, argv, args) : run_headless();
#else
    (void)console;
    rc = run_headless();
#endif
    fflush(nullptr);
    return rc;
}
