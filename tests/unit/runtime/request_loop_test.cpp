// The request loop against a recording backend, over a socket pair.
#include "runtime/request_loop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/dqp_client.h"
#include "protocol/packet.h"
#include "protocol/rle.h"
#include "runtime/client_table.h"
#include "runtime/request.h"

using namespace vnx;
using dqp::Reply;

namespace {

// What the recording backend saw.
struct Calls {
    std::vector<std::string> log;
    int32_t start_result = 4242;
    int start_status = 0;
    int execsql_status = 0;
    int32_t execsql_result = 0;
};
Calls calls;

int rec_start(int32_t *result, const char *server, const char *user, const char *password,
              const char *, int port) {
    calls.log.push_back(std::string("start ") + server + " " + user + " " + password + " " +
                        std::to_string(port));
    *result = calls.start_result;
    return calls.start_status;
}
int rec_stop(int32_t *) {
    calls.log.push_back("stop");
    return 0;
}
int rec_connect(int32_t *result, const char *dsn, const char *, const char *, const char *,
                int32_t *out1, int) {
    calls.log.push_back(std::string("connect ") + dsn);
    *result = 77;
    *out1 = 5;
    return 0;
}
int rec_disconnect(int32_t info) {
    calls.log.push_back("disconnect " + std::to_string(info));
    return 0;
}
int rec_execsql(int32_t, const char *stmt, char *text, int32_t *result, int32_t *out1,
                int32_t *out2) {
    calls.log.push_back(std::string("execsql ") + stmt);
    strcpy(text, "CURSOR1");
    *result = calls.execsql_result;
    *out1 = 1;
    *out2 = 2;
    return calls.execsql_status;
}
int rec_declare(int32_t, const char *cursor, int mode, const char *, int32_t *, int32_t *,
                int with_params, int table_closed) {
    calls.log.push_back(std::string("declare ") + cursor + " " + std::to_string(mode) + " " +
                        std::to_string(table_closed) + (with_params != 0 ? " params" : ""));
    return 0;
}
int rec_maperror(int32_t, char *text) {
    strcpy(text, "no such table");
    return 0;
}
// " [v1] NULL [v3]": the values as a backend receives them.
std::string value_list(int n, const int *lengths, const char *const *values) {
    std::string out;
    for (int i = 0; i < n; i++) {
        bool null = lengths != nullptr && lengths[i] == kNullParamLength;
        out += null ? std::string(" NULL") : std::string(" [") + values[i] + "]";
    }
    return out;
}
int rec_open(int32_t, const char *cursor, int32_t *out1, int32_t *out2, int nparams,
             const int *lengths, const char *const *values, int) {
    std::string entry = std::string("open ") + cursor + value_list(nparams, lengths, values);
    calls.log.push_back(entry);
    *out1 = 0;
    *out2 = 12;
    return 0;
}

BackendOps recording_ops() {
    BackendOps ops{};
    ops.start = rec_start;
    ops.stop = rec_stop;
    ops.connect = rec_connect;
    ops.disconnect = rec_disconnect;
    ops.execsql = rec_execsql;
    ops.declare = rec_declare;
    ops.maperror = rec_maperror;
    ops.open = rec_open;
    return ops;
}

int rec_execsql_params(int32_t, const char *stmt, int n, const int *lengths,
                       const char *const *values, char *text, int32_t *has_cursor, int32_t *out1,
                       int32_t *out2, int64_t *rows) {
    calls.log.push_back(std::string("execsql_params ") + stmt + value_list(n, lengths, values));
    *has_cursor = calls.execsql_result;
    if (*has_cursor != 0) strcpy(text, "CURSOR1");
    *out1 = 1;
    *out2 = 2;
    *rows = 7000000000;  // beyond 32 bits: the count travels as decimal text
    return calls.execsql_status;
}
const BackendExtensions kRecordingExtensions{rec_execsql_params, nullptr, nullptr, nullptr,
                                             nullptr};

class RequestLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        calls = Calls{};
        set_backend_extensions(&kRecordingExtensions);
        ops_ = recording_ops();
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        int slot = attach_socket(fds[0], TRANSPORT_TCPIP);
        ASSERT_GE(slot, 0);
        client_slot(slot)->port = 5001;
        loop_ = std::thread([slot, this] {
            dqp_request_loop(slot, &ops_);
            detach_from_client(slot);
        });
        conn_ = dqp::Connection::adopt(fds[1], 5000);
    }
    void TearDown() override {
        conn_->close();
        loop_.join();
        set_backend_extensions(nullptr);
    }
    Reply ask(int type, int32_t info, std::initializer_list<std::string_view> args = {}) {
        Reply r;
        EXPECT_EQ(conn_->request(type, info, args, &r), 0) << conn_->error();
        return r;
    }
    BackendOps ops_;
    std::thread loop_;
    std::unique_ptr<dqp::Connection> conn_;
};

}  // namespace

