// Typed SQL calls of libdqpclient.
//
// SqlClient runs the SQL and cursor requests of the DQP protocol over one
// Connection to a gateway (which it does not own) and turns their replies into
// values: field descriptions, rows of texts, cursor names, row counts. It owns
// the session handle that CONNECT returns and sends it with every later
// request. Every reply is checked as hostile input: a wrong packet type, a
// missing or non-numeric argument, a row that does not match its header or a
// malformed METADATA container is an error, never a crash.
//
// Every call returns 0 on success and -1 on failure with a readable reason in
// error(). failure() tells the two kinds apart: Failure::refused means the
// gateway answered NOK (the connection is in step and MAPERROR can tell why);
// Failure::protocol means the connection failed or the gateway broke the
// protocol, after which the client refuses every further request (it can no
// longer tell which reply belongs to which request). No exception leaves the
// library; callbacks must not throw either.
//
// Values travel as text. Without SessionOptions::typed the protocol sends a
// NULL value as the empty text, so a NULL and an empty string cannot be told
// apart; Row holds plain strings for that reason. A typed session
// (SessionOptions::typed) gets every value exactly as stored, with its NULL
// flag (ValueView, Record::nulls), long values reassembled from their
// pieces, and after every refused request the diagnostic fetched at once
// (error(), sqlstate()). The untyped calls keep working there, a NULL
// handed to them as the empty text.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/dqp_client.h"
#include "protocol/value_type.h"

namespace dqp {

// One column as the gateway describes it: "NAME:10:C:0:" in row headers and
// self-describing rows, "NAME:10:C:0:1:" in field lists (the last number is
// the read-only flag).
struct FieldDesc {
    std::string name;
    int width = 0;
    // C character, N numeric, D date, L logical, M memo (a placeholder: MEMO
    // reads the text), T long text sent inline (SessionOptions::long_text)
    char type = 'C';
    int decimals = 0;
    int readonly = -1;  // 0 or 1 from a field list; -1 when the text had no flag
    // Typed sessions only (typed true): the value type, the data source's
    // precision, nullability (0 no NULLs, 1 nullable, 2 unknown), display
    // size (-1 unknown) and its own name of the type ("int4", "uuid").
    bool typed = false;
    ValueType value_type = ValueType::Other;
    int64_t precision = 0;
    int nullable = 2;
    int64_t display = -1;
    std::string source;
};

// A value of a typed row: its text (bytes as lower-case hexadecimal digits)
// and whether it is NULL (the text is then empty).
struct ValueView {
    std::string_view text;
    bool null = false;
};

using Row = std::vector<std::string>;

// One self-describing row (FETCH, EXTENDED_FETCH, READ): each value with its
// field description.
struct Record {
    std::vector<FieldDesc> fields;
    Row values;
    std::vector<bool> nulls;  // one a value: true for NULL (typed sessions)
};

// Parses a field description. with_readonly: the field-list form with its
// read-only flag. 0, or -1 when the text is not of that form.
VARNEX_API int parse_field_desc(std::string_view text, bool with_readonly, FieldDesc *out);
// Splits a self-describing value "NAME:10:C:0:SMITH" into its description and
// value; the value may itself hold colons. 0, or -1 when malformed.
VARNEX_API int parse_described_value(std::string_view text, FieldDesc *desc, std::string *value);
// Reads a decimal argument ("-12"); 0, or -1 unless the whole text is a number
// that fits in 32 bits.
VARNEX_API int parse_decimal(std::string_view text, int32_t *out);

// Cursor and field names the gateway accepts: 1 to 19 characters.
inline constexpr size_t kMaxCursorName = 19;

enum class Failure { none, refused, protocol };

// What CONNECT asks of the gateway besides the data source.
struct SessionOptions {
    // Long character columns (SQL_LONGVARCHAR: PostgreSQL text, SQLite TEXT)
    // arrive as type 'T' with their text in the row instead of type 'M'
    // and a placeholder: whole up to 8000 bytes, longer ones cut at a
    // character boundary and ended with "[...]" (MEMO on a declared cursor
    // reads the whole text). Records read with READ keep the placeholder.
    bool long_text = false;
    // Every value as it is stored (and long_text): asked with the word TYPED;
    // SqlClient::typed() tells whether the gateway accepted it.
    bool typed = false;
};

// The longest value a typed session reassembles from pieces; a longer one
// (a total that never ends) breaks the connection.
inline constexpr size_t kMaxTypedValue = size_t{1} << 30;

// EXECSQL's answer: the two statuses and, for a query, its cursor's name.
// row_count: the rows a statement without result changed, as the data source
// counts them; EXECSQL with parameters and every EXECSQL of a typed session
// report it (a typed session -1 for any statement but INSERT, UPDATE,
// DELETE and MERGE), -1 otherwise and when the data source cannot tell.
struct ExecResult {
    int32_t status = 0;
    int32_t status2 = 0;
    bool has_cursor = false;
    std::string cursor;
    int64_t row_count = -1;
};

// A parameter value bound by the gateway to a statement's marker: a text (the
// data source converts it to the marker's type), or NULL.
struct ParamValue {
    std::string_view text;
    bool null = false;
};

// Most parameter values of one statement that the gateway binds; it refuses
// more. Values have no length limit of their own: a request longer than one
// packet goes in pieces, up to what the gateway joins for one request
// (ODBServer "max_statement_bytes", 64 MiB by default).
inline constexpr size_t kMaxParams = 1000;

// Scroll directions of EXTENDED_FETCH, sent as their keywords.
enum class Scroll { next, first, last, prior, absolute, relative, bookmark };

// A table of the data source, as TABLELIST lists it.
struct TableInfo {
    std::string qualifier, owner, name, type, remarks;
};

// Callbacks of a streamed result. A non-zero return stops delivery: the rest of
// the result is still read (and dropped) so the connection stays in step, and
// the call returns -1 with the reason "stopped by the caller".
using HeaderFn = std::function<int(const std::vector<FieldDesc> &)>;
using RowFn = std::function<int(Row &&)>;
// A row as views of its values into the received packet, valid only during the
// call: the way to take a large result without an allocation per row.
using RowViewFn = std::function<int(std::span<const std::string_view>)>;
// A row as values with their NULL flags, valid only during the call.
using ValueRowFn = std::function<int(std::span<const ValueView>)>;

class VARNEX_API SqlClient {
  public:
    explicit SqlClient(Connection &conn) : conn_(conn) {}

