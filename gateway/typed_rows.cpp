// Typed rows. See typed_rows.h.
#include "gateway/typed_rows.h"

#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>

#include "gateway/diagnostics.h"
#include "gateway/long_text.h"
#include "gateway/row_format.h"
#include "protocol/long_text.h"
#include "protocol/packet.h"

namespace vnx {

namespace {

// Bytes a packet argument takes besides its value: its offset and length.
constexpr size_t kArgumentOverhead = 8;
// One SQLGetData call reads at most this much.
constexpr SQLLEN kPieceBuffer = 16384;

std::string lower(std::string_view text) {
    std::string out(text);
    for (char &ch : out)
        ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    return out;
}

bool with_zone(const svr_column &c) {
    std::string name = lower(c.source_type);
    return name.find("tz") != std::string::npos || name.find("with time zone") != std::string::npos;
}

// The bytes a bound character buffer holds, when they are the whole value.
bool bound_whole(const svr_column &c, std::string_view *text) {
    if (c.length < 0 || c.length >= kColumnDataSize) return false;  // cut, or SQL_NO_TOTAL
    *text = std::string_view(c.data, static_cast<size_t>(c.length));
    return true;
}

// Reads column n of the current row from its start, in pieces, appended to
// out: as characters or as raw bytes. 1 for NULL, 0, or -1 after recording
// the diagnostic.
int read_whole(svr_session *s, SQLHSTMT h, SQLUSMALLINT n, SQLSMALLINT ctype, std::string *out) {
    std::vector<char> buf(static_cast<size_t>(kPieceBuffer));
    const SQLLEN cap = ctype == SQL_C_CHAR ? kPieceBuffer - 1 : kPieceBuffer;
    for (bool first = true;; first = false) {
        SQLLEN ind = 0;
        SQLRETURN rc = SQLGetData(h, n, ctype, buf.data(), kPieceBuffer, &ind);
        if (rc == SQL_NO_DATA_FOUND) return 0;
        if (!sql_ok(rc)) {
            sql_error(s, h);
            svr_trace(s, "read_typed_row(SQLGetData() %d)\n", rc);
            return -1;
        }
        if (ind == SQL_NULL_DATA) return 1;
        bool more = ind == SQL_NO_TOTAL || ind > cap;
        if (first && more && ind > cap) out->reserve(out->size() + static_cast<size_t>(ind));
        out->append(buf.data(), static_cast<size_t>(more ? cap : std::max<SQLLEN>(ind, 0)));
        if (!more) return 0;
    }
}

void append_integer(SQLINTEGER v, std::string *out) {
    char buf[16];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out->append(buf, end);
}

void append_float(const svr_column &c, std::string *out) {
    if (binding_type(c.sql_type) == SQL_C_FLOAT) {
        // A single-precision value prints as its shortest single text, as the
        // data source prints it (0.1, not 0.10000000149011612).
        float f = 0;
        memcpy(&f, c.data, sizeof f);
        if (!std::isfinite(f)) {
            *out += dqp::float_text(f);
            return;
        }
        char buf[64];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, f);
        out->append(buf, end);
        return;
    }
    double d = 0;
    memcpy(&d, c.data, sizeof d);
    *out += dqp::float_text(d);
}

bool true_text(const svr_column &c) {
    unsigned char first = static_cast<unsigned char>(c.data[0]);
    return c.length > 0 && (first == 1 || first == '1' || first == 't' || first == 'T' ||
                            first == 'y' || first == 'Y');
}

// The tagged text of column n (1, 2, ...) after a fetch.
int read_value(svr_session *s, csb *c, SQLUSMALLINT n, const svr_column &col, std::string *out) {
    out->clear();
    if (col.length == SQL_NULL_DATA) {
        *out = dqp::kNullTag;
        return 0;
    }
    *out = dqp::kWholeTag;
    dqp::ValueType type = value_type_of(col);
    SQLSMALLINT ctype = binding_type(col.sql_type);
    if (type == dqp::ValueType::Bool) {
        *out += true_text(col) ? 't' : 'f';
        return 0;
    }
    if (ctype == SQL_C_LONG) {
        SQLINTEGER v = 0;
        memcpy(&v, col.data, sizeof v);
        append_integer(v, out);
        return 0;
    }
    if (ctype == SQL_C_FLOAT || ctype == SQL_C_DOUBLE) {
        append_float(col, out);
        return 0;
    }
    std::string_view text;
    if (type != dqp::ValueType::Bytes && bound_whole(col, &text)) {
        out->append(text);
        // A GUID as its data source prints it: psqlODBC upper-cases the
        // lower-case text of PostgreSQL's uuid.
        if (col.sql_type == SQL_GUID)
            for (size_t i = 1; i < out->size(); i++)
                (*out)[i] = static_cast<char>(tolower(static_cast<unsigned char>((*out)[i])));
        return 0;
    }
    // Longer than the bound buffer, or binary: read again from the start.
    std::string raw;
    bool bytes = type == dqp::ValueType::Bytes;
    std::string *into = bytes ? &raw : out;
    int r = read_whole(s, c->hstmt, n, bytes ? SQL_C_BINARY : SQL_C_CHAR, into);
    if (r < 0) return -1;
    if (r == 1) {
        *out = dqp::kNullTag;
        return 0;
    }
    if (bytes) dqp::append_hex(raw, out);
    return 0;
}

// Wire cost of text[0, end) stays within room: the longest such end, moved
// back to a boundary (an even length for hexadecimal digits, a character
// boundary otherwise).
size_t fitting_end(std::string_view text, size_t room, bool hex) {
    size_t end = 0, cost = 0;
    while (end < text.size()) {
        size_t c = text[end] == 0x01 ? 3 : 1;
        if (cost + c > room) break;
        cost += c;
        end++;
    }
    if (end == text.size()) return end;
    return hex ? end & ~size_t{1} : dqp::utf8_cut(text, end);
}

}  // namespace

