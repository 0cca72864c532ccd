// One record write as a unit. See record_write.h.
#include "gateway/record_write.h"

#include <cstring>

#include "gateway/diagnostics.h"
#include "gateway/session.h"

namespace vnx {

namespace {

constexpr char kSavepoint[] = "vnx_record_write";

// The lock wait of a PostgreSQL statement, in milliseconds: its
// lock_timeout of 0 would mean no limit at all.
int postgres_lock_wait_ms(int seconds) {
    return seconds > 0 ? seconds * 1000 : 1;
}

}  // namespace

bool lock_conflict(const svr_session &s) {
    switch (s.dialect) {
        case Dialect::PostgreSQL:
            return strcmp(s.sqlstate, "55P03") == 0;  // lock_not_available
        case Dialect::MariaDB:
            return s.native_error == 1205;  // lock wait timeout (also NOWAIT)
        case Dialect::SQLite:
            return s.native_error == 5 || s.native_error == 6;  // SQLITE_BUSY, SQLITE_LOCKED
        case Dialect::Other:
            break;
    }
    return false;
}

RecordWrite::~RecordWrite() {
    if (begun_) fail();
}

bool RecordWrite::savepoint() const {
    return !s_->autocommit && s_->dialect != Dialect::Other;
}

bool RecordWrite::run(const std::string &text) {
    SQLHSTMT h = SQL_NULL_HSTMT;
    if (!sql_ok(SQLAllocStmt(s_->hdbc, &h))) return false;
    std::string sql = text;
    SQLRETURN rc = SQLExecDirect(h, reinterpret_cast<SQLCHAR *>(sql.data()), SQL_NTS);
    bool ok = sql_ok(rc) || rc == SQL_NO_DATA_FOUND;
    if (!ok) sql_error(s_, h);
    SQLFreeStmt(h, SQL_DROP);
    return ok;
}

int RecordWrite::begin() {
    std::string sql;
    if (savepoint()) sql = std::string("SAVEPOINT ") + kSavepoint;
    if (s_->dialect == Dialect::PostgreSQL) {
        // Local to the savepoint: it ends with the commit or the rollback to it.
        std::string wait = std::to_string(postgres_lock_wait_ms(s_->lock_timeout));
        sql += savepoint() ? "; SET LOCAL lock_timeout = " + wait : "SET lock_timeout = " + wait;
    }
    if (!sql.empty() && !run(sql)) {
        svr_trace(s_, "record_write(begin %d)\n", -1);
        return -1;
    }
    begun_ = true;
    return 0;
}

std::string RecordWrite::statement(const std::string &text) const {
    if (s_->dialect != Dialect::MariaDB) return text;
    return "SET STATEMENT innodb_lock_wait_timeout=" + std::to_string(s_->lock_timeout) + " FOR " +
           text;
}

void RecordWrite::fail() {
    if (!begun_) return;
    begun_ = false;
    // The diagnostic of the failed write is what MAPERROR is to show.
    char text[kErrorTextSize], state[6];
    memcpy(text, s_->error_text, sizeof text);
    memcpy(state, s_->sqlstate, sizeof state);
    int32_t native = s_->native_error;
    bool locked = lock_conflict(*s_);
    if (savepoint()) {
        run(std::string("ROLLBACK TO SAVEPOINT ") + kSavepoint);
        run(std::string("RELEASE SAVEPOINT ") + kSavepoint);
    } else if (s_->dialect == Dialect::PostgreSQL)
        run("SET lock_timeout = DEFAULT");
    memcpy(s_->error_text, text, sizeof text);
    memcpy(s_->sqlstate, state, sizeof state);
    s_->native_error = native;
    if (locked) s_->set_error(kRecordLocked);
    release_read_locks(s_);  // what the failed write read, SQLite holds no longer
}

int RecordWrite::commit(int32_t *status) {
    if (!savepoint() && s_->dialect == Dialect::PostgreSQL) run("SET lock_timeout = DEFAULT");
    if (db_server_commit(s_->handle, status) != 0) {
        fail();
        return -1;
    }
    begun_ = false;
    return 0;
}

}  // namespace vnx
