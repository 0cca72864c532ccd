// The request loop and its dispatch table. See request_loop.h.
//
// Notes: a gateway is single-threaded and serves one client, so every reply
// is sent before the loop waits for the next request, and the loop blocks
// only in its receive. Requests that arrived together are answered in one
// write. A lost client shows up as a failed receive, which is handled as
// ABORT: the session is disconnected once (the `connected` flag guards it)
// and the loop ends. Exceptions stop at the dispatch: a handler that throws
// (out of memory) is answered NOK -1 and the loop goes on.
#include "runtime/request_loop.h"

#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "protocol/packet.h"
#include "protocol/trace.h"
#include "runtime/activity.h"
#include "runtime/handover.h"
#include "runtime/packet_exchange.h"
#include "runtime/request.h"
#include "runtime/scroll_cursor.h"

namespace vnx {

// Sends a reply packet with decimal-text arguments.
void send_reply(Request &r, int type, int32_t info, std::initializer_list<std::string_view> args) {
    std::vector<std::string_view> v(args);
    (void)dqp_send_reply(r.client, r.packet, type, info, v);
}

// Standard reply: NOK with the status when it is negative, else OK with the
// result; both carry `args`.
void standard_reply(Request &r, int status, std::initializer_list<std::string_view> args) {
    if (status < 0)
        send_reply(r, dqp::PKT_TYPE_NOK, status, args);
    else
        send_reply(r, dqp::PKT_TYPE_OK, r.result, args);
}

// Standard reply with out1 and out2 as arguments.
void reply_outs(Request &r, int status) {
    std::string o1 = std::to_string(r.out1), o2 = std::to_string(r.out2);
    standard_reply(r, status, {o1, o2});
}

void reply_out1(Request &r, int status) {
    std::string o1 = std::to_string(r.out1);
    standard_reply(r, status, {o1});
}

void keep_refusal(Request &r, std::string why) {
    dqp::tracef("[dqp_server]", "%s refused: %s", r.name, why.c_str());
    if (why.size() >= static_cast<size_t>(kMaperrorTextSize))
        why.resize(kMaperrorTextSize - 1);  // MAPERROR's text result
    r.refusal = std::move(why);
}

void refuse(Request &r, std::string why, int32_t status) {
    keep_refusal(r, std::move(why));
    std::string o1 = std::to_string(r.out1), o2 = std::to_string(r.out2);
    switch (r.shape) {
        case ReplyShape::kNoReply:
            return;
        case ReplyShape::kNone:
        case ReplyShape::kByOperation:
            return send_reply(r, dqp::PKT_TYPE_NOK, status, {});
        case ReplyShape::kOuts:
            return send_reply(r, dqp::PKT_TYPE_NOK, status, {o1, o2});
        case ReplyShape::kOut1:
            return send_reply(r, dqp::PKT_TYPE_NOK, status, {o1});
        case ReplyShape::kRecord:
            return send_reply(r, dqp::PKT_TYPE_NOK, status, {"-1"});
        case ReplyShape::kCount:
            return send_reply(r, dqp::PKT_TYPE_NOK, status, {"0"});
    }
}

bool name_arg(Request &r, int i, std::string *out) {
    *out = r.arg(i);
    if (out->size() <= static_cast<size_t>(MAX_NAME_LEN)) return true;
    refuse(r, "name argument " + std::to_string(i) + " is longer than " +
                  std::to_string(MAX_NAME_LEN) + " characters");
    return false;
}

namespace {

// ---- table locks ----------------------------------------------------------

template <int (*BackendOps::*Slot)(int32_t, const char *)>
void handle_table_lock(Request &r) {
    auto op = r.ops->*Slot;
    if (!have_op(r, op)) return;
    std::string a0 = r.arg(0);
    standard_reply(r, failure_to_minus1(op(r.info, a0.c_str())), {});
}

// ---- slots 35..46 ------------------------------------------------------------

template <int Index>
void handle_file_op(Request &r) {
    auto op = r.ops->file_ops[Index];
    if (!have_op(r, op)) return;
    char texts[4][512] = {};
    int ntexts = 0;
    r.out1 = 0;
    int status = op(r.info, r.packet, r.size, &r.out1, texts, &ntexts);
    if (ntexts < 0) ntexts = 0;
    if (ntexts > 4) ntexts = 4;
    std::string o1 = std::to_string(r.out1);
    std::vector<std::string_view> args{o1};
    for (int i = 0; i < ntexts; i++) {
        texts[i][511] = '\0';
        args.emplace_back(texts[i]);
    }
    if (dqp::build_packet(r.packet, dqp::PKT_BUFSIZE,
                          status < 0 ? dqp::PKT_TYPE_NOK : dqp::PKT_TYPE_OK,
                          status < 0 ? status : r.result, args) >= 0)
        (void)dqp_sendpkt(r.client, r.packet, nullptr);
}

// ---- dispatch ---------------------------------------------------------------

// A request type: its handler, its name in messages and the shape of its
// replies, which its refusals follow too.
struct Dispatch {
    char type;
    const char *name;
    Handler handler;
    ReplyShape shape;
};

using enum ReplyShape;

constexpr Dispatch kDispatch[] = {
    {'0', "ATTACH", handle_attach, kOut1},
    {'1', "USE", handle_use, kOuts},
    {'2', "UNUSE", handle_unuse, kNone},
    {'3', "DETACH", handle_detach, kOut1},
    {'4', "LOGGING", handle_logging, kNoReply},
    {'5', "ZAP", handle_zap, kNone},
    {'6', "FIELDLIST", handle_fieldlist, kNone},
    {'7', "TABLELIST", handle_tablelist, kNone},
    {'8', "ISLOCKED", handle_islocked, kNone},
    {'9', "LOCK", handle_lock, kNone},
    {':', "UNLOCK", handle_table_lock<&BackendOps::unlock>, kNone},
    {';', "ISLOCKED_TABLE", handle_table_lock<&BackendOps::islock_table>, kNone},
    {'<', "LOCK_TABLE", handle_table_lock<&BackendOps::lock_table>, kNone},
    {'?', "RLOCK_TABLE", handle_table_lock<&BackendOps::rlock_table>, kNone},
    {'@', "UNLOCK_TABLE", handle_table_lock<&BackendOps::unlock_table>, kNone},
    {'A', "START", handle_start, kNone},
    {'B', "STOP", handle_stop, kNoReply},
    {'C', "CONNECT", handle_connect, kOuts},
    {'D', "DISCONNECT", handle_disconnect, kNone},
    {'E', "OPEN", handle_open, kOuts},
    {'F', "CLOSE", handle_close, kOuts},
    {'G', "EXECSQL", handle_execsql, kOuts},
    {'H', "COUNT", handle_count, kCount},
    {'I', "DELETE", handle_delete, kOuts},
    {'J', "FIND", handle_find, kRecord},
    {'K', "INSERT", handle_insert, kRecord},
    {'L', "READ", handle_read, kNone},
    {'M', "UPDATE", handle_update, kOuts},
    {'O', "MAPERROR", handle_maperror, kNone},
    {'P', "FETCH", handle_fetch, kNone},
    {'Q', "FETCHMANY", handle_fetchmany, kNone},
    {'S', "ABORT", handle_abort, kNoReply},
    {'U', "DECLARE", handle_declare, kOuts},
    {'V', "UNDECLARE", handle_undeclare, kOuts},
    {'X', "COMMIT", handle_commit, kOut1},
    {'Z', "ROLLBACK", handle_rollback, kOut1},
    {'a', "FINDFILE", handle_file_op<0>, kNone},
    {'b', "FILEATTRIBUTES", handle_file_op<1>, kNone},
    {'c', "TXT_OPEN", handle_file_op<2>, kNone},
    {'d', "TXT_CLOSE", handle_file_op<3>, kNone},
    {'e', "TXT_READ", handle_file_op<4>, kNone},
    {'g', "TXT_WRITE", handle_file_op<6>, kNone},
    {'h', "LOOKUP", handle_file_op<7>, kNone},
    {'i', "NEW", handle_file_op<8>, kNone},
    {'j', "METHOD", handle_file_op<9>, kNone},
    {'k', "SETPROPERTY", handle_file_op<11>, kNone},
    {'l', "GETPROPERTY", handle_file_op<10>, kNone},
    {'m', "EXTENDED_FETCH", handle_extended_fetch, kByOperation},
    {'o', "MEMO", handle_memo, kNone},
};

// Types without a handler: answered NOK 0 without arguments.
constexpr Dispatch kUnserved = {0, "request", nullptr, kNone};

const Dispatch &find_dispatch(int type) {
    for (const Dispatch &d : kDispatch)
        if (d.type == type) return d;
    return kUnserved;
}

// Why the received packet cannot be handed to its handler; empty when it can.
// A NUL byte is refused like a malformed packet: the decoded packet may hold
// one (the run-length code carries any byte), but every handler passes its
// arguments on as NUL-terminated texts, which would silently cut them.
std::string packet_fault(const Request &r) {
    if (dqp::packet_check(r.packet, r.size) != 0)
        return "the request packet is malformed: its header, offsets or lengths do not fit it";
    if (memchr(r.packet, '\0', r.size) == nullptr) return "";
    std::string_view arg;
    for (int i = 0; dqp::packet_arg(r.packet, r.size, i, &arg) == 0; i++)
        if (arg.find('\0') != std::string_view::npos)
            return "argument " + std::to_string(i) +
                   " holds a NUL byte, which no request may carry";
    return "the request packet holds a NUL byte outside its arguments";
}

// The type as a message shows it: 'f', or its code when it is no printable
// character.
std::string type_text(int type) {
    char text[16];
    if (type > ' ' && type < 0x7F)
        snprintf(text, sizeof text, "'%c'", type);
    else
        snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(type & 0xFF));
    return text;
}

// Runs one handler; the seam where exceptions (out of memory) stop and
// become the protocol's failure status.
void dispatch(Request &r, Handler h) {
    try {
        h(r);
    } catch (const std::exception &e) {
        refuse(r, std::string("the request failed: ") + e.what());
    }
}

// Before a login, when one is required, only START and STOP are served
// (ABORT never reaches the handlers' dispatch), and MAPERROR when it tells
// why the runtime refused the last request: nothing of the backend is.
bool served_before_login(const Request &r) {
    return r.type == dqp::PKT_TYPE_START || r.type == dqp::PKT_TYPE_STOP ||
           (r.type == dqp::PKT_TYPE_MAPERROR && !r.refusal.empty());
}

// Handles one received request of a type other than ABORT. A malformed packet
// is refused with the arguments of its type's reply shape; one of a type that
// is never answered by the loop (LOGGING, STOP, EXTENDED_FETCH) closes the
// connection instead, since any NOK would be taken by the client for the
// answer to its next request.
void handle_request(Request &r, const Dispatch &d) {
    std::string fault = packet_fault(r);
    if (!fault.empty()) {
        if (d.shape == kNoReply || d.shape == kByOperation) {
            dqp::tracef("[dqp_server]", "%s, connection closed", fault.c_str());
            return handle_abort(r);
        }
        return refuse(r, std::move(fault));
    }
    if (d.handler == nullptr)
        return refuse(r, "request type " + type_text(r.type) + " is not served", 0);
    if (r.login_required && !r.started && !served_before_login(r))
        return refuse(r, "log in first: START with a user name and password");
    dispatch(r, d.handler);
}

// The requests whose arguments may come in pieces: those that carry a
// statement or parameter values.
bool takes_pieces(int type) {
    return type == dqp::PKT_TYPE_EXECSQL || type == dqp::PKT_TYPE_DECLARE ||
           type == dqp::PKT_TYPE_OPEN;
}

// Handles a request that follows PIECE packets: its long arguments are
// joined before anything reads them. A request of a type that takes no
// pieces, or whose pieces break a rule (request_pieces.h), is refused; the
// pieces are dropped either way.
void handle_with_pieces(Request &r, const Dispatch &d, RequestPieces &pieces) {
    std::string why;
    bool well_formed = packet_fault(r).empty();  // else handle_request refuses it as such
    if (!takes_pieces(r.type))
        why = std::string("pieces of long arguments were sent before ") + d.name +
              ", which takes none";
    else if (well_formed)
        why = pieces.join(r.packet, r.size);
    if (!why.empty()) {
        refuse(r, std::move(why));
    } else {
        if (well_formed) r.pieces = &pieces;
        activity_begin(r);
        handle_request(r, d);
        activity_end(r);
        r.pieces = nullptr;
    }
    pieces.clear();
}

}  // namespace

