// The one thread that makes a gateway's ODBC calls. See odbc_thread.h.
#include "gateway/odbc_thread.h"

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace vnx {

namespace {

// The thread id (gettid) of the process's first backend operation; 0 before it.
std::atomic<pid_t> odbc_thread{0};

pid_t this_thread() {
    thread_local pid_t id = gettid();
    return id;
}

[[noreturn]] void wrong_thread(const char *operation, pid_t self, pid_t owner) {
    fprintf(stderr,
            "%s: ODBC operation on the wrong thread\n"
            "%s ran on thread %d; this process makes its ODBC calls on thread %d\n",
            program_invocation_short_name, operation, static_cast<int>(self),
            static_cast<int>(owner));
    abort();
}

}  // namespace

void check_odbc_thread(const char *operation) {
    pid_t self = this_thread();
    pid_t owner = odbc_thread.load(std::memory_order_acquire);
    if (owner == self) return;
    if (owner == 0 && odbc_thread.compare_exchange_strong(owner, self, std::memory_order_acq_rel))
        return;
    wrong_thread(operation, self, owner);
}

}  // namespace vnx
