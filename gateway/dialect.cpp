// Data-source dialects. See dialect.h.
#include "gateway/dialect.h"

#include <cctype>

namespace vnx {

namespace {

struct DialectName {
    std::string_view dbms;
    Dialect dialect;
};

constexpr DialectName kDialects[] = {
    {"SQLite", Dialect::SQLite},
    {"PostgreSQL", Dialect::PostgreSQL},
    {"MariaDB", Dialect::MariaDB},
    {"MySQL", Dialect::MariaDB},
};

}  // namespace

Dialect dialect_from_dbms_name(std::string_view dbms_name) {
    for (const DialectName &d : kDialects)
        if (dbms_name == d.dbms) return d.dialect;
    return Dialect::Other;
}

std::string_view lock_clause(Dialect d, bool cursor_names) {
    switch (d) {
        case Dialect::SQLite:
            return "";
        case Dialect::PostgreSQL:
        case Dialect::MariaDB:
            return " FOR UPDATE NOWAIT";
        case Dialect::Other:
            break;
    }
    return cursor_names ? " FOR UPDATE OF " : " FOR UPDATE NOWAIT";
}

namespace {

// One way of reading quoted text.
struct QuoteRules {
    bool backslash;  // a backslash inside quotes escapes the next character
    bool dollar;     // $tag$ ... $tag$ quotes (PostgreSQL)
};

// The length of a PostgreSQL dollar-quote tag ("$", an optional identifier,
// "$") at text[i], or 0 when none starts there.
size_t dollar_tag(std::string_view text, size_t i) {
    if (text[i] != '$') return 0;
    size_t j = i + 1;
    if (j < text.size() && isdigit(static_cast<unsigned char>(text[j]))) return 0;  // $1
    while (j < text.size() && (isalnum(static_cast<unsigned char>(text[j])) || text[j] == '_'))
        j++;
    return j < text.size() && text[j] == '$' ? j - i + 1 : 0;
}

// The first thing outside quoted text that could end or cut the statement,
// "" when there is none.
std::string unsafe_part(Dialect d, std::string_view text, QuoteRules rules) {
    for (size_t i = 0; i < text.size(); i++) {
        char ch = text[i];
        if (ch == '\'' || ch == '"' || ch == '`') {
            size_t j = i + 1;
            for (; j < text.size(); j++) {
                if (rules.backslash && text[j] == '\\') {
                    j++;
                } else if (text[j] == ch) {
                    if (j + 1 < text.size() && text[j + 1] == ch)
                        j++;  // a doubled quote stands for itself
                    else
                        break;
                }
            }
            if (j >= text.size()) return "an unterminated quoted text";
            i = j;
            continue;
        }
        if (size_t tag = rules.dollar ? dollar_tag(text, i) : 0; tag > 0) {
            size_t end = text.find(text.substr(i, tag), i + tag);
            if (end == std::string_view::npos) return "an unterminated quoted text";
            i = end + tag - 1;
            continue;
        }
        if (ch == ';') return "\";\"";
        if (text.substr(i, 2) == "--" || text.substr(i, 2) == "/*") return "a comment";
        if (ch == '#' && d == Dialect::MariaDB) return "a comment";
    }
    return "";
}

}  // namespace

bool sql_fragment_safe(Dialect d, std::string_view text, std::string *why) {
    for (QuoteRules rules :
         {QuoteRules{false, false}, QuoteRules{true, false}, QuoteRules{false, true}}) {
        std::string found = unsafe_part(d, text, rules);
        if (found.empty()) continue;
        *why = found;
        return false;
    }
    return true;
}

const char *dialect_name(Dialect d) {
    switch (d) {
        case Dialect::SQLite:
            return "SQLite";
        case Dialect::PostgreSQL:
            return "PostgreSQL";
        case Dialect::MariaDB:
            return "MariaDB";
        case Dialect::Other:
            break;
    }
    return "other";
}

}  // namespace vnx
