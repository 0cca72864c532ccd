// Who may start gateways: the caps per client address, the settings that set
// them, and senders outside the allow list (in process, no sockets).
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "client/dqp_client.h"
#include "master/port_server.h"
#include "master/session_registry.h"
#include "protocol/packet.h"
#include "protocol/rle.h"
#include "tests/unit/support/temp_store.h"

using namespace vnx;

namespace {

IpAddress addr(const char *text) {
    IpAddress a;
    EXPECT_TRUE(parse_ip_address(text, &a)) << text;
    return a;
}

std::string query_frame(std::vector<std::string_view> fields) {
    char pkt[dqp::PKT_BUFSIZE], frame[dqp::PKT_MAX_SIZE];
    int len = dqp::build_packet(pkt, sizeof pkt, 'n', 0, fields);
    int flen = dqp::frame_encode(pkt, len, frame, sizeof frame);
    return std::string(frame, flen);
}

// The gateway on port starts its session ("AddUser" from its own process)
// and ends it ("RemUser", which leaves the gateway running on its port, so
// that the live-session count of this process stays as it was).
void claim(int port, pid_t pid) {
    QuerySender from;
    from.local = true;
    from.is_process = [pid](pid_t p) { return p == pid; };
    std::string reply;
    for (const char *command : {"AddUser", "RemUser"}) {
        std::string frame =
            query_frame({command, "ODB127.0.0.1", "bob", std::to_string(port), "-1", "-1"});
        ASSERT_EQ(answer_packet_query(frame.data(), frame.size(), from, &reply), 0);
    }
    ASSERT_EQ(port_table_entry(port), pid);
}

class HostLimits : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("VNX_REGISTRY", "/nonexistent/registry.db", 1);
        port_table_reset(8000, 8101);
        limits(8, 0);
    }
    void TearDown() override { limits(8, 0); }
    static void limits(int pending, int per_host) {
        PortServerSettings s;
        s.max_pending_per_host = pending;
        s.max_per_host = per_host;
        ASSERT_EQ(apply_port_server_settings(s), 0);
    }
    // Ready spares on ports 8001 ... 8000 + n, gateway pids 9001 ...
    static void spares(int n) {
        for (int i = 1; i <= n; i++)
            port_table_set_spare(8000 + i, 9000 + i, true);
    }
};

}  // namespace

TEST_F(HostLimits, UnclaimedGatewaysAreCappedPerAddress) {
    limits(2, 0);
    spares(5);
    IpAddress flooder = addr("127.0.0.2"), other = addr("127.0.0.1");
    EXPECT_EQ(host_cap_refusal(flooder), nullptr);
    EXPECT_EQ(take_spare_port(flooder), 8001);
    EXPECT_EQ(host_cap_refusal(flooder), nullptr);
    EXPECT_EQ(take_spare_port(flooder), 8002);
    ASSERT_NE(host_cap_refusal(flooder), nullptr);
    EXPECT_NE(std::string(host_cap_refusal(flooder)).find("max_pending_per_host"),
              std::string::npos);
    // The same client over a dual-stack listener is the same address.
    EXPECT_NE(host_cap_refusal(addr("::ffff:127.0.0.2")), nullptr);
    // Another address is not held back by it.
    EXPECT_EQ(host_cap_refusal(other), nullptr);
    EXPECT_EQ(take_spare_port(other), 8003);
    // A claimed gateway no longer counts as unclaimed.
    claim(8001, 9001);
    EXPECT_EQ(host_cap_refusal(flooder), nullptr);
    // Nor does one that has exited.
    EXPECT_EQ(take_spare_port(flooder), 8004);
    EXPECT_NE(host_cap_refusal(flooder), nullptr);
    release_gateway(9002);
    EXPECT_EQ(host_cap_refusal(flooder), nullptr);
}

TEST_F(HostLimits, ZeroPendingCapMeansNoCap) {
    limits(0, 0);
    spares(20);
    IpAddress client = addr("10.0.0.1");
    for (int i = 1; i <= 20; i++) {
        EXPECT_EQ(host_cap_refusal(client), nullptr) << i;
        EXPECT_EQ(take_spare_port(client), 8000 + i);
    }
}

TEST_F(HostLimits, MaxPerHostCountsClaimedAndUnclaimedGateways) {
    limits(8, 2);
    spares(4);
    IpAddress client = addr("2001:db8::5");
    EXPECT_EQ(take_spare_port(client), 8001);
    claim(8001, 9001);
    EXPECT_EQ(host_cap_refusal(client), nullptr);
    EXPECT_EQ(take_spare_port(client), 8002);  // unclaimed: counts as well
    ASSERT_NE(host_cap_refusal(client), nullptr);
    EXPECT_NE(std::string(host_cap_refusal(client)).find("max_per_host"), std::string::npos);
    claim(8002, 9002);
    EXPECT_NE(host_cap_refusal(client), nullptr);
    // A gateway stops counting when it exits, not at RemUser (claim() sent
    // one): it still runs and holds its port until then.
    release_gateway(9001);
    EXPECT_EQ(host_cap_refusal(client), nullptr);
}

TEST_F(HostLimits, SparesNotHandedOutDoNotCount) {
    limits(1, 1);
    spares(3);
    IpAddress client = addr("192.0.2.1");
    EXPECT_EQ(host_cap_refusal(client), nullptr);
    port_table_assign(8010, 777);  // started for a request, not handed out yet
    EXPECT_EQ(host_cap_refusal(client), nullptr);
}

