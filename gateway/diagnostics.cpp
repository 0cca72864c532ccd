// Diagnostics, statement cache and savepoints. See diagnostics.h.
#include "gateway/diagnostics.h"

#include <algorithm>
#include <cstring>

namespace vnx {

namespace {

// Diagnostics after which the data source holds no transaction to commit:
// a lost connection (SQLSTATE class 08), a PostgreSQL transaction aborted
// by an earlier failure (25P02), a MariaDB deadlock, which rolls the whole
// transaction back (1213).
bool transaction_gone(const svr_session &s) {
    if (strncmp(s.sqlstate, "08", 2) == 0) return true;
    if (s.dialect == Dialect::PostgreSQL && strcmp(s.sqlstate, "25P02") == 0) return true;
    return s.dialect == Dialect::MariaDB && s.native_error == 1213;
}

}  // namespace

void sql_error(svr_session *s, SQLHSTMT hstmt) {
    svr_trace(s, "sql_error(START)\n");
    s->error_text[0] = '\0';
    s->sqlstate[0] = '\0';
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    SQLRETURN rc = SQLError(s->henv, s->hdbc, hstmt, state, &native,
                            reinterpret_cast<SQLCHAR *>(s->error_text), kErrorTextSize - 1, &len);
    s->error_text[kErrorTextSize - 1] = '\0';
    if (!sql_ok(rc)) {
        s->error_text[0] = '\0';
        return;
    }
    memcpy(s->sqlstate, state, sizeof s->sqlstate - 1);
    s->sqlstate[5] = '\0';
    s->native_error = native;
    if (s->connected && transaction_gone(*s)) s->work_lost = true;
    svr_trace(s, "sql_error(%s)\n", s->error_text);
}

bool connection_dead(svr_session *s) {
    if (!s->connected || (s->dialect != Dialect::PostgreSQL && s->dialect != Dialect::Other))
        return false;
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (!sql_ok(SQLGetConnectAttr(s->hdbc, SQL_ATTR_CONNECTION_DEAD, &dead, sizeof dead, nullptr)))
        return false;
    return dead == SQL_CD_TRUE;
}

int db_server_maperror(int32_t handle, char *text_out) {
    svr_session *s = find_session(handle);
    text_out[0] = '\0';
    if (s == nullptr) return -1;
    if (s->error_text[0] == '\0' && s->hdbc != SQL_NULL_HDBC) sql_error(s, SQL_NULL_HSTMT);
    size_t o = 0;
    for (size_t i = 0; s->error_text[i] != '\0' && o < kErrorTextSize - 1; i++)
        if (s->error_text[i] != '\r') text_out[o++] = s->error_text[i];
    text_out[o] = '\0';
    return 0;
}

namespace {

// What psqlODBC appends to the server's message, after ";\n".
constexpr std::string_view kDriverTrailers[] = {
    "Error while executing the query",
    "Error while preparing parameters",
    "No query has been executed with that handle",
};

bool starts_with(std::string_view text, std::string_view head) {
    return text.substr(0, head.size()) == head;
}

// The text after a "DETAIL:" or "HINT:" head, without the blanks after it.
std::string_view after_head(std::string_view line, std::string_view head) {
    line.remove_prefix(head.size());
    while (!line.empty() && line.front() == ' ')
        line.remove_prefix(1);
    return line;
}

void add_line(std::string *to, std::string_view line) {
    if (!to->empty()) *to += '\n';
    *to += line;
}

// Copies at most size - 1 bytes and terminates.
void put_text(char *out, size_t size, std::string_view text) {
    size_t n = std::min(text.size(), size - 1);
    memcpy(out, text.data(), n);
    out[n] = '\0';
}

}  // namespace

DiagnosticParts split_diagnostic(std::string_view raw) {
    std::string text;
    for (char ch : raw)
        if (ch != '\r') text += ch;
    std::string_view t = text;
    while (starts_with(t, "[")) {
        size_t close = t.find(']');
        if (close == std::string_view::npos) break;
        t.remove_prefix(close + 1);
    }
    while (!t.empty() && t.back() == '\n')
        t.remove_suffix(1);
    for (std::string_view trailer : kDriverTrailers) {
        std::string tail = ";\n" + std::string(trailer);
        if (t.size() >= tail.size() && t.substr(t.size() - tail.size()) == tail) {
            t.remove_suffix(tail.size());
            break;
        }
    }
    DiagnosticParts parts;
    std::string *to = &parts.message;
    while (!t.empty()) {
        size_t nl = t.find('\n');
        std::string_view line = t.substr(0, nl);
        t.remove_prefix(nl == std::string_view::npos ? t.size() : nl + 1);
        if (starts_with(line, "DETAIL:")) {
            to = &parts.detail;
            line = after_head(line, "DETAIL:");
        } else if (starts_with(line, "HINT:")) {
            to = &parts.hint;
            line = after_head(line, "HINT:");
        }
        add_line(to, line);
    }
    return parts;
}

int db_server_typed_error(int32_t handle, TypedError *out) {
    char text[kErrorTextSize];
    if (db_server_maperror(handle, text) != 0) return -1;
    svr_session *s = find_session(handle);
    if (s == nullptr) return -1;
    DiagnosticParts parts = split_diagnostic(text);
    put_text(out->message, sizeof out->message, parts.message);
    put_text(out->sqlstate, sizeof out->sqlstate, text[0] != '\0' ? s->sqlstate : "");
    put_text(out->detail, sizeof out->detail, parts.detail);
    put_text(out->hint, sizeof out->hint, parts.hint);
    return 0;
}

SQLHSTMT find_prepared_statement(svr_session *s, const std::string &text) {
    auto it = s->statement_cache.find(text);
    if (it != s->statement_cache.end()) return it->second;
    svr_trace(s, "find_prepared_statement(-1)\n");
    return SQL_NULL_HSTMT;
}

void cache_prepared_statement(svr_session *s, SQLHSTMT hstmt, const std::string &text) {
    svr_trace(s, "cache_prepared_statement()\n");
    if (s->statement_cache.size() >= kStatementCacheMax && !s->statement_cache.contains(text)) {
        auto victim = s->statement_cache.begin();  // any one: texts repeat or they do not
        SQLFreeStmt(victim->second, SQL_DROP);
        s->statement_cache.erase(victim);
    }
    auto [it, fresh] = s->statement_cache.emplace(text, hstmt);
    if (!fresh && it->second != hstmt) {
        SQLFreeStmt(it->second, SQL_DROP);
        it->second = hstmt;
    }
}

int malloc_savepoint(svr_session *s, const std::string &name) {
    svr_trace(s, "malloc_savepoint(START)-%s\n", name.c_str());
    if (name.size() > kCursorNameMax) {
        s->set_error("savepoint name longer than 19 characters");
        return -1;
    }
    s->savepoints.push_back(upper_name(name));
    return 0;
}

int free_savepoint(svr_session *s, const std::string &name) {
    svr_trace(s, "free_savepoint(START)-%s\n", name.c_str());
    auto it = std::find(s->savepoints.begin(), s->savepoints.end(), upper_name(name));
    if (it == s->savepoints.end()) return -1;
    s->savepoints.erase(it);
    return 0;
}

int find_savepoint(svr_session *s, const std::string &name) {
    std::string up = upper_name(name);
    if (std::find(s->savepoints.begin(), s->savepoints.end(), up) != s->savepoints.end()) return 0;
    svr_trace(s, "find_savepoint(SQL_ERROR)\n");
    return -1;
}

}  // namespace vnx
