// dqpsh's record commands as a user runs them: the program against a real
// gateway on SQLite through its ODBC driver, with its output, error texts and
// exit status as seen from outside. Each run gets a gateway of its own, as
// dqpsh ends its gateway when it leaves.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "client/sql_client.h"
#include "client/sql_script.h"
#include "odbc_harness.h"

using namespace vnxtest;

namespace {

struct ShellRun {
    int status;
    std::string out, err;
};

class DqpshRecords : public OdbcGateway {
  protected:
    void SetUp() override {
        OdbcGateway::SetUp();
        add_sqlite_dsn();
        sql_session([](dqp::SqlClient &sql) {
            for (const char *text :
                 {"CREATE TABLE t (r INTEGER PRIMARY KEY, name VARCHAR(10), v VARCHAR(40), "
                  "memo TEXT)",
                  "INSERT INTO t VALUES (1, 'SMITH', 'one', 'm1'), (2, 'JONES', 'two', 'm2'), "
                  "(3, 'BROWN', 'three', NULL), (4, 'SMYTHE', 'four', 'm4'), "
                  "(5, 'ADAMS', 'five', 'm5')",
                  "UPDATE t SET memo = hex(zeroblob(20000)) || 'end' WHERE r = 2"}) {
                dqp::ExecResult res;
                ASSERT_EQ(sql.execsql(text, &res), 0) << text << ": " << sql.error();
            }
        });
    }
    // Runs fn in a session of its own, committed and ended afterwards.
    template <typename Fn>
    void sql_session(Fn fn) {
        auto conn = start_gateway();
        ASSERT_NE(conn, nullptr);
        dqp::SqlClient sql(*conn);
        ASSERT_EQ(sql.connect("vnxtest", "", ""), 0) << sql.error();
        fn(sql);
        ASSERT_EQ(sql.commit(), 0) << sql.error();
        sql.disconnect();
        sql.stop();
    }
    // One value of a query, trimmed.
    std::string scalar(const std::string &text) {
        std::string out = "<no value>";
        sql_session([&](dqp::SqlClient &sql) {
            dqp::ExecResult res;
            std::vector<dqp::FieldDesc> fields;
            std::vector<dqp::Row> rows;
            if (sql.execsql(text, &res) == 0 && sql.fetchmany(res.cursor, &fields, &rows) == 0 &&
                rows.size() == 1 && rows[0].size() == 1)
                out = dqp::trim(rows[0][0]);
        });
        return out;
    }
    // dqpsh on a gateway of its own with the -c commands given (shell-quoted
    // by the caller).
    ShellRun dqpsh(const std::string &commands, const std::string &input = "") {
        int port = free_port();
        pid_t pid = vnx::spawn_server(gateway_program() + " " + std::to_string(port), port);
        EXPECT_GT(pid, 0);
        if (pid <= 0) return {-1, "", "no gateway"};
        own(pid);
        EXPECT_EQ(vnx::wait_for_child(port, pid), 0);
        std::string cmd = "VNXPASSWORD= " VNX_DQPSH_PATH " --gateway-port " + std::to_string(port) +
                          " -d vnxtest " + commands + " <" + root_ + "/in >" + root_ + "/out 2>" +
                          root_ + "/err";
        std::ofstream(root_ + "/in") << input;
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

TEST_F(DqpshRecords, UseCountAndReadPrintAForm) {
    ShellRun r = dqpsh(R"(-c '\use t A' -c '\count A' -c '\read A 2')"
                       R"( -c "\\use t B 'r > 2' 'name DESC'" -c '\read b 1' -c '\read b 2')");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // A long text column shows how to read it; a null one is empty.
    EXPECT_EQ(r.out,
              "5 records\n5\n"
              "r:    2\nname: JONES\nv:    two\nmemo: (long text: \\memo A 3)\n"
              "3 records\n"
              "r:    4\nname: SMYTHE\nv:    four\nmemo: (long text: \\memo b 3)\n"
              "r:    3\nname: BROWN\nv:    three\nmemo:\n");
}

TEST_F(DqpshRecords, UpdateInsertAndDeleteChangeTheTable) {
    ShellRun r = dqpsh(R"(-c '\use t A * r' -c "\\update A 2 v=\"O'Brien\" name=OBRIEN")"
                       R"( -c '\read A 2' -c '\insert A 6 NEWMAN six' -c '\read A 6')"
                       R"( -c '\delete A 3' -c '\count A')");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "5 records\nOK\n"
              "r:    2\nname: OBRIEN\nv:    O'Brien\nmemo: (long text: \\memo A 3)\n"
              "record 6\n"
              "r:    6\nname: NEWMAN\nv:    six\nmemo:\n"
              "OK\n6\n");
    EXPECT_EQ(scalar("SELECT v FROM t WHERE r = 2"), "O'Brien");
    // The long text that \update did not name is kept.
    EXPECT_EQ(scalar("SELECT length(memo) FROM t WHERE r = 2"), "40003");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM t"), "5");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM t WHERE r = 3"), "0");
    EXPECT_EQ(scalar("SELECT name || v FROM t WHERE r = 6"), "NEWMANsix");
}

