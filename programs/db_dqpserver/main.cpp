// db_dqpserver: the master. Runs the port server on a worker thread, which
// owns the master's end: on SIGTERM or SIGINT, or when the console's stop
// flow asks it (port_server_stop), it terminates every gateway and returns.
//
// With a display (and a build with the console) the main thread runs the
// administration console: it creates its frame and notification icon, starts
// the port-server thread, opens the activity window and shows the frame, and
// quits when the port-server thread has ended. Fatal start-up errors then go
// to message boxes. Without a display, or with --headless, the master runs
// headless and reports them on standard error.
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "master/master.h"
#include "master/port_server.h"
#include "master/session_registry.h"
#include "support/version.h"

#ifdef VNX_WITH_CONSOLE
#include "console/qt/console_app.h"
#endif

namespace {

void usage(FILE *out) {
    fprintf(out,
            "usage: db_dqpserver [--headless] [/MINIMIZED]\n"
            "       db_dqpserver --version | --help\n"
            "Runs the Varnex master: the port server on the base port (DB_DQPBASE) and the\n"
            "session registry users.db in DB_ROOT. The configuration store is $VNX_REGISTRY\n"
            "(default /etc/vnx/registry.db). SIGTERM or SIGINT ends the master and its gateways.\n"
            "With a display the administration console runs too (minimised with /MINIMIZED);\n"
            "--headless runs without it. --version prints the version and exits.\n"
            "\n"
            "Exit status: 0 when the master stopped (a signal or the console's stop) or after\n"
            "--help and --version; 2 for an unknown argument; 255 when it could not start (the\n"
            "store, DB_ROOT or the gateway program refused, no base port, or the base port\n"
            "held by another program).\n");
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
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            *done = true;
            return 0;
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
            usage(stderr);
            *done = true;
            return 2;
        }
    }
    // The command line is exactly "/MINIMIZED": nothing else beside it.
    args->minimized = argc == 2 && strcmp(argv[1], "/MINIMIZED") == 0;
    return 0;
}

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
    if (!args.headless)
        fprintf(stderr, "db_dqpserver: this build has no console; running headless\n");
#endif

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
