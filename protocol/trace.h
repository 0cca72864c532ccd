// The server log: one log stream per process and the trace blocks written to
// it while tracing is on.
//
// A trace block names the reporting function in its tag ("[dqp_getpkt]"), the
// message, the local time and the process id, and with a packet its header
// fields and arguments (the password argument of START and CONNECT masked).
// Nothing is written unless tracing is on and a stream is open. The stream
// belongs to the process's single request (or port-server) thread.
//
// A log never grows beyond its size limit (default 100 MB; the gateways take
// ODBServer "log_max" in megabytes): a block that would cross the limit is not
// written, a last line says that tracing stopped, and nothing more is written
// until the next open_log.
//
// Event lines (log_line) carry their own ISO 8601 time; the blocks keep
// their "hh:mm:ss" field. reopen_log appends to the path the
// stream was opened on (after logrotate has renamed the file away), never to
// a new name; log_line writes one line without a block around it (the
// master's events).
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

namespace dqp {

// Sets the tracing flag; returns 1.
int set_tracing(int flag);
// 1 while tracing is on (whether or not a stream is open).
int verbose();
// True when tracing is on and a stream is open: a block would be written.
bool tracing();

// Opens `path` for writing (created or truncated), closing a stream already
// open, and switches tracing on. The file is opened close-on-exec, never
// through a symbolic link, and only when it is a regular file; it is made
// LOG_FILE_MODE. 0, or -1 when
// it cannot be opened (tracing is then left as it was and no stream is open).
[[nodiscard]] int open_log(const std::string &path);
// Mode of a log file: its owner's alone (logs hold statements).
inline constexpr unsigned LOG_FILE_MODE = 0600;
// Default size limit of a log in bytes (100 MB).
inline constexpr size_t LOG_DEFAULT_LIMIT = size_t{100} * 1024 * 1024;
// Sets the size limit of the log (bytes, stop line included); also applies to
// the log already open, counting what it holds. 0 restores the default.
void set_log_limit(size_t bytes);
// The last line of a log that reached its limit.
inline constexpr const char *LOG_STOPPED_LINE =
    "DQP: **** tracing stopped: the log reached its size limit ****\n";

// The path of the open log; empty when none is open.
std::string log_path();
// Opens the path of the open log again, for appending (created when it was
// renamed away, kept when it is still there), never through a symbolic link
// and only as a regular file; the size limit counts what the file already
// holds. 0 when reopened; 1 when no log is open; -1 when the path cannot be
// opened (the stream in use is kept, so nothing is lost).
[[nodiscard]] int reopen_log();
// Writes `line` and a line end to the log when a block would be written
// (tracing() and within the limit).
void log_line(const char *line);
// The current time as ISO 8601: local time with milliseconds and the UTC
// offset, "2024-05-01T14:03:27.512+02:00" (UTC gives "+00:00").
std::string iso_time_now();
// The same for a given time (seconds and nanoseconds since the epoch).
std::string iso_time(time_t seconds, long nanoseconds);

// Closes the stream when tracing is on (the port server's rule).
void close_log();
// Closes the stream, whatever the flag, and forgets it.
void close_log_stream();

// Writes a block without packet; returns 1.
int trace(const char *tag, const char *message);
// printf-style form of trace.
int tracef(const char *tag, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Writes a block with the fields of the packet (size bytes; null for none).
// Callers test verbose() first.
int trace_packet(const char *pkt, size_t size, const char *tag, const char *message);

}  // namespace dqp
