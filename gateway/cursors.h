// SQL statements and named cursors: EXECSQL, DECLARE, OPEN, CLOSE, UNDECLARE
// and the cursor list of a session.
//
// Every cursor is an ODBC statement with its result columns bound once
// (bind_cursor); it lives on its session's list in creation order and is
// found by name, upper-cased, first match first. Statements without result
// columns never become cursors: EXECSQL keeps them prepared in the statement
// cache. Every operation takes the session handle first and fails (-1) for a
// handle that is not live; every ODBC failure records its diagnostic for
// MAPERROR before the operation returns. Names longer than 19 characters and
// parameter values longer than 257 are refused, never cut.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "gateway/svr_session.h"

namespace vnx {

// ---- cursor list -------------------------------------------------------------

// The first cursor of the session with this name (compared upper-cased)
// that the client's requests may reach, or null: the gateway's own
// statements (csb::internal) are never found here.
csb *find_cursor(svr_session *s, const std::string &name);
// The gateway's own statement of this name, or null.
csb *find_internal_cursor(svr_session *s, const std::string &name);
// The name the gateway gives its next own statement ("DQP_T", the session
// handle in 8 hexadecimal digits, a 6-digit serial number).
std::string internal_cursor_name(svr_session *s, unsigned serial);
// True for a name of that form (in any case). A cursor request that names
// one is refused, with the reason recorded: the client can neither declare
// such a name nor reach the statement behind it.
bool refuse_internal_name(svr_session *s, const std::string &name);
// Removes a cursor from its session's list and drops its statement.
void release_cursor(svr_session *s, csb *c);
// Describes and binds the statement's result (and, with with_params, its
// parameter markers) and appends a cursor named `name`. On failure the
// statement is dropped and null returned.
csb *bind_cursor(svr_session *s, SQLHSTMT hstmt, int column_count, const std::string &sql_text,
                 bool with_params, const std::string &name);
// bind_cursor for a cursor the client reads (EXECSQL's query cursor with or
// without parameters, a declared cursor): its columns are bound as the
// session asked at CONNECT (long text inline, typed values). Every client
// cursor is made here, so that no path binds it differently.
csb *bind_client_cursor(svr_session *s, SQLHSTMT hstmt, int column_count,
                        const std::string &sql_text, bool with_params, const std::string &name);
// Prepares every cursor's statement again and forgets the statement cache:
// for data sources whose COMMIT or ROLLBACK deletes prepared statements
// (SQL_CB_DELETE). 0, or the first failing ODBC code (its diagnostic
// recorded).
int reprepare_statements(svr_session *s);
// Closes and re-executes one cursor's statement (a FIRST fetch on a
// forward-only cursor). 0 or the failing ODBC code.
int reexecute_cursor(svr_session *s, csb *c);

// True when the statement's first word (after blanks, comments and opening
// parentheses) is INSERT, UPDATE, DELETE, MERGE or WITH: the statements
// whose row count a typed session is told.
bool changes_rows(std::string_view sql);
// SQLRowCount of an executed statement for which changes_rows holds; -1
// for every other statement and when the driver does not know.
int64_t changed_rows(SQLHSTMT h, std::string_view sql);

// ---- backend operations --------------------------------------------------------

int db_server_execsql(int32_t handle, const char *text, char *cursor_name, int32_t *has_cursor,
                      int32_t *status, int32_t *status2);
int db_server_execute(int32_t handle, const char *text);
int db_server_declare(int32_t handle, const char *name, int mode, const char *text, int32_t *status,
                      int32_t *status2, int with_params, int keyset);
int db_server_open(int32_t handle, const char *name, int32_t *status, int32_t *row_count,
                   int param_count, const int *param_lengths, const char *const *param_values,
                   int reserved);
int db_server_close(int32_t handle, const char *name, int32_t *status, int32_t *status2);
int db_server_undeclare(int32_t handle, const char *name, int32_t *status, int32_t *status2);
// BackendExtensions::typed_session and last_row_count.
int db_server_typed_session(int32_t handle);
int64_t db_server_last_row_count(int32_t handle);

}  // namespace vnx
