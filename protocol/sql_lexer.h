// The one lexer of `?` parameter markers in SQL texts, shared by the client
// library, dqpsh, the Python module and any gateway that needs it.
//
// A `?` is a marker unless it lies inside a single-quoted string (a doubled
// quote stays inside), an E'' string (where a backslash also escapes the
// next byte), a dollar-quoted string ($$...$$, $tag$...$tag$), a
// double-quoted identifier (doubled quote inside), a `--` comment (to the end
// of the line) or a `/* */` comment (nested). `??` outside those stands for a
// literal `?` (the jsonb operator, for instance) and becomes one `?` in the
// text sent. A quote or comment left open runs to the end of the text.
//
// A statement sent without parameters is never scanned: it goes as written.
// Pure functions over the text given: no allocation beyond the result, no
// state, no dependency but the standard library.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace dqp {

// A statement as it is sent with parameters.
struct MarkerScan {
    // The text to send: the statement with each `??` outside quotes and
    // comments written as `?`.
    std::string text;
    // Offsets in `text` of the markers, in order.
    std::vector<size_t> markers;
};

// Scans `sql` for markers.
MarkerScan scan_markers(std::string_view sql);

}  // namespace dqp
