// Record-level table access, reading and writing: READ, INSERT, UPDATE,
// DELETE and MEMO on tables opened with USE (table_open.h).
//
// READ executes the table's read statement (or, to lock the row, its update
// statement) for the record's row identifier and sends the row as one DATA
// packet of self-describing values, and closes the statement's result at
// once (a row lock it took stays with the transaction); a row that is gone
// (deleted by another session) is a failure, never another row. UPDATE,
// DELETE and INSERT send every value as a bound parameter, so a value with a
// quote is stored as typed and no value can change the statement; each runs
// as a record write (record_write.h): it commits at once when it succeeds,
// fails alone when it does not (earlier uncommitted work and locks stay),
// and waits at most the session's lock_timeout for a row another session
// holds. UPDATE never assigns a column that names the row
// (OpenTable::identity_columns), a read-only column, binary data or a long
// character column (rows carry those only as a placeholder text). An empty
// value for a column that is not character data stores NULL (INSERT leaves
// such a column to its default). INSERT returns the new row's identifier in
// the same text form as USE (INSERT ... RETURNING).
//
// MEMO reads one column of a cursor's current row in chunks of 16384
// characters (DATA packets, the last one EOF); for an alias opened with USE
// it reads the record READ sent last, fetched again. MEMO always answers:
// NOK for an unknown cursor, a name of the gateway's own statements, a mode
// other than "READ" or a failed read.
//
// On a cursor the client declared itself (the handlers' "SQLSetPos()"
// marker) UPDATE, INSERT and DELETE work on the row the cursor stands on
// with SQLSetPos and leave committing to the client; the values go through
// the cursor's own column buffers as text (a blank value keeps a null
// column null; "T" makes a logical 1), and the columns are bound for
// fetching again afterwards. SQLite's driver accepts such writes but
// stores empty texts, so there they are refused (DELETE works).
#pragma once

#include <cstdint>

namespace vnx {

int db_server_read(int32_t handle, int client, char *packet, int32_t *result, const char *table,
                   const char *rowid, int width, int lock, int readonly, int shared);
int db_server_insert(int32_t handle, const char *table, char *rowid, int n, const int *lengths,
                     const char *const *values, int32_t *status, int32_t *record);
int db_server_update(int32_t handle, const char *table, const char *rowid, int width, int n,
                     const int *lengths, const char *const *values, int32_t *status,
                     int32_t *row_count);
int db_server_delete(int32_t handle, const char *table, const char *rowid, int width,
                     int32_t *status, int32_t *row_count);
int db_server_memo(int32_t handle, int client, char *packet, int32_t info, const char *cursor,
                   char *work, int column, const char *mode);

}  // namespace vnx
