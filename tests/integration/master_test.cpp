// The master end to end: a client's road from the base port to its own
// gateway, ports and session records, restarts and hostile requests.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <set>

#include "client/dqp_client.h"
#include "master_harness.h"

using namespace vnxtest;
using dqp::Reply;

namespace {

// Sends raw bytes to the base port; true when the master closed the
// connection without answering anything.
bool closed_without_answer(int base, const std::string &bytes) {
    std::string err;
    auto c = dqp::Connection::open("127.0.0.1", base, &err, 10000);
    if (c == nullptr) return false;
    EXPECT_EQ(c->send_raw(bytes.data(), bytes.size()), 0);
    char buf[64];
    ssize_t n = recv(c->fd(), buf, sizeof buf, 0);
    return n <= 0;
}

pid_t start_session(dqp::Connection &c, const std::string &user) {
    Reply r;
    EXPECT_EQ(c.request('A', 0, {"", user, "pw"}, &r), 0) << c.error();
    EXPECT_EQ(r.type, 'Y');
    return r.info;
}

}  // namespace

TEST_F(Master, ClientReachesItsOwnGatewayAndPortIsReused) {
    start_master();
    std::string err;
    int port = 0;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err, &port);
    ASSERT_NE(c, nullptr) << err;
    EXPECT_EQ(port, base_ + 1);
    pid_t pid = start_session(*c, "alice");
    EXPECT_GT(pid, 0);
    EXPECT_EQ(std::filesystem::file_size(users_db()), 1116u);

    std::vector<std::string> lines = sessions();
    ASSERT_EQ(lines.size(), 1u);
    std::string prefix =
        "alice,ODBC,127.0.0.1," + std::to_string(pid) + "," + std::to_string(port) + ",";
    EXPECT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].back(), ',');  // GID and UID -1: nothing after the date

    ASSERT_EQ(c->send('B', 0), 0);
    EXPECT_TRUE(c->peer_closed(5000));
    EXPECT_TRUE(wait_sessions(0));
    EXPECT_EQ(request(), base_ + 1);  // freed when the gateway ended
}

TEST_F(Master, GetUserPagesThroughLiveSessions) {
    start_master();
    std::string err;
    auto a = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(a, nullptr) << err;
    auto b = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(b, nullptr) << err;
    start_session(*a, "first");
    start_session(*b, "second");
    std::vector<std::string> lines = sessions();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("first,ODBC,", 0), 0u);
    EXPECT_EQ(lines[1].rfind("second,ODBC,", 0), 0u);
    EXPECT_EQ(std::filesystem::file_size(users_db()), 1024u + 2 * 92);
}

TEST_F(Master, HundredClientsGetEveryPortThenNoMore) {
    // The hundred requests come from one address and claim nothing: without
    // the cap on unclaimed gateways per address they reach the port range.
    set_port_server_value("max_pending_per_host", "0");
    start_master();
    std::vector<std::future<std::vector<int>>> workers;
    for (int w = 0; w < 10; w++)
        workers.push_back(std::async(std::launch::async, [this] {
            std::vector<int> ports;
            for (int i = 0; i < 10; i++)
                ports.push_back(request());
            return ports;
        }));
    std::set<int> ports;
    for (auto &w : workers)
        for (int p : w.get())
            ports.insert(p);
    ASSERT_EQ(ports.size(), 100u);
    EXPECT_EQ(*ports.begin(), base_ + 1);
    EXPECT_EQ(*ports.rbegin(), base_ + 100);
    std::string err;
    EXPECT_EQ(request("odb", &err), -1);
    EXPECT_NE(err.find("closed the connection without a port"), std::string::npos) << err;
}

TEST_F(Master, KilledGatewayFreesItsPortAndRecord) {
    start_master();
    std::string err;
    int port = 0;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err, &port);
    ASSERT_NE(c, nullptr) << err;
    pid_t pid = start_session(*c, "victim");
    ASSERT_GT(pid, 0);  // never signal 0 or -1: that would reach other processes
    ASSERT_EQ(sessions().size(), 1u);
    kill(pid, SIGKILL);
    EXPECT_TRUE(wait_sessions(0));
    EXPECT_EQ(request(), port);
}

