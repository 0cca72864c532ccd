// The handlers of the session, SQL and cursor requests: START to ROLLBACK,
// the fetches, the field and table lists and MEMO. Each unpacks its request,
// calls one backend operation and answers by the reply rules of
// request_loop.h (operations that answer for themselves send their own).
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "protocol/packet.h"
#include "protocol/trace.h"
#include "protocol/typed_value.h"
#include "runtime/handover.h"
#include "runtime/login.h"
#include "runtime/packet_exchange.h"
#include "runtime/request.h"
#include "support/config_cache.h"

namespace vnx {

// The word of DECLARE, OPEN and EXECSQL that announces parameter markers
// and values. OPEN and EXECSQL also take it as "PARAMS:" followed by one
// flag a value, '1' for NULL (its argument is then ignored) and '0' for a
// value: the protocol's texts cannot tell NULL from the empty text otherwise.
constexpr const char *kParamsWord = "PARAMS";
constexpr const char *kParamsFlagged = "PARAMS:";

namespace {

const BackendExtensions *g_extensions = nullptr;

// True when the session of `info` asked for typed values and the backend
// serves them.
bool typed_session(int32_t info) {
    const BackendExtensions *ext = g_extensions;
    return ext != nullptr && ext->typed_session != nullptr && ext->typed_session(info) != 0;
}

bool is_params_word(const std::string &word) {
    return word == kParamsWord || word.rfind(kParamsFlagged, 0) == 0;
}

// The values of a parameter form whose word is argument `word`, ready for
// the backend: texts, lengths (kNullParamLength for NULL) and pointers, and
// each value's flag ('0' text, or a type letter of kTypedParamFlags).
struct ParamValues {
    std::vector<std::string> texts;
    std::vector<int> lengths;
    std::vector<const char *> ptrs;
    std::string types;
    int count() const { return static_cast<int>(texts.size()); }
    bool typed() const { return types.find_first_not_of('0') != std::string::npos; }
};

// False (and the request refused) when the flags are malformed or do not
// give one flag per value. Type letters are taken where `typed` allows.
bool read_param_values(Request &r, int word, ParamValues *out, bool typed) {
    std::string w = r.arg(word);
    int argc = dqp::pkt_argc(r.packet);
    int n = argc > word ? argc - word - 1 : 0;
    bool flagged = w != kParamsWord;
    std::string flags = flagged ? w.substr(std::string_view(kParamsFlagged).size()) : "";
    std::string allowed = typed ? std::string("01") + kTypedParamFlags : "01";
    if (flagged && (static_cast<int>(flags.size()) != n ||
                    flags.find_first_not_of(allowed) != std::string::npos)) {
        refuse(r, std::string(r.name) + ": the NULL flags after PARAMS: must be one of \"" +
                      allowed + "\" for each value");
        return false;
    }
    for (int i = 0; i < n; i++) {
        char f = flagged ? flags[static_cast<size_t>(i)] : '0';
        out->types += f == '1' ? '0' : f;
    }
    for (int i = 0; i < n; i++) {
        bool null = flagged && flags[static_cast<size_t>(i)] == '1';
        out->texts.push_back(null ? std::string() : r.arg(word + 1 + i));
        out->lengths.push_back(null ? kNullParamLength
                                    : static_cast<int>(out->texts.back().size()));
    }
    for (const std::string &t : out->texts)
        out->ptrs.push_back(t.c_str());
    return true;
}

}  // namespace

void set_backend_extensions(const BackendExtensions *ext) {
    g_extensions = ext;
}

const BackendExtensions *backend_extensions() {
    return g_extensions;
}

// ---- session and control -------------------------------------------------

namespace {

// A refused login: logged with the client's address (in the server log when
// it is on, and always on standard error, which the master's log receives),
// answered NOK no sooner than kLoginFailureDelayMs after START arrived, and
// the loop ends. The backend's START is never called, so no session notice
// is sent and the master records no session. The NOK carries the one reason
// every refusal gives as its argument: the connection closes after it, so the
// client could not ask MAPERROR. It never says which of name or password was
// wrong (the log does).
void refuse_login(Request &r, const std::string &user, const std::string &why,
                  std::chrono::steady_clock::time_point arrived) {
    std::string who = loggable_user(user), from = r.slot().peer_name;
    dqp::tracef("[dqp_server]", "START refused for user \"%s\" from %s: %s", who.c_str(),
                from.c_str(), why.c_str());
    fprintf(stderr, "%s: START refused for user \"%s\" from %s (port %d): %s\n",
            program_invocation_short_name, who.c_str(), from.c_str(), r.slot().port, why.c_str());
    std::this_thread::sleep_until(arrived + std::chrono::milliseconds(kLoginFailureDelayMs));
    const std::string reason = "the user name or password is not accepted";
    keep_refusal(r, reason);
    send_reply(r, dqp::PKT_TYPE_NOK, -1, {reason});
    r.done = true;
}

}  // namespace

// START's user name is argument 1; a START with a single argument names the
// user in argument 0. When the gateway requires a login (login.h), the user
// and password (argument 2) must be a console user's before the backend
// hears of the session.
void handle_start(Request &r) {
    auto arrived = std::chrono::steady_clock::now();
    if (!have_op(r, r.ops->start)) {
        r.done = true;
        return;
    }
    std::string server = r.arg(0), password = r.arg(2), options = r.arg(5);
    std::string user = dqp::pkt_argc(r.packet) == 1 ? server : r.arg(1);
    if (r.login_required) {
        std::string why = login_refusal(user, password);
        if (!why.empty()) return refuse_login(r, user, why, arrived);
    }
    int status = r.ops->start(&r.result, server.c_str(), user.c_str(), password.c_str(),
                              options.c_str(), r.slot().port);
    standard_reply(r, status, {});
    if (status < 0) r.done = true;
    if (status >= 0) r.started = true;
}

void handle_stop(Request &r) {
    if (r.ops->stop != nullptr) r.ops->stop(&r.result);
    r.done = true;
}

void handle_abort(Request &r) {
    if (r.connected && r.ops->disconnect != nullptr) r.ops->disconnect(r.info);
    r.connected = false;
    handle_stop(r);
}

void handle_connect(Request &r) {
    if (!have_op(r, r.ops->connect)) return;
    r.out1 = r.out2 = 0;
    std::string a0 = r.arg(0), a1 = r.arg(1), a2 = r.arg(2), a3 = r.arg(3);
    // A gateway holding a connection for this login may serve the client
    // instead; it answers this CONNECT itself.
    if (!r.connected && offer_to_holder(r, a1, a2, a3)) {
        r.done = true;
        return;
    }
    int status = r.ops->connect(&r.result, a0.c_str(), a1.c_str(), a2.c_str(), a3.c_str(), &r.out1,
                                r.slot().port);
    if (status >= 0) r.connected = true;
    if (status < 0 || !typed_session(r.result)) return reply_outs(r, status);
    // The words the gateway accepted: a client that finds none talks to a
    // gateway that sends untyped rows.
    std::string o1 = std::to_string(r.out1), o2 = std::to_string(r.out2);
    standard_reply(r, status, {o1, o2, dqp::kTypedOption});
}

void handle_disconnect(Request &r) {
    int status = 1;  // nothing to disconnect: answered OK, no operation called
    if (r.connected) {
        if (!have_op(r, r.ops->disconnect)) return;
        status = r.ops->disconnect(r.info);
    }
    if (status >= 0) r.connected = false;
    standard_reply(r, status, {});
}

// The log file a LOGGING request may write: the base name of what the client
// sent, with ".log" appended unless it ends so, in the DB_ROOT directory.
// Empty when the name leaves nothing to use. A client can therefore neither
// write outside DB_ROOT nor touch users.db, the store or a data file there.
std::string logging_path(std::string name) {
    size_t cut = name.find_last_of("/\\");
    if (cut != std::string::npos) name = name.substr(cut + 1);
    if (name.empty() || name == "." || name == ".." || name == ".log") return "";
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".log") != 0) name += ".log";
    std::string root = get_registry_value("DB_ROOT", kRootKey);
    return (root.empty() ? std::string(".") : root) + "/" + name;
}

