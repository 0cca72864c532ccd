// dqpsh's backslash commands: one table of {name, handler, usage, help}.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "client/port_query.h"
#include "client/result_format.h"
#include "client/sql_script.h"
#include "programs/dqpsh/shell.h"
#include "protocol/packet.h"

namespace dqpsh {

namespace {

using Command = int (*)(Shell &, const Words &);

struct Entry {
    const char *name;
    Command fn;
    size_t min_words;  // the command's own word included
    const char *usage;
    const char *help;
};

std::string upper(std::string s) {
    for (char &c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// A record number or count typed by the user.
int number_word(const std::string &w, int32_t *out) {
    if (dqp::parse_decimal(w, out) == 0) return 0;
    fprintf(stderr, "dqpsh: \"%s\" is not a number\n", w.c_str());
    return -1;
}

int failed(Shell &sh, const char *what) {
    report_failure(sh, what);
    return -1;
}

// Quotes a table name for SQL unless it is a plain (possibly qualified) name.
std::string sql_name(const std::string &name) {
    bool plain = !name.empty() && !isdigit(static_cast<unsigned char>(name[0]));
    for (char c : name)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.') plain = false;
    if (plain) return name;
    std::string q = "\"";
    for (char c : name) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

const char *type_name(char t) {
    switch (t) {
        case 'C':
            return "character";
        case 'N':
            return "numeric";
        case 'D':
            return "date";
        case 'L':
            return "logical";
        case 'M':
            return "memo";
        case 'T':
            return "long text";
        default:
            return "other";
    }
}

dqp::FieldDesc heading(const char *name, char type) {
    dqp::FieldDesc f;
    f.name = name;
    f.type = type;
    return f;
}

void print_reply(const dqp::Reply &r) {
    const char *name = dqp::packet_type_name(r.type);
    printf("%s info=%d", name != nullptr ? name + 9 : "?", r.info);
    for (const std::string &a : r.args)
        printf(" [%s]", dqp::display_value(a, 'C').c_str());
    printf("\n");
}

// --- tables and fields -----------------------------------------------------

int list_tables(Shell &sh) {
    dqp::ResultPrinter printer(write_out, sh.print);
    int rc = sh.sql->tablelist(
        "DQPSH_TABLES", [&](const std::vector<dqp::FieldDesc> &f) { return printer.on_header(f); },
        [&](dqp::Row &&row) { return printer.on_row(std::move(row)); });
    if (rc != 0) return failed(sh, "TABLELIST");
    printer.finish();
    return 0;
}

int describe_table(Shell &sh, const std::string &table) {
    dqp::ExecResult res;
    if (sh.sql->execsql("SELECT * FROM " + sql_name(table) + " WHERE 1=0", &res) != 0)
        return failed(sh, "EXECSQL");
    if (!res.has_cursor) {
        fprintf(stderr, "dqpsh: \"%s\" gave no columns\n", table.c_str());
        return -1;
    }
    std::vector<dqp::FieldDesc> fields;
    int rc = sh.sql->fieldlist(res.cursor, &fields);
    if (rc != 0) failed(sh, "FIELDLIST");
    if (sh.sql != nullptr && sh.sql->usable()) sh.sql->undeclare(res.cursor);
    if (rc != 0) return -1;
    dqp::ResultPrinter printer(write_out, sh.print);
    printer.set_fields({heading("Column", 'C'), heading("Type", 'C'), heading("Width", 'N'),
                        heading("Decimals", 'N'), heading("Read-only", 'C')});
    for (const dqp::FieldDesc &f : fields)
        printer.on_row({f.name, type_name(f.type), std::to_string(f.width),
                        std::to_string(f.decimals), f.readonly == 1 ? "yes" : "no"});
    printer.finish();
    return 0;
}

int cmd_describe(Shell &sh, const Words &w) {
    if (need_session(sh) != 0) return -1;
    return w.size() > 1 ? describe_table(sh, w[1]) : list_tables(sh);
}

// \dt: the tables alone (TABLELIST lists views and system tables too), as
// psql shows them.
int cmd_tables(Shell &sh, const Words &) {
    if (need_session(sh) != 0) return -1;
    std::vector<dqp::TableInfo> tables;
    if (sh.sql->tablelist("DQPSH_TABLES", &tables) != 0) return failed(sh, "TABLELIST");
    dqp::ResultPrinter printer(write_out, sh.print);
    printer.set_fields({heading("Schema", 'C'), heading("Name", 'C'), heading("Type", 'C')});
    for (const dqp::TableInfo &t : tables)
        if (upper(t.type) == "TABLE") printer.on_row({t.owner, t.name, "table"});
    printer.finish();
    return 0;
}

// --- data sources --------------------------------------------------------

// One odbc.ini file's data sources: every section but the driver manager's
// own, with its Driver and Description.
void read_dsns(const std::string &path, std::vector<dqp::Row> *rows) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        line = dqp::trim(line);
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            std::string name = line.substr(1, line.size() - 2);
            std::string u = upper(name);
            if (u != "ODBC" && u != "ODBC DATA SOURCES") rows->push_back({name, "", "", path});
            continue;
        }
        size_t eq = line.find('=');
        if (rows->empty() || eq == std::string::npos || rows->back()[3] != path) continue;
        std::string key = upper(dqp::trim(line.substr(0, eq)));
        if (key == "DRIVER") rows->back()[1] = dqp::trim(line.substr(eq + 1));
        if (key == "DESCRIPTION") rows->back()[2] = dqp::trim(line.substr(eq + 1));
    }
}

// \l: the protocol has no request that lists data sources, so the shell reads
// the odbc.ini files unixODBC would read here ($ODBCINI or ~/.odbc.ini, and
// $ODBCSYSINI/odbc.ini or /etc/odbc.ini). They are the gateway's when the
// master runs on this machine with the same environment (as the README sets
// it up); the listing names the files it read.
int cmd_list_dsns(Shell &sh, const Words &) {
    const char *ini = getenv("ODBCINI"), *sys = getenv("ODBCSYSINI"), *home = getenv("HOME");
    std::vector<std::string> files;
    if (ini != nullptr && *ini != '\0')
        files.push_back(ini);
    else if (home != nullptr)
        files.push_back(std::string(home) + "/.odbc.ini");
    files.push_back(sys != nullptr && *sys != '\0' ? std::string(sys) + "/odbc.ini"
                                                   : std::string("/etc/odbc.ini"));
    if (files.size() == 2 && files[0] == files[1]) files.pop_back();
    std::vector<dqp::Row> rows;
    for (const std::string &f : files)
        read_dsns(f, &rows);
    dqp::ResultPrinter printer(write_out, sh.print);
    printer.set_fields({heading("Name", 'C'), heading("Driver", 'C'), heading("Description", 'C'),
                        heading("File", 'C')});
    for (dqp::Row &r : rows)
        printer.on_row(std::move(r));
    printer.finish();
    return 0;
}

int cmd_conninfo(Shell &sh, const Words &) {
    if (sh.sql == nullptr || !sh.sql->connected()) {
        printf("You are not connected to a data source.\n");
        return 0;
    }
    printf("You are connected to data source \"%s\" as user \"%s\".\n", sh.opt.dsn.c_str(),
           sh.opt.user.c_str());
    printf("  host:         %s\n", sh.opt.host.c_str());
    if (sh.opt.direct_port == 0)
        printf("  base port:    %d\n", sh.opt.base_port);
    else
        printf("  base port:    (none: gateway port given with --gateway-port)\n");
    printf("  gateway port: %d\n", sh.gateway_port);
    if (sh.gateway != nullptr && sh.gateway->encrypted())
        printf("  encrypted:    yes (protocol %s, cipher %s)\n", sh.gateway->tls_protocol().c_str(),
               sh.gateway->tls_cipher().c_str());
    else
        printf("  encrypted:    no\n");
    return 0;
}

// --- output ----------------------------------------------------------------

// "on", "off" or nothing (toggle) for a switch; 0, or -1 after a message.
int switch_word(const Words &w, size_t i, bool *value, const char *what) {
    if (w.size() <= i) {
        *value = !*value;
        return 0;
    }
    if (w[i] == "on" || w[i] == "off") {
        *value = w[i] == "on";
        return 0;
    }
    fprintf(stderr, "dqpsh: \\%s takes on or off\n", what);
    return -1;
}

int cmd_expanded(Shell &sh, const Words &w) {
    if (switch_word(w, 1, &sh.print.expanded, "x") != 0) return -1;
    printf("Expanded display is %s.\n", sh.print.expanded ? "on" : "off");
    return 0;
}

int cmd_tuples(Shell &sh, const Words &w) {
    if (switch_word(w, 1, &sh.print.tuples_only, "t") != 0) return -1;
    printf("Tuples only is %s.\n", sh.print.tuples_only ? "on" : "off");
    return 0;
}

int cmd_align(Shell &sh, const Words &) {
    bool aligned = sh.print.format != dqp::OutputFormat::aligned;
    sh.print.format = aligned ? dqp::OutputFormat::aligned : dqp::OutputFormat::unaligned;
    printf("Output format is %s.\n", aligned ? "aligned" : "unaligned");
    return 0;
}

int cmd_pset(Shell &sh, const Words &w) {
    const std::string &what = w[1];
    if (what == "null") {
        sh.print.null_text = w.size() > 2 ? w[2] : "";
        printf("Null display is \"%s\".\n", sh.print.null_text.c_str());
        return 0;
    }
    if (what == "fieldsep" && w.size() > 2) {
        sh.print.field_sep = w[2];
        printf("Field separator is \"%s\".\n", w[2].c_str());
        return 0;
    }
    if (what == "format" && w.size() > 2) {
        if (w[2] == "aligned")
            sh.print.format = dqp::OutputFormat::aligned;
        else if (w[2] == "unaligned")
            sh.print.format = dqp::OutputFormat::unaligned;
        else if (w[2] == "csv")
            sh.print.format = dqp::OutputFormat::csv;
        else {
            fprintf(stderr, "dqpsh: \\pset: allowed formats are aligned, unaligned, csv\n");
            return -1;
        }
        printf("Output format is %s.\n", w[2].c_str());
        return 0;
    }
    if (what == "expanded" || what == "x") return cmd_expanded(sh, Words(w.begin() + 1, w.end()));
    if (what == "tuples_only" || what == "t") return cmd_tuples(sh, Words(w.begin() + 1, w.end()));
    fprintf(stderr,
            "dqpsh: \\pset: unknown option \"%s\"\n"
            "hint: null TEXT, format aligned|unaligned|csv, fieldsep SEP, expanded, "
            "tuples_only\n",
            what.c_str());
    return -1;
}

// The descriptor standard output had before \o sent it to a file; -1 while
// it has its own.
int g_saved_stdout = -1;

// \o FILE sends what would go to standard output (results and command
// answers) to FILE, created or emptied; \o alone sends it back.
int cmd_output(Shell &, const Words &w) {
    fflush(stdout);
    if (w.size() < 2) {
        if (g_saved_stdout >= 0) {
            dup2(g_saved_stdout, 1);
            close(g_saved_stdout);
            g_saved_stdout = -1;
        }
        return 0;
    }
    if (!w[1].empty() && w[1][0] == '|') {
        fprintf(stderr, "dqpsh: \\o does not run commands\n");
        return -1;
    }
    int fd = open(w[1].c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        fprintf(stderr, "dqpsh: could not open \"%s\"\ndetail: %s\n", w[1].c_str(),
                strerror(errno));
        return -1;
    }
    if (g_saved_stdout < 0) g_saved_stdout = fcntl(1, F_DUPFD_CLOEXEC, 3);
    dup2(fd, 1);
    close(fd);
    return 0;
}

int cmd_include(Shell &sh, const Words &w) {
    // A file that went on after its errors did its job; one that could not
    // be read, or that ON_ERROR_STOP stopped, fails the command.
    return run_file(sh, w[1]) == 0 ? 0 : -1;
}

// --- session and shell -----------------------------------------------------

int cmd_quit(Shell &sh, const Words &) {
    sh.quit = true;
    return 0;
}

int cmd_timing(Shell &sh, const Words &w) {
    if (w.size() > 1 && w[1] != "on" && w[1] != "off") {
        fprintf(stderr, "dqpsh: \\timing takes on or off\n");
        return -1;
    }
    sh.timing = w.size() > 1 ? w[1] == "on" : !sh.timing;
    printf("Timing is %s.\n", sh.timing ? "on" : "off");
    return 0;
}

int cmd_connect(Shell &sh, const Words &w) {
    if (sh.sql != nullptr && sh.sql->connected() && sh.sql->disconnect() != 0)
        failed(sh, "DISCONNECT");
    sh.opt.dsn = w[1];
    if (w.size() > 2 && w[2] != sh.opt.user) {
        sh.opt.user = w[2];
        sh.have_password = false;
    }
    if (need_session(sh) != 0) return -1;
    printf("Connected to data source \"%s\" as user \"%s\".\n", sh.opt.dsn.c_str(),
           sh.opt.user.c_str());
    return 0;
}

int cmd_disconnect(Shell &sh, const Words &) {
    if (sh.sql == nullptr || !sh.sql->connected()) return 0;
    return sh.sql->disconnect() == 0 ? 0 : failed(sh, "DISCONNECT");
}

int cmd_active(Shell &sh, const Words &) {
    std::string answer, err;
    if (dqp::text_query(sh.opt.host, sh.opt.base_port, "Active", &answer, &err) != 0) {
        fprintf(stderr, "dqpsh: %s\n", err.c_str());
        return -1;
    }
    printf("%s\n", answer.c_str());
    return 0;
}

int cmd_sessions(Shell &sh, const Words &) {
    std::vector<std::string> lines;
    std::string err;
    if (dqp::list_sessions(sh.opt.host, sh.opt.base_port, &lines, &err) != 0) {
        fprintf(stderr, "dqpsh: %s\n", err.c_str());
        return -1;
    }
    for (const std::string &l : lines)
        printf("%s\n", l.c_str());
    printf("(%zu session%s)\n", lines.size(), lines.size() == 1 ? "" : "s");
    return 0;
}

int cmd_start(Shell &sh, const Words &w) {
    if (w.size() > 1) sh.opt.user = w[1];
    if (need_gateway(sh) != 0) return -1;
    int32_t pid = 0;
    if (sh.sql->start(sh.opt.user, w.size() > 2 ? w[2] : "", &pid) != 0) return failed(sh, "START");
    sh.started = true;
    printf("OK info=%d\n", pid);
    return 0;
}

int cmd_stop(Shell &sh, const Words &) {
    if (sh.gateway == nullptr) return 0;
    end_session(sh);
    return 0;
}

// Sends any request and prints the replies it draws as they are.
int raw_request(Shell &sh, int type, int32_t info, const Words &args) {
    if (need_gateway(sh) != 0) return -1;
    std::vector<std::string_view> views(args.begin(), args.end());
    dqp::Connection &c = *sh.gateway;
    // A raw request may leave cursors the typed calls do not know of.
    if (sh.sql != nullptr) sh.sql->untrack_cursors();
    if (c.send(type, info, views) != 0) {
        fprintf(stderr, "dqpsh: %s\n", c.error().c_str());
        return -1;
    }
    if (type == dqp::PKT_TYPE_STOP || type == dqp::PKT_TYPE_ABORT) {
        drop_gateway(sh);  // the gateway ends without a reply: forget it
        return 0;
    }
    if (type == dqp::PKT_TYPE_LOGGING) return 0;
    bool many = type == dqp::PKT_TYPE_FETCHMANY || type == dqp::PKT_TYPE_TABLELIST ||
                type == dqp::PKT_TYPE_MEMO;
    std::vector<dqp::Reply> replies;
    dqp::Reply one;
    int rc = many ? c.receive_result(&replies) : c.receive(&one);
    if (!many && rc == 0) replies.push_back(one);
    for (const dqp::Reply &r : replies)
        print_reply(r);
    if (rc != 0) {
        fprintf(stderr, "dqpsh: %s\n", c.error().c_str());
        drop_gateway(sh);
        return -1;
    }
    return !replies.empty() && replies.back().type == dqp::PKT_TYPE_NOK ? -1 : 0;
}

int cmd_raw(Shell &sh, const Words &w) {
    if (w[1].size() != 1) {
        fprintf(stderr, "dqpsh: the request type is one character\n");
        return -1;
    }
    int32_t info = sh.sql != nullptr ? sh.sql->handle() : 0;
    return raw_request(sh, w[1][0], info, Words(w.begin() + 2, w.end()));
}

// The old request shell's form: send TYPE [INFO [ARG...]].
int cmd_send(Shell &sh, const Words &w) {
    int32_t info = 0;
    if (w[1].size() != 1 || (w.size() > 2 && number_word(w[2], &info) != 0)) {
        fprintf(stderr, "dqpsh: usage: \\send TYPE [INFO [ARG...]]\n");
        return -1;
    }
    return raw_request(sh, w[1][0], info, Words(w.size() > 3 ? w.begin() + 3 : w.end(), w.end()));
}

int cmd_help(Shell &, const Words &);

int cmd_set(Shell &sh, const Words &w) {
    if (w.size() == 1) {
        for (const auto &[name, value] : sh.vars)
            printf("%s = '%s'\n", name.c_str(), value.c_str());
        return 0;
    }
    std::string value;
    for (size_t i = 2; i < w.size(); i++)
        value += w[i];  // psql joins the remaining words
    return set_variable(sh, w[1], value);
}

int cmd_unset(Shell &sh, const Words &w) {
    if (w[1] == "AUTOCOMMIT") return set_variable(sh, w[1], "on");
    sh.vars.erase(w[1]);
    return 0;
}

// --- cursors -----------------------------------------------------------------

// The text of the command line after its first n words, as typed (quotes
// kept): the statement of \declare.
std::string raw_rest(const std::string &line, int n) {
    size_t pos = line.find_first_not_of(" \t");
    for (int i = 0; i < n && pos != std::string::npos; i++) {
        pos = line.find_first_of(" \t", pos);
        if (pos != std::string::npos) pos = line.find_first_not_of(" \t", pos);
    }
    return pos == std::string::npos ? std::string() : dqp::trim(line.substr(pos));
}

int cmd_declare(Shell &sh, const Words &w) {
    if (need_session(sh) != 0) return -1;
    if (sh.sql->declare(w[1], raw_rest(sh.line, 2)) != 0) return failed(sh, "DECLARE");
    printf("OK\n");
    return 0;
}

int cmd_open(Shell &sh, const Words &w) {
    if (need_session(sh) != 0) return -1;
    int32_t rows = 0;
    if (sh.sql->open(w[1], &rows) != 0) return failed(sh, "OPEN");
    printf("%d row%s\n", rows, rows == 1 ? "" : "s");
    return 0;
}

// Scroll words of \fetch and whether they take a row offset.
struct ScrollWord {
    const char *word;
    dqp::Scroll how;
    bool offset;
};
constexpr ScrollWord kScrollWords[] = {
    {"NEXT", dqp::Scroll::next, false},        {"FIRST", dqp::Scroll::first, false},
    {"LAST", dqp::Scroll::last, false},        {"PRIOR", dqp::Scroll::prior, false},
    {"ABSOLUTE", dqp::Scroll::absolute, true}, {"RELATIVE", dqp::Scroll::relative, true},
};

int cmd_fetch(Shell &sh, const Words &w) {
    const ScrollWord *how = nullptr;
    int32_t offset = 0;
    if (w.size() > 2) {
        for (const ScrollWord &s : kScrollWords)
            if (upper(w[2]) == s.word) how = &s;
        if (how == nullptr || how->offset != (w.size() > 3) ||
            (how->offset && number_word(w[3], &offset) != 0)) {
            fprintf(stderr,
                    "dqpsh: usage: \\fetch CURSOR [NEXT|FIRST|LAST|PRIOR|ABSOLUTE N|"
                    "RELATIVE N]\n");
            return -1;
        }
    }
    if (need_session(sh) != 0) return -1;
    dqp::Record rec;
    bool end = false;
    int rc = how == nullptr ? sh.sql->fetch(w[1], &rec, &end)
                            : sh.sql->extended_fetch(w[1], how->how, offset, &rec, &end);
    if (rc != 0) return failed(sh, "FETCH");
    write_out(end ? std::string("(no row)\n") : dqp::format_record(rec));
    return 0;
}

int cmd_close(Shell &sh, const Words &w) {
    if (need_session(sh) != 0) return -1;
    bool drop = w[0] == "undeclare";
    if ((drop ? sh.sql->undeclare(w[1]) : sh.sql->close(w[1])) != 0)
        return failed(sh, drop ? "UNDECLARE" : "CLOSE");
    return 0;
}

// --- records -----------------------------------------------------------------

AliasInfo *known_alias(Shell &sh, const std::string &alias) {
    auto it = sh.aliases.find(upper(alias));
    if (it != sh.aliases.end()) return &it->second;
    fprintf(stderr, "dqpsh: no table is open as \"%s\"\nhint: open one with \\use TABLE %s\n",
            alias.c_str(), alias.c_str());
    return nullptr;
}

int cmd_use(Shell &sh, const Words &w) {
    if (need_session(sh) != 0) return -1;
    dqp::UseOptions opt;
    if (w.size() > 3) opt.filter = w[3];
    if (w.size() > 4) opt.order = w[4];
    int32_t n = 0;
    if (sh.rec->use(w[1], w[2], opt, &n) != 0) return failed(sh, "USE");
    sh.aliases[upper(w[2])] = AliasInfo{w[1], {}};
    printf("%d record%s\n", n, n == 1 ? "" : "s");
    return 0;
}

int cmd_unuse(Shell &sh, const Words &w) {
    if (need_session(sh) != 0) return -1;
    if (sh.rec->unuse(w[1]) != 0) return failed(sh, "UNUSE");
    sh.aliases.erase(upper(w[1]));
    return 0;
}

int cmd_zap(Shell &sh, const Words &w) {
    if (need_session(sh) != 0) return -1;
    AliasInfo *a = known_alias(sh, w[1]);
    if (a == nullptr) return -1;
    if (sh.rec->zap(w[1], a->table, w.size() > 2 ? w[2] : "") != 0) return failed(sh, "ZAP");
    return 0;
}

int cmd_count(Shell &sh, const Words &w) {
    if (need_session(sh) != 0) return -1;
    int32_t n = 0;
    if (sh.rec->count(w[1], &n) != 0) return failed(sh, "COUNT");
    printf("%d\n", n);
    return 0;
}

// A record number outside a \use alias is refused before the data source is
// asked, so MAPERROR would repeat an earlier failure's text: COUNT tells that
// case apart and the message says so.
int record_failed(Shell &sh, const std::string &alias, int32_t n, const char *what) {
    if (sh.sql->failure() != dqp::Failure::refused || !sh.sql->usable() ||
        sh.aliases.count(upper(alias)) == 0)
        return failed(sh, what);
    dqp::Reply nok;
    nok.type = dqp::PKT_TYPE_NOK;
    nok.info = sh.sql->last_status();
    int32_t count = 0;
    if (sh.rec->count(alias, &count) != 0) return failed(sh, "COUNT");
    if (n >= 1 && n <= count) {
        // The data source refused it: its reason is still the one MAPERROR gives.
        sh.sql->refuse(nok, what);
        return failed(sh, what);
    }
    if (count == 0)
        fprintf(stderr, "dqpsh: \"%s\" has no records\n", alias.c_str());
    else
        fprintf(stderr, "dqpsh: \"%s\" has no record %d (records 1 to %d)\n", alias.c_str(), n,
                count);
    return -1;
}

// Reads record n; remembers the alias's fields for \find and \update.
int read_record(Shell &sh, const std::string &alias, int32_t n, bool lock, dqp::Record *rec) {
    bool end = false;
    if (sh.rec->read(alias, n, lock, rec, &end) != 0) return record_failed(sh, alias, n, "READ");
    if (end) {
        fprintf(stderr, "dqpsh: record %d of \"%s\" is not there\n", n, alias.c_str());
        return -1;
    }
    auto it = sh.aliases.find(upper(alias));
    if (it != sh.aliases.end()) it->second.fields = rec->fields;
    return 0;
}

// The gateway sends a long text column's value as a placeholder ("Bitmap
// image", empty when null): the form says how to read the text instead.
void show_long_texts(const std::string &alias, dqp::Record *rec) {
    for (size_t i = 0; i < rec->fields.size() && i < rec->values.size(); i++)
        if (rec->fields[i].type == 'M' && !rec->values[i].empty())
            rec->values[i] = "(long text: \\memo " + alias + " " + std::to_string(i) + ")";
}

int cmd_read(Shell &sh, const Words &w) {
    int32_t n = 0;
    if (number_word(w[2], &n) != 0 || need_session(sh) != 0) return -1;
    // READ needs a table opened with \use (a declared cursor has \fetch).
    if (known_alias(sh, w[1]) == nullptr) return -1;
    dqp::Record rec;
    if (read_record(sh, w[1], n, w.size() > 3 && upper(w[3]) == "LOCK", &rec) != 0) return -1;
    show_long_texts(w[1], &rec);
    write_out(dqp::format_record(rec));
    return 0;
}

int cmd_find(Shell &sh, const Words &w) {
    if (need_session(sh) != 0) return -1;
    AliasInfo *a = known_alias(sh, w[1]);
    if (a == nullptr) return -1;
    dqp::FindOptions opt;
    for (size_t i = 4; i < w.size(); i++) {
        std::string flag = upper(w[i]);
        if (flag != "EXACT" && flag != "LOCK") {
            fprintf(stderr, "dqpsh: \\find takes EXACT or LOCK, not \"%s\"\n", w[i].c_str());
            return -1;
        }
        (flag == "EXACT" ? opt.exact : opt.lock) = true;
    }
    for (const dqp::FieldDesc &f : a->fields)
        if (upper(f.name) == upper(w[2])) opt.type = f.type;
    int32_t n = 0;
    if (sh.rec->find(w[1], a->table, w[2], w[3], opt, &n) != 0) return failed(sh, "FIND");
    printf("record %d\n", n);
    return 0;
}

int cmd_insert(Shell &sh, const Words &w) {
    if (need_session(sh) != 0) return -1;
    // The gateway leaves long text columns out of a new row: a value for one
    // is refused rather than lost (the columns are known once a record of
    // the alias was read).
    auto it = sh.aliases.find(upper(w[1]));
    for (size_t i = 2; it != sh.aliases.end() && i < w.size(); i++) {
        const std::vector<dqp::FieldDesc> &f = it->second.fields;
        if (i - 2 < f.size() && f[i - 2].type == 'M' && !w[i].empty()) {
            fprintf(stderr, "dqpsh: \"%s\" is a long text column: \\insert cannot store it\n",
                    f[i - 2].name.c_str());
            return -1;
        }
    }
    int32_t n = 0;
    if (sh.rec->insert(w[1], Words(w.begin() + 2, w.end()), &n) != 0) return failed(sh, "INSERT");
    printf("record %d\n", n);
    return 0;
}

// Applies COL=VALUE words to a record's values; the count of leading values
// to send (up to the last column changed), or -1.
int apply_assignments(const Words &w, size_t first, dqp::Record *rec) {
    size_t send = 0;
    for (size_t i = first; i < w.size(); i++) {
        size_t eq = w[i].find('=');
        size_t col = rec->fields.size();
        for (size_t c = 0; eq != std::string::npos && c < rec->fields.size(); c++)
            if (upper(rec->fields[c].name) == upper(w[i].substr(0, eq))) col = c;
        if (col == rec->fields.size()) {
            fprintf(stderr, "dqpsh: \"%s\" names no column of the record\n", w[i].c_str());
            return -1;
        }
        // The gateway leaves long text columns out of an UPDATE and would
        // still answer OK: refused here rather than reported as done.
        if (rec->fields[col].type == 'M') {
            fprintf(stderr, "dqpsh: \"%s\" is a long text column: \\update cannot change it\n",
                    rec->fields[col].name.c_str());
            return -1;
        }
        std::string v = w[i].substr(eq + 1);
        // Numbers travel right-aligned in their width; keep the user's text.
        rec->values[col] = v;
        send = std::max(send, col + 1);
    }
    for (size_t c = 0; c < send; c++)
        if (rec->fields[c].type == 'N') rec->values[c] = dqp::trim(rec->values[c]);
    return static_cast<int>(send);
}

int cmd_update(Shell &sh, const Words &w) {
    int32_t n = 0;
    if (number_word(w[2], &n) != 0 || need_session(sh) != 0) return -1;
    dqp::Record rec;
    if (read_record(sh, w[1], n, false, &rec) != 0) return -1;
    int count = apply_assignments(w, 3, &rec);
    if (count < 0) return -1;
    rec.values.resize(static_cast<size_t>(count));
    if (sh.rec->update(w[1], n, rec.values) != 0) return record_failed(sh, w[1], n, "UPDATE");
    printf("OK\n");
    return 0;
}

int cmd_delete(Shell &sh, const Words &w) {
    int32_t n = 0;
    if (number_word(w[2], &n) != 0 || need_session(sh) != 0) return -1;
    if (sh.rec->remove(w[1], n) != 0) return record_failed(sh, w[1], n, "DELETE");
    printf("OK\n");
    return 0;
}

int cmd_lock(Shell &sh, const Words &w) {
    int32_t n = 0;
    if (number_word(w[2], &n) != 0 || need_session(sh) != 0) return -1;
    if (sh.rec->lock(w[1], n) != 0) return record_failed(sh, w[1], n, "LOCK");
    printf("locked\n");
    return 0;
}

// The gateway answers OK for a free record and refuses one that another
// session holds, with the data source's reason.
int cmd_islocked(Shell &sh, const Words &w) {
    int32_t n = 0, answer = 0;
    if (number_word(w[2], &n) != 0 || need_session(sh) != 0) return -1;
    if (sh.rec->islocked(w[1], n, &answer) != 0) return record_failed(sh, w[1], n, "ISLOCKED");
    printf("not locked\n");
    return 0;
}

int cmd_unlock(Shell &sh, const Words &w) {
    if (need_session(sh) != 0) return -1;
    if (sh.rec->unlock(w[1]) != 0) return failed(sh, "UNLOCK");
    printf("OK\n");
    return 0;
}

int cmd_memo(Shell &sh, const Words &w) {
    int32_t col = 0;
    if (number_word(w[2], &col) != 0 || need_session(sh) != 0) return -1;
    int rc = sh.rec->memo(w[1], col, [](std::string_view chunk, bool) {
        std::string shown(chunk);
        for (char &c : shown)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') || c == 0x7F)
                c = '?';
        write_out(shown);
        return 0;
    });
    if (rc != 0) return failed(sh, "MEMO");
    printf("\n");
    return 0;
}

// --- scripting ---------------------------------------------------------------

// \echo [-n] WORD...: the words (quotes and variables resolved) joined by
// one blank.
int cmd_echo(Shell &, const Words &w) {
    size_t first = w.size() > 1 && w[1] == "-n" ? 2 : 1;
    std::string out;
    for (size_t i = first; i < w.size(); i++)
        out += (i > first ? " " : "") + w[i];
    if (first == 1) out += '\n';
    write_out(out);
    return 0;
}

// The statement \g, \gset and \watch run: the one typed before the command,
// else the last one sent.
int buffered_statement(Shell &sh, const char *what, std::string *statement) {
    *statement = sh.query_buffer.empty() ? sh.last_query : sh.query_buffer;
    sh.query_buffer.clear();
    if (!statement->empty()) return 0;
    fprintf(stderr, "dqpsh: \\%s: the query buffer is empty\n", what);
    return -1;
}

// \g [FILE]: runs the statement; its result goes to FILE when one is named.
int cmd_g(Shell &sh, const Words &w) {
    std::string statement;
    if (buffered_statement(sh, "g", &statement) != 0) return -1;
    if (w.size() < 2) return run_sql(sh, statement);
    int fd = open(w[1].c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        fprintf(stderr, "dqpsh: could not open \"%s\"\ndetail: %s\n", w[1].c_str(),
                strerror(errno));
        return -1;
    }
    fflush(stdout);
    int saved = fcntl(1, F_DUPFD_CLOEXEC, 3);
    dup2(fd, 1);
    close(fd);
    int rc = run_sql(sh, statement);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return rc;
}

bool valid_variable_name(const std::string &name) {
    if (name.empty()) return false;
    for (char c : name)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && (c & 0x80) == 0) return false;
    return true;
}

// \gset [PREFIX]: runs the statement, which must give one row, and sets a
// variable per column (PREFIX + its name) to the value; NULL unsets it.
int cmd_gset(Shell &sh, const Words &w) {
    std::string statement;
    if (buffered_statement(sh, "gset", &statement) != 0) return -1;
    std::vector<dqp::FieldDesc> fields;
    std::vector<dqp::Row> rows;
    bool has_result = false;
    if (run_sql_rows(sh, statement, &fields, &rows, &has_result) != 0) return -1;
    if (rows.size() != 1) {
        fprintf(stderr, "dqpsh: %s returned for \\gset\n",
                rows.empty() ? "no rows" : "more than one row");
        return -1;
    }
    std::string prefix = w.size() > 1 ? w[1] : "";
    int rc = 0;
    for (size_t i = 0; i < fields.size() && i < rows[0].size(); i++) {
        std::string name = prefix + fields[i].name;
        if (!valid_variable_name(name)) {
            fprintf(stderr, "dqpsh: invalid variable name: \"%s\"\n", name.c_str());
            rc = -1;
            continue;
        }
        const std::string &v = rows[0][i];
        if (v.empty() && dqp::empty_is_null(fields[i].type)) {
            sh.vars.erase(name);
            continue;
        }
        std::string value;
        dqp::append_value(&value, v, fields[i].type, false);
        if (set_variable(sh, name, value) != 0) rc = -1;
    }
    return rc;
}

// psql's \watch header: the local time and the interval.
void watch_header(double interval) {
    char when[64] = "";
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    strftime(when, sizeof when, "%a %b %e %H:%M:%S %Y", &local);
    printf("%s (every %gs)\n\n", when, interval);
}

// Waits the interval in short steps; false when Ctrl-C came.
bool watch_wait(double seconds) {
    for (double left = seconds; left > 0 && !interrupted(); left -= 0.05) {
        timespec step{0, static_cast<long>(std::min(left, 0.05) * 1e9)};
        nanosleep(&step, nullptr);
    }
    return !interrupted();
}

// \watch [SECONDS] [i=SECONDS] [c=TIMES]: runs the statement again and
// again until Ctrl-C, an error, or TIMES runs.
int cmd_watch(Shell &sh, const Words &w) {
    double interval = 2;
    long times = 0;  // 0: until stopped
    for (size_t i = 1; i < w.size(); i++) {
        std::string word = w[i];
        size_t eq = word.find('=');
        std::string key = eq == std::string::npos ? "i" : word.substr(0, eq);
        std::string value = eq == std::string::npos ? word : word.substr(eq + 1);
        char *end = nullptr;
        double v = strtod(value.c_str(), &end);
        bool is_interval = key == "i" || key == "interval", is_count = key == "c" || key == "count";
        if (value.empty() || *end != '\0' || v < 0 || (!is_interval && !is_count) ||
            (is_count && (v < 1 || v != static_cast<double>(static_cast<long>(v))))) {
            fprintf(stderr,
                    "dqpsh: \\watch: bad argument \"%s\"\n"
                    "hint: \\watch [SECONDS] [c=TIMES]\n",
                    word.c_str());
            return -1;
        }
        if (is_interval)
            interval = v;
        else
            times = static_cast<long>(v);
    }
    std::string statement;
    if (buffered_statement(sh, "watch", &statement) != 0) return -1;
    // Ctrl-C ends the watch (and cancels a statement that runs), also when
    // the commands do not come from a terminal.
    catch_interrupts(true);
    int rc = 0;
    for (long n = 0; times == 0 || n < times; n++) {
        if (n > 0 && !watch_wait(interval)) break;
        watch_header(interval);
        rc = run_sql(sh, statement);
        fflush(stdout);
        if (rc != 0 || interrupted()) break;
    }
    catch_interrupts(sh.interactive);
    return rc;
}

// \! [COMMAND]: runs COMMAND with /bin/sh, or an interactive $SHELL.
int cmd_shell(Shell &sh, const Words &) {
    std::string command = raw_rest(sh.line, 1);
    if (command.empty()) {
        const char *shell = getenv("SHELL");
        command = shell != nullptr && *shell != '\0' ? shell : "/bin/sh";
    }
    fflush(stdout);
    int st = system(command.c_str());
    if (st == -1) {
        fprintf(stderr, "dqpsh: \\!: could not run the command\ndetail: %s\n", strerror(errno));
        return -1;
    }
    return WIFEXITED(st) && WEXITSTATUS(st) == 0 ? 0 : -1;
}

// --- \copy ------------------------------------------------------------------

// What a \copy line asks for.
struct CopySpec {
    std::string table;                 // as typed
    std::vector<std::string> columns;  // as typed; empty: all
    bool from = false;
    std::string target;  // a file, or "stdin"/"stdout"/"pstdin"/"pstdout"
    bool csv = false, header = false;
    std::string delimiter, null_text;
};

// Parses "TABLE [(COL, ...)] FROM|TO 'FILE'|stdin|stdout [WITH] [(] [FORMAT]
// CSV|TEXT [HEADER] [DELIMITER 'C'] [NULL 'TEXT'] [)]". 0, or -1 after a
// message.
int parse_copy(const std::string &text, CopySpec *c) {
    size_t i = text.find_first_of(" \t(");
    c->table = text.substr(0, i);
    size_t pos = text.find_first_not_of(" \t", i == std::string::npos ? text.size() : i);
    if (pos != std::string::npos && text[pos] == '(') {
        size_t close = text.find(')', pos);
        if (close == std::string::npos) {
            fprintf(stderr, "dqpsh: \\copy: the column list has no \")\"\n");
            return -1;
        }
        std::string list = text.substr(pos + 1, close - pos - 1);
        for (size_t start = 0; start <= list.size();) {
            size_t comma = list.find(',', start);
            if (comma == std::string::npos) comma = list.size();
            c->columns.push_back(dqp::trim(list.substr(start, comma - start)));
            start = comma + 1;
        }
        pos = close + 1;
    }
    Words w;
    std::string why;
    std::string rest = pos == std::string::npos ? "" : text.substr(pos);
    for (char &ch : rest)
        if (ch == '(' || ch == ')' || ch == ',') ch = ' ';
    if (dqp::split_words(rest, &w, &why) != 0 || w.size() < 2 || c->table.empty() ||
        (upper(w[0]) != "FROM" && upper(w[0]) != "TO")) {
        fprintf(stderr,
                "dqpsh: usage: \\copy TABLE [(COLUMN, ...)] FROM|TO 'FILE'|stdin|stdout "
                "[CSV] [HEADER]\n");
        return -1;
    }
    c->from = upper(w[0]) == "FROM";
    c->target = w[1];
    for (size_t k = 2; k < w.size(); k++) {
        std::string o = upper(w[k]);
        if (o == "CSV" || o == "TEXT") {
            c->csv = o == "CSV";
        } else if (o == "HEADER") {
            if (k + 1 < w.size() && parse_bool(w[k + 1], &c->header) == 0)
                k++;
            else
                c->header = true;
        } else if ((o == "DELIMITER" || o == "NULL") && k + 1 < w.size()) {
            (o == "NULL" ? c->null_text : c->delimiter) = w[++k];
        } else if (o != "WITH" && o != "FORMAT") {
            fprintf(stderr, "dqpsh: \\copy: unknown option \"%s\"\n", w[k].c_str());
            return -1;
        }
    }
    if (c->delimiter.empty()) c->delimiter = c->csv ? "," : "\t";
    if (c->delimiter.size() != 1) {
        fprintf(stderr, "dqpsh: \\copy: the delimiter must be one character\n");
        return -1;
    }
    if (!c->csv && c->null_text.empty()) c->null_text = "\\N";
    return 0;
}

bool is_stdio(const std::string &target, const char *name) {
    return upper(target) == upper(name) || upper(target) == "P" + upper(name);
}

// One value of a text-format line, with its backslash escapes undone.
std::string text_unescape(std::string_view v) {
    std::string out;
    for (size_t i = 0; i < v.size(); i++) {
        if (v[i] != '\\' || i + 1 == v.size()) {
            out += v[i];
            continue;
        }
        char e = v[++i];
        out += e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e;
    }
    return out;
}

std::string text_escape(std::string_view v) {
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '\t' || c == '\n' || c == '\r') {
            out += '\\';
            out += c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : c;
        } else {
            out += c;
        }
    }
    return out;
}

