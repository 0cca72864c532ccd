// Record-level table access, opening and closing: USE, UNUSE, COUNT and ZAP,
// and the per-session state the other record operations (record_io.h,
// find.h, locks.h) share.
//
// USE runs one key query that lists the row identifier of every selected
// row in key order and hands each to the scroll cursor's writer; record n is
// then the n-th row identifier. The table's row identifier is one column
// (get_rowid: best row id, primary key, unique NOT NULL index); a table with
// none, or with one of several columns, cannot be opened and MAPERROR says
// why. Row identifiers travel as the driver's character text of the column
// (integers as plain decimal digits), the same text in the key query, in
// FIND and in INSERT, so that the scroll cursor's look-up always agrees.
//
// Each opened table gets a read statement ("SELECT * FROM t WHERE id = ?")
// and, unless opened read-only, an update statement (the same with the data
// source's lock clause). Statements are kept per table, not per session, so
// that several tables can be open at once without one table's statement
// answering for another. They live in the session's cursor list under
// generated names "DQP_Thhhhhhhhnnnnnn", out of reach of the client's cursor
// requests, and are released when the last alias is closed or the session
// ends. A statement's parameters live in its cursor until its result is
// closed, and no statement holds a result between requests.
//
// The table name, filter and order key are pasted into the statements USE
// and ZAP build: text that could end such a statement or hide part of it
// (a ";" or a comment outside quotes) is refused before anything runs. ZAP
// runs as one record write (record_write.h): a ZAP answered NOK has changed
// nothing. All operations return 0 for success and -1 (with the reason
// recorded for MAPERROR) for failure.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gateway/svr_session.h"
#include "runtime/backend.h"

namespace vnx {

// The statements and facts of one table opened with USE.
struct OpenTable {
    std::string table;         // as USE named it
    std::string rowid_column;  // the single identifying column
    SQLSMALLINT rowid_type = SQL_VARCHAR;
    SQLULEN rowid_precision = kColumnDataSize - 1;
    // Columns that name the row and are never written: the identifying
    // column, and on SQLite the INTEGER PRIMARY KEY column that is another
    // name of its _ROWID_.
    std::vector<std::string> identity_columns;
    std::string read_name;    // read statement's cursor name
    std::string update_name;  // update statement's cursor name; empty when read-only
    std::string last_read;    // row identifier READ sent last (MEMO reads that row)
    bool has_last_read = false;
    std::map<std::string, std::string> statements;  // kept statement text -> cursor name
};

// Per-session record access state (svr_session::tables).
struct table_access {
    std::vector<std::unique_ptr<OpenTable>> tables;
    unsigned next_name = 1;
};

// ---- shared by the record operations -------------------------------------------

// The open table of that name (compared upper-cased, as SQL compares
// unquoted names), or null with the reason recorded.
OpenTable *find_open_table(svr_session *s, const std::string &table);
// The row identifier parameter of a table's statements.
StatementParam rowid_param(const OpenTable &t, const char *rowid, int width);
// Prepares `text` as a cursor of the session with a generated name (kept in
// t->statements, so that the same text is prepared once per table). Null,
// with the reason recorded, on failure.
csb *table_statement(svr_session *s, OpenTable *t, const std::string &text);
// Closes the cursor's result, binds the parameters (which the cursor keeps
// until its result is closed) and executes it. 0, or the failing ODBC code
// with its diagnostic recorded (the statement then closed again).
int execute_statement(svr_session *s, csb *c, std::vector<StatementParam> params);
// Closes an internal statement's result and drops its parameter bindings
// (SQL_RESET_PARAMS) and values: nothing stays bound between executions.
void close_statement(csb *c);
// Fetches the next row and terminates the bound buffers: SQL_SUCCESS,
// SQL_NO_DATA_FOUND, or the failing code with its diagnostic recorded.
int fetch_statement_row(svr_session *s, csb *c);
// Fetches the next row of an executed statement and reads its first column
// as character text (at most 256 characters) into `text` (kColumnDataSize
// bytes), as the key query reads row identifiers. SQL_SUCCESS,
// SQL_NO_DATA_FOUND, or -1 with the reason recorded (also for a null or an
// over-long value). The statement's columns are left unbound.
int fetch_first_text(svr_session *s, csb *c, char *text);
// Upper-cased comparison of two column or table names.
bool same_column(const std::string &a, const std::string &b);
// True when the column names the row (OpenTable::identity_columns).
bool identity_column(const OpenTable &t, const std::string &column);

// ---- backend operations (slots 9, 23, 24, 25) --------------------------------

int db_server_use(int32_t handle, const char *table, char *alias, int shared, ScrollWriter writer,
                  ScrollCursor *cursor, const char *filter, const char *order, int readonly,
                  int32_t *status, int32_t *record_count);
int db_server_unuse(int32_t handle, int32_t *status, int32_t *row_count);
// The row count of the alias's table (no request calls it).
int db_server_count(int32_t handle, const char *alias, int32_t *count);
int db_server_zap(int32_t handle, const char *table, const char *filter, int32_t *status);

}  // namespace vnx
