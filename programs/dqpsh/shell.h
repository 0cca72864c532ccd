// dqpsh's session state and its commands.
//
// A Shell holds at most one gateway: it asks the master's port server for one
// (or connects to a gateway port directly) the first time something needs it,
// sends START once, and CONNECTs to the data source (-d DSN) the first time a
// statement needs one. SQL statements run through EXECSQL; a query's rows are
// streamed to standard output through a ResultPrinter. Backslash commands are
// looked up in one table (commands.cpp). Every command returns 0, or -1 after
// printing its error on standard error; a lost gateway is dropped so that the
// next command asks for a new one.
#pragma once

#include <cstdio>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/connect_options.h"
#include "client/dqp_client.h"
#include "client/record_client.h"
#include "client/result_format.h"
#include "client/sql_client.h"
#include "client/sql_script.h"

namespace dqpsh {

using Words = std::vector<std::string>;

struct Options {
    std::string host = "127.0.0.1";
    int base_port = 0;
    int direct_port = 0;
    std::string type = "odb";
    std::string dsn;
    std::string user;
    dqp::TlsOptions tls;  // both hops: the port request and the gateway
};

// What the shell knows of a table it opened with \use.
struct AliasInfo {
    std::string table;
    std::vector<dqp::FieldDesc> fields;  // from the last record read, if any
};

struct Shell {
    Options opt;
    dqp::PrintOptions print;  // -A, -t, -F, --csv, \\x, \\pset
    std::unique_ptr<dqp::Connection> gateway;
    int gateway_port = 0;
    std::unique_ptr<dqp::SqlClient> sql;
    std::unique_ptr<dqp::RecordClient> rec;
    bool started = false;
    bool timing = false;
    bool quit = false;
    bool interactive = false;  // reading a terminal: Ctrl-C cancels a statement
    // Transactions. The gateway runs with the data source's autocommit off,
    // so the shell commits itself: with AUTOCOMMIT on (the default) after
    // every statement outside a BEGIN ... COMMIT/ROLLBACK block.
    bool autocommit = true;
    bool in_block = false;     // BEGIN seen and the block not yet ended
    bool uncommitted = false;  // statements ran since the last COMMIT or ROLLBACK
    bool lost = false;         // the last gateway broke off: say so before a new one
    // No gateway or data source could be reached, or the gateway was lost: a
    // script ends with exit status 2.
    bool conn_failed = false;
    bool have_password = false;
    std::string password;
    std::map<std::string, AliasInfo> aliases;  // by upper-cased alias
    std::map<std::string, std::string> vars;   // \\set and -v variables
    std::string line;                          // the command line being run, as typed
    std::string query_buffer;                  // the statement typed before \\g, \\gset or \\watch
    std::string last_query;         // the last statement sent: \\g with nothing typed runs it
    std::istream *input = nullptr;  // where the commands come from: \\copy FROM stdin
    std::string where;   // "dqpsh:FILE:LINE: " while a file's statement runs, for its errors
    int file_depth = 0;  // \\i files being read inside one another
};

// Gets a gateway (no START). 0 or -1.
int need_gateway(Shell &sh);
// Gets a gateway and sends START. 0 or -1.
int need_start(Shell &sh);
// Gets a gateway, STARTs it and CONNECTs to the data source. 0 or -1.
int need_session(Shell &sh);
// Forgets the gateway without a word to it (it is gone or going).
void drop_gateway(Shell &sh);
// Ends the session politely: DISCONNECT and STOP when there is a gateway.
void end_session(Shell &sh);
// True inside a transaction the user opened: a BEGIN block, or any statement
// since the last commit with AUTOCOMMIT off (the prompt's "*").
bool open_transaction(const Shell &sh);
// Warns on standard error when leaving the data source would drop
// uncommitted work (which the gateway then rolls back); true when it warned.
bool warn_uncommitted(const Shell &sh);

// While on, Ctrl-C sets a flag instead of ending dqpsh, and while a statement
// waits for its answer it asks the gateway to cancel the statement (which
// then fails with the data source's message); a streaming result stops
// printing (what the gateway still sends is read and dropped, so the gateway
// stays usable). Turning it on or off clears the flag.
void catch_interrupts(bool on);
bool interrupted();

// Runs one SQL statement (without its ";"). 0 or -1.
int run_sql(Shell &sh, const std::string &statement);
// Runs `body`, which sends `statement` (or, for \\copy, several) in the
// shell's way: a session first, BEGIN, COMMIT and ROLLBACK kept by the
// shell, AUTOCOMMIT's commit after success and rollback after failure, and
// \\timing's line. body returns 0 or -1.
int run_statement(Shell &sh, const std::string &statement, const std::function<int()> &body);
// Runs one SQL statement and keeps its rows instead of printing them
// (\\gset); *has_result is false for a statement without result. 0 or -1.
int run_sql_rows(Shell &sh, const std::string &statement, std::vector<dqp::FieldDesc> *fields,
                 std::vector<dqp::Row> *rows, bool *has_result);
// Runs one backslash command line ("\d customer"). 0 or -1.
int run_command(Shell &sh, const std::string &line);
// True when the first word of a text (a -c text, or a line read outside a
// statement) names one of the commands of the old request shell ("active",
// "start alice", "sessions", "stop", "send ..."); false when it ends with
// ";", which makes it a statement ("start transaction;").
bool is_legacy_command(const std::string &text);
// Sets a shell variable (\\set, -v NAME=VALUE). AUTOCOMMIT takes on/off
// (or true/false, 1/0) and switches the shell's commits; an open transaction
// is committed when AUTOCOMMIT goes on, as in psql. 0, or -1 for a bad value.
int set_variable(Shell &sh, const std::string &name, const std::string &value);
// psql's booleans: true, false, yes, no (or any prefix of them), on, off (or
// "of"), 1, 0, in any case. 0, or -1 for anything else.
int parse_bool(const std::string &value, bool *out);
// Looks up the shell's variables (for interpolation).
dqp::VarLookup variable_lookup(const Shell &sh);
// A variable's value read as a boolean (parse_bool); absent: fallback.
bool bool_variable(const Shell &sh, const std::string &name, bool fallback);

// Runs the statements and commands of a file as -f does (\\i): it goes on
// after an error unless ON_ERROR_STOP is set. psql's exit status: 0 when it
// ran to its end, 1 when it could not be read, 2 when the gateway was lost,
// 3 when ON_ERROR_STOP stopped it.
int run_file(Shell &sh, const std::string &path);
// Writes text to standard output (which \\o may have pointed at a file).
void write_out(std::string_view s);

// Prints the error of the last failed SqlClient call: the data source's
// MAPERROR text for a refused request, the reason for a broken connection.
void report_failure(Shell &sh, const std::string &what);

}  // namespace dqpsh
