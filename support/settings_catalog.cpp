// The settings table, its checks, the servers' typed reads and the Markdown
// reference.
#include "support/settings_catalog.h"

#include <strings.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/address_rules.h"
#include "support/config_cache.h"
#include "support/config_limits.h"

namespace vnx {

namespace {

using T = SettingType;
using A = SettingApplies;

// Each row was checked against the code that reads the value: the default is
// what that code applies when the value is absent or refused.
constexpr SettingEntry kCatalog[] = {
    {"", "DB_ROOT", T::kPath, "", 0, 0, "(none)", A::kRestart, "all",
     "Installation directory: holds odbserver, users.db, gateways.pid, the logs, scroll-cursor "
     "spill files and VNX.reg. The master refuses to start without it; a change takes effect "
     "at the next start."},
    {"", "DB_DQPBASE", T::kInteger, "port", 1, 65535, "(none)", A::kRestart, "all",
     "Base port of the port server, used when /etc/services has no db_dqpbase/tcp entry; "
     "gateways send their session notices there and dqpsh asks it for gateways. The master "
     "refuses to start without a port."},
    {"", "DB_DQPMAX", T::kInteger, "port", 1, 65535, "(none)", A::kConsole, "console",
     "Upper port bound as the console sees it: its status line counts DB_DQPMAX minus "
     "DB_DQPBASE minus the live sessions as available. The port server takes its bound from "
     "the services entry db_dqpmax, else the larger of 8101 and base + 101, at most base + 200."},
    {"PortServer", "spares", T::kInteger, "count", 0, 16, "1", A::kReload, "master",
     "odb gateways kept started and listening so that a request is answered at once (0 to 16; "
     "0 starts a gateway per request). Re-read at reload."},
    {"PortServer", "claim_timeout", T::kInteger, "seconds", 1, 86400, "60", A::kReload,
     "master, gateway",
     "A gateway whose client starts no session within this many seconds (1 to 86400) is "
     "ended and its port freed; a gateway also gives its client this long to finish the TLS "
     "handshake. Re-read at reload."},
    {"PortServer", "listen", T::kAddress, "", 0, 0, "0.0.0.0", A::kRestart, "master, gateway",
     "Address the base port and every gateway listen on: 0.0.0.0 (every IPv4 address), :: "
     "(every IPv6 and IPv4 address) or one address of this host. Takes effect at the next start."},
    {"PortServer", "allow", T::kAddressList, "", 0, 0, "(empty)", A::kReload, "master",
     "Clients served, as addresses and CIDR networks separated by commas or blanks; empty "
     "serves everyone. A request from elsewhere is closed without an answer. Re-read at reload."},
    {"PortServer", "max_pending_per_host", T::kInteger, "count", 0, 200, "8", A::kReload, "master",
     "Gateways one client address may hold whose session has not started (0: no limit); a "
     "request beyond it is answered -1. Re-read at reload."},
    {"PortServer", "max_per_host", T::kInteger, "count", 0, 200, "0", A::kReload, "master",
     "Gateways one client address may hold in all, until they exit (0: no limit); a request "
     "beyond it is answered -1. Re-read at reload."},
    {"PortServer", "shutdown_grace", T::kInteger, "seconds", 0, 86400, "0", A::kReload, "master",
     "On SIGTERM, how long the master waits for live sessions to end before ending their "
     "gateways (0: end every gateway at once). Re-read at reload."},
    {"PortServer", "logging", T::kSwitch, "", 0, 0, "false", A::kReload, "master, console",
     "\"true\" switches the port server's log in DB_ROOT on. Re-read at reload."},
    {"PortServer", "logfile", T::kText, "file name", 0, 0, "portserver", A::kReload,
     "master, console",
     "Name of the port server's log: its base name up to the first dot, plus .log, in DB_ROOT "
     "(a numbered name when that file exists)."},
    {"PortServer", "DQP_SPAWNWAIT", T::kInteger, "count", 0, 2147483647, "(none)", A::kConsole,
     "console",
     "The console's Delay field. The master does not read it: its wait for a new gateway comes "
     "from the environment variable DQP_SPAWNWAIT (default 100 seconds)."},
    {"PortServer", "DQP_TIMEOUT", T::kInteger, "count", 0, 2147483647, "(none)", A::kConsole,
     "console", "The console's Timeout field (0 to 200); no server reads it."},
    {"PortServer", "DQP_RETRIES", T::kInteger, "count", 0, 2147483647, "(none)", A::kConsole,
     "console", "The console's Retries field (0 to 200); no server reads it."},
    {"ODBServer", "logging", T::kSwitch, "", 0, 0, "false", A::kReload, "gateway",
     "\"true\" switches each gateway's log in DB_ROOT on."},
    {"ODBServer", "logfile", T::kText, "file name", 0, 0, "odbserver", A::kReload, "gateway",
     "Name of a gateway's log: its base name up to the first dot, plus .log, in DB_ROOT (a "
     "numbered name when that file exists)."},
    {"ODBServer", "log_max", T::kInteger, "megabytes", 1, 1048576, "100", A::kReload, "gateway",
     "Size at which a gateway's log stops (a whole number above 0)."},
    {"ODBServer", "autocommit", T::kSwitch, "", 0, 0, "false", A::kReload, "gateway",
     "\"true\" keeps the driver's autocommit at CONNECT; otherwise the gateway switches it off "
     "so that COMMIT and ROLLBACK mean what they say."},
    {"ODBServer", "lock_timeout", T::kInteger, "seconds", 0, 3600, "5", A::kReload, "gateway",
     "How long a record write waits for a row another session holds (0 to 3600; 0 fails at "
     "once) before it answers NOK."},
    {"ODBServer", "track_activity", T::kSwitch, "", 0, 0, "true", A::kReload, "gateway",
     "\"false\" stops a gateway from publishing its data source, user, state, statement and "
     "rows sent on the activity board (DB_ROOT/activity.board) that vnxadmin sessions reads. "
     "Read when the client connects."},
    {"ODBServer", "preload_drivers", T::kSwitch, "", 0, 0, "true", A::kReload, "gateway",
     "\"false\" stops a waiting gateway from loading the data sources' driver libraries and "
     "resolving the master's host ahead of its client."},
    {"ODBServer", "tune_sqlite", T::kSwitch, "", 0, 0, "true", A::kReload, "gateway",
     "\"false\" keeps SQLite's defaults for the SQLite ODBC driver instead of its multi-thread "
     "mode without memory statistics."},
    {"ODBServer", "keep_heap", T::kSwitch, "", 0, 0, "true", A::kReload, "gateway",
     "\"false\" lets a gateway give the memory a large result freed back to the system at "
     "once, as the C library does by default; otherwise it keeps up to 128 MB of it for the "
     "next result, which then takes no page faults. Read when the gateway starts."},
    {"ODBServer", "server_side_prepare", T::kSwitch, "", 0, 0, "false", A::kReload, "gateway",
     "\"true\" keeps psqlODBC's server-side prepare (one more server round per statement); "
     "otherwise PostgreSQL data sources are connected with UseServerSidePrepare=0."},
    {"ODBServer", "pool", T::kSwitch, "", 0, 0, "false", A::kReload, "gateway",
     "\"true\" lets a gateway keep its PostgreSQL or MariaDB connection, reset, when its client "
     "disconnects, and serve the next plain session that names the same data source, user and "
     "password on it. A MariaDB connection is kept only when its driver's reset really clears "
     "the session (MariaDB Connector/ODBC 3.1's does not). Read at CONNECT and DISCONNECT."},
    {"ODBServer", "pool_idle", T::kInteger, "seconds", 1, 86400, "60", A::kReload, "gateway",
     "How long a gateway holds a kept connection for a new session (1 to 86400) before it "
     "disconnects and exits."},
    {"ODBServer", "pool_max", T::kInteger, "count", 0, 1000, "8", A::kReload, "gateway",
     "Most kept connections on this DB_ROOT at once (0 to 1000), exact however many gateways "
     "decide at once: each holds one of the locked files DB_ROOT/pool-slot-<n>. A gateway over "
     "the limit disconnects as without \"pool\"."},
    {"ODBServer", "pool_lifetime", T::kInteger, "seconds", 0, 31536000, "3600", A::kReload,
     "gateway",
     "How long a kept connection may live in all, counted from its connect (0 to 31536000; 0 "
     "for no limit). An older one is neither kept nor handed to a new session: its gateway "
     "disconnects and exits. A changed password or a revoked login reaches kept connections "
     "within this time."},
    {"ODBServer", "require_login", T::kSwitch, "", 0, 0, "false", A::kReload, "gateway",
     "\"true\" makes a gateway serve nothing until START names a user of NetServer\\Users with "
     "that user's password. Read when the client connects. A stored text that is not a switch "
     "reads as true: a broken setting never lets anyone in unchecked.",
     "true"},
    {"ODBServer", "max_statement_bytes", T::kInteger, "bytes", 16384, 1073741824, "67108864",
     A::kReload, "gateway",
     "Most bytes a gateway joins for one request whose statement or parameter values come in "
     "pieces, longer than one packet (16384 to 1073741824). A request over it is refused and "
     "MAPERROR names this setting. Read at a session's first long request."},
    {"NetServer", "DQP_MASTERHOST", T::kText, "host name", 0, 0, "(written by the master)",
     A::kRestart, "master, gateway",
     "Host of the master that receives the gateways' session notices; the master records its "
     "own host name at start when the value is empty."},
    {"NetServer", "dqp_protocol", T::kText, "text", 0, 0, "(none)", A::kRestart, "master, gateway",
     "When exactly \"decnet\", gateways send no session notices and the master ends no "
     "unclaimed gateway; any other text changes nothing."},
    {"NetServer", "tls", T::kWord, "off|allow|require", 0, 0, "off", A::kReload, "master, gateway",
     "TLS on the base port and every gateway port, chosen by the client's first byte: off "
     "(plain only; a TLS attempt is closed), allow (TLS or plain), require (a plain connection "
     "is closed and logged; this host's own gateways still send their session notices plain). "
     "Re-read at reload: new connections get the new setting."},
    {"NetServer", "tls_cert", T::kPath, "", 0, 0, "(none)", A::kReload, "master, gateway",
     "PEM certificate (with its chain) the servers show when tls is allow or require. The "
     "master and a gateway refuse to start when it cannot be loaded; a reload that finds it "
     "changed loads it for new connections (or keeps the old one, logged, when it is broken) "
     "and replaces the idle spares."},
    {"NetServer", "tls_key", T::kPath, "", 0, 0, "(none)", A::kReload, "master, gateway",
     "PEM private key of tls_cert. It must be readable by its owner alone (mode 0600 or "
     "0400): the servers refuse to start otherwise."},
    {"NetServer", "tls_ca", T::kPath, "", 0, 0, "(none)", A::kReload, "master, gateway",
     "PEM CA certificates that client certificates must be signed by when tls_client_cert "
     "is require."},
    {"NetServer", "tls_client_cert", T::kWord, "off|require", 0, 0, "off", A::kReload,
     "master, gateway",
     "require: a TLS client must show a certificate signed by tls_ca, or its handshake fails."},
    {"NetServer", "tls_ciphers", T::kText, "OpenSSL cipher list", 0, 0, "(AEAD suites)", A::kReload,
     "master, gateway",
     "TLS 1.2 suites offered, in OpenSSL's cipher list syntax. Empty: only ECDHE with AES-GCM "
     "or ChaCha20-Poly1305. A list OpenSSL finds no cipher in stops the start or the reload, "
     "naming it. TLS 1.3 keeps OpenSSL's suites."},
    {"NetServer", "DQP_SVRLOG", T::kPath, "", 0, 0, "(none)", A::kReload, "gateway",
     "File of the gateway's ODBC call trace, opened at CONNECT (empty: no trace)."},
    {"NetServer", "DQP_TCPBUF", T::kInteger, "kilobytes", 0, 2147483647, "16", A::kReload,
     "gateway",
     "Kilobytes of rows a gateway gathers into one METADATA packet before sending it (at most "
     "16; 0 sends every packet alone)."},
    {"NetServer", "DB_DATE", T::kWord, "American|British|French|German|Italian|ANSII|Japan", 0, 0,
     "(none)", A::kConsole, "console",
     "The console's date format name: American, British, French, German, Italian, ANSII or "
     "Japan. The servers do not use it."},
    {"NetServer", "DB_MAXWKA", T::kInteger, "count", 0, 2147483647, "(none)", A::kConsole,
     "console", "The console's Record Sets field (10 to 100); no server reads it."},
    {"NetServer", "DB_WEBROOT", T::kText, "directory", 0, 0, "(none)", A::kConsole, "console",
     "The console's Web root field; no server reads it."},
    {"NetServer", "DB_CLASSDIR", T::kText, "directory", 0, 0, "(none)", A::kConsole, "console",
     "The console's Class Directory field; no server reads it."},
    {"NetServer", "logging", T::kSwitch, "", 0, 0, "false", A::kConsole, "console",
     "The console's Logging field for network servers; no server reads it."},
    {"NetServer", "logfile", T::kText, "file name", 0, 0, "(none)", A::kConsole, "console",
     "The console's Log File field for network servers; no server reads it."},
    {"NetServer\\Users", "(one subkey per user)", T::kEntries, "subkeys", 0, 0, "(none)",
     A::kReload, "gateway, console",
     "Each user's subkey holds \"User ID\", \"Group Name\" and \"password\" (a salted hash); "
     "gateways check START against it when ODBServer require_login is true."},
    {"NetServer\\Groups", "(one value per group)", T::kEntries, "values", 0, 0, "(none)",
     A::kConsole, "console", "Value name: the group's name; data: its group ID."},
    {"NetServer\\Nodes", "(one value per server node)", T::kEntries, "values", 0, 0, "(none)",
     A::kConsole, "console",
     "Value name: the node's server name; data: \"login/password\" the console logs in with "
     "there."},
};

// The words of a kWord row's unit, '|'-separated.
std::vector<std::string> words_of(const SettingEntry &e) {
    std::vector<std::string> out;
    std::string word;
    for (const char *p = e.unit;; ++p) {
        if (*p == '|' || *p == '\0') {
            out.push_back(word);
            word.clear();
            if (*p == '\0') break;
        } else {
            word += *p;
        }
    }
    return out;
}

std::string lower(std::string text) {
    for (char &c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// "PortServer \"spares\"", or "\"DB_ROOT\"" for the root key.
std::string value_label(const SettingEntry &e) {
    return (e.key[0] != '\0' ? std::string(e.key) + " " : std::string()) + "\"" + e.name + "\"";
}

// A decimal whole number without sign or blanks (a minus sign where the range
// allows negative numbers), at most 18 digits: no overflow. False otherwise.
bool parse_decimal(const std::string &text, bool negative_allowed, long long *out) {
    size_t i = negative_allowed && !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == i || text.size() - i > 18) return false;
    long long v = 0;
    for (size_t k = i; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') return false;
        v = v * 10 + (text[k] - '0');
    }
    *out = i == 1 ? -v : v;
    return true;
}

// The accepted values of a row, for a refusal.
std::string accepted_values(const SettingEntry &e) {
    switch (e.type) {
        case T::kSwitch:
            return "true or false (also yes/no, on/off, 1/0, in any case)";
        case T::kInteger:
            return "a whole number from " + std::to_string(e.lo) + " to " + std::to_string(e.hi) +
                   " (" + e.unit + ")";
        case T::kWord: {
            std::string out;
            const std::vector<std::string> words = words_of(e);
            for (size_t i = 0; i < words.size(); ++i)
                out += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
            return out;
        }
        case T::kPath:
            return "an absolute path";
        case T::kAddress:
            return "one numeric address such as 0.0.0.0, ::, 127.0.0.1 or ::1";
        case T::kAddressList:
            return "addresses and networks such as 192.0.2.7, 10.0.0.0/8 or 2001:db8::/32, "
                   "separated by commas or blanks";
        case T::kText:
        case T::kEntries:
            break;
    }
    return "text";
}

// The type check proper on a non-empty text: 0 with *canonical, or -1 (with
// *detail where the type can say which part is wrong).
int check_form(const SettingEntry &e, const std::string &text, std::string *canonical,
               std::string *detail) {
    switch (e.type) {
        case T::kSwitch: {
            bool on = false;
            if (parse_switch(text, &on) != 0) return -1;
            *canonical = on ? "true" : "false";
            return 0;
        }
        case T::kInteger: {
            long long v = 0;
            if (!parse_decimal(text, e.lo < 0, &v) || v < e.lo || v > e.hi) return -1;
            *canonical = std::to_string(v);
            return 0;
        }
        case T::kWord:
            for (const std::string &w : words_of(e)) {
                if (strcasecmp(w.c_str(), text.c_str()) != 0) continue;
                *canonical = lower(w);
                return 0;
            }
            return -1;
        case T::kPath:
            if (text[0] != '/') return -1;
            break;
        case T::kAddress: {
            ListenAddress a;
            if (parse_listen_address(text, &a, detail) != 0) return -1;
            break;
        }
        case T::kAddressList: {
            AllowList list;
            std::string bad;
            if (parse_allow_list(text, &list, &bad) != 0) {
                *detail = "\"" + bad + "\" is not an address or a network";
                return -1;
            }
            break;
        }
        case T::kText:
        case T::kEntries:
            break;
    }
    *canonical = text;
    return 0;
}

bool read_by_a_server(const SettingEntry &e) {
    return e.applies != A::kConsole && !e.holds_entries();
}

// The row's key as given: a row key or a full store path.
std::string row_key(const std::string &key) {
    const std::string k = normalize_key_path(key);
    const size_t root = strlen(kRootKey);
    if (strncasecmp(k.c_str(), kRootKey, root) != 0) return k;
    if (k.size() == root) return "";
    return k[root] == '\\' ? k.substr(root + 1) : k;
}

// The row of a value a server reads. A value the table lacks (a key of a
// server type it does not list) is taken as text with no default.
const SettingEntry &row(const char *key, const char *name) {
    static constexpr SettingEntry kUnlisted = {"", "(unlisted)", T::kText,    "text", 0,
                                               0,  "(none)",     A::kConsole, "all",  "(unlisted)"};
    const SettingEntry *e = find_setting(key, name);
    return e != nullptr ? *e : kUnlisted;
}

std::string reading(const SettingEntry &e, const std::string &text) {
    return setting_reading(e, text);
}

std::string stored(const ValueList &values, const char *name) {
    for (const auto &[vname, data] : values)
        if (vname == name) return data;
    return {};
}

// A Markdown table cell: "|" would end the cell.
std::string cell(const char *text) {
    std::string out;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == '|') out += '\\';
        out += *p;
    }
    return out;
}

const char *applies_text(SettingApplies a) {
    switch (a) {
        case A::kReload:
            return "reload";
        case A::kRestart:
            return "restart";
        case A::kConsole:
            break;
    }
    return "(console)";
}

void append_key_heading(const SettingEntry &e, std::string *out) {
    *out += "\n## `" + setting_key_path(e) + "`\n\n";
    *out += "| Value | Form | Default | Applied at | Read by | Meaning |\n";
    *out += "|---|---|---|---|---|---|\n";
}

void append_row(const SettingEntry &e, std::string *out) {
    const std::string name = e.holds_entries() ? cell(e.name) : "`" + cell(e.name) + "`";
    *out += "| " + name + " | " + cell(setting_form(e).c_str()) + " | " + cell(e.default_text) +
            " | " + applies_text(e.applies) + " | " + cell(e.readers) + " | " + cell(e.meaning) +
            " |\n";
}

constexpr const char *kIntroduction =
    "# Configuration reference\n"
    "\n"
    "Every setting the programs read from the configuration store (`$VNX_REGISTRY`, default\n"
    "`/etc/vnx/registry.db`), by key. All values are text. Switches take `true`/`false`,\n"
    "`yes`/`no`, `on`/`off` or `1`/`0` in any case; an empty value is the default. The servers\n"
    "find value names exactly as written here (case matters); key names match without regard\n"
    "to case. \"Applied at\": reload (the master's reload, SIGHUP, and every gateway started\n"
    "after it), restart (the master's next start), (console) (no server reads it). \"Read by\":\n"
    "master (`db_dqpserver`), gateway (`odbserver`), console (the master's console and\n"
    "`vnxadmin`), all (every program of the suite).\n"
    "\n"
    "`vnxadmin reg set` and `vnxadmin import` refuse a value outside its form. The master checks\n"
    "every value it or its gateways read at start and at reload: a value outside its form stops\n"
    "the start, or refuses the reload and keeps every setting in use. Gateways take the values\n"
    "the master last accepted.\n"
    "\n"
    "`vnxadmin settings show --all` prints each with its value in the store. This file is the\n"
    "output of `vnxadmin settings reference`; a test keeps the two equal.\n"
    "\n"
    "Two settings come from the environment instead: `VNX_REGISTRY` (the store itself) and\n"
    "`DQP_SPAWNWAIT` (seconds the master waits for a new gateway to listen, default 100).\n";

}  // namespace

