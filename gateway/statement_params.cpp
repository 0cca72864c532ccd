// Statements run with bound parameter values. See statement_params.h.
#include "gateway/statement_params.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gateway/cancel.h"
#include "gateway/cursors.h"
#include "gateway/diagnostics.h"
#include "gateway/svr_session.h"
#include "gateway/typed_param.h"
#include "protocol/cursor_name.h"

namespace vnx {

namespace {

constexpr int kExecsqlNameSize = 240;  // the request loop's text result

// Records the failed call's diagnostic and traces it; the failing code as a
// negative status, so that no failure reads as success.
int odbc_failure(svr_session *s, SQLHSTMT h, SQLRETURN rc, const char *call) {
    sql_error(s, h);
    svr_trace(s, "db_server_execsql_params(%d) %s\n", rc, call);
    return rc < 0 ? rc : -1;
}

// A refusal of the gateway's own, kept for MAPERROR.
int refuse_params(svr_session *s, int32_t *status, const std::string &why) {
    s->set_error(why);
    svr_trace(s, "db_server_execsql_params(-1) %s\n", why.c_str());
    *status = -1;
    return -1;
}

bool is_null(const int *lengths, int i) {
    return lengths != nullptr && lengths[i] == kNullParamLength;
}

// Checks the count before anything reaches the data source. Values have no
// length limit of their own: the request loop bounds a request's arguments
// (ODBServer "max_statement_bytes"), and each value is bound at its length.
int check_values(svr_session *s, int n, int32_t *status) {
    if (n < 0 || n > kBoundParamsMax)
        return refuse_params(s, status,
                             "more than " + std::to_string(kBoundParamsMax) + " parameter values");
    return 0;
}

int refuse_count(svr_session *s, int32_t *status, size_t markers, int values) {
    return refuse_params(s, status,
                         "the statement has " + std::to_string(markers) +
                             " parameter markers but " + std::to_string(values) +
                             " values were given");
}

// Each marker's type as the driver describes it; SQL_UNKNOWN_TYPE where it
// cannot (the value is then bound as SQL_VARCHAR of its own length).
std::vector<StatementParam> describe_markers(SQLHSTMT h, SQLSMALLINT n) {
    std::vector<StatementParam> out(static_cast<size_t>(std::max<SQLSMALLINT>(n, 0)));
    for (SQLSMALLINT i = 0; i < n; i++) {
        StatementParam &p = out[static_cast<size_t>(i)];
        SQLSMALLINT type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        if (sql_ok(SQLDescribeParam(h, static_cast<SQLUSMALLINT>(i + 1), &type, &size, &digits,
                                    &nullable)) &&
            type != SQL_UNKNOWN_TYPE) {
            p.sql_type = type;
            p.precision = size;
            p.scale = digits < 0 ? 0 : digits;
        } else {
            p.sql_type = SQL_UNKNOWN_TYPE;
        }
    }
    return out;
}

// Binds the values to the statement's markers; *bound holds them (and their
// indicators) from here on, and is never resized while bound. types (null
// for all text) gives each value's flag (typed_param.h).
int bind_values(svr_session *s, SQLHSTMT h, const std::vector<StatementParam> &described, int n,
                const int *lengths, const char *const *values, const char *types,
                std::vector<StatementParam> *bound, int32_t *status) {
    SQLFreeStmt(h, SQL_RESET_PARAMS);  // before the old buffers go
    bound->assign(described.begin(), described.end());
    for (int i = 0; i < n; i++) {
        StatementParam &p = (*bound)[static_cast<size_t>(i)];
        p.null = is_null(lengths, i) || values[i] == nullptr;
        p.value = p.null ? std::string() : std::string(values[i]);
        p.indicator = p.null ? SQL_NULL_DATA : SQL_NTS;
        SQLSMALLINT ctype = SQL_C_CHAR;
        char flag = types != nullptr ? types[i] : '0';
        if (flag != '0' && !p.null) {
            TypedBinding b;
            std::string why;
            if (typed_binding(flag, p.value, &b, &why) != 0)
                return refuse_params(s, status,
                                     "parameter value " + std::to_string(i + 1) + ": " + why);
            p.value = std::move(b.value);
            p.sql_type = b.sql_type;
            p.precision = b.precision;
            p.scale = b.scale;
            ctype = b.c_type;
            if (ctype != SQL_C_CHAR) p.indicator = static_cast<SQLLEN>(p.value.size());
        }
        if (p.sql_type == SQL_UNKNOWN_TYPE) {
            p.sql_type = SQL_VARCHAR;
            p.precision = 0;
            p.scale = 0;
        }
        if (p.precision == 0 ||
            (ctype == SQL_C_CHAR && p.value.size() > p.precision && is_character_type(p.sql_type)))
            p.precision = std::max<SQLULEN>(p.value.size(), 1);
        SQLRETURN rc = SQLBindParameter(h, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, ctype,
                                        p.sql_type, p.precision, p.scale, p.value.data(),
                                        static_cast<SQLLEN>(p.value.size() + 1), &p.indicator);
        if (!sql_ok(rc)) return odbc_failure(s, h, rc, "SQLBindParameter()");
    }
    return 0;
}

// Executes a bound statement; SQL_NO_DATA from a statement that touched no
// row is success.
int execute_bound(svr_session *s, SQLHSTMT h, int32_t *status) {
    SQLFreeStmt(h, SQL_CLOSE);
    CancellableCall running(s, h);
    SQLRETURN rc = SQLExecute(h);
    running.end();
    if (sql_ok(rc) || rc == SQL_NO_DATA_FOUND) return 0;
    *status = rc;
    return odbc_failure(s, h, rc, "SQLExecute()");
}

int64_t rows_changed(SQLHSTMT h) {
    SQLLEN n = -1;
    if (!sql_ok(SQLRowCount(h, &n)) || n < -1) n = -1;
    return n;
}

// The kept statement of this text, moved to the back (most recently used),
// or null.
ParamStatement *find_kept(svr_session *s, const std::string &text) {
    auto &kept = s->param_statements;
    auto it = std::find_if(kept.begin(), kept.end(),
                           [&](const auto &ps) { return ps->sql_text == text; });
    if (it == kept.end()) return nullptr;
    std::rotate(it, it + 1, kept.end());
    return kept.back().get();
}

void keep(svr_session *s, std::unique_ptr<ParamStatement> ps) {
    auto &kept = s->param_statements;
    if (kept.size() >= kParamStatementsKept) kept.erase(kept.begin());
    kept.push_back(std::move(ps));
}

// Turns an executed query into the session's query cursor, which takes the
// statement and the values bound to it.
int make_query_cursor(svr_session *s, std::unique_ptr<ParamStatement> ps, SQLSMALLINT ncols,
                      char *cursor_name, int32_t *has_cursor, int32_t *status) {
    char name[dqp::kQueryCursorNameLength + 1];
    dqp::query_cursor_name(s->handle, name);
    SQLHSTMT h = ps->hstmt;
    ps->hstmt = SQL_NULL_HSTMT;  // the cursor owns it now (and drops it on failure)
    csb *c = bind_client_cursor(s, h, ncols, ps->sql_text, false, name);
    if (c == nullptr) {
        if (s->error_text[0] == '\0') s->set_error("the query's result columns cannot be bound");
        svr_trace(s, "db_server_execsql_params(%d) bind_cursor()\n", -1);
        *status = -1;
        return -1;
    }
    // Moving the vector keeps its elements where they are: the addresses
    // bound to the markers stay valid while the cursor lives.
    c->bound_params = std::move(ps->bound);
    snprintf(cursor_name, kExecsqlNameSize, "%s", name);
    *has_cursor = 1;
    release_read_locks_when_idle(s);
    return 0;
}

int run_kept(svr_session *s, ParamStatement *ps, int n, const int *lengths,
             const char *const *values, const char *types, int32_t *status, int64_t *row_count) {
    if (static_cast<size_t>(n) != ps->described.size())
        return refuse_count(s, status, ps->described.size(), n);
    int rc =
        bind_values(s, ps->hstmt, ps->described, n, lengths, values, types, &ps->bound, status);
    if (rc == 0) rc = execute_bound(s, ps->hstmt, status);
    if (rc != 0) return rc;
    s->dirty = true;
    *row_count = s->typed ? changed_rows(ps->hstmt, ps->sql_text) : rows_changed(ps->hstmt);
    return 0;
}

int run_fresh(svr_session *s, const std::string &text, int n, const int *lengths,
              const char *const *values, const char *types, char *cursor_name, int32_t *has_cursor,
              int32_t *status, int64_t *row_count) {
    auto ps = std::make_unique<ParamStatement>();  // drops the statement on every failure
    ps->sql_text = text;
    SQLRETURN rc = SQLAllocStmt(s->hdbc, &ps->hstmt);
    if (!sql_ok(rc)) {
        ps->hstmt = SQL_NULL_HSTMT;
        *status = rc;
        return odbc_failure(s, SQL_NULL_HSTMT, rc, "SQLAllocStmt()");
    }
    SQLHSTMT h = ps->hstmt;
    rc = SQLPrepare(h, reinterpret_cast<SQLCHAR *>(ps->sql_text.data()), SQL_NTS);
    SQLSMALLINT markers = 0;
    if (sql_ok(rc)) rc = SQLNumParams(h, &markers);
    if (!sql_ok(rc)) {
        *status = rc;
        return odbc_failure(s, h, rc, "SQLPrepare()");
    }
    if (markers != n) return refuse_count(s, status, static_cast<size_t>(markers), n);
    ps->described = describe_markers(h, markers);
    int r = bind_values(s, h, ps->described, n, lengths, values, types, &ps->bound, status);
    if (r == 0) r = execute_bound(s, h, status);
    if (r != 0) return r;
    SQLSMALLINT ncols = 0;
    rc = SQLNumResultCols(h, &ncols);
    if (!sql_ok(rc)) {
        *status = rc;
        return odbc_failure(s, h, rc, "SQLNumResultCols()");
    }
    if (ncols > 0)
        return make_query_cursor(s, std::move(ps), ncols, cursor_name, has_cursor, status);
    s->dirty = true;  // a statement without a result may have changed data
    *row_count = s->typed ? changed_rows(h, text) : rows_changed(h);
    keep(s, std::move(ps));
    return 0;
}

}  // namespace

int db_server_execsql_params(int32_t handle, const char *text, int nvalues, const int *lengths,
                             const char *const *values, char *cursor_name, int32_t *has_cursor,
                             int32_t *status, int32_t *status2, int64_t *row_count) {
    return db_server_execsql_typed_params(handle, text, nvalues, lengths, values, nullptr,
                                          cursor_name, has_cursor, status, status2, row_count);
}

int db_server_execsql_typed_params(int32_t handle, const char *text, int nvalues,
                                   const int *lengths, const char *const *values, const char *types,
                                   char *cursor_name, int32_t *has_cursor, int32_t *status,
                                   int32_t *status2, int64_t *row_count) {
    *row_count = -1;
    *has_cursor = 0;
    *status = *status2 = 0;
    svr_session *s = find_session(handle);
    if (s == nullptr || !s->connected) {
        *status = -1;
        return -1;
    }
    svr_trace(s, "db_server_execsql_params(START)\n");
    s->clear_error();
    if (check_values(s, nvalues, status) != 0) return -1;
    std::string sql(text);
    int rc = 0;
    if (ParamStatement *ps = find_kept(s, sql))
        rc = run_kept(s, ps, nvalues, lengths, values, types, status, row_count);
    else
        rc = run_fresh(s, sql, nvalues, lengths, values, types, cursor_name, has_cursor, status,
                       row_count);
    if (rc == 0) svr_trace(s, "db_server_execsql_params(END)\n");
    return rc;
}

}  // namespace vnx
