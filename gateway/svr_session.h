// The gateway's per-client ODBC state: the `svr_session` record, its cursors
// (`csb`) with their bound columns and parameter markers, the table of live
// sessions and the call trace.
//
// A session is reached only through its 32-bit handle, the pkt_info of every
// request after CONNECT: `find_session` answers null for 0, a negative, an
// unknown or a freed handle, and every operation then fails its request, so a
// client can never make the gateway follow a stale pointer. Handles are never
// reused within a process. A session owns its cursors, its statement cache and
// its savepoint names; freeing it releases all of them. Bound buffers never
// move: a cursor's columns are built once and held behind a pointer.
//
// Fixed sizes are enforced here: cursor and savepoint names hold at most 19
// characters, column buffers 257 bytes (always terminated), parameter values
// 257 characters, diagnostics 511 characters.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "gateway/dialect.h"

namespace vnx {

inline constexpr size_t kCursorNameMax = 19;
inline constexpr int kColumnDataSize = 257;  // bound length of a column buffer
inline constexpr size_t kParamValueMax = 257;
// The most markers a statement of EXECSQL with parameters may have: more
// values are refused. Values are bound whole, whatever their length.
inline constexpr int kBoundParamsMax = 1000;
// Statements with parameters kept prepared per session (oldest dropped).
inline constexpr size_t kParamStatementsKept = 32;
inline constexpr int kErrorTextSize = 512;
inline constexpr int kNoLock = 6;  // lock_mode outside any table lock

// One result column, described by `describe` and bound by `define`.
struct svr_column {
    std::string name;
    SQLSMALLINT sql_type = 0;
    SQLULEN precision = 0;
    SQLULEN width = 0;
    SQLSMALLINT scale = 0;
    SQLSMALLINT nullable = 0;
    SQLSMALLINT updatable = 0;  // 0 when the driver says SQL_ATTR_READONLY
    SQLLEN length = 0;          // bound indicator: bytes or SQL_NULL_DATA
    // Bound with length kColumnDataSize; the extra byte keeps a terminator
    // even where a driver fills the whole buffer.
    alignas(8) char data[kColumnDataSize + 1] = {};
    // A long character column whose values travel inline (long_text.h):
    // bound here instead of `data`, dqp::kLongTextMax + 1 bytes. Empty
    // for every other column.
    std::vector<char> long_data;
    // Read for typed cursors only (typed_rows.h): the data source's name of
    // the column's type and its display size (-1 when unknown).
    std::string source_type;
    SQLLEN display_size = -1;
};

// One parameter marker of a declared cursor.
struct svr_param {
    SQLSMALLINT sql_type = SQL_CHAR;
    SQLULEN precision = 0;
    SQLSMALLINT scale = 0;
    // SQL_NTS (some drivers take a length literally), or SQL_NULL_DATA for a
    // NULL value.
    SQLLEN length = SQL_NTS;
    char data[kParamValueMax + 1] = {};
};

// The column set of a cursor. Built whole before anything is bound; never
// resized afterwards, so the bound addresses stay valid.
struct svr_columns {
    std::vector<svr_column> columns;
    std::vector<svr_param> params;
    SQLUSMALLINT non_nullable = 0;
};

struct svr_session;
struct table_access;  // record-level table access (table_open.h)

// A parameter of a statement the gateway makes for itself: its text (or
// null), bound as SQL_C_CHAR for a column of `sql_type`. Bound parameters
// live in their statement's cursor (csb::bound_params), so that a driver
// that reads them later than SQLExecute (SQLite binds them by reference)
// never reads freed memory.
struct StatementParam {
    std::string value;
    bool null = false;
    SQLSMALLINT sql_type = SQL_VARCHAR;
    SQLULEN precision = kColumnDataSize - 1;
    SQLSMALLINT scale = 0;
    SQLLEN indicator = SQL_NTS;
};

// A statement without result columns that ran with bound parameters, kept
// prepared so that the next execution of the same text binds new values and
// executes again (a client's executemany). It owns the buffers its markers
// are bound to and drops its statement when it goes. Kept apart from the
// statement cache: a plain EXECSQL of the same text must never execute it
// with the values of an earlier call.
struct ParamStatement {
    std::string sql_text;
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    // Each marker's type as described when the statement was prepared
    // (SQL_UNKNOWN_TYPE where the driver could not describe it), and the
    // values bound for the last execution.
    std::vector<StatementParam> described;
    std::vector<StatementParam> bound;

    ParamStatement() = default;
    ParamStatement(const ParamStatement &) = delete;
    ParamStatement &operator=(const ParamStatement &) = delete;
    ~ParamStatement();  // drops the statement
};

// Cursor control block: one ODBC statement with a result set.
struct csb {
    svr_session *session = nullptr;
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    std::unique_ptr<svr_columns> columns;
    std::string name;  // upper case, at most kCursorNameMax characters
    std::string sql_text;
    std::string rowid_column;
    std::vector<std::string> find_parts;
    // Read with SQLFetch since it was last executed: the driver manager then
    // refuses SQLExtendedFetch until the cursor is executed again.
    bool plain_fetched = false;
    // The statement of an EXECSQL query: no statement option of its own and
    // no parameters, so once closed and unbound it can serve another query.
    bool reusable = false;
    // A statement the gateway made for itself (a table's read, update, find
    // or write statement): out of reach of the client's cursor requests,
    // which neither see it nor may declare its name.
    bool internal = false;
    // Some column is bound to long_data: its rows are formatted by
    // long_text.h, one row a fetch.
    bool long_text = false;
    // A client cursor of a typed session: its rows are formatted by
    // typed_rows.h, one row a fetch.
    bool typed = false;
    // Its columns' source type names and display sizes have been read.
    bool typed_described = false;
    // The parameters of the last execution of an internal statement; they
    // stay until the statement is executed again or dropped.
    std::vector<StatementParam> bound_params;

