// Long character values inline in rows, for sessions whose client asked at
// CONNECT (protocol/long_text.h says what the client sees).
//
// A client cursor's long character columns are bound to buffers of their
// own, dqp::kLongTextMax + 1 bytes, instead of the 257-byte column buffer:
// one fetch brings the value (or its first kLongTextMax bytes and its full
// length), and the driver's read position in the column stays untouched, so
// that MEMO still reads the whole value from its start. Rows of such a
// cursor are formatted here, one row a fetch: every value as usual, the long
// ones as their text, cut with dqp::kLongTextCut where the value is longer
// than kLongTextMax or where the long values of the row together would not
// fit the reply packet. Sessions that did not ask, the gateway's own
// statements and every other column are left exactly as they were.
#pragma once

#include <sql.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/svr_session.h"

namespace vnx {

// SQL_LONGVARCHAR and its wide form.
bool is_long_character(SQLSMALLINT sql_type);

// Binds the long character columns of a client cursor to buffers of their
// own when its session asked for inline values, and marks the cursor. A
// column the driver will not bind so keeps its normal binding (and the
// placeholder). Does nothing for other sessions and internal statements.
void bind_long_text(svr_session *s, csb *c);

// The fetched value of a column bound by bind_long_text: the bytes in its
// buffer up to the first NUL, and whether they are the whole value. A NULL
// value is the empty text, whole.
struct LongValue {
    std::string_view text;
    bool whole;
};
LongValue long_value(const svr_column &c);

// Bytes a text takes in a frame: the run-length code writes a lone 0x01 as
// three bytes.
size_t wire_cost(std::string_view text);

// The longest prefix of text, ended at a UTF-8 character boundary, that
// takes at most `room` bytes in a frame together with the cut marker,
// followed by the marker. The marker alone when room leaves nothing for text.
std::string cut_long_text(std::string_view text, size_t room);

// Shares `budget` bytes among values wanting want[i] bytes: each gets what
// it wants when all fit, otherwise the smaller ones are served first and the
// rest split evenly. The allotments, in the order of want.
std::vector<size_t> share_budget(const std::vector<size_t> &want, size_t budget);

// The texts of the cursor's current row (each prefixed with its field
// description when with_descriptions), long values fitted so that the DATA
// packet of the row takes at most `limit` bytes, as far as the other values
// leave room.
void build_long_text_row(const svr_columns &cols, bool with_descriptions, size_t limit,
                         std::vector<std::string> *texts);

}  // namespace vnx