// A CSV value: in quotes (inner quotes doubled) when it holds the
// delimiter, a quote or a line break. An empty text stays unquoted, which
// reads back as NULL: the row format cannot tell an empty character value
// from NULL.
std::string csv_value(std::string_view v, char delimiter) {
    if (v.find_first_of(std::string{delimiter, '"', '\n', '\r'}) == std::string_view::npos)
        return std::string(v);
    std::string q = "\"";
    for (char ch : v) {
        if (ch == '"') q += '"';
        q += ch;
    }
    return q + "\"";
}

// Reads one record; false at the end of the data ("\." or end of input).
// A CSV value in quotes may span lines; an unquoted empty CSV value, or the
// NULL text, is NULL.
bool read_record(std::istream &in, const CopySpec &c, std::vector<std::optional<std::string>> *rec,
                 long *line_no) {
    rec->clear();
    std::string line;
    if (!std::getline(in, line)) return false;
    ++*line_no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "\\.") return false;
    const char d = c.delimiter[0];
    if (!c.csv) {
        for (size_t start = 0;;) {
            size_t end = line.find(d, start);
            std::string v = line.substr(start, end == std::string::npos ? end : end - start);
            if (v == c.null_text)
                rec->emplace_back(std::nullopt);
            else
                rec->emplace_back(text_unescape(v));
            if (end == std::string::npos) return true;
            start = end + 1;
        }
    }
    std::string value;
    bool quoted = false, in_quotes = false;
    for (size_t i = 0;; i++) {
        if (i == line.size()) {
            if (in_quotes && std::getline(in, line)) {  // the value goes on
                ++*line_no;
                value += '\n';
                i = static_cast<size_t>(-1);
                continue;
            }
            break;
        }
        char ch = line[i];
        if (in_quotes) {
            if (ch == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                value += '"';
                i++;
            } else if (ch == '"') {
                in_quotes = false;
            } else {
                value += ch;
            }
        } else if (ch == '"') {
            in_quotes = quoted = true;
        } else if (ch == d) {
            bool null = !quoted && (value.empty() || value == c.null_text);
            rec->emplace_back(null ? std::nullopt : std::optional<std::string>(value));
            value.clear();
            quoted = false;
        } else {
            value += ch;
        }
    }
    bool null = !quoted && (value.empty() || value == c.null_text);
    rec->emplace_back(null ? std::nullopt : std::optional<std::string>(value));
    return true;
}

