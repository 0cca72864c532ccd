// The ODBC gateway against SQLite through its ODBC driver: no server needed.
#include <gtest/gtest.h>

#include <regex>

#include "master_harness.h"
#include "odbc_harness.h"

using namespace vnxtest;
using dqp::Reply;

namespace {

class SqliteGateway : public OdbcGateway {
  protected:
    void SetUp() override {
        OdbcGateway::SetUp();
        add_sqlite_dsn();
        c_ = start_gateway(&pid_);
        ASSERT_NE(c_, nullptr);
        h_ = connect_dsn(*c_, "vnxtest");
        ASSERT_GT(h_, 0) << "CONNECT to the SQLite DSN failed";
    }
    std::unique_ptr<dqp::Connection> c_;
    pid_t pid_ = 0;
    int32_t h_ = 0;
};

}  // namespace

TEST_F(OdbcGateway, ConnectToUnknownDsnFailsAndMaperrorGivesDriverManagerText) {
    auto c = start_gateway();
    int32_t err = 0;
    EXPECT_EQ(connect_dsn(*c, "no_such_dsn", "u", "p", &err), 0);
    ASSERT_GT(err, 0);
    EXPECT_NE(maperror(*c, err).find("Data source name not found"), std::string::npos);
    // The error handle serves MAPERROR only.
    EXPECT_EQ(ask(*c, 'G', err, {"SELECT 1"}).type, 'N');
}

TEST_F(SqliteGateway, SelectCursorStreamsRowsInBatchesThenEofAndIsReleased) {
    exec_ok(*c_, h_, "CREATE TABLE t (r INTEGER PRIMARY KEY, v VARCHAR(20))");
    exec_ok(*c_, h_,
            "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 300) "
            "INSERT INTO t SELECT x, 'value ' || x FROM n");
    Reply r = ask(*c_, 'G', h_, {"SELECT r, v FROM t ORDER BY r"});
    ASSERT_EQ(r.type, 'Y');
    EXPECT_EQ(r.info, 0);
    ASSERT_EQ(r.args.size(), 3u);
    EXPECT_EQ(r.args[0], "0");
    EXPECT_TRUE(std::regex_match(r.args[2], std::regex("DQP_SLT_[0-9A-F]{8}"))) << r.args[2];
    std::vector<std::string> header;
    auto rows = fetch_all(*c_, h_, r.args[2], &header);
    ASSERT_EQ(rows.size(), 300u);
    EXPECT_EQ(header, (std::vector<std::string>{"r:10:N:0:", "v:20:C:0:"}));
    EXPECT_EQ(rows[0], (std::vector<std::string>{"         1", "value 1"}));
    EXPECT_EQ(rows[299], (std::vector<std::string>{"       300", "value 300"}));
    // The cursor went with its last row.
    auto again = result(*c_, 'Q', h_, r.args[2]);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].type, 'N');
    EXPECT_EQ(again[0].args, std::vector<std::string>{r.args[2]});
}

TEST_F(SqliteGateway, QueriesAfterQueriesSeeOnlyTheirOwnRows) {
    expect_queries_after_queries_see_their_own_rows(*c_, h_);
}

TEST_F(SqliteGateway, EmptyResultSendsHeaderAndEof) {
    exec_ok(*c_, h_, "CREATE TABLE e (a INTEGER)");
    std::vector<std::string> header;
    EXPECT_TRUE(query(*c_, h_, "SELECT a FROM e", &header).empty());
    EXPECT_EQ(header, std::vector<std::string>{"a:10:N:0:"});
}

TEST_F(SqliteGateway, DdlAndDmlAnswerOkWithoutCursor) {
    Reply r = ask(*c_, 'G', h_, {"CREATE TABLE d (a INTEGER)"});
    EXPECT_EQ(r.type, 'Y');
    EXPECT_EQ(r.args, (std::vector<std::string>{"0", "0"}));
    EXPECT_EQ(ask(*c_, 'G', h_, {"INSERT INTO d VALUES (1)"}).args.size(), 2u);
    EXPECT_EQ(ask(*c_, 'G', h_, {"UPDATE d SET a = 2 WHERE a = 99"}).type, 'Y');
}