void bind_typed(svr_session *s, csb *c) {
    if (!s->typed || c->internal) return;
    c->typed = true;
    describe_typed(c);
}

void describe_typed(csb *c) {
    if (c->typed_described) return;
    c->typed_described = true;
    SQLUSMALLINT n = 0;
    for (svr_column &col : c->columns->columns) {
        n++;
        char name[130] = {};
        SQLSMALLINT len = 0;
        if (sql_ok(SQLColAttributes(c->hstmt, n, SQL_COLUMN_TYPE_NAME, name, sizeof name - 1, &len,
                                    nullptr)))
            col.source_type.assign(name, strnlen(name, sizeof name - 1));
        SQLLEN display = -1;
        if (!sql_ok(SQLColAttributes(c->hstmt, n, SQL_COLUMN_DISPLAY_SIZE, nullptr, 0, nullptr,
                                     &display)) ||
            display < 0)
            display = -1;
        col.display_size = display;
    }
}

dqp::ValueType value_type_of(const svr_column &c) {
    using dqp::ValueType;
    std::string source = lower(c.source_type);
    if (source == "bool" || source == "boolean") return ValueType::Bool;
    switch (c.sql_type) {
        case SQL_BIT:
            return ValueType::Bool;
        case SQL_TINYINT:
        case SQL_SMALLINT:
        case SQL_INTEGER:
        case SQL_BIGINT:
            return ValueType::Int;
        case SQL_NUMERIC:
        case SQL_DECIMAL:
            return ValueType::Decimal;
        case SQL_REAL:
        case SQL_FLOAT:
        case SQL_DOUBLE:
            return ValueType::Float;
        case SQL_DATE:
        case SQL_TYPE_DATE:
            return ValueType::Date;
        case SQL_TIME:
        case SQL_TYPE_TIME:
            return with_zone(c) ? ValueType::TimeTz : ValueType::Time;
        case SQL_TIMESTAMP:
        case SQL_TYPE_TIMESTAMP:
            return with_zone(c) ? ValueType::TimestampTz : ValueType::Timestamp;
        case SQL_CHAR:
        case SQL_VARCHAR:
        case SQL_LONGVARCHAR:
        case SQL_WCHAR:
        case SQL_WVARCHAR:
        case SQL_WLONGVARCHAR:
            return ValueType::Text;
        case SQL_BINARY:
        case SQL_VARBINARY:
        case SQL_LONGVARBINARY:
            return ValueType::Bytes;
        default:
            return ValueType::Other;
    }
}

