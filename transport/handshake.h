// The readiness handshake between a starting gateway and its master: the
// empty file "dqp_%04X.tmp" (the port in four upper-case hex digits) in the
// current directory, which both processes share. The gateway creates it once
// it listens; the master's spawn side (spawn.h) waits for it and deletes it.
#pragma once

#include <string>

namespace vnx {

// "dqp_%04X.tmp" for port.
std::string handshake_file_name(int port);

// Creates the handshake file for port.
void signal_ready(int port);

}  // namespace vnx