    // START: registers the user with the gateway; *server_pid (optional)
    // receives the gateway's process id.
    int start(std::string_view user, std::string_view password, int32_t *server_pid = nullptr);
    // STOP: the gateway ends; no reply is awaited.
    int stop();
    // CONNECT to a data source. Success makes the new session handle current.
    // On a NOK the error handle the gateway returned becomes current, so that
    // maperror() can fetch the driver's message.
    int connect(std::string_view dsn, std::string_view user, std::string_view password);
    int connect(std::string_view dsn, std::string_view user, std::string_view password,
                const SessionOptions &options);
    int disconnect();

    int execsql(std::string_view sql, ExecResult *out);
    // EXECSQL with parameters: any statement (INSERT, UPDATE, DELETE, a
    // query) with its markers ("?") bound by the gateway to `values`, one per
    // marker in order; values never become part of the statement text. A
    // statement without result reports out->row_count; the gateway keeps it
    // prepared, so the same text with new values executes again without a
    // new prepare. A query leaves its cursor in out->cursor, as execsql does.
    // Refused by the gateway: a count that differs from the markers, more than
    // kMaxParams values, or values longer in all than it joins. A gateway
    // that predates parameters answers in the old form, which is reported as
    // a failure (such a gateway has run the statement without the values).
    int execsql(std::string_view sql, std::span<const ParamValue> values, ExecResult *out);
    // Runs a statement and, when it makes a result, streams every row: EXECSQL,
    // then FIELDLIST (only when on_fields is given; its descriptions carry
    // the read-only flags and come even for an empty result), then FETCHMANY.
    // A statement that reads like a query (SELECT, WITH, VALUES) goes out as
    // one pipeline, which costs one round trip instead of three: EXECSQL,
    // MAPERROR (so a failed statement keeps its diagnostic, which the later
    // requests would clear; maperror() then answers it without asking), and
    // the cursor requests under the name the gateway gives this session's
    // queries (made from the session handle). That is done only
    // while no cursor of that name is left unread, so they can reach nothing
    // else; otherwise, and for other statements, the requests go one by one.
    // *out is EXECSQL's answer; callbacks as for fetchmany.
    int query(std::string_view sql, ExecResult *out, const HeaderFn &on_fields,
              const HeaderFn &on_header, const RowFn &on_row);
    // The same, each row handed over as views.
    int query_views(std::string_view sql, ExecResult *out, const HeaderFn &on_fields,
                    const HeaderFn &on_header, const RowViewFn &on_row);
    // The same with parameter values, through EXECSQL with parameters.
    int query_views(std::string_view sql, std::span<const ParamValue> values, ExecResult *out,
                    const HeaderFn &on_fields, const HeaderFn &on_header, const RowViewFn &on_row);
    // Requests sent around this client (raw packets) may have left query
    // cursors open: query() goes one request at a time until the session
    // changes.
    void untrack_cursors();
    // DECLARE name FOR sql; mode "UPDATE", "INSERT" or empty.
    int declare(std::string_view cursor, std::string_view sql, std::string_view mode = {});
    // DECLARE with parameters: the statement's markers are bound, and each
    // OPEN brings their values.
    int declare_with_params(std::string_view cursor, std::string_view sql);
    // OPEN: executes the cursor's statement; *rows receives its row count.
    int open(std::string_view cursor, int32_t *rows = nullptr);
    // OPEN of a cursor declared with parameters, with one value per marker.
    int open(std::string_view cursor, std::span<const ParamValue> values, int32_t *rows);
    int close(std::string_view cursor);
    int undeclare(std::string_view cursor);
    // FETCH one row. *end is set (and *out left empty) when no row is left.
    int fetch(std::string_view cursor, Record *out, bool *end);
    // EXTENDED_FETCH one row in the given direction (offset for absolute and
    // relative moves).
    int extended_fetch(std::string_view cursor, Scroll how, int32_t offset, Record *out, bool *end);
    // FETCHMANY: every remaining row, handed over one at a time; the gateway
    // releases the cursor afterwards. on_header is called once before the first
    // row when the gateway sends field descriptions (it sends none for an empty
    // result).
    int fetchmany(std::string_view cursor, const HeaderFn &on_header, const RowFn &on_row);
    // The same, each row handed over as views.
    int fetchmany_views(std::string_view cursor, const HeaderFn &on_header,
                        const RowViewFn &on_row);
    // The same, each row as values with their NULL flags (never NULL
    // outside a typed session).
    int fetchmany_values(std::string_view cursor, const HeaderFn &on_header,
                         const ValueRowFn &on_row);
    // The same, collected (for results known to be small).
    int fetchmany(std::string_view cursor, std::vector<FieldDesc> *fields, std::vector<Row> *rows);
    // TABLELIST through a catalogue cursor of the given name.
    int tablelist(std::string_view cursor, const HeaderFn &on_header, const RowFn &on_row);
    int tablelist(std::string_view cursor, std::vector<TableInfo> *tables);
    // FIELDLIST of a cursor: its columns with their read-only flags.
    int fieldlist(std::string_view cursor, std::vector<FieldDesc> *fields);
    // MAPERROR: the text of the last diagnostic of the current handle.
    int maperror(std::string *text);
    int commit(int32_t *status = nullptr);
    int rollback(int32_t *status = nullptr);