TEST_F(DqpshRecords, FindPrintsTheRecordNumber) {
    // Name order: ADAMS 1, BROWN 2, JONES 3, SMITH 4, SMYTHE 5.
    ShellRun r = dqpsh(R"(-c '\use t A * name' -c '\find A name JONES EXACT')"
                       R"( -c '\find A name SMY' -c '\find a NAME SM' -c '\find A r 4')");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "5 records\nrecord 3\nrecord 5\nrecord 4\nrecord 5\n");
    ShellRun miss = dqpsh(R"(-c '\use t A * name' -c '\find A name SM EXACT' -c '\count A')");
    // As in psql, the next -c still runs and the status is the last one's.
    EXPECT_EQ(miss.status, 0);
    EXPECT_EQ(miss.out, "5 records\n5\n");
    EXPECT_EQ(miss.err, "ERROR:  no record matches the key value\n");
}

TEST_F(DqpshRecords, MemoPrintsTheWholeLongText) {
    ShellRun r = dqpsh(R"(-c '\use t A * r' -c '\read A 2' -c '\memo A 3')"
                       R"( -c '\read A 3' -c '\memo A 3' -c '\read A 1' -c '\memo A 3')");
    EXPECT_EQ(r.status, 0) << r.err;
    std::string form2 = "r:    2\nname: JONES\nv:    two\nmemo: (long text: \\memo A 3)\n";
    std::string form3 = "r:    3\nname: BROWN\nv:    three\nmemo:\n";
    std::string form1 = "r:    1\nname: SMITH\nv:    one\nmemo: (long text: \\memo A 3)\n";
    EXPECT_EQ(r.out, "5 records\n" + form2 + std::string(40000, '0') + "end\n" + form3 + "\n" +
                         form1 + "m1\n");
}

TEST_F(DqpshRecords, ErrorsNameTheirCauseAndSetTheExitStatus) {
    // Standard input goes on after an error and, as psql, exits 0 at the end.
    ShellRun r = dqpsh("",
                       "\\use nosuch X\n"
                       "\\use t A * r\n"
                       "\\find A name ZZ\n"
                       "\\read A 9\n"
                       "\\delete A 0\n"
                       "\\lock A 6\n"
                       "\\read Z 1\n"
                       "\\read A x\n"
                       "\\update A 2 nosuch=1\n"
                       "\\update A 2 memo=lost\n"
                       "\\insert A 7 NEW seven lost\n"
                       "\\delete A 3\n"
                       "\\delete A 3\n"
                       "\\read A 1\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "5 records\nOK\nr:    1\nname: SMITH\nv:    one\nmemo: (long text: \\memo A 3)\n");
    EXPECT_EQ(r.err,
              "ERROR:  [SQLite]no such table: nosuch (1)\n"
              "ERROR:  no record matches the key value\n"
              // Not the previous failure's text again.
              "dqpsh: \"A\" has no record 9 (records 1 to 5)\n"
              "dqpsh: \"A\" has no record 0 (records 1 to 5)\n"
              "dqpsh: \"A\" has no record 6 (records 1 to 5)\n"
              "dqpsh: no table is open as \"Z\"\nhint: open one with \\use TABLE Z\n"
              "dqpsh: \"x\" is not a number\n"
              "dqpsh: \"nosuch=1\" names no column of the record\n"
              "dqpsh: \"memo\" is a long text column: \\update cannot change it\n"
              "dqpsh: \"memo\" is a long text column: \\insert cannot store it\n"
              "ERROR:  the record no longer exists in table t\n");
    EXPECT_EQ(scalar("SELECT length(memo) FROM t WHERE r = 2"), "40003");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM t"), "4");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM t WHERE r = 7"), "0");
}

TEST_F(DqpshRecords, LocksZapAndUnuse) {
    ShellRun r = dqpsh(R"(-c '\use t A * r' -c '\lock A 1' -c '\islocked A 2' -c '\unlock A')"
                       R"( -c "\\zap A 'r > 3'" -c '\count A' -c '\unuse A' -c '\count A')");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "5 records\nlocked\nnot locked\nOK\n0\n0\n");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM t"), "3");
    ShellRun gone = dqpsh(R"(-c '\use t A' -c '\unuse A' -c '\read A 1')");
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.err, "dqpsh: no table is open as \"A\"\nhint: open one with \\use TABLE A\n");
}

// A statement longer than one packet, read from standard input, is written.
TEST_F(DqpshRecords, StatementLongerThanAPacketIsWritten) {
    std::string text(20000, 'y');
    ShellRun r = dqpsh("", "INSERT INTO t VALUES (9, 'LONG', 'x', '" + text + "');\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(scalar("SELECT length(memo) FROM t WHERE r = 9"), "20000");
}
