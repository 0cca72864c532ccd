// A trace log for fuzz targets: a regular file under /tmp (the server log
// opens only regular files), cut back to nothing every so often so that a
// long run does not fill the disk.
#pragma once

#include <unistd.h>

#include <string>

#include "protocol/trace.h"

inline void fuzz_trace_on() {
    static const std::string path = "/tmp/vnx_fuzz_trace_" + std::to_string(getpid()) + ".log";
    static bool opened = dqp::open_log(path) == 0;
    static unsigned runs = 0;
    if (opened && ++runs % 512 == 0) {
        if (truncate(path.c_str(), 0) != 0) {
        }
    }
}
