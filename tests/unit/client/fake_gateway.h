// A scripted gateway for client tests: the script runs on its own thread at
// the far end of a socket pair, reads requests with a Connection and answers
// with whatever packets (or raw bytes) the test wants, malformed ones included.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/dqp_client.h"
#include "protocol/packet.h"

namespace fake {

// One packet text as the gateway builds it (pkt_len still "00000000").
inline std::string packet(int type, int32_t info, std::vector<std::string> args) {
    std::vector<std::string_view> views(args.begin(), args.end());
    std::string buf(dqp::PKT_BUFSIZE, '\0');
    int len = dqp::build_packet(buf.data(), buf.size(), type, info, views);
    EXPECT_GE(len, 0);
    buf.resize(len < 0 ? 0 : static_cast<size_t>(len));
    return buf;
}

// The gateway's end of the connection, for scripts.
struct Gateway {
    dqp::Connection &conn;
    std::vector<dqp::Reply> requests;  // every request read, in order

    // Reads one request (false when the client has gone).
    bool next(dqp::Reply *r = nullptr) {
        dqp::Reply req;
        if (conn.receive(&req) != 0) return false;
        requests.push_back(req);
        if (r != nullptr) *r = req;
        return true;
    }
    void reply(int type, int32_t info, std::initializer_list<std::string_view> args = {}) {
        EXPECT_EQ(conn.send(type, info, args), 0) << conn.error();
    }
    void ok(std::initializer_list<std::string_view> args = {}, int32_t info = 0) {
        reply(dqp::PKT_TYPE_OK, info, args);
    }
    void nok(int32_t info, std::initializer_list<std::string_view> args = {}) {
        reply(dqp::PKT_TYPE_NOK, info, args);
    }
    // A METADATA container of the given packet texts.
    void meta(const std::vector<std::string> &packets) {
        std::vector<std::string_view> views(packets.begin(), packets.end());
        EXPECT_EQ(conn.send(dqp::PKT_TYPE_METADATA, 0, views), 0) << conn.error();
    }
    void raw(const std::string &bytes) { EXPECT_EQ(conn.send_raw(bytes.data(), bytes.size()), 0); }
};

using Script = std::function<void(Gateway &)>;

// Runs a script against a client connection; join() waits for it and keeps
// what it read for the test to inspect.
class Harness {
  public:
    explicit Harness(Script script) {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        client_ = dqp::Connection::adopt(fds[0], 5000);
        server_ = dqp::Connection::adopt(fds[1], 5000);
        thread_ = std::thread([this, script] {
            Gateway g{*server_, {}};
            script(g);
            requests_ = std::move(g.requests);
            server_->close();
        });
    }
    ~Harness() {
        client_->close();  // a script still waiting for a request sees the client go
        join();
    }
    dqp::Connection &client() { return *client_; }
    // Waits for the script to end; the requests it read.
    const std::vector<dqp::Reply> &join() {
        if (thread_.joinable()) thread_.join();
        return requests_;
    }

  private:
    std::unique_ptr<dqp::Connection> client_, server_;
    std::thread thread_;
    std::vector<dqp::Reply> requests_;
};

}  // namespace fake
