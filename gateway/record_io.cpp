// Record-level table access, reading and writing. See record_io.h.
#include "gateway/record_io.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/cursors.h"
#include "gateway/diagnostics.h"
#include "gateway/record_write.h"
#include "gateway/row_format.h"
#include "gateway/rows.h"
#include "gateway/session.h"
#include "gateway/table_open.h"
#include "gateway/typed_rows.h"
#include "protocol/packet.h"
#include "runtime/packet_exchange.h"
#include "runtime/scroll_cursor.h"

namespace vnx {

namespace {

constexpr char kMarker[] = "SQLSetPos()";
// A memo chunk: as many characters as a DATA packet of one argument
// carries (the frame holds 16384 bytes with the header and the argument's
// length field).
constexpr SQLLEN kMemoChunk = dqp::PKT_MAX_SIZE - dqp::PKT_HEADER_SIZE - 8;

svr_session *live_session(int32_t handle) {
    svr_session *s = find_session(handle);
    return s != nullptr && s->connected ? s : nullptr;
}

int fail(svr_session *s, const std::string &why, const char *op) {
    s->set_error(why);
    svr_trace(s, "%s(%d)\n", op, -1);
    return -1;
}

bool positioned(const char *rowid) {
    return strcmp(rowid, kMarker) == 0;
}

bool is_character(SQLSMALLINT t) {
    return t == SQL_CHAR || t == SQL_VARCHAR || t == SQL_WCHAR || t == SQL_WVARCHAR;
}

bool is_long_or_binary(SQLSMALLINT t) {
    return t == SQL_LONGVARCHAR || t == SQL_WLONGVARCHAR || t == SQL_BINARY || t == SQL_VARBINARY ||
           t == SQL_LONGVARBINARY;
}

std::string trimmed(std::string_view v) {
    size_t b = v.find_first_not_of(' ');
    if (b == std::string_view::npos) return "";
    size_t e = v.find_last_not_of(' ');
    return std::string(v.substr(b, e - b + 1));
}

// A value as the parameter for column c: character data as typed; other
// data without blanks, empty meaning NULL; dates of 8 digits (the form rows
// carry them in) as YYYY-MM-DD; logicals T/F as 1/0.
StatementParam column_param(const svr_column &c, std::string_view value) {
    StatementParam p;
    p.sql_type = c.sql_type;
    p.precision = c.precision > 0 ? c.precision : kColumnDataSize - 1;
    p.scale = c.scale > 0 ? c.scale : 0;
    if (is_character(c.sql_type)) {
        p.value = value;
        return p;
    }
    p.value = trimmed(value);
    p.null = p.value.empty();
    bool date = c.sql_type == SQL_DATE || c.sql_type == SQL_TYPE_DATE;
    if (date && p.value.size() == 8 && p.value.find_first_not_of("0123456789") == std::string::npos)
        p.value = p.value.substr(0, 4) + "-" + p.value.substr(4, 2) + "-" + p.value.substr(6, 2);
    if (c.sql_type == SQL_BIT && !p.null)
        p.value = (p.value[0] == 'T' || p.value[0] == 't' || p.value == "1") ? "1" : "0";
    return p;
}

// ---- declared cursors: the row the cursor stands on (SQLSetPos) -----------

enum class SetPosUse { Update, Insert };

// Puts a value into a column's buffer in the column's own fetch binding
// (integers and floating point numbers binary, the rest as text) and binds
// it: drivers then convert it as they convert fetched data.
SQLRETURN bind_value(SQLHSTMT h, SQLUSMALLINT number, svr_column *col, const StatementParam &p) {
    SQLSMALLINT type = binding_type(col->sql_type);
    if (p.null) {
        col->length = SQL_NULL_DATA;
    } else if (type == SQL_C_LONG) {
        auto v = static_cast<SQLINTEGER>(strtol(p.value.c_str(), nullptr, 10));
        memcpy(col->data, &v, sizeof v);
        col->length = sizeof v;
    } else if (type == SQL_C_FLOAT || type == SQL_C_DOUBLE) {
        double d = strtod(p.value.c_str(), nullptr);
        float f = static_cast<float>(d);
        size_t size = type == SQL_C_FLOAT ? sizeof f : sizeof d;
        memcpy(col->data, type == SQL_C_FLOAT ? static_cast<void *>(&f) : &d, size);
        col->length = static_cast<SQLLEN>(size);
    } else {
        size_t len = std::min(p.value.size(), static_cast<size_t>(kColumnDataSize - 1));
        memcpy(col->data, p.value.data(), len);
        col->data[len] = '\0';
        col->length = SQL_NTS;
    }
    SQLLEN size = type == SQL_C_CHAR && !p.null ? static_cast<SQLLEN>(strlen(col->data) + 1)
                                                : kColumnDataSize;
    return SQLBindCol(h, number, type, col->data, size, &col->length);
}

// The columns after the values sent keep their fetch binding, and the driver
// writes them back from their buffers with their indicators. A column whose
// buffer does not hold its whole value (long or binary data, or an indicator
// of SQL_NO_TOTAL or above the buffer) would make it read past the buffer: it
// is left out (SQL_COLUMN_IGNORE) instead, so the row keeps its value.
int leave_out_unsafe_columns(svr_session *s, csb *c, int n) {
    svr_columns &cols = *c->columns;
    for (size_t i = static_cast<size_t>(n); i < cols.columns.size(); i++) {
        svr_column &col = cols.columns[i];
        SQLLEN held =
            col.long_data.empty() ? kColumnDataSize : static_cast<SQLLEN>(col.long_data.size());
        bool whole = col.length == SQL_NULL_DATA || (col.length >= 0 && col.length < held);
        if (whole && !is_long_or_binary(col.sql_type)) continue;
        col.data[0] = '\0';
        col.length = SQL_COLUMN_IGNORE;
        if (!sql_ok(SQLBindCol(c->hstmt, static_cast<SQLUSMALLINT>(i + 1), SQL_C_CHAR, col.data,
                               kColumnDataSize, &col.length))) {
            sql_error(s, c->hstmt);
            return -1;
        }
    }
    return 0;
}

// Binds the values into the cursor's own column buffers, or leaves
// a column out (SQL_COLUMN_IGNORE): read-only columns, binary data, long character
// data and, for an update, a value equal to the current one or a blank value
// for a column that is null now (a null stays null). Logicals take "1" for a value beginning with
// T, else "0".
int bind_values(svr_session *s, csb *c, int n, const char *const *values, SetPosUse use) {
    svr_columns &cols = *c->columns;
    if (n > static_cast<int>(cols.columns.size())) {
        s->set_error("more values than the cursor has columns");
        return -1;
    }
    for (int i = 0; i < n; i++) {
        svr_column &col = cols.columns[static_cast<size_t>(i)];
        std::string value = values[i] != nullptr ? values[i] : "";
        bool blank = trimmed(value).empty();
        bool unchanged = use == SetPosUse::Update && col.length != SQL_NULL_DATA &&
                         trimmed(value) == trimmed(value_text(col));
        bool left_out = col.updatable == 0 || is_long_or_binary(col.sql_type) || unchanged ||
                        (use == SetPosUse::Update && col.length == SQL_NULL_DATA && blank) ||
                        (use == SetPosUse::Insert && blank && !is_character(col.sql_type));
        SQLRETURN rc = SQL_SUCCESS;
        auto number = static_cast<SQLUSMALLINT>(i + 1);
        if (unchanged && !is_long_or_binary(col.sql_type) && col.updatable != 0) {
            // Keeps its fetch binding: the driver writes the current value back,
            // typed as fetched (some drivers refuse ignored key columns).
        } else if (left_out) {
            // Bound but marked ignored (some drivers refuse unbound columns).
            col.data[0] = '\0';
            col.length = SQL_COLUMN_IGNORE;
            rc = SQLBindCol(c->hstmt, number, SQL_C_CHAR, col.data, kColumnDataSize, &col.length);
        } else {
            if (col.sql_type == SQL_BIT) value = value[0] == 'T' ? "1" : "0";
            rc = bind_value(c->hstmt, number, &col, column_param(col, value));
        }
        if (!sql_ok(rc)) {
            sql_error(s, c->hstmt);
            return -1;
        }
    }
    return leave_out_unsafe_columns(s, c, n);
}

// Writes the values through the cursor's current row (SQL_UPDATE) or as a
// new row (SQL_ADD), then binds the columns as fetches expect them again.
int set_position(svr_session *s, const char *name, int n, const char *const *values,
                 SQLUSMALLINT op, const char *trace) {
    csb *c = find_cursor(s, name);
    if (c == nullptr) return fail(s, std::string("unknown cursor ") + name, trace);
    // The SQLite driver accepts positioned writes but stores empty texts:
    // refused rather than reported as done.
    if (s->dialect == Dialect::SQLite && op != SQL_DELETE)
        return fail(s,
                    "this data source cannot change rows through a declared cursor: open the "
                    "table with USE",
                    trace);
    int r = 0;
    if (op != SQL_DELETE)
        r = bind_values(s, c, n, values, op == SQL_ADD ? SetPosUse::Insert : SetPosUse::Update);
    SQLRETURN rc = r == 0 ? SQLSetPos(c->hstmt, 1, op, SQL_LOCK_NO_CHANGE) : SQL_SUCCESS;
    if (r == 0 && !sql_ok(rc)) {
        sql_error(s, c->hstmt);
        r = rc == 0 ? -1 : rc;
    }
    if (r == 0) s->dirty = true;  // positioned writes leave committing to the client
    if (op != SQL_DELETE && define(c->hstmt, c->columns.get(), s) != 0 && r == 0) r = -1;
    if (r != 0) svr_trace(s, "%s(SQLSetPos(%d))\n", trace, r);
    return r;
}

// A typed session's record: the row of typed description-prefixed values,
// then the pieces of the values it could not carry whole.
int send_typed_record(svr_session *s, csb *c, int client, char *packet) {
    std::vector<TypedPacket> packets;
    int r = typed_row_packets(s, c, true, dqp::PKT_MAX_SIZE, &packets);
    if (r != 0) {
        svr_trace(s, "db_server_read(%d)\n", r);
        return -1;
    }
    for (const TypedPacket &p : packets) {
        std::vector<std::string_view> views(p.args.begin(), p.args.end());
        int type = p.column == 0 ? dqp::PKT_TYPE_DATA : dqp::PKT_TYPE_PIECE;
        if (dqp_send_reply(client, packet, type, p.column, views) < 0) return -1;
    }
    return 0;
}

// Sends the fetched row as one DATA packet of description-prefixed values.
int send_row(svr_session *s, csb &c, int client, char *packet) {
    if (s->typed) return send_typed_record(s, &c, client, packet);
    std::vector<std::string> texts(c.columns->columns.size());
    std::vector<std::string_view> views(texts.size());
    size_t size = dqp::PKT_HEADER_SIZE;
    for (size_t i = 0; i < texts.size(); i++) {
        texts[i] = field_description(c.columns->columns[i], false);
        append_value_text(c.columns->columns[i], &texts[i]);
        views[i] = texts[i];
        size += 8 + texts[i].size();
    }
    if (size > static_cast<size_t>(dqp::PKT_MAX_SIZE))
        return fail(s, "the record is wider than a reply packet can carry", "db_server_read");
    return dqp_send_reply(client, packet, dqp::PKT_TYPE_DATA, 0, views) < 0 ? -1 : 0;
}

// Executes the table's statement `name` for one row and fetches it; the
// caller closes the statement (close_statement) once it has read the row.
// 0, or -1 with the reason recorded (the statement then closed): a row that
// no longer exists included.
int fetch_one_row(svr_session *s, OpenTable *t, const std::string &name, const char *rowid,
                  int width, csb **out, const char *op) {
    csb *c = find_internal_cursor(s, name);
    if (c == nullptr) return fail(s, "the table's record statement is gone", op);
    if (execute_statement(s, c, {rowid_param(*t, rowid, width)}) != 0) {
        svr_trace(s, "%s(%d)\n", op, -1);
        return -1;
    }
    int rc = fetch_statement_row(s, c);
    if (rc != SQL_SUCCESS) {
        close_statement(c);
        if (rc == SQL_NO_DATA_FOUND)
            return fail(s, "the record no longer exists in table " + t->table, op);
        return -1;
    }
    *out = c;
    return 0;
}

// Runs a write statement with its parameters; the affected row count in
// *rows. 0 or -1 with the diagnostic recorded.
int run_write(svr_session *s, OpenTable *t, const std::string &text,
              std::vector<StatementParam> params, SQLLEN *rows, const char *op) {
    csb *c = table_statement(s, t, text);
    if (c == nullptr || execute_statement(s, c, std::move(params)) != 0) {
        svr_trace(s, "%s(%d)\n", op, -1);
        return -1;
    }
    *rows = 0;
    if (!sql_ok(SQLRowCount(c->hstmt, rows))) *rows = 0;
    close_statement(c);
    return 0;
}

// The columns of the table's rows, in order: those of its read statement.
const svr_columns *row_columns(svr_session *s, const OpenTable &t) {
    csb *c = find_internal_cursor(s, t.read_name);
    return c != nullptr ? c->columns.get() : nullptr;
}

// Which columns of the record are null now.
int current_nulls(svr_session *s, OpenTable *t, const char *rowid, int width,
                  std::vector<bool> *nulls) {
    csb *c = nullptr;
    if (fetch_one_row(s, t, t->read_name, rowid, width, &c, "db_server_update") != 0) return -1;
    for (const svr_column &col : c->columns->columns)
        nulls->push_back(col.length == SQL_NULL_DATA);
    close_statement(c);
    release_read_locks(s);
    return 0;
}

bool send_memo_packet(int client, char *packet, int type, std::string_view text) {
    return dqp_send_reply(client, packet, type, 0, std::span(&text, 1)) >= 0;
}

int nok(int client, char *packet, int32_t info) {
    (void)dqp_send_reply(client, packet, dqp::PKT_TYPE_NOK, info, {});
    return -1;
}

// The cursor a MEMO reads: a cursor the client declared, standing on its
// current row; or, for an alias opened with USE, the table's read statement
// executed again for the record READ sent last (*reread set: the caller
// closes it). Null, with the reason recorded, when there is none.
csb *memo_cursor(svr_session *s, const char *name, bool *reread) {
    *reread = false;
    if (csb *c = find_cursor(s, name)) return c;
    ScrollCursor *sc = find_scrollcursor(name);
    OpenTable *t = sc != nullptr ? find_open_table(s, sc->table) : nullptr;
    if (t == nullptr || !t->has_last_read) {
        s->set_error(std::string("unknown cursor ") + name);
        return nullptr;
    }
    csb *c = nullptr;
    if (fetch_one_row(s, t, t->read_name, t->last_read.c_str(),
                      static_cast<int>(t->last_read.size()), &c, "db_server_memo") != 0)
        return nullptr;
    *reread = true;
    return c;
}

// The columns and values of a new row.
struct InsertRow {
    std::string names, markers;
    std::vector<StatementParam> params;
    std::string given_id;  // the identifying column's value, when given
};

std::string insert_text(const OpenTable &t, const InsertRow &row, Dialect d) {
    std::string text = "INSERT INTO " + t.table;
    if (!row.params.empty())
        text += " (" + row.names + ") VALUES (" + row.markers + ")";
    else
        text += d == Dialect::MariaDB ? " () VALUES ()" : " DEFAULT VALUES";
    if (d == Dialect::PostgreSQL || d == Dialect::MariaDB) text += " RETURNING " + t.rowid_column;
    return text;
}

// Inserts the row and reads its identifier into `id` (kColumnDataSize
// bytes) in the key query's text form: returned by the INSERT where the
// data source has RETURNING, SQLite's last_insert_rowid() (its identifier is
// always the rowid), else the value given for the identifying column.
int insert_row(svr_session *s, OpenTable *t, InsertRow &row, const RecordWrite &write, char *id) {
    csb *c = table_statement(s, t, write.statement(insert_text(*t, row, s->dialect)));
    if (c == nullptr || execute_statement(s, c, std::move(row.params)) != 0) return -1;
    if (s->dialect == Dialect::SQLite) {
        close_statement(c);
        c = table_statement(s, t, "SELECT last_insert_rowid()");
        if (c == nullptr || execute_statement(s, c, {}) != 0) return -1;
    } else if (s->dialect == Dialect::Other) {
        close_statement(c);
        if (row.given_id.empty() || row.given_id.size() >= kColumnDataSize) return -1;
        memcpy(id, row.given_id.c_str(), row.given_id.size() + 1);
        return 0;
    }
    int rc = fetch_first_text(s, c, id);
    close_statement(c);
    return rc == SQL_SUCCESS ? 0 : -1;
}

// Sends one column of the cursor's current row in chunks: DATA packets,
// the last one EOF; NOK when the read fails. 0, or -1 after a NOK.
int send_memo(svr_session *s, csb *c, int client, char *packet, int column) {
    if (column < 0 || column >= static_cast<int>(c->columns->columns.size())) {
        s->set_error("the cursor has no such column");
        return nok(client, packet, -1);
    }
    std::vector<char> chunk(kMemoChunk + 1, '\0');
    for (;;) {
        SQLLEN len = 0;
        SQLRETURN rc = SQLGetData(c->hstmt, static_cast<SQLUSMALLINT>(column + 1), SQL_C_CHAR,
                                  chunk.data(), kMemoChunk + 1, &len);
        chunk[kMemoChunk] = '\0';
        std::string_view text(chunk.data(), strnlen(chunk.data(), kMemoChunk));
        if (rc == SQL_NO_DATA_FOUND || (rc == SQL_SUCCESS && len == SQL_NULL_DATA)) text = {};
        if (rc == SQL_SUCCESS_WITH_INFO && len != SQL_NULL_DATA) {
            if (!send_memo_packet(client, packet, dqp::PKT_TYPE_DATA, text))
                return nok(client, packet, 0);
            continue;
        }
        if (rc == SQL_SUCCESS || rc == SQL_NO_DATA_FOUND) {
            send_memo_packet(client, packet, dqp::PKT_TYPE_EOF, text);
            return 0;
        }
        sql_error(s, c->hstmt);
        svr_trace(s, "db_server_memo(%d)\n", rc);
        return nok(client, packet, 0);
    }
}

}  // namespace

int db_server_read(int32_t handle, int client, char *packet, int32_t *, const char *table,
                   const char *rowid, int width, int lock, int readonly, int shared) {
    svr_session *s = live_session(handle);
    if (s == nullptr) return -1;
    svr_trace(s, "db_server_read(START)\n");
    s->clear_error();
    OpenTable *t = find_open_table(s, table);
    if (t == nullptr) return -1;
    bool use_read = readonly != 0 || (shared != 0 && lock == 0);
    const std::string &name = use_read ? t->read_name : t->update_name;
    if (name.empty())
        return fail(s, "table " + t->table + " was opened read-only: records cannot be locked",
                    "db_server_read");
    csb *c = nullptr;
    if (fetch_one_row(s, t, name, rowid, width, &c, "db_server_read") != 0) return -1;
    s->lock_mode = 4;
    int sent = send_row(s, *c, client, packet);
    // The row is read: its result is closed at once (a row lock, where one
    // was taken, stays with the transaction).
    close_statement(c);
    if (sent != 0) return -1;
    t->last_read.assign(rowid, strnlen(rowid, static_cast<size_t>(std::max(width, 0))));
    t->has_last_read = true;
    if (find_savepoint(s, "AFTER_FETCH") != 0) malloc_savepoint(s, "AFTER_FETCH");
    release_read_locks(s);
    svr_trace(s, "db_server_read(END)\n");
    return 0;
}

int db_server_update(int32_t handle, const char *table, const char *rowid, int width, int n,
                     const int *, const char *const *values, int32_t *status, int32_t *row_count) {
    svr_session *s = live_session(handle);
    *status = *row_count = -1;
    if (s == nullptr) return -1;
    svr_trace(s, "db_server_update(START)\n");
    s->clear_error();
    if (positioned(rowid)) {
        int r = set_position(s, table, n, values, SQL_UPDATE, "db_server_update");
        if (r == 0) *status = *row_count = 0;
        return r;
    }
    OpenTable *t = find_open_table(s, table);
    const svr_columns *cols = t != nullptr ? row_columns(s, *t) : nullptr;
    if (cols == nullptr) return -1;
    if (t->update_name.empty())
        return fail(s, "table " + t->table + " was opened read-only", "db_server_update");
    if (n > static_cast<int>(cols->columns.size()))
        return fail(s, "more values than the table has columns", "db_server_update");
    // A record read and written back carries a null as an empty value, so a
    // blank value for a column that is null now leaves it null, as the
    // positioned form does, rather than storing an empty text (or failing
    // on a type that has no empty text).
    std::vector<bool> null_now;
    if (current_nulls(s, t, rowid, width, &null_now) != 0) return -1;
    std::string text = "UPDATE " + t->table + " SET ";
    std::vector<StatementParam> params;
    for (int i = 0; i < n; i++) {
        const svr_column &c = cols->columns[static_cast<size_t>(i)];
        const char *value = values[i] != nullptr ? values[i] : "";
        bool stays_null = null_now[static_cast<size_t>(i)] && trimmed(value).empty();
        if (c.updatable == 0 || is_long_or_binary(c.sql_type) || stays_null ||
            identity_column(*t, c.name))
            continue;
        text += (params.empty() ? "" : ",") + c.name + " = ?";
        params.push_back(column_param(c, value));
    }
    if (params.empty())
        return fail(s, "no value names a column that can be changed", "db_server_update");
    text += " WHERE " + t->rowid_column + " = ?";
    params.push_back(rowid_param(*t, rowid, width));
    RecordWrite write(s);  // undone when it is left uncommitted
    if (write.begin() != 0) return -1;
    SQLLEN rows = 0;
    if (run_write(s, t, write.statement(text), std::move(params), &rows, "db_server_update") != 0)
        return -1;
    // Some data sources count changed rows only: an unchanged row counts 0.
    csb *still = nullptr;
    if (rows == 0) {
        if (fetch_one_row(s, t, t->read_name, rowid, width, &still, "db_server_update") != 0)
            return -1;
        close_statement(still);
    }
    if (write.commit(status) != 0) return -1;
    *status = 0;
    *row_count = static_cast<int32_t>(rows);
    svr_trace(s, "db_server_update(END)\n");
    return 0;
}

int db_server_delete(int32_t handle, const char *table, const char *rowid, int width,
                     int32_t *status, int32_t *row_count) {
    svr_session *s = live_session(handle);
    if (s == nullptr) return -1;
    svr_trace(s, "db_server_delete(START)\n");
    s->clear_error();
    if (positioned(rowid)) {
        int r = set_position(s, table, 0, nullptr, SQL_DELETE, "db_server_delete");
        if (r == 0) *status = 0, *row_count -= 1;
        return r;
    }
    OpenTable *t = find_open_table(s, table);
    if (t == nullptr) return -1;
    std::string text = "DELETE FROM " + t->table + " WHERE " + t->rowid_column + " = ?";
    RecordWrite write(s);  // undone when it is left uncommitted
    if (write.begin() != 0) return -1;
    SQLLEN rows = 0;
    if (run_write(s, t, write.statement(text), {rowid_param(*t, rowid, width)}, &rows,
                  "db_server_delete") != 0)
        return -1;
    if (rows == 0)
        return fail(s, "the record no longer exists in table " + t->table, "db_server_delete");
    if (write.commit(status) != 0) return -1;
    *status = 0;
    *row_count = static_cast<int32_t>(rows);
    svr_trace(s, "db_server_delete(END)\n");
    return 0;
}

int db_server_insert(int32_t handle, const char *table, char *rowid, int n, const int *,
                     const char *const *values, int32_t *status, int32_t *record) {
    svr_session *s = live_session(handle);
    if (s == nullptr) return -1;
    svr_trace(s, "db_server_insert(START)\n");
    s->clear_error();
    if (positioned(rowid)) {
        int r = set_position(s, table, n, values, SQL_ADD, "db_server_insert");
        if (r == 0) *status = 0, *record += 1;
        return r;
    }
    OpenTable *t = find_open_table(s, table);
    const svr_columns *cols = t != nullptr ? row_columns(s, *t) : nullptr;
    if (cols == nullptr) return -1;
    if (n > static_cast<int>(cols->columns.size()))
        return fail(s, "more values than the table has columns", "db_server_insert");
    InsertRow row;
    for (int i = 0; i < n; i++) {
        const svr_column &c = cols->columns[static_cast<size_t>(i)];
        StatementParam p = column_param(c, values[i] != nullptr ? values[i] : "");
        if (c.updatable == 0 || is_long_or_binary(c.sql_type) || p.null) continue;
        if (same_column(c.name, t->rowid_column)) row.given_id = p.value;
        row.names += (row.params.empty() ? "" : ",") + c.name;
        row.markers += row.params.empty() ? "?" : ",?";
        row.params.push_back(std::move(p));
    }
    RecordWrite write(s);  // undone when it is left uncommitted
    if (write.begin() != 0) return -1;
    char text_id[kColumnDataSize + 1] = {};
    if (insert_row(s, t, row, write, text_id) != 0) {
        if (s->error_text[0] == '\0') s->set_error("the new row's identifier was not returned");
        return -1;
    }
    if (write.commit(status) != 0) return -1;
    text_id[kColumnDataSize - 1] = '\0';
    memcpy(rowid, text_id, strlen(text_id) + 1);
    *status = 0;
    svr_trace(s, "db_server_insert(END)\n");
    return 0;
}

int db_server_memo(int32_t handle, int client, char *packet, int32_t, const char *cursor, char *,
                   int column, const char *mode) {
    svr_session *s = live_session(handle);
    if (s == nullptr) return nok(client, packet, -1);
    svr_trace(s, "db_server_memo(START)\n");
    s->clear_error();
    if (refuse_internal_name(s, cursor)) return nok(client, packet, -1);
    if (strcmp(mode, "READ") != 0) {
        s->set_error("long columns can only be read (mode READ)");
        return nok(client, packet, -1);
    }
    bool reread = false;
    csb *c = memo_cursor(s, cursor, &reread);
    if (c == nullptr) return nok(client, packet, -1);
    int r = send_memo(s, c, client, packet, column);
    if (reread) {
        close_statement(c);
        release_read_locks(s);
    }
    if (r == 0) svr_trace(s, "db_server_memo(END)\n");
    return r;
}

}  // namespace vnx