// The table's column names, from a query that reads none of its rows.
int table_columns(Shell &sh, const std::string &table, std::vector<std::string> *names) {
    dqp::ExecResult res;
    if (sh.sql->execsql("SELECT * FROM " + table + " WHERE 1=0", &res) != 0)
        return failed(sh, "EXECSQL");
    std::vector<dqp::FieldDesc> fields;
    int rc = res.has_cursor ? sh.sql->fieldlist(res.cursor, &fields) : -1;
    if (rc != 0 && res.has_cursor) failed(sh, "FIELDLIST");
    if (res.has_cursor && sh.sql != nullptr && sh.sql->usable()) sh.sql->undeclare(res.cursor);
    if (rc != 0) return -1;
    for (const dqp::FieldDesc &f : fields)
        names->push_back(sql_name(f.name));
    return 0;
}

// Rows between progress lines of a load on a terminal.
constexpr long kProgressRows = 1000;

// Inserts the records of `in`, one EXECSQL with parameters per row (the
// gateway keeps the statement prepared), inside the statement's transaction.
int copy_in(Shell &sh, const CopySpec &c, std::istream &in, long *rows) {
    std::vector<std::string> columns = c.columns;
    if (columns.empty() && table_columns(sh, c.table, &columns) != 0) return -1;
    std::string list, markers;
    for (size_t i = 0; i < columns.size(); i++) {
        list += (i > 0 ? ", " : "") + columns[i];
        markers += i > 0 ? ", ?" : "?";
    }
    std::string insert = "INSERT INTO " + c.table + " (" + list + ") VALUES (" + markers + ")";
    bool progress = isatty(2) != 0;
    long line_no = 0;
    std::vector<std::optional<std::string>> rec;
    std::vector<dqp::ParamValue> values;
    for (bool first = true; read_record(in, c, &rec, &line_no); first = false) {
        if (first && c.header) continue;
        if (rec.size() != columns.size()) {
            fprintf(stderr, "%sERROR:  %s data for the %zu columns\nCONTEXT:  COPY %s, line %ld\n",
                    sh.where.c_str(), rec.size() < columns.size() ? "missing" : "extra",
                    columns.size(), c.table.c_str(), line_no);
            return -1;
        }
        values.clear();
        for (const std::optional<std::string> &v : rec)
            values.push_back(v ? dqp::ParamValue{*v, false} : dqp::ParamValue{{}, true});
        dqp::ExecResult res;
        if (sh.sql->execsql(insert, values, &res) != 0) {
            report_failure(sh, "EXECSQL");
            fprintf(stderr, "CONTEXT:  COPY %s, line %ld\n", c.table.c_str(), line_no);
            return -1;
        }
        if (++*rows % kProgressRows == 0 && progress) fprintf(stderr, "\rCOPY: %ld rows", *rows);
        if (interrupted()) {
            fprintf(stderr, "\ndqpsh: \\copy: cancelled at line %ld\n", line_no);
            return -1;
        }
    }
    if (progress && *rows >= kProgressRows) fprintf(stderr, "\r\033[K");
    return 0;
}

