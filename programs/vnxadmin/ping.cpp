// vnxadmin ping. See ping.h.
#include "programs/vnxadmin/ping.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include "client/port_query.h"
#include "transport/ports.h"

namespace vnxadmin {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultTimeoutMs = 1000;
constexpr long kMaxTimeoutMs = 3600000;

struct PingOptions {
    std::string host = "127.0.0.1";
    int port = 0;
    int timeout_ms = kDefaultTimeoutMs;
    bool has_port = false;
    dqp::TlsOptions tls;  // $VNX_TLSMODE ... then --tls, --tls-ca, --tls-cert, --tls-key
};

// A time limit in milliseconds: decimal digits only, 1 to an hour. 0 would
// mean no limit at all to the socket layer, which a health check must not
// have. -1 otherwise.
long parse_timeout(const std::string &text) {
    if (text.empty() || text.size() > 7) return -1;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value >= 1 && value <= kMaxTimeoutMs ? value : -1;
}

// Sets one option from its name and value; a usage message, or "".
std::string set_option(const std::string &name, const std::string &value, PingOptions *opts) {
    if (name == "--host") {
        if (value.empty()) return "--host needs a host name or address";
        opts->host = value;
    } else if (name == "--port") {
        opts->port = vnx::parse_port(value);
        if (opts->port == 0) return "--port " + quoted(value) + " is not a port number";
        opts->has_port = true;
    } else if (name == "--tls") {
        if (!dqp::parse_tls_mode(value, &opts->tls.mode))
            return "--tls " + quoted(value) +
                   " is not a mode (disable, prefer, require, verify-ca, verify-full)";
    } else if (name == "--tls-ca") {
        opts->tls.ca_file = value;
    } else if (name == "--tls-cert") {
        opts->tls.cert_file = value;
    } else if (name == "--tls-key") {
        opts->tls.key_file = value;
    } else if (name == "--timeout") {
        const long ms = parse_timeout(value);
        if (ms < 0)
            return "--timeout " + quoted(value) + " is not a number of milliseconds (1 to 3600000)";
        opts->timeout_ms = static_cast<int>(ms);
    } else {
        return "unknown option " + quoted(name);
    }
    return {};
}

// Fills `opts` from "--name VALUE" and "--name=VALUE"; a usage message, or "".
std::string parse_ping_options(const Args &args, PingOptions *opts) {
    if (std::string err; dqp::tls_options_from_env(&opts->tls, &err) != 0) return err;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        if (name.rfind("--", 0) != 0) return "unexpected argument " + quoted(name);
        if (const size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        } else {
            if (i + 1 >= args.size()) return "option " + name + " needs a value";
            value = args[++i];
        }
        if (std::string problem = set_option(name, value, opts); !problem.empty()) return problem;
    }
    return {};
}

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The live sessions the port server lists, asked within what is left of the
// time limit; -1 and *err when the count cannot be had.
int count_sessions(const PingOptions &opts, Clock::time_point start, std::string *err) {
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
    PingOptions opts;
    if (std::string problem = parse_ping_options(args, &opts); !problem.empty())
        return usage_error(problem, kPingUsage);
    if (!opts.has_port) {
        opts.port = vnx::configured_base_port().port;
        if (opts.port == 0)
            return usage_error("no port to ping: the configuration store " +
                                   quoted(vnx::config_store_path()) +
                                   " gives no DB_DQPBASE and no services entry db_dqpbase; "
                                   "give --port",
                               kPingUsage);
    }
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
