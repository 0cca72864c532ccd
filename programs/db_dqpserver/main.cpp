// db_dqpserver: the master. Runs the port server on a worker thread, which
// owns the master's end: on SIGTERM or SIGINT it terminates every gateway and
// returns, and the process exits. This build has no console: the master runs
// headless and reports fatal start-up errors on standard error.
#include <cstdio>
#include <cstring>
#include <thread>

#include "transport/master.h"
#include "transport/port_server.h"

namespace {

void usage(FILE *out) {
    fprintf(
        out,
        "usage: db_dqpserver [--headless] [/MINIMIZED]\n"
        "Runs the Varnex master: the port server on the base port (DB_DQPBASE) and the\n"
        "session registry users.db in DB_ROOT. The configuration store is $VNX_REGISTRY\n"
        "(default /etc/vnx/registry.db). SIGTERM or SIGINT ends the master and its gateways.\n");
}

void report_to_stderr(const char *, const char *text, int) {
    fprintf(stderr, "db_dqpserver: %s\n", text);
}

}  // namespace

int main(int argc, char **argv) {
    bool headless = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        }
        if (strcmp(argv[i], "--headless") == 0) {
            headless = true;
            continue;
        }
        if (strcmp(argv[i], "/MINIMIZED") != 0) {
            fprintf(stderr, "db_dqpserver: unknown argument \"%s\"\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }
    if (!headless) fprintf(stderr, "db_dqpserver: this build has no console; running headless\n");
    vnx::set_fatal_reporter(report_to_stderr);

    // Blocked in every thread before any starts: the port-server thread takes
    // them through its signalfd.
    vnx::block_master_signals();
    int rc = 0;
    std::thread port_server([&rc] { rc = vnx::port_server_thread(); });
    port_server.join();
    fflush(nullptr);
    return rc < 0 ? (rc & 0xFF) : 0;
}