// Writes the table's rows to `out` as CSV or text lines.
int copy_out(Shell &sh, const CopySpec &c, FILE *out, long *rows) {
    std::string list;
    for (size_t i = 0; i < c.columns.size(); i++)
        list += (i > 0 ? ", " : "") + c.columns[i];
    std::string query = "SELECT " + (list.empty() ? "*" : list) + " FROM " + c.table;
    std::vector<dqp::FieldDesc> fields;
    std::string buf;
    auto line_end = [&] {
        buf += '\n';
        if (buf.size() > 65536) {
            fwrite(buf.data(), 1, buf.size(), out);
            buf.clear();
        }
    };
    dqp::ExecResult res;
    int rc = sh.sql->query_views(
        query, &res, nullptr,
        [&](const std::vector<dqp::FieldDesc> &f) {
            fields = f;
            if (!c.header) return 0;
            for (size_t i = 0; i < f.size(); i++)
                buf += (i > 0 ? c.delimiter : "") +
                       (c.csv ? csv_value(f[i].name, c.delimiter[0]) : f[i].name);
            line_end();
            return 0;
        },
        [&](std::span<const std::string_view> row) {
            for (size_t i = 0; i < row.size(); i++) {
                if (i > 0) buf += c.delimiter;
                char type = i < fields.size() ? fields[i].type : 'C';
                if (row[i].empty() && dqp::empty_is_null(type)) {
                    if (!c.csv) buf += c.null_text;
                    continue;
                }
                std::string v;
                dqp::append_value(&v, row[i], type, false);
                buf += c.csv ? csv_value(v, c.delimiter[0]) : text_escape(v);
            }
            ++*rows;
            line_end();
            return interrupted() ? 1 : 0;
        });
    fwrite(buf.data(), 1, buf.size(), out);
    if (rc != 0) return failed(sh, res.has_cursor ? "FETCHMANY" : "EXECSQL");
    return 0;
}

