// dqpsh as a program: it talks to a small in-process gateway on a loopback
// port (--gateway-port), or to a real master for the request shell's forms, so its
// output, its error texts and its exit status are seen as a user sees them.
// No data source is needed.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/dqp_client.h"
#include "master_harness.h"
#include "protocol/packet.h"

namespace {

using dqp::Reply;

std::string pkt(int type, int32_t info, std::vector<std::string> args) {
    std::vector<std::string_view> v(args.begin(), args.end());
    std::string buf(dqp::PKT_BUFSIZE, '\0');
    int len = dqp::build_packet(buf.data(), buf.size(), type, info, v);
    buf.resize(static_cast<size_t>(len < 0 ? 0 : len));
    return buf;
}

// A gateway that knows one table, customer(ID, NAME), of three rows, and
// answers the requests dqpsh sends. It records every request.
class LittleGateway {
  public:
    LittleGateway() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        EXPECT_EQ(listen(listener_, 4), 0);
        thread_ = std::thread([this] { serve(); });
    }
    ~LittleGateway() {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    int port() const { return port_; }
    // Request types in order, as one text ("ACGQ...").
    std::string types() {
        thread_.join();
        thread_ = std::thread([] {});
        std::string t;
        for (const Reply &r : requests_)
            t += static_cast<char>(r.type);
        return t;
    }
    const std::vector<Reply> &requests() const { return requests_; }

  private:
    void serve() {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        auto c = dqp::Connection::adopt(fd, 10000);
        for (Reply r; c->receive(&r) == 0;) {
            requests_.push_back(r);
            if (r.type == dqp::PKT_TYPE_STOP) break;
            answer(*c, r);
        }
    }
    void rows(dqp::Connection &c) {
        EXPECT_EQ(c.send(dqp::PKT_TYPE_OK, 0, {"ID:10:N:0:", "NAME:30:C:0:"}), 0);
        std::vector<std::string> p = {pkt('T', 0, {"         1", "Amara Okafor"}),
                                      pkt('T', 0, {"         2", "Lucia, Fernandez"}),
                                      pkt('T', 0, {"         3", "Kenji \"K\" Watanabe"})};
        std::vector<std::string_view> v(p.begin(), p.end());
        EXPECT_EQ(c.send(dqp::PKT_TYPE_METADATA, 0, v), 0);
        EXPECT_EQ(c.send(dqp::PKT_TYPE_EOF, 100, {}), 0);
    }
    void answer(dqp::Connection &c, const Reply &r) {
        std::string a0 = r.args.empty() ? "" : r.args[0];
        switch (r.type) {
            case dqp::PKT_TYPE_START:
                EXPECT_EQ(c.send('Y', 4242, {}), 0);
                return;
            case dqp::PKT_TYPE_CONNECT:
                if (r.args.size() == 4 && r.args[2] == "secret")
                    EXPECT_EQ(c.send('Y', 7, {"0", "0"}), 0);
                else
                    EXPECT_EQ(c.send('N', -1, {"9", "0"}), 0);
                return;
            case dqp::PKT_TYPE_MAPERROR:
                EXPECT_EQ(
                    c.send('Y', 0, {r.info == 9 ? "login refused" : "no such table: nowhere"}), 0);
                return;
            case dqp::PKT_TYPE_EXECSQL:
                if (a0.find("nowhere") != std::string::npos)
                    EXPECT_EQ(c.send('N', -1, {"-1", "0"}), 0);
                else if (r.args.size() > 1 && r.args[1].rfind("PARAMS", 0) == 0)
                    EXPECT_EQ(c.send('Y', 0, {"0", "0", "", "3"}), 0);  // 3 rows changed
                else if (a0.rfind("SELECT", 0) == 0 || a0.rfind("select", 0) == 0)
                    EXPECT_EQ(c.send('Y', 0, {"0", "0", "DQP_SLT_00000007"}), 0);
                else
                    EXPECT_EQ(c.send('Y', 0, {"0", "0"}), 0);
                return;
            case dqp::PKT_TYPE_FIELDLIST:
                EXPECT_EQ(c.send('Y', 0, {"ID:10:N:0:1:", "NAME:30:C:0:0:"}), 0);
                return;
            case dqp::PKT_TYPE_FETCHMANY:
                return rows(c);
            case dqp::PKT_TYPE_USE:
                EXPECT_EQ(c.send('Y', 0, {"0", "3"}), 0);
                return;
            case dqp::PKT_TYPE_READ:
                EXPECT_EQ(c.send('T', 0, {"ID:10:N:0:         2", "NAME:30:C:0:Lucia, Fernandez"}),
                          0);
                return;
            case dqp::PKT_TYPE_FIND:
                EXPECT_EQ(c.send('Y', 0, {"2"}), 0);
                return;
            case dqp::PKT_TYPE_DISCONNECT:
            case dqp::PKT_TYPE_UNDECLARE:
            case dqp::PKT_TYPE_UPDATE:
            case dqp::PKT_TYPE_COMMIT:
            case dqp::PKT_TYPE_ROLLBACK:
                EXPECT_EQ(c.send('Y', 0, {"0", "0"}), 0);
                return;
            default:
                EXPECT_EQ(c.send('N', 0, {}), 0);
                return;
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::vector<Reply> requests_;
};

struct ShellRun {
    int status;
    std::string out, err;
};

// Runs dqpsh with the arguments (shell-quoted by the caller) and stdin text.
ShellRun dqpsh(const std::string &args, const std::string &input = "",
               const std::string &password = "secret") {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("dqpsh_test_" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "in") << input;
    std::string cmd = "VNX_REGISTRY=" + (dir / "none.db").string() + " VNXPASSWORD=" + password +
                      " HOME=" + dir.string() + " " VNX_DQPSH_PATH " " + args + " <" +
                      (dir / "in").string() + " >" + (dir / "out").string() + " 2>" +
                      (dir / "err").string();
    int st = system(cmd.c_str());
    auto slurp = [](const fs::path &p) {
        std::ifstream in(p);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    };
    ShellRun r{WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(dir / "out"), slurp(dir / "err")};
    fs::remove_all(dir);
    return r;
}

std::string gw_args(const LittleGateway &g) {
    return "--gateway-port " + std::to_string(g.port()) + " -d demo -U ann";
}

}  // namespace

TEST(Dqpsh, QueryPrintsAlignedTableAndFooter) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g) + " -c 'SELECT * FROM customer'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              " ID |        NAME\n"
              "----+--------------------\n"
              "  1 | Amara Okafor\n"
              "  2 | Lucia, Fernandez\n"
              "  3 | Kenji \"K\" Watanabe\n"
              "(3 rows)\n\n");
    // START, CONNECT, then the query's pipeline (EXECSQL, MAPERROR, FIELDLIST,
    // FETCHMANY), the COMMIT of AUTOCOMMIT, DISCONNECT and STOP.
    EXPECT_EQ(g.types(), "ACGO6QXDB");
    // dqpsh asks for long text values inline.
    EXPECT_EQ(g.requests()[1].args,
              (std::vector<std::string>{"LONGTEXT", "ann", "secret", "demo"}));
    EXPECT_EQ(g.requests()[2].info, 7);
}