std::span<const SettingEntry> settings_catalog() {
    return kCatalog;
}

std::string setting_key_path(const SettingEntry &entry) {
    return entry.key[0] == '\0' ? std::string(kRootKey) : std::string(kRootKey) + "\\" + entry.key;
}

const SettingEntry *find_setting(const std::string &key, const std::string &name) {
    const std::string k = row_key(key);
    for (const SettingEntry &e : kCatalog)
        if (strcasecmp(e.key, k.c_str()) == 0 && name == e.name) return &e;
    return nullptr;
}

const SettingEntry *find_setting_any_case(const std::string &key, const std::string &name) {
    const std::string k = row_key(key);
    for (const SettingEntry &e : kCatalog)
        if (strcasecmp(e.key, k.c_str()) == 0 && strcasecmp(name.c_str(), e.name) == 0) return &e;
    return nullptr;
}

bool setting_key_known(const std::string &key) {
    const std::string k = row_key(key);
    for (const SettingEntry &e : kCatalog)
        if (!e.holds_entries() && strcasecmp(e.key, k.c_str()) == 0) return true;
    return false;
}

std::string setting_form(const SettingEntry &e) {
    switch (e.type) {
        case T::kSwitch:
            return "true|false";
        case T::kInteger:
            return "integer " + std::to_string(e.lo) + ".." + std::to_string(e.hi) + " (" + e.unit +
                   ")";
        case T::kWord:
            return e.unit;
        case T::kPath:
            return "path";
        case T::kAddress:
            return "address";
        case T::kAddressList:
            return "address list";
        case T::kText:
        case T::kEntries:
            break;
    }
    return e.unit;
}

