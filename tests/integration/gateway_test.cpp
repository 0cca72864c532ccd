// A real odbserver started through spawn_server, served over loopback.
#include <gtest/gtest.h>

#include <filesystem>

#include "client/dqp_client.h"
#include "harness.h"
#include "master/spawn.h"

using namespace vnxtest;
using dqp::Reply;

namespace {

class Gateway : public Installation {
  protected:
    // Starts odbserver (from `path`) for a free port and waits for its handshake.
    pid_t start(int *port, const std::string &path = VNX_ODBSERVER_PATH) {
        *port = free_port();
        pid_t pid = vnx::spawn_server(path + " " + std::to_string(*port), *port);
        EXPECT_GT(pid, 0);
        if (pid > 0) own(pid);
        EXPECT_EQ(vnx::wait_for_child(*port, pid), 0);
        return pid;
    }
    std::unique_ptr<dqp::Connection> connect(int port) {
        std::string err;
        auto c = dqp::Connection::open("127.0.0.1", port, &err, 5000);
        EXPECT_NE(c, nullptr) << err;
        return c;
    }
    Reply ask(dqp::Connection &c, int type, int32_t info,
              std::initializer_list<std::string_view> args = {}) {
        Reply r;
        EXPECT_EQ(c.request(type, info, args, &r), 0) << c.error();
        return r;
    }
    void enable_log(const std::string &logfile) {
        std::string key = std::string(vnx::kRootKey) + "\\ODBServer";
        EXPECT_EQ(store_->set_value(key, "logging", "true"), 0);
        EXPECT_EQ(store_->set_value(key, "logfile", logfile), 0);
    }
};

}  // namespace

TEST_F(Gateway, ServesOneClientFromStartToStop) {
    int port = 0;
    pid_t pid = start(&port);
    EXPECT_FALSE(std::filesystem::exists(vnx::handshake_file_name(port)));  // taken by the wait
    auto c = connect(port);
    Reply start_reply = ask(*c, 'A', 0, {"bob", "", "pw"});
    EXPECT_EQ(start_reply.type, 'Y');
    EXPECT_EQ(start_reply.info, pid);
    Reply disc = ask(*c, 'D', 99);
    EXPECT_EQ(disc.type, 'Y');
    EXPECT_EQ(disc.info, 99);
    Reply no_handler = ask(*c, 'f', 0);
    EXPECT_EQ(no_handler.type, 'N');
    EXPECT_EQ(no_handler.info, 0);
    Reply empty_slot = ask(*c, 'G', 0, {"select 1"});
    EXPECT_EQ(empty_slot.type, 'N');
    EXPECT_EQ(empty_slot.info, -1);
    ASSERT_EQ(c->send('4', 0, {"0"}), 0);  // LOGGING: no reply
    EXPECT_EQ(ask(*c, 'n', 0).info, 0);
    ASSERT_EQ(c->send('B', 0), 0);
    EXPECT_EQ(wait_exit(pid, 5000), 1);
    forget(pid);
}

TEST_F(Gateway, HandshakeFileAppearsOnlyAfterListen) {
    int port = free_port();
    char arg0[] = "odbserver";
    std::string path = VNX_ODBSERVER_PATH, port_text = std::to_string(port);
    char *argv[] = {arg0, path.data(), port_text.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, VNX_ODBSERVER_PATH, nullptr, nullptr, argv, environ), 0);
    own(pid);
    std::string name = vnx::handshake_file_name(port);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(name) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(std::filesystem::exists(name));
    auto c = connect(port);  // listening as soon as the file exists
    EXPECT_EQ(ask(*c, 'A', 0, {"u"}).info, pid);
}

TEST_F(Gateway, ProgramPathWithBlanksServesItsPort) {
    std::filesystem::create_directory(root_ + "/Program Files");
    std::string copy = root_ + "/Program Files/odbserver";
    std::filesystem::copy_file(VNX_ODBSERVER_PATH, copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    int port = 0;
    pid_t pid = start(&port, copy);
    auto c = connect(port);
    EXPECT_EQ(ask(*c, 'A', 0, {"u"}).info, pid);
}

TEST_F(Gateway, PortAloneOnCommandLineExitsMinusOne) {
    char arg0[] = "odbserver", port[] = "5001";
    char *argv[] = {arg0, port, nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, VNX_ODBSERVER_PATH, nullptr, nullptr, argv, environ), 0);
    EXPECT_EQ(wait_exit(pid, 5000), 255);
}