TEST_F(RequestLoop, StartAnswersWithOperationResult) {
    Reply r = ask('A', 0, {"srv", "bob", "pw", "", "", "e"});
    EXPECT_EQ(r.type, 'Y');
    EXPECT_EQ(r.info, 4242);
    EXPECT_TRUE(r.args.empty());
    EXPECT_EQ(calls.log.at(0), "start srv bob pw 5001");
}

TEST_F(RequestLoop, StartWithOneArgumentNamesTheUserInIt) {
    ask('A', 0, {"bob"});
    EXPECT_EQ(calls.log.at(0), "start bob bob  5001");
}

TEST_F(RequestLoop, FailedStartIsAnsweredThenLoopEnds) {
    calls.start_status = -3;
    Reply r = ask('A', 0, {"bob"});
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.info, -3);
    EXPECT_TRUE(conn_->peer_closed(5000));
}

TEST_F(RequestLoop, DisconnectBeforeConnectIsOkWithOwnInfo) {
    Reply r = ask('D', 1234);
    EXPECT_EQ(r.type, 'Y');
    EXPECT_EQ(r.info, 1234);
    EXPECT_TRUE(r.args.empty());
    EXPECT_TRUE(calls.log.empty());
}

TEST_F(RequestLoop, ConnectThenDisconnectCallsBackend) {
    Reply c = ask('C', 0, {"dsn", "u", "p", ""});
    EXPECT_EQ(c.type, 'Y');
    EXPECT_EQ(c.info, 77);
    EXPECT_EQ(c.args, (std::vector<std::string>{"5", "0"}));
    Reply d = ask('D', 77);
    EXPECT_EQ(d.type, 'Y');
    EXPECT_EQ(calls.log.back(), "disconnect 77");
    ask('D', 77);  // not connected any more: no second disconnect
    EXPECT_EQ(calls.log.size(), 2u);
}

TEST_F(RequestLoop, TypesWithoutHandlerAnswerNokZero) {
    for (char type : {'f', 'n', 'Y', 'N', 'W', '=', '\x7f'}) {
        Reply r = ask(type, 9);
        EXPECT_EQ(r.type, 'N') << type;
        EXPECT_EQ(r.info, 0) << type;
        EXPECT_TRUE(r.args.empty());
    }
}

TEST_F(RequestLoop, EmptySlotsAnswerNokMinusOneWithTheReplyArguments) {
    using Args = std::vector<std::string>;
    const Args none, out1{"0"}, outs{"0", "0"};
    const std::pair<char, Args> expected[] = {{'0', out1}, {'3', out1}, {'6', none}, {'7', none},
                                              {'F', outs}, {'P', none}, {'V', outs}, {'X', out1},
                                              {'Z', out1}, {'a', none}, {'e', none}, {'g', none},
                                              {'l', none}, {'o', none}, {':', none}, {'@', none}};
    for (const auto &[type, args] : expected) {
        Reply r = ask(type, 0, {"c"});
        EXPECT_EQ(r.type, 'N') << type;
        EXPECT_EQ(r.info, -1) << type;
        EXPECT_EQ(r.args, args) << type;
    }
}