TEST(Dqpsh, CsvOutput) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g) + " --csv -c 'SELECT * FROM customer;'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "ID,NAME\n1,Amara Okafor\n2,\"Lucia, Fernandez\"\n3,\"Kenji \"\"K\"\" Watanabe\"\n");
}

TEST(Dqpsh, ScriptStopsAtFirstErrorWithMaperrorText) {
    LittleGateway g;
    ShellRun r =
        dqpsh(gw_args(g) + " -c 'UPDATE t SET a = 1; SELECT * FROM nowhere; UPDATE t SET b = 2'");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "UPDATE 3\n");
    EXPECT_EQ(r.err, "ERROR:  no such table: nowhere\n");
    // The failed query's MAPERROR went in its pipeline; none is asked after.
    // The UPDATE was committed, the failed query rolled back.
    EXPECT_EQ(g.types(), "ACGXGO6QZDB");
}

TEST(Dqpsh, StandardInputSplitsStatementsOverLines) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g), "UPDATE t\n  SET a = 'x;y'\n;\n\\timing off\ncommit;\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "UPDATE 3\nTiming is off.\nCOMMIT\n");
    ASSERT_GE(g.types().size(), 3u);
    EXPECT_EQ(g.requests()[2].args[0], "UPDATE t\n  SET a = 'x;y'");
    EXPECT_EQ(g.requests()[3].type, dqp::PKT_TYPE_COMMIT);
}

