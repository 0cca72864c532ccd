// Who may start gateways through a real master: the listen address (IPv4,
// IPv6, dual stack), the allow list, and the caps per client address.
// 127.0.0.1 and 127.0.0.2 stand for two hosts; "::1" for an IPv6 one.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "client/dqp_client.h"
#include "master/session_registry.h"
#include "master_harness.h"
#include "protocol/packet.h"
#include "support/unique_fd.h"

using namespace vnxtest;

namespace {

bool have_ipv6_loopback() {
    vnx::UniqueFd s(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    return s.valid() && bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
}

// A connection to host:port (a numeric IPv4 or IPv6 address) from the IPv4
// address `from` when one is given; invalid when refused.
vnx::UniqueFd connect_from(const char *host, int port, const char *from = nullptr) {
    sockaddr_storage ss{};
    socklen_t len;
    if (strchr(host, ':') != nullptr) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, host, &a->sin6_addr);
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, host, &a->sin_addr);
        len = sizeof *a;
    }
    vnx::UniqueFd fd(socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    timeval tv{20, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (from != nullptr) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        inet_pton(AF_INET, from, &src.sin_addr);
        if (bind(fd.get(), reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) fd.reset();
    }
    if (fd.valid() && connect(fd.get(), reinterpret_cast<sockaddr *>(&ss), len) != 0) fd.reset();
    return fd;
}

// Sends one request to the port server at host and reads until it closes:
// the answer ("" when it closed without one, "<refused>" when it could not
// be reached).
std::string ask(const char *host, int base, const char *from = nullptr,
                const std::string &request = "odb") {
    vnx::UniqueFd fd = connect_from(host, base, from);
    if (!fd.valid()) return "<refused>";
    if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size()))
        return "<send failed>";
    std::string answer;
    char buf[64];
    ssize_t n;
    while ((n = recv(fd.get(), buf, sizeof buf, 0)) > 0)
        answer.append(buf, static_cast<size_t>(n));
    return answer;
}

// START on a gateway at host:port (from the IPv4 address `from` when one is
// given); the gateway's pid, or -1.
pid_t start_on(const char *host, int port, dqp::Connection **out,
               std::unique_ptr<dqp::Connection> *keep, const char *from = nullptr) {
    std::string err;
    if (from == nullptr) {
        *keep = dqp::Connection::open(host, port, &err, 20000);
    } else if (vnx::UniqueFd fd = connect_from(host, port, from); fd.valid()) {
        *keep = dqp::Connection::adopt(fd.release(), 20000);
    }
    if (*keep == nullptr) return -1;
    dqp::Reply r;
    if ((*keep)->request(dqp::PKT_TYPE_START, 0, {"", "user", "pw"}, &r) != 0 ||
        r.type != dqp::PKT_TYPE_OK)
        return -1;
    if (out != nullptr) *out = keep->get();
    return r.info;
}

}  // namespace

