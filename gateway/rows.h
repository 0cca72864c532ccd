// Result rows and field descriptions: describing and binding a cursor's
// columns, reading rows and sending them as packets (svr_fetch_row), and the
// FETCH, FETCHMANY, EXTENDED_FETCH, TABLELIST and FIELDLIST operations.
//
// Fetching follows the cursor's actual type: a scrollable cursor is read with
// SQLExtendedFetch (one row a call), a forward-only one with SQLFetch, and a
// FIRST fetch on it re-executes that cursor. No reply that cannot travel in
// one 16384-byte frame is ever sent: such a row is answered NOK and MAPERROR
// says why. When the client's connection fails, reading stops at once.
#pragma once

#include <cstdint>
#include <string>

#include "gateway/svr_session.h"

namespace vnx {

// Describes `column_count` result columns of a statement; null (after a
// trace) when the driver fails to describe one.
std::unique_ptr<svr_columns> describe(SQLHSTMT hstmt, svr_session *s, int column_count);
// Binds every described column to its buffer. 0, or -1 after recording the
// diagnostic.
int define(SQLHSTMT hstmt, svr_columns *columns, svr_session *s);

// Row modes: one row per request (each value prefixed by its description),
// or every remaining row after a header of descriptions, in METADATA batches,
// the cursor released at the end.
enum RowMode { kOneRow = 0, kAllRows = 1 };

// Called once per row in key mode with the first column's value text.
struct KeySink {
    int (*write)(void *context, int row, const char *text, int width);
    void *context;
};

// Reads rows of the named cursor and sends them (key == null) or hands each
// row's key to `key`. 0, or -1 (unknown cursor, failed fetch, a row too wide,
// or a failed send).
int svr_fetch_row(svr_session *s, int client, char *packet, const std::string &cursor_name,
                  RowMode mode, const KeySink *key, SQLLEN row_offset, SQLUSMALLINT fetch_type);

// The fetch type of an EXTENDED_FETCH keyword ("NEXT", "FIRST", "LAST",
// "PREVIOUS", "ABSOLUTE", "RELATIVE", "BOOKMARK"), or 0 when unknown.
SQLUSMALLINT fetch_type_of(const std::string &keyword);

int db_server_fetch(int32_t handle, int client, char *packet, int32_t *result, const char *cursor,
                    int reserved);
int db_server_fetchmany(int32_t handle, int client, char *packet, int32_t info, const char *cursor);
int db_server_extend_fetch(int32_t handle, int client, char *packet, int32_t *result,
                           const char *cursor, const char *direction, int offset, int reserved);
int db_server_tablelist(int32_t handle, int client, char *packet, int32_t info, const char *cursor);
int db_server_fieldlist(int32_t handle, int client, char *packet, int32_t info, const char *cursor);

}  // namespace vnx