// LOGGING: "1" opens the named log (logging_path) and switches tracing on;
// anything else switches it off. No reply.
void handle_logging(Request &r) {
    dqp::close_log_stream();
    std::string path = r.arg(0) == "1" ? logging_path(r.arg(1)) : "";
    if (path.empty() || dqp::open_log(path) != 0) dqp::set_tracing(0);
}

// ---- database, cursors and statements -----------------------------------

void handle_attach(Request &r) {
    std::string db = r.arg(0), shared = r.arg(1);
    dqp::tracef("[dqp_server_attach]", "database='%s', shared='%s'", db.c_str(), shared.c_str());
    if (!have_op(r, r.ops->attach)) return;
    r.out1 = 0;
    int status = r.ops->attach(r.info, db.c_str(), shared == "SHARED" ? 1 : 0, &r.out1);
    dqp::trace("[dqp_server_attach]", "returned ok");
    reply_out1(r, status);
}

void handle_detach(Request &r) {
    if (!have_op(r, r.ops->detach)) return;
    r.out1 = 0;
    reply_out1(r, r.ops->detach(r.info, &r.out1));
}

void handle_declare(Request &r) {
    std::string cursor;
    if (!have_op(r, r.ops->declare)) return;
    if (!name_arg(r, 0, &cursor)) return;
    std::string stmt = r.arg(1), how = r.arg(2);
    int mode = how == "UPDATE" ? 1 : how == "INSERT" ? 2 : 0;
    // A fourth argument "PARAMS" binds the statement's parameter markers,
    // whose values a later OPEN brings.
    int with_params = dqp::pkt_argc(r.packet) > 3 && r.arg(3) == kParamsWord ? 1 : 0;
    r.out1 = r.out2 = 0;
    int status = r.ops->declare(r.info, cursor.c_str(), mode, stmt.c_str(), &r.out1, &r.out2,
                                with_params, r.slot().table_closed);
    reply_outs(r, failure_to_minus1(status));
}