TEST(Dqpsh, RefusedLoginShowsTheDriverMessage) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g) + " -c 'SELECT 1'", "", "wrong");
    EXPECT_EQ(r.status, 2);  // as psql's for a refused login
    EXPECT_EQ(r.err, "ERROR:  login refused\n");
    EXPECT_EQ(g.requests().at(2).type, dqp::PKT_TYPE_MAPERROR);
    EXPECT_EQ(g.requests().at(2).info, 9);
}

TEST(Dqpsh, RecordCommandsPrintForms) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g) + " -c '\\use customer cu' -c '\\read cu 2'" +
                       " -c '\\find cu name Lucia' -c \"\\\\update cu 2 name='Lucia F'\"");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "3 records\nID:   2\nNAME: Lucia, Fernandez\nrecord 2\nOK\n");
    const auto &q = g.requests();
    ASSERT_GE(q.size(), 8u);
    EXPECT_EQ(q[2].args, (std::vector<std::string>{"customer", "cu", "", "*", "", ""}));
    // FIND takes its type letter from the fields the read showed.
    EXPECT_EQ(q[4].args,
              (std::vector<std::string>{"cu", "name", "Lucia", "", "customer", "", "C"}));
    // UPDATE reads the record first and sends the values up to the changed one.
    EXPECT_EQ(q[5].type, dqp::PKT_TYPE_READ);
    EXPECT_EQ(q[6].args, (std::vector<std::string>{"cu", "2", "2", "2", "Lucia F"}));
}

TEST(Dqpsh, UnknownCommandAndBadUsageFail) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g) + " -c '\\nosuch'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("invalid command \\nosuch"), std::string::npos) << r.err;
    // Bad options name themselves in one line and point at --help, as psql's.
    struct {
        const char *args, *err;
    } bad[] = {
        {"-p notaport", "dqpsh: invalid port \"notaport\"\n"},
        {"-Z", "dqpsh: invalid option -- 'Z'\n"},
        {"--frobnicate", "dqpsh: unrecognized option '--frobnicate'\n"},
        {"-c", "dqpsh: option requires an argument -- 'c'\n"},
    };
    for (const auto &b : bad) {
        ShellRun u = dqpsh(b.args);
        EXPECT_EQ(u.status, 1) << b.args;
        EXPECT_EQ(u.err, std::string(b.err) + "Try \"dqpsh --help\" for more information.\n");
    }
}

// As psql: a file and standard input go on after an error and end with 0;
// ON_ERROR_STOP stops them with 3, and a -c with 1; the status is the last
// -c's or -f's, and a -f file that cannot be read is 1.
TEST(Dqpsh, ScriptsGoOnAfterAnErrorUnlessOnErrorStop) {
    std::string script = "UPDATE t SET a = 1;\nSELECT * FROM nowhere;\nUPDATE t SET b = 2;\n";
    struct {
        const char *args;
        int status;
        const char *out;
    } cases[] = {
        {" -f /dev/stdin", 0, "UPDATE 3\nUPDATE 3\n"},
        {"", 0, "UPDATE 3\nUPDATE 3\n"},
        {" -v ON_ERROR_STOP=1 -f /dev/stdin", 3, "UPDATE 3\n"},
        {" -v ON_ERROR_STOP=on", 3, "UPDATE 3\n"},
        {" -c 'SELECT * FROM nowhere' -c 'DELETE FROM t'", 0, "DELETE 3\n"},
        {" -c 'DELETE FROM t' -c 'SELECT * FROM nowhere'", 1, "DELETE 3\n"},
        {" -v ON_ERROR_STOP=1 -c 'SELECT * FROM nowhere' -c 'DELETE FROM t'", 1, ""},
        {" -f /nonexistent/x.sql", 1, ""},
        {" -f /nonexistent/x.sql -c 'DELETE FROM t'", 0, "DELETE 3\n"},
    };
    for (const auto &c : cases) {
        LittleGateway g;
        ShellRun r = dqpsh(gw_args(g) + c.args, script);
        EXPECT_EQ(r.status, c.status) << c.args << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.args;
    }
}

