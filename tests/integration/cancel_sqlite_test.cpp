// Cancelling statements end to end on SQLite through its ODBC driver: a real
// odbserver, a client that hangs up, and dqpsh on a terminal (a
// pseudo-terminal) where Ctrl-C is pressed, which sends the urgent byte. A
// statement counts as running once the gateway has spent CPU time on it.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "client/sql_script.h"
#include "odbc_harness.h"

using namespace vnxtest;

namespace {

// Runs for hours unless something stops it.
constexpr char kEndlessQuery[] =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 100000000000) "
    "SELECT count(*) FROM c";

// CPU seconds a process has used (user and system), from /proc.
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos) return 0;
    std::istringstream fields(stat.substr(paren + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && (fields >> f); i++) {  // fields 14 and 15 of the line
        if (i == 14) utime = atol(f.c_str());
        if (i == 15) stime = atol(f.c_str());
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Waits until the process has used `seconds` more CPU time than at `from`:
// the statement it was given is running. False after a minute without.
bool busy_for(pid_t pid, double from, double seconds = 0.3) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (cpu_seconds(pid) < from + seconds) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string exec_cursor(int32_t handle) {
    char name[32];
    snprintf(name, sizeof name, "DQP_SLT_%08X", static_cast<unsigned>(handle));
    return name;
}

// dqpsh on a pseudo-terminal: what it writes, and keys typed into it.
class Terminal {
  public:
    explicit Terminal(const std::vector<std::string> &argv) {
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            std::vector<char *> args;
            for (const std::string &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~Terminal() {
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) kill(pid_, SIGKILL);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
        if (master_ >= 0) close(master_);
    }
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void type(const std::string &keys) {
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    // Reads until `text` appears in what came after `from`; the position
    // after it, or npos when it did not appear within a minute.
    size_t wait_for(const std::string &text, size_t from) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (output_.find(text, from) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) return std::string::npos;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            char buf[4096];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) return std::string::npos;
            output_.append(buf, static_cast<size_t>(n));
        }
        return output_.find(text, from) + text.size();
    }
    const std::string &output() const { return output_; }

  private:
    int master_ = -1;
    pid_t pid_ = -1;
    std::string output_;
};

class CancelSqlite : public OdbcGateway {
  protected:
    void SetUp() override {
        OdbcGateway::SetUp();
        add_sqlite_dsn();
    }
    // dqpsh on a terminal, on a gateway of its own (*gateway).
    std::unique_ptr<Terminal> dqpsh_on_terminal(pid_t *gateway) {
        int port = free_port();
        *gateway =
            vnx::spawn_server(std::string(VNX_ODBSERVER_PATH) + " " + std::to_string(port), port);
        if (*gateway <= 0) return nullptr;
        own(*gateway);
        if (vnx::wait_for_child(port, *gateway) != 0) return nullptr;
        setenv("VNXPASSWORD", "", 1);
        setenv("HOME", root_.c_str(), 1);  // its history file
        setenv("TERM", "dumb", 1);
        auto t = std::make_unique<Terminal>(std::vector<std::string>{
            VNX_DQPSH_PATH, "--gateway-port", std::to_string(port), "-d", "vnxtest"});
        return t->started() ? std::move(t) : nullptr;
    }
    // A value of a query in a session of its own.
    std::string scalar(const std::string &sql) {
        auto c = start_gateway();
        int32_t h = connect_dsn(*c, "vnxtest");
        auto rows = query(*c, h, sql);
        return rows.size() == 1 && rows[0].size() == 1 ? std::string(dqp::trim(rows[0][0]))
                                                       : "<no value>";
    }
};

}  // namespace

