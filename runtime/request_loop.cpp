// The request loop and the handlers of every request type. See request_loop.h.
//
// Notes: a gateway is single-threaded and serves one client, so each reply is
// sent before the next request is read, and the loop blocks only in its
// receive. A lost client shows up as a failed receive, which is handled as
// ABORT: the session is disconnected once (the `connected` flag guards it)
// and the loop ends.
#include "runtime/request_loop.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/packet.h"
#include "protocol/trace.h"
#include "runtime/client_table.h"
#include "runtime/packet_exchange.h"
#include "support/registry.h"

namespace vnx {

namespace {

constexpr int kExecsqlTextSize = 240;
constexpr int kMaperrorTextSize = 512;
constexpr int kMemoWorkSize = 16384;

// One request in flight and the loop's state across requests.
struct Request {
    int client = 0;
    char *packet = nullptr;  // PKT_BUFSIZE bytes; the reply is built here too
    size_t size = 0;         // received packet's length
    const BackendOps *ops = nullptr;
    int32_t info = 0;        // the request's pkt_info
    int32_t result = 0;      // set to info before each request; ops may overwrite it
    int32_t out1 = 0, out2 = 0;
    bool connected = false;
    bool done = false;       // the loop ends after this request

    std::string arg(int i) const { return dqp::arg_string(packet, size, i); }
    // Decimal value of argument i: leading digits (with sign), none gives 0.
    int arg_int(int i) const { return atoi(arg(i).c_str()); }
    ClientSlot &slot() const { return *client_slot(client); }
};

using Handler = void (*)(Request &);

// Sends a reply packet with decimal-text arguments.
void send_reply(Request &r, int type, int32_t info, std::initializer_list<std::string_view> args) {
    std::vector<std::string_view> v(args);
    dqp_send_reply(r.client, r.packet, type, info, v);
}

void send_nok(Request &r, int32_t status) { send_reply(r, dqp::PKT_TYPE_NOK, status, {}); }

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

int failure_to_minus1(int status) { return status != 0 ? -1 : 0; }

// Argument i as a name: false (and a NOK -1 reply) when it is longer than the
// 79-character name field.
bool name_arg(Request &r, int i, std::string *out) {
    *out = r.arg(i);
    if (out->size() <= static_cast<size_t>(MAX_NAME_LEN)) return true;
    dqp::tracef("[dqp_server]", "name argument %d longer than %d characters refused", i,
                MAX_NAME_LEN);
    send_nok(r, -1);
    return false;
}

// ---- session and control -------------------------------------------------

void handle_start(Request &r) {
    if (r.ops->start == nullptr) {
        send_nok(r, -1);
        r.done = true;
        return;
    }
    std::string a0 = r.arg(0), a1 = r.arg(1), a2 = r.arg(2), a5 = r.arg(5);
    int status = r.ops->start(&r.result, a0.c_str(), a1.c_str(), a2.c_str(), a5.c_str(),
                              r.slot().port);
    standard_reply(r, status, {});
    if (status < 0) r.done = true;
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
    if (r.ops->connect == nullptr) return send_nok(r, -1);
    r.out1 = r.out2 = 0;
    std::string a0 = r.arg(0), a1 = r.arg(1), a2 = r.arg(2), a3 = r.arg(3);
    int status = r.ops->connect(&r.result, a0.c_str(), a1.c_str(), a2.c_str(), a3.c_str(),
                                &r.out1, r.slot().port);
    if (status >= 0) r.connected = true;
    reply_outs(r, status);
}

void handle_disconnect(Request &r) {
    int status = 1;  // nothing to disconnect: answered OK, no operation called
    if (r.connected) {
        if (r.ops->disconnect == nullptr) return send_nok(r, -1);
        status = r.ops->disconnect(r.info);
    }
    if (status >= 0) r.connected = false;
    standard_reply(r, status, {});
}

// LOGGING: "1" opens the named log in the DB_ROOT directory (only the base
// name of what the client sends is used, so a client cannot write anywhere
// else) and switches tracing on; anything else switches it off. No reply.
void handle_logging(Request &r) {
    dqp::close_log_stream();
    if (r.arg(0) != "1") {
        dqp::set_tracing(0);
        return;
    }
    std::string name = r.arg(1);
    size_t cut = name.find_last_of("/\\");
    if (cut != std::string::npos) name = name.substr(cut + 1);
    if (name.empty() || name == "." || name == "..") {
        dqp::set_tracing(0);
        return;
    }
    std::string root = get_registry_value("DB_ROOT", kRootKey);
    std::string path = (root.empty() ? std::string(".") : root) + "/" + name;
    if (dqp::open_log(path) != 0) dqp::set_tracing(0);
}

// ---- database, cursors and statements -----------------------------------

void handle_attach(Request &r) {
    std::string db = r.arg(0), shared = r.arg(1);
    dqp::tracef("[dqp_server_attach]", "database='%s', shared='%s'", db.c_str(), shared.c_str());
    if (r.ops->attach == nullptr) return send_nok(r, -1);
    r.out1 = 0;
    int status = r.ops->attach(r.info, db.c_str(), shared == "SHARED" ? 1 : 0, &r.out1);
    dqp::trace("[dqp_server_attach]", "returned ok");
    reply_out1(r, status);
}

void handle_detach(Request &r) {
    if (r.ops->detach == nullptr) return send_nok(r, -1);
    r.out1 = 0;
    reply_out1(r, r.ops->detach(r.info, &r.out1));
}

void handle_declare(Request &r) {
    std::string cursor;
    if (r.ops->declare == nullptr) return send_nok(r, -1);
    if (!name_arg(r, 0, &cursor)) return;
    std::string stmt = r.arg(1), how = r.arg(2);
    int mode = how == "UPDATE" ? 1 : how == "INSERT" ? 2 : 0;
    r.out1 = r.out2 = 0;
    int status = r.ops->declare(r.info, cursor.c_str(), mode, stmt.c_str(), &r.out1, &r.out2, 0,
                                r.slot().table_closed);
    reply_outs(r, failure_to_minus1(status));
}

void handle_undeclare(Request &r) {
    std::string cursor;
    if (r.ops->undeclare == nullptr) return send_nok(r, -1);
    if (!name_arg(r, 0, &cursor)) return;
    r.out1 = r.out2 = 0;
    reply_outs(r, failure_to_minus1(r.ops->undeclare(r.info, cursor.c_str(), &r.out1, &r.out2)));
}

// OPEN with a second argument would hand its text to the backend where a
// parameter count belongs; it is refused instead of served wrongly.
void handle_open(Request &r) {
    std::string cursor;
    if (r.ops->open == nullptr || dqp::pkt_argc(r.packet) > 1) return send_nok(r, -1);
    if (!name_arg(r, 0, &cursor)) return;
    r.out1 = r.out2 = 0;
    int status = r.ops->open(r.info, cursor.c_str(), &r.out1, &r.out2, 0, nullptr, nullptr, 0);
    r.slot().open_count = r.out2;
    reply_outs(r, failure_to_minus1(status));
}

void handle_close(Request &r) {
    std::string cursor;
    if (r.ops->close == nullptr) return send_nok(r, -1);
    if (!name_arg(r, 0, &cursor)) return;
    r.out1 = r.out2 = 0;
    int status = r.ops->close(r.info, cursor.c_str(), &r.out1, &r.out2);
    r.slot().open_count = 0;
    r.slot().table_closed = 1;
    reply_outs(r, failure_to_minus1(status));
}

void handle_execsql(Request &r) {
    if (r.ops->execsql == nullptr) return send_nok(r, -1);
    std::string stmt = r.arg(0);
    char text[kExecsqlTextSize] = "";
    r.out1 = r.out2 = 0;
    int status = r.ops->execsql(r.info, stmt.c_str(), text, &r.result, &r.out1, &r.out2);
    text[kExecsqlTextSize - 1] = '\0';
    std::string o1 = std::to_string(r.out1), o2 = std::to_string(r.out2);
    if (status < 0)
        send_reply(r, dqp::PKT_TYPE_NOK, status, {o1, o2});
    else if (r.result != 0)
        send_reply(r, dqp::PKT_TYPE_OK, 0, {o1, o2, text});
    else
        send_reply(r, dqp::PKT_TYPE_OK, 0, {o1, o2});
}

void handle_maperror(Request &r) {
    if (r.ops->maperror == nullptr) return send_nok(r, -1);
    char text[kMaperrorTextSize] = "";
    int status = r.ops->maperror(r.info, text);
    text[kMaperrorTextSize - 1] = '\0';
    if (status != 0) return send_nok(r, -1);
    send_reply(r, dqp::PKT_TYPE_OK, 0, {text});
}

void handle_commit(Request &r) {
    if (r.ops->commit == nullptr) return send_nok(r, -1);
    r.out1 = 0;
    reply_out1(r, r.ops->commit(r.info, &r.out1));
}

void handle_rollback(Request &r) {
    if (r.ops->rollback == nullptr) return send_nok(r, -1);
    r.out1 = 0;
    reply_out1(r, r.ops->rollback(r.info, &r.out1));
}

// ---- operations that send their own replies ------------------------------

void handle_fetch(Request &r) {
    std::string cursor;
    if (r.ops->fetch == nullptr) return send_nok(r, -1);
    if (!name_arg(r, 0, &cursor)) return;
    r.ops->fetch(r.info, r.client, r.packet, &r.result, cursor.c_str(), 0);
}

void handle_fetchmany(Request &r) {
    std::string cursor;
    if (r.ops->fetchmany == nullptr) return send_nok(r, -1);
    if (!name_arg(r, 0, &cursor)) return;
    r.ops->fetchmany(r.info, r.client, r.packet, r.info, cursor.c_str());
}

void handle_fieldlist(Request &r) {
    std::string name;
    if (r.ops->fieldlist == nullptr) return send_nok(r, -1);
    if (!name_arg(r, 0, &name)) return;
    r.ops->fieldlist(r.info, r.client, r.packet, r.info, name.c_str());
}

void handle_tablelist(Request &r) {
    if (r.ops->tablelist == nullptr) return send_nok(r, -1);
    std::string pattern = r.arg(0);
    r.ops->tablelist(r.info, r.client, r.packet, r.info, pattern.c_str());
}

// EXTENDED_FETCH is answered only by its operation, even when the slot is
// empty or the operation fails.
void handle_extended_fetch(Request &r) {
    std::string cursor;
    if (r.ops->extend_fetch == nullptr) return;
    if (!name_arg(r, 0, &cursor)) return;
    std::string how = r.arg(1);
    r.ops->extend_fetch(r.info, r.client, r.packet, &r.result, cursor.c_str(), how.c_str(),
                        r.arg_int(2), 0);
}

void handle_memo(Request &r) {
    std::string cursor;
    if (r.ops->memo == nullptr) return send_nok(r, -1);
    if (!name_arg(r, 0, &cursor)) return;
    std::string mode = r.arg(2);
    std::vector<char> work(kMemoWorkSize, '\0');
    r.ops->memo(r.info, r.client, r.packet, r.info, cursor.c_str(), work.data(), r.arg_int(1),
                mode.c_str());
}

// ---- table locks ----------------------------------------------------------

template <int (*BackendOps::*Slot)(int32_t, const char *)>
void handle_table_lock(Request &r) {
    auto op = r.ops->*Slot;
    if (op == nullptr) return send_nok(r, -1);
    std::string a0 = r.arg(0);
    standard_reply(r, failure_to_minus1(op(r.info, a0.c_str())), {});
}

// ---- record-level requests -------------------------------------------------

// COUNT without a scroll cursor answers the row count of the last OPEN.
void handle_count(Request &r) {
    int count = r.slot().open_count != -1 ? r.slot().open_count : 0;
    std::string c = std::to_string(count);
    standard_reply(r, 0, {c});
}

// Record-level requests whose backend slot is empty are answered NOK -1.
// (Record-level access arrives with the table-access backend.)
void handle_record_unserved(Request &r) { send_nok(r, -1); }

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
    {'1', handle_record_unserved},
    {'2', handle_record_unserved},
    {'3', handle_detach},
    {'4', handle_logging},
    {'5', handle_record_unserved},
    {'6', handle_fieldlist},
    {'7', handle_tablelist},
    {'8', handle_record_unserved},
    {'9', handle_record_unserved},
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
    {'I', handle_record_unserved},
    {'J', handle_record_unserved},
    {'K', handle_record_unserved},
    {'L', handle_record_unserved},
    {'M', handle_record_unserved},
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

}  // namespace

int dqp_request_loop(int client, const BackendOps *ops) {
    static char packet[dqp::PKT_BUFSIZE];
    Request r;
    r.client = client;
    r.packet = packet;
    r.ops = ops;
    while (!r.done) {
        int type = dqp_getpkt(client, packet, &r.info);
        r.size = strlen(packet);
        r.result = r.info;
        r.out1 = r.out2 = 0;
        if (type == dqp::PKT_TYPE_ABORT) {
            handle_abort(r);
            break;
        }
        if (dqp::packet_check(packet, r.size) != 0) {
            dqp::trace("[dqp_server]", "malformed packet refused");
            send_nok(r, -1);
            continue;
        }
        Handler h = find_handler(type);
        if (h == nullptr)
            send_nok(r, 0);
        else
            h(r);
    }
    return 0;
}

}  // namespace vnx
