// Where a server's log goes: the "logging" and "logfile" settings of its key
// in the configuration store, and a file name in DB_ROOT that does not yet
// exist. The gateways and the port server open their logs through here.
#pragma once

#include <string>

namespace dqp {

// The log file for a "logfile" setting: its base name (after the last "\\" or
// "/", else after the first ":"), cut at its first ".", as "<dir>/<stem>.log";
// when that exists, "<dir>/<stem>001.log", 002 and so on, the first that does
// not exist. An empty stem takes `fallback_stem`.
std::string choose_log_path(const std::string &dir, const std::string &logfile,
                            const std::string &fallback_stem);

// Opens the server log when `key`'s "logging" value is exactly "true".
// Returns 0 when a log was opened, -1 otherwise.
int open_server_log(const std::string &key, const std::string &fallback_stem);

}  // namespace dqp
