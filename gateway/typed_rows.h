// Typed rows, for sessions whose client asked TYPED at CONNECT
// (protocol/typed_value.h says what the client sees).
//
// A typed client cursor keeps the usual column binding; after each fetch
// every value is turned into its tagged text here: numbers, dates and times
// from the bound buffer, and every value the buffer cannot hold whole (a
// long or unbounded text, any binary value) read again from its start with
// SQLGetData in pieces, into one string: a value is never held twice. A row
// whose values do not fit its packet sends the first piece of the longest
// ones in the row (tag '+') and the rest in PIECE packets right after it,
// column by column. Sessions that did not ask never reach this module.
#pragma once

#include <sql.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/svr_session.h"
#include "protocol/typed_value.h"

namespace vnx {

// Marks a client cursor of a typed session as typed and reads what the
// typed descriptions add (describe_typed). Does nothing for other sessions
// and internal statements.
void bind_typed(svr_session *s, csb *c);
// Reads, once a cursor, what typed descriptions add to its columns: the data
// source's type names and display sizes.
void describe_typed(csb *c);

// The value type of a described column.
dqp::ValueType value_type_of(const svr_column &c);

// The typed field description of a column (rows, or the field list).
std::string typed_description(const svr_column &c, bool field_list);

// The tagged texts of a typed cursor's current row: values[i] is the whole
// value of column i+1 ("-" for NULL, otherwise '=' and the text). -1 (the
// diagnostic recorded) when a value cannot be read.
int read_typed_row(svr_session *s, csb *c, std::vector<std::string> *values);

// One packet of a typed row: the row itself (column 0) or a piece of
// column `column`.
struct TypedPacket {
    int column;
    std::vector<std::string> args;
};

// Lays a row of whole tagged values out in packets of at most `limit`
// bytes: the row (each argument prefixed with its description when
// descriptions is not empty), then the PIECE packets of every value that did
// not fit, in column order. The texts of values of type `bytes` are cut at
// even lengths and all others at UTF-8 character boundaries. False when even
// the row without its long values cannot fit.
bool lay_out_typed_row(const std::vector<std::string> &values,
                       const std::vector<std::string> &descriptions,
                       const std::vector<bool> &is_bytes, size_t limit,
                       std::vector<TypedPacket> *packets);

// The packets of the cursor's current row, typed (see lay_out_typed_row).
// 0; -1 when a value cannot be read (the diagnostic recorded); -2 when the
// row is too wide for any packet (the reason recorded).
int typed_row_packets(svr_session *s, csb *c, bool with_descriptions, size_t limit,
                      std::vector<TypedPacket> *packets);

}  // namespace vnx
