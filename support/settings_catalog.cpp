// The settings catalog and its Markdown reference.
#include "support/settings_catalog.h"

#include <strings.h>

#include <array>

#include "support/config_store.h"

namespace vnx {

namespace {

// Each row was checked against the code that reads the value: the default is
// what that code applies when the value is absent or unusable.
constexpr SettingEntry kCatalog[] = {
    // ---- root key ----
    {"", "DB_ROOT", "path", "(none)", "all",
     "Installation directory: holds odbserver, users.db, gateways.pid, the logs, scroll-cursor "
     "spill files and VNX.reg. The master refuses to start without it; a change takes effect "
     "at the next start.",
     false},
    {"", "DB_DQPBASE", "port", "(none)", "all",
     "Base port of the port server, used when /etc/services has no db_dqpbase/tcp entry; "
     "gateways send their session notices there and dqpsh asks it for gateways. The master "
     "refuses to start without a port.",
     false},
    {"", "DB_DQPMAX", "port", "(none)", "console",
     "Upper port bound as the console sees it: its status line counts DB_DQPMAX minus "
     "DB_DQPBASE minus the live sessions as available. The port server takes its bound from "
     "the services entry db_dqpmax, else the larger of 8101 and base + 101, at most base + 200.",
     false},

    // ---- PortServer ----
    {"PortServer", "spares", "count", "1", "master",
     "odb gateways kept started and listening so that a request is answered at once (0 to 16; "
     "0 starts a gateway per request). Re-read at reload.",
     false},
    {"PortServer", "claim_timeout", "seconds", "60", "master, gateway",
     "A gateway whose client starts no session within this many seconds (1 to 86400) is "
     "ended and its port freed; a gateway also gives its client this long to finish the TLS "
     "handshake. Re-read at reload.",
     false},
    {"PortServer", "listen", "address", "0.0.0.0", "master, gateway",
     "Address the base port and every gateway listen on: 0.0.0.0 (every IPv4 address), :: "
     "(every IPv6 and IPv4 address) or one address of this host. Takes effect at the next start.",
     false},
    {"PortServer", "allow", "address list", "(empty)", "master",
     "Clients served, as addresses and CIDR networks separated by commas or blanks; empty "
     "serves everyone. A request from elsewhere is closed without an answer. Re-read at reload.",
     false},
    {"PortServer", "max_pending_per_host", "count", "8", "master",
     "Gateways one client address may hold whose session has not started (0: no limit); a "
     "request beyond it is answered -1. Re-read at reload.",
     false},
    {"PortServer", "max_per_host", "count", "0", "master",
     "Gateways one client address may hold in all, until they exit (0: no limit); a request "
     "beyond it is answered -1. Re-read at reload.",
     false},
    {"PortServer", "shutdown_grace", "seconds", "0", "master",
     "On SIGTERM, how long the master waits for live sessions to end before ending their "
     "gateways (0: end every gateway at once). Re-read at reload.",
     false},
    {"PortServer", "logging", "true|false", "false", "master, console",
     "\"true\" switches the port server's log in DB_ROOT on. Re-read at reload.", false},
    {"PortServer", "logfile", "file name", "portserver", "master, console",
     "Name of the port server's log: its base name up to the first dot, plus .log, in DB_ROOT "
     "(a numbered name when that file exists).",
     false},
    {"PortServer", "DQP_SPAWNWAIT", "count", "(none)", "console",
     "The console's Delay field. The master does not read it: its wait for a new gateway comes "
     "from the environment variable DQP_SPAWNWAIT (default 100 seconds).",
     false},
    {"PortServer", "DQP_TIMEOUT", "count", "(none)", "console",
     "The console's Timeout field (0 to 200); no server reads it.", false},
    {"PortServer", "DQP_RETRIES", "count", "(none)", "console",
     "The console's Retries field (0 to 200); no server reads it.", false},

    // ---- ODBServer ----
    {"ODBServer", "logging", "true|false", "false", "gateway",
     "\"true\" switches each gateway's log in DB_ROOT on.", false},
    {"ODBServer", "logfile", "file name", "odbserver", "gateway",
     "Name of a gateway's log: its base name up to the first dot, plus .log, in DB_ROOT (a "
     "numbered name when that file exists).",
     false},
    {"ODBServer", "log_max", "megabytes", "100", "gateway",
     "Size at which a gateway's log stops (a whole number above 0).", false},
    {"ODBServer", "autocommit", "true|false", "false", "gateway",
     "\"true\" keeps the driver's autocommit at CONNECT; otherwise the gateway switches it off "
     "so that COMMIT and ROLLBACK mean what they say.",
     false},
    {"ODBServer", "lock_timeout", "seconds", "5", "gateway",
     "How long a record write waits for a row another session holds (0 to 3600; 0 fails at "
     "once) before it answers NOK.",
     false},
    {"ODBServer", "track_activity", "true|false", "true", "gateway",
     "\"false\" stops a gateway from publishing its data source, user, state, statement and "
     "rows sent on the activity board (DB_ROOT/activity.board) that vnxadmin sessions reads. "
     "Read when the client connects.",
     false},
    {"ODBServer", "preload_drivers", "true|false", "true", "gateway",
     "\"false\" stops a waiting gateway from loading the data sources' driver libraries and "
     "resolving the master's host ahead of its client.",
     false},
    {"ODBServer", "tune_sqlite", "true|false", "true", "gateway",
     "\"false\" keeps SQLite's defaults for the SQLite ODBC driver instead of its multi-thread "
     "mode without memory statistics.",
     false},
    {"ODBServer", "keep_heap", "true|false", "true", "gateway",
     "\"false\" lets a gateway give the memory a large result freed back to the system at "
     "once, as the C library does by default; otherwise it keeps up to 128 MB of it for the "
     "next result, which then takes no page faults. Read when the gateway starts.",
     false},
    {"ODBServer", "server_side_prepare", "true|false", "false", "gateway",
     "\"true\" keeps psqlODBC's server-side prepare (one more server round per statement); "
     "otherwise PostgreSQL data sources are connected with UseServerSidePrepare=0.",
     false},
    {"ODBServer", "pool", "true|false", "false", "gateway",
     "\"true\" lets a gateway keep its PostgreSQL or MariaDB connection, reset, when its client "
     "disconnects, and serve the next plain session that names the same data source, user and "
     "password on it. A MariaDB connection is kept only when its driver's reset really clears "
     "the session (MariaDB Connector/ODBC 3.1's does not). Read at CONNECT and DISCONNECT.",
     false},
    {"ODBServer", "pool_idle", "seconds", "60", "gateway",
     "How long a gateway holds a kept connection for a new session (1 to 86400) before it "
     "disconnects and exits.",
     false},
    {"ODBServer", "pool_max", "count", "8", "gateway",
     "Most kept connections on this DB_ROOT at once (0 to 1000), exact however many gateways "
     "decide at once: each holds one of the locked files DB_ROOT/pool-slot-<n>. A gateway over "
     "the limit disconnects as without \"pool\".",
     false},
    {"ODBServer", "require_login", "true|false", "false", "gateway",
     "\"true\" makes a gateway serve nothing until START names a user of NetServer\\Users with "
     "that user's password. Read when the client connects.",
     false},

    // ---- NetServer ----
    {"NetServer", "DQP_MASTERHOST", "host name", "(written by the master)", "master, gateway",
     "Host of the master that receives the gateways' session notices; the master records its "
     "own host name at start when the value is empty.",
     false},
    {"NetServer", "dqp_protocol", "text", "(none)", "master, gateway",
     "When exactly \"decnet\", gateways send no session notices and the master ends no "
     "unclaimed gateway; any other text changes nothing.",
     false},
    {"NetServer", "tls", "off|allow|require", "off", "master, gateway",
     "TLS on the base port and every gateway port, chosen by the client's first byte: off "
     "(plain only; a TLS attempt is closed), allow (TLS or plain), require (a plain connection "
     "is closed and logged; this host's own gateways still send their session notices plain). "
     "Re-read at reload: new connections get the new setting.",
     false},
    {"NetServer", "tls_cert", "path", "(none)", "master, gateway",
     "PEM certificate (with its chain) the servers show when tls is allow or require. The "
     "master and a gateway refuse to start when it cannot be loaded; a reload that finds it "
     "changed loads it for new connections (or keeps the old one, logged, when it is broken) "
     "and replaces the idle spares.",
     false},
    {"NetServer", "tls_key", "path", "(none)", "master, gateway",
     "PEM private key of tls_cert. It must be readable by its owner alone (mode 0600 or "
     "0400): the servers refuse to start otherwise.",
     false},
    {"NetServer", "tls_ca", "path", "(none)", "master, gateway",
     "PEM CA certificates that client certificates must be signed by when tls_client_cert "
     "is require.",
     false},
    {"NetServer", "tls_client_cert", "off|require", "off", "master, gateway",
     "require: a TLS client must show a certificate signed by tls_ca, or its handshake fails.",
     false},
    {"NetServer", "tls_ciphers", "OpenSSL cipher list", "(AEAD suites)", "master, gateway",
     "TLS 1.2 suites offered, in OpenSSL's cipher list syntax. Empty: only ECDHE with AES-GCM "
     "or ChaCha20-Poly1305. A list OpenSSL finds no cipher in stops the start or the reload, "
     "naming it. TLS 1.3 keeps OpenSSL's suites.",
     false},
    {"NetServer", "DQP_SVRLOG", "path", "(none)", "gateway",
     "File of the gateway's ODBC call trace, opened at CONNECT (empty: no trace).", false},
    {"NetServer", "DQP_TCPBUF", "kilobytes", "16", "gateway",
     "Kilobytes of rows a gateway gathers into one METADATA packet before sending it (at most "
     "16; 0 sends every packet alone).",
     false},
    {"NetServer", "DB_DATE", "text", "(none)", "console",
     "The console's date format name: American, British, French, German, Italian, ANSII or "
     "Japan. The servers do not use it.",
     false},
    {"NetServer", "DB_MAXWKA", "count", "(none)", "console",
     "The console's Record Sets field (10 to 100); no server reads it.", false},
    {"NetServer", "DB_WEBROOT", "path", "(none)", "console",
     "The console's Web root field; no server reads it.", false},
    {"NetServer", "DB_CLASSDIR", "path", "(none)", "console",
     "The console's Class Directory field; no server reads it.", false},
    {"NetServer", "logging", "true|false", "false", "console",
     "The console's Logging field for network servers; no server reads it.", false},
    {"NetServer", "logfile", "file name", "(none)", "console",
     "The console's Log File field for network servers; no server reads it.", false},

    // ---- subkeys ----
    {"NetServer\\Users", "(one subkey per user)", "subkeys", "(none)", "gateway, console",
     "Each user's subkey holds \"User ID\", \"Group Name\" and \"password\" (a salted hash); "
     "gateways check START against it when ODBServer require_login is true.",
     true},
    {"NetServer\\Groups", "(one value per group)", "values", "(none)", "console",
     "Value name: the group's name; data: its group ID.", true},
    {"NetServer\\Nodes", "(one value per server node)", "values", "(none)", "console",
     "Value name: the node's server name; data: \"login/password\" the console logs in with "
     "there.",
     true},
};

// A Markdown table cell: "|" would end the cell.
std::string cell(const char *text) {
    std::string out;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == '|') out += '\\';
        out += *p;
    }
    return out;
}