class MasterHosts : public Master {
  protected:
    void enable_log() {
        set_port_server_value("logging", "true");
        set_port_server_value("logfile", "portserver.txt");
    }
    std::string log() { return read_file(root_ + "/portserver.log"); }
    // Starts a master that may not answer on 127.0.0.1: waits until it has
    // claimed its base port, then until `host` answers "?Active" (asked from
    // the IPv4 address `from` when given).
    pid_t start_master_on(const char *host, const char *from = nullptr) {
        pid_t pid = spawn_master();
        EXPECT_TRUE(wait_claimed(pid, 10000)) << read_file(root_ + "/master0.err");
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end && ask(host, base_, from, "?Active") != "0")
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(ask(host, base_, from, "?Active"), "0");
        return pid;
    }
    // A stranger at 127.0.0.2 connects to a gateway port (once it listens)
    // and sends START: success when its connection is closed unanswered.
    testing::AssertionResult stranger_shut_out(int port) {
        vnx::UniqueFd fd;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!(fd = connect_from("127.0.0.1", port, "127.0.0.2")).valid() &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!fd.valid()) return testing::AssertionFailure() << "nothing listens on " << port;
        auto c = dqp::Connection::adopt(fd.release(), 10000);
        dqp::Reply r;
        if (c->request(dqp::PKT_TYPE_START, 0, {"", "stranger", "pw"}, &r) == 0)
            return testing::AssertionFailure() << "START answered on " << port;
        return testing::AssertionSuccess();
    }
    // Records of users.db, live or freed, that name `address`.
    int records_of(const std::string &address) {
        std::vector<vnx::SessionRecord> all;
        EXPECT_EQ(vnx::read_session_file(users_db(), &all), 0);
        return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const auto &r) {
            return r.type_field.find(address) != std::string::npos;
        }));
    }
    // The stranger tries the gateway port a client was handed before that
    // client connects, then the client starts its session there (kept open
    // in *c).
    void handed_port_serves_only_its_client(const char *client,
                                            std::unique_ptr<dqp::Connection> *c) {
        std::string port = ask("127.0.0.1", base_, client);
        ASSERT_GT(atoi(port.c_str()), base_) << port;
        EXPECT_TRUE(stranger_shut_out(atoi(port.c_str())));
        EXPECT_GT(start_on("127.0.0.1", atoi(port.c_str()), nullptr, c, client), 0);
    }
    // The live records of users.db, read from the file.
    std::vector<vnx::SessionRecord> live_records() {
        std::vector<vnx::SessionRecord> all, live;
        EXPECT_EQ(vnx::read_session_file(users_db(), &all), 0);
        for (const auto &r : all)
            if (r.status == vnx::SESSION_LIVE) live.push_back(r);
        return live;
    }
    bool wait_live_records(size_t n) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (live_records().size() != n && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return live_records().size() == n;
    }
};

TEST_F(MasterHosts, AllowListClosesOtherHostsWithoutStartingAnything) {
    set_port_server_value("allow", "127.0.0.2, 10.0.0.0/8");
    enable_log();
    start_master_on("127.0.0.1", "127.0.0.2");
    // "?Active" from a host outside the list is refused...
    EXPECT_EQ(ask("127.0.0.1", base_, nullptr, "?Active"), "");
    EXPECT_TRUE(recorded_gateways().empty());
    // ...and so is a server request: closed without an answer, nothing started.
    EXPECT_EQ(ask("127.0.0.1", base_), "");
    EXPECT_EQ(ask("127.0.0.1", base_), "");
    EXPECT_TRUE(recorded_gateways().empty());
    // An allowed host is served.
    std::string port = ask("127.0.0.1", base_, "127.0.0.2");
    EXPECT_EQ(port, std::to_string(base_ + 1));
    // Refusals are logged once a minute per address, not once per request.
    std::string text = log();
    size_t first = text.find("request from 127.0.0.1 refused");
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find("request from 127.0.0.1 refused", first + 1), std::string::npos);
}

TEST_F(MasterHosts, SessionNoticesPassWhateverTheAllowListSays) {
    // The client is allowed; the gateway's notice comes from this host's own
    // address, which the list leaves out.
    set_port_server_value("allow", "127.0.0.2");
    start_master_on("127.0.0.1", "127.0.0.2");
    std::string port = ask("127.0.0.1", base_, "127.0.0.2");
    ASSERT_EQ(port, std::to_string(base_ + 1));
    std::unique_ptr<dqp::Connection> c;
    pid_t gateway = start_on("127.0.0.1", base_ + 1, nullptr, &c, "127.0.0.2");
    ASSERT_GT(gateway, 0);
    ASSERT_TRUE(wait_live_records(1));
    EXPECT_EQ(live_records()[0].process, gateway);
}

