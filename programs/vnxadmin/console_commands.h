// vnxadmin's console subcommands: the administration console's functions for
// servers without a display (sessions, kill, settings, users, groups, nodes,
// export, import), with the console's checks and messages. A refused change
// prints the console's message on stderr, exits 1 and writes nothing.
#pragma once

#include "programs/vnxadmin/admin.h"

namespace vnxadmin {

int run_sessions(const Args &args);
int run_kill(const Args &args);
// Makes the running master re-read its PortServer and ODBServer settings.
int run_reload(const Args &args);
int run_settings(const Args &args);
int run_users(const Args &args);
int run_groups(const Args &args);
int run_nodes(const Args &args);
int run_export(const Args &args);
int run_import(const Args &args);
// Help entries of the subcommand groups above.
void append_console_help(std::vector<vnx::HelpEntry> *out);

}  // namespace vnxadmin