void append_key_heading(const SettingEntry &e, std::string *out) {
    *out += "\n## `" + setting_key_path(e) + "`\n\n";
    *out += "| Value | Form | Default | Read by | Meaning |\n";
    *out += "|---|---|---|---|---|\n";
}

void append_row(const SettingEntry &e, std::string *out) {
    const std::string name = e.holds_entries ? cell(e.name) : "`" + cell(e.name) + "`";
    *out += "| " + name + " | " + cell(e.form) + " | " + cell(e.default_text) + " | " +
            cell(e.readers) + " | " + cell(e.meaning) + " |\n";
}

constexpr const char *kIntroduction =
    "# Configuration reference\n"
    "\n"
    "Every setting the programs read from the configuration store (`$VNX_REGISTRY`, default\n"
    "`/etc/vnx/registry.db`), by key. All values are text; switches are the words `true` and\n"
    "`false`. The servers find value names exactly as written here (case matters); key names\n"
    "match without regard to case. \"Read by\": master (`db_dqpserver`), gateway (`odbserver`),\n"
    "console (the master's console and `vnxadmin`), all (every program of the suite).\n"
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
    for (const SettingEntry &e : kCatalog)
        if (strcasecmp(e.key, key.c_str()) == 0 && name == e.name) return &e;
    return nullptr;
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