void handle_undeclare(Request &r) {
    std::string cursor;
    if (!have_op(r, r.ops->undeclare)) return;
    if (!name_arg(r, 0, &cursor)) return;
    r.out1 = r.out2 = 0;
    reply_outs(r, failure_to_minus1(r.ops->undeclare(r.info, cursor.c_str(), &r.out1, &r.out2)));
}

// OPEN takes the cursor name alone, or the name, the word "PARAMS" (or
// "PARAMS:" and NULL flags) and one value per parameter marker of a cursor
// declared with PARAMS (the backend refuses more values than markers). Any
// other second argument would hand its text to the backend where a
// parameter count belongs; it is refused instead of served wrongly.
void handle_open(Request &r) {
    std::string cursor;
    if (!have_op(r, r.ops->open)) return;
    int argc = dqp::pkt_argc(r.packet);
    if (argc > 1 && !is_params_word(r.arg(1)))
        return refuse(r, "OPEN takes the cursor name alone: parameters cannot be passed");
    if (!name_arg(r, 0, &cursor)) return;
    ParamValues values;
    if (argc > 1 && !read_param_values(r, 1, &values, false)) return;
    r.out1 = r.out2 = 0;
    int status = r.ops->open(r.info, cursor.c_str(), &r.out1, &r.out2, values.count(),
                             values.lengths.data(), values.ptrs.data(), 0);
    r.slot().open_count = r.out2;
    reply_outs(r, failure_to_minus1(status));
}

