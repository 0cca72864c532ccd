// vnxadmin ping. See ping.h.
#include "programs/vnxadmin/ping.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include "client/port_query.h"
#include "programs/vnxadmin/port_options.h"

namespace vnxadmin {

namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The live sessions the port server lists, asked within what is left of the
// time limit; -1 and *err when the count cannot be had.
int count_sessions(const PortServerOptions &opts, Clock::time_point start, std::string *err) {
    const long left = opts.timeout_ms - elapsed_ms(start);
    if (left <= 0) {
        *err = "the time limit ran out while counting them";
        return -1;
    }
    std::vector<std::string> lines;
    if (dqp::list_sessions(opts.host, opts.port, &lines, err, static_cast<int>(left), &opts.tls) !=
        0)
        return -1;
    return static_cast<int>(lines.size());
}

}  // namespace

int run_ping(const Args &args) {
    PortServerOptions opts;
    if (std::string problem = parse_port_server_options(args, false, "ping", &opts);
        !problem.empty())
        return usage_error(problem, kPingUsage);
    const std::string where = opts.host + ":" + std::to_string(opts.port);
    const Clock::time_point start = Clock::now();
    std::string answer, err;
    const int rc =
        dqp::text_query(opts.host, opts.port, "Active", &answer, &err, opts.timeout_ms, &opts.tls);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    // Each receive has the whole limit; a peer that dribbles its answer must
    // not stretch the check beyond it.
    if (rc == 0 && ms > opts.timeout_ms)
        err = "the answer took longer than " + std::to_string(opts.timeout_ms) + " ms";
    else if (rc == 0 && answer.empty())
        err = "the connection was closed without an answer";
    else if (rc == 0 && answer != "0")
        err = "malformed answer to \"?Active\": " + quoted(answer.substr(0, 64));
    if (rc != 0 || !err.empty())
        return failure("the port server on " + where + " did not answer", err);

    std::string count_err;
    const int sessions = count_sessions(opts, start, &count_err);
    char line[512];
    if (sessions >= 0)
        std::snprintf(line, sizeof line, "the port server on %s answered in %.1f ms (%d live %s)",
                      where.c_str(), ms, sessions, sessions == 1 ? "session" : "sessions");
    else
        std::snprintf(line, sizeof line,
                      "the port server on %s answered in %.1f ms (live sessions unknown: %s)",
                      where.c_str(), ms, count_err.c_str());
    print_line(stdout, line);
    return kSuccess;
}

}  // namespace vnxadmin
