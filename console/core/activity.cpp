// The activity list and Kill.
#include "console/core/activity.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace vnx::console {

const std::array<ActivityColumn, kActivityColumnCount> kActivityColumns = {{
    {"Connection", 80},
    {"Type", 60},
    {"Process ID", 80},
    {"Port number", 80},
    {"Client TCP/IP", 110},
    {"Login time", 120},
    {"[GID,UID]", 80},
}};

std::string server_type_text(const std::string &type_field) {
    const std::string code = type_field.substr(0, 3);
    static const struct {
        const char *code;
        const char *name;
    } kNames[] = {{"ORA", "Oracle"}, {"SYB", "Sybase"},  {"INF", "Informix"}, {"ING", "Ingres"},
                  {"DB2", "db2"},    {"REC", "Tavorin"}, {"ODB", "ODBC"}};
    const std::string key = upper(code);
    for (const auto &entry : kNames) {
        if (key == entry.code) return entry.name;
    }
    return code;
}

std::string gid_uid_cell(int32_t gid, int32_t uid) {
    if (gid < 0 && uid < 0) return {};
    return "[" + std::to_string(gid) + "," + std::to_string(uid) + "]";
}

ActivityRow activity_row(const SessionRecord &r) {
    ActivityRow row;
    row.process = r.process;
    row.port = r.port;
    row.cells[0] = r.name;
    row.cells[1] = server_type_text(r.type_field);
    row.cells[2] = std::to_string(r.process);
    row.cells[3] = std::to_string(r.port);
    row.cells[4] = r.type_field.size() > 3 ? r.type_field.substr(3) : std::string();
    row.cells[5] = r.login_date + " " + r.login_time;
    row.cells[6] = gid_uid_cell(r.gid, r.uid);
    return row;
}

int read_activity(const std::string &path, std::vector<ActivityRow> *rows) {
    rows->clear();
    if (path.empty()) return -1;
    try {
        std::vector<SessionRecord> records;
        const int rc = read_session_file(path, &records);
        // A read error part-way still leaves the whole records read before it.
        for (const SessionRecord &r : records) {
            if (r.status == SESSION_LIVE) rows->push_back(activity_row(r));
        }
        return rc < 0 && records.empty() ? -1 : 0;
    } catch (...) {
        rows->clear();
        return -1;
    }
}

std::string store_db_root(ConfigStore &store) {
    std::string root;
    if (store.get_value(kRootKey, "DB_ROOT", &root) != 0) return {};
    return root;
}

std::string users_db_path(ConfigStore &store) {
    const std::string root = store_db_root(store);
    return root.empty() ? std::string() : root + "/users.db";
}

std::string activity_status_text(long base, long max, int live) {
    const long available = max - base - live;
    return std::to_string(live) + " active connection(s). " + std::to_string(available) +
           " available connection(s).";
}

std::string activity_status_text(ConfigStore &store, int live) {
    std::string base, max;
    store.get_value(kRootKey, "DB_DQPBASE", &base);
    store.get_value(kRootKey, "DB_DQPMAX", &max);
    return activity_status_text(leading_number(base), leading_number(max), live);
}

std::string activity_title() {
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "Current Activity";
    std::string name = host;
    if (const size_t dot = name.find('.'); dot != std::string::npos) name.resize(dot);
    return "Current Activity - " + name;
}

std::string stop_question(int live) {
    if (live <= 0) return {};
    if (live == 1) {
        return format_number(
            "     There is %d connection active.\nAre you sure you want to stop the server?", 1);
    }
    return format_number(
        "   There are %d connections active.\nAre you sure you want to stop the server?", live);
}

int kill_gateway(pid_t pid, const std::string &db_root, ConsoleMessage *msg) {
    // Never signal 0, -1 or ourselves: those reach a whole process group.
    if (pid <= 0 || !is_our_gateway(pid, db_root)) {
        return refuse(kConnectionCaption,
                      format_number("Process %d is not a gateway of this server (it has ended); "
                                    "nothing was signalled.",
                                    pid),
                      msg);
    }
    if (kill(pid, SIGTERM) != 0 && errno != ESRCH) {
        return refuse(kConnectionCaption,
                      format_number("Cannot end process %d: ", pid) + std::strerror(errno), msg);
    }
    return 0;
}

pid_t row_process(const ActivityRow &row) {
    const std::string &cell = row.cells[2];
    if (!all_digits(cell) || cell.size() > 9) return 0;
    return static_cast<pid_t>(std::stol(cell));
}

}  // namespace vnx::console
