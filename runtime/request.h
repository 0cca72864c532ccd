// The request in flight and the helpers every request handler shares: the
// private interface between the request loop (request_loop.cpp) and its
// handlers (session_handlers.cpp, record_handlers.cpp). Not for use outside
// runtime/.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

#include "protocol/packet.h"
#include "runtime/backend.h"
#include "runtime/client_table.h"
#include "runtime/request_pieces.h"

namespace vnx {

inline constexpr int kExecsqlTextSize = 240;
inline constexpr int kMaperrorTextSize = 512;
inline constexpr int kMemoWorkSize = 16384;

// What a request type's replies carry, OK and NOK alike. Every refusal of a
// request answers with the arguments of its type's shape, so that a client
// that indexes the arguments of a NOK finds them.
enum class ReplyShape {
    kNone,    // no arguments
    kOuts,    // out1, out2
    kOut1,    // out1
    kRecord,  // a record number (-1 on refusal)
    kCount,   // a record count (0 on refusal)
    // Never answered (LOGGING, STOP, ABORT): a refusal sends nothing.
    kNoReply,
    // Answered only by its operation (EXTENDED_FETCH): a refusal is a failed
    // fetch, NOK without arguments; a malformed one closes the connection.
    kByOperation,
};

// One request in flight and the loop's state across requests.
struct Request {
    int client = 0;
    char *packet = nullptr;  // PKT_BUFSIZE bytes; the reply is built here too
    size_t size = 0;         // received packet's length
    const BackendOps *ops = nullptr;
    int type = 0;           // the request's pkt_type
    const char *name = "";  // the request's name in messages ("UPDATE")
    ReplyShape shape = ReplyShape::kNone;
    int32_t info = 0;    // the request's pkt_info
    int32_t result = 0;  // set to info before each request; ops may overwrite it
    int32_t out1 = 0, out2 = 0;
    bool connected = false;
    bool done = false;  // the loop ends after this request
    // START must log in as a console user (login.h); until it has, only
    // START, STOP and ABORT are served.
    bool login_required = false;
    bool started = false;  // a START has succeeded
    // Why the runtime refused the last request, in words for the user; empty
    // when it did not. MAPERROR answers it instead of asking the backend.
    std::string refusal;

    // The request's long arguments joined from their pieces; null when it
    // came without pieces (set by the loop for the request's handling only).
    const RequestPieces *pieces = nullptr;

    // Argument i whole (joined from its pieces where it had some); empty
    // when absent. The view is good until the reply is built in `packet`.
    std::string_view arg_view(int i) const {
        if (pieces != nullptr && i >= 0)
            if (const std::string *whole = pieces->joined(static_cast<uint32_t>(i))) return *whole;
        std::string_view v;
        return dqp::packet_arg(packet, size, i, &v) == 0 ? v : std::string_view();
    }
    std::string arg(int i) const { return std::string(arg_view(i)); }
    // Decimal value of argument i: leading digits (with sign), none gives 0.
    int arg_int(int i) const { return atoi(arg(i).c_str()); }
    ClientSlot &slot() const { return *client_slot(client); }
};

using Handler = void (*)(Request &);

// Sends a reply packet with the given arguments.
void send_reply(Request &r, int type, int32_t info, std::initializer_list<std::string_view> args);
// Standard reply: NOK with the status when it is negative, else OK with the
// result; both carry `args`.
void standard_reply(Request &r, int status, std::initializer_list<std::string_view> args);
// Standard reply with out1 and out2 (or out1 alone) as arguments.
void reply_outs(Request &r, int status);
void reply_out1(Request &r, int status);
// Any non-zero status becomes -1.
inline int failure_to_minus1(int status) {
    return status != 0 ? -1 : 0;
}

// Refuses the request in the runtime, before or instead of the backend: keeps
// `why` for MAPERROR and answers NOK with `status` and the arguments of the
// request's reply shape (nothing for a request that is never answered).
// Every refusal the runtime makes goes through here.
void refuse(Request &r, std::string why, int32_t status = -1);
// Keeps `why` for MAPERROR without answering (a request nobody would read an
// answer to).
void keep_refusal(Request &r, std::string why);
// False, and the request refused, when the backend leaves its operation's
// slot empty.
template <class Op>
bool have_op(Request &r, Op op) {
    if (op != nullptr) return true;
    refuse(r, std::string("this gateway does not serve ") + r.name);
    return false;
}
// Argument i as a name: false (and the request refused) when it is longer
// than the 79-character name field.
bool name_arg(Request &r, int i, std::string *out);

// The file a LOGGING request names: its base name with ".log" appended unless
// it ends so, in the DB_ROOT directory; empty when nothing usable is left.
std::string logging_path(std::string name);

// Handlers, by request type (see the dispatch table in request_loop.cpp).
void handle_start(Request &r);
void handle_stop(Request &r);
void handle_abort(Request &r);
void handle_connect(Request &r);
void handle_disconnect(Request &r);
void handle_logging(Request &r);
void handle_attach(Request &r);
void handle_detach(Request &r);
void handle_declare(Request &r);
void handle_undeclare(Request &r);
void handle_open(Request &r);
void handle_close(Request &r);
void handle_execsql(Request &r);
void handle_maperror(Request &r);
void handle_commit(Request &r);
void handle_rollback(Request &r);
void handle_fetch(Request &r);
void handle_fetchmany(Request &r);
void handle_fieldlist(Request &r);
void handle_tablelist(Request &r);
void handle_extended_fetch(Request &r);
void handle_memo(Request &r);
void handle_use(Request &r);
void handle_unuse(Request &r);
void handle_zap(Request &r);
void handle_count(Request &r);
void handle_read(Request &r);
void handle_delete(Request &r);
void handle_update(Request &r);
void handle_insert(Request &r);
void handle_find(Request &r);
void handle_islocked(Request &r);
void handle_lock(Request &r);

}  // namespace vnx