int dqp_request_loop(int client, const BackendOps *ops, bool login_required, bool started) {
    static char packet[dqp::PKT_BUFSIZE];
    Request r;
    r.client = client;
    r.packet = packet;
    r.ops = ops;
    r.login_required = login_required;
    r.started = started;
    // Requests that arrive together (a client's pipeline) have their replies
    // gathered and written together once the last of them is answered.
    std::optional<ReplyBatch> pipeline;
    bool announce = started;
    bool answered = false;  // a request has been handled
    // Pieces of the next request's long arguments; the limit is read at the
    // session's first piece, so a session without pieces never reads it.
    RequestPieces pieces(0);
    bool limit_read = false;
    while (!r.done) {
        if (pipeline && !dqp_request_buffered(client)) pipeline.reset();
        // A handed client's CONNECT is answered before the notice's round trip.
        if (announce && answered && !pipeline) {
            announce = false;
            announce_handed_session();
        }
        r.type = dqp_getpkt(client, packet, &r.info, &r.size);
        if (!pipeline && dqp_request_buffered(client)) pipeline.emplace(client);
        if (r.type == dqp::PKT_TYPE_PIECE) {       // gathered, never answered
            if (r.login_required && !r.started) {  // nothing is held for a stranger
                pieces.reject("log in first: START with a user name and password");
                continue;
            }
            if (!limit_read) pieces.set_limit(max_statement_bytes());
            limit_read = true;
            pieces.add(packet, r.size);
            continue;
        }
        const Dispatch &d = find_dispatch(r.type);
        r.name = d.name;
        r.shape = d.shape;
        r.result = r.info;
        r.out1 = r.out2 = 0;
        // A refusal is what MAPERROR tells until another request is handled.
        if (r.type != dqp::PKT_TYPE_MAPERROR) r.refusal.clear();
        if (r.type == dqp::PKT_TYPE_ABORT) {
            pipeline.reset();  // what was answered still leaves
            handle_abort(r);
            break;
        }
        if (pieces.pending()) {
            handle_with_pieces(r, d, pieces);
        } else {
            activity_begin(r);
            handle_request(r, d);
            activity_end(r);
        }
        answered = true;
    }
    pipeline.reset();
    release_all_scrollcursors();
    return 0;
}

}  // namespace vnx