TEST_F(SqliteGateway, RejectedSqlIsNokAndMaperrorHasTheDiagnostic) {
    Reply r = ask(*c_, 'G', h_, {"SELEKT nothing"});
    EXPECT_EQ(r.type, 'N');
    EXPECT_LT(r.info, 0);
    EXPECT_NE(maperror(*c_, h_).find("syntax error"), std::string::npos);
    r = ask(*c_, 'G', h_, {"SELECT * FROM no_such_table"});
    EXPECT_EQ(r.type, 'N');
    EXPECT_NE(maperror(*c_, h_).find("no_such_table"), std::string::npos);
    // The session goes on serving.
    EXPECT_EQ(query(*c_, h_, "SELECT 7 AS x").size(), 1u);
}

TEST_F(SqliteGateway, EveryValueTypeAndNullRoundTrips) {
    exec_ok(*c_, h_,
            "CREATE TABLE v (i INTEGER, c CHAR(10), vc VARCHAR(40), n NUMERIC(8,2), s SMALLINT, "
            "f DOUBLE, d DATE, tm TIME, ts TIMESTAMP, b BIT, m TEXT, bin BLOB)");
    exec_ok(*c_, h_,
            "INSERT INTO v VALUES (42, 'AB', 'hello  ', 12.34, -7, 2.5, '2001-02-03', "
            "'12:34:56', '2001-02-03 04:05:06', 1, 'long text', X'0102FF')");
    exec_ok(*c_, h_,
            "INSERT INTO v VALUES (-3, '', 'x', -5.5, 0, -1.25, NULL, NULL, NULL, 0, "
            "NULL, NULL)");
    exec_ok(*c_, h_, "INSERT INTO v (i) VALUES (NULL)");
    std::vector<std::string> header;
    auto rows = query(*c_, h_, "SELECT * FROM v ORDER BY rowid", &header);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(header,
              (std::vector<std::string>{
                  "i:10:N:0:", "c:10:C:0:", "vc:40:C:0:", "n:8:N:0:", "s:6:N:0:", "f:54:N:0:",
                  "d:10:D:0:", "tm:8:C:0:", "ts:32:C:0:", "b:1:L:0:", "m:4:M:0:", "bin:12:C:0:"}));
    EXPECT_EQ(rows[0], (std::vector<std::string>{"        42", "AB", "hello", "12.34000", "-7",
                                                 std::string(46, ' ') + "2.500000", "20010203",
                                                 "12:34:56", "2001-02-03 04:05:06", "T",
                                                 "Bitmap image", "Bitmap image"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"        -3", "", "x", "-5.50000", "0",
                                                 std::string(45, ' ') + "-1.250000", "", "", "",
                                                 "F", "", ""}));
    EXPECT_EQ(rows[2], std::vector<std::string>(12, ""));
}

TEST_F(SqliteGateway, FieldListDescribesEveryColumnWithReadonlyFlag) {
    exec_ok(*c_, h_, "CREATE TABLE fl (a INTEGER, b VARCHAR(5), d DATE, ts TIMESTAMP)");
    ASSERT_EQ(ask(*c_, 'U', h_, {"cur1", "SELECT a, b, d, ts FROM fl"}).type, 'Y');
    Reply r = ask(*c_, '6', h_, {"CUR1"});
    ASSERT_EQ(r.type, 'Y');
    EXPECT_EQ(r.args, (std::vector<std::string>{
                          "a:10:N:0:0:", "b:5:C:0:0:", "d:10:D:0:0:", "ts:26:C:0:0:"}));
    r = ask(*c_, '6', h_, {"nosuch"});
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.args, std::vector<std::string>{"nosuch"});
}

TEST_F(SqliteGateway, DeclaredCursorOpensWithExactCountFetchesAndScrolls) {
    exec_ok(*c_, h_, "CREATE TABLE s (r INTEGER)");
    exec_ok(*c_, h_, "INSERT INTO s VALUES (1), (2), (3)");
    Reply r = ask(*c_, 'U', h_, {"c1", "SELECT r FROM s ORDER BY r"});
    ASSERT_EQ(r.type, 'Y');
    r = ask(*c_, 'E', h_, {"c1"});
    ASSERT_EQ(r.type, 'Y');
    EXPECT_EQ(r.args, (std::vector<std::string>{"0", "3"}));
    auto one = [&](int type, std::initializer_list<std::string_view> args) {
        Reply x = ask(*c_, type, h_, args);
        return x.type == 'T' && !x.args.empty() ? x.args[0] : std::string(1, char(x.type));
    };
    EXPECT_EQ(one('P', {"c1"}), "r:10:N:0:         1");
    EXPECT_EQ(one('m', {"c1", "NEXT", "0"}), "r:10:N:0:         2");
    EXPECT_EQ(one('m', {"c1", "LAST", "0"}), "r:10:N:0:         3");
    EXPECT_EQ(one('m', {"c1", "PREVIOUS", "0"}), "r:10:N:0:         2");
    EXPECT_EQ(one('m', {"c1", "FIRST", "0"}), "r:10:N:0:         1");
    EXPECT_EQ(one('m', {"c1", "ABSOLUTE", "3"}), "r:10:N:0:         3");
    Reply end = ask(*c_, 'P', h_, {"c1"});
    EXPECT_EQ(end.type, 'R');
    EXPECT_EQ(end.info, 100);
    EXPECT_EQ(one('m', {"c1", "previous", "0"}), "N");  // keywords are case-sensitive
    EXPECT_EQ(ask(*c_, 'F', h_, {"c1"}).type, 'Y');
    r = ask(*c_, 'E', h_, {"C1"});  // re-opened after CLOSE, found by upper-cased name
    EXPECT_EQ(r.args, (std::vector<std::string>{"0", "3"}));
    EXPECT_EQ(ask(*c_, 'V', h_, {"c1"}).args, (std::vector<std::string>{"0", "0"}));
    EXPECT_EQ(ask(*c_, 'E', h_, {"c1"}).type, 'N');
}