// The statement running at the hang-up is cancelled (the gateway would
// otherwise run it for hours), and what the client sent after it is not run.
TEST_F(CancelSqlite, HangUpEndsTheRunningQueryAndTheRequestsSentAfterIt) {
    pid_t pid = 0;
    auto c = start_gateway(&pid);
    int32_t h = connect_dsn(*c, "vnxtest");
    ASSERT_GT(h, 0);
    exec_ok(*c, h, "CREATE TABLE marker (x INTEGER)");
    ASSERT_EQ(ask(*c, 'X', h).type, 'Y');
    c->hold();
    EXPECT_EQ(c->send('G', h, {kEndlessQuery}), 0);
    EXPECT_EQ(c->send('Q', h, {exec_cursor(h)}), 0);
    EXPECT_EQ(c->send('G', h, {"INSERT INTO marker VALUES (1)"}), 0);
    EXPECT_EQ(c->send('X', h), 0);
    ASSERT_EQ(c->release(), 0);
    c->close();
    EXPECT_EQ(wait_exit(pid, 60000), 1);
    forget(pid);
    EXPECT_EQ(scalar("SELECT count(*) FROM marker"), "0");
}

TEST_F(CancelSqlite, DqpshCtrlCCancelsTheRunningStatementAndTheSessionGoesOn) {
    pid_t gateway = 0;
    std::unique_ptr<Terminal> term = dqpsh_on_terminal(&gateway);
    ASSERT_NE(term, nullptr);
    Terminal &t = *term;
    size_t at = t.wait_for("vnxtest=> ", 0);
    ASSERT_NE(at, std::string::npos) << t.output();
    double cpu = cpu_seconds(gateway);
    t.type(std::string(kEndlessQuery) + ";\n");
    ASSERT_TRUE(busy_for(gateway, cpu)) << t.output();
    t.type("\x03");
    at = t.wait_for("vnxtest=> ", at);
    ASSERT_NE(at, std::string::npos) << t.output();
    std::string answer = t.output().substr(0, at);
    EXPECT_NE(answer.find("ERROR:  "), std::string::npos) << answer;
    EXPECT_NE(answer.find("interrupt"), std::string::npos) << answer;
    t.type("SELECT 40 + 2 AS answer;\n");
    size_t next = t.wait_for("vnxtest=> ", at);
    ASSERT_NE(next, std::string::npos) << t.output();
    EXPECT_NE(t.output().substr(at, next - at).find("42"), std::string::npos) << t.output();
    t.type("\\q\n");
    int st = 0;
    ASSERT_EQ(waitpid(t.pid(), &st, 0), t.pid());
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << t.output();
}

TEST_F(CancelSqlite, DqpshCtrlCWhilePrintingStopsThePrintingAndTheSessionGoesOn) {
    {
        auto c = start_gateway();
        int32_t h = connect_dsn(*c, "vnxtest");
        exec_ok(
            *c, h,
            "CREATE TABLE big AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
            "WHERE x < 300000) SELECT x, 'row ' || x AS v FROM c");
        ASSERT_EQ(ask(*c, 'X', h).type, 'Y');
    }
    pid_t gateway = 0;
    std::unique_ptr<Terminal> term = dqpsh_on_terminal(&gateway);
    ASSERT_NE(term, nullptr);
    Terminal &t = *term;
    size_t at = t.wait_for("vnxtest=> ", 0);
    ASSERT_NE(at, std::string::npos) << t.output();
    t.type("SELECT x, v FROM big ORDER BY x;\n");
    ASSERT_NE(t.wait_for("row 2000", at), std::string::npos) << t.output().substr(at, 2000);
    t.type("\x03");
    size_t stopped = t.wait_for("Cancel request: the remaining rows were read and dropped.", at);
    ASSERT_NE(stopped, std::string::npos) << t.output().substr(t.output().size() - 2000);
    EXPECT_EQ(t.output().find("row 300000", at), std::string::npos);
    at = t.wait_for("vnxtest=> ", stopped);
    ASSERT_NE(at, std::string::npos);
    // The next statement gets its own result, not what is left of the last.
    t.type("SELECT 40 + 2 AS answer;\n");
    size_t next = t.wait_for("vnxtest=> ", at);
    ASSERT_NE(next, std::string::npos) << t.output().substr(at);
    std::string answer = t.output().substr(at, next - at);
    EXPECT_NE(answer.find("42"), std::string::npos) << answer;
    EXPECT_EQ(answer.find("row "), std::string::npos) << answer;
}