TEST_F(MasterHosts, MalformedAllowEntryStopsTheMasterNamingIt) {
    set_port_server_value("allow", "127.0.0.1 intranet 10.0.0.0/8");
    pid_t pid = spawn_master();
    EXPECT_NE(wait_exit(pid, 10000), 0);
    masters_.back() = -1;
    std::string err = read_file(root_ + "/master0.err");
    EXPECT_NE(err.find("PortServer \"allow\" is \"127.0.0.1 intranet 10.0.0.0/8\": \"intranet\" "
                       "is not an address or a network"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("held by another program"), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(users_db()));  // stopped before touching anything
}

TEST_F(MasterHosts, OneIPv4AddressForBasePortAndGateways) {
    set_port_server_value("listen", "127.0.0.1");
    start_master_on("127.0.0.1");
    EXPECT_EQ(ask("127.0.0.2", base_), "<refused>");
    std::string port = ask("127.0.0.1", base_);
    ASSERT_EQ(port, std::to_string(base_ + 1));
    // The gateway listens there too, and its session notice reaches the master.
    EXPECT_FALSE(connect_from("127.0.0.2", base_ + 1).valid());
    std::unique_ptr<dqp::Connection> c;
    ASSERT_GT(start_on("127.0.0.1", base_ + 1, nullptr, &c), 0);
    EXPECT_TRUE(wait_sessions(1));
}

TEST_F(MasterHosts, IPv6LoopbackForBasePortAndGateways) {
    if (!have_ipv6_loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    set_port_server_value("listen", "::1");
    start_master_on("::1");
    EXPECT_EQ(ask("127.0.0.1", base_), "<refused>");
    int port = 0;
    std::string err;
    ASSERT_EQ(dqp::request_server("::1", base_, "odb", &port, &err), 0) << err;
    EXPECT_EQ(port, base_ + 1);
    EXPECT_FALSE(connect_from("127.0.0.1", port).valid());
    std::unique_ptr<dqp::Connection> c;
    pid_t gateway = start_on("::1", port, nullptr, &c);
    ASSERT_GT(gateway, 0);
    // The notice went to ::1, was matched to the gateway, and recorded the
    // IPv6 client.
    std::vector<std::string> lines;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (lines.empty() && std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(dqp::list_sessions("::1", base_, &lines, &err), 0) << err;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("user,ODBC,::1," + std::to_string(gateway) + ",", 0), 0u) << lines[0];
}

TEST_F(MasterHosts, DualStackServesBothFamiliesAndShowsIPv4Plain) {
    if (!have_ipv6_loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    set_port_server_value("listen", "::");
    set_port_server_value("allow", "127.0.0.0/8 ::1");
    start_master_on("::1");
    EXPECT_EQ(ask("127.0.0.1", base_, nullptr, "?Active"), "0");
    ASSERT_EQ(ask("::1", base_), std::to_string(base_ + 1));
    ASSERT_EQ(ask("127.0.0.1", base_, "127.0.0.2"), std::to_string(base_ + 2));
    std::unique_ptr<dqp::Connection> c;
    pid_t gateway = -1;
    {
        // A client of the second gateway from 127.0.0.2 over IPv4.
        vnx::UniqueFd fd = connect_from("127.0.0.1", base_ + 2, "127.0.0.2");
        ASSERT_TRUE(fd.valid());
        c = dqp::Connection::adopt(fd.release(), 20000);
        dqp::Reply r;
        ASSERT_EQ(c->request(dqp::PKT_TYPE_START, 0, {"", "v4user", "pw"}, &r), 0) << c->error();
        gateway = r.info;
    }
    ASSERT_GT(gateway, 0);
    ASSERT_TRUE(wait_sessions(1));
    EXPECT_EQ(sessions()[0].rfind("v4user,ODBC,127.0.0.2," + std::to_string(gateway) + ",", 0), 0u)
        << sessions()[0];
}

TEST_F(MasterHosts, UnclaimedCapAnswersMinusOneAndSparesTheSpare) {
    set_spares(1);
    set_port_server_value("max_pending_per_host", "1");
    start_master();
    ASSERT_TRUE(wait_recorded(1));
    // The flooder takes the spare; its replacement starts.
    std::string first = ask("127.0.0.1", base_, "127.0.0.2");
    ASSERT_EQ(first, std::to_string(base_ + 1));
    ASSERT_TRUE(wait_recorded(2));
    std::vector<pid_t> before = recorded_gateways();
    // Its next request is answered -1: no gateway starts, the spare stays.
    EXPECT_EQ(ask("127.0.0.1", base_, "127.0.0.2"), "-1");
    EXPECT_EQ(ask("127.0.0.1", base_, "127.0.0.2"), "-1");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(recorded_gateways(), before);
    // Another host gets that spare.
    EXPECT_EQ(request(), base_ + 2);
}

TEST_F(MasterHosts, MaxPerHostCapsLiveSessionsUntilTheGatewayEnds) {
    set_port_server_value("max_per_host", "1");
    start_master();
    std::unique_ptr<dqp::Connection> c;
    dqp::Connection *conn = nullptr;
    pid_t gateway = start_on("127.0.0.1", request(), &conn, &c);
    ASSERT_GT(gateway, 0);
    ASSERT_TRUE(wait_sessions(1));
    EXPECT_EQ(ask("127.0.0.1", base_), "-1");
    EXPECT_EQ(ask("127.0.0.1", base_, "127.0.0.2"), std::to_string(base_ + 2));  // another host
    // The session ends and its gateway exits: the host may start another.
    ASSERT_EQ(conn->send(dqp::PKT_TYPE_STOP, 0), 0);
    ASSERT_TRUE(conn->peer_closed(10000));
    ASSERT_TRUE(wait_sessions(0));
    std::string again;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((again = ask("127.0.0.1", base_)) == "-1" && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GT(atoi(again.c_str()), base_);
}

TEST_F(MasterHosts, FlooderIsCappedAndOtherHostIsNeverRefused) {
    set_spares(1);
    enable_log();
    start_master();
    // 127.0.0.2 asks for ports as fast as it can and never connects to one.
    std::atomic<bool> stop{false};
    std::atomic<int> handed{0}, refused{0}, other{0};
    std::thread flooder([&] {
        while (!stop) {
            std::string a = ask("127.0.0.1", base_, "127.0.0.2");
            if (a == "-1")
                refused++;
            else if (atoi(a.c_str()) > base_)
                handed++;
            else
                other++;
        }
    });
    // Meanwhile 127.0.0.1 starts and ends twenty sessions.
    int served = 0;
    std::vector<std::string> failures;
    for (int i = 0; i < 20; i++) {
        std::string err;
        int port = 0;
        if (dqp::request_server("127.0.0.1", base_, "odb", &port, &err) != 0) {
            failures.push_back(err);
            continue;
        }
        std::unique_ptr<dqp::Connection> c;
        dqp::Connection *conn = nullptr;
        if (start_on("127.0.0.1", port, &conn, &c) <= 0) {
            failures.push_back("START on " + std::to_string(port));
            continue;
        }
        EXPECT_EQ(conn->send(dqp::PKT_TYPE_STOP, 0), 0);
        conn->peer_closed(10000);
        served++;
    }
    stop = true;
    flooder.join();
    EXPECT_EQ(served, 20);
    EXPECT_TRUE(failures.empty()) << failures[0];
    // The flooder held at most its 8 unclaimed gateways; every other request
    // of it was answered -1 at once.
    EXPECT_EQ(handed.load(), 8);
    EXPECT_GT(refused.load(), 0);
    EXPECT_EQ(other.load(), 0);
    EXPECT_NE(log().find("request from 127.0.0.2 refused: server request answered -1"),
              std::string::npos);
}

TEST_F(MasterHosts, IdleConnectionsOfOneAddressPushOutOnlyTheirOwn) {
    start_master();
    auto opened = std::chrono::steady_clock::now();
    vnx::UniqueFd other = connect_from("127.0.0.1", base_, "127.0.0.1");
    ASSERT_TRUE(other.valid());
    std::vector<vnx::UniqueFd> idle;
    for (int i = 0; i < 40; i++) {
        idle.push_back(connect_from("127.0.0.1", base_, "127.0.0.2"));
        ASSERT_TRUE(idle.back().valid());
    }
    // Answered once the master has taken every connection before it.
    ASSERT_EQ(ask("127.0.0.1", base_, nullptr, "?Active"), "0");
    auto closed = [](const vnx::UniqueFd &fd) {
        char c;
        return recv(fd.get(), &c, 1, MSG_DONTWAIT | MSG_PEEK) == 0;
    };
    // The eight oldest of 127.0.0.2 were dropped to keep it at 32.
    for (int i = 0; i < 8; i++)
        EXPECT_TRUE(closed(idle[i])) << i;
    // The rest, and the other address's, wait for their request until their
    // deadline (2 s): checked only while it cannot have passed.
    if (std::chrono::steady_clock::now() - opened < std::chrono::milliseconds(1500)) {
        for (int i = 8; i < 40; i++)
            EXPECT_FALSE(closed(idle[i])) << i;
        EXPECT_FALSE(closed(other));
    }
}

// Gateway ports obey "allow" and serve only the client they were handed to,
// with warm spares (a spare nobody was handed serves nobody) and without
// (a gateway started for one request knows its client from the start).
TEST_F(MasterHosts, GatewayPortServesOnlyTheClientItWasHandedTo) {
    for (int spares : {2, 0}) {
        SCOPED_TRACE("spares " + std::to_string(spares));
        set_spares(spares);
        set_port_server_value("allow", "127.0.0.1, 127.0.0.9");
        pid_t master = start_master();
        EXPECT_EQ(ask("127.0.0.1", base_, "127.0.0.2"), "");  // refused at the base port
        if (spares > 0) {
            ASSERT_TRUE(stranger_shut_out(base_ + 1));
            ASSERT_TRUE(stranger_shut_out(base_ + 2));
        }
        std::unique_ptr<dqp::Connection> first, second;
        handed_port_serves_only_its_client("127.0.0.1", &first);
        handed_port_serves_only_its_client("127.0.0.9", &second);
        EXPECT_TRUE(wait_live_records(2));
        EXPECT_EQ(records_of("127.0.0.2"), 0);
        kill(master, SIGTERM);
        EXPECT_EQ(wait_exit(master, 10000), 0);
        masters_.back() = -1;
    }
}

// A stranger holding bare connections open on every gateway port stops no
// session of other hosts, pins no spare and is logged once.
TEST_F(MasterHosts, PinnedGatewayPortsStopNoSession) {
    set_spares(2);
    enable_log();
    start_master();
    std::atomic<bool> stop{false};
    std::thread pinner([&] {
        std::vector<vnx::UniqueFd> held(6);
        while (!stop) {
            for (size_t i = 0; i < held.size(); i++) {
                char c;
                if (held[i].valid() && recv(held[i].get(), &c, 1, MSG_DONTWAIT) < 0 &&
                    (errno == EAGAIN || errno == EWOULDBLOCK))
                    continue;  // still open
                held[i] = connect_from("127.0.0.1", base_ + 1 + static_cast<int>(i), "127.0.0.2");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    int served = 0;
    std::vector<std::string> failures;
    for (int i = 0; i < 20; i++) {
        const char *client = i % 2 == 0 ? "127.0.0.1" : "127.0.0.9";
        std::string port = ask("127.0.0.1", base_, client);
        std::unique_ptr<dqp::Connection> c;
        dqp::Connection *conn = nullptr;
        if (start_on("127.0.0.1", atoi(port.c_str()), &conn, &c, client) <= 0) {
            failures.push_back(std::string(client) + " answered \"" + port + "\"");
            continue;
        }
        EXPECT_EQ(conn->send(dqp::PKT_TYPE_STOP, 0), 0);
        conn->peer_closed(10000);
        served++;
    }
    stop = true;
    pinner.join();
    EXPECT_EQ(served, 20);
    EXPECT_TRUE(failures.empty()) << failures[0];
    EXPECT_EQ(records_of("127.0.0.2"), 0);
    std::string text = log();
    const std::string line = "request from 127.0.0.2 refused: connected to a gateway port";
    size_t first = text.find(line);
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find(line, first + 1), std::string::npos);
}
