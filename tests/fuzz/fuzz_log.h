// A trace log for fuzz targets: a regular file under /tmp (the server log
// opens only regular files), removed from the folder as soon as it is open, so
// that nothing is left behind however the run ends, and opened afresh every
// so often so that a long run does not fill the disk.
#pragma once

#include <unistd.h>

#include <string>

#include "protocol/trace.h"

inline void fuzz_trace_on() {
    static const std::string path = "/tmp/vnx_fuzz_trace_" + std::to_string(getpid()) + ".log";
    static unsigned runs = 0;
    if (runs++ % 512 == 0 && dqp::open_log(path) == 0) unlink(path.c_str());
}
