// A backend for the request loop's tests, and a session that runs the loop
// over it. The backend fills every one of the 49
// slots, records which operations were called, and answers as it is told:
// every operation returns `status`; operations that answer for themselves
// send OK with the single argument "by op" on success (READ sends its row as
// DATA) and, except READ, NOK on failure, as the gateway's do. MAPERROR's text
// is kBackendText. Not thread-safe: the test changes the state only between
// a request and its reply.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "client/dqp_client.h"
#include "protocol/packet.h"
#include "protocol/rle.h"
#include "runtime/backend.h"
#include "runtime/client_table.h"
#include "runtime/packet_exchange.h"
#include "runtime/request_loop.h"

namespace recording {

inline constexpr const char *kBackendText = "the backend's own diagnostic";

struct State {
    std::vector<std::string> log;                     // names of the operations called
    int status = 0;                                   // returned by every operation
    std::vector<std::string> rows{"R1", "R2", "R3"};  // row ids USE writes
    std::string found_rowid = "R1";                   // FIND's answer
    std::string new_rowid = "NEW1";                   // INSERT's answer
    std::string statement;                            // EXECSQL's last text
};
inline State state;

inline int called(const char *name) {
    state.log.emplace_back(name);
    return state.status;
}

// What an operation that answers for itself sends.
inline int answer(const char *name, int client, char *packet, int32_t info) {
    int status = called(name);
    std::string_view by_op[] = {"by op"};
    if (status == 0)
        (void)vnx::dqp_send_reply(client, packet, dqp::PKT_TYPE_OK, info,
                                  by_op);  // the client side checks what arrived
    else
        (void)vnx::dqp_send_reply(client, packet, dqp::PKT_TYPE_NOK, status,
                                  {});  // the client side checks what arrived
    return status;
}

inline int start(int32_t *result, const char *, const char *, const char *, const char *, int) {
    *result = 4242;
    return called("start");
}
inline int stop(int32_t *) {
    return called("stop");
}
inline int connect(int32_t *result, const char *, const char *, const char *, const char *,
                   int32_t *out1, int) {
    *result = 77;
    *out1 = 5;
    return called("connect");
}
inline int disconnect(int32_t) {
    return called("disconnect");
}
inline int declare(int32_t, const char *, int, const char *, int32_t *out1, int32_t *out2, int,
                   int) {
    *out1 = 1;
    *out2 = 2;
    return called("declare");
}
inline int cursor_op(const char *name, int32_t *out1, int32_t *out2) {
    *out1 = 1;
    *out2 = 2;
    return called(name);
}
inline int undeclare(int32_t, const char *, int32_t *out1, int32_t *out2) {
    return cursor_op("undeclare", out1, out2);
}
inline int open(int32_t, const char *, int32_t *out1, int32_t *out2, int, const int *,
                const char *const *, int) {
    return cursor_op("open", out1, out2);
}
inline int close(int32_t, const char *, int32_t *out1, int32_t *out2) {
    return cursor_op("close", out1, out2);
}
inline int execsql(int32_t, const char *statement, char *text, int32_t *result, int32_t *out1,
                   int32_t *out2) {
    state.statement = statement;
    strcpy(text, "CURSOR1");
    *result = 0;
    return cursor_op("execsql", out1, out2);
}
inline int count(int32_t, const char *, int32_t *) {
    return called("count");
}
inline int del(int32_t, const char *, const char *, int, int32_t *out1, int32_t *out2) {
    return cursor_op("delete", out1, out2);
}
inline int find(int32_t, char *, int32_t *, int, int, const char *, int, const char *, char *rowid,
                const char *, const char *, int) {
    strcpy(rowid, state.found_rowid.c_str());
    return called("find");
}
inline int insert(int32_t, const char *, char *rowid, int, const int *, const char *const *,
                  int32_t *, int32_t *record) {
    if (strcmp(rowid, "SQLSetPos()") == 0)
        *record += 1;
    else
        strcpy(rowid, state.new_rowid.c_str());
    return called("insert");
}
inline int read(int32_t info, int client, char *packet, int32_t *, const char *, const char *rowid,
                int, int, int, int) {
    int status = called("read");
    std::string_view row[] = {rowid};
    if (status == 0)
        (void)vnx::dqp_send_reply(client, packet, dqp::PKT_TYPE_DATA, info,
                                  row);  // the client side checks what arrived
    return status;
}
inline int update(int32_t, const char *, const char *, int, int, const int *, const char *const *,
                  int32_t *out1, int32_t *out2) {
    return cursor_op("update", out1, out2);
}
inline int maperror(int32_t, char *text) {
    strcpy(text, kBackendText);
    return called("maperror");
}
inline int fetch(int32_t info, int client, char *packet, int32_t *, const char *, int) {
    return answer("fetch", client, packet, info);
}
inline int self_answering(int32_t info, int client, char *packet, int32_t, const char *) {
    return answer("list or fetchmany", client, packet, info);
}
inline int out1_op(int32_t, int32_t *out1) {
    *out1 = 3;
    return called("out1 op");
}
inline int attach(int32_t, const char *, int, int32_t *out1) {
    *out1 = 3;
    return called("attach");
}
inline int execute(int32_t, const char *) {
    return called("execute");
}
inline int use(int32_t, const char *, char *, int, vnx::ScrollWriter writer,
               vnx::ScrollCursor *cursor, const char *, const char *, int, int32_t *out1,
               int32_t *out2) {
    for (size_t i = 0; i < state.rows.size(); i++)
        writer(cursor, static_cast<int>(i) + 1, state.rows[i].c_str(),
               static_cast<int>(state.rows[i].size()), 0);
    *out1 = 0;
    *out2 = static_cast<int32_t>(state.rows.size());
    return called("use");
}
inline int unuse(int32_t, int32_t *, int32_t *) {
    return called("unuse");
}
inline int zap(int32_t, const char *, const char *, int32_t *) {
    return called("zap");
}
inline int row_lock(int32_t, int, int32_t *result, const char *, const char *, int) {
    *result = 0;
    return called("row lock");
}
inline int table_op(int32_t, const char *) {
    return called("table op");
}
inline int file_op(int32_t, const char *, size_t, int32_t *out1, char (*)[512], int *ntexts) {
    *out1 = 3;
    *ntexts = 0;
    return called("file op");
}
inline int extend_fetch(int32_t info, int client, char *packet, int32_t *, const char *,
                        const char *, int, int) {
    answer("extend_fetch", client, packet, info);
    return 0;
}
inline int memo(int32_t info, int client, char *packet, int32_t, const char *, char *, int,
                const char *) {
    return answer("memo", client, packet, info);
}

// Every slot filled.
inline vnx::BackendOps full_ops() {
    vnx::BackendOps ops{};
    ops.start = start;
    ops.stop = stop;
    ops.connect = connect;
    ops.disconnect = disconnect;
    ops.declare = declare;
    ops.undeclare = undeclare;
    ops.open = open;
    ops.close = close;
    ops.execsql = execsql;
    ops.count = count;
    ops.del = del;
    ops.find = find;
    ops.insert = insert;
    ops.read = read;
    ops.update = update;
    ops.maperror = maperror;
    ops.fetch = fetch;
    ops.fetchmany = self_answering;
    ops.commit = out1_op;
    ops.rollback = out1_op;
    ops.attach = attach;
    ops.detach = out1_op;
    ops.execute = execute;
    ops.use = use;
    ops.unuse = unuse;
    ops.zap = zap;
    ops.fieldlist = self_answering;
    ops.tablelist = self_answering;
    ops.islocked = row_lock;
    ops.lock = row_lock;
    ops.unlock = table_op;
    ops.islock_table = table_op;
    ops.lock_table = table_op;
    ops.rlock_table = table_op;
    ops.unlock_table = table_op;
    for (auto &op : ops.file_ops)
        op = file_op;
    ops.extend_fetch = extend_fetch;
    ops.memo = memo;
    return ops;
}

// A gateway's request loop over a socket pair, with its own operation table.
class Session {
  public:
    explicit Session(const vnx::BackendOps &ops) : ops_(ops) {
        recording::state = recording::State{};
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        int slot = vnx::attach_socket(fds[0], vnx::TRANSPORT_TCPIP);
        EXPECT_GE(slot, 0);
        loop_ = std::thread([slot, this] {
            vnx::dqp_request_loop(slot, &ops_);
            vnx::detach_from_client(slot);
        });
        conn_ = dqp::Connection::adopt(fds[1], 5000);
    }
    ~Session() {
        conn_->close();
        loop_.join();
    }
    dqp::Reply ask(int type, const std::vector<std::string> &args, int32_t info = 77) {
        std::vector<std::string_view> views(args.begin(), args.end());
        dqp::Reply r;
        EXPECT_EQ(conn_->send(type, info, views), 0) << conn_->error();
        EXPECT_EQ(conn_->receive(&r), 0) << conn_->error();
        return r;
    }
    // A packet of `type` whose argument count promises one argument more
    // than it holds.
    dqp::Reply ask_malformed(int type) {
        EXPECT_EQ(send_packet(std::string("00000000") + static_cast<char>(type) + "000000000001"),
                  0);
        return receive();
    }
    std::string maperror() {
        recording::state.status = 0;
        dqp::Reply r = ask('O', {});
        EXPECT_EQ(r.type, 'Y');
        return r.args.empty() ? "" : r.args[0];
    }
    // Sends the packet text `pkt` framed, whatever it holds.
    int send_packet(std::string pkt) {
        char frame[dqp::PKT_MAX_SIZE];
        int n = dqp::frame_encode(pkt.data(), pkt.size(), frame, sizeof frame);
        EXPECT_GT(n, 0);
        return conn_->send_raw(frame, static_cast<size_t>(n));
    }
    dqp::Reply receive() {
        dqp::Reply r;
        EXPECT_EQ(conn_->receive(&r), 0) << conn_->error();
        return r;
    }
    bool closed() { return conn_->peer_closed(5000); }
    dqp::Connection &connection() { return *conn_; }
    vnx::BackendOps &ops() { return ops_; }

  private:
    vnx::BackendOps ops_;
    std::thread loop_;
    std::unique_ptr<dqp::Connection> conn_;
};

}  // namespace recording
