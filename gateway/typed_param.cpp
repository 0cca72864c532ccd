// Typed parameter values. See typed_param.h.
#include "gateway/typed_param.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/typed_value.h"

namespace vnx {

namespace {

template <typename T>
void put_image(T v, TypedBinding *out) {
    out->value.assign(reinterpret_cast<const char *>(&v), sizeof v);
}

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char ch : s)
        if (!isdigit(static_cast<unsigned char>(ch))) return false;
    return true;
}

int integer(std::string_view text, TypedBinding *out, std::string *why) {
    int64_t v = 0;
    std::string_view t = text.substr(0, 1) == "+" ? text.substr(1) : text;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size()) {
        *why = "\"" + std::string(text.substr(0, 40)) + "\" is not a 64-bit integer";
        return -1;
    }
    put_image(v, out);
    out->c_type = SQL_C_SBIGINT;
    out->sql_type = SQL_BIGINT;
    out->precision = 19;
    return 0;
}

int floating(std::string_view text, TypedBinding *out, std::string *why) {
    std::string t(text);
    char *end = nullptr;
    double v = t.empty() ? 0 : strtod(t.c_str(), &end);
    if (t.empty() || end != t.c_str() + t.size() || isspace(static_cast<unsigned char>(t[0]))) {
        *why = "\"" + t.substr(0, 40) + "\" is not a number";
        return -1;
    }
    put_image(v, out);
    out->c_type = SQL_C_DOUBLE;
    out->sql_type = SQL_DOUBLE;
    out->precision = 15;
    return 0;
}

int decimal(std::string_view text, TypedBinding *out, std::string *why) {
    std::string_view t = text;
    if (!t.empty() && (t[0] == '-' || t[0] == '+')) t.remove_prefix(1);
    size_t dot = t.find('.');
    std::string_view whole = t.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? "" : t.substr(dot + 1);
    if ((!whole.empty() && !all_digits(whole)) || (!fraction.empty() && !all_digits(fraction)) ||
        whole.size() + fraction.size() == 0) {
        *why = "\"" + std::string(text.substr(0, 40)) + "\" is not a decimal number";
        return -1;
    }
    out->value.assign(text);
    out->sql_type = SQL_NUMERIC;
    out->precision = std::max<SQLULEN>(whole.size() + fraction.size(), 1);
    out->scale = static_cast<SQLSMALLINT>(std::min<size_t>(fraction.size(), 32767));
    return 0;
}

int boolean(std::string_view text, TypedBinding *out, std::string *why) {
    if (text != "t" && text != "f") {
        *why = "a bool is \"t\" or \"f\"";
        return -1;
    }
    out->value = text == "t" ? "1" : "0";
    out->sql_type = SQL_BIT;
    out->precision = 1;
    return 0;
}

// Digits after the seconds' point of a time or timestamp text.
SQLSMALLINT fraction_digits(std::string_view text) {
    size_t dot = text.rfind('.');
    if (dot == std::string_view::npos) return 0;
    size_t n = 0;
    while (dot + 1 + n < text.size() && isdigit(static_cast<unsigned char>(text[dot + 1 + n])))
        n++;
    return static_cast<SQLSMALLINT>(std::min<size_t>(n, 9));
}

int as_text(std::string_view text, SQLSMALLINT sql_type, TypedBinding *out) {
    out->value.assign(text);
    out->sql_type = sql_type;
    out->precision = std::max<SQLULEN>(text.size(), 1);
    if (sql_type == SQL_TYPE_TIME || sql_type == SQL_TYPE_TIMESTAMP)
        out->scale = fraction_digits(text);
    return 0;
}

}  // namespace

int typed_binding(char flag, std::string_view text, TypedBinding *out, std::string *why) {
    *out = TypedBinding{};
    switch (flag) {
        case 'b':
            if (dqp::parse_hex_bytes(text, &out->value) != 0) {
                *why = "bytes travel as pairs of hexadecimal digits";
                return -1;
            }
            out->c_type = SQL_C_BINARY;
            out->sql_type = SQL_LONGVARBINARY;
            out->precision = std::max<SQLULEN>(out->value.size(), 1);
            return 0;
        case 'i':
            return integer(text, out, why);
        case 'f':
            return floating(text, out, why);
        case 'n':
            return decimal(text, out, why);
        case 'l':
            return boolean(text, out, why);
        case 'd':
            return as_text(text, SQL_TYPE_DATE, out);
        case 't':
            return as_text(text, SQL_TYPE_TIME, out);
        case 's':
            return as_text(text, SQL_TYPE_TIMESTAMP, out);
        case 'z':
            return as_text(text, SQL_VARCHAR, out);
        default:
            *why = std::string("unknown type flag '") + flag + "'";
            return -1;
    }
}

bool is_character_type(SQLSMALLINT t) {
    return t == SQL_CHAR || t == SQL_VARCHAR || t == SQL_LONGVARCHAR || t == SQL_WCHAR ||
           t == SQL_WVARCHAR || t == SQL_WLONGVARCHAR;
}

}  // namespace vnx