TEST_F(Master, RestartedMasterTerminatesGatewaysOfTheOldRun) {
    pid_t first = start_master();
    ASSERT_GT(first, 0);
    std::string err;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(c, nullptr) << err;
    pid_t gateway = start_session(*c, "orphan");
    kill(first, SIGKILL);  // no chance to clean up
    wait_exit(first, 5000);
    ASSERT_TRUE(process_alive(gateway));
    start_master();
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (process_alive(gateway) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(process_alive(gateway));
    EXPECT_EQ(std::filesystem::file_size(users_db()), 1025u);
}

TEST_F(Master, SecondMasterOnSameBasePortExitsAndFirstKeepsServing) {
    start_master();
    std::string err;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(c, nullptr) << err;
    pid_t gateway = start_session(*c, "keeper");
    pid_t second = start_master(false);
    int code = wait_exit(second, 10000);
    EXPECT_NE(code, 0);
    EXPECT_NE(code, -1);  // it ended
    EXPECT_NE(read_file(root_ + "/master1.err").find("The Tavorin 8.0 Varnex is already running."),
              std::string::npos);
    // The second master touched neither the first one's gateways nor users.db.
    EXPECT_TRUE(process_alive(gateway));
    EXPECT_EQ(sessions().size(), 1u);
    EXPECT_EQ(request(), base_ + 2);
}

TEST_F(Master, MissingDbRootOrBasePortRefusesToStart) {
    store_->delete_value(vnx::kRootKey, "DB_DQPBASE");
    pid_t m = start_master(false);
    EXPECT_EQ(wait_exit(m, 10000), 255);
    EXPECT_NE(read_file(root_ + "/master0.err").find("DB_DQPBASE"), std::string::npos);
    store_->delete_value(vnx::kRootKey, "DB_ROOT");
    pid_t n = start_master(false);
    EXPECT_EQ(wait_exit(n, 10000), 255);
    EXPECT_NE(read_file(root_ + "/master1.err").find("Cannot find DB_ROOT in the registry."),
              std::string::npos);
}

TEST_F(Master, IdleConnectionDoesNotStopOtherClients) {
    start_master();
    std::string err;
    auto idle = dqp::Connection::open("127.0.0.1", base_, &err);
    ASSERT_NE(idle, nullptr);
    EXPECT_EQ(request(), base_ + 1);
    EXPECT_TRUE(idle->peer_closed(10000));
}

TEST_F(Master, TextQueries) {
    start_master();
    std::string answer, err;
    ASSERT_EQ(dqp::text_query("127.0.0.1", base_, "Active", &answer, &err), 0) << err;
    EXPECT_EQ(answer, "0");
    ASSERT_EQ(dqp::text_query("127.0.0.1", base_, "Status", &answer, &err), 0);
    EXPECT_EQ(answer, "-1");
}

TEST_F(Master, PacketQueries) {
    start_master();
    Reply r;
    std::string err;
    ASSERT_EQ(dqp::packet_query("127.0.0.1", base_, {"Active"}, &r, &err), 0) << err;
    EXPECT_EQ(r.type, 'Y');
    EXPECT_EQ(r.args, (std::vector<std::string>{"0"}));
    ASSERT_EQ(dqp::packet_query("127.0.0.1", base_, {"Shutdown"}, &r, &err), 0);
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.info, -1);
    EXPECT_EQ(r.args,
              (std::vector<std::string>{"Port server request : Command Shutdown not found"}));
}

TEST_F(Master, HostileRequestsCloseTheConnectionAndMasterSurvives) {
    start_master();
    EXPECT_TRUE(closed_without_answer(base_, "\xff\xfe\x01garb"));
    EXPECT_TRUE(closed_without_answer(base_, "../x"));
    EXPECT_TRUE(closed_without_answer(base_, "nosuch"));       // no program for the type
    EXPECT_TRUE(closed_without_answer(base_, "00009999"));     // beyond the buffer
    EXPECT_TRUE(closed_without_answer(base_, "0zzzzzzz"));     // not hex
    EXPECT_TRUE(closed_without_answer(base_, "0000002An00"));  // peer stops mid-packet
    EXPECT_EQ(request(), base_ + 1);
}

TEST_F(Master, NoticesFromOtherProcessesAreRefused) {
    start_master();
    std::string err;
    int port = 0;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err, &port);
    ASSERT_NE(c, nullptr) << err;
    pid_t gateway = start_session(*c, "victim");
    ASSERT_GT(gateway, 0);
    Reply r;
    std::string long_name(40, 'n');
    std::string far_port = std::to_string(base_ + 500);
    std::string idle_port = std::to_string(base_ + 7);
    // This test process holds no port: its notices for the victim's port, for
    // a port outside the table and for a port without a gateway all fail.
    for (const std::string &p : {std::to_string(port), far_port, idle_port}) {
        for (const char *command : {"RemUser", "AddUser"}) {
            ASSERT_EQ(
                dqp::packet_query("127.0.0.1", base_,
                                  {command, "ODB127.0.0.1", long_name, p, "-1", "-1"}, &r, &err),
                0)
                << err;
            EXPECT_EQ(r.type, 'N') << command << " " << p;
            EXPECT_EQ(r.info, -1);
        }
    }
    std::vector<std::string> lines = sessions();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("victim,ODBC,127.0.0.1," + std::to_string(gateway) + ",", 0), 0u);
    EXPECT_TRUE(process_alive(gateway));
    EXPECT_EQ(std::filesystem::file_size(users_db()), 1024u + 92);
    EXPECT_EQ(request(), base_ + 2);  // the victim's port was not freed
}

