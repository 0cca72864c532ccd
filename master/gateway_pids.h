// The master's record of the gateways it started: "gateways.pid" in the
// DB_ROOT directory, beside users.db.
//
// A master that is killed cannot end its gateways; the next master reads this
// file at start-up and ends every listed process that is still a gateway of
// this installation (is_our_gateway), including gateways whose client never
// started a session and which users.db therefore never listed.
//
// Format: text, one decimal pid per line ("\n"), nothing else. The file is
// rewritten whole (a temporary file renamed over it) whenever the set of
// running gateways changes, so a reader sees the old or the new list, never a
// mix. Reading trusts nothing: at most GATEWAY_PID_FILE_MAX bytes are read, a
// line that is not 1 to 9 digits naming a pid above 1 is skipped, and at most
// GATEWAY_PID_MAX_ENTRIES pids are taken. A pid named by the file is only
// ever signalled after is_our_gateway confirms it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace vnx {

inline constexpr size_t GATEWAY_PID_FILE_MAX = 16384;
inline constexpr size_t GATEWAY_PID_MAX_ENTRIES = 1024;

// DB_ROOT + "/gateways.pid"; empty when DB_ROOT is not configured.
std::string gateway_pid_path();

// Replaces the file at path with the list. 0, or -1 when it cannot be written
// (the old file is then left as it was).
[[nodiscard]] int write_gateway_pids(const std::string &path, const std::vector<pid_t> &pids);

// The pids the file at path lists (see above); empty when it cannot be read.
std::vector<pid_t> read_gateway_pids(const std::string &path);

// The running master's own record: "db_dqpserver.pid" in db_root, one line
// with its pid, written (as above) once it holds its base port and removed
// when it stops. `vnxadmin reload` signals the master it names.
std::string master_pid_path(const std::string &db_root);
// The pid the file at master_pid_path(db_root) names when that process still
// runs the master program (/proc/PID/exe is a "db_dqpserver"); 0 otherwise,
// with the reason in *why.
pid_t running_master(const std::string &db_root, std::string *why);

// Start-up of a master: sends SIGTERM to every pid the file lists that is
// still one of our gateways, then empties the file. The number signalled.
int end_recorded_gateways();

}  // namespace vnx
