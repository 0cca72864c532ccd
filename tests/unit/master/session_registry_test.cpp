#include "master/session_registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/config_cache.h"
#include "support/config_store.h"
#include "support/datetime.h"

using namespace vnx;

namespace {

[[noreturn]] void exec_sleep(const std::string &program) {
    execl(program.c_str(), program.c_str(), "30", static_cast<char *>(nullptr));
    _exit(127);
}

// Starts `program 30` (a copy of sleep) as a child of this process.
pid_t start_child(const std::string &program) {
    const pid_t pid = fork();
    if (pid == 0) exec_sleep(program);
    return pid;
}

// Starts `program 30` through an intermediate process that exits at once, so
// the program is not our child. Returns once the program has been executed.
pid_t start_non_child(const std::string &program) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    const pid_t middle = fork();
    if (middle == 0) {
        const pid_t pid = fork();
        if (pid == 0) exec_sleep(program);
        (void)!write(fds[1], &pid, sizeof pid);
        _exit(0);
    }
    close(fds[1]);
    pid_t pid = -1;
    if (read(fds[0], &pid, sizeof pid) != sizeof pid) pid = -1;
    char end;
    while (read(fds[0], &end, 1) > 0) {
    }  // EOF: the grandchild's copy closed at exec
    close(fds[0]);
    waitpid(middle, nullptr, 0);
    return pid;
}

// Kills a process this test started; never signals 0 or -1, which would reach
// the whole process group or every process.
void kill_started(pid_t pid) {
    if (pid > 0) kill(pid, SIGKILL);
}

std::string read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {(std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()};
}

char process_state(pid_t pid) {
    const std::string text = read_all("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = text.rfind(')');
    return paren == std::string::npos || paren + 2 >= text.size() ? '?' : text[paren + 2];
}

// The local date and time of `t` as a login record holds them.
std::string login_stamp(time_t t) {
    struct tm fields;
    localtime_r(&t, &fields);
    char buf[32];
    strftime(buf, sizeof buf, "%d/%m/%Y %H:%M:%S", &fields);
    return buf;
}

// `text` padded with NULs to `size` bytes.
std::string field(const std::string &text, size_t size) {
    return text + std::string(size - text.size(), '\0');
}

class SessionRegistry : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vnx_sessions_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        set_db_root(dir_);
        ASSERT_EQ(reset_session_registry(), 1);
        ASSERT_GE(open_session_registry(), 0);
    }
    void TearDown() override {
        close_session_registry();
        for (pid_t pid : strays_)
            kill_started(pid);
        std::filesystem::remove_all(dir_);
        unsetenv("VNX_REGISTRY");
        reset_registry_cache_for_tests();
    }
    void set_db_root(const std::string &root) {
        const std::string store = dir_ + "/registry.db";
        setenv("VNX_REGISTRY", store.c_str(), 1);
        std::string err;
        auto cs = ConfigStore::open(store, true, &err);
        ASSERT_TRUE(cs) << err;
        ASSERT_EQ(cs->set_value(kRootKey, "DB_ROOT", root), 0);
        reset_registry_cache_for_tests();
    }
    std::string file_bytes() const { return read_all(dir_ + "/users.db"); }
    std::vector<SessionRecord> records() const {
        std::vector<SessionRecord> out;
        EXPECT_EQ(read_session_file(dir_ + "/users.db", &out), 0);
        return out;
    }
    std::string dir_;
    std::vector<pid_t> strays_;  // non-children to kill at the end
};

TEST_F(SessionRegistry, ResetLeavesHeaderAndEndMarkerOnly) {
    ASSERT_EQ(register_session("bob", 101, 5001, -1, -1, "ODB1.2.3.4"), 0);
    ASSERT_EQ(reset_session_registry(), 1);
    EXPECT_EQ(file_bytes(), std::string(1024, '\0') + "\x1A");
    EXPECT_EQ(live_sessions(), 0);
}