// A script cannot go on without its gateway: status 2, nothing after it runs.
TEST(Dqpsh, NoGatewayEndsAScriptWithStatusTwo) {
    ShellRun r = dqpsh("--gateway-port 1 -d demo -c 'SELECT 1' -c '\\echo after'");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    ShellRun none = dqpsh("-d demo -c 'SELECT 1'");
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("--gateway-port PORT"), std::string::npos) << none.err;
}

// The request shell's forms read from standard input run as they do with -c,
// outside a statement; one that ends with ";" is a statement.
TEST(Dqpsh, RequestShellStartFromStandardInputSendsStart) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g), "start alice pw\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "OK info=4242\n");
    EXPECT_EQ(g.types(), "AB");
    EXPECT_EQ(g.requests()[0].args, (std::vector<std::string>{"", "alice", "pw"}));
}

TEST(Dqpsh, RequestShellStartWithDashC) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g) + " -c 'start alice pw'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "OK info=4242\n");
    EXPECT_EQ(g.types(), "AB");
    EXPECT_EQ(g.requests()[0].args, (std::vector<std::string>{"", "alice", "pw"}));
}

TEST(Dqpsh, RequestShellWordInsideAStatementIsSql) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g), "UPDATE t SET a = 1\nstart\n;\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(g.types(), "ACGXDB");
    EXPECT_EQ(g.requests()[2].args[0], "UPDATE t SET a = 1\nstart");
}

// "start transaction;" is the SQL statement (which the shell keeps as the
// start of a block: the gateway is always in a transaction), not the request
// shell's "start USER".
TEST(Dqpsh, StartTransactionWithSemicolonIsSqlFromStandardInputAndDashC) {
    LittleGateway stdin_gw;
    ShellRun s = dqpsh(gw_args(stdin_gw), "start transaction;\n");
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(s.out, "BEGIN\n");
    EXPECT_EQ(stdin_gw.types(), "ACDB");
    EXPECT_EQ(stdin_gw.requests()[0].args[1], "ann");
    LittleGateway c_gw;
    ShellRun c = dqpsh(gw_args(c_gw) + " -c 'start transaction;'");
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.out, "BEGIN\n");
    EXPECT_EQ(c_gw.types(), "ACDB");
}

// --- transactions: the shell commits, the gateway never does on its own ----

TEST(DqpshTransactions, AutocommitCommitsEveryStatementOutsideABlock) {
    LittleGateway g;
    ShellRun r =
        dqpsh(gw_args(g) + " -c 'CREATE TABLE t (a INTEGER)' -c 'INSERT INTO t VALUES (1)'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(g.types(), "ACGXGXDB");
    EXPECT_EQ(r.err, "");
}

TEST(DqpshTransactions, BeginHoldsTheCommitsUntilCommit) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g) + " -c 'BEGIN' -c 'UPDATE t SET a = 1' -c 'update t set b = 2'" +
                       " -c 'commit work'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "BEGIN\nUPDATE 3\nUPDATE 3\nCOMMIT\n");
    EXPECT_EQ(g.types(), "ACGGXDB");
}

TEST(DqpshTransactions, RollbackAndAbortEndABlockWithoutCommit) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g) +
                       " -c 'BEGIN' -c 'UPDATE t SET a = 1' -c 'ABORT' -c 'UPDATE t SET a = 2'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "BEGIN\nUPDATE 3\nROLLBACK\nUPDATE 3\n");
    EXPECT_EQ(g.types(), "ACGZGXDB");
}

TEST(DqpshTransactions, RollbackToSavepointIsAnOrdinaryStatement) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g) + " -c 'BEGIN' -c 'ROLLBACK TO SAVEPOINT s1' -c 'END'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(g.types(), "ACGXDB");
    EXPECT_EQ(g.requests()[2].args[0], "ROLLBACK TO SAVEPOINT s1");
}

TEST(DqpshTransactions, ScriptLeavingABlockOpenWarnsAndFails) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g) + " -c 'BEGIN' -c 'UPDATE t SET a = 1'");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "BEGIN\nUPDATE 3\n");
    EXPECT_NE(r.err.find("WARNING:  leaving with an uncommitted transaction"), std::string::npos)
        << r.err;
    EXPECT_EQ(g.types(), "ACGDB");  // no COMMIT: DISCONNECT rolls it back
}