    // Building blocks for the other typed calls (record requests).
    //
    // Sends a request with the current handle and reads its one reply: 0 for
    // OK with at least min_args arguments, -1 otherwise (a NOK is "refused"
    // with its info in last_status(); anything else is a protocol failure).
    int call(int type, std::span<const std::string_view> args, size_t min_args,
             Reply *reply = nullptr);
    int call(int type, std::initializer_list<std::string_view> args, size_t min_args,
             Reply *reply = nullptr);
    // Checks a received reply to a request of this type as call() does.
    int check_reply(int type, const Reply &r, size_t min_args);
    // Sends a request whose answer is rows; 0 or -1.
    int send_request(int type, std::span<const std::string_view> args);
    int send_request(int type, std::initializer_list<std::string_view> args);
    // Reads the answer of a one-row request (DATA of self-describing values, EOF
    // for no row, or NOK).
    int read_record(Record *out, bool *end);
    // Reads an answer of many rows until its EOF or NOK.
    int read_rows(const HeaderFn &on_header, const RowFn &on_row);
    int read_row_views(const HeaderFn &on_header, const RowViewFn &on_row);
    int read_value_rows(const HeaderFn &on_header, const ValueRowFn &on_row);
    // Next reply packet, METADATA containers unpacked one at a time.
    int next_reply(Reply *out);
    // The same as views, valid until the next call that reads or sends.
    int next_view(ReplyView *out);
    int refuse(const Reply &nok, const std::string &what);
    int broken(const std::string &why);
    int fail(const std::string &why);

