// dqpsh's scripting habits against a real gateway on SQLite: command tags,
// variables and \if blocks, \g, \gset, \watch, \copy and \timing, seen from
// outside as output and exit status.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "odbc_harness.h"

using namespace vnxtest;

namespace {

struct ShellRun {
    int status;
    std::string out, err;
};

class DqpshScripting : public OdbcGateway {
  protected:
    void SetUp() override {
        OdbcGateway::SetUp();
        add_sqlite_dsn();
    }
    // dqpsh on a gateway of its own with the arguments (shell-quoted by the
    // caller) and standard input.
    ShellRun dqpsh(const std::string &args, const std::string &input = "") {
        int port = free_port();
        pid_t pid = vnx::spawn_server(gateway_program() + " " + std::to_string(port), port);
        EXPECT_GT(pid, 0);
        if (pid <= 0) return {-1, "", "no gateway"};
        own(pid);
        EXPECT_EQ(vnx::wait_for_child(port, pid), 0);
        // "{gateway}" in the input stands for the gateway's process id.
        std::string text = input;
        for (size_t at; (at = text.find("{gateway}")) != std::string::npos;)
            text.replace(at, 9, std::to_string(pid));
        std::ofstream(root_ + "/in") << text;
        std::string cmd = "cd " + root_ + " && VNXPASSWORD= " VNX_DQPSH_PATH " --gateway-port " +
                          std::to_string(port) + " -d vnxtest " + args + " <in >out 2>err";
        int st = system(cmd.c_str());
        return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(root_ + "/out"), slurp(root_ + "/err")};
    }
    static std::string slurp(const std::string &path) {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

}  // namespace

TEST_F(DqpshScripting, StatementsPrintPsqlsCommandTags) {
    ShellRun r = dqpsh("-A -t",
                       "CREATE TABLE t (a INTEGER, b VARCHAR(20));\n"
                       "INSERT INTO t VALUES (1, 'x'), (2, 'y');\n"
                       "UPDATE t SET b = 'z';\n"
                       "DELETE FROM t WHERE a = 1;\n"
                       "SELECT a, b FROM t;\n"
                       "UPDATE t SET b = '?' WHERE a = 9;\n"
                       "CREATE UNIQUE INDEX ti ON t (a);\n"
                       "DROP INDEX ti;\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "CREATE TABLE\nINSERT 0 2\nUPDATE 2\nDELETE 1\n2|z\nUPDATE 0\n"
              "CREATE INDEX\nDROP INDEX\n");
}

TEST_F(DqpshScripting, VariablesConditionalsAndGset) {
    ShellRun r = dqpsh("-v who=O\\'Hara",
                       "\\set n 3\n"
                       "\\set yes on\n"
                       "\\echo one   'two  words' :n :'who' :\"who\" :nope\n"
                       "SELECT :n + 1 AS four, :'who' AS name \\gset p_\n"
                       "\\echo :p_four :p_name\n"
                       "\\if :yes\n"
                       "  \\echo taken\n"
                       "  \\if off\n"
                       "    \\echo never\n"
                       "  \\elif t\n"
                       "    \\echo inner elif\n"
                       "  \\else\n"
                       "    \\echo never\n"
                       "  \\endif\n"
                       "\\elif true\n"
                       "  \\echo never\n"
                       "\\else\n"
                       "  SELECT 1/0 nonsense;\n"
                       "\\endif\n"
                       "\\if maybe\n"
                       "  \\echo never\n"
                       "\\endif\n"
                       "SELECT 7 AS s\n"
                       "\\g\n"
                       "SELECT 1 AS x WHERE 1 = 0 \\gset\n"
                       "\\echo -n last\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "one two  words 3 'O''Hara' \"O'Hara\" :nope\n"
              "4 O'Hara\ntaken\ninner elif\n"
              " s\n---\n 7\n(1 row)\n\nlast");
    EXPECT_EQ(r.err,
              "dqpsh: unrecognized value \"maybe\" for \"\\if expression\": Boolean expected\n"
              "dqpsh: no rows returned for \\gset\n");
}

TEST_F(DqpshScripting, UnclosedIfFailsAFile) {
    std::ofstream(root_ + "/f.sql") << "\\if on\n\\echo in\n";
    ShellRun r = dqpsh("-v ON_ERROR_STOP=1 -f f.sql");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "in\n");
    EXPECT_EQ(r.err, "dqpsh:f.sql:2: reached the end of input without finding closing \\endif\n");
}

