// Record-level table access, keyed find. See find.h.
#include "gateway/find.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/cursors.h"
#include "gateway/diagnostics.h"
#include "gateway/table_open.h"

namespace vnx {

namespace {

constexpr size_t kMaxKeyParts = 5;

int fail(svr_session *s, const std::string &why) {
    s->set_error(why);
    svr_trace(s, "db_server_find(%d)\n", -1);
    return -1;
}

bool is_character(SQLSMALLINT t) {
    return t == SQL_CHAR || t == SQL_VARCHAR || t == SQL_WCHAR || t == SQL_WVARCHAR ||
           t == SQL_LONGVARCHAR || t == SQL_WLONGVARCHAR;
}

bool is_date(SQLSMALLINT t) {
    return t == SQL_DATE || t == SQL_TYPE_DATE;
}

std::string without_trailing_blanks(std::string_view v) {
    while (!v.empty() && v.back() == ' ')
        v.remove_suffix(1);
    return std::string(v);
}

std::string without_blanks(std::string_view v) {
    while (!v.empty() && v.front() == ' ')
        v.remove_prefix(1);
    return without_trailing_blanks(v);
}

// One key column with its condition.
struct KeyPart {
    const svr_column *column = nullptr;
    size_t width = 0;
    bool like = false;
    bool descending = false;
    StatementParam param;
};

// One comma-separated part of a key expression: its column and direction.
struct KeyName {
    std::string column;
    bool descending = false;
};

// The key expression's parts: each one's first word names the column, a
// second word DESC (in any case) orders it downwards, as the alias's order
// key does.
std::vector<KeyName> key_names(const std::string &key) {
    std::vector<KeyName> names;
    size_t start = 0;
    for (;;) {
        size_t comma = key.find(',', start);
        std::string part = without_blanks(key.substr(start, comma - start));
        size_t blank = part.find(' ');
        std::string rest = blank == std::string::npos ? "" : without_blanks(part.substr(blank));
        names.push_back({part.substr(0, blank), upper_name(rest) == "DESC"});
        if (comma == std::string::npos) return names;
        start = comma + 1;
    }
}

// The escape character of the LIKE conditions: the value's own "%" and "_"
// match themselves, only the "%" the gateway appends matches any text.
constexpr char kLikeEscape = '!';

std::string like_literal(std::string_view v) {
    std::string out;
    for (char ch : v) {
        if (ch == '%' || ch == '_' || ch == kLikeEscape) out += kLikeEscape;
        out += ch;
    }
    return out;
}

const svr_column *column_named(const svr_columns &cols, const std::string &name) {
    for (const svr_column &c : cols.columns)
        if (same_column(c.name, name)) return &c;
    return nullptr;
}

// The parameter of one part's piece of the search value.
StatementParam part_param(const KeyPart &p, std::string_view piece, bool ran_out) {
    StatementParam param;
    const svr_column &c = *p.column;
    param.sql_type = p.like ? SQL_VARCHAR : c.sql_type;
    param.precision = p.like || c.precision == 0 ? kColumnDataSize - 1 : c.precision;
    param.scale = c.scale > 0 ? c.scale : 0;
    if (is_character(c.sql_type)) {
        param.value = without_trailing_blanks(piece);
        if (p.like) param.value = like_literal(param.value);
        if (p.like && ran_out) param.value += "%";
        param.precision = std::max<SQLULEN>(param.precision, param.value.size());
        return param;
    }
    param.value = without_blanks(piece);
    if (is_date(c.sql_type) && param.value.size() == 8)
        param.value = param.value.substr(0, 4) + "-" + param.value.substr(4, 2) + "-" +
                      param.value.substr(6, 2);
    return param;
}

// Builds the key parts and their parameters from the search value. 0 or -1
// with the reason recorded.
int make_parts(svr_session *s, const svr_columns &cols, const std::string &key, bool exact,
               int letter, const std::string &value, std::vector<KeyPart> *parts) {
    std::vector<KeyName> names = key_names(key);
    if (names.size() > kMaxKeyParts) return fail(s, "a key has at most 5 columns");
    bool single = names.size() == 1;
    size_t at = 0;
    for (const KeyName &name : names) {
        KeyPart p;
        p.column = column_named(cols, name.column);
        p.descending = name.descending;
        if (p.column == nullptr)
            return fail(s, "key column " + name.column + " is not a column of the table");
        if (!single && at >= value.size()) break;  // no characters left: no condition
        p.width = is_date(p.column->sql_type) ? 8 : p.column->precision;
        std::string_view rest = std::string_view(value).substr(std::min(at, value.size()));
        std::string_view piece = single ? rest : rest.substr(0, p.width);
        at += piece.size();
        bool ran_out = at >= value.size() && (single || piece.size() < p.width);
        // Only the part the value ends in matches by prefix: a part given in
        // full must be equal (a blank-padded CHAR never matches LIKE without
        // a wildcard on some data sources).
        bool character = is_character(p.column->sql_type);
        p.like = character && !exact && ran_out && (!single || letter == 'C');
        if (single && letter == 'N') piece = rest;  // the number, leading blanks and all
        p.param = part_param(p, piece, ran_out);
        parts->push_back(std::move(p));
    }
    if (parts->empty()) return fail(s, "the search value is empty");
    return 0;
}

std::string find_text(const OpenTable &t, const std::vector<KeyPart> &parts, Dialect d) {
    std::string where, order;
    std::string like = std::string(" LIKE ? ESCAPE '") + kLikeEscape + "'";
    for (const KeyPart &p : parts) {
        where += (where.empty() ? "" : " AND ") + p.column->name + (p.like ? like : " = ?");
        order += (order.empty() ? "" : ",") + p.column->name + (p.descending ? " DESC" : "");
    }
    std::string text =
        "SELECT " + t.rowid_column + " FROM " + t.table + " WHERE " + where + " ORDER BY " + order;
    if (d != Dialect::Other) text += " LIMIT 1";
    return text;
}

}  // namespace

int db_server_find(int32_t handle, char *, int32_t *, int exact, int type_letter, const char *table,
                   int, const char *, char *rowid, const char *key, const char *value, int) {
    svr_session *s = find_session(handle);
    if (s == nullptr || !s->connected) return -1;
    svr_trace(s, "db_server_find(START)\n");
    s->clear_error();
    OpenTable *t = find_open_table(s, table);
    csb *read = t != nullptr ? find_internal_cursor(s, t->read_name) : nullptr;
    if (read == nullptr) return -1;
    std::vector<KeyPart> parts;
    if (make_parts(s, *read->columns, key, exact != 0, type_letter, value, &parts) != 0) return -1;
    csb *c = table_statement(s, t, find_text(*t, parts, s->dialect));
    if (c == nullptr) return -1;
    std::vector<StatementParam> params;
    for (KeyPart &p : parts)
        params.push_back(p.param);
    if (execute_statement(s, c, std::move(params)) != 0) return -1;
    char found[kColumnDataSize + 1] = {};
    int rc = fetch_first_text(s, c, found);
    close_statement(c);
    release_read_locks(s);
    if (rc == SQL_NO_DATA_FOUND) return fail(s, "no record matches the key value");
    if (rc != SQL_SUCCESS) return -1;
    memcpy(rowid, found, strlen(found) + 1);
    svr_trace(s, "db_server_find(END)\n");
    return 0;
}

}  // namespace vnx
