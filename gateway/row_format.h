// How a result column travels to a client: its field description (name,
// width, type letter, decimals) and the text of its value in a row. Pure
// functions of a described, fetched `svr_column`; no ODBC call is made here.
//
// Type letters: N numbers, C characters (and binary data, sent only as the
// text "Bitmap image"; and every other type, such as a GUID, as the text
// its driver gives), D dates (YYYYMMDD), L logicals ("T"/"F"), M long
// character data (read through MEMO, never in rows). Every value loses its
// trailing blanks; a NULL value of any type is the empty text. Number texts
// are never cut: a value wider than its column keeps all its digits rather
// than turning into a different number.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "gateway/svr_session.h"

namespace vnx {

inline constexpr size_t kDescriptionMax = 79;  // a description fits an 80-byte slot

// The C type a column of this SQL type is bound as.
SQLSMALLINT binding_type(SQLSMALLINT sql_type);

struct FieldShape {
    char letter;
    int width;
};
// Letter and width of a column in rows (field_list false) or in the field list.
FieldShape field_shape(const svr_column &c, bool field_list);

// "NAME:WIDTH:LETTER:SCALE:" (rows) or with "READONLY:" appended (field
// list); the name is shortened so that the description fits kDescriptionMax.
std::string field_description(const svr_column &c, bool field_list);

// The value text of the column's bound buffer after a fetch.
std::string value_text(const svr_column &c);
// The same, appended to out (no allocation when out has room).
void append_value_text(const svr_column &c, std::string *out);

// No value text is longer than this.
inline constexpr size_t kValueTextMax = 400;
inline constexpr size_t kValueTooLong = static_cast<size_t>(-1);
// Writes the value text at out (capacity cap) and returns its length, or
// kValueTooLong (nothing written) when it needs more than cap bytes.
size_t write_value_text(const svr_column &c, char *out, size_t cap);

// A value as a fetch left it: its buffer (kColumnDataSize bytes, character
// data not necessarily terminated) and its length or indicator. Lets a row
// be formatted straight from a rowset's arrays.
struct BoundValue {
    const char *data;
    SQLLEN length;
};
// The same for value v of column c (whose own buffer is not read).
size_t write_value_text(const svr_column &c, BoundValue v, char *out, size_t cap);

// Terminates a column's buffer after a fetch: no driver is trusted to.
void terminate_bound_buffer(svr_column *c);

}  // namespace vnx
