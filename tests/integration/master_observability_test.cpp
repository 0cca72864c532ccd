// What an administrator sees of a running master: its event lines on
// standard error and in its log (ISO 8601 time, decimal pid), the log
// reopened after logrotate's rename and SIGHUP, "vnxadmin stats" counting
// refusals and claim time-outs, and "vnxadmin sessions" showing what each
// gateway is doing (SQLite data source).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "client/sql_client.h"
#include "master_harness.h"
#include "program_runner.h"
#include "protocol/packet.h"

namespace vnxtest {
namespace {

// An event line: ISO 8601 local time with milliseconds and offset, the
// program and its pid in decimal, the text.
const std::regex kEventLine(
    R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d db_dqpserver\[(\d+)\]: (.*))");

class Observability : public Master {
  protected:
    std::string master_err() { return read_file(root_ + "/master0.err"); }
    bool wait_for(const std::function<bool()> &done, int timeout_ms = 10000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    bool wait_err(const std::string &text) {
        return wait_for([&] { return master_err().find(text) != std::string::npos; });
    }
    // The lines of `text` that hold `part`.
    static std::vector<std::string> lines_with(const std::string &text, const std::string &part) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            if (line.find(part) != std::string::npos) out.push_back(line);
        return out;
    }
    ProgramResult vnxadmin(const std::vector<std::string> &args) {
        return run_program(VNX_VNXADMIN_PATH, args, root_, root_);
    }
    // Checks `json` with Python's parser and prints the values of `expr`
    // (a Python expression over the parsed document d).
    std::string python_json(const std::string &json, const std::string &expr) {
        const std::string file = root_ + "/doc.json";
        std::ofstream(file) << json;
        const ProgramResult r = run_program(
            "/usr/bin/python3",
            {"-c", "import json; d = json.load(open('" + file + "')); print(" + expr + ")"}, root_,
            root_);
        EXPECT_EQ(r.status, 0) << r.err << json;
        return r.out;
    }
    // A connection from 127.0.0.2 (outside an "allow" of 127.0.0.1) that
    // asks for a gateway; what it was answered.
    std::string ask_from_other_address(const std::string &request) {
        UniqueFdHolder fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in from{}, to{};
        from.sin_family = to.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        to.sin_port = htons(static_cast<uint16_t>(base_));
        if (bind(fd.fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
            connect(fd.fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
            return "(no connection)";
        send(fd.fd, request.data(), request.size(), MSG_NOSIGNAL);
        std::string answer;
        char buf[64];
        for (ssize_t n; (n = recv(fd.fd, buf, sizeof buf, 0)) > 0;)
            answer.append(buf, static_cast<size_t>(n));
        return answer;
    }
    struct UniqueFdHolder {
        explicit UniqueFdHolder(int f) : fd(f) {}
        ~UniqueFdHolder() {
            if (fd >= 0) close(fd);
        }
        int fd;
    };
};

TEST_F(Observability, HeadlessMasterWritesEachEventOnceOnStandardErrorWithIsoTimeAndPid) {
    pid_t m = start_master();
    ASSERT_TRUE(wait_err("]: started: listening on base port " + std::to_string(base_)));
    set_spares(1);
    kill(m, SIGHUP);
    ASSERT_TRUE(wait_err("settings reloaded: spares 0 -> 1"));
    // A session that ends: its gateway exits and is reaped.
    std::string why;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &why);
    ASSERT_NE(c, nullptr) << why;
    dqp::Reply r;
    ASSERT_EQ(c->request(dqp::PKT_TYPE_START, 0, {"", "alice", "pw"}, &r), 0) << c->error();
    ASSERT_EQ(c->send(dqp::PKT_TYPE_STOP, 0), 0);
    ASSERT_TRUE(wait_err(" on port " + std::to_string(base_ + 1) + " ended (exit status "))
        << master_err();
    kill(m, SIGTERM);
    EXPECT_EQ(wait_exit(m, 10000), 0);
    masters_.back() = -1;
    const std::string err = master_err();
    size_t events = 0;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, kEventLine)) << "not an event line: " << line;
        EXPECT_EQ(match[1].str(), std::to_string(m));
        events++;
    }
    EXPECT_EQ(lines_with(err, "]: started: ").size(), 1u) << err;
    EXPECT_EQ(lines_with(err, "settings reloaded").size(), 1u) << err;
    EXPECT_EQ(lines_with(err, "]: stopped; every gateway was ended").size(), 1u) << err;
    EXPECT_EQ(lines_with(err, " ended (exit status ").size(), 1u) << err;
    EXPECT_GE(events, 4u);
}

TEST_F(Observability, RefusedClientIsAnEventOnStandardErrorAndInTheLog) {
    set_port_server_value("logging", "true");
    set_port_server_value("logfile", "portserver.txt");
    set_port_server_value("allow", "127.0.0.1");
    start_master();
    EXPECT_EQ(ask_from_other_address("odb"), "");
    ASSERT_TRUE(wait_err("request from 127.0.0.2 refused"));
    const auto on_stderr = lines_with(master_err(), "request from 127.0.0.2 refused");
    ASSERT_EQ(on_stderr.size(), 1u);
    EXPECT_TRUE(std::regex_match(on_stderr[0], kEventLine)) << on_stderr[0];
    // The same line, word for word, in the port server's log.
    const auto in_log = lines_with(read_file(root_ + "/portserver.log"), on_stderr[0]);
    EXPECT_EQ(in_log.size(), 1u);
}

TEST_F(Observability, SighupAfterRenameWritesANewLogAtTheOldPathAndKeepsTheOld) {
    set_port_server_value("logging", "true");
    set_port_server_value("logfile", "portserver.txt");
    // A file of that name before the start: the master deletes the old logs
    // and opens portserver.log itself, not a numbered name.
    std::ofstream(root_ + "/portserver.log") << "previous run\n";
    pid_t m = start_master();
    const std::string path = root_ + "/portserver.log";
    ASSERT_TRUE(
        wait_for([&] { return read_file(path).find("]: started: ") != std::string::npos; }));
    EXPECT_EQ(read_file(path).find("previous run"), std::string::npos);
    ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);  // as logrotate does
    kill(m, SIGHUP);
    ASSERT_TRUE(wait_err("settings reloaded"));
    ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(path); }));
    const std::string fresh = read_file(path);
    EXPECT_NE(fresh.find("]: settings reloaded: nothing changed"), std::string::npos) << fresh;
    EXPECT_EQ(fresh.find("]: started: "), std::string::npos);
    const std::string old = read_file(path + ".1");
    EXPECT_NE(old.find("]: started: "), std::string::npos);
    EXPECT_EQ(old.find("settings reloaded"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(root_ + "/portserver001.log"));
}

