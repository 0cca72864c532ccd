// The name of a session's query cursor.
#include "protocol/cursor_name.h"

namespace dqp {

std::string_view query_cursor_name(int32_t handle, char *out) {
    static constexpr char kPrefix[] = "DQP_SLT_";
    static constexpr char kHex[] = "0123456789ABCDEF";
    size_t n = sizeof kPrefix - 1;
    for (size_t i = 0; i < n; i++)
        out[i] = kPrefix[i];
    auto h = static_cast<uint32_t>(handle);
    for (size_t i = kQueryCursorNameLength; i > n; i--, h >>= 4)
        out[i - 1] = kHex[h & 0xF];
    out[kQueryCursorNameLength] = '\0';
    return {out, kQueryCursorNameLength};
}

}  // namespace dqp
