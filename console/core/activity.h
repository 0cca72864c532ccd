// The activity list: the live sessions of users.db as the activity window
// shows them, the status-bar counts, the window title, the stop question, and
// Kill.
//
// The console reads users.db from its own thread while the port-server thread
// writes it; records are written whole, so each slot read here is either the
// old or the new record. Nothing here writes users.db: Kill only signals the
// gateway, and the port-server thread, which reaps it, frees its record and
// its port. A users.db that is missing, short or holds garbage gives the rows
// that can be read and never fails harder than that.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "console/core/messages.h"
#include "master/session_registry.h"
#include "support/config_store.h"

namespace vnx::console {

inline constexpr int kActivityColumnCount = 7;

struct ActivityColumn {
    const char *heading;
    int width;  // initial width in pixels
};
extern const std::array<ActivityColumn, kActivityColumnCount> kActivityColumns;

// One row of the list: the seven cell texts and the numbers behind them.
struct ActivityRow {
    std::array<std::string, kActivityColumnCount> cells;
    int32_t process = 0;
    int32_t port = 0;
};

// Display name of a record's type field: its first three characters looked
// up upper-cased ("ODB" -> "ODBC"); unknown codes as stored.
std::string server_type_text(const std::string &type_field);
// "[gid,uid]", or empty when both are negative.
std::string gid_uid_cell(int32_t gid, int32_t uid);
ActivityRow activity_row(const SessionRecord &record);

// Live rows of the users.db at `path`, in slot order; reading stops at the
// first slot that cannot be read whole. 0, or -1 when the file cannot be
// opened (rows empty).
int read_activity(const std::string &path, std::vector<ActivityRow> *rows);

// DB_ROOT of the store, "" when absent.
std::string store_db_root(ConfigStore &store);
// DB_ROOT + "/users.db", "" without a DB_ROOT.
std::string users_db_path(ConfigStore &store);

// "%d active connection(s). %d available connection(s)." with live and
// (DB_DQPMAX - DB_DQPBASE - live), the values read from the store's root key
// as atoi reads them (absent: 0).
std::string activity_status_text(ConfigStore &store, int live);
std::string activity_status_text(long base, long max, int live);

// "Current Activity - host" (host name cut at its first full stop), or
// "Current Activity" without a host name.
std::string activity_title();

// The stop flow's question for n live sessions, "" when n is 0 (no question).
std::string stop_question(int live);

// Kill: signals (SIGTERM) the gateway `pid` when it is still a gateway of
// this installation (is_our_gateway); 0 when signalled, -1 refused with the
// reason in msg (a pid that is no longer ours is never signalled).
int kill_gateway(pid_t pid, const std::string &db_root, ConsoleMessage *msg);
// The row's process id from its "Process ID" cell; 0 when it is not a number.
pid_t row_process(const ActivityRow &row);

}  // namespace vnx::console