int parse_switch(const std::string &text, bool *on) {
    static const char *const kOn[] = {"true", "yes", "on", "1"};
    static const char *const kOff[] = {"false", "no", "off", "0"};
    for (size_t i = 0; i < std::size(kOn); ++i) {
        if (strcasecmp(text.c_str(), kOn[i]) == 0) {
            *on = true;
            return 0;
        }
        if (strcasecmp(text.c_str(), kOff[i]) == 0) {
            *on = false;
            return 0;
        }
    }
    return -1;
}

std::string setting_reading(const SettingEntry &e, const std::string &text) {
    std::string canonical, why;
    if (check_setting_text(e, text, &canonical, &why) == 0) return canonical;
    return e.when_refused != nullptr ? e.when_refused : e.default_text;
}

int check_setting_text(const SettingEntry &e, const std::string &text, std::string *canonical,
                       std::string *why) {
    std::string out, detail;
    if (text.empty()) {
        if (e.default_text[0] != '(') out = e.default_text;
    } else if (check_form(e, text, &out, &detail) != 0) {
        *why = value_label(e) + " is \"" + text + "\"" + (detail.empty() ? "" : ": " + detail) +
               "; accepted: " + accepted_values(e);
        return -1;
    }
    if (canonical != nullptr) *canonical = out;
    return 0;
}

