// The typed record calls (dqp::RecordClient) against real gateways on a
// throwaway PostgreSQL server: the record requests on a data source with row
// locks, and a lock taken in one session seen by ISLOCKED in another.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "client/record_client.h"
#include "client/sql_client.h"
#include "odbc_harness.h"
#include "throwaway_server.h"

using namespace vnxtest;
using dqp::Failure;
using dqp::Record;
using dqp::RecordClient;
using dqp::SqlClient;
using dqp::UseOptions;

namespace {

PostgresServer &postgres() {
    static PostgresServer pg;
    return pg;
}

std::string trimmed(std::string s) {
    while (!s.empty() && s.front() == ' ')
        s.erase(0, 1);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// One client session on a gateway of its own.
struct Session {
    std::unique_ptr<dqp::Connection> conn;
    std::unique_ptr<SqlClient> sql;
    std::unique_ptr<RecordClient> rec;

    // The last failure with the data source's reason.
    std::string why() {
        std::string text = sql->error(), diag;
        if (sql->failure() == Failure::refused && sql->maperror(&diag) == 0) text += ": " + diag;
        return text;
    }
    void exec(const std::string &text) {
        dqp::ExecResult res;
        ASSERT_EQ(sql->execsql(text, &res), 0) << text << ": " << why();
    }
    std::string scalar(const std::string &text) {
        dqp::ExecResult res;
        std::vector<dqp::FieldDesc> fields;
        std::vector<dqp::Row> rows;
        if (sql->execsql(text, &res) != 0 || sql->fetchmany(res.cursor, &fields, &rows) != 0)
            return "<" + why() + ">";
        return rows.size() == 1 && rows[0].size() == 1 ? trimmed(rows[0][0]) : "<not one value>";
    }
    std::map<std::string, std::string> read(const std::string &alias, int32_t n) {
        Record r;
        bool end = true;
        std::map<std::string, std::string> out;
        EXPECT_EQ(rec->read(alias, n, false, &r, &end), 0) << alias << " " << n << ": " << why();
        for (size_t i = 0; i < r.fields.size() && i < r.values.size(); i++)
            out[r.fields[i].name] = r.values[i];
        return out;
    }
    // ISLOCKED: 0 free, 1 refused (held elsewhere) with the connection in step.
    int islocked(const std::string &alias, int32_t n) {
        int32_t answer = -1;
        if (rec->islocked(alias, n, &answer) == 0) return answer;
        EXPECT_EQ(sql->failure(), Failure::refused) << sql->error();
        EXPECT_TRUE(sql->usable());
        return 1;
    }
};

class PostgresRecords : public OdbcGateway {
  protected:
    static void TearDownTestSuite() { postgres().destroy(); }
    void SetUp() override {
        OdbcGateway::SetUp();
        if (!postgres().start()) {
            if (!postgres().installed()) GTEST_SKIP() << postgres().why();
            FAIL() << postgres().why();
        }
        add_dsn("pg", postgres().dsn_body());
        open(&s1_);
        ASSERT_NE(s1_.rec, nullptr);
        dqp::ExecResult res;
        s1_.sql->execsql("DROP TABLE IF EXISTS t", &res);
        s1_.exec(
            "CREATE TABLE t (r INTEGER PRIMARY KEY, name VARCHAR(10), v VARCHAR(40), "
            "memo TEXT)");
        s1_.exec(
            "INSERT INTO t VALUES (1, 'SMITH', 'one', 'm1'), (2, 'JONES', 'two', NULL), "
            "(3, 'BROWN', 'three', NULL), (4, 'SMYTHE', 'four', NULL), "
            "(5, 'ADAMS', 'five', NULL)");
        ASSERT_EQ(s1_.sql->commit(), 0) << s1_.why();
    }
    void open(Session *s) {
        s->conn = start_gateway();
        ASSERT_NE(s->conn, nullptr);
        s->sql = std::make_unique<SqlClient>(*s->conn);
        ASSERT_EQ(s->sql->connect("pg", "vnx", "secret"), 0) << s->sql->error();
        s->rec = std::make_unique<RecordClient>(*s->sql);
    }
    static void use(Session &s, const std::string &alias, const std::string &order = "r") {
        UseOptions opt;
        opt.order = order;
        int32_t n = -1;
        ASSERT_EQ(s.rec->use("t", alias, opt, &n), 0) << s.why();
        EXPECT_EQ(n, 5);
    }
    Session s1_;
};

}  // namespace

TEST_F(PostgresRecords, RecordCallsReadChangeFindAndReadLongTexts) {
    use(s1_, "A");
    int32_t n = -1;
    ASSERT_EQ(s1_.rec->count("A", &n), 0) << s1_.why();
    EXPECT_EQ(n, 5);
    EXPECT_EQ(s1_.read("A", 3)["v"], "three");
    ASSERT_EQ(s1_.rec->update("A", 2, {"2", "OBRIEN", "O'Brien"}), 0) << s1_.why();
    ASSERT_EQ(s1_.sql->rollback(), 0);
    EXPECT_EQ(s1_.scalar("SELECT v FROM t WHERE r = 2"), "O'Brien");
    ASSERT_EQ(s1_.rec->insert("A", {"6", "NEWMAN", "six"}, &n), 0) << s1_.why();
    EXPECT_EQ(n, 6);
    EXPECT_EQ(s1_.read("A", 6)["name"], "NEWMAN");
    ASSERT_EQ(s1_.rec->remove("A", 3), 0) << s1_.why();
    Record r;
    bool end = false;
    EXPECT_EQ(s1_.rec->read("A", 3, false, &r, &end), -1);
    EXPECT_EQ(s1_.sql->failure(), Failure::refused);
    EXPECT_EQ(s1_.scalar("SELECT COUNT(*) FROM t"), "5");
    dqp::FindOptions exact, prefix;
    exact.exact = true;
    ASSERT_EQ(s1_.rec->find("A", "t", "NAME", "SMY", prefix, &n), 0) << s1_.why();
    EXPECT_EQ(n, 4);
    ASSERT_EQ(s1_.rec->find("A", "t", "NAME", "NEWMAN", exact, &n), 0) << s1_.why();
    EXPECT_EQ(n, 6);
    EXPECT_EQ(s1_.rec->find("A", "t", "NAME", "SM", exact, &n), -1);
    // A long text in several pieces, joined equal to what is stored.
    s1_.exec("UPDATE t SET memo = REPEAT('abc', 15000) || 'end' WHERE r = 4");
    ASSERT_EQ(s1_.sql->commit(), 0);
    ASSERT_EQ(s1_.rec->read("A", 4, false, &r, &end), 0) << s1_.why();
    int pieces = 0;
    std::string text;
    ASSERT_EQ(s1_.rec->memo("A", 3,
                            [&](std::string_view chunk, bool) {
                                pieces++;
                                text.append(chunk);
                                return 0;
                            }),
              0)
        << s1_.why();
    EXPECT_GE(pieces, 3);
    std::string stored;
    for (int i = 0; i < 15000; i++)
        stored += "abc";
    EXPECT_EQ(text, stored + "end");
    ASSERT_EQ(s1_.rec->unuse("A"), 0) << s1_.why();
    EXPECT_EQ(s1_.rec->read("A", 1, false, &r, &end), -1);
    EXPECT_TRUE(s1_.sql->usable());
}

TEST_F(PostgresRecords, LockInOneSessionIsSeenByIslockedInAnother) {
    Session s2;
    open(&s2);
    ASSERT_NE(s2.rec, nullptr);
    use(s1_, "A");
    use(s2, "B");
    EXPECT_EQ(s2.islocked("B", 1), 0);  // free, and no lock left behind
    int32_t answer = -1;
    ASSERT_EQ(s1_.rec->lock("A", 1, &answer), 0) << s1_.why();
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(s2.islocked("B", 1), 1);
    std::string diag;
    ASSERT_EQ(s2.sql->maperror(&diag), 0);
    EXPECT_EQ(diag,
              "ERROR: could not obtain lock on row in relation \"t\";\n"
              "Error while executing the query");
    EXPECT_EQ(s2.rec->lock("B", 1, &answer), -1);
    EXPECT_EQ(s2.sql->failure(), Failure::refused);
    EXPECT_EQ(s2.islocked("B", 2), 0);  // other records are free
    ASSERT_EQ(s1_.sql->commit(), 0);    // the end of the transaction frees it
    EXPECT_EQ(s2.islocked("B", 1), 0);
    // A locking READ holds the record until UNLOCK.
    Record r;
    bool end = false;
    ASSERT_EQ(s1_.rec->read("A", 1, true, &r, &end), 0) << s1_.why();
    EXPECT_EQ(s2.islocked("B", 1), 1);
    ASSERT_EQ(s1_.rec->unlock("A"), 0) << s1_.why();
    EXPECT_EQ(s2.islocked("B", 1), 0);
    // Now the second session holds it and the first one meets the lock.
    ASSERT_EQ(s2.rec->lock("B", 1, &answer), 0) << s2.why();
    EXPECT_EQ(s1_.islocked("A", 1), 1);
    ASSERT_EQ(s2.sql->rollback(), 0);
    EXPECT_EQ(s1_.islocked("A", 1), 0);
    // Table locks are granted at once.
    EXPECT_EQ(s1_.rec->lock_table("t", false), 0) << s1_.why();
    ASSERT_EQ(s2.rec->islocked_table("t", &answer), 0) << s2.why();
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(s1_.rec->unlock_table("t"), 0) << s1_.why();
    EXPECT_EQ(s1_.scalar("SELECT name FROM t WHERE r = 1"), "SMITH");
}

TEST_F(PostgresRecords, DqpshReportsARecordHeldByAnotherSession) {
    use(s1_, "A");
    ASSERT_EQ(s1_.rec->lock("A", 1), 0) << s1_.why();
    int port = free_port();
    pid_t pid =
        vnx::spawn_server(std::string(VNX_ODBSERVER_PATH) + " " + std::to_string(port), port);
    ASSERT_GT(pid, 0);
    own(pid);
    ASSERT_EQ(vnx::wait_for_child(port, pid), 0);
    std::string cmd =
        "VNXPASSWORD=secret " VNX_DQPSH_PATH " --gateway-port " + std::to_string(port) +
        " -d pg -U vnx -c '\\use t B * r' -c '\\islocked B 2'" +
        " -c '\\islocked B 1' -c '\\count B' </dev/null >" + root_ + "/out 2>" + root_ + "/err";
    int st = system(cmd.c_str());
    auto slurp = [](const std::string &path) {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    };
    std::string out = slurp(root_ + "/out"), err = slurp(root_ + "/err");
    // As in psql, the -c after the failed one still runs and sets the status.
    EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, 0) << err;
    EXPECT_EQ(out, "5 records\nnot locked\n5\n");
    // The data source's own reason, from MAPERROR.
    EXPECT_EQ(err.rfind("ERROR:  ", 0), 0u) << err;
    EXPECT_NE(err.find("lock"), std::string::npos) << err;
}