TEST_F(RequestLoop, LoggingAndEmptyExtendedFetchSendNothing) {
    ASSERT_EQ(conn_->send('4', 0, {"0"}), 0);
    ASSERT_EQ(conn_->send('m', 0, {"c", "NEXT", "1"}), 0);
    Reply r = ask('f', 0);  // the first reply to arrive answers this request
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.info, 0);
}

TEST_F(RequestLoop, ExecsqlReplyRules) {
    Reply plain = ask('G', 3, {"update t set a = 1"});
    EXPECT_EQ(plain.type, 'Y');
    EXPECT_EQ(plain.info, 0);
    EXPECT_EQ(plain.args, (std::vector<std::string>{"1", "2"}));
    calls.execsql_result = 1;
    Reply query = ask('G', 3, {"select * from t"});
    EXPECT_EQ(query.info, 0);
    EXPECT_EQ(query.args, (std::vector<std::string>{"1", "2", "CURSOR1"}));
    calls.execsql_status = -5;
    Reply failed = ask('G', 3, {"bad"});
    EXPECT_EQ(failed.type, 'N');
    EXPECT_EQ(failed.info, -5);
    EXPECT_EQ(failed.args, (std::vector<std::string>{"1", "2"}));
}

TEST_F(RequestLoop, DeclareModesAndTableFlag) {
    ask('U', 1, {"c1", "select 1", "UPDATE"});
    ask('U', 1, {"c2", "select 1", "INSERT"});
    ask('U', 1, {"c3", "select 1", "update"});
    EXPECT_EQ(calls.log,
              (std::vector<std::string>{"declare c1 1 1", "declare c2 2 1", "declare c3 0 1"}));
}

TEST_F(RequestLoop, NameLongerThanFieldIsRefused) {
    std::string name79(79, 'c'), name80(80, 'c');
    EXPECT_EQ(ask('U', 1, {name79, "select 1", ""}).type, 'Y');
    Reply r = ask('U', 1, {name80, "select 1", ""});
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.info, -1);
    EXPECT_EQ(calls.log.size(), 1u);
}

TEST_F(RequestLoop, OpenSetsCountAndRefusesSecondArgument) {
    Reply r = ask('E', 1, {"c1"});
    EXPECT_EQ(r.args, (std::vector<std::string>{"0", "12"}));
    Reply count = ask('H', 1, {"never_used"});
    EXPECT_EQ(count.args, (std::vector<std::string>{"12"}));
    Reply two = ask('E', 1, {"c1", "3"});
    EXPECT_EQ(two.type, 'N');
    EXPECT_EQ(two.info, -1);
}

TEST_F(RequestLoop, DeclareBindsMarkersOnlyWithParamsWord) {
    EXPECT_EQ(ask('U', 1, {"c1", "select a from t where a = ?", "", "PARAMS"}).type, 'Y');
    EXPECT_EQ(ask('U', 1, {"c2", "select a from t", "", "params"}).type, 'Y');
    EXPECT_EQ(ask('U', 1, {"c3", "select a from t", ""}).type, 'Y');
    EXPECT_EQ(calls.log, (std::vector<std::string>{"declare c1 0 1 params", "declare c2 0 1",
                                                   "declare c3 0 1"}));
}

TEST_F(RequestLoop, OpenPassesValuesAfterParamsWord) {
    Reply r = ask('E', 1, {"c1", "PARAMS", "it's", "", "42"});
    EXPECT_EQ(r.type, 'Y');
    Reply none = ask('E', 1, {"c1", "PARAMS"});
    EXPECT_EQ(none.type, 'Y');
    EXPECT_EQ(calls.log, (std::vector<std::string>{"open c1 [it's] [] [42]", "open c1"}));
}

TEST_F(RequestLoop, OpenPassesNullsFlaggedAfterParamsWord) {
    EXPECT_EQ(ask('E', 1, {"c1", "PARAMS:010", "a", "ignored", ""}).type, 'Y');
    EXPECT_EQ(calls.log, (std::vector<std::string>{"open c1 [a] NULL []"}));
}

