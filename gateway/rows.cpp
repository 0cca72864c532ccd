// Result rows and field descriptions. See rows.h.
#include "gateway/rows.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "gateway/cancel.h"
#include "gateway/cursors.h"
#include "gateway/diagnostics.h"
#include "gateway/long_text.h"
#include "gateway/row_format.h"
#include "gateway/rowset.h"
#include "gateway/typed_rows.h"
#include "protocol/packet.h"
#include "runtime/client_table.h"
#include "runtime/packet_exchange.h"

namespace vnx {

namespace {

// How a result's packets leave: one at a time, or batched into METADATA.
enum class Sink { Reply, Meta };

int sink_send(Sink sink, int client, char *packet, int type, int32_t info,
              std::span<const std::string_view> args) {
    if (sink == Sink::Reply) return dqp_send_reply(client, packet, type, info, args);
    return dqp_send_metapkt(client, type, info, args);
}

// Size of the packet text that holds these arguments.
size_t packet_size(std::span<const std::string_view> args) {
    size_t n = dqp::PKT_HEADER_SIZE;
    for (std::string_view a : args)
        n += 8 + a.size();
    return n;
}

// Largest packet the sink can deliver: a batched packet travels inside a
// METADATA packet, which adds its own header, offset and length.
size_t packet_limit(Sink sink) {
    return sink == Sink::Reply ? dqp::PKT_MAX_SIZE : batched_packet_limit();
}

// The values and descriptions of one row, reused from row to row.
struct RowTexts {
    std::vector<std::string> texts;
    std::vector<std::string_view> views;

