// Record-level table access, locks: ISLOCKED, LOCK and UNLOCK of a record
// and the four table lock requests, on tables opened with USE
// (table_open.h).
//
// A record lock is the data source's own row lock, taken by executing the
// table's update statement (its read statement with " FOR UPDATE NOWAIT" on
// PostgreSQL and MariaDB) for the record's row identifier; it lasts until
// the session's transaction ends (COMMIT, ROLLBACK, UNLOCK, ISLOCKED of a
// free row, a new USE). LOCK answers 0 once the row is locked and fails at
// once when another session holds it. ISLOCKED answers 0 for a free row,
// which it locks and releases again with a rollback (so the caller's own
// uncommitted changes go too), and -1 for a row another session holds,
// leaving the caller's transaction alone. A data source without row locks
// (SQLite) never reports a record as locked. Table locks are bookkeeping:
// granted at once, never reported as held; ISLOCKED_TABLE and UNLOCK_TABLE
// roll the transaction back unless a record was read in it.
//
// A record that no longer exists fails (-1) with the reason recorded; so do
// tables opened read-only (they have no update statement); a record another
// session holds fails at once, MAPERROR giving the data source's words. On a
// cursor the client declared itself (the "SQLSetPos()" marker) LOCK and
// ISLOCKED lock the cursor's current row with SQLSetPos where the driver
// offers exclusive locks (SQL_LOCK_TYPES; ISLOCKED unlocks it again), and
// otherwise only position the cursor on it.
#pragma once

#include <cstdint>

namespace vnx {

int db_server_islocked(int32_t handle, int client, int32_t *result, const char *table,
                       const char *rowid, int width);
int db_server_lock(int32_t handle, int client, int32_t *result, const char *table,
                   const char *rowid, int width);
int db_server_unlock(int32_t handle, const char *alias);
int db_server_islock_table(int32_t handle, const char *table);
int db_server_lock_table(int32_t handle, const char *table);
int db_server_rlock_table(int32_t handle, const char *table);
int db_server_unlock_table(int32_t handle, const char *table);

}  // namespace vnx