TEST_F(RequestLoop, MalformedNullFlagsAreRefusedBeforeTheBackend) {
    for (auto flags : {"PARAMS:01", "PARAMS:0101", "PARAMS:0x0", "PARAMS:"}) {
        Reply open = ask('E', 1, {"c1", flags, "a", "b", "c"});
        EXPECT_EQ(open.type, 'N') << flags;
        Reply exec = ask('G', 3, {"insert", flags, "a", "b", "c"});
        EXPECT_EQ(exec.type, 'N') << flags;
        EXPECT_EQ(exec.args, (std::vector<std::string>{"0", "0"})) << flags;
    }
    EXPECT_TRUE(calls.log.empty());
    Reply why = ask('O', 3);
    EXPECT_NE(why.args.at(0).find("NULL flags"), std::string::npos) << why.args.at(0);
}

TEST_F(RequestLoop, ExecsqlWithParamsPassesValuesAndAnswersRowCount) {
    Reply r = ask('G', 3, {"insert into t values (?, ?, ?)", "PARAMS:010", "a'b;", "x", ""});
    EXPECT_EQ(r.type, 'Y');
    EXPECT_EQ(r.info, 0);
    EXPECT_EQ(r.args, (std::vector<std::string>{"1", "2", "", "7000000000"}));
    calls.execsql_result = 1;
    Reply query = ask('G', 3, {"select a from t where a = ?", "PARAMS", "1"});
    EXPECT_EQ(query.args, (std::vector<std::string>{"1", "2", "CURSOR1", "7000000000"}));
    Reply none = ask('G', 3, {"delete from t", "PARAMS"});
    EXPECT_EQ(none.type, 'Y');
    EXPECT_EQ(calls.log, (std::vector<std::string>{
                             "execsql_params insert into t values (?, ?, ?) [a'b;] NULL []",
                             "execsql_params select a from t where a = ? [1]",
                             "execsql_params delete from t"}));
}

TEST_F(RequestLoop, ExecsqlWithParamsFailureIsNokWithStatuses) {
    calls.execsql_status = -3;
    Reply r = ask('G', 3, {"insert into t values (?)", "PARAMS", "1"});
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.info, -3);
    EXPECT_EQ(r.args, (std::vector<std::string>{"1", "2"}));
}

TEST_F(RequestLoop, ExecsqlWithoutParamsWordKeepsThePlainForm) {
    Reply r = ask('G', 3, {"update t set a = 1", "params", "1"});
    EXPECT_EQ(r.args, (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(calls.log, (std::vector<std::string>{"execsql update t set a = 1"}));
}

TEST_F(RequestLoop, ExecsqlWithParamsIsRefusedWithoutTheExtension) {
    set_backend_extensions(nullptr);
    Reply r = ask('G', 3, {"insert into t values (?)", "PARAMS", "1"});
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.info, -1);
    EXPECT_TRUE(calls.log.empty());
}

TEST_F(RequestLoop, OpenRefusesValuesWithoutParamsWord) {
    Reply r = ask('E', 1, {"c1", "params", "1"});
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.info, -1);
    EXPECT_TRUE(calls.log.empty());
}

TEST_F(RequestLoop, MaperrorAnswersText) {
    Reply r = ask('O', 5);
    EXPECT_EQ(r.type, 'Y');
    EXPECT_EQ(r.info, 0);
    EXPECT_EQ(r.args, (std::vector<std::string>{"no such table"}));
}

TEST_F(RequestLoop, MalformedPacketIsAnsweredNok) {
    // A well-framed packet whose argument count points past its end.
    std::string frame = "0000001DG00000000000500190003abc";
    frame.replace(0, 8, "00000020");
    ASSERT_EQ(conn_->send_raw(frame.data(), frame.size()), 0);
    Reply r;
    ASSERT_EQ(conn_->receive(&r), 0);
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.info, -1);
    EXPECT_TRUE(calls.log.empty());
}

