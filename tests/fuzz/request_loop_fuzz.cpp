// Fuzzes the gateway's request loop and every request handler over a backend
// that only records its calls (no ODBC). The input is a sequence of packets,
// each a 2-byte big-endian length and that many bytes of packet text; each is
// framed as a client would frame it, so that most inputs get past the framing
// into the handlers' argument checks. The loop runs until the input is used
// up (the lost connection ends it as ABORT); its replies go nowhere.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_log.h"
#include "protocol/packet.h"
#include "protocol/rle.h"
#include "runtime/backend.h"
#include "runtime/client_table.h"
#include "runtime/request_loop.h"

namespace {

using namespace vnx;

// Every operation succeeds (or fails, by the low bit of a counter) and fills
// its outputs, so that both the OK and the NOK paths of each handler run.
unsigned g_calls = 0;
int status() {
    return (++g_calls & 3) == 3 ? -1 : 0;
}

int op_start(int32_t *result, const char *, const char *, const char *, const char *, int) {
    *result = 1;
    return status();
}
int op_stop(int32_t *) {
    return 0;
}
int op_connect(int32_t *result, const char *, const char *, const char *, const char *,
               int32_t *err, int) {
    *result = 7;
    *err = 0;
    return status();
}
int op_disconnect(int32_t) {
    return status();
}
int op_cursor4(int32_t, const char *, int, const char *, int32_t *a, int32_t *b, int, int) {
    *a = *b = 1;
    return status();
}
int op_cursor2(int32_t, const char *, int32_t *a, int32_t *b) {
    *a = *b = 2;
    return status();
}
int op_open(int32_t, const char *, int32_t *a, int32_t *b, int, const int *, const char *const *,
            int) {
    *a = 0;
    *b = 5;
    return status();
}
int op_execsql(int32_t, const char *, char *name, int32_t *result, int32_t *, int32_t *) {
    strcpy(name, "DQP_SLT_00000001");
    *result = 1;
    return status();
}
int op_delete(int32_t, const char *, const char *, int, int32_t *, int32_t *) {
    return status();
}
int op_find(int32_t, char *, int32_t *, int, int, const char *, int, const char *, char *rowid,
            const char *, const char *, int) {
    strcpy(rowid, "2");
    return status();
}
int op_insert(int32_t, const char *, char *rowid, int, const int *, const char *const *, int32_t *,
              int32_t *record) {
    snprintf(rowid, 16, "%u", 100 + g_calls);
    *record = 4;
    return status();
}
int op_read(int32_t, int, char *, int32_t *, const char *, const char *, int, int, int, int) {
    return status();
}
int op_update(int32_t, const char *, const char *, int, int, const int *, const char *const *,
              int32_t *, int32_t *) {
    return status();
}
int op_maperror(int32_t, char *text) {
    strcpy(text, "fuzz");
    return status();
}
int op_fetch(int32_t, int, char *, int32_t *, const char *, int) {
    return status();
}
int op_list(int32_t, int, char *, int32_t, const char *) {
    return status();
}
int op_status(int32_t, int32_t *s) {
    *s = 0;
    return status();
}
int op_attach(int32_t, const char *, int, int32_t *s) {
    *s = 0;
    return status();
}
int op_use(int32_t, const char *, char *, int, ScrollWriter writer, ScrollCursor *cursor,
           const char *, const char *, int, int32_t *, int32_t *count) {
    const char *ids[] = {"1", "2", "3"};
    for (int i = 0; i < 3; i++)
        if (writer(cursor, i + 1, ids[i], 1, 3) < 0) return -1;
    *count = 3;
    return status();
}
int op_unuse(int32_t, int32_t *, int32_t *) {
    return 0;
}
int op_zap(int32_t, const char *, const char *, int32_t *) {
    return status();
}
int op_locked(int32_t, int, int32_t *result, const char *, const char *, int) {
    *result = 0;
    return status();
}
int op_name(int32_t, const char *) {
    return status();
}
int op_extend(int32_t, int, char *, int32_t *, const char *, const char *, int, int) {
    return status();
}
int op_memo(int32_t, int, char *, int32_t, const char *, char *, int, const char *) {
    return status();
}

BackendOps make_ops() {
    BackendOps ops{};
    ops.start = op_start;
    ops.stop = op_stop;
    ops.connect = op_connect;
    ops.disconnect = op_disconnect;
    ops.declare = op_cursor4;
    ops.undeclare = op_cursor2;
    ops.open = op_open;
    ops.close = op_cursor2;
    ops.execsql = op_execsql;
    ops.del = op_delete;
    ops.find = op_find;
    ops.insert = op_insert;
    ops.read = op_read;
    ops.update = op_update;
    ops.maperror = op_maperror;
    ops.fetch = op_fetch;
    ops.fetchmany = op_list;
    ops.commit = op_status;
    ops.rollback = op_status;
    ops.attach = op_attach;
    ops.detach = op_status;
    ops.use = op_use;
    ops.unuse = op_unuse;
    ops.zap = op_zap;
    ops.fieldlist = op_list;
    ops.tablelist = op_list;
    ops.islocked = op_locked;
    ops.lock = op_locked;
    ops.unlock = op_name;
    ops.islock_table = op_name;
    ops.lock_table = op_name;
    ops.rlock_table = op_name;
    ops.unlock_table = op_name;
    ops.extend_fetch = op_extend;
    ops.memo = op_memo;
    return ops;
}

// Frames each packet of the input; the frames in order.
std::string frames_of(const uint8_t *data, size_t size) {
    std::string out;
    char pkt[dqp::PKT_BUFSIZE], frame[dqp::PKT_MAX_SIZE];
    size_t i = 0;
    while (i + 2 <= size) {
        size_t len = (static_cast<size_t>(data[i]) << 8) | data[i + 1];
        i += 2;
        if (len > size - i) len = size - i;
        if (len < 8 || len > dqp::PKT_MAX_SIZE) {
            i += len;
            continue;
        }
        memcpy(pkt, data + i, len);
        pkt[len] = '\0';
        i += len;
        int flen = dqp::frame_encode(pkt, len, frame, sizeof frame);
        if (flen > 0) out.append(frame, static_cast<size_t>(flen));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const BackendOps ops = make_ops();
    fuzz_trace_on();
    std::string input = frames_of(data, size);
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    // The whole input waits in the socket before the loop reads it; the
    // client's end then goes away, which ends the loop as ABORT.
    if (write(fds[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        close(fds[0]);
        close(fds[1]);
        return 0;
    }
    shutdown(fds[1], SHUT_WR);
    int slot = attach_socket(fds[0], TRANSPORT_TCPIP);
    if (slot < 0) abort();
    client_slot(slot)->port = 5001;
    dqp_request_loop(slot, &ops);
    detach_from_client(slot);
    close(fds[1]);
    return 0;
}