TEST_F(SqliteGateway, UnknownCursorNamesAreAnsweredNeverWaitedOn) {
    Reply r = ask(*c_, 'E', h_, {"ghost"});
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.args, (std::vector<std::string>{"-1", "0"}));
    r = ask(*c_, 'P', h_, {"ghost"});
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.args, std::vector<std::string>{"ghost"});
    EXPECT_EQ(ask(*c_, 'm', h_, {"ghost", "NEXT", "0"}).type, 'N');
    EXPECT_EQ(ask(*c_, 'F', h_, {"ghost"}).args, (std::vector<std::string>{"0", "0"}));
    EXPECT_EQ(ask(*c_, 'V', h_, {"ghost"}).type, 'Y');
}

TEST_F(SqliteGateway, NamesOverNineteenCharactersAreRefused) {
    exec_ok(*c_, h_, "CREATE TABLE n (a INTEGER)");
    std::string n19(19, 'K'), n20(20, 'K');
    EXPECT_EQ(ask(*c_, 'U', h_, {n20, "SELECT a FROM n"}).type, 'N');
    EXPECT_NE(maperror(*c_, h_).find("19"), std::string::npos);
    EXPECT_EQ(ask(*c_, 'U', h_, {n19, "SELECT a FROM n"}).type, 'Y');
    EXPECT_EQ(ask(*c_, 'E', h_, {n19}).args, (std::vector<std::string>{"0", "0"}));
    EXPECT_EQ(result(*c_, '7', h_, n20).front().type, 'N');
}

TEST_F(SqliteGateway, DeclareOfStatementWithoutRowsIsRefused) {
    Reply r = ask(*c_, 'U', h_, {"c", "CREATE TABLE x (a INTEGER)"});
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.args, (std::vector<std::string>{"-1", "0"}));
}

TEST_F(SqliteGateway, UnknownStaleAndNegativeHandlesFailTheRequest) {
    for (int32_t bad : {0, -1, h_ + 1000, INT32_MIN}) {
        EXPECT_EQ(ask(*c_, 'G', bad, {"SELECT 1"}).type, 'N') << bad;
        EXPECT_EQ(ask(*c_, 'E', bad, {"c"}).type, 'N') << bad;
        EXPECT_EQ(ask(*c_, 'P', bad, {"c"}).type, 'N') << bad;
        EXPECT_EQ(ask(*c_, 'Q', bad, {"c"}).type, 'N') << bad;
        EXPECT_EQ(ask(*c_, 'X', bad).type, 'N') << bad;
        EXPECT_EQ(ask(*c_, 'O', bad).type, 'N') << bad;
        EXPECT_EQ(ask(*c_, '0', bad, {"db", "SHARED"}).type, 'N') << bad;
    }
    EXPECT_EQ(ask(*c_, 'D', h_).type, 'Y');
    // The freed handle is dead for good.
    EXPECT_EQ(ask(*c_, 'G', h_, {"SELECT 1"}).type, 'N');
    EXPECT_EQ(ask(*c_, 'Z', h_).type, 'N');
    int32_t again = connect_dsn(*c_, "vnxtest");
    EXPECT_GT(again, 0);
    EXPECT_NE(again, h_);
}

TEST_F(SqliteGateway, AttachAndDetachSucceedWithStatusZero) {
    Reply r = ask(*c_, '0', h_, {"anything", "SHARED"});
    EXPECT_EQ(r.type, 'Y');
    EXPECT_EQ(r.args, std::vector<std::string>{"0"});
    EXPECT_EQ(ask(*c_, '3', h_).args, std::vector<std::string>{"0"});
}