TEST_F(DqpshScripting, CopyInAndOutAsCsvAndText) {
    std::ofstream(root_ + "/in.csv") << "a,b,c\n1,plain,x\n2,\"comma, and \"\"quote\"\"\",\n"
                                        "3,\"two\nlines\",\"\"\n";
    ShellRun r = dqpsh("",
                       "CREATE TABLE t (a INTEGER, b VARCHAR(40), c VARCHAR(5));\n"
                       "\\copy t FROM 'in.csv' CSV HEADER\n"
                       "\\copy t (a, b) from stdin\n"
                       "4\ttab\\there\n"
                       "5\t\\N\n"
                       "\\.\n"
                       "SELECT count(*) AS nulls FROM t WHERE c IS NULL;\n"
                       "\\copy t (a, b) TO stdout CSV\n"
                       "\\copy t TO 'out.txt'\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "CREATE TABLE\nCOPY 3\nCOPY 2\n"
              " nulls\n-------\n     3\n(1 row)\n\n"
              "1,plain\n2,\"comma, and \"\"quote\"\"\"\n3,\"two\nlines\"\n4,tab\there\n5,\n"
              "COPY 5\nCOPY 5\n");
    EXPECT_EQ(slurp(root_ + "/out.txt"),
              "1\tplain\tx\n2\tcomma, and \"quote\"\t\n3\ttwo\\nlines\t\n4\ttab\\there\t\n"
              "5\t\t\n");
}

