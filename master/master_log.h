// The master's events: what an administrator keeps of a running master
// (start, stop, reloads, refused clients, gateways that ended, failed starts,
// claims that ran out). Each event is one line,
//   "2024-05-01T14:03:27.512+02:00 db_dqpserver[4242]: settings reloaded: ..."
// (ISO 8601 local time with milliseconds and UTC offset, the process id in
// decimal), written whole with one call to standard error, which journald
// keeps for a headless master, and as the same line to the port server's log
// when it is open. Called from the port-server thread (and start-up before
// it runs); the text is cut to 1024 bytes.
#pragma once

#include <string>

namespace vnx {

// Writes an event (printf-style).
void master_event(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The event line of `text`, without the line end.
std::string master_event_line(const std::string &text);

}  // namespace vnx