TEST_F(SessionRegistry, FirstAddUserReplacesEndMarkerWithExactRecord) {
    const time_t before = time(nullptr);
    EXPECT_EQ(register_session("bob", 4321, 8001, 3, -1, "ODB10.1.2.3"), 0);
    const time_t after = time(nullptr);
    const std::string bytes = file_bytes();
    ASSERT_EQ(bytes.size(), 1116u);
    EXPECT_EQ(bytes.substr(0, 1024), std::string(1024, '\0'));
    auto record_at = [](time_t t) {
        const std::string stamp = login_stamp(t);
        // live, 3 zeros, GID 3, UID -1, process 4321 (0x10E1), then the texts and port 8001
        return std::string(" \0\0\0\3\0\0\0\xFF\xFF\xFF\xFF\xE1\x10\0\0", 16) + field("bob", 25) +
               field("ODB10.1.2.3", 25) + field(stamp.substr(0, 10), 11) +
               field(stamp.substr(11), 11) + std::string("\x41\x1F\0\0", 4);
    };
    const std::string record = bytes.substr(1024);
    EXPECT_TRUE(record == record_at(before) || record == record_at(after));
    EXPECT_FALSE(date_settings().century);  // switched on for the date only
    EXPECT_EQ(live_sessions(), 1);
}

TEST_F(SessionRegistry, FreedSlotIsReusedLowestFirst) {
    ASSERT_EQ(register_session("ann", 101, 5001, -1, -1, "ODB1.1.1.1"), 0);
    ASSERT_EQ(register_session("bob", 102, 5002, -1, -1, "ODB1.1.1.2"), 0);
    unregister_session("ann", 101, 5001, -1, -1, "ODB1.1.1.1");
    register_session("cy", 103, 5003, -1, -1, "ODB1.1.1.3");
    EXPECT_EQ(file_bytes().size(), 1024u + 2 * 92);
    const auto recs = records();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].status, ' ');
    EXPECT_EQ(recs[0].name, "cy");
    EXPECT_EQ(recs[0].process, 103);
    EXPECT_EQ(recs[1].name, "bob");
    EXPECT_EQ(live_sessions(), 2);
}

TEST_F(SessionRegistry, RemUserMatchesGidUidProcessAndPortOnly) {
    register_session("ann", 101, 5001, 3, 7, "ODB1.1.1.1");
    unregister_session("ann", 101, 5001, 4, 7, "ODB1.1.1.1");
    unregister_session("ann", 101, 5001, 3, 8, "ODB1.1.1.1");
    unregister_session("ann", 102, 5001, 3, 7, "ODB1.1.1.1");
    unregister_session("ann", 101, 5002, 3, 7, "ODB1.1.1.1");
    EXPECT_EQ(records()[0].status, ' ');
    unregister_session("other", 101, 5001, 3, 7, "XYZ9.9.9.9");
    EXPECT_EQ(records()[0].status, '*');
}

TEST_F(SessionRegistry, RemUserWithoutMatchStillUncountsButNotBelowZero) {
    register_session("ann", 101, 5001, -1, -1, "ODB1.1.1.1");
    unregister_session("ann", 999, 5009, -1, -1, "ODB1.1.1.1");
    EXPECT_EQ(live_sessions(), 0);
    unregister_session("ann", 999, 5009, -1, -1, "ODB1.1.1.1");
    EXPECT_EQ(live_sessions(), 0);
    EXPECT_EQ(records()[0].status, ' ');
}

TEST_F(SessionRegistry, ReleaseProcessFreesItsRecordOnce) {
    register_session("ann", 101, 5001, -1, -1, "ODB1.1.1.1");
    register_session("bob", 102, 5002, -1, -1, "ODB1.1.1.2");
    EXPECT_EQ(release_session_process(102), 1);
    EXPECT_EQ(live_sessions(), 1);
    EXPECT_EQ(release_session_process(102), 0);  // "RemUser" or an earlier exit freed it
    EXPECT_EQ(release_session_process(0), 0);
    EXPECT_EQ(live_sessions(), 1);
    const auto recs = records();
    EXPECT_EQ(recs[0].status, ' ');
    EXPECT_EQ(recs[1].status, '*');
}

TEST_F(SessionRegistry, GetUserPagesThroughSlotsThenAnswersMinusOne) {
    register_session("bob", 4321, 8001, 3, 7, "ODB10.1.2.3");
    register_session("amy", 99, 8002, -1, -1, "ora192.168.0.9");
    const auto recs = records();
    const std::string stamp0 = recs[0].login_date + " " + recs[0].login_time;
    const std::string stamp1 = recs[1].login_date + " " + recs[1].login_time;
    std::string line;
    EXPECT_EQ(list_session(0, &line), 0);
    EXPECT_EQ(line, "bob,ODBC,10.1.2.3,4321,8001," + stamp0 + ",[3,7]");
    EXPECT_EQ(list_session(1, &line), 0);
    EXPECT_EQ(line, "amy,Oracle,192.168.0.9,99,8002," + stamp1 + ",");
    EXPECT_EQ(list_session(1, &line), -1);
    EXPECT_EQ(line, "");
    EXPECT_EQ(list_session(0, &line), 0);
    EXPECT_EQ(line.substr(0, 4), "bob,");
}

