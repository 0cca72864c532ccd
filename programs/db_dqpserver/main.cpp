// db_dqpserver: the master. Runs the port server on a worker thread; headless
// (this build has no console) it reports fatal start-up errors on standard
// error and, on SIGTERM or SIGINT, terminates every gateway that users.db
// lists before it exits.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "runtime/master.h"
#include "transport/port_server.h"
#include "transport/session_registry.h"

namespace {

void usage(FILE *out) {
    fprintf(out,
            "usage: db_dqpserver [--headless]\n"
            "Runs the Varnex master: the port server on the base port (DB_DQPBASE) and the\n"
            "session registry users.db in DB_ROOT. The configuration store is $VNX_REGISTRY\n"
            "(default /etc/vnx/registry.db).\n");
}

void report_to_stderr(const char *, const char *text, int) {
    fprintf(stderr, "db_dqpserver: %s\n", text);
}

}  // namespace

int main(int argc, char **argv) {
    bool headless = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0) {
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

    // The signals are taken by this thread alone, with sigwait; the port
    // server thread inherits the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::thread port_server([] {
        int rc = vnx::port_server_thread();
        fflush(nullptr);
        _exit(rc < 0 ? (rc & 0xFF) : 1);
    });
    port_server.detach();

    int sig = 0;
    sigwait(&stop, &sig);
    vnx::terminate_sessions();
    vnx::terminate_port_table_children();
    fflush(nullptr);
    _exit(0);
}
