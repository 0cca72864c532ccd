// Field descriptions and value texts. See row_format.h.
#include "gateway/row_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocol/long_text.h"

namespace vnx {

namespace {

constexpr const char kBitmap[] = "Bitmap image";

// The column precision read as a 16-bit signed number.
int precision16(const svr_column &c) {
    return static_cast<int16_t>(static_cast<uint16_t>(c.precision & 0xFFFF));
}

int precision_or_255(const svr_column &c) {
    int p = precision16(c);
    return p <= 0 ? 255 : p;
}

enum class Kind {
    Bit,
    Number,
    Integer,
    Small,
    Float,
    Date,
    Char,
    Time,
    Stamp,
    Binary,
    Memo,
    Other
};

Kind kind_of(SQLSMALLINT t) {
    switch (t) {
        case SQL_BIT:
            return Kind::Bit;
        case SQL_TINYINT:
        case SQL_BIGINT:
        case SQL_NUMERIC:
        case SQL_DECIMAL:
            return Kind::Number;
        case SQL_INTEGER:
            return Kind::Integer;
        case SQL_SMALLINT:
            return Kind::Small;
        case SQL_REAL:
        case SQL_FLOAT:
        case SQL_DOUBLE:
            return Kind::Float;
        case SQL_DATE:
        case SQL_TYPE_DATE:
            return Kind::Date;
        case SQL_CHAR:
        case SQL_VARCHAR:
        case SQL_WCHAR:
        case SQL_WVARCHAR:
            return Kind::Char;
        case SQL_TIME:
        case SQL_TYPE_TIME:
            return Kind::Time;
        case SQL_TIMESTAMP:
        case SQL_TYPE_TIMESTAMP:
            return Kind::Stamp;
        case SQL_BINARY:
        case SQL_VARBINARY:
        case SQL_LONGVARBINARY:
            return Kind::Binary;
        case SQL_LONGVARCHAR:
        case SQL_WLONGVARCHAR:
            return Kind::Memo;
        default:
            return Kind::Other;
    }
}

// The text of a bound value up to its first NUL, within the bytes the
// driver reported (a value the driver cut fills the buffer but its last
// byte), at most `limit` characters.
std::string_view bound_text(BoundValue v, size_t limit) {
    size_t in_buffer = v.length >= 0 && v.length < kColumnDataSize
                           ? static_cast<size_t>(v.length)
                           : static_cast<size_t>(kColumnDataSize - 1);
    size_t n = strnlen(v.data, std::min(in_buffer, limit));
    return std::string_view(v.data, n);
}

// "%*d" of the precision, written by hand: this runs for every integer of
// every row. At most 20 characters.
char *put_integer(const svr_column &c, const char *data, char *out) {
    SQLINTEGER v = 0;
    memcpy(&v, data, sizeof v);
    char digits[16];
    int n = 0;
    int64_t x = v < 0 ? -static_cast<int64_t>(v) : v;
    do {
        digits[n++] = static_cast<char>('0' + x % 10);
        x /= 10;
    } while (x != 0);
    if (v < 0) digits[n++] = '-';
    int w = std::min(std::max(precision16(c), 0), 20);
    if (w > n) {
        memset(out, ' ', static_cast<size_t>(w - n));
        out += w - n;
    }
    while (n > 0)
        *out++ = digits[--n];
    return out;
}

// "%*f" of the width; a value whose text would be longer keeps fewer
// decimals, and one whose integral part alone is too wide is sent whole:
// never a cut that changes the number. Less than kValueTextMax characters.
char *put_float(const svr_column &c, const char *data, char *out) {
    double v = 0;
    if (c.sql_type == SQL_REAL) {
        float f = 0;
        memcpy(&f, data, sizeof f);
        v = f;
    } else {
        memcpy(&v, data, sizeof v);
    }
    int w = std::min(std::max(precision16(c), 0), 64);
    char buf[kValueTextMax];
    int n = snprintf(buf, sizeof buf, "%*f", w, v);
    if (n > w) {
        int whole = snprintf(buf, sizeof buf, "%.0f", v);
        int decimals = w - whole - 1;
        if (whole < w)
            n = snprintf(buf, sizeof buf, "%*.*f", w, std::max(decimals, 0), v);
        else
            n = whole;
    }
    n = std::clamp(n, 0, static_cast<int>(sizeof buf) - 1);
    memcpy(out, buf, static_cast<size_t>(n));
    return out + n;
}

// The date without its '-', at most 8 characters.
char *put_date(BoundValue v, char *out) {
    size_t kept = 0;
    for (char ch : bound_text(v, kColumnDataSize)) {
        if (ch == '-') continue;
        if (kept++ == 8) break;
        *out++ = ch;
    }
    return out;
}

char *put_text(std::string_view text, char *out) {
    memcpy(out, text.data(), text.size());
    return out + text.size();
}

char *trim_trailing_blanks(char *from, char *end) {
    while (end > from && end[-1] == ' ')
        end--;
    return end;
}

// Writes the text of value v of column c at out, which has room for
// kValueTextMax bytes; returns its end.
char *put_value_text(const svr_column &c, BoundValue v, char *out) {
    char *from = out;
    if (v.length == SQL_NULL_DATA) return out;
    switch (kind_of(c.sql_type)) {
        case Kind::Bit:
            *out++ = v.data[0] == '0' || v.data[0] == '\0' ? 'F' : 'T';
            return out;
        case Kind::Number:
        case Kind::Small:
            out = put_text(bound_text(v, kColumnDataSize), out);
            break;
        case Kind::Integer:
            out = put_integer(c, v.data, out);
            break;
        case Kind::Float:
            out = put_float(c, v.data, out);
            break;
        case Kind::Date:
            out = put_date(v, out);
            break;
        case Kind::Char:
        case Kind::Time:
        case Kind::Stamp:
            out = put_text(bound_text(v, static_cast<size_t>(precision_or_255(c))), out);
            break;
        case Kind::Binary: {
            int p = precision16(c);
            out = put_text(std::string_view(
                               kBitmap, p > 0 && p < 12 ? static_cast<size_t>(p) : strlen(kBitmap)),
                           out);
            break;
        }
        case Kind::Memo:
            out = put_text(kBitmap, out);
            break;
        case Kind::Other:
            // Bound as characters (a GUID, an interval, a driver's own
            // type): its text is its value, never an empty one.
            out = put_text(bound_text(v, static_cast<size_t>(precision_or_255(c))), out);
            break;
    }
    return trim_trailing_blanks(from, out);
}

BoundValue bound_value(const svr_column &c) {
    return {c.data, c.length};
}

}  // namespace

SQLSMALLINT binding_type(SQLSMALLINT sql_type) {
    switch (sql_type) {
        case SQL_INTEGER:
            return SQL_C_LONG;
        case SQL_REAL:
            return SQL_C_FLOAT;
        case SQL_FLOAT:
        case SQL_DOUBLE:
            return SQL_C_DOUBLE;
        default:
            return SQL_C_CHAR;
    }
}

FieldShape field_shape(const svr_column &c, bool field_list) {
    switch (kind_of(c.sql_type)) {
        case Kind::Bit:
            return {'L', 1};
        case Kind::Number:
        case Kind::Integer:
        case Kind::Small:
        case Kind::Float:
            return {'N', precision16(c)};
        case Kind::Date:
            return {'D', precision16(c)};
        case Kind::Char:
            return {'C', precision_or_255(c)};
        case Kind::Time:
            return {'C', field_list ? 8 : precision_or_255(c)};
        case Kind::Stamp:
            return {'C', field_list ? 26 : precision_or_255(c)};
        case Kind::Binary:
            return {'C', 12};
        case Kind::Memo:
            // Inline values (long_text.h): their own letter and longest text.
            if (!c.long_data.empty())
                return {dqp::kLongTextType, static_cast<int>(dqp::kLongTextMax)};
            return {'M', 4};
        case Kind::Other:
            break;
    }
    return {'C', precision_or_255(c)};
}

std::string field_description(const svr_column &c, bool field_list) {
    FieldShape shape = field_shape(c, field_list);
    char tail[64];
    if (field_list)
        snprintf(tail, sizeof tail, ":%d:%c:%d:%d:", shape.width, shape.letter, c.scale,
                 c.updatable == 0 ? 1 : 0);
    else
        snprintf(tail, sizeof tail, ":%d:%c:%d:", shape.width, shape.letter, c.scale);
    size_t room = kDescriptionMax - strlen(tail);
    std::string out = c.name.substr(0, room);
    out += tail;
    return out;
}

size_t write_value_text(const svr_column &c, BoundValue v, char *out, size_t cap) {
    if (cap >= kValueTextMax) return static_cast<size_t>(put_value_text(c, v, out) - out);
    char buf[kValueTextMax];
    size_t n = static_cast<size_t>(put_value_text(c, v, buf) - buf);
    if (n > cap) return kValueTooLong;
    memcpy(out, buf, n);
    return n;
}

size_t write_value_text(const svr_column &c, char *out, size_t cap) {
    return write_value_text(c, bound_value(c), out, cap);
}

void append_value_text(const svr_column &c, std::string *out) {
    char text[kValueTextMax];
    out->append(text, static_cast<size_t>(put_value_text(c, bound_value(c), text) - text));
}

std::string value_text(const svr_column &c) {
    std::string out;
    append_value_text(c, &out);
    return out;
}

void terminate_bound_buffer(svr_column *c) {
    if (binding_type(c->sql_type) != SQL_C_CHAR || c->length == SQL_NULL_DATA) return;
    if (c->length >= 0 && c->length < kColumnDataSize)
        c->data[c->length] = '\0';
    else
        c->data[kColumnDataSize - 1] = '\0';  // cut by the driver
}

}  // namespace vnx