// \copy: client-side COPY through ordinary statements.
int cmd_copy(Shell &sh, const Words &) {
    CopySpec c;
    if (parse_copy(raw_rest(sh.line, 1), &c) != 0) return -1;
    bool std_in = c.from && is_stdio(c.target, "stdin"),
         std_out = !c.from && is_stdio(c.target, "stdout");
    std::ifstream file_in;
    FILE *file_out = nullptr;
    if (c.from && !std_in) {
        file_in.open(c.target);
        if (!file_in) {
            fprintf(stderr, "dqpsh: could not open \"%s\"\ndetail: %s\n", c.target.c_str(),
                    strerror(errno));
            return -1;
        }
    } else if (!c.from && !std_out) {
        file_out = fopen(c.target.c_str(), "we");
        if (file_out == nullptr) {
            fprintf(stderr, "dqpsh: could not open \"%s\"\ndetail: %s\n", c.target.c_str(),
                    strerror(errno));
            return -1;
        }
    }
    std::istream &in = !std_in ? static_cast<std::istream &>(file_in)
                       : upper(c.target) == "PSTDIN" || sh.input == nullptr ? std::cin
                                                                            : *sh.input;
    if (std_in && sh.interactive)
        printf(
            "Enter data to be copied followed by a newline.\n"
            "End with a backslash and a period on a line by itself, or an EOF signal.\n");
    fflush(stdout);
    long rows = 0;
    int rc = run_statement(sh, "COPY", [&] {
        return c.from ? copy_in(sh, c, in, &rows)
                      : copy_out(sh, c, file_out ? file_out : stdout, &rows);
    });
    if (rc != 0 && std_in) {
        // The rest of the data is no command: read it up to its end.
        for (std::string line; std::getline(in, line) && line != "\\." && line != "\\.\r";) {
        }
    }
    if (file_out != nullptr && fclose(file_out) != 0 && rc == 0) {
        fprintf(stderr, "dqpsh: could not write \"%s\"\ndetail: %s\n", c.target.c_str(),
                strerror(errno));
        rc = -1;
    }
    if (rc == 0) printf("COPY %ld\n", rows);
    return rc;
}