TEST_F(HostLimits, OutsideTheAllowListOnlyNoticesPass) {
    port_table_assign(8001, 4321);
    QuerySender from;
    from.local = true;
    from.notices_only = true;
    from.is_process = [](pid_t p) { return p == 4321; };
    std::string reply;
    for (const char *command : {"Active", "GetUser", "Reboot"}) {
        std::string frame = query_frame({command, "0"});
        EXPECT_EQ(answer_packet_query(frame.data(), frame.size(), from, &reply), -1) << command;
    }
    int before = live_sessions();
    std::string add = query_frame({"AddUser", "ODB127.0.0.1", "bob", "8001", "-1", "-1"});
    ASSERT_EQ(answer_packet_query(add.data(), add.size(), from, &reply), 0);
    EXPECT_EQ(live_sessions(), before + 1);
    std::string rem = query_frame({"RemUser", "ODB127.0.0.1", "bob", "8001", "-1", "-1"});
    ASSERT_EQ(answer_packet_query(rem.data(), rem.size(), from, &reply), 0);
    EXPECT_EQ(live_sessions(), before);
    release_gateway(4321);
}

TEST(PortServerSettingsRead, DefaultsKeepTodaysBehaviour) {
    TempStore store;
    PortServerSettings s = read_port_server_settings();
    EXPECT_TRUE(s.error.empty()) << s.error;
    EXPECT_EQ(s.spares, 1);
    EXPECT_EQ(s.claim_seconds, 60);
    EXPECT_EQ(s.listen.text, "0.0.0.0");
    EXPECT_EQ(s.listen.family(), AF_INET);
    EXPECT_TRUE(s.allow.networks.empty());
    EXPECT_EQ(s.max_pending_per_host, 8);
    EXPECT_EQ(s.max_per_host, 0);
}

TEST(PortServerSettingsRead, ValuesAreReadAndNumbersOutOfRangeRefusedByName) {
    TempStore store;
    auto st = store.open();
    ASSERT_NE(st, nullptr) << store.last_error;
    std::string key = std::string(kRootKey) + "\\PortServer";
    st->set_value(key, "listen", "::1");
    st->set_value(key, "allow", "127.0.0.1, 10.0.0.0/8 ::1");
    st->set_value(key, "max_pending_per_host", "3");
    st->set_value(key, "max_per_host", "200");
    st->set_value(key, "spares", "0");
    PortServerSettings s = read_port_server_settings();
    EXPECT_TRUE(s.error.empty()) << s.error;
    EXPECT_EQ(s.listen.text, "::1");
    EXPECT_EQ(s.allow.networks.size(), 3u);
    EXPECT_EQ(s.max_pending_per_host, 3);
    EXPECT_EQ(s.max_per_host, 200);
    EXPECT_EQ(s.spares, 0);
    // Out of range or not a number: refused by name, never cut or defaulted,
    // in any of the keys the master and its gateways read.
    for (const auto &[subkey, name, text] : {std::tuple{"PortServer", "max_per_host", "100000"},
                                             {"PortServer", "max_pending_per_host", "many"},
                                             {"NetServer", "tls", "bogus"},
                                             {"ODBServer", "require_login", "TRUE "}}) {
        const std::string at = std::string(kRootKey) + "\\" + subkey;
        std::string kept;
        const bool had = st->get_value(at, name, &kept) == 0;
        st->set_value(at, name, text);
        s = read_port_server_settings();
        EXPECT_NE(s.error.find(std::string(subkey) + " \"" + name + "\" is \"" + text + "\""),
                  std::string::npos)
            << s.error;
        if (had)
            st->set_value(at, name, kept);
        else
            st->delete_value(at, name);
    }
}

TEST(PortServerSettingsRead, MalformedAllowOrListenIsRefusedByName) {
    TempStore store;
    auto st = store.open();
    ASSERT_NE(st, nullptr) << store.last_error;
    std::string key = std::string(kRootKey) + "\\PortServer";
    st->set_value(key, "allow", "10.0.0.0/8, office-pc, ::1");
    PortServerSettings s = read_port_server_settings();
    EXPECT_NE(s.error.find("PortServer \"allow\""), std::string::npos) << s.error;
    EXPECT_NE(s.error.find("\"office-pc\""), std::string::npos) << s.error;
    // Refused settings change nothing.
    PortServerSettings before;
    before.max_pending_per_host = 5;
    ASSERT_EQ(apply_port_server_settings(before), 0);
    s.max_pending_per_host = 1;
    EXPECT_EQ(apply_port_server_settings(s), -1);
    port_table_reset(8000, 8101);
    port_table_set_spare(8001, 9001, true);
    IpAddress client = addr("127.0.0.9");
    EXPECT_EQ(take_spare_port(client), 8001);
    EXPECT_EQ(host_cap_refusal(client), nullptr);  // still 5, not 1
    release_gateway(9001);
    st->set_value(key, "allow", "");
    st->set_value(key, "listen", "localhost");
    s = read_port_server_settings();
    EXPECT_NE(s.error.find("PortServer \"listen\""), std::string::npos) << s.error;
    EXPECT_NE(s.error.find("localhost"), std::string::npos) << s.error;
    ASSERT_EQ(apply_port_server_settings(PortServerSettings{}), 0);
}