TEST_F(Observability, StatsCountCapRefusalsAllowRefusalsAndClaimTimeouts) {
    set_port_server_value("max_pending_per_host", "1");
    set_port_server_value("claim_timeout", "1");
    set_port_server_value("allow", "127.0.0.1");
    start_master();
    EXPECT_EQ(request(), base_ + 1);  // handed out, never claimed
    EXPECT_EQ(request(), -1);         // over the cap of one unclaimed gateway
    EXPECT_EQ(ask_from_other_address("odb"), "");
    std::string json;
    ASSERT_TRUE(wait_for([&] {
        const ProgramResult r = vnxadmin({"stats", "--json", "--port", std::to_string(base_)});
        json = r.out;
        return r.status == 0 && json.find("\"claim_timeouts\": 1") != std::string::npos;
    })) << json;
    EXPECT_EQ(python_json(json,
                          "d['refused_cap'], d['refused_allow'], d['claim_timeouts'], "
                          "d['served_by_new_gateway'], d['spawn_failures'], "
                          "d['port_requests_answered'], d['port_wait_p99_us'] > 0, "
                          "d['live_sessions_by_host']"),
              "1 1 1 1 0 1 True []\n");
    const ProgramResult text = vnxadmin({"stats", "--port", std::to_string(base_)});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(lines_with(text.out, "refused_cap ").size(), 1u) << text.out;
    EXPECT_NE(text.out.find("port_wait_p50_us"), std::string::npos);
}

TEST_F(Observability, StatsListLiveSessionsPerClientAddress) {
    start_master();
    std::string err;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(c, nullptr) << err;
    dqp::Reply r;
    ASSERT_EQ(c->request(dqp::PKT_TYPE_START, 0, {"", "alice", "pw"}, &r), 0) << c->error();
    ASSERT_TRUE(wait_sessions(1));
    const ProgramResult s = vnxadmin({"stats", "--json", "--port", std::to_string(base_)});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(python_json(s.out,
                          "d['sessions_started'], d['live_sessions'], "
                          "d['live_sessions_by_host']"),
              "1 1 [{'address': '127.0.0.1', 'live_sessions': 1}]\n");
}