// A -c text's \copy FROM stdin reads dqpsh's standard input, as in psql.
TEST_F(DqpshScripting, CopyFromStdinOfADashCReadsStandardInput) {
    ShellRun r = dqpsh(
        "-c 'CREATE TABLE t (a INTEGER)' -c '\\copy t FROM stdin' "
        "-c 'SELECT sum(a) AS s FROM t'",
        "20\n22\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "CREATE TABLE\nCOPY 2\n s\n----\n 42\n(1 row)\n\n");
}

TEST_F(DqpshScripting, FailedCopyRollsBackAndSkipsItsData) {
    ShellRun r = dqpsh("",
                       "CREATE TABLE t (a INTEGER NOT NULL, b VARCHAR(5));\n"
                       "\\copy t FROM stdin CSV\n"
                       "1,one\n"
                       ",null a\n"
                       "3,three\n"
                       "\\.\n"
                       "\\copy t FROM stdin CSV\n"
                       "1,one,extra\n"
                       "\\.\n"
                       "SELECT count(*) AS n FROM t;\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "CREATE TABLE\n n\n---\n 0\n(1 row)\n\n");
    EXPECT_NE(r.err.find("NOT NULL"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("CONTEXT:  COPY t, line 2\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("ERROR:  extra data for the 2 columns\nCONTEXT:  COPY t, line 1\n"),
              std::string::npos)
        << r.err;
}

TEST_F(DqpshScripting, WatchRunsTheCountAndTimingTimesStatementsOnly) {
    ShellRun r = dqpsh("-A -t -c 'SELECT 5' -c '\\watch 0.01 c=3' -c '\\timing on' -c 'SELECT 6'");
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream out(r.out);
    std::vector<std::string> lines;
    for (std::string l; std::getline(out, l);)
        lines.push_back(l);
    ASSERT_EQ(lines.size(), 13u) << r.out;
    EXPECT_EQ(lines[0], "5");
    for (int i = 0; i < 3; i++) {
        EXPECT_NE(lines[1 + 3 * i].find(" (every 0.01s)"), std::string::npos) << r.out;
        EXPECT_EQ(lines[2 + 3 * i], "");
        EXPECT_EQ(lines[3 + 3 * i], "5");
    }
    EXPECT_EQ(lines[10], "Timing is on.");
    EXPECT_EQ(lines[11], "6");
    EXPECT_EQ(lines[12].rfind("Time: ", 0), 0u) << r.out;
}

// A gateway lost in the middle of a script ends it with status 2, as psql
// ends when the server goes; ON_ERROR_STOP is not needed for that.
TEST_F(DqpshScripting, LostGatewayEndsAScriptWithStatusTwo) {
    // The shell escape waits until the killed gateway is gone (a zombie of
    // the test holds no socket).
    ShellRun r = dqpsh("-A -t",
                       "SELECT 1;\n"
                       "\\! kill -9 {gateway}; while [ -e /proc/{gateway} ] && "
                       "! grep -q '^State:.*Z' /proc/{gateway}/status; do sleep 0.05; done\n"
                       "SELECT 2;\nSELECT 3;\n");
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out, "1\n");
    EXPECT_NE(r.err.find("hint: the connection to the gateway was closed"), std::string::npos)
        << r.err;
}

TEST_F(DqpshScripting, ShellEscapeRunsACommand) {
    ShellRun r = dqpsh("-c '\\! echo from the shell; exit 3' -c '\\! echo again'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "from the shell\nagain\n");
}

namespace {

// Reads what the terminal shows until `want` appears or 20 s pass.
bool read_until(int fd, const std::string &want, std::string *seen) {
    for (int waited = 0; seen->find(want) == std::string::npos && waited < 20000; waited += 50) {
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

// On a terminal: a statement typed over two lines is one history entry, and
// a long \copy load shows its progress on standard error.
TEST_F(DqpshScripting, TerminalHistoryEntryPerStatementAndCopyProgress) {
    {
        std::ofstream big(root_ + "/big.csv");
        for (int i = 1; i <= 2500; i++)
            big << i << "\n";
    }
    int port = free_port();
    pid_t gw = vnx::spawn_server(gateway_program() + " " + std::to_string(port), port);
    ASSERT_GT(gw, 0);
    own(gw);
    ASSERT_EQ(vnx::wait_for_child(port, gw), 0);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("VNXPASSWORD", "", 1);
        setenv("HOME", root_.c_str(), 1);
        if (chdir(root_.c_str()) != 0) _exit(126);
        std::string p = std::to_string(port);
        execl(VNX_DQPSH_PATH, VNX_DQPSH_PATH, "--gateway-port", p.c_str(), "-d", "vnxtest",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string seen;
    ASSERT_TRUE(read_until(master, "vnxtest=> ", &seen)) << seen;
    std::string typed =
        "CREATE TABLE t (a INTEGER);\rSELECT count(*)\r  AS n FROM t;\r"
        "\\copy t FROM 'big.csv' CSV\r";
    ASSERT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    EXPECT_TRUE(read_until(master, "COPY 2500", &seen)) << seen;
    EXPECT_NE(seen.find("\rCOPY: 2000 rows"), std::string::npos) << seen;
    ASSERT_EQ(write(master, "\\q\r", 3), 3);
    read_until(master, "\x04never", &seen);  // until dqpsh has gone
    int st = 0;
    waitpid(pid, &st, 0);
    close(master);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << seen;
    // The history file holds one entry per line; the statement's two lines
    // are one of them.
    std::istringstream history(slurp(root_ + "/.dqpsh_history"));
    int entries_with_select = 0, entries_with_from = 0;
    for (std::string line; std::getline(history, line);) {
        if (line.find("SELECT") != std::string::npos) entries_with_select++;
        if (line.find("SELECT") != std::string::npos && line.find("FROM") != std::string::npos)
            entries_with_from++;
    }
    EXPECT_EQ(entries_with_select, 1) << slurp(root_ + "/.dqpsh_history");
    EXPECT_EQ(entries_with_from, 1) << slurp(root_ + "/.dqpsh_history");
}