    void build(const svr_columns &cols, bool with_descriptions) {
        texts.resize(cols.columns.size());
        views.resize(cols.columns.size());
        for (size_t i = 0; i < cols.columns.size(); i++) {
            texts[i].clear();
            if (with_descriptions) texts[i] = field_description(cols.columns[i], false);
            append_value_text(cols.columns[i], &texts[i]);
            views[i] = texts[i];
        }
    }
};

// What one fetch gave.
enum class Fetched { Row, End, Error };

Fetched fetch_result(SQLRETURN rc) {
    if (sql_ok(rc)) return Fetched::Row;
    return rc == SQL_NO_DATA_FOUND ? Fetched::End : Fetched::Error;
}

bool is_scrollable(SQLHSTMT h) {
    SQLULEN type = SQL_CURSOR_FORWARD_ONLY;
    if (!sql_ok(SQLGetStmtOption(h, SQL_CURSOR_TYPE, &type))) return false;
    return type != SQL_CURSOR_FORWARD_ONLY;
}

// One fetch of the cursor in the way its type allows. A forward-only cursor
// serves NEXT and FIRST (by re-executing it) and nothing else.
Fetched fetch_one(svr_session *s, csb *c, bool scrollable, SQLUSMALLINT type, SQLLEN offset,
                  SQLRETURN *rc_out) {
    SQLRETURN rc;
    if (scrollable) {
        SQLULEN rows = 0;
        SQLUSMALLINT status[1] = {0};
        rc = call_cancellable(s, c->hstmt, SQLExtendedFetch, c->hstmt, type, offset, &rows, status);
    } else if (type == SQL_FETCH_NEXT) {
        rc = call_cancellable(s, c->hstmt, SQLFetch, c->hstmt);
        c->plain_fetched = true;
    } else if (type == SQL_FETCH_FIRST) {
        rc = reexecute_cursor(s, c);
        if (rc == SQL_SUCCESS) rc = call_cancellable(s, c->hstmt, SQLFetch, c->hstmt);
        c->plain_fetched = true;
    } else {
        s->set_error("the cursor is forward-only: only NEXT and FIRST fetches are served");
        *rc_out = SQL_ERROR;
        return Fetched::Error;
    }
    *rc_out = rc;
    if (sql_ok(rc))
        for (svr_column &col : c->columns->columns)
            terminate_bound_buffer(&col);
    return fetch_result(rc);
}

// Answers a row that no frame can carry: NOK through the sink, reason recorded.
int refuse_wide_row(svr_session *s, Sink sink, int client, char *packet, size_t size) {
    char why[160];
    snprintf(why, sizeof why,
             "a row of %zu bytes is wider than a reply packet can carry (at most %zu bytes)", size,
             packet_limit(sink));
    s->set_error(why);
    svr_trace(s, "svr_fetch_row(%d)\n", -1);
    sink_send(sink, client, packet, dqp::PKT_TYPE_NOK, 0, {});
    return -1;
}

// Sends the header of descriptions that opens a FETCHMANY result.
int send_header(svr_session *s, csb *c, int client, char *packet) {
    std::vector<std::string> descs;
    for (const svr_column &col : c->columns->columns)
        descs.push_back(c->typed ? typed_description(col, false) : field_description(col, false));
    std::vector<std::string_view> views(descs.begin(), descs.end());
    size_t size = packet_size(views);
    if (size > dqp::PKT_MAX_SIZE) return refuse_wide_row(s, Sink::Reply, client, packet, size);
    return dqp_send_reply(client, packet, dqp::PKT_TYPE_OK, 0, views) < 0 ? -1 : 0;
}

int fail_fetch(svr_session *s, csb *c, Sink sink, int client, char *packet, SQLRETURN rc) {
    if (s->error_text[0] == '\0') sql_error(s, c->hstmt);
    svr_trace(s, "svr_fetch_row(%d)\n", rc);
    sink_send(sink, client, packet, dqp::PKT_TYPE_NOK, 0, {});
    return -1;
}

// Ends a whole-result read that a cancel stopped: NOK, and the cursor
// released, so that no later request by its name reads on where the cancel
// stopped it. A fetch that failed under the cancel (rc != SQL_SUCCESS)
// leaves the driver's diagnostic; otherwise MAPERROR says why.
int end_cancelled_read(svr_session *s, csb *c, int client, char *packet, SQLRETURN rc) {
    if (rc != SQL_SUCCESS)
        sql_error(s, c->hstmt);
    else
        s->set_error(kCancelledText);
    svr_trace(s, "svr_fetch_row(cancelled %d)\n", rc);
    sink_send(Sink::Meta, client, packet, dqp::PKT_TYPE_NOK, 0, {});
    dqp_flush_replies(client);
    release_cursor(s, c);
    return -1;
}

// The key-mode loop: hands each row's first value to the key sink.
int fetch_keys(svr_session *s, csb *c, const KeySink *key, SQLLEN offset, SQLUSMALLINT type) {
    bool scrollable = is_scrollable(c->hstmt);
    std::string text;
    SQLRETURN rc = SQL_SUCCESS;
    for (int row = 1;; row++) {
        Fetched f = fetch_one(s, c, scrollable, type, offset, &rc);
        if (f == Fetched::End) return 0;
        if (f == Fetched::Error) {
            if (s->error_text[0] == '\0') sql_error(s, c->hstmt);
            return -1;
        }
        const svr_column &first = c->columns->columns.front();
        text.clear();
        append_value_text(first, &text);
        if (key->write(key->context, row, text.c_str(), field_shape(first, false).width) < 0)
            return -1;
        type = SQL_FETCH_NEXT;
    }
}

}  // namespace

std::unique_ptr<svr_columns> describe(SQLHSTMT h, svr_session *s, int column_count) {
    auto cols = std::make_unique<svr_columns>();
    cols->columns.resize(static_cast<size_t>(std::max(column_count, 0)));
    for (int n = 1; n <= column_count; n++) {
        svr_column &c = cols->columns[static_cast<size_t>(n - 1)];
        SQLCHAR name[271] = {};
        SQLSMALLINT name_len = 0;
        SQLRETURN rc = SQLDescribeCol(h, static_cast<SQLUSMALLINT>(n), name, sizeof name, &name_len,
                                      &c.sql_type, &c.precision, &c.scale, &c.nullable);
        SQLLEN updatable = SQL_ATTR_READWRITE_UNKNOWN;
        if (rc != SQL_ERROR)
            rc = SQLColAttributes(h, static_cast<SQLUSMALLINT>(n), SQL_COLUMN_UPDATABLE, nullptr, 0,
                                  nullptr, &updatable);
        if (rc == SQL_ERROR) {
            sql_error(s, h);
            svr_trace(s, "describe(%d)\n", -1);
            return nullptr;
        }
        name[sizeof name - 1] = '\0';
        c.name = reinterpret_cast<const char *>(name);
        c.width = c.precision;
        c.updatable = updatable == SQL_ATTR_READONLY ? 0 : 1;
    }
    return cols;
}

int define(SQLHSTMT h, svr_columns *cols, svr_session *s) {
    SQLUSMALLINT n = 1;
    for (svr_column &c : cols->columns) {
        // An inline long column (long_text.h) keeps its own buffer.
        SQLRETURN rc =
            c.long_data.empty()
                ? SQLBindCol(h, n++, binding_type(c.sql_type), c.data, kColumnDataSize, &c.length)
                : SQLBindCol(h, n++, SQL_C_CHAR, c.long_data.data(),
                             static_cast<SQLLEN>(c.long_data.size()), &c.length);
        if (!sql_ok(rc)) {
            sql_error(s, h);
            svr_trace(s, "define(%d)\n", rc);
            return -1;
        }
    }
    return 0;
}

namespace {

constexpr SQLULEN kRowArraySize = 128;

// Rows fetched many at a time for a whole-result read: the cursor's columns
// are bound to arrays (column-wise) and SQL_ROWSET_SIZE raised, so that one
// driver call brings kRowArraySize rows, which are formatted straight from
// the arrays. The single-row binding and a rowset of one are restored when
// the read fails; a read that reaches the end releases the cursor instead.
class RowArray {
  public:
    RowArray(svr_session *s, csb *c) : s_(s), c_(c) {}
    ~RowArray() { restore(); }

