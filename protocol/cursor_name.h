// The name a gateway gives the cursor of a session's direct queries.
//
// EXECSQL of a statement that makes a result opens a cursor named after the
// session handle: "DQP_SLT_" and the handle as 8 upper-case hex digits. The
// gateway names its cursors with it, and a client that pipelines a query's
// requests names the cursor before the gateway has answered. Both sides take
// the name from here, so they cannot drift apart. No allocation, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace dqp {

// Characters of the name, without a terminating NUL.
inline constexpr size_t kQueryCursorNameLength = 16;

// Writes the name for the session handle into out (at least
// kQueryCursorNameLength + 1 bytes, NUL-terminated) and returns it as a view
// into out. A negative handle is written as its 32-bit two's complement.
std::string_view query_cursor_name(int32_t handle, char *out);

}  // namespace dqp
