// The marker lexer. See sql_lexer.h.
#include "protocol/sql_lexer.h"

namespace dqp {

namespace {

bool ident_start(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}

// Bytes that continue an identifier; a quote or `$` right after one belongs
// to it (WHERE'x' is no E'' string, a$b$ no dollar quote).
bool ident_char(unsigned char c) {
    return ident_start(c) || (c >= '0' && c <= '9') || c == '$';
}

// End (one past the closing quote) of a quoted run opened at `open`, where
// `q` is the quote; a doubled quote stays inside, and with `backslash` a
// backslash escapes the next byte.
size_t quoted_end(std::string_view s, size_t open, char q, bool backslash) {
    size_t i = open + 1;
    while (i < s.size()) {
        if (backslash && s[i] == '\\') {
            i += 2;
        } else if (s[i] == q) {
            if (i + 1 < s.size() && s[i + 1] == q) {
                i += 2;
            } else {
                return i + 1;
            }
        } else {
            i++;
        }
    }
    return s.size();
}

// Length of the dollar-quote delimiter ($$ or $tag$) at s[i], or 0 when none
// starts there.
size_t dollar_tag(std::string_view s, size_t i) {
    size_t j = i + 1;
    if (j < s.size() && s[j] != '$') {
        if (!ident_start(static_cast<unsigned char>(s[j]))) return 0;
        while (j < s.size() && s[j] != '$' && ident_char(static_cast<unsigned char>(s[j])))
            j++;
    }
    if (j >= s.size() || s[j] != '$') return 0;
    return j + 1 - i;
}

// End of a /* */ comment opened at i, nested comments counted.
size_t block_comment_end(std::string_view s, size_t i) {
    int depth = 0;
    while (i < s.size()) {
        if (s.compare(i, 2, "/*") == 0) {
            depth++;
            i += 2;
        } else if (s.compare(i, 2, "*/") == 0) {
            i += 2;
            if (--depth == 0) return i;
        } else {
            i++;
        }
    }
    return s.size();
}

// End of whatever quoted text or comment starts at s[i], or i when none
// does. `after_ident`: the byte before i continues an identifier.
size_t skip_end(std::string_view s, size_t i, bool after_ident) {
    char c = s[i];
    if (c == '\'') return quoted_end(s, i, '\'', false);
    if (c == '"') return quoted_end(s, i, '"', false);
    if ((c == 'E' || c == 'e') && !after_ident && i + 1 < s.size() && s[i + 1] == '\'')
        return quoted_end(s, i + 1, '\'', true);
    if (s.compare(i, 2, "--") == 0) {
        size_t nl = s.find('\n', i);
        return nl == std::string_view::npos ? s.size() : nl + 1;
    }
    if (s.compare(i, 2, "/*") == 0) return block_comment_end(s, i);
    if (c == '$' && !after_ident) {
        size_t n = dollar_tag(s, i);
        if (n == 0) return i;
        size_t close = s.find(s.substr(i, n), i + n);
        return close == std::string_view::npos ? s.size() : close + n;
    }
    return i;
}

}  // namespace

MarkerScan scan_markers(std::string_view sql) {
    MarkerScan out;
    out.text.reserve(sql.size());
    size_t i = 0;
    while (i < sql.size()) {
        bool after_ident = i > 0 && ident_char(static_cast<unsigned char>(sql[i - 1]));
        size_t end = skip_end(sql, i, after_ident);
        if (end > i) {
            out.text.append(sql.substr(i, end - i));
            i = end;
        } else if (sql[i] == '?' && i + 1 < sql.size() && sql[i + 1] == '?') {
            out.text += '?';
            i += 2;
        } else {
            if (sql[i] == '?') out.markers.push_back(out.text.size());
            out.text += sql[i++];
        }
    }
    return out;
}

}  // namespace dqp