TEST_F(Observability, StatsOfAPortServerThatIsNotThereFail) {
    const ProgramResult r = vnxadmin({"stats", "--port", "1", "--timeout", "500"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no statistics from the port server on 127.0.0.1:1"), std::string::npos)
        << r.err;
}

class SessionActivity : public Observability {
  protected:
    void SetUp() override {
        Observability::SetUp();
        use_sqlite_dsn("vnxobs", "obs.db");
    }
    // `vnxadmin sessions --json`, with the one session's fields as Python
    // prints them.
    std::string session_fields(const std::string &expr) {
        const ProgramResult r = vnxadmin({"sessions", "--json"});
        EXPECT_EQ(r.status, 0) << r.err;
        return python_json(r.out, expr);
    }
    // The gateway publishes a request's outcome just after its reply, so
    // the client may look a moment too soon: waits until the fields read
    // `want` (or the time runs out) and returns what they read last.
    std::string fields_once_settled(const std::string &expr, const std::string &want) {
        std::string got;
        wait_for([&] { return (got = session_fields(expr)) == want; });
        return got;
    }
};

TEST_F(SessionActivity, SessionsShowTheRunningStatementTransactionsAndRowsSent) {
    start_master();
    std::string err;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(c, nullptr) << err;
    dqp::SqlClient sql(*c);
    ASSERT_EQ(sql.start("alice", "pw"), 0) << sql.error();
    ASSERT_EQ(sql.connect("vnxobs", "scott", ""), 0) << sql.error();
    ASSERT_TRUE(wait_sessions(1));
    EXPECT_EQ(fields_once_settled("d['sessions'][0]['data_source'], d['sessions'][0]['user'], "
                                  "d['sessions'][0]['state']",
                                  "vnxobs scott idle\n"),
              "vnxobs scott idle\n");

    // A statement that runs for seconds, cancelled once it has been seen.
    const std::string slow =
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 500000000) "
        "SELECT count(*) FROM c";
    std::thread runner([&] {
        dqp::ExecResult res;
        (void)sql.execsql(slow, &res);
    });
    std::string seen;
    const bool running = wait_for([&] {
        seen = session_fields("d['sessions'][0]['state'], d['sessions'][0]['request']");
        return seen == "running a statement EXECSQL\n";
    });
    std::string statement = session_fields("d['sessions'][0]['statement']");
    c->cancel();
    runner.join();
    ASSERT_TRUE(running) << seen;
    EXPECT_EQ(statement, slow + "\n");

    dqp::ExecResult res;
    ASSERT_EQ(sql.rollback(), 0) << sql.error();
    EXPECT_EQ(fields_once_settled("d['sessions'][0]['state']", "idle\n"), "idle\n");
    ASSERT_EQ(sql.execsql("CREATE TABLE t (x INTEGER)", &res), 0) << sql.error();
    ASSERT_EQ(sql.execsql("INSERT INTO t VALUES (1), (2), (3)", &res), 0) << sql.error();
    EXPECT_EQ(fields_once_settled("d['sessions'][0]['state'], d['sessions'][0]['rows_sent']",
                                  "in transaction 0\n"),
              "in transaction 0\n");
    ASSERT_EQ(sql.commit(), 0) << sql.error();
    int rows = 0;
    ASSERT_EQ(sql.query("SELECT x FROM t", &res, nullptr, nullptr,
                        [&](const dqp::Row &) {
                            rows++;
                            return 0;
                        }),
              0)
        << sql.error();
    EXPECT_EQ(rows, 3);
    EXPECT_EQ(fields_once_settled("d['sessions'][0]['rows_sent'], d['sessions'][0]['statement']",
                                  "3 SELECT x FROM t\n"),
              "3 SELECT x FROM t\n");
    // The text form shows the same columns.
    const ProgramResult text = vnxadmin({"sessions"});
    EXPECT_NE(text.out.find("vnxobs"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Rows sent"), std::string::npos) << text.out;
}

TEST_F(SessionActivity, TrackActivityFalsePublishesNothing) {
    EXPECT_EQ(
        store_->set_value(std::string(vnx::kRootKey) + "\\ODBServer", "track_activity", "false"),
        0);
    start_master();
    std::string err;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(c, nullptr) << err;
    dqp::SqlClient sql(*c);
    ASSERT_EQ(sql.start("alice", "pw"), 0) << sql.error();
    ASSERT_EQ(sql.connect("vnxobs", "scott", ""), 0) << sql.error();
    ASSERT_TRUE(wait_sessions(1));
    EXPECT_EQ(fields_once_settled("'state' in d['sessions'][0], d['sessions'][0]['connection']",
                                  "False alice\n"),
              "False alice\n");
}

}  // namespace
}  // namespace vnxtest
