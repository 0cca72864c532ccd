// Record-level table access, locks. See locks.h.
#include "gateway/locks.h"

#include <cstring>
#include <string>
#include <vector>

#include "gateway/cursors.h"
#include "gateway/diagnostics.h"
#include "gateway/session.h"
#include "gateway/table_open.h"

namespace vnx {

namespace {

constexpr int32_t kShared = 4;
constexpr int32_t kExclusive = 5;

svr_session *live_session(int32_t handle) {
    svr_session *s = find_session(handle);
    return s != nullptr && s->connected ? s : nullptr;
}

int fail(svr_session *s, const std::string &why, const char *op) {
    s->set_error(why);
    svr_trace(s, "%s(%d)\n", op, -1);
    return -1;
}

// True when the driver locks a row through SQLSetPos (SQL_LOCK_TYPES offers
// SQL_LCK_EXCLUSIVE; of the drivers measured, none does).
bool exclusive_row_locks(svr_session *s) {
    SQLINTEGER types = 0;
    if (!sql_ok(SQLGetInfo(s->hdbc, SQL_LOCK_TYPES, &types, sizeof types, nullptr))) return false;
    return (types & SQL_LCK_EXCLUSIVE) != 0;
}

// A declared cursor's current row: locked exclusively where the driver
// offers it (and, to test it, unlocked again), else only positioned on.
// 0, or -1 with the reason recorded.
int lock_current_row(svr_session *s, const char *cursor, bool test_only, const char *op) {
    csb *c = find_cursor(s, cursor);
    if (c == nullptr) return fail(s, std::string("unknown cursor ") + cursor, op);
    bool exclusive = exclusive_row_locks(s);
    SQLRETURN rc =
        SQLSetPos(c->hstmt, 1, SQL_POSITION, exclusive ? SQL_LOCK_EXCLUSIVE : SQL_LOCK_NO_CHANGE);
    if (!sql_ok(rc)) {
        sql_error(s, c->hstmt);
        return -1;
    }
    if (exclusive && test_only && !sql_ok(SQLSetPos(c->hstmt, 1, SQL_POSITION, SQL_LOCK_UNLOCK)))
        sql_error(s, c->hstmt);  // recorded only: the row was free
    return 0;
}

// Executes the table's update statement for the row and fetches it: the
// data source locks the row. 0, or -1 with the reason recorded.
int lock_row(svr_session *s, const char *table, const char *rowid, int width, const char *op) {
    OpenTable *t = find_open_table(s, table);
    if (t == nullptr) return -1;
    if (t->update_name.empty())
        return fail(s, "table " + t->table + " was opened read-only: records cannot be locked", op);
    csb *c = find_internal_cursor(s, t->update_name);
    if (c == nullptr) return fail(s, "the table's update statement is gone", op);
    s->lock_mode = kExclusive;
    if (execute_statement(s, c, {rowid_param(*t, rowid, width)}) != 0) {
        svr_trace(s, "%s(%d)\n", op, -1);
        return -1;
    }
    int rc = fetch_statement_row(s, c);
    close_statement(c);  // the lock stays until the transaction ends
    if (rc == SQL_NO_DATA_FOUND)
        return fail(s, "the record no longer exists in table " + t->table, op);
    return rc == SQL_SUCCESS ? 0 : -1;
}

// Ends the transaction unless a record was read in it.
int rollback_unless_read(int32_t handle, svr_session *s) {
    if (find_savepoint(s, "AFTER_FETCH") == 0) return 0;
    int32_t status = 0;
    return db_server_rollback(handle, &status) == 0 ? 0 : -1;
}

}  // namespace

int db_server_islocked(int32_t handle, int, int32_t *result, const char *table, const char *rowid,
                       int width) {
    svr_session *s = live_session(handle);
    if (s == nullptr) return -1;
    svr_trace(s, "db_server_islocked(START)\n");
    s->clear_error();
    if (strcmp(rowid, "SQLSetPos()") == 0)
        return lock_current_row(s, table, true, "db_server_islocked");
    if (lock_row(s, table, rowid, width, "db_server_islocked") != 0) return -1;
    int32_t status = 0;
    if (db_server_rollback(handle, &status) != 0) return -1;
    s->lock_mode = kShared;
    *result = 0;
    svr_trace(s, "db_server_islocked(END)\n");
    return 0;
}

int db_server_lock(int32_t handle, int, int32_t *result, const char *table, const char *rowid,
                   int width) {
    svr_session *s = live_session(handle);
    if (s == nullptr) return -1;
    svr_trace(s, "db_server_lock(START)\n");
    s->clear_error();
    int r = strcmp(rowid, "SQLSetPos()") == 0 ? lock_current_row(s, table, false, "db_server_lock")
                                              : lock_row(s, table, rowid, width, "db_server_lock");
    if (r != 0) return -1;
    release_read_locks(s);
    *result = 0;
    svr_trace(s, "db_server_lock(END)\n");
    return 0;
}

int db_server_unlock(int32_t handle, const char *) {
    svr_session *s = live_session(handle);
    if (s == nullptr) return -1;
    svr_trace(s, "db_server_unlock(START)\n");
    s->clear_error();
    int32_t status = 0;
    if (db_server_rollback(handle, &status) != 0) return -1;
    s->lock_mode = kShared;
    svr_trace(s, "db_server_unlock(END)\n");
    return 0;
}

int db_server_islock_table(int32_t handle, const char *) {
    svr_session *s = live_session(handle);
    if (s == nullptr) return -1;
    svr_trace(s, "db_server_islock_table(START)\n");
    return rollback_unless_read(handle, s);
}

int db_server_lock_table(int32_t handle, const char *) {
    return live_session(handle) != nullptr ? 0 : -1;
}

int db_server_rlock_table(int32_t handle, const char *) {
    return live_session(handle) != nullptr ? 0 : -1;
}

int db_server_unlock_table(int32_t handle, const char *) {
    svr_session *s = live_session(handle);
    if (s == nullptr) return -1;
    svr_trace(s, "db_server_unlock_table(START)\n");
    s->clear_error();
    if (rollback_unless_read(handle, s) != 0) return -1;
    if (s->lock_mode != kNoLock) s->lock_mode = kShared;
    return 0;
}

}  // namespace vnx
