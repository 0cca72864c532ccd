// vnxadmin stats. See stats.h.
#include "programs/vnxadmin/stats.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "client/port_query.h"
#include "programs/vnxadmin/json_text.h"
#include "programs/vnxadmin/port_options.h"

namespace vnxadmin {

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

// "ADDRESS COUNT" of a host line.
std::pair<std::string, std::string> split_host(const std::string &value) {
    const size_t blank = value.rfind(' ');
    if (blank == std::string::npos) return {value, ""};
    return {value.substr(0, blank), value.substr(blank + 1)};
}

void print_json(const Values &values) {
    std::string out = "{";
    std::string hosts;
    for (const auto &[name, value] : values) {
        if (name == "host") {
            auto [address, count] = split_host(value);
            hosts += std::string(hosts.empty() ? "" : ", ") +
                     "{\"address\": " + json_string(address) +
                     ", \"live_sessions\": " + json_value(count) + "}";
            continue;
        }
        out += (out.size() > 1 ? ", " : "") + json_string(name) + ": " + json_value(value);
    }
    out += std::string(out.size() > 1 ? ", " : "") + "\"live_sessions_by_host\": [" + hosts + "]}";
    print_line(stdout, out);
}

void print_text(const Values &values) {
    size_t width = 0;
    for (const auto &[name, value] : values)
        width = std::max(width, name.size());
    bool heading = false;
    for (const auto &[name, value] : values) {
        if (name == "host") {
            if (!heading) print_line(stdout, "live sessions by client address:");
            heading = true;
            auto [address, count] = split_host(value);
            print_line(stdout, "  " + address + "  " + count);
            continue;
        }
        print_line(stdout, name + std::string(width - name.size() + 2, ' ') + value);
    }
}

}  // namespace

int run_stats(const Args &args) {
    PortServerOptions o;
    o.timeout_ms = 5000;
    if (std::string problem = parse_port_server_options(args, true, "ask", &o); !problem.empty())
        return usage_error(problem, kStatsUsage);
    Values values;
    std::string err;
    if (dqp::port_stats(o.host, o.port, &values, &err, o.timeout_ms, &o.tls) != 0)
        return failure(
            "no statistics from the port server on " + o.host + ":" + std::to_string(o.port), err);
    if (o.json)
        print_json(values);
    else
        print_text(values);
    return kSuccess;
}

}  // namespace vnxadmin
