#include "protocol/trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "protocol/packet.h"

using namespace dqp;

namespace {

class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vnx_trace_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/t.log";
        ASSERT_EQ(open_log(path_), 0);
    }
    void TearDown() override {
        close_log_stream();
        set_tracing(0);
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    std::string contents() {
        std::ifstream in(path_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string packet(int type, int32_t info, std::vector<std::string_view> args) {
        char buf[PKT_BUFSIZE];
        int n = build_packet(buf, sizeof buf, type, info, args);
        return std::string(buf, n);
    }
    std::string dir_, path_;
};

}  // namespace

TEST_F(TraceTest, BlockWithoutPacket) {
    trace("[dqp_server]", "hello");
    std::string log = contents();
    EXPECT_EQ(
        log.rfind("DQP: **** hello ****\n     ident        = [dqp_server]\n     time         = ",
                  0),
        0u);
    char pid[32];
    snprintf(pid, sizeof pid, "     pid          = %08x\n", static_cast<unsigned>(getpid()));
    EXPECT_NE(log.find(pid), std::string::npos);
    EXPECT_EQ(log.size(), 21u + 33u + 29u + 29u);  // four lines, time "hh:mm:ss"
}

TEST_F(TraceTest, NothingWrittenWhileTracingIsOff) {
    set_tracing(0);
    trace("[x]", "quiet");
    tracef("[x]", "%d", 5);
    EXPECT_EQ(contents(), "");
}

TEST_F(TraceTest, PacketFieldsAndArguments) {
    std::string p = packet('Y', 1, {"ab", ""});
    trace_packet(p.c_str(), p.size(), "[dqp_sendpkt]", "sent");
    std::string log = contents();
    EXPECT_NE(log.find("     pkt_type     = PKT_TYPE_OK\n"
                       "     pkt_info     = 0001\n"
                       "     pkt_len      = 0\n"
                       "     pkt_size     = 39\n"
                       "     pkt_argc     = 2\n"
                       "     pkt_argv[ 0] = ab\n"
                       "     pkt_argv[ 1] = \n"),
              std::string::npos)
        << log;
}

TEST_F(TraceTest, PasswordOfStartAndConnectIsMasked) {
    std::string c = packet('C', 0, {"dsn", "user", "secret", "x"});
    std::string a = packet('A', 0, {"bob", "", "hunter2"});
    // Two arguments: a client that put its password where the user goes.
    std::string two = packet('A', 0, {"bob", "hunter3"});
    trace_packet(c.c_str(), c.size(), "[t]", "c");
    trace_packet(a.c_str(), a.size(), "[t]", "a");
    trace_packet(two.c_str(), two.size(), "[t]", "two");
    std::string log = contents();
    EXPECT_EQ(log.find("secret"), std::string::npos);
    EXPECT_EQ(log.find("hunter2"), std::string::npos);
    EXPECT_EQ(log.find("hunter3"), std::string::npos);
    EXPECT_NE(log.find("     pkt_argv[ 1] = hun...\n"), std::string::npos) << log;
    EXPECT_NE(log.find("     pkt_argv[ 2] = ******\n     pkt_argv[ 3] = x\n"), std::string::npos);
}

TEST_F(TraceTest, LongArgumentsAreCutAt56) {
    std::string a56(56, 'x'), a57(57, 'y');
    std::string p = packet('G', 0, {a56, a57});
    trace_packet(p.c_str(), p.size(), "[t]", "m");
    std::string log = contents();
    EXPECT_NE(log.find("pkt_argv[ 0] = " + a56 + "\n"), std::string::npos);
    EXPECT_NE(log.find("pkt_argv[ 1] = " + std::string(56, 'y') + "...\n"), std::string::npos);
}

TEST_F(TraceTest, MetadataAndUnnamedTypesShowNoArguments) {
    std::string w = packet('W', 0, {"inner"});
    std::string d = packet('3', 0, {"x"});
    trace_packet(w.c_str(), w.size(), "[t]", "w");
    trace_packet(d.c_str(), d.size(), "[t]", "d");
    std::string log = contents();
    EXPECT_NE(log.find("pkt_type     = PKT_TYPE_METADATA\n"), std::string::npos);
    EXPECT_NE(log.find("pkt_type     = <unknown packet type 51 (3)>\n"), std::string::npos);
    EXPECT_EQ(log.find("pkt_argv"), std::string::npos);
}

TEST_F(TraceTest, LogStopsAtItsSizeLimitWithALastLine) {
    set_log_limit(2000);
    std::string pkt = packet('A', 0, {"db", "user", "secret"});
    for (int i = 0; i < 200; i++)
        trace_packet(pkt.data(), pkt.size(), "[dqp_getpkt]", "packet received");
    std::string log = contents();
    EXPECT_LE(log.size(), 2000u);
    EXPECT_GT(log.size(), 1000u);  // filled up to the limit, not stopped early
    const std::string stop = LOG_STOPPED_LINE;
    ASSERT_GE(log.size(), stop.size());
    EXPECT_EQ(log.substr(log.size() - stop.size()), stop);
    EXPECT_EQ(log.find(stop), log.size() - stop.size());  // said once
    // Nothing more after the stop; a new log starts counting afresh.
    trace("[x]", "after the stop");
    EXPECT_EQ(contents().size(), log.size());
    ASSERT_EQ(open_log(path_), 0);
    trace("[x]", "fresh");
    EXPECT_NE(contents().find("fresh"), std::string::npos);
    set_log_limit(0);
}

TEST_F(TraceTest, IsoTimeHasMillisecondsAndTheUtcOffset) {
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(iso_time(0, 0), "1970-01-01T00:00:00.000+00:00");
    EXPECT_EQ(iso_time(1700000000, 999999999), "2023-11-14T22:13:20.999+00:00");
    setenv("TZ", "<UTC-0530>-5:30", 1);
    tzset();
    EXPECT_EQ(iso_time(0, 5000000), "1970-01-01T05:30:00.005+05:30");
    unsetenv("TZ");
    tzset();
}

TEST_F(TraceTest, ReopenAfterRenameWritesANewFileAtTheSamePath) {
    log_line("before the rotation");
    const std::string rotated = path_ + ".1";
    ASSERT_EQ(rename(path_.c_str(), rotated.c_str()), 0);
    log_line("still into the renamed file");
    ASSERT_EQ(reopen_log(), 0);
    EXPECT_EQ(log_path(), path_);
    log_line("after the rotation");
    EXPECT_EQ(contents(), "after the rotation\n");
    std::ifstream old(rotated);
    std::stringstream ss;
    ss << old.rdbuf();
    EXPECT_EQ(ss.str(), "before the rotation\nstill into the renamed file\n");
    unlink(rotated.c_str());
}

TEST_F(TraceTest, ReopenWithoutRenameAppendsToTheSameFile) {
    log_line("one");
    ASSERT_EQ(reopen_log(), 0);
    log_line("two");
    EXPECT_EQ(contents(), "one\ntwo\n");
}

TEST_F(TraceTest, ReopenRefusesALinkPutAtThePathAndKeepsTheOpenFile) {
    log_line("one");
    const std::string elsewhere = dir_ + "/elsewhere";
    ASSERT_EQ(rename(path_.c_str(), (path_ + ".1").c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), path_.c_str()), 0);
    EXPECT_EQ(reopen_log(), -1);
    log_line("two");  // still written, to the file open before
    std::ifstream old(path_ + ".1");
    std::stringstream ss;
    ss << old.rdbuf();
    EXPECT_EQ(ss.str(), "one\ntwo\n");
    EXPECT_FALSE(std::filesystem::exists(elsewhere));
    unlink(path_.c_str());
    unlink((path_ + ".1").c_str());
}

TEST_F(TraceTest, ReopenWithoutALogDoesNothing) {
    close_log_stream();
    EXPECT_EQ(reopen_log(), 1);
    EXPECT_EQ(log_path(), "");
}
