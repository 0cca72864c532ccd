// Statements run with bound parameter values: the backend of EXECSQL with
// parameters, for any statement (INSERT, UPDATE, DELETE, a query).
//
// Each marker is bound with SQLBindParameter as SQL_C_CHAR text, typed by
// SQLDescribeParam where the driver describes it, else as SQL_VARCHAR of the
// value's length; a NULL is bound as SQL_NULL_DATA. Values never enter the
// statement text, so no value can change the statement.
//
// A statement without result columns stays prepared in the session's
// param_statements (at most kParamStatementsKept, the least recently used
// dropped first); the next call with the same text binds the new values to
// it and executes it again, so a client's executemany prepares once. A query
// becomes a query cursor under the session's EXECSQL cursor name, read as an
// EXECSQL query is; its cursor owns the values its markers are bound to and
// drops its statement when released.
//
// Refused before anything reaches the data source (-1, the reason kept for
// MAPERROR): more than kBoundParamsMax values, a value count that differs
// from the statement's markers, or a typed value that is not of its type.
// Values are bound at their whole length (the request loop bounds what one
// request may carry). ODBC failures return the failing code with the
// diagnostic kept.
#pragma once

#include <cstdint>

#include "runtime/backend.h"

namespace vnx {

// EXECSQL with parameters (BackendExtensions::execsql_params). lengths[i]
// is kNullParamLength for a NULL; any other length is ignored (values are
// terminated texts). *row_count receives SQLRowCount of a statement without
// result columns (-1 when the driver cannot tell, and for queries).
int db_server_execsql_params(int32_t handle, const char *text, int nvalues, const int *lengths,
                             const char *const *values, char *cursor_name, int32_t *has_cursor,
                             int32_t *status, int32_t *status2, int64_t *row_count);

// The same with each value's flag (BackendExtensions::execsql_typed_params):
// types[i] is '0' for text or a letter of kTypedParamFlags, each value then
// bound as that type (typed_param.h). Null types: every value text.
int db_server_execsql_typed_params(int32_t handle, const char *text, int nvalues,
                                   const int *lengths, const char *const *values, const char *types,
                                   char *cursor_name, int32_t *has_cursor, int32_t *status,
                                   int32_t *status2, int64_t *row_count);

}  // namespace vnx
