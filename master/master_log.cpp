// The master's events. See master_log.h.
#include "master/master_log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "protocol/trace.h"

namespace vnx {

std::string master_event_line(const std::string &text) {
    return dqp::iso_time_now() + " db_dqpserver[" + std::to_string(getpid()) + "]: " + text;
}

void master_event(const char *format, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    std::string line = master_event_line(text);
    dqp::log_line(line.c_str());
    line += '\n';
    // One write, so that lines of the gateways (which share this standard
    // error) never interleave inside it.
    ssize_t w = write(STDERR_FILENO, line.data(), line.size());
    (void)w;
}

}  // namespace vnx
