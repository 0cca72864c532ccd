// vnxadmin stats. See stats.h.
#include "programs/vnxadmin/stats.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "client/port_query.h"
#include "programs/vnxadmin/json_text.h"
#include "support/config_store.h"
#include "transport/ports.h"

namespace vnxadmin {

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

struct StatsOptions {
    std::string host = "127.0.0.1";
    int port = 0;
    int timeout_ms = 5000;
    bool json = false;
};

// One option; a usage message, or "".
std::string set_option(const std::string &name, const std::string &value, StatsOptions *o) {
    if (name == "--host") {
        if (value.empty()) return "--host needs a host name or address";
        o->host = value;
    } else if (name == "--port") {
        o->port = vnx::parse_port(value);
        if (o->port == 0) return "--port " + quoted(value) + " is not a port number";
    } else if (name == "--timeout") {
        const bool digits =
            !value.empty() && value.size() <= 7 &&
            std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
        const long ms = digits ? std::stol(value) : 0;
        if (ms < 1 || ms > 3600000)
            return "--timeout " + quoted(value) + " is not a number of milliseconds (1 to 3600000)";
        o->timeout_ms = static_cast<int>(ms);
    } else {
        return "unknown option " + quoted(name);
    }
    return {};
}

std::string parse(const Args &args, StatsOptions *o) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        if (name == "--json") {
            o->json = true;
            continue;
        }
        if (name.rfind("--", 0) != 0) return "unexpected argument " + quoted(name);
        if (const size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        } else {
            if (i + 1 >= args.size()) return "option " + name + " needs a value";
            value = args[++i];
        }
        if (std::string problem = set_option(name, value, o); !problem.empty()) return problem;
    }
    return {};
}

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
    StatsOptions o;
    if (std::string problem = parse(args, &o); !problem.empty())
        return usage_error(problem, kStatsUsage);
    if (o.port == 0) o.port = vnx::configured_base_port().port;
    if (o.port == 0)
        return usage_error("no port to ask: the configuration store " +
                               quoted(vnx::config_store_path()) +
                               " gives no DB_DQPBASE and no services entry db_dqpbase; give --port",
                           kStatsUsage);
    Values values;
    std::string err;
    if (dqp::port_stats(o.host, o.port, &values, &err, o.timeout_ms) != 0)
        return failure(
            "no statistics from the port server on " + o.host + ":" + std::to_string(o.port), err);
    if (o.json)
        print_json(values);
    else
        print_text(values);
    return kSuccess;
}

}  // namespace vnxadmin
