// The ODBC gateway against real PostgreSQL and MariaDB servers (throwaway
// instances, see throwaway_server.h). The same requests run on both; where
// the data sources differ, the expectation says so.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "data_sources.h"
#include "gateway/diagnostics.h"
#include "gateway/rowid.h"
#include "gateway/session.h"
#include "gateway/svr_session.h"
#include "mariadb_tag.h"
#include "odbc_harness.h"
#include "throwaway_server.h"

using namespace vnxtest;
using Kind = vnxtest::Source;
using dqp::Reply;

namespace {

class ServerGateway : public OdbcGateway, public testing::WithParamInterface<Kind> {
  protected:
    static void TearDownTestSuite() { destroy_servers(); }
    void SetUp() override {
        OdbcGateway::SetUp();
        start_server(GetParam());
        if (IsSkipped() || HasFailure()) return;
        ThrowawayServer &s = server_of(GetParam());
        add_dsn("db", s.dsn_body());
        add_dsn("db_decl", s.dsn_body("UseDeclareFetch=1\nFetch=10000\n"));
        c_ = start_gateway(&pid_);
        ASSERT_NE(c_, nullptr);
        h_ = connect_dsn(*c_, "db", "vnx", "secret");
        ASSERT_GT(h_, 0) << "CONNECT failed";
        ask(*c_, 'G', h_, {"DROP TABLE IF EXISTS t"});
        ask(*c_, 'X', h_);
    }
    bool pg() const { return GetParam() == Kind::Postgres; }
    std::unique_ptr<dqp::Connection> c_;
    pid_t pid_ = 0;
    int32_t h_ = 0;
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Servers, ServerGateway, testing::Values(Kind::Postgres, Kind::Mariadb),
                         source_name);

TEST_P(ServerGateway, WrongPasswordIsNokAndMaperrorGivesTheDriversMessage) {
    int32_t err = 0;
    EXPECT_EQ(connect_dsn(*c_, "db", "vnx", "wrong", &err), 0);
    ASSERT_GT(err, 0);
    std::string text = maperror(*c_, err);
    EXPECT_NE(text.find(pg() ? "password authentication failed" : "Access denied"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST_P(ServerGateway, QueryRowsStreamThenTheCursorIsGone) {
    exec_ok(*c_, h_, "CREATE TABLE t (r INTEGER PRIMARY KEY, v VARCHAR(20))");
    for (int i = 1; i <= 200; i++)
        exec_ok(*c_, h_,
                "INSERT INTO t VALUES (" + std::to_string(i) + ", 'v" + std::to_string(i) + "')");
    std::string cursor = exec_ok(*c_, h_, "SELECT r, v FROM t ORDER BY r");
    EXPECT_EQ(cursor.substr(0, 8), "DQP_SLT_");
    EXPECT_EQ(cursor.size(), 16u);
    std::vector<std::string> header;
    auto rows = fetch_all(*c_, h_, cursor, &header);
    ASSERT_EQ(rows.size(), 200u);
    EXPECT_EQ(header, (std::vector<std::string>{"r:10:N:0:", "v:20:C:0:"}));
    EXPECT_EQ(rows[199], (std::vector<std::string>{"       200", "v200"}));
    EXPECT_EQ(result(*c_, 'Q', h_, cursor).front().type, 'N');
}

TEST_P(ServerGateway, QueriesAfterQueriesSeeOnlyTheirOwnRows) {
    ask(*c_, 'G', h_, {"DROP TABLE IF EXISTS reuse_t"});
    expect_queries_after_queries_see_their_own_rows(*c_, h_);
}

TEST_P(ServerGateway, EveryValueTypeAndNullRoundTrips) {
    std::string ts = pg() ? "TIMESTAMP" : "DATETIME", b = pg() ? "BOOLEAN" : "BIT",
                bin = pg() ? "BYTEA" : "BLOB";
    exec_ok(*c_, h_,
            "CREATE TABLE t (i INTEGER, c CHAR(10), v VARCHAR(40), n NUMERIC(8,2), s SMALLINT, "
            "f DOUBLE PRECISION, d DATE, tm TIME, ts " +
                ts + ", b " + b + ", m TEXT, bin " + bin + ", k INTEGER PRIMARY KEY)");
    std::string yes = pg() ? "TRUE" : "1", no = pg() ? "FALSE" : "0";
    std::string blob = pg() ? "'\\x0102ff'" : "X'0102FF'";
    exec_ok(*c_, h_,
            "INSERT INTO t VALUES (42, 'AB', 'hello  ', 12.34, -7, 2.5, '2001-02-03', '12:34:56', "
            "'2001-02-03 04:05:06', " +
                yes + ", 'memo', " + blob + ", 1)");
    exec_ok(*c_, h_,
            "INSERT INTO t VALUES (-3, 'x', '', -5.5, 0, -1.25, NULL, NULL, NULL, " + no +
                ", NULL, NULL, 2)");
    exec_ok(*c_, h_, "INSERT INTO t (k) VALUES (3)");
    std::vector<std::string> header;
    auto rows = query(*c_, h_, "SELECT * FROM t ORDER BY k", &header);
    ASSERT_EQ(rows.size(), 3u);
    ASSERT_EQ(header.size(), 13u);
    EXPECT_EQ(header[0], "i:10:N:0:");
    EXPECT_EQ(header[1], "c:10:C:0:");
    EXPECT_EQ(header[2], "v:40:C:0:");
    EXPECT_EQ(header[3], "n:8:N:2:");
    EXPECT_EQ(header[6], "d:10:D:0:");
    EXPECT_EQ(header[10], pg() ? "m:4:M:0:" : "m:4:M:0:");
    EXPECT_EQ(header[11], "bin:12:C:0:");
    EXPECT_EQ(rows[0][0], "        42");
    EXPECT_EQ(rows[0][1], "AB");
    EXPECT_EQ(rows[0][2], "hello");
    EXPECT_EQ(rows[0][3], "12.34");
    EXPECT_EQ(rows[0][4], "-7");
    EXPECT_EQ(rows[0][6], "20010203");
    EXPECT_EQ(rows[0][7], "12:34:56");
    EXPECT_EQ(rows[0][8], "2001-02-03 04:05:06");
    EXPECT_EQ(rows[0][9], pg() ? "1" : "T");
    EXPECT_EQ(rows[0][10], "Bitmap image");
    EXPECT_EQ(rows[0][11], "Bitmap image");
    EXPECT_EQ(rows[1][3], "-5.50");
    EXPECT_EQ(rows[1][9], pg() ? "0" : "F");
    EXPECT_EQ(rows[1][6], "");
    EXPECT_EQ(rows[1][10], "");
    for (size_t i = 0; i < 12; i++)
        EXPECT_EQ(rows[2][i], "") << "column " << i << " of the NULL row";
}

TEST_P(ServerGateway, DeclaredCursorCountsAndScrollsBothWays) {
    exec_ok(*c_, h_, "CREATE TABLE t (r INTEGER PRIMARY KEY)");
    exec_ok(*c_, h_, "INSERT INTO t VALUES (1), (2), (3)");
    ASSERT_EQ(ask(*c_, 'U', h_, {"sc", "SELECT r FROM t ORDER BY r"}).type, 'Y')
        << maperror(*c_, h_);
    Reply r = ask(*c_, 'E', h_, {"sc"});
    ASSERT_EQ(r.type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(r.args, (std::vector<std::string>{"0", "3"}));
    auto one = [&](std::initializer_list<std::string_view> args) {
        Reply x = ask(*c_, 'm', h_, args);
        return x.type == 'T' ? x.args.at(0) : std::string(1, char(x.type));
    };
    EXPECT_EQ(one({"sc", "NEXT", "0"}), "r:10:N:0:         1");
    EXPECT_EQ(one({"sc", "LAST", "0"}), "r:10:N:0:         3");
    EXPECT_EQ(one({"sc", "PREVIOUS", "0"}), "r:10:N:0:         2");
    EXPECT_EQ(one({"sc", "FIRST", "0"}), "r:10:N:0:         1");
    EXPECT_EQ(ask(*c_, 'P', h_, {"sc"}).args.at(0), "r:10:N:0:         2");
    Reply fl = ask(*c_, '6', h_, {"sc"});
    EXPECT_EQ(fl.type, 'Y');
    EXPECT_EQ(fl.args.size(), 1u);
    EXPECT_EQ(ask(*c_, 'F', h_, {"sc"}).type, 'Y');
    EXPECT_EQ(ask(*c_, 'V', h_, {"sc"}).type, 'Y');
}

TEST_P(ServerGateway, ExecsqlCursorServesFirstByReexecutingWhenForwardOnly) {
    exec_ok(*c_, h_, "CREATE TABLE t (r INTEGER PRIMARY KEY)");
    exec_ok(*c_, h_, "INSERT INTO t VALUES (1), (2), (3)");
    std::string cursor = exec_ok(*c_, h_, "SELECT r FROM t ORDER BY r");
    auto one = [&](std::initializer_list<std::string_view> args) {
        Reply x = ask(*c_, 'm', h_, args);
        return x.type == 'T' ? x.args.at(0) : std::string(1, char(x.type));
    };
    EXPECT_EQ(one({cursor, "NEXT", "0"}), "r:10:N:0:         1");
    EXPECT_EQ(one({cursor, "NEXT", "0"}), "r:10:N:0:         2");
    EXPECT_EQ(one({cursor, "FIRST", "0"}), "r:10:N:0:         1");
    EXPECT_EQ(one({cursor, "NEXT", "0"}), "r:10:N:0:         2");
    if (pg()) {  // psqlODBC's default cursor is forward-only
        EXPECT_EQ(one({cursor, "PREVIOUS", "0"}), "N");
        EXPECT_NE(maperror(*c_, h_).find("forward-only"), std::string::npos);
    } else {
        EXPECT_EQ(one({cursor, "PREVIOUS", "0"}), "r:10:N:0:         1");
    }
    EXPECT_EQ(one({cursor, "NEXT", "0"}), pg() ? "r:10:N:0:         3" : "r:10:N:0:         2");
}

TEST_P(ServerGateway, CommitAndRollbackReallyCommitAndRollBack) {
    exec_ok(*c_, h_, "CREATE TABLE t (a INTEGER)");
    ASSERT_EQ(ask(*c_, 'X', h_).type, 'Y');
    exec_ok(*c_, h_, "INSERT INTO t VALUES (1)");
    ASSERT_EQ(ask(*c_, 'Z', h_).type, 'Y');
    EXPECT_TRUE(query(*c_, h_, "SELECT a FROM t").empty());
    exec_ok(*c_, h_, "INSERT INTO t VALUES (2)");
    // Not yet committed: another connection does not see it.
    auto other = start_gateway();
    int32_t h2 = connect_dsn(*other, "db", "vnx", "secret");
    ASSERT_GT(h2, 0);
    EXPECT_TRUE(query(*other, h2, "SELECT a FROM t").empty());
    ask(*other, 'Z', h2);
    ASSERT_EQ(ask(*c_, 'X', h_).type, 'Y');
    auto rows = query(*other, h2, "SELECT a FROM t");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "         2");
}

// Statements without a result stay prepared in the statement cache and are
// executed again when their text comes again; with psqlODBC preparing them
// on the client, each execution must still send the whole statement, and a
// "?" or "$1" inside a literal is text, not a parameter.
TEST_P(ServerGateway, CachedDmlReexecutesEveryTimeWithLiteralsIntact) {
    exec_ok(*c_, h_, "CREATE TABLE t (a INTEGER, v VARCHAR(20))");
    for (int i = 0; i < 3; i++) {
        exec_ok(*c_, h_, "INSERT INTO t VALUES (1, 'what? $1 it''s')");
        exec_ok(*c_, h_, "UPDATE t SET a = a + 1 WHERE v LIKE 'what?%'");
    }
    ASSERT_EQ(ask(*c_, 'X', h_).type, 'Y');
    auto rows = query(*c_, h_, "SELECT a, v FROM t ORDER BY a");
    ASSERT_EQ(rows.size(), 3u);
    // The first row was updated three times, the second twice, the last once.
    EXPECT_EQ(rows[0], (std::vector<std::string>{"         2", "what? $1 it's"}));
    EXPECT_EQ(rows[1][0], "         3");
    EXPECT_EQ(rows[2][0], "         4");
}

// psqlODBC sources are connected without server-side prepare (no prepared
// statement appears on the server for the cached INSERT) unless ODBServer
// "server_side_prepare" is "true"; both ways give the same rows.
TEST_P(ServerGateway, PostgresPreparesOnTheServerOnlyWhenTheSettingSaysSo) {
    if (!pg()) GTEST_SKIP() << "a psqlODBC connect attribute";
    const std::string count = "SELECT count(*) FROM pg_prepared_statements";
    exec_ok(*c_, h_, "CREATE TABLE t (a INTEGER)");
    for (int i = 0; i < 2; i++)
        exec_ok(*c_, h_, "INSERT INTO t VALUES (7)");
    EXPECT_EQ(query(*c_, h_, count)[0][0], "0");
    ASSERT_EQ(ask(*c_, 'X', h_).type, 'Y');
    ASSERT_EQ(store_->set_value(std::string(vnx::kRootKey) + "\\ODBServer", "server_side_prepare",
                                "true"),
              0);
    auto other = start_gateway();
    int32_t h2 = connect_dsn(*other, "db", "vnx", "secret");
    ASSERT_GT(h2, 0);
    for (int i = 0; i < 2; i++)
        exec_ok(*other, h2, "INSERT INTO t VALUES (8)");
    EXPECT_NE(query(*other, h2, count)[0][0], "0");
    auto rows = query(*other, h2, "SELECT a FROM t ORDER BY a");
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[3][0], "         8");
    ask(*other, 'Z', h2);
}

// A password that a connection string cannot carry plainly (";", "}") is
// never pasted into one: the session connects with SQLConnect instead, and
// nothing after the ";" can become a connection attribute.
TEST_P(ServerGateway, PostgresPasswordWithSeparatorsStillConnects) {
    if (!pg()) GTEST_SKIP() << "a psqlODBC connection string";
    ask(*c_, 'G', h_, {"DROP ROLE IF EXISTS semi"});
    exec_ok(*c_, h_, "CREATE ROLE semi LOGIN PASSWORD 'a;Port=1;b}c'");
    ASSERT_EQ(ask(*c_, 'X', h_).type, 'Y');
    auto other = start_gateway();
    int32_t h2 = connect_dsn(*other, "db", "semi", "a;Port=1;b}c");
    ASSERT_GT(h2, 0) << "CONNECT failed";
    EXPECT_EQ(query(*other, h2, "SELECT current_user")[0][0], "semi");
    int32_t err = 0;
    EXPECT_EQ(connect_dsn(*other, "db", "semi", "a", &err), 0);
}

TEST_P(ServerGateway, RejectedSqlIsNokWithTheServersDiagnostic) {
    Reply r = ask(*c_, 'G', h_, {"SELECT * FROM no_such_table"});
    EXPECT_EQ(r.type, 'N');
    std::string text = maperror(*c_, h_);
    EXPECT_NE(text.find("no_such_table"), std::string::npos) << text;
    ask(*c_, 'Z', h_);  // PostgreSQL wants the failed transaction ended
    EXPECT_EQ(query(*c_, h_, "SELECT 5").size(), 1u);
}

TEST_P(ServerGateway, ClientVanishingMidMillionRowFetchmanyEndsGatewayWithFlatMemory) {
    if (!pg()) GTEST_SKIP() << "the MariaDB driver buffers whole results in the client";
    int32_t h = connect_dsn(*c_, "db_decl", "vnx", "secret");
    ASSERT_GT(h, 0);
    auto hwm_kb = [&] {
        std::string status = read_file("/proc/" + std::to_string(pid_) + "/status");
        size_t at = status.find("VmHWM:");
        return at == std::string::npos ? 0L : atol(status.c_str() + at + 6);
    };
    std::string cursor =
        exec_ok(*c_, h, "SELECT g, 'row ' || g FROM generate_series(1, 1000000) AS g");
    long before = hwm_kb();
    ASSERT_EQ(c_->send('Q', h, {cursor}), 0);
    Reply header;
    ASSERT_EQ(c_->receive(&header), 0);
    size_t rows = 0;
    while (rows < 500000) {
        Reply w;
        ASSERT_EQ(c_->receive(&w), 0) << c_->error();
        ASSERT_EQ(w.type, 'W');
        rows += w.args.size();
    }
    long grown_kb = hwm_kb() - before;
    RecordProperty("gateway_hwm_growth_kb", std::to_string(grown_kb));
#if !defined(__SANITIZE_ADDRESS__)  // freed memory sits in quarantine there
    // Half a million rows held in memory would take tens of megabytes.
    EXPECT_LT(grown_kb, 20 * 1024) << "the gateway's peak memory grew with the result";
#endif
    c_->close();
    EXPECT_EQ(wait_exit(pid_, 60000), 1);
    forget(pid_);
}

TEST_P(ServerGateway, ServerStoppedMidSessionIsNokAndTheGatewayStillServes) {
    exec_ok(*c_, h_, "CREATE TABLE t (a INTEGER)");
    ask(*c_, 'X', h_);
    std::string tag = pg() ? "" : mariadb_message_tag("db", "vnx", "secret");
    ASSERT_TRUE(pg() || !tag.empty());
    ThrowawayServer &s = server_of(GetParam());
    s.stop();
    Reply r = ask(*c_, 'G', h_, {"SELECT a FROM t"});
    EXPECT_EQ(r.type, 'N');
    // The driver's own words for a server that went away (psqlODBC puts
    // libpq's text, which varies with the moment of the loss, before its own).
    std::string lost = maperror(*c_, h_);
    if (pg())
        EXPECT_TRUE(lost.ends_with("The connection has been lost")) << lost;
    else
        EXPECT_EQ(lost, tag + "Lost connection to server during query");
    EXPECT_EQ(ask(*c_, 'G', h_, {"INSERT INTO t VALUES (1)"}).type, 'N');
    ASSERT_EQ(c_->send('B', 0), 0);
    EXPECT_EQ(wait_exit(pid_, 10000), 1);
    forget(pid_);
    ASSERT_TRUE(s.restart()) << s.why();
}

// Row identifiers, asked in-process through the gateway's own session code.
TEST_P(ServerGateway, RowIdentifierFallsBackToKeysAndUniqueIndexes) {
    exec_ok(*c_, h_, "CREATE TABLE t (r INTEGER PRIMARY KEY, v VARCHAR(5))");
    exec_ok(*c_, h_, "DROP TABLE IF EXISTS t_uniq");
    exec_ok(*c_, h_, "DROP TABLE IF EXISTS t_nokey");
    exec_ok(*c_, h_, "DROP TABLE IF EXISTS t_comp");
    exec_ok(*c_, h_, "CREATE TABLE t_uniq (u INTEGER NOT NULL UNIQUE, c VARCHAR(5))");
    exec_ok(*c_, h_, "CREATE TABLE t_nokey (a INTEGER, c VARCHAR(5))");
    exec_ok(*c_, h_, "CREATE TABLE t_comp (k1 INTEGER, k2 VARCHAR(5), PRIMARY KEY (k1, k2))");
    ask(*c_, 'X', h_);
    int32_t h = 0, err = 0;
    ASSERT_EQ(vnx::db_server_connect(&h, "", "vnx", "secret", "db", &err, 0), 0);
    vnx::svr_session *s = vnx::find_session(h);
    ASSERT_NE(s, nullptr);
    std::string keys = "unchanged";
    EXPECT_EQ(vnx::get_rowid(s, &keys, "", "t"), 0);
    EXPECT_EQ(keys, "r");
    EXPECT_EQ(vnx::get_rowid(s, &keys, "v DESC", "t"), 0);
    EXPECT_EQ(keys, "r,v ");
    EXPECT_EQ(vnx::get_rowid(s, &keys, "", "t_uniq"), 0);
    EXPECT_EQ(keys, "u");
    EXPECT_EQ(vnx::get_rowid(s, &keys, "", "t_comp"), 0);
    EXPECT_EQ(keys, "k1,k2");
    keys = "unchanged";
    EXPECT_EQ(vnx::get_rowid(s, &keys, "", "t_nokey"), 100);
    EXPECT_EQ(keys, "unchanged");
    char text[512];
    EXPECT_EQ(vnx::db_server_maperror(h, text), 0);
    EXPECT_NE(std::string(text).find("no row identifier"), std::string::npos);
    EXPECT_EQ(vnx::db_server_disconnect(h), 0);
    vnx::free_all_sessions();
}