TEST_F(RequestLoop, AbortDisconnectsOnceThenStops) {
    ask('C', 0, {"dsn"});
    ASSERT_EQ(conn_->send('S', 77), 0);
    EXPECT_TRUE(conn_->peer_closed(5000));
    EXPECT_EQ(calls.log, (std::vector<std::string>{"connect dsn", "disconnect 77", "stop"}));
}

TEST_F(RequestLoop, LostClientIsHandledAsAbort) {
    ask('C', 0, {"dsn"});
    conn_->close();
    loop_.join();
    loop_ = std::thread([] {});
    EXPECT_EQ(calls.log, (std::vector<std::string>{"connect dsn", "disconnect 0", "stop"}));
}

TEST_F(RequestLoop, StopEndsWithoutReply) {
    ASSERT_EQ(conn_->send('B', 0), 0);
    EXPECT_TRUE(conn_->peer_closed(5000));
    EXPECT_EQ(calls.log, (std::vector<std::string>{"stop"}));
}

// Frames the loop must refuse by closing the connection.
TEST_F(RequestLoop, BadFrameHeadersCloseTheConnection) {
    ASSERT_EQ(conn_->send_raw("0000000zY", 9), 0);
    EXPECT_TRUE(conn_->peer_closed(5000));
}

class RequestLoopFrames : public RequestLoop, public ::testing::WithParamInterface<std::string> {};

TEST_P(RequestLoopFrames, RefusedFrameClosesConnection) {
    std::string bytes = GetParam();
    ASSERT_EQ(conn_->send_raw(bytes.data(), bytes.size()), 0);
    if (bytes.size() < 8 || bytes == "00000030Y00")
        conn_->close();  // peer goes away mid-frame
    else
        EXPECT_TRUE(conn_->peer_closed(5000));
    // Either way the loop ends as for ABORT, without dispatching anything.
    loop_.join();
    loop_ = std::thread([] {});
    EXPECT_EQ(calls.log, (std::vector<std::string>{"stop"}));
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, RequestLoopFrames,
    ::testing::Values(std::string("00000007"),                          // below 8
                      std::string("00004001") + std::string(100, 'x'),  // above 16384
                      std::string("-0000010Y0000"),                     // not hex
                      std::string("0000000BY\x01\xff"),  // escape cut by the frame end
                      std::string("00000030Y00"),        // peer closes mid-frame
                      std::string("0000")));             // peer closes mid-header

// A malformed packet of a type that is never answered must not draw a NOK
// that the client would read as the answer to its next request.
TEST_F(RequestLoop, MalformedNeverAnsweredRequestClosesConnection) {
    // LOGGING whose argument count promises an argument that is not there.
    std::string pkt =
        "00000000400000000"
        "0001";
    char frame[dqp::PKT_MAX_SIZE];
    int n = dqp::frame_encode(pkt.data(), pkt.size(), frame, sizeof frame);
    ASSERT_GT(n, 0);
    ASSERT_EQ(conn_->send_raw(frame, static_cast<size_t>(n)), 0);
    EXPECT_TRUE(conn_->peer_closed(5000));
    loop_.join();
    loop_ = std::thread([] {});
    EXPECT_EQ(calls.log, (std::vector<std::string>{"stop"}));
}

TEST(LoggingPath, OnlyLogFilesInDbRoot) {
    // No store here: DB_ROOT reads as empty and the directory is ".".
    EXPECT_EQ(logging_path("trace"), "./trace.log");
    EXPECT_EQ(logging_path("trace.log"), "./trace.log");
    EXPECT_EQ(logging_path("../../etc/users.db"), "./users.db.log");
    EXPECT_EQ(logging_path("C:\\x\\registry.db"), "./registry.db.log");
    EXPECT_EQ(logging_path("dir/"), "");
    EXPECT_EQ(logging_path(".."), "");
    EXPECT_EQ(logging_path(".log"), "");
}