TEST_F(Gateway, DroppedConnectionEndsGateway) {
    int port = 0;
    pid_t pid = start(&port);
    auto c = connect(port);
    ask(*c, 'A', 0, {"u"});
    c->close();
    EXPECT_EQ(wait_exit(pid, 5000), 1);
    forget(pid);
}

TEST_F(Gateway, AbortEndsGateway) {
    int port = 0;
    pid_t pid = start(&port);
    auto c = connect(port);
    ASSERT_EQ(c->send('S', 0), 0);
    EXPECT_TRUE(c->peer_closed(5000));
    EXPECT_EQ(wait_exit(pid, 5000), 1);
    forget(pid);
}

TEST_F(Gateway, OversizedFrameClosesConnectionAndEndsGateway) {
    int port = 0;
    pid_t pid = start(&port);
    auto c = connect(port);
    std::string frame = "00004001" + std::string(16377, 'x');
    ASSERT_EQ(c->send_raw(frame.data(), frame.size()), 0);
    EXPECT_TRUE(c->peer_closed(5000));
    EXPECT_EQ(wait_exit(pid, 5000), 1);
    forget(pid);
}

TEST_F(Gateway, SecondGatewayOnTakenPortLogsBindFailureAndExits) {
    enable_log("C:\\logs\\gw.txt");
    int port = 0;
    pid_t first = start(&port);
    // With a limit of an hour, -1 can only mean that the wait saw the second
    // gateway exit (it reaps it), not that it waited the limit out. How soon
    // is measured by bench/session_bench (f: a gateway that cannot listen).
    setenv("DQP_SPAWNWAIT", "3600", 1);
    pid_t second =
        vnx::spawn_server(std::string(VNX_ODBSERVER_PATH) + " " + std::to_string(port), port);
    ASSERT_GT(second, 0);
    own(second);
    EXPECT_EQ(vnx::wait_for_child(port, second), -1);
    EXPECT_EQ(wait_exit(second, 0), -2);  // already reaped by the wait
    forget(second);
    std::string log = read_file(root_ + "/gw001.log");
    size_t bind_failed = log.find("spawned bind() failed  - (Address already in use)");
    ASSERT_NE(bind_failed, std::string::npos) << log;
    EXPECT_NE(log.find("failed to attach to client", bind_failed), std::string::npos) << log;
    auto c = connect(port);  // the first one still serves
    EXPECT_EQ(ask(*c, 'A', 0, {"u"}).info, first);
}

TEST_F(Gateway, LogMasksPasswordAndNumbersFiles) {
    enable_log("gw.txt");
    std::ofstream(root_ + "/gw.log") << "older run\n";
    int port = 0;
    pid_t pid = start(&port);
    auto c = connect(port);
    ask(*c, 'A', 0, {"bob", "x", "s3cret"});
    ASSERT_EQ(c->send('B', 0), 0);
    EXPECT_EQ(wait_exit(pid, 5000), 1);
    forget(pid);
    EXPECT_EQ(read_file(root_ + "/gw.log"), "older run\n");
    std::string log = read_file(root_ + "/gw001.log");
    EXPECT_NE(
        log.find("child odb/server started using tcpip protocol on port " + std::to_string(port)),
        std::string::npos);
    EXPECT_NE(log.find("     pkt_argv[ 2] = ******\n"), std::string::npos);
    EXPECT_EQ(log.find("s3cret"), std::string::npos);
    EXPECT_NE(log.find("server operation terminated"), std::string::npos);
}