void handle_close(Request &r) {
    std::string cursor;
    if (!have_op(r, r.ops->close)) return;
    if (!name_arg(r, 0, &cursor)) return;
    r.out1 = r.out2 = 0;
    int status = r.ops->close(r.info, cursor.c_str(), &r.out1, &r.out2);
    r.slot().open_count = 0;
    r.slot().table_closed = 1;
    reply_outs(r, failure_to_minus1(status));
}

namespace {

// EXECSQL text PARAMS[:flags] v1 v2 ...: any statement with its markers
// bound to the values. Its OK reply always carries four arguments: out1,
// out2, the query's cursor name (empty for a statement without result) and
// the rows a statement changed (-1 when unknown); a NOK carries out1, out2.
void handle_execsql_params(Request &r) {
    const BackendExtensions *ext = backend_extensions();
    if (ext == nullptr || ext->execsql_params == nullptr)
        return refuse(r, "this gateway does not bind parameters of EXECSQL");
    ParamValues values;
    if (!read_param_values(r, 1, &values, ext->execsql_typed_params != nullptr)) return;
    std::string stmt = r.arg(0);
    char text[kExecsqlTextSize] = "";
    int32_t has_cursor = 0;
    int64_t rows = -1;
    r.out1 = r.out2 = 0;
    int status =
        values.typed()
            ? ext->execsql_typed_params(r.info, stmt.c_str(), values.count(), values.lengths.data(),
                                        values.ptrs.data(), values.types.c_str(), text, &has_cursor,
                                        &r.out1, &r.out2, &rows)
            : ext->execsql_params(r.info, stmt.c_str(), values.count(), values.lengths.data(),
                                  values.ptrs.data(), text, &has_cursor, &r.out1, &r.out2, &rows);
    text[kExecsqlTextSize - 1] = '\0';
    std::string o1 = std::to_string(r.out1), o2 = std::to_string(r.out2);
    if (status < 0) return send_reply(r, dqp::PKT_TYPE_NOK, status, {o1, o2});
    send_reply(r, dqp::PKT_TYPE_OK, 0,
               {o1, o2, has_cursor != 0 ? std::string_view(text) : std::string_view(),
                std::to_string(rows)});
}

}  // namespace

// EXECSQL with a second argument "PARAMS" binds values (above); any other
// further argument is ignored, as it always was.
void handle_execsql(Request &r) {
    if (!have_op(r, r.ops->execsql)) return;
    if (dqp::pkt_argc(r.packet) > 1 && is_params_word(r.arg(1))) return handle_execsql_params(r);
    std::string stmt = r.arg(0);
    char text[kExecsqlTextSize] = "";
    r.out1 = r.out2 = 0;
    int status = r.ops->execsql(r.info, stmt.c_str(), text, &r.result, &r.out1, &r.out2);
    text[kExecsqlTextSize - 1] = '\0';
    std::string o1 = std::to_string(r.out1), o2 = std::to_string(r.out2);
    if (status >= 0 && typed_session(r.info)) {
        // Typed sessions always learn the row count: -1 after a query or a
        // statement that changes no rows.
        const BackendExtensions *ext = g_extensions;
        int64_t rows = ext->last_row_count != nullptr ? ext->last_row_count(r.info) : -1;
        return send_reply(r, dqp::PKT_TYPE_OK, 0,
                          {o1, o2, r.result != 0 ? std::string_view(text) : std::string_view(),
                           std::to_string(rows)});
    }
    if (status < 0)
        send_reply(r, dqp::PKT_TYPE_NOK, status, {o1, o2});
    else if (r.result != 0)
        send_reply(r, dqp::PKT_TYPE_OK, 0, {o1, o2, text});
    else
        send_reply(r, dqp::PKT_TYPE_OK, 0, {o1, o2});
}