TEST_F(Master, StoppingTheMasterTerminatesItsGateways) {
    pid_t m = start_master();
    ASSERT_GT(m, 0);
    std::string err;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(c, nullptr) << err;
    pid_t gateway = start_session(*c, "bob");
    int idle_port = request();  // started, never connected to
    ASSERT_GT(idle_port, 0);
    kill(m, SIGTERM);
    EXPECT_EQ(wait_exit(m, 10000), 0);
    EXPECT_TRUE(c->peer_closed(5000));
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (process_alive(gateway) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(process_alive(gateway));
}

TEST_F(Master, DecnetSettingSendsNoNotice) {
    EXPECT_EQ(store_->set_value(vnx::kNetServerKey, "dqp_protocol", "decnet"), 0);
    start_master();
    std::string err;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(c, nullptr) << err;
    start_session(*c, "quiet");
    EXPECT_EQ(sessions().size(), 0u);
    EXPECT_EQ(std::filesystem::file_size(users_db()), 1025u);
}

TEST_F(Master, StopEndsAGatewayThatIsStillStarting) {
    // A server program that never signals that it listens.
    std::string script = root_ + "/slowserver";
    std::ofstream(script) << "#!/bin/sh\necho $$ > " << root_ << "/slow.pid\nexec sleep 60\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    pid_t m = start_master();
    ASSERT_GT(m, 0);
    std::thread client([this] { request("slow"); });
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(root_ + "/slow.pid") && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the script has exec'd sleep
    pid_t slow = static_cast<pid_t>(atoi(read_file(root_ + "/slow.pid").c_str()));
    ASSERT_GT(slow, 1);
    ASSERT_TRUE(process_alive(slow));
    kill(m, SIGTERM);
    EXPECT_EQ(wait_exit(m, 10000), 0);
    client.join();
    EXPECT_FALSE(process_alive(slow));
    if (process_alive(slow)) kill(slow, SIGKILL);
}

TEST_F(Master, ExitedGatewayIsReapedAtOnce) {
    pid_t m = start_master();
    ASSERT_GT(m, 0);
    std::string err;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(c, nullptr) << err;
    pid_t gateway = start_session(*c, "bob");
    ASSERT_GT(gateway, 0);
    ASSERT_EQ(c->send('B', 0), 0);  // STOP: the gateway exits
    // No "<defunct>" lingers: the master reaps it as soon as it exits.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::filesystem::exists("/proc/" + std::to_string(gateway)) &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(gateway)));
    EXPECT_TRUE(wait_sessions(0));
}

TEST_F(Master, ServerRequestNameEndsAtItsNul) {
    start_master();
    std::string err;
    auto c = dqp::Connection::open("127.0.0.1", base_, &err, 10000);
    ASSERT_NE(c, nullptr) << err;
    ASSERT_EQ(c->send_raw("odb\0", 4), 0);
    char buf[32] = {};
    ssize_t n = recv(c->fd(), buf, sizeof buf - 1, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(atoi(buf), base_ + 1);
}

TEST_F(Master, StartUpLinesAreLoggedOnceTheLogIsOpen) {
    std::string key = std::string(vnx::kRootKey) + "\\PortServer";
    EXPECT_EQ(store_->set_value(key, "logging", "true"), 0);
    EXPECT_EQ(store_->set_value(key, "logfile", "portserver.txt"), 0);
    pid_t m = start_master();
    ASSERT_GT(m, 0);
    std::string log = read_file(root_ + "/portserver.log");
    size_t activated = log.find("Tavorin/DQP TCP/IP port server activated");
    size_t port_line =
        log.find("getservbyname(\"db_dqpbase\",\"tcp\") port=" + std::to_string(base_));
    size_t buffers = log.find("socket buffer sizes - so_rcvbuf=");
    ASSERT_NE(activated, std::string::npos) << log;
    ASSERT_NE(port_line, std::string::npos) << log;
    ASSERT_NE(buffers, std::string::npos) << log;
    EXPECT_LT(activated, port_line);
    EXPECT_LT(port_line, buffers);
    EXPECT_NE(log.find("(from DB_DQPBASE)"), std::string::npos);
    EXPECT_EQ(log.find("wsock32.dll loaded"), std::string::npos);
}

TEST_F(Master, RefusesToStartWithoutAGatewayProgram) {
    std::filesystem::remove(root_ + "/odbserver");
    pid_t m = start_master(false);
    EXPECT_EQ(wait_exit(m, 10000), 255);
    masters_.back() = -1;
    EXPECT_NE(read_file(root_ + "/master0.err").find("holds no odbserver"), std::string::npos);
}

TEST_F(Master, MissingDbRootNamesTheStoreAndSuggestsInit) {
    store_->delete_value(vnx::kRootKey, "DB_ROOT");
    pid_t m = start_master(false);
    EXPECT_EQ(wait_exit(m, 10000), 255);
    masters_.back() = -1;
    std::string err = read_file(root_ + "/master0.err");
    EXPECT_NE(err.find("Cannot find DB_ROOT in the registry."), std::string::npos) << err;
    EXPECT_NE(err.find(root_ + "/registry.db"), std::string::npos) << err;
    EXPECT_NE(err.find("vnxadmin init"), std::string::npos) << err;
}