TEST(DqpshTransactions, AutocommitOffKeepsWorkUncommittedAndWarnsAtTheEnd) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g) + " -v AUTOCOMMIT=off -c 'UPDATE t SET a = 1'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("WARNING:  leaving with an uncommitted transaction"), std::string::npos)
        << r.err;
    EXPECT_EQ(g.types(), "ACGDB");
    // Turning it back on commits what is pending.
    LittleGateway on;
    ShellRun r2 =
        dqpsh(gw_args(on), "\\set AUTOCOMMIT off\nUPDATE t SET a = 1;\n\\set AUTOCOMMIT on\n");
    EXPECT_EQ(r2.status, 0) << r2.err;
    EXPECT_EQ(r2.err, "");
    EXPECT_EQ(on.types(), "ACGXDB");
}

TEST(DqpshTransactions, BadAutocommitValueIsAUsageError) {
    ShellRun r = dqpsh("-v AUTOCOMMIT=maybe -c 'SELECT 1'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unrecognized value \"maybe\" for \"AUTOCOMMIT\""), std::string::npos)
        << r.err;
}

// What scripts/screenshot does: "active", then "start USER" read from
// standard input, against a real master; the session is listed while dqpsh
// holds it.
class DqpshMaster : public vnxtest::Master {};

TEST_F(DqpshMaster, ActiveAndStartFromStandardInputOpenASessionOnTheMaster) {
    start_master();
    std::string base = " -p " + std::to_string(base_);
    ShellRun active = dqpsh(base, "active\n");
    EXPECT_EQ(active.status, 0) << active.err;
    EXPECT_EQ(active.out, "0\n");
    ShellRun r = dqpsh(base, "start alice\nsessions\n");
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream out(r.out);
    std::string started, listed, count, rest;
    std::getline(out, started);
    std::getline(out, listed);
    std::getline(out, count);
    std::getline(out, rest, '\0');
    ASSERT_EQ(started.rfind("OK info=", 0), 0u) << r.out;
    std::string pid = started.substr(8);
    EXPECT_GT(atoi(pid.c_str()), 0) << r.out;
    std::string prefix = "alice,ODBC,127.0.0.1," + pid + "," + std::to_string(base_ + 1) + ",";
    EXPECT_EQ(listed.rfind(prefix, 0), 0u) << r.out;
    EXPECT_EQ(count, "(1 session)");
    EXPECT_EQ(rest, "");
    EXPECT_TRUE(wait_sessions(0));  // dqpsh ended it at the end of its input
}

// --- output forms and commands ----------------------------------------------

TEST(DqpshOutput, UnalignedTuplesOnlyWithSeparator) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g) + " -A -t -F ';' -c 'SELECT * FROM customer'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1;Amara Okafor\n2;Lucia, Fernandez\n3;Kenji \"K\" Watanabe\n");
}

TEST(DqpshOutput, ExpandedAndOutputFileCommands) {
    namespace fs = std::filesystem;
    fs::path file = fs::temp_directory_path() / ("dqpsh_o_" + std::to_string(getpid()));
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g) + " -c '\\x on' -c '\\o " + file.string() +
                       "' -c 'SELECT * FROM customer' -c '\\o' -c 'UPDATE t SET a = 1'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Expanded display is on.\nUPDATE 3\n");
    std::ifstream in(file);
    std::stringstream got;
    got << in.rdbuf();
    // The rule is as wide as the widest "NAME | value" line.
    EXPECT_EQ(got.str().substr(0, 60),
              "-[ RECORD 1 ]------------\nID   | 1\nNAME | Amara Okafor\n-[ RE");
    fs::remove(file);
}

TEST(DqpshOutput, FileErrorsNameTheFileAndLineWithOneErrorPrefix) {
    namespace fs = std::filesystem;
    fs::path file = fs::temp_directory_path() / ("dqpsh_f_" + std::to_string(getpid()) + ".sql");
    std::ofstream(file)
        << "UPDATE t SET a = 1;\n\nSELECT *\n  FROM nowhere;\nUPDATE t SET b = 2;\n";
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g) + " -f " + file.string());
    EXPECT_EQ(r.status, 0);  // the file went on after its error
    EXPECT_EQ(r.err, "dqpsh:" + file.string() + ":4: ERROR:  no such table: nowhere\n");
    // \i runs a file the same way, and goes on after it without the name.
    LittleGateway g2;
    ShellRun i = dqpsh(gw_args(g2), "\\i " + file.string() + "\nSELECT * FROM nowhere;\n");
    EXPECT_EQ(i.err, "dqpsh:" + file.string() +
                         ":4: ERROR:  no such table: nowhere\n"
                         "ERROR:  no such table: nowhere\n");
    EXPECT_EQ(i.out, "UPDATE 3\nUPDATE 3\n");
    fs::remove(file);
}

