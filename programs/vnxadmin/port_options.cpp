// Options of the commands that ask a port server. See port_options.h.
#include "programs/vnxadmin/port_options.h"

#include "support/config_store.h"
#include "transport/ports.h"

namespace vnxadmin {

namespace {

constexpr long kMaxTimeoutMs = 3600000;

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
std::string set_option(const std::string &name, const std::string &value, PortServerOptions *o) {
    if (name == "--host") {
        if (value.empty()) return "--host needs a host name or address";
        o->host = value;
    } else if (name == "--port") {
        o->port = vnx::parse_port(value);
        if (o->port == 0) return "--port " + quoted(value) + " is not a port number";
    } else if (name == "--timeout") {
        const long ms = parse_timeout(value);
        if (ms < 0)
            return "--timeout " + quoted(value) + " is not a number of milliseconds (1 to 3600000)";
        o->timeout_ms = static_cast<int>(ms);
    } else if (name == "--tls") {
        if (!dqp::parse_tls_mode(value, &o->tls.mode))
            return "--tls " + quoted(value) +
                   " is not a mode (disable, prefer, require, verify-ca, verify-full)";
    } else if (name == "--tls-ca") {
        o->tls.ca_file = value;
    } else if (name == "--tls-cert") {
        o->tls.cert_file = value;
    } else if (name == "--tls-key") {
        o->tls.key_file = value;
    } else {
        return "unknown option " + quoted(name);
    }
    return {};
}

}  // namespace

std::string parse_port_server_options(const Args &args, bool allow_json, const std::string &verb,
                                      PortServerOptions *o) {
    if (std::string err; dqp::tls_options_from_env(&o->tls, &err) != 0) return err;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        if (allow_json && name == "--json") {
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
    if (o->port == 0) o->port = vnx::configured_base_port().port;
    if (o->port == 0)
        return "no port to " + verb + ": the configuration store " +
               quoted(vnx::config_store_path()) +
               " gives no DB_DQPBASE and no services entry db_dqpbase; give --port";
    return {};
}

}  // namespace vnxadmin
