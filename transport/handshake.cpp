// The readiness handshake. See handshake.h.
#include "transport/handshake.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace vnx {

std::string handshake_file_name(int port) {
    char name[32];
    snprintf(name, sizeof name, "dqp_%04X.tmp", static_cast<unsigned>(port));
    return name;
}

void signal_ready(int port) {
    int fd = open(handshake_file_name(port).c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) close(fd);
}

}  // namespace vnx