    // Binds the arrays; false (nothing changed) when the driver will not
    // fetch several rows a call.
    bool bind() {
        if (c_->plain_fetched || c_->columns->columns.empty() || c_->long_text || c_->typed)
            return false;
        SQLRETURN rc = SQLSetStmtOption(c_->hstmt, SQL_ROWSET_SIZE, kRowArraySize);
        if (!sql_ok(rc)) return false;
        bound_ = true;
        // SQL_SUCCESS means the size was taken as given; with a warning the
        // driver may have put another in its place.
        SQLULEN size = kRowArraySize;
        if (rc != SQL_SUCCESS &&
            (!sql_ok(SQLGetStmtOption(c_->hstmt, SQL_ROWSET_SIZE, &size)) || size != kRowArraySize))
            return false;
        const auto &cols = c_->columns->columns;
        data_.resize(cols.size());
        lengths_.resize(cols.size());
        set_.resize(cols.size());
        for (size_t i = 0; i < cols.size(); i++) {
            SQLSMALLINT ctype = binding_type(cols[i].sql_type);
            size_t stride = ctype == SQL_C_LONG     ? sizeof(SQLINTEGER)
                            : ctype == SQL_C_FLOAT  ? sizeof(float)
                            : ctype == SQL_C_DOUBLE ? sizeof(double)
                                                    : static_cast<size_t>(kColumnDataSize);
            data_[i].assign(stride * kRowArraySize + 8, '\0');
            lengths_[i].assign(kRowArraySize, 0);
            set_[i] = {data_[i].data(), lengths_[i].data(), stride};
            if (!sql_ok(SQLBindCol(c_->hstmt, static_cast<SQLUSMALLINT>(i + 1), ctype,
                                   data_[i].data(), kColumnDataSize, lengths_[i].data())))
                return false;
        }
        return true;
    }
    // Fetches the next rowset. Row, End or Error; *rows is the count.
    Fetched fetch(SQLRETURN *rc_out, SQLULEN *rows) {
        *rows = 0;
        SQLRETURN rc = call_cancellable(s_, c_->hstmt, SQLExtendedFetch, c_->hstmt, SQL_FETCH_NEXT,
                                        0, rows, status_);
        *rc_out = rc;
        if (sql_ok(rc) && *rows > kRowArraySize) *rows = kRowArraySize;
        return fetch_result(rc);
    }
    std::span<const RowsetColumn> columns() const { return set_; }
    // The cursor is released next, with its bindings: nothing to restore.
    void release() { bound_ = false; }
    bool failed(SQLULEN i) const { return status_[i] == SQL_ROW_ERROR; }
    bool skipped(SQLULEN i) const { return status_[i] == SQL_ROW_NOROW; }

