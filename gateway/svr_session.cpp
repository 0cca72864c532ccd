// The session record, the table of live sessions and the call trace. See
// svr_session.h.
#include "gateway/svr_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

#include "gateway/odbc_thread.h"
#include "protocol/trace.h"
#include "runtime/packet_exchange.h"

namespace vnx {

namespace {

// The live sessions of this process, by handle. Handles count up from 1.
struct SessionTable {
    std::map<int32_t, std::unique_ptr<svr_session>> sessions;
    std::deque<int32_t> failed;  // failed sessions, oldest first
    int32_t next_handle = 1;
};

// Never destroyed: sessions still live at exit go with the process, not
// through driver calls made while the process is being torn down.
SessionTable &table() {
    static SessionTable *t = new SessionTable;
    return *t;
}

// The process's call trace file (one for all sessions).
struct CallTrace {
    FILE *file = nullptr;
    ~CallTrace() {
        if (file != nullptr) fclose(file);
    }
};

CallTrace &call_trace() {
    static CallTrace t;
    return t;
}

}  // namespace

csb::~csb() {
    if (hstmt != SQL_NULL_HSTMT) SQLFreeStmt(hstmt, SQL_DROP);
}

ParamStatement::~ParamStatement() {
    if (hstmt != SQL_NULL_HSTMT) SQLFreeStmt(hstmt, SQL_DROP);
}

svr_session::~svr_session() {
    cursors.clear();  // each drops its statement
    drop_free_statements();
    if (hdbc != SQL_NULL_HDBC) {
        if (connected) {
            SQLTransact(henv, hdbc, SQL_ROLLBACK);
            SQLDisconnect(hdbc);
        }
        SQLFreeConnect(hdbc);
    }
    if (henv != SQL_NULL_HENV) SQLFreeEnv(henv);
}

void svr_session::drop_free_statements() {
    for (auto &entry : statement_cache)
        SQLFreeStmt(entry.second, SQL_DROP);
    statement_cache.clear();
    param_statements.clear();  // each drops its statement
    if (spare_stmt != SQL_NULL_HSTMT) SQLFreeStmt(spare_stmt, SQL_DROP);
    spare_stmt = SQL_NULL_HSTMT;
}

void svr_session::set_error(std::string_view text) {
    size_t n = std::min(text.size(), static_cast<size_t>(kErrorTextSize - 1));
    memcpy(error_text, text.data(), n);
    error_text[n] = '\0';
    strcpy(sqlstate, "S1000");
    native_error = 0;
}

svr_session *new_session() {
    SessionTable &t = table();
    if (t.next_handle == INT32_MAX) return nullptr;
    auto s = std::make_unique<svr_session>();
    s->handle = t.next_handle++;
    svr_session *raw = s.get();
    t.sessions.emplace(raw->handle, std::move(s));
    return raw;
}

svr_session *find_session(int32_t handle, const char *operation) {
    check_odbc_thread(operation);
    if (handle <= 0) return nullptr;
    auto it = table().sessions.find(handle);
    if (it == table().sessions.end() || it->second->kept) return nullptr;
    return it->second.get();
}

void free_session(int32_t handle) {
    table().sessions.erase(handle);
}

void keep_failed_session(int32_t handle) {
    SessionTable &t = table();
    t.failed.push_back(handle);
    while (t.failed.size() > kFailedSessionsKept) {
        t.sessions.erase(t.failed.front());
        t.failed.pop_front();
    }
}

void free_all_sessions() {
    table().sessions.clear();
    table().failed.clear();
}

namespace {

bool holds_only_read_locks(const svr_session *s) {
    return s->dialect == Dialect::SQLite && s->connected && !s->autocommit && !s->dirty &&
           !s->work_lost;
}

}  // namespace

void release_read_locks(svr_session *s) {
    s->release_when_idle = false;
    if (holds_only_read_locks(s)) SQLTransact(s->henv, s->hdbc, SQL_COMMIT);
}

void release_read_locks_when_idle(svr_session *s) {
    if (!holds_only_read_locks(s) || s->release_when_idle) return;
    s->release_when_idle = true;
    request_idle_call();
}

void release_idle_read_locks() {
    for (auto &[handle, s] : table().sessions)
        if (s->release_when_idle) release_read_locks(s.get());
}

std::string upper_name(std::string_view name) {
    std::string out(name);
    for (char &c : out)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return out;
}

void open_call_trace(const std::string &path) {
    CallTrace &t = call_trace();
    if (t.file != nullptr) fclose(t.file);
    t.file = nullptr;
    if (path.empty()) return;
    // Readable by its owner alone, like the logs: it shows what clients do.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, dqp::LOG_FILE_MODE);
    if (fd < 0) return;
    t.file = fdopen(fd, "w");
    if (t.file == nullptr) close(fd);
}

void svr_trace(const svr_session *s, const char *fmt, ...) {
    FILE *f = call_trace().file;
    if (s == nullptr || s->trace == 0 || f == nullptr) return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(f, fmt, ap);
    va_end(ap);
    fflush(f);
}

}  // namespace vnx