TEST_F(SqliteGateway, RollbackUndoesAndCommitKeeps) {
    exec_ok(*c_, h_, "CREATE TABLE tx (a INTEGER)");
    EXPECT_EQ(ask(*c_, 'X', h_).type, 'Y');
    exec_ok(*c_, h_, "INSERT INTO tx VALUES (1)");
    EXPECT_EQ(ask(*c_, 'Z', h_).args, std::vector<std::string>{"0"});
    EXPECT_TRUE(query(*c_, h_, "SELECT a FROM tx").empty());
    exec_ok(*c_, h_, "INSERT INTO tx VALUES (2)");
    EXPECT_EQ(ask(*c_, 'X', h_).type, 'Y');
    EXPECT_EQ(ask(*c_, 'Z', h_).type, 'Y');
    // A second gateway, another connection, sees the committed row only.
    auto other = start_gateway();
    int32_t h2 = connect_dsn(*other, "vnxtest");
    ASSERT_GT(h2, 0);
    auto rows = query(*other, h2, "SELECT a FROM tx");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "         2");
}

TEST_F(SqliteGateway, TableListStreamsTheCatalogue) {
    exec_ok(*c_, h_, "CREATE TABLE alpha (a INTEGER)");
    exec_ok(*c_, h_, "CREATE TABLE beta (b INTEGER)");
    auto res = result(*c_, '7', h_, "tl");
    ASSERT_GE(res.size(), 4u);
    EXPECT_EQ(res.front().args.size(), 5u);
    EXPECT_EQ(res.back().type, 'R');
    std::vector<std::string> names;
    for (size_t i = 1; i + 1 < res.size(); i++)
        names.push_back(res[i].args.at(2));
    EXPECT_NE(std::find(names.begin(), names.end(), "alpha"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "beta"), names.end());
}

TEST_F(SqliteGateway, RowWiderThanAFrameIsNokAndMaperrorSaysWhy) {
    std::string cols, sel;
    for (int i = 0; i < 70; i++) {
        cols += (i ? ", c" : "c") + std::to_string(i) + " VARCHAR(255)";
        sel += (i ? ", " : "") + std::string("printf('%.250c', 'x')");
    }
    exec_ok(*c_, h_, "CREATE TABLE wide (" + cols + ")");
    exec_ok(*c_, h_, "INSERT INTO wide VALUES (" + sel + ")");
    std::string cursor = exec_ok(*c_, h_, "SELECT * FROM wide");
    auto res = result(*c_, 'Q', h_, cursor);
    ASSERT_GE(res.size(), 2u);
    EXPECT_EQ(res.back().type, 'N');
    EXPECT_NE(maperror(*c_, h_).find("wider than a reply packet"), std::string::npos);
    // One row at a time does not fit either; the gateway keeps serving.
    ASSERT_EQ(ask(*c_, 'U', h_, {"w", "SELECT * FROM wide"}).type, 'Y');
    ASSERT_EQ(ask(*c_, 'E', h_, {"w"}).type, 'Y');
    EXPECT_EQ(ask(*c_, 'P', h_, {"w"}).type, 'N');
    // A failed result leaves its cursor declared until it is released.
    EXPECT_EQ(ask(*c_, 'V', h_, {cursor}).type, 'Y');
    EXPECT_EQ(query(*c_, h_, "SELECT 1 AS one").size(), 1u);
}

TEST_F(SqliteGateway, ClientVanishingMidFetchmanyEndsTheGateway) {
    std::string cursor =
        exec_ok(*c_, h_,
                "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 1000000) "
                "SELECT x, 'row ' || x FROM n");
    ASSERT_EQ(c_->send('Q', h_, {cursor}), 0);
    Reply header, first;
    ASSERT_EQ(c_->receive(&header), 0);
    ASSERT_EQ(c_->receive(&first), 0);
    EXPECT_EQ(first.type, 'W');
    c_->close();
    EXPECT_EQ(wait_exit(pid_, 60000), 1);
    forget(pid_);
}

namespace {

class TracedSqliteGateway : public OdbcGateway {
  protected:
    void SetUp() override {
        OdbcGateway::SetUp();
        add_sqlite_dsn();
        EXPECT_EQ(store_->set_value(vnx::kNetServerKey, "DQP_SVRLOG", root_ + "/calls.trc"), 0);
    }
    size_t count(const std::string &text, const std::string &what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            n++;
        return n;
    }
};

}  // namespace