  private:
    void restore() {
        if (!bound_) return;
        SQLSetStmtOption(c_->hstmt, SQL_ROWSET_SIZE, 1);
        define(c_->hstmt, c_->columns.get(), s_);
    }
    svr_session *s_;
    csb *c_;
    bool bound_ = false;
    std::vector<std::vector<char>> data_;
    std::vector<std::vector<SQLLEN>> lengths_;
    std::vector<RowsetColumn> set_;
    SQLUSMALLINT status_[kRowArraySize] = {};
};

// What sending one row gave: on, stop after a failure (already answered).
enum class Sent { Ok, Failed };

// Queues row `row` of a rowset, or refuses it when no batch can carry it.
Sent queue_row(svr_session *s, csb *c, int client, char *packet, const MetaSink &sink,
               std::span<const RowsetColumn> set, size_t row) {
    size_t size = 0;
    switch (queue_rowset_row(sink, c->columns->columns, set, row, &size)) {
        case RowQueued::Ok:
            return Sent::Ok;
        case RowQueued::TooWide:
            refuse_wide_row(s, Sink::Meta, client, packet, size);
            return Sent::Failed;
        case RowQueued::SendFailed:
            break;
    }
    return Sent::Failed;
}

// The cursor's own column buffers seen as a rowset of one row.
std::vector<RowsetColumn> current_row(const csb *c) {
    std::vector<RowsetColumn> set;
    for (const svr_column &col : c->columns->columns)
        set.push_back({col.data, &col.length, 0});
    return set;
}

// Sends the row built in *row as one DATA packet, or refuses it when it is
// wider than the sink carries.
Sent send_built_row(svr_session *s, Sink sink, int client, char *packet, const RowTexts &row) {
    size_t size = packet_size(row.views);
    if (size > packet_limit(sink)) {
        refuse_wide_row(s, sink, client, packet, size);
        return Sent::Failed;
    }
    return sink_send(sink, client, packet, dqp::PKT_TYPE_DATA, 0, row.views) < 0 ? Sent::Failed
                                                                                 : Sent::Ok;
}

// Sends the current row of a cursor with inline long values (long_text.h).
Sent send_long_text_row(svr_session *s, csb *c, Sink sink, int client, char *packet, RowTexts *row,
                        bool with_descriptions) {
    build_long_text_row(*c->columns, with_descriptions, packet_limit(sink), &row->texts);
    row->views.assign(row->texts.begin(), row->texts.end());
    return send_built_row(s, sink, client, packet, *row);
}

// Sends the current row of a typed cursor (typed_rows.h): the row, then
// the pieces of the values it could not carry whole.
Sent send_typed_row(svr_session *s, csb *c, Sink sink, int client, char *packet,
                    bool with_descriptions) {
    std::vector<TypedPacket> packets;
    int r = typed_row_packets(s, c, with_descriptions, packet_limit(sink), &packets);
    if (r == -1) fail_fetch(s, c, sink, client, packet, SQL_ERROR);
    if (r == -2) sink_send(sink, client, packet, dqp::PKT_TYPE_NOK, 0, {});
    if (r != 0) return Sent::Failed;
    for (const TypedPacket &p : packets) {
        std::vector<std::string_view> views(p.args.begin(), p.args.end());
        int type = p.column == 0 ? dqp::PKT_TYPE_DATA : dqp::PKT_TYPE_PIECE;
        if (sink_send(sink, client, packet, type, p.column, views) < 0) return Sent::Failed;
    }
    return Sent::Ok;
}

// Sends the cursor's current row; `own` is current_row(c).
Sent send_row(svr_session *s, csb *c, Sink sink, int client, char *packet, RowTexts *row,
              bool with_descriptions, std::span<const RowsetColumn> own) {
    if (c->typed) return send_typed_row(s, c, sink, client, packet, with_descriptions);
    if (c->long_text) return send_long_text_row(s, c, sink, client, packet, row, with_descriptions);
    if (sink == Sink::Meta && !with_descriptions)
        return queue_row(s, c, client, packet, dqp_meta_sink(client), own, 0);
    row->build(*c->columns, with_descriptions);
    return send_built_row(s, sink, client, packet, *row);
}

// Sends the EOF that ends a whole-result read and releases the cursor. The
// reply is written before the statement is freed (which can take a while
// for a driver holding a large result), so the client is not kept waiting.
int finish_all_rows(svr_session *s, csb *c, int client, char *packet) {
    int sent = sink_send(Sink::Meta, client, packet, dqp::PKT_TYPE_EOF, SQL_NO_DATA_FOUND, {});
    dqp_flush_replies(client);
    release_cursor(s, c);
    release_read_locks_when_idle(s);
    return sent < 0 ? -1 : 0;
}

// Sends every remaining row through row arrays, looking for a cancel before
// each rowset. 0 after the EOF (the cursor released), -1 after a failure
// (answered), 1 when row arrays cannot be used (nothing sent).
int fetch_rows_in_arrays(svr_session *s, csb *c, int client, char *packet,
                         const CancelScope &scope) {
    {
        RowArray arr(s, c);
        if (!arr.bind()) return 1;
        SQLRETURN rc = SQL_SUCCESS;
        SQLULEN n = 0;
        MetaSink sink = dqp_meta_sink(client);
        for (;;) {
            if (scope.cancelled()) {
                arr.release();  // the cursor goes, with its bindings
                return end_cancelled_read(s, c, client, packet, SQL_SUCCESS);
            }
            Fetched f = arr.fetch(&rc, &n);
            if (f == Fetched::Error && scope.cancelled()) {
                arr.release();
                return end_cancelled_read(s, c, client, packet, rc);
            }
            if (f == Fetched::Error) return fail_fetch(s, c, Sink::Meta, client, packet, rc);
            if (f == Fetched::End) {
                arr.release();
                break;
            }
            for (SQLULEN i = 0; i < n; i++) {
                if (arr.skipped(i)) continue;
                if (arr.failed(i)) return fail_fetch(s, c, Sink::Meta, client, packet, SQL_ERROR);
                if (queue_row(s, c, client, packet, sink, arr.columns(), i) != Sent::Ok) return -1;
            }
        }
    }
    return finish_all_rows(s, c, client, packet);
}

// Sends rows of cursor c (see svr_fetch_row). A whole-result read looks
// for a cancel before each fetch.
int fetch_cursor_rows(svr_session *s, csb *c, int client, char *packet, RowMode mode, SQLLEN offset,
                      SQLUSMALLINT type) {
    Sink sink = mode == kAllRows ? Sink::Meta : Sink::Reply;
    std::optional<CancelScope> scope;
    if (mode == kAllRows) scope.emplace();
    if (mode == kAllRows && send_header(s, c, client, packet) != 0) return -1;
    if (mode == kAllRows && type == SQL_FETCH_NEXT) {
        int r = fetch_rows_in_arrays(s, c, client, packet, *scope);
        if (r <= 0) return r;
    }
    bool scrollable = is_scrollable(c->hstmt);
    RowTexts row;
    std::vector<RowsetColumn> own = current_row(c);
    SQLRETURN rc = SQL_SUCCESS;
    for (;;) {
        if (scope && scope->cancelled())
            return end_cancelled_read(s, c, client, packet, SQL_SUCCESS);
        Fetched f = fetch_one(s, c, scrollable, type, offset, &rc);
        if (f == Fetched::Error && scope && scope->cancelled())
            return end_cancelled_read(s, c, client, packet, rc);
        if (f == Fetched::Error) return fail_fetch(s, c, sink, client, packet, rc);
        if (f == Fetched::End) break;
        if (send_row(s, c, sink, client, packet, &row, mode == kOneRow, own) != Sent::Ok) return -1;
        if (mode == kOneRow) {
            svr_trace(s, "svr_fetch_row(END)\n");
            return 0;
        }
        type = SQL_FETCH_NEXT;
        offset = 0;
    }
    if (mode == kAllRows) return finish_all_rows(s, c, client, packet);
    int sent = sink_send(sink, client, packet, dqp::PKT_TYPE_EOF, SQL_NO_DATA_FOUND, {});
    return sent < 0 ? -1 : 0;
}

}  // namespace

int svr_fetch_row(svr_session *s, int client, char *packet, const std::string &cursor_name,
                  RowMode mode, const KeySink *key, SQLLEN offset, SQLUSMALLINT type) {
    s->clear_error();
    bool reserved = key == nullptr && refuse_internal_name(s, cursor_name);
    csb *c = reserved ? nullptr : find_cursor(s, cursor_name);
    if (c == nullptr) {
        if (key != nullptr) return -1;
        if (!reserved) s->set_error("unknown cursor");
        std::string_view name = cursor_name;
        (void)dqp_send_reply(client, packet, dqp::PKT_TYPE_NOK, 0, std::span(&name, 1));
        svr_trace(s, "svr_fetch_row(-1,%d)\n", 0);
        return -1;
    }
    if (key != nullptr) return fetch_keys(s, c, key, offset, type);
    return fetch_cursor_rows(s, c, client, packet, mode, offset, type);
}

SQLUSMALLINT fetch_type_of(const std::string &keyword) {
    static const struct {
        const char *word;
        SQLUSMALLINT type;
    } kTypes[] = {{"NEXT", SQL_FETCH_NEXT},         {"FIRST", SQL_FETCH_FIRST},
                  {"LAST", SQL_FETCH_LAST},         {"PREVIOUS", SQL_FETCH_PRIOR},
                  {"ABSOLUTE", SQL_FETCH_ABSOLUTE}, {"RELATIVE", SQL_FETCH_RELATIVE},
                  {"BOOKMARK", SQL_FETCH_BOOKMARK}};
    for (const auto &t : kTypes)
        if (keyword == t.word) return t.type;
    return 0;
}

// ---- backend operations ------------------------------------------------------------

namespace {

// A request on a handle that is not live: answered NOK so that the client
// never waits.
int refuse_handle(int client, char *packet) {
    (void)dqp_send_reply(client, packet, dqp::PKT_TYPE_NOK, -1, {});
    return -1;
}

}  // namespace

int db_server_fetch(int32_t handle, int client, char *packet, int32_t *, const char *cursor, int) {
    svr_session *s = find_session(handle);
    if (s == nullptr || !s->connected) return refuse_handle(client, packet);
    dqp_reset_metaqueue();
    return svr_fetch_row(s, client, packet, cursor, kOneRow, nullptr, -1, SQL_FETCH_NEXT);
}

int db_server_fetchmany(int32_t handle, int client, char *packet, int32_t, const char *cursor) {
    svr_session *s = find_session(handle);
    if (s == nullptr || !s->connected) return refuse_handle(client, packet);
    dqp_reset_metaqueue();
    ReplyBatch batch(client);
    return svr_fetch_row(s, client, packet, cursor, kAllRows, nullptr, -1, SQL_FETCH_NEXT);
}

int db_server_extend_fetch(int32_t handle, int client, char *packet, int32_t *, const char *cursor,
                           const char *direction, int offset, int) {
    svr_session *s = find_session(handle);
    if (s == nullptr || !s->connected) {
        refuse_handle(client, packet);
        return 0;
    }
    dqp_reset_metaqueue();
    SQLUSMALLINT type = fetch_type_of(direction);
    if (type == 0) {
        s->set_error("unknown fetch direction");
        (void)dqp_send_reply(client, packet, dqp::PKT_TYPE_NOK, 0, {});
        return 0;
    }
    svr_fetch_row(s, client, packet, cursor, kOneRow, nullptr, offset, type);
    return 0;
}

int db_server_tablelist(int32_t handle, int client, char *packet, int32_t, const char *cursor) {
    svr_session *s = find_session(handle);
    if (s == nullptr || !s->connected) return refuse_handle(client, packet);
    s->clear_error();
    dqp_reset_metaqueue();
    if (strlen(cursor) > kCursorNameMax) {
        s->set_error("cursor name longer than 19 characters");
        return refuse_handle(client, packet);
    }
    if (refuse_internal_name(s, cursor)) return refuse_handle(client, packet);
    SQLHSTMT h = SQL_NULL_HSTMT;
    SQLRETURN rc = SQLAllocStmt(s->hdbc, &h);
    if (sql_ok(rc)) rc = SQLTables(h, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0);
    if (!sql_ok(rc)) {
        sql_error(s, h);
        svr_trace(s, "db_server_tablelist(SQLTables()%d)\n", rc);
        if (h != SQL_NULL_HSTMT) SQLFreeStmt(h, SQL_DROP);
        return refuse_handle(client, packet);
    }
    csb *c = bind_cursor(s, h, 5, "", false, cursor);
    if (c == nullptr) return refuse_handle(client, packet);
    ReplyBatch batch(client);
    int r = fetch_cursor_rows(s, c, client, packet, kAllRows, -1, SQL_FETCH_NEXT);
    if (r != 0) svr_trace(s, "db_server_tablelist(svr_fetch_row()-%d)\n", r);
    return r;
}

int db_server_fieldlist(int32_t handle, int client, char *packet, int32_t, const char *cursor) {
    svr_session *s = find_session(handle);
    if (s == nullptr || !s->connected) return refuse_handle(client, packet);
    dqp_reset_metaqueue();
    s->clear_error();
    bool reserved = refuse_internal_name(s, cursor);
    csb *c = reserved ? nullptr : find_cursor(s, cursor);
    if (c == nullptr) {
        if (!reserved) s->set_error("unknown cursor");
        std::string_view name = cursor;
        (void)dqp_send_reply(client, packet, dqp::PKT_TYPE_NOK, 0, std::span(&name, 1));
        svr_trace(s, "fieldinfo(-1)\n");
        return -1;
    }
    std::vector<std::string> descs;
    SQLUSMALLINT n = 1;
    for (svr_column &col : c->columns->columns) {
        svr_trace(s, "%s line %d name = '%s'\n", "lib_svr", 1, col.name.c_str());
        svr_trace(s, "%s line %d coltyp = %d\n", "lib_svr", 2, col.sql_type);
        svr_trace(s, "%s line %d coltyp = %c\n", "lib_svr", 3, field_shape(col, true).letter);
        SQLLEN updatable = SQL_ATTR_READWRITE_UNKNOWN;
        if (sql_ok(SQLColAttributes(c->hstmt, n++, SQL_COLUMN_UPDATABLE, nullptr, 0, nullptr,
                                    &updatable)))
            col.updatable = updatable == SQL_ATTR_READONLY ? 0 : 1;
        descs.push_back(c->typed ? typed_description(col, true) : field_description(col, true));
    }
    std::vector<std::string_view> views(descs.begin(), descs.end());
    size_t size = packet_size(views);
    if (size > dqp::PKT_MAX_SIZE) return refuse_wide_row(s, Sink::Reply, client, packet, size);
    return dqp_send_reply(client, packet, dqp::PKT_TYPE_OK, 0, views) < 0 ? -1 : 0;
}

}  // namespace vnx