    csb() = default;
    csb(const csb &) = delete;
    csb &operator=(const csb &) = delete;
    ~csb();  // drops the statement
};

struct svr_session {
    int32_t handle = 0;
    SQLHENV henv = SQL_NULL_HENV;
    SQLHDBC hdbc = SQL_NULL_HDBC;
    bool connected = false;                     // SQLConnect succeeded and no disconnect since
    std::vector<std::unique_ptr<csb>> cursors;  // creation order
    std::unordered_map<std::string, SQLHSTMT> statement_cache;
    // Statements run with parameters, oldest first (ParamStatement).
    std::vector<std::unique_ptr<ParamStatement>> param_statements;
    // A closed and unbound statement of a finished EXECSQL query, kept for
    // the next EXECSQL: allocating a statement costs the driver manager and
    // the driver more than closing one does.
    SQLHSTMT spare_stmt = SQL_NULL_HSTMT;
    std::vector<std::string> savepoints;  // upper case
    int cursor_names = 1;
    char error_text[kErrorTextSize] = {};
    char sqlstate[6] = {};
    int32_t native_error = 0;
    int32_t lock_mode = kNoLock;
    int trace = 0;
    Dialect dialect = Dialect::Other;
    // The driver's autocommit stays on (ODBServer "autocommit" "true").
    bool autocommit = false;
    // The client asked at CONNECT for long character values inline.
    bool long_text = false;
    // The client asked at CONNECT for typed values (protocol/typed_value.h);
    // implies long_text.
    bool typed = false;
    // Rows the last EXECSQL without parameters changed (changed_rows), for
    // the typed form of its answer.
    int64_t last_row_count = -1;
    // The session may hold changes that are not committed (a statement
    // without a result ran, or a declared cursor wrote through its row);
    // cleared when the transaction ends.
    bool dirty = false;
    // The data source has already rolled the transaction back, or the
    // connection is lost: the next COMMIT commits nothing and must say so.
    bool work_lost = false;
    // Longest wait, in seconds, of a record write for a row another session
    // has locked (ODBServer "lock_timeout"; 0 fails at once).
    int lock_timeout = 5;
    // What COMMIT and ROLLBACK do to prepared statements
    // (SQL_CURSOR_COMMIT_BEHAVIOR, SQL_CURSOR_ROLLBACK_BEHAVIOR).
    SQLUSMALLINT commit_behavior = SQL_CB_PRESERVE;
    SQLUSMALLINT rollback_behavior = SQL_CB_PRESERVE;
    bool release_when_idle = false;  // see release_read_locks_when_idle
    // Kept for a later session (pool.h): no request reaches it until a
    // CONNECT takes it.
    bool kept = false;
    // Tables opened with USE and their statements' names (the statements
    // themselves are cursors of the list above).
    std::shared_ptr<table_access> tables;

    ~svr_session();
    // Drops every statement that no cursor owns (the statement cache, the
    // statements with parameters and the spare statement).
    void drop_free_statements();
    // Records a diagnostic of the gateway's own (no ODBC call failed).
    void set_error(std::string_view text);
    void clear_error() { error_text[0] = '\0'; }
};

// ---- the table of live sessions --------------------------------------------

// Creates a session with a fresh handle (never 0, never reused). Null when
// the table is full.
svr_session *new_session();
// The session of a handle, or null for a handle that is not live. Every
// backend operation starts here: it aborts when called off the thread of the
// gateway's ODBC calls (odbc_thread.h), naming the calling operation.
svr_session *find_session(int32_t handle, const char *operation = __builtin_FUNCTION());
// Frees a session and everything it owns; its handle is dead afterwards.
void free_session(int32_t handle);
// Keeps a failed session for MAPERROR; only the newest kFailedSessionsKept
// are kept, so that repeated failed connects cannot pile up sessions.
inline constexpr size_t kFailedSessionsKept = 8;
void keep_failed_session(int32_t handle);
// Frees every session (process end and tests).
void free_all_sessions();

// ---- ODBC helpers -------------------------------------------------------------

// SQL_SUCCESS_WITH_INFO is success, as ODBC defines it.
inline bool sql_ok(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// Ends the driver's transaction of a session that has changed nothing,
// leaving the gateway's savepoint names and lock mode as they are. SQLite
// keeps the read lock of a session's first read until its transaction
// ends, and a writer in another session cannot commit while it is held:
// a session that only reads must not hold it between requests. Does
// nothing on other data sources, with autocommit on, or while the session
// may hold uncommitted changes.
void release_read_locks(svr_session *s);
// The same once the client pauses (the request loop's idle call): a client
// that sends query after query pays no end and new start of a transaction
// for each, and a session left idle still holds no read lock for long.
void release_read_locks_when_idle(svr_session *s);
// The idle call itself: releases what release_read_locks_when_idle asked for.
void release_idle_read_locks();

// Upper-cases a name (ASCII letters only).
std::string upper_name(std::string_view name);

// ---- call trace --------------------------------------------------------------

// Opens (truncating) the process's call trace file; an empty name or one that
// cannot be opened leaves the process without a file. Closes any earlier one.
void open_call_trace(const std::string &path);
// Writes one line to the call trace when the session's trace is on and a
// file is open; flushed at once.
void svr_trace(const svr_session *s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace vnx