std::string stored_values_problem(const std::string &key, const ValueList &values) {
    for (const auto &[name, data] : values) {
        const SettingEntry *e = find_setting(key, name);
        if (e == nullptr || !read_by_a_server(*e)) continue;
        std::string why;
        if (check_setting_text(*e, data, nullptr, &why) != 0) return why;
    }
    return {};
}

bool setting_switch(const char *key, const char *name) {
    bool on = false;
    (void)parse_switch(reading(row(key, name), read_server_value(key, name)), &on);
    return on;
}

long long setting_number(const char *key, const char *name) {
    return atoll(reading(row(key, name), read_server_value(key, name)).c_str());
}

std::string setting_word(const char *key, const char *name) {
    return reading(row(key, name), read_server_value(key, name));
}

bool setting_switch_in(const ValueList &values, const char *key, const char *name) {
    bool on = false;
    (void)parse_switch(reading(row(key, name), stored(values, name)), &on);
    return on;
}

long long setting_number_in(const ValueList &values, const char *key, const char *name) {
    return atoll(reading(row(key, name), stored(values, name)).c_str());
}

std::string setting_word_in(const ValueList &values, const char *key, const char *name) {
    return reading(row(key, name), stored(values, name));
}

std::string settings_reference_markdown() {
    std::string out = kIntroduction;
    const char *current = nullptr;
    for (const SettingEntry &e : kCatalog) {
        if (current == nullptr || strcasecmp(current, e.key) != 0) {
            append_key_heading(e, &out);
            current = e.key;
        }
        append_row(e, &out);
    }
    return out;
}

}  // namespace vnx
