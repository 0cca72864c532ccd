// Version texts. See version.h.
#include "support/version.h"

#include "vnx_version_info.h"

namespace vnx {

const char *version_number() {
    return VNX_VERSION_NUMBER;
}

const char *version_commit() {
    return VNX_VERSION_COMMIT;
}

std::string version_line(const char *program) {
    std::string line = std::string(program) + " (Varnex) " + version_number();
    if (*version_commit() != '\0') line += std::string(" (commit ") + version_commit() + ")";
    return line;
}

}  // namespace vnx