TEST_F(TracedSqliteGateway, StatementCacheReusesThePreparedExactText) {
    auto c = start_gateway();
    int32_t h = connect_dsn(*c, "vnxtest");
    ASSERT_GT(h, 0);
    exec_ok(*c, h, "CREATE TABLE k (a INTEGER)");
    exec_ok(*c, h, "INSERT INTO k VALUES (1)");
    exec_ok(*c, h, "INSERT INTO k VALUES (1)");
    exec_ok(*c, h, "insert into k values (1)");
    auto rows = query(*c, h, "SELECT count(*) FROM k");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "         3");  // described once executed: an INTEGER
    std::string trace = read_file(root_ + "/calls.trc");
    EXPECT_NE(trace.find("db_server_connect(START 259)"), std::string::npos);
    EXPECT_EQ(count(trace, "db_server_execsql(START)"), 5u);
    EXPECT_EQ(count(trace, "cache_prepared_statement()"), 3u);  // CREATE, INSERT, insert
}

// Where the gateway links its own SQLite, the SQLite driver's library is a
// copy of its own, untouched before CONNECT, and the gateway runs it in the
// multi-thread mode; where the gateway shares the driver's libsqlite3, its
// configuration store has used that library already and it stays as it is.
TEST_F(TracedSqliteGateway, SqliteDriverRunsTunedWhenTheGatewayLinksItsOwnSqlite) {
    auto c = start_gateway();
    int32_t h = connect_dsn(*c, "vnxtest");
    ASSERT_GT(h, 0);
    EXPECT_EQ(query(*c, h, "SELECT 1 + 1").size(), 1u);
    std::string trace = read_file(root_ + "/calls.trc");
#ifdef VNX_STATIC_SQLITE
    EXPECT_EQ(count(trace, "db_server_connect(SQLite Tuned)"), 1u) << trace;
#else
    EXPECT_EQ(count(trace, "db_server_connect(SQLite InUse)"), 1u) << trace;
#endif
}

TEST_F(TracedSqliteGateway, DisconnectReleasesCursorsAndNoticesTheMaster) {
    // Covered with a real master in the Master-based test below; here only
    // the cursors and the handle.
    auto c = start_gateway();
    int32_t h = connect_dsn(*c, "vnxtest");
    ASSERT_GT(h, 0);
    exec_ok(*c, h, "CREATE TABLE q (a INTEGER)");
    ASSERT_EQ(ask(*c, 'U', h, {"a1", "SELECT a FROM q"}).type, 'Y');
    exec_ok(*c, h, "SELECT a FROM q");
    EXPECT_EQ(ask(*c, 'D', h).type, 'Y');
    EXPECT_EQ(ask(*c, 'E', h, {"a1"}).type, 'N');
    std::string trace = read_file(root_ + "/calls.trc");
    EXPECT_NE(trace.find("db_server_rollback(START)"), std::string::npos);
    EXPECT_NE(trace.find("db_server_disconnect(END)"), std::string::npos);
}

namespace {

class MasterWithSqlite : public Master {
  protected:
    void SetUp() override {
        Master::SetUp();
        use_sqlite_dsn("vnxtest", "m.db");
        EXPECT_EQ(store_->set_value(std::string(vnx::kRootKey) + "\\PortServer", "spares", "0"), 0);
    }
};

}  // namespace

TEST_F(MasterWithSqlite, DisconnectSendsRemUserAndTheRecordLeavesUsersDb) {
    start_master();
    int port = request();
    ASSERT_GT(port, 0);
    std::string err;
    auto c = dqp::Connection::open("127.0.0.1", port, &err, 30000);
    ASSERT_NE(c, nullptr) << err;
    Reply r;
    ASSERT_EQ(c->request('A', 0, {"odb", "alice", "pw"}, &r), 0);
    ASSERT_TRUE(wait_sessions(1));
    ASSERT_EQ(c->request('C', 0, {"odb", "alice", "pw", "vnxtest"}, &r), 0);
    ASSERT_EQ(r.type, 'Y');
    int32_t h = r.info;
    ASSERT_EQ(c->request('U', h, {"cur", "SELECT 1"}, &r), 0);
    ASSERT_EQ(c->request('D', h, {}, &r), 0);
    EXPECT_EQ(r.type, 'Y');
    EXPECT_TRUE(wait_sessions(0));
    ASSERT_EQ(c->request('E', h, {"cur"}, &r), 0);
    EXPECT_EQ(r.type, 'N');
}
