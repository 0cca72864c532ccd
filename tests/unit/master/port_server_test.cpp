// The port server's table and request answers, in process (no sockets).
#include "master/port_server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/dqp_client.h"
#include "master/session_registry.h"
#include "protocol/packet.h"
#include "protocol/rle.h"
#include "transport/session_notice.h"

using namespace vnx;

namespace {

std::string query_frame(std::vector<std::string_view> fields) {
    char pkt[dqp::PKT_BUFSIZE], frame[dqp::PKT_MAX_SIZE];
    int len = dqp::build_packet(pkt, sizeof pkt, 'n', 0, fields);
    int flen = dqp::frame_encode(pkt, len, frame, sizeof frame);
    return std::string(frame, flen);
}

// Answers a query from a local or remote address, sent by process `sender`
// (0: by no process the table could hold).
dqp::Reply answer(const std::string &frame, bool local, pid_t sender = 0) {
    QuerySender from;
    from.local = local;
    from.is_process = [sender](pid_t pid) { return sender > 0 && pid == sender; };
    std::string reply;
    EXPECT_EQ(answer_packet_query(frame.data(), frame.size(), from, &reply), 0);
    char pkt[dqp::PKT_BUFSIZE];
    int len = dqp::frame_decode(reply.data(), reply.size(), pkt, sizeof pkt);
    dqp::Reply r;
    EXPECT_EQ(dqp::parse_reply(pkt, len, &r), 0);
    return r;
}

class PortTable : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("VNX_REGISTRY", "/nonexistent/registry.db", 1);
        port_table_reset(8000, 8101);
    }
};

}  // namespace

TEST_F(PortTable, HandsOutLowestFreePortAndReusesFreedOnes) {
    EXPECT_EQ(allocate_port(), 8001);
    port_table_assign(8001, 100);
    port_table_assign(8002, 101);
    EXPECT_EQ(allocate_port(), 8003);
    port_table_assign(8001, 0);
    EXPECT_EQ(allocate_port(), 8001);
}

TEST_F(PortTable, HundredPortsThenNone) {
    for (int port = 8001; port <= 8100; port++) {
        ASSERT_EQ(allocate_port(), port);
        port_table_assign(port, 1000 + port);
    }
    EXPECT_EQ(allocate_port(), -1);
}

TEST_F(PortTable, MaxportJustAboveBaseGivesNoPort) {
    port_table_reset(8000, 8001);
    EXPECT_EQ(allocate_port(), -1);
}

TEST_F(PortTable, UpperBoundCappedAt200AboveBase) {
    EXPECT_EQ(cap_max_port(8000, 9000), 8200);
    EXPECT_EQ(cap_max_port(8000, 8200), 8200);
    EXPECT_EQ(cap_max_port(8000, 8101), 8101);
    EXPECT_EQ(configured_max_port(8000), 8101);    // no services entry here
    EXPECT_EQ(configured_max_port(40000), 40101);  // follows the base, any base
    port_table_reset(8000, 8200);
    for (int port = 8001; port <= 8199; port++)
        port_table_assign(port, port);
    EXPECT_EQ(allocate_port(), -1);
    EXPECT_EQ(port_table_entry(8199), 8199);
}

TEST_F(PortTable, AssignOutsideRangeIsIgnored) {
    port_table_assign(8000, 5);
    port_table_assign(8101, 5);
    port_table_assign(7000, 5);
    port_table_assign(9000, 5);
    EXPECT_EQ(port_table_entry(8000), 0);
    EXPECT_EQ(port_table_entry(8101), 0);
    EXPECT_EQ(allocate_port(), 8001);
}

TEST(TextQuery, ActiveAnswersZeroOthersMinusOne) {
    EXPECT_EQ(text_query_reply("?Active"), "0");
    EXPECT_EQ(text_query_reply("?Active x"), "0");
    EXPECT_EQ(text_query_reply("?active"), "-1");
    EXPECT_EQ(text_query_reply("?"), "-1");
}

TEST(ServerTypeName, LettersDigitsUnderscoreUpToEight) {
    EXPECT_TRUE(valid_server_type("odb"));
    EXPECT_TRUE(valid_server_type("my_srv12"));
    EXPECT_FALSE(valid_server_type(""));
    EXPECT_FALSE(valid_server_type("../x"));
    EXPECT_FALSE(valid_server_type("a b"));
    EXPECT_FALSE(valid_server_type("toolong99"));
}

TEST_F(PortTable, NoticesFromRemoteAddressesAreRefused) {
    port_table_assign(8001, 4321);
    dqp::Reply add =
        answer(query_frame({"AddUser", "ODB10.0.0.9", "eve", "8001", "-1", "-1"}), false, 4321);
    EXPECT_EQ(add.type, 'N');
    EXPECT_EQ(add.info, -1);
    dqp::Reply rem =
        answer(query_frame({"RemUser", "ODB10.0.0.9", "eve", "8001", "-1", "-1"}), false, 4321);
    EXPECT_EQ(rem.type, 'N');
    EXPECT_EQ(port_table_entry(8001), 4321);  // untouched
}

