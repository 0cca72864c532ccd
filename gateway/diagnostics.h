// Diagnostics, the statement cache and savepoint names of a session.
//
// sql_error keeps the first ODBC diagnostic record of the failing call in the
// session (error_text, sqlstate, native_error); MAPERROR hands the text to the
// client. The statement cache keeps statements without result columns
// prepared, keyed by their exact text, until the connection ends. Savepoints
// are names only: no SQL is sent when one is made or released.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "gateway/svr_session.h"
#include "runtime/backend.h"

namespace vnx {

// Records the first diagnostic of the failed call (hstmt may be null: the
// connection's or environment's diagnostic). Never fails; without a
// diagnostic the text is left empty. A diagnostic that means the
// transaction is gone (a lost connection, a transaction the data source
// aborted or rolled back whole) marks the session's work as lost, so that
// the next COMMIT answers NOK.
void sql_error(svr_session *s, SQLHSTMT hstmt);

// True when the driver reports the connection as gone
// (SQL_ATTR_CONNECTION_DEAD). Asked only where the answer costs no round
// trip to the server: PostgreSQL's driver reads its own connection state,
// MariaDB's would ping the server (and reports a lost connection on the
// failing call itself), and SQLite has no connection to lose.
bool connection_dead(svr_session *s);

// MAPERROR: copies the last diagnostic (without carriage returns) into
// text_out (kErrorTextSize bytes). When none is recorded, picks up a pending
// connection diagnostic. -1 for a handle that is not live.
int db_server_maperror(int32_t handle, char *text_out);

// A diagnostic text split for a typed session's MAPERROR: the message
// without the bracketed prefixes of the driver manager and the driver
// ("[unixODBC][ma-3.1.15]"), without psqlODBC's trailing line
// (";\nError while executing the query" and its kin) and without carriage
// returns; PostgreSQL's "DETAIL:" and "HINT:" lines go to detail and hint.
struct DiagnosticParts {
    std::string message, detail, hint;
};
DiagnosticParts split_diagnostic(std::string_view text);

// MAPERROR of a typed session (BackendExtensions::typed_error): the last
// diagnostic split as above, with its SQLSTATE. -1 for a handle that is not
// live.
int db_server_typed_error(int32_t handle, TypedError *out);

// At most this many statements stay prepared per session: a client that
// sends ever new texts cannot pile up statements on the data source.
inline constexpr size_t kStatementCacheMax = 256;

// The cached statement prepared for exactly `text`, or null.
SQLHSTMT find_prepared_statement(svr_session *s, const std::string &text);
void cache_prepared_statement(svr_session *s, SQLHSTMT hstmt, const std::string &text);

// Savepoint names, compared upper-cased. malloc_savepoint refuses (-1) a name
// longer than kCursorNameMax; find_savepoint answers 0 when the name is
// listed, -1 when not; free_savepoint removes a name (-1 when absent).
int malloc_savepoint(svr_session *s, const std::string &name);
int free_savepoint(svr_session *s, const std::string &name);
int find_savepoint(svr_session *s, const std::string &name);

}  // namespace vnx