TEST_F(SessionRegistry, GetUserEndsAtFreeSlotAndWithoutSessions) {
    std::string line = "stale";
    EXPECT_EQ(list_session(0, &line), -1);
    EXPECT_EQ(line, "");
    register_session("ann", 101, 5001, -1, -1, "ODB1.1.1.1");
    register_session("bob", 102, 5002, -1, -1, "ODB1.1.1.2");
    unregister_session("ann", 101, 5001, -1, -1, "ODB1.1.1.1");
    EXPECT_EQ(list_session(0, &line), -1);
}

TEST_F(SessionRegistry, LongNameAndTypeAreCutTo24Bytes) {
    const std::string name30 = "abcdefghijklmnopqrstuvwxyz0123";
    const std::string type30 = "ODB123.123.123.123.123.12345";
    register_session(name30, 101, 5001, -1, -1, type30);
    register_session(name30.substr(0, 24), 102, 5002, -1, -1, "ODB1.1.1.1");
    const std::string slot0 = file_bytes().substr(1024, 92);
    EXPECT_EQ(slot0.substr(16, 25), name30.substr(0, 24) + '\0');
    EXPECT_EQ(slot0.substr(41, 25), type30.substr(0, 24) + '\0');
    const auto recs = records();
    EXPECT_EQ(recs[0].login_date.size(), 10u);
    EXPECT_EQ(recs[0].port, 5001);
    EXPECT_EQ(recs[1].name, name30.substr(0, 24));
}

TEST_F(SessionRegistry, WithoutDbRootSessionsAreOnlyCounted) {
    close_session_registry();
    set_db_root("");
    EXPECT_EQ(reset_session_registry(), 0);
    EXPECT_EQ(open_session_registry(), -1);
    EXPECT_EQ(register_session("ann", 101, 5001, -1, -1, "ODB1.1.1.1"), 0);
    EXPECT_EQ(live_sessions(), 1);
    std::string line;
    EXPECT_EQ(list_session(0, &line), -1);
}

TEST_F(SessionRegistry, GatewayIsChildOrProgramDirectlyInDbRoot) {
    EXPECT_FALSE(is_our_gateway(0, dir_));
    EXPECT_FALSE(is_our_gateway(-1, dir_));
    EXPECT_FALSE(is_our_gateway(1, dir_));
    EXPECT_FALSE(is_our_gateway(getpid(), dir_));

    const pid_t child = start_child("/bin/sleep");
    EXPECT_TRUE(is_our_gateway(child, dir_));
    kill_started(child);
    waitpid(child, nullptr, 0);

    std::filesystem::create_directory(dir_ + "/sub");
    std::filesystem::copy_file("/bin/sleep", dir_ + "/sleep");
    std::filesystem::copy_file("/bin/sleep", dir_ + "/sub/sleep");
    const pid_t outside = start_non_child("/bin/sleep");
    const pid_t inside = start_non_child(dir_ + "/sleep");
    const pid_t nested = start_non_child(dir_ + "/sub/sleep");
    strays_ = {outside, inside, nested};
    ASSERT_GT(outside, 0);
    ASSERT_GT(inside, 0);
    ASSERT_GT(nested, 0);
    EXPECT_FALSE(is_our_gateway(outside, dir_));
    EXPECT_TRUE(is_our_gateway(inside, dir_));
    EXPECT_FALSE(is_our_gateway(nested, dir_));
    EXPECT_FALSE(is_our_gateway(inside, ""));
}

TEST_F(SessionRegistry, TerminateSessionsKillsOurChildAndSparesOthers) {
    const pid_t child = start_child("/bin/sleep");
    const pid_t other = start_non_child("/bin/sleep");
    strays_ = {other};
    ASSERT_GT(other, 0);
    register_session("ann", other, 5001, -1, -1, "ODB1.1.1.1");
    register_session("bob", child, 5002, -1, -1, "ODB1.1.1.2");
    register_session("cy", getpid(), 5003, -1, -1, "ODB1.1.1.3");
    terminate_sessions();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    const char state = process_state(other);  // still sleeping or about to
    EXPECT_TRUE(state == 'S' || state == 'R') << state;
    for (const SessionRecord &r : records())
        EXPECT_EQ(r.status, ' ');
}

}  // namespace
