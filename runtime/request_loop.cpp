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
#include "runtime/packet_exchange.h"
#include "runtime/request.h"
#include "runtime/scroll_cursor.h"

namespace vnx {

// Sends a reply packet with decimal-text arguments.
void send_reply(Request &r, int type, int32_t info, std::initializer_list<std::string_view> args) {
    std::vector<std::string_view> v(args);
    dqp_send_reply(r.client, r.packet, type, info, v);
}

void send_nok(Request &r, int32_t status) {
    send_reply(r, dqp::PKT_TYPE_NOK, status, {});
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

bool name_arg(Request &r, int i, std::string *out) {
    *out = r.arg(i);
    if (out->size() <= static_cast<size_t>(MAX_NAME_LEN)) return true;
    dqp::tracef("[dqp_server]", "name argument %d longer than %d characters refused", i,
                MAX_NAME_LEN);
    send_nok(r, -1);
    return false;
}

namespace {

// ---- table locks ----------------------------------------------------------

template <int (*BackendOps::*Slot)(int32_t, const char *)>
void handle_table_lock(Request &r) {
    auto op = r.ops->*Slot;
    if (op == nullptr) return send_nok(r, -1);
    std::string a0 = r.arg(0);
    standard_reply(r, failure_to_minus1(op(r.info, a0.c_str())), {});
}

// ---- slots 35..46 ------------------------------------------------------------

template <int Index>
void handle_file_op(Request &r) {
    auto op = r.ops->file_ops[Index];
    if (op == nullptr) return send_nok(r, -1);
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
        dqp_sendpkt(r.client, r.packet, nullptr);
}

// ---- dispatch ---------------------------------------------------------------

struct Dispatch {
    char type;
    Handler handler;
};

constexpr Dispatch kDispatch[] = {
    {'0', handle_attach},
    {'1', handle_use},
    {'2', handle_unuse},
    {'3', handle_detach},
    {'4', handle_logging},
    {'5', handle_zap},
    {'6', handle_fieldlist},
    {'7', handle_tablelist},
    {'8', handle_islocked},
    {'9', handle_lock},
    {':', handle_table_lock<&BackendOps::unlock>},
    {';', handle_table_lock<&BackendOps::islock_table>},
    {'<', handle_table_lock<&BackendOps::lock_table>},
    {'?', handle_table_lock<&BackendOps::rlock_table>},
    {'@', handle_table_lock<&BackendOps::unlock_table>},
    {'A', handle_start},
    {'B', handle_stop},
    {'C', handle_connect},
    {'D', handle_disconnect},
    {'E', handle_open},
    {'F', handle_close},
    {'G', handle_execsql},
    {'H', handle_count},
    {'I', handle_delete},
    {'J', handle_find},
    {'K', handle_insert},
    {'L', handle_read},
    {'M', handle_update},
    {'O', handle_maperror},
    {'P', handle_fetch},
    {'Q', handle_fetchmany},
    {'S', handle_abort},
    {'U', handle_declare},
    {'V', handle_undeclare},
    {'X', handle_commit},
    {'Z', handle_rollback},
    {'a', handle_file_op<0>},
    {'b', handle_file_op<1>},
    {'c', handle_file_op<2>},
    {'d', handle_file_op<3>},
    {'e', handle_file_op<4>},
    {'g', handle_file_op<6>},
    {'h', handle_file_op<7>},
    {'i', handle_file_op<8>},
    {'j', handle_file_op<9>},
    {'k', handle_file_op<11>},
    {'l', handle_file_op<10>},
    {'m', handle_extended_fetch},
    {'o', handle_memo},
};

Handler find_handler(int type) {
    for (const Dispatch &d : kDispatch)
        if (d.type == type) return d.handler;
    return nullptr;
}

// Requests that are never answered: a NOK for a malformed one would be taken
// by the client for the answer to its next request.
bool never_answered(int type) {
    return type == dqp::PKT_TYPE_LOGGING || type == dqp::PKT_TYPE_STOP ||
           type == dqp::PKT_TYPE_ABORT || type == dqp::PKT_TYPE_EXTENDED_FETCH;
}

// Runs one handler; the seam where exceptions (out of memory) stop and
// become the protocol's failure status.
void dispatch(Request &r, Handler h) {
    try {
        h(r);
    } catch (const std::exception &e) {
        dqp::tracef("[dqp_server]", "request failed: %s", e.what());
        send_nok(r, -1);
    }
}

}  // namespace

int dqp_request_loop(int client, const BackendOps *ops) {
    static char packet[dqp::PKT_BUFSIZE];
    Request r;
    r.client = client;
    r.packet = packet;
    r.ops = ops;
    // Requests that arrive together (a client's pipeline) have their replies
    // gathered and written together once the last of them is answered.
    std::optional<ReplyBatch> pipeline;
    while (!r.done) {
        if (pipeline && !dqp_request_buffered(client)) pipeline.reset();
        int type = dqp_getpkt(client, packet, &r.info);
        if (!pipeline && dqp_request_buffered(client)) pipeline.emplace(client);
        r.size = strlen(packet);
        r.result = r.info;
        r.out1 = r.out2 = 0;
        if (type == dqp::PKT_TYPE_ABORT) {
            pipeline.reset();  // what was answered still leaves
            handle_abort(r);
            break;
        }
        if (dqp::packet_check(packet, r.size) != 0) {
            if (never_answered(type)) {
                dqp::trace("[dqp_server]", "malformed packet, connection closed");
                handle_abort(r);
                break;
            }
            dqp::trace("[dqp_server]", "malformed packet refused");
            send_nok(r, -1);
            continue;
        }
        Handler h = find_handler(type);
        if (h == nullptr)
            send_nok(r, 0);
        else
            dispatch(r, h);
    }
    pipeline.reset();
    release_all_scrollcursors();
    return 0;
}

}  // namespace vnx