constexpr Entry kCommands[] = {
    {"d", cmd_describe, 1, "\\d [TABLE]", "list tables, or the columns of TABLE"},
    {"dt", cmd_tables, 1, "\\dt", "list the tables (no views, no system tables)"},
    {"l", cmd_list_dsns, 1, "\\l", "list the data sources of the odbc.ini files read here"},
    {"conninfo", cmd_conninfo, 1, "\\conninfo", "host, ports, data source, user and encryption"},
    {"x", cmd_expanded, 1, "\\x [on|off]", "expanded output: one block per row"},
    {"t", cmd_tuples, 1, "\\t [on|off]", "rows only: no headings, no row count"},
    {"a", cmd_align, 1, "\\a", "switch between aligned and unaligned output"},
    {"pset", cmd_pset, 2, "\\pset OPTION [VALUE]",
     "null TEXT (shown for NULL numbers, dates, logicals), format, fieldsep"},
    {"o", cmd_output, 1, "\\o [FILE]", "send results to FILE; alone: back to standard output"},
    {"i", cmd_include, 2, "\\i FILE", "run the statements and commands of FILE"},
    {"connect", cmd_connect, 2, "\\connect DSN [USER]", "connect to another data source"},
    {"disconnect", cmd_disconnect, 1, "\\disconnect", "leave the data source"},
    {"timing", cmd_timing, 1, "\\timing [on|off]", "show how long each command takes"},
    {"declare", cmd_declare, 3, "\\declare CURSOR SELECT...", "declare a cursor for a query"},
    {"open", cmd_open, 2, "\\open CURSOR", "open a declared cursor; its row count"},
    {"fetch", cmd_fetch, 2, "\\fetch CURSOR [DIRECTION [N]]",
     "one row: NEXT, FIRST, LAST, PRIOR, ABSOLUTE N, RELATIVE N"},
    {"close", cmd_close, 2, "\\close CURSOR", "close a cursor (it stays declared)"},
    {"undeclare", cmd_close, 2, "\\undeclare CURSOR", "release a cursor"},
    {"use", cmd_use, 3, "\\use TABLE ALIAS [FILTER [ORDER]]",
     "open a table for record access (FILTER * for every row)"},
    {"unuse", cmd_unuse, 2, "\\unuse ALIAS", "close a table opened with \\use"},
    {"zap", cmd_zap, 2, "\\zap ALIAS [FILTER]", "delete the table's rows and open it again"},
    {"count", cmd_count, 2, "\\count ALIAS", "number of records"},
    {"read", cmd_read, 3, "\\read ALIAS N [LOCK]", "show record N"},
    {"find", cmd_find, 4, "\\find ALIAS KEY VALUE [EXACT] [LOCK]", "number of the record found"},
    {"insert", cmd_insert, 3, "\\insert ALIAS VALUE...", "add a record (values in column order)"},
    {"update", cmd_update, 4, "\\update ALIAS N COL=VALUE...", "change fields of record N"},
    {"delete", cmd_delete, 3, "\\delete ALIAS N", "delete record N"},
    {"lock", cmd_lock, 3, "\\lock ALIAS N", "lock record N"},
    {"islocked", cmd_islocked, 3, "\\islocked ALIAS N",
     "is record N free? (held elsewhere: an error)"},
    {"unlock", cmd_unlock, 2, "\\unlock ALIAS", "release the record locks"},
    {"memo", cmd_memo, 3, "\\memo CURSOR|ALIAS COLUMN",
     "show a long column (0-based) of a cursor's row or the record read last"},
    {"sessions", cmd_sessions, 1, "\\sessions", "list the master's live sessions"},
    {"active", cmd_active, 1, "\\active", "ask the port server whether it is active"},
    {"start", cmd_start, 1, "\\start [USER [PASSWORD]]", "get a gateway and send START"},
    {"stop", cmd_stop, 1, "\\stop", "leave the gateway (DISCONNECT, STOP)"},
    {"raw", cmd_raw, 2, "\\raw TYPE [ARG...]", "send any request with the session handle"},
    {"send", cmd_send, 2, "\\send TYPE [INFO [ARG...]]", "send any request with INFO"},
    {"set", cmd_set, 1, "\\set [NAME [VALUE]]",
     "set a variable (AUTOCOMMIT on|off, ON_ERROR_STOP); alone: list them"},
    {"unset", cmd_unset, 2, "\\unset NAME", "remove a variable"},
    {"echo", cmd_echo, 1, "\\echo [-n] [TEXT]...", "write the text (and a line end)"},
    {"g", cmd_g, 1, "\\g [FILE]", "run the statement typed (or the last one); to FILE"},
    {"gset", cmd_gset, 1, "\\gset [PREFIX]",
     "run the statement; its one row sets a variable per column"},
    {"watch", cmd_watch, 1, "\\watch [SECONDS] [c=TIMES]",
     "run the statement every SECONDS (default 2) until Ctrl-C or TIMES runs"},
    {"if", nullptr, 2, "\\if EXPR, \\elif EXPR, \\else, \\endif",
     "run the lines of the first branch whose EXPR is true"},
    {"copy", cmd_copy, 4, "\\copy TABLE [(COLS)] FROM|TO 'FILE'|stdin|stdout [CSV] [HEADER]",
     "copy rows between a table and a file (CSV, or tab-separated text)"},
    {"!", cmd_shell, 1, "\\! [COMMAND]", "run a shell command, or a shell"},
    {"?", cmd_help, 1, "\\?", "this list"},
    {"help", cmd_help, 1, nullptr, nullptr},
    {"q", cmd_quit, 1, "\\q", "leave dqpsh"},
    {"quit", cmd_quit, 1, nullptr, nullptr},
};

