// SQL statements and named cursors. See cursors.h.
#include "gateway/cursors.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "gateway/cancel.h"
#include "gateway/diagnostics.h"
#include "gateway/long_text.h"
#include "gateway/rows.h"
#include "gateway/typed_rows.h"
#include "protocol/cursor_name.h"
#include "runtime/backend.h"

namespace vnx {

namespace {

constexpr int kExecsqlNameSize = 240;  // the request loop's text result

// Drops a statement handle that no cursor or cache entry owns.
void drop_statement(SQLHSTMT h) {
    if (h != SQL_NULL_HSTMT) SQLFreeStmt(h, SQL_DROP);
}

// Records the failed call's diagnostic and traces it. Returns the failing
// code as the operation's status: negative always, so that no failure (say
// SQL_NEED_DATA) ever reads as success.
int odbc_failure(svr_session *s, SQLHSTMT h, int rc, const char *trace_fmt) {
    sql_error(s, h);
    svr_trace(s, trace_fmt, rc);
    return rc < 0 ? rc : -1;
}

// The n-th blank-separated word after the first blank that follows the first
// "W" of a SELECT text; empty when the text is not a SELECT or has no such word.
std::string marker_column_word(const std::string &text, int n) {
    if (text.compare(0, 7, "SELECT ") != 0) return "";
    size_t w = text.find('W');
    if (w == std::string::npos) return "";
    size_t blank = text.find(' ', w);
    if (blank == std::string::npos) return "";
    std::istringstream words(text.substr(blank + 1));
    std::string word;
    for (int i = 0; i < n && (words >> word); i++) {
        if (i == n - 1) return word;
    }
    return "";
}

// Describes parameter marker `number` by the result column of the same name
// as its word after WHERE. -1 when no column matches.
int describe_param(const svr_columns &cols, const std::string &text, int number, svr_param *p) {
    std::string word = marker_column_word(text, number);
    for (const svr_column &c : cols.columns) {
        if (word.empty() || c.name != word) continue;
        SQLSMALLINT t = c.sql_type;
        if (t == SQL_BINARY || t == SQL_VARBINARY || t == SQL_LONGVARBINARY || t == SQL_VARCHAR)
            t = SQL_CHAR;
        p->sql_type = t;
        p->precision = c.precision;
        p->scale = 0;
        return 0;
    }
    return -1;
}

// Describes a marker that names no result column: as the driver describes
// it, else as text of the longest value a marker takes.
void describe_param_by_driver(SQLHSTMT h, int number, svr_param *p) {
    SQLSMALLINT type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    bool known = sql_ok(SQLDescribeParam(h, static_cast<SQLUSMALLINT>(number), &type, &size,
                                         &digits, &nullable)) &&
                 type != SQL_UNKNOWN_TYPE;
    p->sql_type = known ? type : SQL_VARCHAR;
    p->precision = known && size > 0 ? size : kParamValueMax;
    p->scale = known && digits > 0 ? digits : 0;
}

// Binds one parameter marker to its buffer, always with SQL_NTS.
SQLRETURN set_param(SQLHSTMT h, int number, svr_param &p, SQLULEN precision) {
    return SQLSetParam(h, static_cast<SQLUSMALLINT>(number), SQL_C_CHAR, p.sql_type, precision,
                       p.scale, p.data, &p.length);
}

int bind_param(svr_columns *cols, SQLHSTMT h, svr_session *s, const std::string &text) {
    SQLSMALLINT n = 0;
    if (SQLNumParams(h, &n) == SQL_ERROR) {
        svr_trace(s, "bind_param(SQLNumParams()%d)\n", -1);
        return -1;
    }
    cols->params.resize(static_cast<size_t>(std::max<SQLSMALLINT>(n, 0)));
    for (int i = 1; i <= n; i++) {
        svr_param &p = cols->params[static_cast<size_t>(i - 1)];
        if (describe_param(*cols, text, i, &p) != 0) describe_param_by_driver(h, i, &p);
        if (set_param(h, i, p, p.precision) == SQL_ERROR) {
            sql_error(s, h);
            svr_trace(s, "bind_param(SQLSetParam()%d)\n", -1);
            return -1;
        }
    }
    SQLUSMALLINT nn = 0;
    if (!sql_ok(SQLGetInfo(s->hdbc, SQL_NON_NULLABLE_COLUMNS, &nn, sizeof nn, nullptr))) nn = 0;
    cols->non_nullable = nn;
    return 0;
}

// Copies the OPEN parameter values into their markers; a length of
// kNullParamLength binds the marker as NULL (other lengths are not used:
// the marker keeps the precision it was described with). -1 (with the
// reason recorded) for more values than markers or a value over 257
// characters.
int fill_in_parameter_markers(svr_session *s, csb *c, int count, const int *lengths,
                              const char *const *values) {
    svr_columns &cols = *c->columns;
    if (count > static_cast<int>(cols.params.size())) {
        s->set_error("more parameter values than parameter markers");
        return -1;
    }
    for (int i = 0; i < count; i++) {
        const char *v = values[i] != nullptr ? values[i] : "";
        size_t len = strlen(v);
        if (len > kParamValueMax) {
            s->set_error("parameter value longer than 257 characters");
            return -1;
        }
        svr_param &p = cols.params[static_cast<size_t>(i)];
        memcpy(p.data, v, len + 1);
        // The indicator is bound by address: NULL or not takes effect
        // whether or not the marker is bound again.
        p.length = lengths != nullptr && lengths[i] == kNullParamLength ? SQL_NULL_DATA : SQL_NTS;
        if (cols.non_nullable == 0) set_param(c->hstmt, i + 1, p, p.precision);
    }
    return 0;
}

// A name a cursor may carry: refused (with the reason recorded) when longer
// than its 19-character field.
bool cursor_name_fits(svr_session *s, const char *name) {
    if (strlen(name) <= kCursorNameMax) return true;
    s->set_error("cursor name longer than 19 characters");
    return false;
}

// Executes a statement; SQL_NO_DATA from a statement that touched no row is
// success as well.
bool executed(SQLRETURN rc) {
    return sql_ok(rc) || rc == SQL_NO_DATA_FOUND;
}

int execsql_cached(svr_session *s, SQLHSTMT h, const std::string &text, int32_t *has_cursor,
                   int32_t *status, int32_t *status2) {
    CancellableCall running(s, h);
    SQLRETURN rc = SQLExecute(h);
    running.end();
    if (!executed(rc)) return odbc_failure(s, h, rc, "db_server_execsql(%d)\n");
    s->dirty = true;
    if (s->typed) s->last_row_count = changed_rows(h, text);
    *status = *status2 = *has_cursor = 0;
    return 0;
}

// Makes the cursor of a query that has already been executed.
int execsql_query(svr_session *s, SQLHSTMT h, int ncols, const std::string &text, char *cursor_name,
                  int32_t *has_cursor, int32_t *status2) {
    char name[dqp::kQueryCursorNameLength + 1];
    dqp::query_cursor_name(s->handle, name);
    csb *c = bind_client_cursor(s, h, ncols, text, false, name);
    if (c == nullptr) {
        if (s->error_text[0] == '\0') s->set_error("the query's result columns cannot be bound");
        svr_trace(s, "db_server_execsql(%d) bind_cursor()\n", -1);
        return -1;
    }
    c->reusable = true;
    snprintf(cursor_name, kExecsqlNameSize, "%s", name);
    *status2 = 0;
    *has_cursor = 1;
    release_read_locks_when_idle(s);
    return 0;
}

}  // namespace

// ---- cursor list -------------------------------------------------------------

namespace {

csb *find_named(svr_session *s, const std::string &name, bool internal) {
    svr_trace(s, "find_cursor(START)-%s\n", name.c_str());
    std::string up = upper_name(name);
    for (auto &c : s->cursors)
        if (c->internal == internal && c->name == up) return c.get();
    svr_trace(s, "find_cursor(-1)\n");
    return nullptr;
}

constexpr char kInternalPrefix[] = "DQP_T";
constexpr size_t kInternalPrefixLen = sizeof kInternalPrefix - 1;

}  // namespace

csb *find_cursor(svr_session *s, const std::string &name) {
    return find_named(s, name, false);
}

csb *find_internal_cursor(svr_session *s, const std::string &name) {
    return find_named(s, name, true);
}

std::string internal_cursor_name(svr_session *s, unsigned serial) {
    char name[kCursorNameMax + 1];
    snprintf(name, sizeof name, "%s%08X%06u", kInternalPrefix, static_cast<unsigned>(s->handle),
             serial % 1000000u);
    return name;
}

bool refuse_internal_name(svr_session *s, const std::string &name) {
    std::string up = upper_name(name);
    if (up.size() != kCursorNameMax || up.compare(0, kInternalPrefixLen, kInternalPrefix) != 0 ||
        up.find_first_not_of("0123456789ABCDEF", kInternalPrefixLen) != std::string::npos)
        return false;
    s->set_error("cursor name " + name + " is reserved for the gateway's own statements");
    svr_trace(s, "find_cursor(reserved)-%s\n", name.c_str());
    return true;
}

namespace {

// Keeps the statement of a released cursor as the session's spare when it
// can serve another query: closed, unbound and back to single-row fetches.
// False when it cannot (the caller then drops it).
bool keep_as_spare(svr_session *s, csb *c) {
    if (!c->reusable || s->spare_stmt != SQL_NULL_HSTMT || !s->connected) return false;
    if (!sql_ok(SQLFreeStmt(c->hstmt, SQL_CLOSE)) || !sql_ok(SQLFreeStmt(c->hstmt, SQL_UNBIND)) ||
        !sql_ok(SQLSetStmtOption(c->hstmt, SQL_ROWSET_SIZE, 1)))
        return false;
    s->spare_stmt = c->hstmt;
    c->hstmt = SQL_NULL_HSTMT;
    return true;
}

// A statement for a new EXECSQL: the session's spare, or a new one.
SQLRETURN take_statement(svr_session *s, SQLHSTMT *h) {
    if (s->spare_stmt == SQL_NULL_HSTMT) return SQLAllocStmt(s->hdbc, h);
    *h = s->spare_stmt;
    s->spare_stmt = SQL_NULL_HSTMT;
    return SQL_SUCCESS;
}

}  // namespace

void release_cursor(svr_session *s, csb *c) {
    for (auto it = s->cursors.begin(); it != s->cursors.end(); ++it) {
        if (it->get() == c) {
            keep_as_spare(s, c);
            s->cursors.erase(it);
            return;
        }
    }
}

csb *bind_cursor(svr_session *s, SQLHSTMT h, int column_count, const std::string &sql_text,
                 bool with_params, const std::string &name) {
    std::unique_ptr<svr_columns> cols = describe(h, s, column_count);
    int rc = 0;
    if (cols == nullptr) {
        svr_trace(s, "bind_cursor(-1) describe()\n");
        rc = -1;
    } else if ((rc = define(h, cols.get(), s)) != 0) {
        svr_trace(s, "bind_cursor(%d) define()\n", rc);
    } else if (with_params && (rc = bind_param(cols.get(), h, s, sql_text)) != 0) {
        svr_trace(s, "bind_cursor(%d)\n", rc);
    }
    if (rc != 0) {
        drop_statement(h);
        return nullptr;
    }
    svr_trace(s, "malloc_cursor(START)-%s\n", name.c_str());
    auto c = std::make_unique<csb>();
    c->session = s;
    c->hstmt = h;
    c->columns = std::move(cols);
    c->name = upper_name(name);
    c->sql_text = sql_text;
    s->cursors.push_back(std::move(c));
    svr_trace(s, "malloc_cursor(END)\n");
    return s->cursors.back().get();
}

csb *bind_client_cursor(svr_session *s, SQLHSTMT h, int column_count, const std::string &sql_text,
                        bool with_params, const std::string &name) {
    csb *c = bind_cursor(s, h, column_count, sql_text, with_params, name);
    if (c == nullptr) return nullptr;
    if (s->typed)
        bind_typed(s, c);
    else
        bind_long_text(s, c);
    return c;
}

int reprepare_statements(svr_session *s) {
    svr_trace(s, "reprepare_statements(START)\n");
    for (auto &c : s->cursors) {
        if (c->sql_text.empty()) continue;  // a catalogue cursor: nothing to prepare
        std::string sql = c->sql_text;
        SQLRETURN rc = SQLPrepare(c->hstmt, reinterpret_cast<SQLCHAR *>(sql.data()), SQL_NTS);
        if (!sql_ok(rc)) return odbc_failure(s, c->hstmt, rc, "reprepare_statements(%d)\n");
        c->plain_fetched = false;
    }
    s->drop_free_statements();  // prepared again when their texts come again
    svr_trace(s, "reprepare_statements(END)\n");
    return 0;
}

int reexecute_cursor(svr_session *s, csb *c) {
    svr_trace(s, "reprepare_statements(START)\n");
    SQLFreeStmt(c->hstmt, SQL_CLOSE);
    c->plain_fetched = false;
    CancellableCall running(s, c->hstmt);
    SQLRETURN rc = SQLExecute(c->hstmt);
    running.end();
    if (!sql_ok(rc)) return odbc_failure(s, c->hstmt, rc, "reprepare_statements(%d)\n");
    svr_trace(s, "reprepare_statements(END)\n");
    return 0;
}

// ---- EXECSQL and execute ----------------------------------------------------------

int db_server_execsql(int32_t handle, const char *text, char *cursor_name, int32_t *has_cursor,
                      int32_t *status, int32_t *status2) {
    svr_session *s = find_session(handle);
    if (s == nullptr || !s->connected) {
        *status = -1;
        return -1;
    }
    svr_trace(s, "db_server_execsql(START)\n");
    s->clear_error();
    s->last_row_count = -1;
    *has_cursor = 1;
    std::string sql(text);
    if (SQLHSTMT cached = find_prepared_statement(s, sql); cached != SQL_NULL_HSTMT)
        return execsql_cached(s, cached, sql, has_cursor, status, status2);
    SQLHSTMT h = SQL_NULL_HSTMT;
    SQLRETURN rc = take_statement(s, &h);
    if (!sql_ok(rc)) {
        *status = rc;
        return odbc_failure(s, SQL_NULL_HSTMT, rc, "db_server_execsql(%d) SQLAllocStmt()\n");
    }
    // Executed before it is described: a driver then knows the result's
    // columns from the execution itself, where describing a statement that
    // has only been prepared can cost it a round trip to its server.
    rc = SQLPrepare(h, reinterpret_cast<SQLCHAR *>(sql.data()), SQL_NTS);
    if (!sql_ok(rc)) {
        *status = rc;
        int code = odbc_failure(s, h, rc, "db_server_execsql(%d) SQLPrepare()\n");
        drop_statement(h);
        return code;
    }
    CancellableCall running(s, h);
    rc = SQLExecute(h);
    running.end();
    if (!executed(rc)) {
        *status = rc;
        int code = odbc_failure(s, h, rc, "db_server_execsql(%d) SQLExecute()\n");
        drop_statement(h);
        return code;
    }
    SQLSMALLINT ncols = 0;
    rc = SQLNumResultCols(h, &ncols);
    if (!sql_ok(rc)) {
        *status = rc;
        int code = odbc_failure(s, h, rc, "db_server_execsql(%d) SQLNumResultCols()\n");
        drop_statement(h);
        return code;
    }
    if (ncols > 0) {
        int r = execsql_query(s, h, ncols, sql, cursor_name, has_cursor, status2);
        if (r != 0) *status = r;
        return r;
    }
    s->dirty = true;  // a statement without a result may have changed data
    if (s->typed) s->last_row_count = changed_rows(h, sql);
    cache_prepared_statement(s, h, sql);
    *status = *status2 = *has_cursor = 0;
    svr_trace(s, "db_server_execsql(END)\n");
    return 0;
}

bool changes_rows(std::string_view sql) {
    size_t i = 0;
    for (;;) {
        while (i < sql.size() && (isspace(static_cast<unsigned char>(sql[i])) || sql[i] == '('))
            i++;
        if (sql.compare(i, 2, "--") == 0) {
            i = sql.find('\n', i);
            if (i == std::string_view::npos) return false;
        } else if (sql.compare(i, 2, "/*") == 0) {
            i = sql.find("*/", i + 2);
            if (i == std::string_view::npos) return false;
            i += 2;
        } else {
            break;
        }
    }
    size_t end = i;
    while (end < sql.size() && isalpha(static_cast<unsigned char>(sql[end])))
        end++;
    std::string word = upper_name(sql.substr(i, end - i));
    return word == "INSERT" || word == "UPDATE" || word == "DELETE" || word == "MERGE" ||
           word == "WITH";
}

int64_t changed_rows(SQLHSTMT h, std::string_view sql) {
    if (!changes_rows(sql)) return -1;
    SQLLEN n = -1;
    if (!sql_ok(SQLRowCount(h, &n)) || n < -1) n = -1;
    return n;
}

int db_server_typed_session(int32_t handle) {
    svr_session *s = find_session(handle);
    return s != nullptr && s->typed ? 1 : 0;
}

int64_t db_server_last_row_count(int32_t handle) {
    svr_session *s = find_session(handle);
    return s != nullptr ? s->last_row_count : -1;
}

// Runs a statement without result columns through the statement cache.
int db_server_execute(int32_t handle, const char *text) {
    int32_t has_cursor = 0, status = 0, status2 = 0;
    char name[kExecsqlNameSize] = "";
    svr_session *s = find_session(handle);
    if (s == nullptr) return -1;
    int rc = db_server_execsql(handle, text, name, &has_cursor, &status, &status2);
    if (rc == 0 && has_cursor != 0) {  // a query: not this operation's business
        if (csb *c = find_cursor(s, name)) release_cursor(s, c);
        s->set_error("statement returns rows");
        return -1;
    }
    return rc;
}

// ---- named cursors -------------------------------------------------------------

namespace {

// Statement options of a client's cursor: locking concurrency, keyset (or at
// least a scrollable static) cursor, one row a fetch. The drivers answer
// "option value changed" to some of them, which is success.
int set_cursor_options(svr_session *s, SQLHSTMT h, int keyset) {
    SQLRETURN rc = SQLSetStmtOption(h, SQL_CONCURRENCY, SQL_CONCUR_LOCK);
    if (!sql_ok(rc)) return odbc_failure(s, h, rc, "db_server_declare(SQLSetStmtOption:%d)\n");
    bool scroll_set = false;
    if (keyset != 0) {
        rc = SQLSetStmtOption(h, SQL_CURSOR_TYPE, SQL_CURSOR_KEYSET_DRIVEN);
        if (sql_ok(rc))
            scroll_set = true;
        else
            odbc_failure(s, h, rc, "db_server_declare(SQLSetStmtOption:%d)\n");
    }
    SQLULEN type = SQL_CURSOR_FORWARD_ONLY;
    if (!scroll_set && sql_ok(SQLGetStmtOption(h, SQL_CURSOR_TYPE, &type)) &&
        type == SQL_CURSOR_FORWARD_ONLY)
        SQLSetStmtOption(h, SQL_CURSOR_TYPE, SQL_CURSOR_STATIC);
    rc = SQLSetStmtOption(h, SQL_ROWSET_SIZE, 1);
    if (!sql_ok(rc)) return odbc_failure(s, h, rc, "db_server_declare(SQLSetStmtOption:%d)\n");
    s->clear_error();
    return 0;
}

// Prepares and binds a declared cursor. *hp becomes null once bind_cursor
// has taken the statement (it drops it on failure).
int declare_statement(svr_session *s, SQLHSTMT *hp, const char *name, const char *text,
                      int32_t *status, int32_t *status2, int with_params, int keyset) {
    SQLHSTMT h = *hp;
    s->cursor_names = 1;
    SQLRETURN rc =
        SQLSetCursorName(h, reinterpret_cast<SQLCHAR *>(const_cast<char *>(name)), SQL_NTS);
    if (rc == SQL_ERROR) {
        s->cursor_names = 0;
    } else if (!sql_ok(rc)) {
        *status = rc;
        return odbc_failure(s, h, rc, "db_server_declare(%d,2)\n");
    }
    if (int r = set_cursor_options(s, h, keyset); r != 0) return r;
    std::string sql(text);
    rc = SQLPrepare(h, reinterpret_cast<SQLCHAR *>(sql.data()), SQL_NTS);
    SQLSMALLINT ncols = 0;
    if (sql_ok(rc)) rc = SQLNumResultCols(h, &ncols);
    if (!sql_ok(rc)) {
        *status = rc;
        return odbc_failure(s, h, rc, "db_server_execsql(%d) SQLNumResultCols()\n");
    }
    if (ncols < 1) {
        *status = -1;
        *status2 = 0;
        s->set_error("the statement of a cursor returns no rows");
        svr_trace(s, "db_server_declare(%d,%d)\n", -1, 9);
        return -1;
    }
    *hp = SQL_NULL_HSTMT;
    csb *c = bind_client_cursor(s, h, ncols, sql, with_params != 0, name);
    if (c == nullptr) {
        *status = -1;
        if (s->error_text[0] == '\0') s->set_error("the cursor's result columns cannot be bound");
        return -1;
    }
    return 0;
}

}  // namespace

int db_server_declare(int32_t handle, const char *name, int, const char *text, int32_t *status,
                      int32_t *status2, int with_params, int keyset) {
    svr_session *s = find_session(handle);
    if (s == nullptr || !s->connected) return -1;
    svr_trace(s, "db_server_declare(START)\n");
    s->clear_error();
    if (!cursor_name_fits(s, name) || refuse_internal_name(s, name)) {
        *status = -1;
        return -1;
    }
    SQLHSTMT h = SQL_NULL_HSTMT;
    SQLRETURN rc = SQLAllocStmt(s->hdbc, &h);
    if (!sql_ok(rc)) {
        *status = rc;
        return odbc_failure(s, SQL_NULL_HSTMT, rc, "db_server_declare(%d,1)\n");
    }
    int r = declare_statement(s, &h, name, text, status, status2, with_params, keyset);
    if (r != 0) {
        drop_statement(h);
        return r;
    }
    svr_trace(s, "db_server_declare(END)\n");
    return 0;
}

namespace {

// Executes the cursor's statement, counting its rows when `count` is given.
int execute_cursor(svr_session *s, csb *c, int32_t *count) {
    SQLFreeStmt(c->hstmt, SQL_CLOSE);
    c->plain_fetched = false;
    CancellableCall running(s, c->hstmt);
    SQLRETURN rc = SQLExecute(c->hstmt);
    running.end();
    if (!sql_ok(rc)) return odbc_failure(s, c->hstmt, rc, "db_server_open(SQLExecute:%d)\n");
    if (count == nullptr) return 0;
    int32_t n = 0;
    while (sql_ok(rc = call_cancellable(s, c->hstmt, SQLFetch, c->hstmt)))
        n++;
    if (rc != SQL_NO_DATA_FOUND) return odbc_failure(s, c->hstmt, rc, "db_server_open(%d)\n");
    *count = n;
    rc = SQLFreeStmt(c->hstmt, SQL_CLOSE);
    if (!sql_ok(rc)) return odbc_failure(s, c->hstmt, rc, "db_server_open(%d)\n");
    return 0;
}

}  // namespace

int db_server_open(int32_t handle, const char *name, int32_t *status, int32_t *row_count,
                   int param_count, const int *param_lengths, const char *const *param_values,
                   int) {
    svr_session *s = find_session(handle);
    if (s == nullptr || !s->connected) return -1;
    svr_trace(s, "db_server_open(START)\n");
    *row_count = -1;
    s->clear_error();
    if (refuse_internal_name(s, name)) {
        *status = -1;
        *row_count = 0;
        return -1;
    }
    csb *c = find_cursor(s, name);
    if (c == nullptr) {
        *status = -1;
        *row_count = 0;
        s->set_error("unknown cursor");
        svr_trace(s, "db_server_open(-1)\n");
        return -1;
    }
    if (param_count > 0 &&
        fill_in_parameter_markers(s, c, param_count, param_lengths, param_values) != 0) {
        *status = -1;
        *row_count = 0;
        svr_trace(s, "db_server_open(fill:-1)\n");
        return -1;
    }
    int32_t count = 0;
    int rc = execute_cursor(s, c, &count);
    if (rc == 0) rc = execute_cursor(s, c, nullptr);
    if (rc != 0) return rc;
    *status = 0;
    *row_count = count;
    release_read_locks_when_idle(s);
    svr_trace(s, "db_server_open(END)\n");
    return 0;
}

int db_server_close(int32_t handle, const char *name, int32_t *status, int32_t *status2) {
    svr_session *s = find_session(handle);
    if (s == nullptr || !s->connected) return -1;
    s->clear_error();
    if (refuse_internal_name(s, name)) return -1;
    csb *c = find_cursor(s, name);
    if (c == nullptr) {
        *status = *status2 = 0;
        svr_trace(s, "db_server_close(0)\n");
        return 0;
    }
    SQLRETURN rc = SQLFreeStmt(c->hstmt, SQL_CLOSE);
    if (!sql_ok(rc)) return odbc_failure(s, c->hstmt, rc, "db_server_close(%d)\n");
    return 0;
}

int db_server_undeclare(int32_t handle, const char *name, int32_t *status, int32_t *status2) {
    svr_session *s = find_session(handle);
    if (s == nullptr) return -1;
    *status = *status2 = 0;
    if (refuse_internal_name(s, name)) return -1;
    csb *c = find_cursor(s, name);
    if (c == nullptr) {
        svr_trace(s, "db_server_undeclare(0)\n");
        return 0;
    }
    release_cursor(s, c);  // drops the statement
    release_read_locks_when_idle(s);
    return 0;
}

}  // namespace vnx
