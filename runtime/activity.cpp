// The gateway's entry on the activity board. See activity.h.
#include "runtime/activity.h"

#include <unistd.h>

#include <chrono>
#include <memory>

#include "protocol/packet.h"
#include "protocol/trace.h"
#include "runtime/packet_exchange.h"
#include "runtime/request.h"
#include "support/activity_board.h"
#include "support/config_cache.h"
#include "support/settings_catalog.h"

namespace vnx {

namespace {

struct Tracker {
    std::unique_ptr<ActivityBoard> board;
    int slot = -1;
    ActivityRecord record;
    bool autocommit = false;    // every statement commits itself: no transaction stays open
    bool open_changes = false;  // a statement ran since CONNECT, COMMIT or ROLLBACK
    bool running = false;       // activity_begin published this request
    uint64_t rows_at_connect = 0;
    std::string pending_source, pending_user;  // of the CONNECT being served
    bool unpublished = false;                  // record changed since the last publish
};

Tracker &tracker() {
    static Tracker t;
    return t;
}

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Requests that run SQL or touch rows: shown as running while served, and
// leaving a transaction open behind them (unless autocommit is on).
bool runs_statement(int type) {
    switch (type) {
        case dqp::PKT_TYPE_EXECSQL:
        case dqp::PKT_TYPE_OPEN:
        case dqp::PKT_TYPE_FETCH:
        case dqp::PKT_TYPE_FETCHMANY:
        case dqp::PKT_TYPE_EXTENDED_FETCH:
        case dqp::PKT_TYPE_USE:
        case dqp::PKT_TYPE_READ:
        case dqp::PKT_TYPE_FIND:
        case dqp::PKT_TYPE_INSERT:
        case dqp::PKT_TYPE_UPDATE:
        case dqp::PKT_TYPE_DELETE:
        case dqp::PKT_TYPE_COUNT:
        case dqp::PKT_TYPE_MEMO:
        case dqp::PKT_TYPE_COMMIT:
        case dqp::PKT_TYPE_ROLLBACK:
            return true;
        default:
            return false;
    }
}

void publish() {
    Tracker &t = tracker();
    t.board->publish(t.slot, t.record);
}

}  // namespace

void update_after(const Request &r, bool session_changed);

int activity_start(int port) {
    Tracker &t = tracker();
    if (!setting_switch("ODBServer", "track_activity")) return 1;
    std::string root = get_registry_value("DB_ROOT", kRootKey);
    std::string err;
    auto board =
        ActivityBoard::open((root.empty() ? "." : root) + "/" + kActivityBoardName, true, &err);
    int slot = board ? board->slot_of(port) : -1;
    if (slot < 0) {
        dqp::tracef("[dqp_server]", "activity not published: %s",
                    board ? "the port is outside the master's port table" : err.c_str());
        return 1;
    }
    t.board = std::move(board);
    t.slot = slot;
    t.autocommit = setting_switch("ODBServer", "autocommit");
    t.record = ActivityRecord{};
    t.record.state = static_cast<uint32_t>(ActivityState::kIdle);
    t.record.pid = static_cast<int32_t>(getpid());
    t.record.port = port;
    t.record.since_ms = now_ms();
    publish();
    return 0;
}

void activity_stop() {
    Tracker &t = tracker();
    if (!t.board) return;
    t.record = ActivityRecord{};
    publish();
    t.board.reset();
    t.slot = -1;
}

// CONNECT's data source (argument 3) and user (argument 1), taken before the reply overwrites the
// packet; they count once the session is connected.
void note_connect(const Request &r) {
    Tracker &t = tracker();
    std::string_view ds, user;
    if (dqp::packet_arg(r.packet, r.size, 3, &ds) != 0) ds = {};
    if (dqp::packet_arg(r.packet, r.size, 1, &user) != 0) user = {};
    t.pending_source = ds;
    t.pending_user = user;
}

void activity_begin(const Request &r) {
    Tracker &t = tracker();
    t.running = false;
    if (!t.board) return;
    if (r.type == dqp::PKT_TYPE_CONNECT) return note_connect(r);
    ActivityRecord &rec = t.record;
    if (r.type == dqp::PKT_TYPE_DECLARE) {  // shown once OPEN runs it
        set_activity_text(rec.statement, sizeof rec.statement, r.arg_view(1));
        return;
    }
    if (!runs_statement(r.type)) return;
    if (r.type == dqp::PKT_TYPE_EXECSQL) {
        set_activity_text(rec.statement, sizeof rec.statement, r.arg_view(0));
    }
    set_activity_text(rec.request, sizeof rec.request, r.name);
    rec.state = static_cast<uint32_t>(ActivityState::kRunning);
    rec.since_ms = now_ms();
    t.running = true;
    t.unpublished = false;
    publish();
}

void activity_end(const Request &r) {
    Tracker &t = tracker();
    if (!t.board) return;
    const bool session_changed =
        (r.type == dqp::PKT_TYPE_CONNECT || r.type == dqp::PKT_TYPE_DISCONNECT ||
         r.type == dqp::PKT_TYPE_ABORT);
    if (t.running || session_changed) {
        update_after(r, session_changed);
        t.unpublished = true;
    }
    // When the client's next request has already arrived (a pipeline), the
    // record is published after it instead: a query's EXECSQL, MAPERROR and
    // FETCHMANY cost three writes, not four.
    if (t.unpublished && !dqp_request_buffered(r.client)) {
        publish();
        t.unpublished = false;
    }
}

// The record after a request that ran a statement or changed the session.
void update_after(const Request &r, bool session_changed) {
    Tracker &t = tracker();
    ActivityRecord &rec = t.record;
    if (r.type == dqp::PKT_TYPE_CONNECT && r.connected) {
        set_activity_text(rec.data_source, sizeof rec.data_source, t.pending_source);
        set_activity_text(rec.user, sizeof rec.user, t.pending_user);
        set_activity_text(rec.statement, sizeof rec.statement, "");
        t.rows_at_connect = dqp_rows_sent();
    } else if (!r.connected) {
        set_activity_text(rec.data_source, sizeof rec.data_source, "");
        set_activity_text(rec.user, sizeof rec.user, "");
    }
    // A transaction is open from the first statement after CONNECT, COMMIT
    // or ROLLBACK until the next COMMIT or ROLLBACK, as the data source sees
    // it with autocommit off.
    if (r.type == dqp::PKT_TYPE_COMMIT || r.type == dqp::PKT_TYPE_ROLLBACK || session_changed)
        t.open_changes = false;
    else if (t.running && r.connected)
        t.open_changes = !t.autocommit;
    rec.rows_sent = dqp_rows_sent() - t.rows_at_connect;
    rec.state = static_cast<uint32_t>(t.open_changes ? ActivityState::kInTransaction
                                                     : ActivityState::kIdle);
    rec.since_ms = now_ms();
    t.running = false;
}

}  // namespace vnx