int cmd_help(Shell &, const Words &) {
    printf(
        "SQL statements end with \";\". With AUTOCOMMIT on (the default) each statement\n"
        "outside BEGIN ... COMMIT/ROLLBACK is committed at once. The record commands\n"
        "(\\insert, \\update, \\delete, \\zap) commit at once whatever AUTOCOMMIT says, and\n"
        "BEGIN does not hold them back. Commands:\n");
    for (const Entry &e : kCommands)
        if (e.usage != nullptr) printf("  %-38s %s\n", e.usage, e.help);
    return 0;
}

const Entry *find_command(const std::string &name) {
    for (const Entry &e : kCommands)
        if (name == e.name) return &e;
    return nullptr;
}

}  // namespace

int parse_bool(const std::string &value, bool *out) {
    std::string v = upper(value);
    auto prefix_of = [&](const char *word, size_t least) {
        return v.size() >= least && std::string_view(word).substr(0, v.size()) == v;
    };
    if (v == "1" || prefix_of("TRUE", 1) || prefix_of("YES", 1) || v == "ON")
        *out = true;
    else if (v == "0" || prefix_of("FALSE", 1) || prefix_of("NO", 1) || prefix_of("OFF", 2))
        *out = false;
    else
        return -1;
    return 0;
}

dqp::VarLookup variable_lookup(const Shell &sh) {
    return [&sh](std::string_view name) -> const std::string * {
        auto it = sh.vars.find(std::string(name));
        return it == sh.vars.end() ? nullptr : &it->second;
    };
}