    int32_t handle() const { return handle_; }
    void set_handle(int32_t h) { handle_ = h; }
    bool connected() const { return connected_; }
    bool usable() const { return !broken_; }
    Failure failure() const { return failure_; }
    int32_t last_status() const { return last_status_; }
    const std::string &error() const { return error_; }
    // True when the gateway accepted SessionOptions::typed for the session.
    bool typed() const { return typed_; }
    // After a refused request in a typed session: the data source's SQLSTATE
    // (empty when none), and its detail and hint. error() then holds its
    // message.
    const std::string &sqlstate() const { return sqlstate_; }
    const std::string &error_detail() const { return detail_; }
    const std::string &error_hint() const { return hint_; }
    Connection &connection() { return conn_; }

  private:
    int begin();
    int take_exec_reply(const Reply &r, int rc, ExecResult *out, bool with_params = false);
    std::string exec_cursor_name() const;
    void forget_exec_cursor(std::string_view cursor);
    int run_query(std::span<const std::string_view> exec_args, bool with_params, ExecResult *out,
                  const HeaderFn &on_fields, const HeaderFn &on_header, const RowViewFn &on_row);
    int send_pipeline(std::span<const std::string_view> exec_args, std::string_view cursor,
                      bool with_fields);
    int read_query(std::string_view cursor, const HeaderFn &on_fields, const HeaderFn &on_header,
                   const RowViewFn &on_row);
    int outs_reply(int type, std::string_view cursor, std::string_view what);
    int scroll_reply(Reply &r, Record *out, bool *end);
    int read_typed_rows(const HeaderFn &on_header, const ValueRowFn &on_row);
    int read_typed_record(const Reply &r, Record *out);
    int parse_desc(std::string_view text, bool field_list, FieldDesc *out, size_t *used) const;
    int parse_descs(std::span<const std::string_view> args, bool field_list,
                    std::vector<FieldDesc> *fields) const;
    int parse_descs(const std::vector<std::string> &args, bool field_list,
                    std::vector<FieldDesc> *fields) const;
    void take_typed_error(const Reply &r);
    void fetch_typed_error();

    Connection &conn_;
    int32_t handle_ = 0;
    bool connected_ = false;
    bool broken_ = false;
    Failure failure_ = Failure::none;
    int32_t last_status_ = 0;
    std::string error_;
    SplitReplies pending_;  // the packets of the last packet received, as views into packet_
    size_t pending_next_ = 0;
    std::unique_ptr<char[]> packet_;  // the packet being unpacked
    bool result_ended_ = false;       // the last read_rows saw its EOF
    // EXECSQL cursors of the session not yet read to their end or undeclared.
    static constexpr int kUntracked = 1 << 30;
    int unread_exec_cursors_ = 0;
    // The diagnostic a pipelined query already fetched, until the next request.
    std::optional<std::string> held_diagnostic_;
    bool typed_ = false;
    // A refusal fetches MAPERROR at once (typed sessions), except while a
    // pipeline's replies are still to be read.
    bool auto_diagnostic_ = true;
    std::string sqlstate_, detail_, hint_;
};

// Checks a cursor name before it goes out: 0, or -1 with *why.
VARNEX_API int check_cursor_name(std::string_view name, std::string *why);

}  // namespace dqp