std::string typed_description(const svr_column &c, bool field_list) {
    dqp::TypedField f;
    f.name = c.name;
    FieldShape shape = is_long_character(c.sql_type)
                           ? FieldShape{dqp::kLongTextType, static_cast<int>(dqp::kLongTextMax)}
                           : field_shape(c, field_list);
    f.width = shape.width;
    f.letter = shape.letter;
    f.scale = c.scale;
    f.readonly = c.updatable == 0;
    f.type = value_type_of(c);
    f.precision = static_cast<int64_t>(c.precision);
    f.nullable = c.nullable == SQL_NO_NULLS ? 0 : c.nullable == SQL_NULLABLE ? 1 : 2;
    f.display = c.display_size;
    f.source = c.source_type;
    return dqp::format_typed_description(f, field_list);
}

int read_typed_row(svr_session *s, csb *c, std::vector<std::string> *values) {
    auto &cols = c->columns->columns;
    values->resize(cols.size());
    for (size_t i = 0; i < cols.size(); i++)
        if (read_value(s, c, static_cast<SQLUSMALLINT>(i + 1), cols[i], &(*values)[i]) != 0)
            return -1;
    return 0;
}

bool lay_out_typed_row(const std::vector<std::string> &values,
                       const std::vector<std::string> &descriptions,
                       const std::vector<bool> &is_bytes, size_t limit,
                       std::vector<TypedPacket> *packets) {
    packets->clear();
    const size_t n = values.size();
    size_t fixed = dqp::PKT_HEADER_SIZE;
    std::vector<size_t> want(n);
    size_t wanted = 0;
    for (size_t i = 0; i < n; i++) {
        fixed += kArgumentOverhead + (descriptions.empty() ? 0 : wire_cost(descriptions[i]));
        want[i] = wire_cost(values[i]);
        wanted += want[i];
    }
    // Every value needs at least its tag in the row.
    if (fixed + n > limit) return false;
    std::vector<size_t> allot = fixed + wanted <= limit ? want : share_budget(want, limit - fixed);
    TypedPacket row{0, {}};
    std::vector<size_t> sent(n, 0);  // bytes of each value's text the row carries
    for (size_t i = 0; i < n; i++) {
        std::string arg = descriptions.empty() ? std::string() : descriptions[i];
        if (allot[i] >= want[i]) {
            arg += values[i];
            sent[i] = values[i].size();
        } else {
            std::string_view text = std::string_view(values[i]).substr(1);
            size_t end = fitting_end(text, allot[i] > 0 ? allot[i] - 1 : 0, is_bytes[i]);
            arg += dqp::kPieceTag;
            arg.append(text.substr(0, end));
            sent[i] = 1 + end;
        }
        row.args.push_back(std::move(arg));
    }
    packets->push_back(std::move(row));
    const size_t room = limit - dqp::PKT_HEADER_SIZE - kArgumentOverhead - 1;
    for (size_t i = 0; i < n; i++) {
        std::string_view text = values[i];
        size_t at = sent[i];
        while (at < text.size()) {
            size_t end = at + fitting_end(text.substr(at), room, is_bytes[i]);
            if (end == at) end = at + 1;  // never stall (a room of a few bytes)
            std::string arg(1, end == text.size() ? dqp::kWholeTag : dqp::kPieceTag);
            arg.append(text.substr(at, end - at));
            packets->push_back({static_cast<int>(i + 1), {std::move(arg)}});
            at = end;
        }
    }
    return true;
}

int typed_row_packets(svr_session *s, csb *c, bool with_descriptions, size_t limit,
                      std::vector<TypedPacket> *packets) {
    describe_typed(c);
    std::vector<std::string> values, descriptions;
    std::vector<bool> is_bytes;
    if (read_typed_row(s, c, &values) != 0) return -1;
    for (const svr_column &col : c->columns->columns) {
        if (with_descriptions) descriptions.push_back(typed_description(col, false));
        is_bytes.push_back(value_type_of(col) == dqp::ValueType::Bytes);
    }
    if (lay_out_typed_row(values, descriptions, is_bytes, limit, packets)) return 0;
    s->set_error("a row has more columns than a reply packet can carry");
    svr_trace(s, "svr_fetch_row(%d)\n", -1);
    return -2;
}

}  // namespace vnx