bool bool_variable(const Shell &sh, const std::string &name, bool fallback) {
    auto it = sh.vars.find(name);
    bool v = fallback;
    return it != sh.vars.end() && parse_bool(it->second, &v) == 0 ? v : fallback;
}

int set_variable(Shell &sh, const std::string &name, const std::string &value) {
    bool on = false;
    if ((name == "AUTOCOMMIT" || name == "ON_ERROR_STOP") && parse_bool(value, &on) != 0) {
        fprintf(stderr, "dqpsh: unrecognized value \"%s\" for \"%s\"\nhint: on or off\n",
                value.c_str(), name.c_str());
        return -1;
    }
    if (name == "AUTOCOMMIT" && on && !sh.autocommit && sh.uncommitted && !sh.in_block) {
        // Turning AUTOCOMMIT on keeps the work done so far.
        sh.uncommitted = false;
        if (sh.sql != nullptr && sh.sql->connected() && sh.sql->commit() != 0) {
            report_failure(sh, "COMMIT");
            return -1;
        }
    }
    if (name == "AUTOCOMMIT") sh.autocommit = on;
    sh.vars[name] = value;
    return 0;
}

bool is_legacy_command(const std::string &text) {
    static const char *const kLegacy[] = {"active", "start", "sessions", "stop",
                                          "send",   "help",  "quit"};
    // A text that ends with ";" is a statement ("start transaction;").
    std::string t = dqp::trim(text);
    if (!t.empty() && t.back() == ';') return false;
    Words w;
    std::string why;
    if (dqp::split_words(t, &w, &why) != 0 || w.empty()) return false;
    for (const char *name : kLegacy)
        if (w[0] == name) return true;
    return false;
}

int run_command(Shell &sh, const std::string &line) {
    Words w;
    std::string why;
    std::string text = dqp::trim(line);
    if (!text.empty() && text[0] == '\\') text.erase(0, 1);
    dqp::VarLookup vars = variable_lookup(sh);
    if (dqp::split_words(text, &w, &why, vars) != 0) {
        fprintf(stderr, "dqpsh: %s\n", why.c_str());
        return -1;
    }
    if (w.empty()) return 0;
    sh.line = dqp::interpolate(text, vars);
    const Entry *e = find_command(w[0]);
    if (e == nullptr) {
        fprintf(stderr, "dqpsh: invalid command \\%s\nhint: try \\? for help\n", w[0].c_str());
        return -1;
    }
    if (w.size() < e->min_words || e->fn == nullptr) {
        fprintf(stderr, "dqpsh: usage: %s\n", e->usage != nullptr ? e->usage : e->name);
        return -1;
    }
    return e->fn(sh, w);
}

}  // namespace dqpsh