// \update reads the record and sends back the values before the changed
// column as READ gave them: dates, numbers, logicals and timestamps must
// come back unchanged.
TEST_F(PostgresRecords, DqpshUpdateKeepsTheOtherColumnsOfTheRecord) {
    s1_.exec("DROP TABLE IF EXISTS t_kinds");
    s1_.exec(
        "CREATE TABLE t_kinds (r INTEGER PRIMARY KEY, d DATE, n NUMERIC(8,2), ok BOOLEAN, "
        "ts TIMESTAMP, c CHAR(6), v VARCHAR(20))");
    s1_.exec(
        "INSERT INTO t_kinds VALUES (1, '2024-02-29', -12.5, true, "
        "'2024-03-01 13:14:15', 'ab', 'before'), (2, NULL, NULL, NULL, NULL, NULL, 'x')");
    ASSERT_EQ(s1_.sql->commit(), 0);
    const std::string all =
        "SELECT CAST(d || '|' || n || '|' || ok || '|' || ts || '|' || c || '|' || v AS "
        "VARCHAR(100)) FROM t_kinds WHERE r = 1";
    const std::string nulls =
        "SELECT COUNT(*) FROM t_kinds WHERE r = 2 AND d IS NULL AND "
        "n IS NULL AND ok IS NULL AND ts IS NULL AND c IS NULL";
    std::string before = s1_.scalar(all);
    ASSERT_EQ(before, "2024-02-29|-12.50|true|2024-03-01 13:14:15|ab|before");
    int port = free_port();
    pid_t pid =
        vnx::spawn_server(std::string(VNX_ODBSERVER_PATH) + " " + std::to_string(port), port);
    ASSERT_GT(pid, 0);
    own(pid);
    ASSERT_EQ(vnx::wait_for_child(port, pid), 0);
    std::string cmd = "VNXPASSWORD=secret " VNX_DQPSH_PATH " --gateway-port " +
                      std::to_string(port) +
                      " -d pg -U vnx -c '\\use t_kinds K * r' -c '\\update K 1 v=after'" +
                      " -c '\\update K 2 v=y' </dev/null >" + root_ + "/out 2>" + root_ + "/err";
    int st = system(cmd.c_str());
    std::ifstream in(root_ + "/err");
    std::stringstream err;
    err << in.rdbuf();
    EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, 0) << err.str();
    EXPECT_EQ(s1_.scalar(all), "2024-02-29|-12.50|true|2024-03-01 13:14:15|ab|after");
    EXPECT_EQ(s1_.scalar(nulls), "1");
    EXPECT_EQ(s1_.scalar("SELECT v FROM t_kinds WHERE r = 2"), "y");
}