// MAPERROR: why the last request failed. A refusal of the runtime's own is
// answered from its text; the backend knows nothing of it and would tell an
// older failure.
void handle_maperror(Request &r) {
    bool typed = typed_session(r.info);
    if (!r.refusal.empty()) {
        if (typed) return send_reply(r, dqp::PKT_TYPE_OK, 0, {r.refusal, "", "", ""});
        return send_reply(r, dqp::PKT_TYPE_OK, 0, {r.refusal});
    }
    if (typed && g_extensions->typed_error != nullptr) {
        TypedError e{};
        if (g_extensions->typed_error(r.info, &e) != 0) return standard_reply(r, -1, {});
        e.message[sizeof e.message - 1] = e.sqlstate[sizeof e.sqlstate - 1] = '\0';
        e.detail[sizeof e.detail - 1] = e.hint[sizeof e.hint - 1] = '\0';
        return send_reply(r, dqp::PKT_TYPE_OK, 0, {e.message, e.sqlstate, e.detail, e.hint});
    }
    if (!have_op(r, r.ops->maperror)) return;
    char text[kMaperrorTextSize] = "";
    int status = r.ops->maperror(r.info, text);
    text[kMaperrorTextSize - 1] = '\0';
    if (status != 0) return standard_reply(r, -1, {});
    send_reply(r, dqp::PKT_TYPE_OK, 0, {text});
}

void handle_commit(Request &r) {
    if (!have_op(r, r.ops->commit)) return;
    r.out1 = 0;
    reply_out1(r, r.ops->commit(r.info, &r.out1));
}

void handle_rollback(Request &r) {
    if (!have_op(r, r.ops->rollback)) return;
    r.out1 = 0;
    reply_out1(r, r.ops->rollback(r.info, &r.out1));
}

// ---- operations that send their own replies ------------------------------

void handle_fetch(Request &r) {
    std::string cursor;
    if (!have_op(r, r.ops->fetch)) return;
    if (!name_arg(r, 0, &cursor)) return;
    r.ops->fetch(r.info, r.client, r.packet, &r.result, cursor.c_str(), 0);
}

void handle_fetchmany(Request &r) {
    std::string cursor;
    if (!have_op(r, r.ops->fetchmany)) return;
    if (!name_arg(r, 0, &cursor)) return;
    r.ops->fetchmany(r.info, r.client, r.packet, r.info, cursor.c_str());
}

void handle_fieldlist(Request &r) {
    std::string name;
    if (!have_op(r, r.ops->fieldlist)) return;
    if (!name_arg(r, 0, &name)) return;
    r.ops->fieldlist(r.info, r.client, r.packet, r.info, name.c_str());
}

void handle_tablelist(Request &r) {
    if (!have_op(r, r.ops->tablelist)) return;
    std::string pattern = r.arg(0);
    r.ops->tablelist(r.info, r.client, r.packet, r.info, pattern.c_str());
}

// EXTENDED_FETCH is answered only by its operation, even when the slot is
// empty or the operation fails: a gateway without the operation answers
// nothing. Where the operation answers, a refusal is a failed fetch (NOK).
void handle_extended_fetch(Request &r) {
    std::string cursor;
    if (r.ops->extend_fetch == nullptr)
        return keep_refusal(r, "this gateway does not serve EXTENDED_FETCH");
    if (!name_arg(r, 0, &cursor)) return;
    std::string how = r.arg(1);
    r.ops->extend_fetch(r.info, r.client, r.packet, &r.result, cursor.c_str(), how.c_str(),
                        r.arg_int(2), 0);
}

void handle_memo(Request &r) {
    std::string cursor;
    if (!have_op(r, r.ops->memo)) return;
    if (!name_arg(r, 0, &cursor)) return;
    std::string mode = r.arg(2);
    std::vector<char> work(kMemoWorkSize, '\0');
    r.ops->memo(r.info, r.client, r.packet, r.info, cursor.c_str(), work.data(), r.arg_int(1),
                mode.c_str());
}

}  // namespace vnx
