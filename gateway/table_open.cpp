// Record-level table access, opening and closing. See table_open.h.
#include "gateway/table_open.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "gateway/cancel.h"
#include "gateway/cursors.h"
#include "gateway/diagnostics.h"
#include "gateway/record_write.h"
#include "gateway/row_format.h"
#include "gateway/rowid.h"
#include "gateway/session.h"
#include "runtime/scroll_cursor.h"

namespace vnx {

namespace {

table_access &access_of(svr_session *s) {
    if (s->tables == nullptr) s->tables = std::make_shared<table_access>();
    return *s->tables;
}

svr_session *live_session(int32_t handle) {
    svr_session *s = find_session(handle);
    return s != nullptr && s->connected ? s : nullptr;
}

// A statement handle that is dropped when it goes out of scope.
struct ScopedStatement {
    SQLHSTMT h = SQL_NULL_HSTMT;
    ~ScopedStatement() {
        if (h != SQL_NULL_HSTMT) SQLFreeStmt(h, SQL_DROP);
    }
};

int fail(svr_session *s, const std::string &why, const char *op) {
    s->set_error(why);
    svr_trace(s, "%s(%d)\n", op, -1);
    return -1;
}

int odbc_fail(svr_session *s, SQLHSTMT h, const char *op) {
    sql_error(s, h);
    svr_trace(s, "%s(%d)\n", op, -1);
    return -1;
}

// The table's single identifying column, or -1 with the reason recorded.
int identifying_column(svr_session *s, const std::string &table, std::string *column) {
    std::string ids;
    int rc = get_rowid(s, &ids, "", table);
    if (rc != 0) {
        if (s->error_text[0] == '\0')
            s->set_error("the row identifier of table " + table + " cannot be determined");
        return -1;
    }
    if (ids.find(',') != std::string::npos)
        return fail(s,
                    "table " + table + " is identified by several columns (" + ids +
                        "): record access needs a single identifying column, such as a one-column "
                        "primary key",
                    "db_server_use");
    *column = ids;
    return 0;
}

std::string key_query(const std::string &column, const std::string &table,
                      const std::string &filter, const std::string &order) {
    std::string q = "SELECT " + column + " FROM " + table;
    if (filter != "*") q += " WHERE " + filter;
    if (!order.empty()) q += " ORDER BY " + order;
    return q;
}

struct KeyRun {
    ScrollWriter writer;
    ScrollCursor *cursor;
    SQLLEN expected = 0;  // rows to expect when the data source does not say
    int32_t rows = 0;
};

// SELECT COUNT(*) of a table into *count. 0 or -1 with the diagnostic recorded.
int count_rows(svr_session *s, const std::string &table, int32_t *count) {
    ScopedStatement st;
    std::string sql = "SELECT COUNT(*) FROM " + table;
    if (!sql_ok(SQLAllocStmt(s->hdbc, &st.h))) return odbc_fail(s, SQL_NULL_HSTMT, "count_rows");
    SQLINTEGER n = 0;
    SQLLEN ind = 0;
    if (!sql_ok(call_cancellable(s, st.h, SQLExecDirect, st.h,
                                 reinterpret_cast<SQLCHAR *>(sql.data()), SQL_NTS)) ||
        !sql_ok(SQLBindCol(st.h, 1, SQL_C_LONG, &n, 0, &ind)) ||
        !sql_ok(call_cancellable(s, st.h, SQLFetch, st.h)))
        return odbc_fail(s, st.h, "count_rows");
    *count = n;
    return 0;
}

// Row identifiers fetched per driver call by the key query.
constexpr SQLULEN kKeyRowset = 256;

// Hands one fetched row identifier (`len` the driver's indicator) to the
// writer as record `row`. 0 or -1 with the reason recorded.
int write_key(svr_session *s, KeyRun *run, int row, char *text, SQLLEN len, SQLLEN expected) {
    if (len == SQL_NULL_DATA) return fail(s, "a row identifier is null", "db_server_use");
    if (len >= kColumnDataSize)
        return fail(s, "a row identifier is longer than 256 characters", "db_server_use");
    text[kColumnDataSize - 1] = '\0';
    int n = static_cast<int>(strnlen(text, kColumnDataSize - 1));
    if (run->writer(run->cursor, row, text, n, static_cast<int>(expected)) < 0)
        return fail(s, "the record list cannot hold another row identifier", "db_server_use");
    return 0;
}

// Reads the executed key query kKeyRowset rows a call (column-wise arrays,
// SQLExtendedFetch). 1 when the driver will not fetch blocks (nothing was
// fetched), else 0 or -1.
int write_key_blocks(svr_session *s, SQLHSTMT h, KeyRun *run, SQLLEN expected) {
    SQLULEN size = 0;
    if (!sql_ok(SQLSetStmtOption(h, SQL_ROWSET_SIZE, kKeyRowset)) ||
        !sql_ok(SQLGetStmtOption(h, SQL_ROWSET_SIZE, &size)) || size != kKeyRowset) {
        SQLSetStmtOption(h, SQL_ROWSET_SIZE, 1);
        return 1;
    }
    std::vector<char> texts(kKeyRowset * kColumnDataSize + 1, '\0');
    std::vector<SQLLEN> lens(kKeyRowset, 0);
    std::vector<SQLUSMALLINT> status(kKeyRowset, 0);
    if (!sql_ok(SQLBindCol(h, 1, SQL_C_CHAR, texts.data(), kColumnDataSize, lens.data())))
        return odbc_fail(s, h, "db_server_use");
    int row = 0;
    SQLRETURN rc;
    SQLULEN got = 0;
    while (sql_ok(
        rc = call_cancellable(s, h, SQLExtendedFetch, h, SQL_FETCH_NEXT, 0, &got, status.data()))) {
        for (SQLULEN i = 0; i < std::min(got, kKeyRowset); i++) {
            if (status[i] == SQL_ROW_NOROW) continue;
            if (status[i] == SQL_ROW_ERROR) return odbc_fail(s, h, "db_server_use");
            if (write_key(s, run, ++row, &texts[i * kColumnDataSize], lens[i], expected) != 0)
                return -1;
        }
    }
    if (rc != SQL_NO_DATA_FOUND) return odbc_fail(s, h, "db_server_use");
    run->rows = row;
    return 0;
}

// Runs the key query and writes every row identifier, in order, into the
// scroll cursor.
int run_key_query(svr_session *s, const std::string &text, KeyRun *run) {
    ScopedStatement st;
    if (!sql_ok(SQLAllocStmt(s->hdbc, &st.h))) return odbc_fail(s, SQL_NULL_HSTMT, "db_server_use");
    std::string sql = text;
    CancellableCall running(s, st.h);
    SQLRETURN rc = SQLExecDirect(st.h, reinterpret_cast<SQLCHAR *>(sql.data()), SQL_NTS);
    running.end();
    if (!sql_ok(rc)) return odbc_fail(s, st.h, "db_server_use");
    SQLLEN expected = 0;
    if (!sql_ok(SQLRowCount(st.h, &expected)) || expected <= 0) expected = run->expected;
    if (expected < 0 || expected > INT32_MAX / 2) expected = 0;
    if (int r = write_key_blocks(s, st.h, run, expected); r <= 0) return r;
    char buf[kColumnDataSize + 1] = {};
    SQLLEN len = 0;
    if (!sql_ok(SQLBindCol(st.h, 1, SQL_C_CHAR, buf, kColumnDataSize, &len)))
        return odbc_fail(s, st.h, "db_server_use");
    int row = 0;
    while (sql_ok(rc = call_cancellable(s, st.h, SQLFetch, st.h)))
        if (write_key(s, run, ++row, buf, len, expected) != 0) return -1;
    if (rc != SQL_NO_DATA_FOUND) return odbc_fail(s, st.h, "db_server_use");
    run->rows = row;
    return 0;
}

// The type of the identifying column as the read statement describes it
// (a pseudo column such as SQLite's _ROWID_ keeps the character default).
void note_rowid_type(OpenTable *t, const csb &read) {
    for (const svr_column &c : read.columns->columns) {
        if (!same_column(c.name, t->rowid_column)) continue;
        t->rowid_type = c.sql_type;
        t->rowid_precision = c.precision > 0 ? c.precision : kColumnDataSize - 1;
        return;
    }
}

// Prepares the read and (unless read-only) update statements of a table.
int prepare_row_statements(svr_session *s, OpenTable *t, bool readonly) {
    std::string read_text = "SELECT * FROM " + t->table + " WHERE " + t->rowid_column + " = ?";
    csb *read = table_statement(s, t, read_text);
    if (read == nullptr) return -1;
    t->read_name = read->name;
    note_rowid_type(t, *read);
    if (readonly) return 0;
    // Where the data source has no row locks the two statements are one.
    csb *update = table_statement(s, t, read_text + std::string(lock_clause(s->dialect, false)));
    if (update == nullptr) return -1;
    update->rowid_column = t->rowid_column;
    t->update_name = update->name;
    return 0;
}

// Releases every statement of one open table.
void release_table_statements(svr_session *s, OpenTable *t) {
    for (auto &[text, name] : t->statements)
        if (csb *c = find_internal_cursor(s, name)) release_cursor(s, c);
    t->statements.clear();
}

// True when the table is open already with an update statement: the
// operations reach a table by its name, not by alias, so a read-only alias
// opened beside a writable one must not take the writable one's statement.
bool has_update_statement(svr_session *s, const std::string &table) {
    if (s->tables != nullptr)
        for (auto &t : s->tables->tables)
            if (same_column(t->table, table) && !t->update_name.empty()) return true;
    return false;
}

void replace_table(svr_session *s, std::unique_ptr<OpenTable> fresh) {
    auto &tables = access_of(s).tables;
    for (auto &t : tables) {
        if (!same_column(t->table, fresh->table)) continue;
        release_table_statements(s, t.get());
        t = std::move(fresh);
        return;
    }
    tables.push_back(std::move(fresh));
}

// Refuses (-1, the reason recorded) a table name, filter or order key that
// could end the statement it is pasted into or hide part of it.
int refuse_unsafe(svr_session *s, const char *what, const std::string &text, const char *op) {
    std::string why;
    if (sql_fragment_safe(s->dialect, text, &why)) return 0;
    return fail(s,
                std::string("the ") + what + " holds " + why +
                    ": it must be one expression (the text was not run)",
                op);
}

int check_fragments(svr_session *s, const std::string &table, const std::string &filter,
                    const std::string &order, const char *op) {
    if (refuse_unsafe(s, "table name", table, op) != 0) return -1;
    if (refuse_unsafe(s, "filter", filter, op) != 0) return -1;
    return refuse_unsafe(s, "order key", order, op);
}

// The column of an SQLite table that is another name of its _ROWID_: the
// table's only key column, declared INTEGER PRIMARY KEY. Empty when none.
std::string sqlite_rowid_alias(svr_session *s, const std::string &table) {
    std::string quoted = "'";
    for (char ch : table)
        quoted += ch == '\'' ? std::string("''") : std::string(1, ch);
    quoted += "'";
    std::string sql = "SELECT name FROM pragma_table_info(" + quoted +
                      ") WHERE pk = 1 AND upper(type) = 'INTEGER' AND "
                      "(SELECT COUNT(*) FROM pragma_table_info(" +
                      quoted + ") WHERE pk > 0) = 1";
    ScopedStatement st;
    char name[kColumnDataSize + 1] = {};
    SQLLEN len = 0;
    if (!sql_ok(SQLAllocStmt(s->hdbc, &st.h)) ||
        !sql_ok(SQLExecDirect(st.h, reinterpret_cast<SQLCHAR *>(sql.data()), SQL_NTS)) ||
        !sql_ok(SQLBindCol(st.h, 1, SQL_C_CHAR, name, kColumnDataSize, &len)) ||
        !sql_ok(SQLFetch(st.h)) || len == SQL_NULL_DATA)
        return "";
    return name;
}

// The columns that name a row of the table (OpenTable::identity_columns).
void note_identity_columns(svr_session *s, OpenTable *t) {
    t->identity_columns = {t->rowid_column};
    if (s->dialect != Dialect::SQLite) return;
    std::string alias = sqlite_rowid_alias(s, t->table);
    if (!alias.empty() && !same_column(alias, t->rowid_column))
        t->identity_columns.push_back(alias);
}

}  // namespace

// ---- shared ---------------------------------------------------------------------

bool same_column(const std::string &a, const std::string &b) {
    return a.size() == b.size() && upper_name(a) == upper_name(b);
}

bool identity_column(const OpenTable &t, const std::string &column) {
    for (const std::string &c : t.identity_columns)
        if (same_column(c, column)) return true;
    return false;
}

OpenTable *find_open_table(svr_session *s, const std::string &table) {
    if (s->tables != nullptr)
        for (auto &t : s->tables->tables)
            if (same_column(t->table, table)) return t.get();
    s->set_error("table " + table + " is not open for record access (USE it first)");
    return nullptr;
}

StatementParam rowid_param(const OpenTable &t, const char *rowid, int width) {
    StatementParam p;
    p.value.assign(rowid, strnlen(rowid, static_cast<size_t>(std::max(width, 0))));
    p.sql_type = t.rowid_type;
    p.precision = t.rowid_precision;
    return p;
}

namespace {

// Statements kept per table beyond its read and update statements: FIND
// keys and write forms the client chooses, so their number is bounded.
constexpr size_t kKeptStatementsMax = 64;

// Releases every kept statement of the table except its read and update
// statements.
void forget_kept_statements(svr_session *s, OpenTable *t) {
    for (auto it = t->statements.begin(); it != t->statements.end();) {
        if (it->second == t->read_name || it->second == t->update_name) {
            ++it;
            continue;
        }
        if (csb *c = find_internal_cursor(s, it->second)) release_cursor(s, c);
        it = t->statements.erase(it);
    }
}

}  // namespace

csb *table_statement(svr_session *s, OpenTable *t, const std::string &text) {
    if (auto it = t->statements.find(text); it != t->statements.end())
        if (csb *c = find_internal_cursor(s, it->second)) return c;
    if (t->statements.size() >= kKeptStatementsMax) forget_kept_statements(s, t);
    SQLHSTMT h = SQL_NULL_HSTMT;
    if (!sql_ok(SQLAllocStmt(s->hdbc, &h))) {
        sql_error(s, SQL_NULL_HSTMT);
        return nullptr;
    }
    std::string sql = text;
    SQLRETURN rc = SQLPrepare(h, reinterpret_cast<SQLCHAR *>(sql.data()), SQL_NTS);
    SQLSMALLINT ncols = 0;
    if (sql_ok(rc)) rc = SQLNumResultCols(h, &ncols);
    if (!sql_ok(rc)) {
        sql_error(s, h);
        svr_trace(s, "table_statement(%d) %s\n", rc, text.c_str());
        SQLFreeStmt(h, SQL_DROP);
        return nullptr;
    }
    std::string name = internal_cursor_name(s, access_of(s).next_name++);
    csb *c = bind_cursor(s, h, ncols, text, false, name);  // drops h on failure
    if (c == nullptr) {
        if (s->error_text[0] == '\0') s->set_error("the statement's columns cannot be bound");
        return nullptr;
    }
    c->internal = true;
    t->statements[text] = c->name;
    return c;
}

void close_statement(csb *c) {
    SQLFreeStmt(c->hstmt, SQL_CLOSE);
    if (c->bound_params.empty()) return;
    SQLFreeStmt(c->hstmt, SQL_RESET_PARAMS);
    c->bound_params.clear();
}

int execute_statement(svr_session *s, csb *c, std::vector<StatementParam> params) {
    close_statement(c);
    // The values live in the statement's cursor until its result is closed:
    // the SQLite driver binds them by reference and reads them again while
    // rows are fetched, so they must outlast the execution itself.
    c->bound_params = std::move(params);
    SQLUSMALLINT n = 1;
    for (StatementParam &p : c->bound_params) {
        p.indicator = p.null ? SQL_NULL_DATA : SQL_NTS;
        SQLRETURN rc = SQLBindParameter(c->hstmt, n++, SQL_PARAM_INPUT, SQL_C_CHAR, p.sql_type,
                                        p.precision, p.scale, p.value.data(), 0, &p.indicator);
        if (!sql_ok(rc)) {
            sql_error(s, c->hstmt);
            close_statement(c);
            return rc < 0 ? rc : -1;
        }
    }
    CancellableCall running(s, c->hstmt);
    SQLRETURN rc = SQLExecute(c->hstmt);
    running.end();
    if (!sql_ok(rc) && rc != SQL_NO_DATA_FOUND) {
        sql_error(s, c->hstmt);
        close_statement(c);
        svr_trace(s, "execute_statement(%d)\n", rc);
        return rc == 0 ? -1 : rc;
    }
    return 0;
}

int fetch_statement_row(svr_session *s, csb *c) {
    CancellableCall running(s, c->hstmt);
    SQLRETURN rc = SQLFetch(c->hstmt);
    running.end();
    if (sql_ok(rc)) {
        for (svr_column &col : c->columns->columns)
            terminate_bound_buffer(&col);
        return SQL_SUCCESS;
    }
    if (rc != SQL_NO_DATA_FOUND) sql_error(s, c->hstmt);
    return rc;
}

int fetch_first_text(svr_session *s, csb *c, char *text) {
    SQLFreeStmt(c->hstmt, SQL_UNBIND);
    SQLLEN len = SQL_NULL_DATA;
    CancellableCall running(s, c->hstmt);
    SQLRETURN rc = SQLFetch(c->hstmt);
    running.end();
    if (sql_ok(rc)) rc = SQLGetData(c->hstmt, 1, SQL_C_CHAR, text, kColumnDataSize, &len);
    if (rc == SQL_NO_DATA_FOUND) return rc;
    if (!sql_ok(rc)) {
        sql_error(s, c->hstmt);
        return -1;
    }
    text[kColumnDataSize - 1] = '\0';
    if (len == SQL_NULL_DATA) return fail(s, "a row identifier is null", "fetch_first_text");
    if (len >= kColumnDataSize)
        return fail(s, "a row identifier is longer than 256 characters", "fetch_first_text");
    return SQL_SUCCESS;
}

// ---- USE, UNUSE, COUNT, ZAP ---------------------------------------------------------

int db_server_use(int32_t handle, const char *table, char *, int, ScrollWriter writer,
                  ScrollCursor *cursor, const char *filter, const char *order, int readonly,
                  int32_t *status, int32_t *record_count) {
    svr_session *s = live_session(handle);
    if (s == nullptr) return -1;
    svr_trace(s, "db_server_use(START)\n");
    s->clear_error();
    *status = -1;
    auto t = std::make_unique<OpenTable>();
    t->table = table;
    if (check_fragments(s, table, filter, order, "db_server_use") != 0) return -1;
    if (identifying_column(s, t->table, &t->rowid_column) != 0) return -1;
    note_identity_columns(s, t.get());
    int32_t rb = 0;
    if (db_server_rollback(handle, &rb) != 0) return -1;
    KeyRun run{writer, cursor};
    // SQLite's driver does not tell a query's row count, and counting a whole
    // table there costs little beside the doubling of the record block.
    int32_t all = 0;
    if (s->dialect == Dialect::SQLite && strcmp(filter, "*") == 0 &&
        count_rows(s, t->table, &all) == 0)
        run.expected = all;
    s->clear_error();
    int listed = run_key_query(s, key_query(t->rowid_column, t->table, filter, order), &run);
    // The key query changed nothing; ending its transaction releases the
    // read locks some data sources hold until then (SQLite's blocks writers).
    db_server_rollback(handle, &rb);
    if (listed != 0) return -1;
    if (prepare_row_statements(s, t.get(), readonly != 0 && !has_update_statement(s, table)) != 0) {
        release_table_statements(s, t.get());
        svr_trace(s, "db_server_use(%d)\n", -1);
        return -1;
    }
    replace_table(s, std::move(t));
    *status = 0;
    *record_count = run.rows;
    svr_trace(s, "db_server_use(END)\n");
    return 0;
}

// The handler has released the alias's scroll cursor; once no alias is open
// the tables' statements go too.
int db_server_unuse(int32_t handle, int32_t *status, int32_t *row_count) {
    svr_session *s = find_session(handle);
    *status = *row_count = 0;
    if (s == nullptr) return 0;
    svr_trace(s, "db_server_unuse(START)\n");
    if (scrollcursor_count() == 0 && s->tables != nullptr) {
        for (auto &t : s->tables->tables)
            release_table_statements(s, t.get());
        s->tables->tables.clear();
    }
    svr_trace(s, "db_server_unuse(END)\n");
    return 0;
}

int db_server_count(int32_t handle, const char *alias, int32_t *count) {
    svr_session *s = live_session(handle);
    if (s == nullptr) return -1;
    s->clear_error();
    ScrollCursor *c = find_scrollcursor(alias);
    if (c == nullptr)
        return fail(s, std::string("alias ") + alias + " is not open", "db_server_count");
    if (count_rows(s, c->table, count) != 0) return -1;
    int32_t rb = 0;
    db_server_rollback(handle, &rb);
    return 0;
}

int db_server_zap(int32_t handle, const char *table, const char *filter, int32_t *status) {
    svr_session *s = live_session(handle);
    if (s == nullptr) return -1;
    svr_trace(s, "db_server_zap()\n");
    s->clear_error();
    *status = -1;
    if (check_fragments(s, table, filter, "", "db_server_zap") != 0) return -1;
    std::string sql = std::string("DELETE FROM ") + table;
    if (strcmp(filter, "*") != 0) sql += std::string(" WHERE ") + filter;
    // A ZAP that answers NOK has changed nothing: it runs as one record
    // write, undone whole when the delete or its commit fails.
    RecordWrite write(s);
    if (write.begin() != 0) return -1;
    if (db_server_execute(handle, write.statement(sql).c_str()) != 0) {
        write.fail();
        return -1;
    }
    if (write.commit(status) != 0) {
        *status = -1;
        return -1;
    }
    *status = 0;
    return 0;
}

}  // namespace vnx