TEST_F(PortTable, NoticesCountOnlyFromTheGatewayOfTheirPort) {
    port_table_assign(8001, 4321);
    port_table_assign(8002, 5555);
    // Another gateway, a stranger, and a sender no process could be found for.
    for (pid_t sender : {5555, 999, 0}) {
        dqp::Reply add = answer(query_frame({"AddUser", "ODB127.0.0.1", "eve", "8001", "-1", "-1"}),
                                true, sender);
        EXPECT_EQ(add.type, 'N') << sender;
        EXPECT_EQ(add.info, -1);
        dqp::Reply rem = answer(query_frame({"RemUser", "ODB127.0.0.1", "eve", "8001", "-1", "-1"}),
                                true, sender);
        EXPECT_EQ(rem.type, 'N') << sender;
    }
    dqp::Reply freed =
        answer(query_frame({"AddUser", "ODB127.0.0.1", "eve", "8003", "-1", "-1"}), true, 4321);
    EXPECT_EQ(freed.type, 'N');
    EXPECT_EQ(port_table_entry(8001), 4321);
    EXPECT_EQ(port_table_entry(8002), 5555);
    EXPECT_EQ(live_sessions(), 0);
}

TEST_F(PortTable, RemUserLeavesThePortToItsGatewayUntilReaped) {
    port_table_assign(8001, 4321);
    dqp::Reply add =
        answer(query_frame({"AddUser", "ODB127.0.0.1", "bob", "8001", "-1", "-1"}), true, 4321);
    EXPECT_EQ(add.type, 'Y');
    dqp::Reply rem =
        answer(query_frame({"RemUser", "ODB127.0.0.1", "bob", "8001", "-1", "-1"}), true, 4321);
    EXPECT_EQ(rem.type, 'Y');
    EXPECT_EQ(rem.args, (std::vector<std::string>{"0"}));
    // The port stays with its gateway until the gateway exits and is reaped.
    EXPECT_EQ(port_table_entry(8001), 4321);
    release_gateway(4321);
    EXPECT_EQ(port_table_entry(8001), 0);
    EXPECT_EQ(allocate_port(), 8001);
}

TEST_F(PortTable, PortsSetAsideAreSkipped) {
    port_table_set_aside(8001);
    port_table_set_aside(8003);
    EXPECT_EQ(allocate_port(), 8002);
    port_table_assign(8002, 77);
    EXPECT_EQ(allocate_port(), 8004);
    // Freeing a port keeps it aside.
    release_gateway(77);
    EXPECT_EQ(allocate_port(), 8002);
}

TEST_F(PortTable, ReadySparesAreHandedOutLowestFirst) {
    EXPECT_EQ(take_spare_port(), -1);
    port_table_set_spare(8003, 303, true);
    port_table_set_spare(8001, 301, false);  // still starting
    port_table_set_spare(8002, 302, true);
    EXPECT_EQ(take_spare_port(), 8002);
    EXPECT_EQ(take_spare_port(), 8003);
    EXPECT_EQ(take_spare_port(), -1);
    EXPECT_EQ(port_table_entry(8002), 302);  // handed out, still held
    // A spare that dies before it listens sets its port aside.
    release_gateway(301);
    EXPECT_EQ(port_table_entry(8001), 0);
    EXPECT_EQ(allocate_port(), 8004);
}

TEST_F(PortTable, ActiveAndUnknownPacketQueries) {
    dqp::Reply active = answer(query_frame({"Active"}), false);
    EXPECT_EQ(active.type, 'Y');
    EXPECT_EQ(active.info, 0);
    EXPECT_EQ(active.args, (std::vector<std::string>{"0"}));
    dqp::Reply unknown = answer(query_frame({"Reboot"}), true);
    EXPECT_EQ(unknown.type, 'N');
    EXPECT_EQ(unknown.args,
              (std::vector<std::string>{"Port server request : Command Reboot not found"}));
}

TEST_F(PortTable, MalformedQueryIsRefused) {
    std::string reply;
    // A query whose argument count points past its end.
    char pkt[] = "00000000n0000000000FF00190006Active";
    char frame[dqp::PKT_MAX_SIZE];
    int flen = dqp::frame_encode(pkt, strlen(pkt), frame, sizeof frame);
    EXPECT_EQ(answer_packet_query(frame, flen, true, &reply), -1);
    char good[] = "00000000n00000000000100190006Active";
    flen = dqp::frame_encode(good, strlen(good), frame, sizeof frame);
    EXPECT_EQ(answer_packet_query(frame, flen, true, &reply), 0);
    std::string cut = "0000000Bn\x01\x05";
    EXPECT_EQ(answer_packet_query(cut.data(), cut.size(), true, &reply), -1);
}

TEST(PortClient, QueryToAbsentPortServerFails) {
    setenv("VNX_REGISTRY", "/nonexistent/registry.db", 1);
    std::string reply = "untouched";
    // No base port configured and nobody listening: the connect fails.
    EXPECT_EQ(tcp_query({"Active"}, "127.0.0.1", &reply), -1);
    EXPECT_EQ(reply, "untouched");
}

TEST(PortClient, RemUserWithoutRegistrationSendsNothing) {
    setenv("VNX_REGISTRY", "/nonexistent/registry.db", 1);
    EXPECT_EQ(notify_port_server(false, "bob", "8001", "ODB"), 0);
}