TEST(DqpshOutput, OnErrorStopStopsStandardInput) {
    LittleGateway g;
    ShellRun r =
        dqpsh(gw_args(g) + " -v ON_ERROR_STOP=1", "SELECT * FROM nowhere;\nUPDATE t SET a = 1;\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(g.types(), "ACGO6QZDB");
}

TEST(DqpshOutput, ConninfoNamesHostPortsDataSourceAndUser) {
    LittleGateway g;
    ShellRun r = dqpsh(gw_args(g) + " -c '\\conninfo'", "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "You are not connected to a data source.\n");
    LittleGateway g2;
    ShellRun c = dqpsh(gw_args(g2) + " -c 'UPDATE t SET a = 1' -c '\\conninfo'");
    EXPECT_NE(c.out.find("You are connected to data source \"demo\" as user \"ann\"."),
              std::string::npos)
        << c.out;
    EXPECT_NE(c.out.find("gateway port: " + std::to_string(g2.port())), std::string::npos);
}

TEST(DqpshOutput, ListDataSourcesReadsTheOdbcIniFiles) {
    namespace fs = std::filesystem;
    fs::path ini = fs::temp_directory_path() / ("dqpsh_ini_" + std::to_string(getpid()));
    std::ofstream(ini) << "[ODBC Data Sources]\nsales=x\n[sales]\nDriver=SQLite3\n"
                          "Description=Sales figures\n[pgbig]\nDriver = PostgreSQL Unicode\n";
    ShellRun l =
        dqpsh("-A -t -c '\\l'", "", "secret ODBCINI=" + ini.string() + " ODBCSYSINI=/nonexistent");
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(l.out, "sales|SQLite3|Sales figures|" + ini.string() +
                         "\npgbig|PostgreSQL Unicode||" + ini.string() + "\n");
    fs::remove(ini);
}

// --- the interactive path, under a pseudo-terminal ----------------------------

namespace {

// Reads what the terminal shows until `want` appears or 10 s pass.
bool read_until(int fd, const std::string &want, std::string *seen) {
    for (int waited = 0; seen->find(want) == std::string::npos && waited < 10000; waited += 50) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        seen->append(buf, static_cast<size_t>(n));
    }
    return seen->find(want) != std::string::npos;
}

}  // namespace

TEST(DqpshTerminal, Utf8InputArrivesIntactAndThePromptShowsATransaction) {
    LittleGateway g;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("LANG", "C.UTF-8", 1);
        unsetenv("LC_ALL");
        setenv("VNXPASSWORD", "secret", 1);
        setenv("HOME", "/nonexistent", 1);
        std::string port = std::to_string(g.port());
        execl(VNX_DQPSH_PATH, VNX_DQPSH_PATH, "--gateway-port", port.c_str(), "-d", "demo", "-U",
              "ann", static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string seen;
    ASSERT_TRUE(read_until(master, "demo=> ", &seen)) << seen;
    std::string typed =
        "\\set AUTOCOMMIT off\rUPDATE t SET a = '\u00dcn\u00efc\u00f8d\u00e9 \u20ac';\r";
    ASSERT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    EXPECT_TRUE(read_until(master, "demo=*> ", &seen)) << seen;
    std::string rest = "ROLLBACK;\r\\q\r";
    ASSERT_EQ(write(master, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    read_until(master, "\x04never", &seen);  // until dqpsh has gone
    int st = 0;
    waitpid(pid, &st, 0);
    close(master);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << seen;
    const auto &q = g.requests();
    ASSERT_GE(q.size(), 3u) << seen;
    EXPECT_EQ(q[2].type, dqp::PKT_TYPE_EXECSQL);
    EXPECT_EQ(q[2].args[0], "UPDATE t SET a = '\u00dcn\u00efc\u00f8d\u00e9 \u20ac'");
}