TEST_F(Gateway, LoggingRequestWritesOnlyInsideDbRoot) {
    std::filesystem::create_directory(root_ + "/sub");
    std::filesystem::current_path(root_ + "/sub");
    int port = 0;
    start(&port);
    auto c = connect(port);
    ASSERT_EQ(c->send('4', 0, {"1", "../../escape.log"}), 0);
    ask(*c, 'A', 0, {"u"});
    EXPECT_TRUE(std::filesystem::exists(root_ + "/escape.log"));
    EXPECT_FALSE(
        std::filesystem::exists(std::filesystem::path(root_).parent_path() / "escape.log"));
    EXPECT_NE(read_file(root_ + "/escape.log").find("PKT_TYPE_START"), std::string::npos);
}

// An hour's limit: the wait can only have ended on the program's exit.
TEST_F(Gateway, ProgramThatExitsAtOnceEndsTheWaitAndIsReaped) {
    setenv("DQP_SPAWNWAIT", "3600", 1);
    int port = free_port();
    pid_t pid = vnx::spawn_server("/bin/false " + std::to_string(port), port);
    ASSERT_GT(pid, 0);
    own(pid);
    EXPECT_EQ(vnx::wait_for_child(port, pid), -1);
    EXPECT_EQ(wait_exit(pid, 0), -2);  // already reaped by the wait
    forget(pid);
}

TEST_F(Gateway, MissingProgramFailsToSpawn) {
    EXPECT_EQ(vnx::spawn_server(root_ + "/nosuchserver 6000", 6000), -1);
    EXPECT_EQ(vnx::spawn_server("no-blank-here", 6000), -1);
}

TEST_F(Gateway, StaleHandshakeIsDeletedBeforeStart) {
    int port = free_port();
    vnx::signal_ready(port);  // left by a crashed child
    pid_t pid = vnx::spawn_server("/bin/false " + std::to_string(port), port);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(vnx::wait_for_child(port, pid), -1);
}

TEST_F(Gateway, SpawnWaitZeroLooksOnce) {
    setenv("DQP_SPAWNWAIT", "0", 1);
    int port = free_port();
    EXPECT_EQ(vnx::wait_for_child(port, 0), -1);
    vnx::signal_ready(port);
    EXPECT_EQ(vnx::wait_for_child(port, 0), 0);
    EXPECT_FALSE(std::filesystem::exists(vnx::handshake_file_name(port)));
}

TEST_F(Gateway, SecondClientIsRefusedOnceOneIsAccepted) {
    int port = 0;
    start(&port);
    auto first = connect(port);
    ASSERT_EQ(ask(*first, 'A', 0, {"", "u"}).type, 'Y');
    // The listener is closed after the accept: a second client is refused at
    // once rather than left waiting in a backlog nobody reads.
    std::string err;
    auto second = dqp::Connection::open("127.0.0.1", port, &err, 2000);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(err.find("refused"), std::string::npos) << err;
}

TEST_F(Gateway, LoggingNeverOverwritesOtherFilesInDbRoot) {
    for (const char *name : {"users.db", "registry-copy.db", "data.sqlite"}) {
        std::ofstream(root_ + "/" + name) << "keep me";
    }
    std::filesystem::create_symlink("/dev/null", root_ + "/linked.log");
    int port = 0;
    start(&port);
    auto c = connect(port);
    for (const char *name : {"users.db", "registry-copy.db", "data.sqlite", "linked.log"}) {
        ASSERT_EQ(c->send('4', 0, {"1", name}), 0);
        ask(*c, 'A', 0, {"", "u"});
    }
    for (const char *name : {"users.db", "registry-copy.db", "data.sqlite"}) {
        EXPECT_EQ(read_file(root_ + "/" + name), "keep me") << name;
        EXPECT_NE(read_file(root_ + "/" + name + std::string(".log")).find("PKT_TYPE_START"),
                  std::string::npos)
            << name;
    }
    // A link is never followed: the log is simply not opened.
    EXPECT_TRUE(std::filesystem::is_symlink(root_ + "/linked.log"));
    // The configuration store itself is untouched and still readable.
    std::string data;
    EXPECT_EQ(store_->get_value(vnx::kRootKey, "DB_ROOT", &data), 0);
    EXPECT_EQ(data, root_);
}

TEST_F(Gateway, WaitForChildStopsWhenWoken) {
    int port = free_port();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_EQ(vnx::wait_for_child(port, 0, {fds[0]}), -2);
    close(fds[0]);
    close(fds[1]);
}
