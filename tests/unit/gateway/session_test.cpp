// The gateway's session code in-process against SQLite: handles, savepoints,
// transactions, diagnostics and row identifiers.
#include "gateway/session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "gateway/cursors.h"
#include "gateway/diagnostics.h"
#include "gateway/dialect.h"
#include "gateway/rowid.h"
#include "gateway/svr_session.h"
#include "sqlite_session_fixture.h"
#include "support/config_cache.h"
#include "support/config_store.h"

using namespace vnx;

namespace {

std::string read_text(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

using SqliteSession = SqliteSessionFixture;

}  // namespace

TEST_F(SqliteSession, DialectAndAutocommitOffAtConnect) {
    EXPECT_EQ(s_->dialect, Dialect::SQLite);
    SQLULEN autocommit = 99;
    ASSERT_TRUE(sql_ok(SQLGetConnectOption(s_->hdbc, SQL_AUTOCOMMIT, &autocommit)));
    EXPECT_EQ(autocommit, static_cast<SQLULEN>(SQL_AUTOCOMMIT_OFF));
}

TEST_F(SqliteSession, HandlesAreNeverReusedAndDeadOnesFindNothing) {
    int32_t second = 0, err = 0;
    ASSERT_EQ(db_server_connect(&second, "", "", "", "t", &err, 0), 0);
    EXPECT_NE(second, h_);
    EXPECT_EQ(db_server_disconnect(second), 0);
    EXPECT_EQ(find_session(second), nullptr);
    EXPECT_EQ(db_server_disconnect(second), -1);
    EXPECT_EQ(find_session(0), nullptr);
    EXPECT_EQ(find_session(-5), nullptr);
    int32_t third = 0;
    ASSERT_EQ(db_server_connect(&third, "", "", "", "t", &err, 0), 0);
    EXPECT_GT(third, second);
}

TEST_F(SqliteSession, SavepointsMatchUpperCasedAndCommitForgetsThem) {
    EXPECT_EQ(malloc_savepoint(s_, "BEFORE_FETCH"), 0);
    EXPECT_EQ(find_savepoint(s_, "before_fetch"), 0);
    EXPECT_EQ(find_savepoint(s_, "other"), -1);
    EXPECT_EQ(malloc_savepoint(s_, std::string(20, 'S')), -1);
    EXPECT_EQ(malloc_savepoint(s_, std::string(19, 'S')), 0);
    s_->lock_mode = 5;
    int32_t status = 0;
    EXPECT_EQ(db_server_commit(h_, &status), 0);
    EXPECT_EQ(find_savepoint(s_, "BEFORE_FETCH"), -1);
    EXPECT_EQ(s_->lock_mode, kNoLock);
    EXPECT_EQ(malloc_savepoint(s_, "a"), 0);
    EXPECT_EQ(db_server_rollback(h_, &status), 0);
    EXPECT_TRUE(s_->savepoints.empty());
}

TEST_F(SqliteSession, MaperrorDropsCarriageReturnsAndKeepsLineFeeds) {
    s_->set_error("first line\r\nsecond\r");
    char text[kErrorTextSize];
    EXPECT_EQ(db_server_maperror(h_, text), 0);
    EXPECT_STREQ(text, "first line\nsecond");
    EXPECT_EQ(db_server_maperror(0, text), -1);
    EXPECT_EQ(db_server_maperror(h_ + 77, text), -1);
}

TEST_F(SqliteSession, RowIdentifierOfSqliteTables) {
    exec("CREATE TABLE t (r INTEGER PRIMARY KEY, v TEXT)");
    exec("CREATE TABLE u (u INTEGER NOT NULL UNIQUE, c TEXT)");
    std::string keys;
    EXPECT_EQ(get_rowid(s_, &keys, "", "t"), 0);
    EXPECT_EQ(keys, "_ROWID_");
    EXPECT_EQ(get_rowid(s_, &keys, "", "u"), 0);
    EXPECT_EQ(keys, "u");
    EXPECT_EQ(get_rowid(s_, &keys, "NAME ASC,CODE", "t"), 0);
    EXPECT_EQ(keys, "_ROWID_,NAME ,CODE");
    EXPECT_EQ(get_rowid(s_, &keys, "u", "u"), 0);
    EXPECT_EQ(keys, "u");
    EXPECT_EQ(order_columns_words("C DESC"), "C ");
}

TEST_F(SqliteSession, ParameterMarkersAreBoundAndLongValuesRefused) {
    exec("CREATE TABLE p (r INTEGER, name VARCHAR(10))");
    exec("INSERT INTO p VALUES (1, 'one')");
    exec("INSERT INTO p VALUES (2, 'two')");
    int32_t st = 0, st2 = 0, count = 0;
    ASSERT_EQ(db_server_declare(h_, "pc", 0, "SELECT * FROM p WHERE r = ?", &st, &st2, 1, 0), 0)
        << s_->error_text;
    const char *two[] = {"2"};
    int lens[] = {1};
    ASSERT_EQ(db_server_open(h_, "pc", &st, &count, 1, lens, two, 0), 0) << s_->error_text;
    EXPECT_EQ(count, 1);
    std::string long_value(258, '1');
    const char *too_long[] = {long_value.c_str()};
    EXPECT_EQ(db_server_open(h_, "pc", &st, &count, 1, lens, too_long, 0), -1);
    EXPECT_NE(std::string(s_->error_text).find("257"), std::string::npos);
    std::string max_value(257, '9');
    const char *at_limit[] = {max_value.c_str()};
    EXPECT_EQ(db_server_open(h_, "pc", &st, &count, 1, lens, at_limit, 0), 0);
    EXPECT_EQ(count, 0);
    const char *extra[] = {"1", "2"};
    int lens2[] = {1, 1};
    EXPECT_EQ(db_server_open(h_, "pc", &st, &count, 2, lens2, extra, 0), -1);
}

TEST(Dialect, ChosenFromTheDbmsName) {
    EXPECT_EQ(dialect_from_dbms_name("PostgreSQL"), Dialect::PostgreSQL);
    EXPECT_EQ(dialect_from_dbms_name("MySQL"), Dialect::MariaDB);
    EXPECT_EQ(dialect_from_dbms_name("sqlite"), Dialect::Other);
    EXPECT_EQ(lock_clause(Dialect::SQLite, false), "");
    EXPECT_EQ(lock_clause(Dialect::MariaDB, true), " FOR UPDATE NOWAIT");
    EXPECT_EQ(lock_clause(Dialect::Other, true), " FOR UPDATE OF ");
    EXPECT_EQ(lock_clause(Dialect::Other, false), " FOR UPDATE NOWAIT");
}

TEST_F(SqliteSession, StatementCacheStaysBoundedAndKeepsServing) {
    exec("CREATE TABLE c (a INTEGER)");
    for (int i = 0; i < 300; i++)
        exec("INSERT INTO c VALUES (" + std::to_string(i) + ")");
    EXPECT_EQ(s_->statement_cache.size(), kStatementCacheMax);
    exec("INSERT INTO c VALUES (299)");  // cached or prepared afresh: both run it
    int32_t st = 0, st2 = 0, count = 0;
    ASSERT_EQ(db_server_declare(h_, "n", 0, "SELECT a FROM c", &st, &st2, 0, 1), 0);
    ASSERT_EQ(db_server_open(h_, "n", &st, &count, 0, nullptr, nullptr, 0), 0);
    EXPECT_EQ(count, 301);
}

TEST_F(SqliteSession, OverlongLoginIsRefusedBeforeTheDriverSeesIt) {
    int32_t h = 0, err = 0;
    std::string user(256, 'u');
    EXPECT_LT(db_server_connect(&h, "", user.c_str(), "", "t", &err, 0), 0);
    EXPECT_EQ(h, 0);
    char text[kErrorTextSize];
    ASSERT_EQ(db_server_maperror(err, text), 0);
    EXPECT_NE(std::string(text).find("too long"), std::string::npos);
    EXPECT_EQ(db_server_execsql(err, "SELECT 1", text, &h, &h, &h), -1);  // serves MAPERROR only
}

TEST_F(SqliteSession, OdbServerAutocommitTrueKeepsTheDriversDefault) {
    std::string err;
    auto store = ConfigStore::open(dir_ + "/registry.db", true, &err);
    ASSERT_NE(store, nullptr) << err;
    std::string key = std::string(kRootKey) + "\\ODBServer";
    store->create_key(key);
    store->set_value(key, "autocommit", "true");
    int32_t h = 0, eh = 0;
    ASSERT_EQ(db_server_connect(&h, "", "", "", "t", &eh, 0), 0);
    SQLULEN autocommit = 99;
    ASSERT_TRUE(sql_ok(SQLGetConnectOption(find_session(h)->hdbc, SQL_AUTOCOMMIT, &autocommit)));
    EXPECT_EQ(autocommit, static_cast<SQLULEN>(SQL_AUTOCOMMIT_ON));
}

TEST_F(SqliteSession, OnlyTheNewestFailedSessionsAreKept) {
    std::vector<int32_t> failed;
    for (size_t i = 0; i < kFailedSessionsKept + 3; i++) {
        int32_t h = 0, err = 0;
        ASSERT_LT(db_server_connect(&h, "", "", "", "no_such_dsn", &err, 0), 0);
        failed.push_back(err);
    }
    char text[kErrorTextSize];
    EXPECT_EQ(db_server_maperror(failed.front(), text), -1);  // retired
    ASSERT_EQ(db_server_maperror(failed.back(), text), 0);
    EXPECT_NE(std::string(text).find("Data source name not found"), std::string::npos);
    EXPECT_NE(find_session(h_), nullptr);  // live sessions are never retired
}

TEST_F(SqliteSession, TransactionsOnASourceThatDeletesStatementsPrepareThemAgain) {
    std::string err;
    auto store = ConfigStore::open(dir_ + "/registry.db", true, &err);
    ASSERT_NE(store, nullptr) << err;
    store->set_value(kNetServerKey, "DQP_SVRLOG", dir_ + "/trace.log");
    reset_registry_cache_for_tests();
    int32_t h = 0, eh = 0;
    ASSERT_EQ(db_server_connect(&h, "", "", "", "t", &eh, 0), 0);
    svr_session *s = find_session(h);
    char name[240] = "";
    int32_t has = 0, st = 0, st2 = 0;
    ASSERT_EQ(db_server_execsql(h, "CREATE TABLE k (a INTEGER)", name, &has, &st, &st2), 0);
    ASSERT_EQ(db_server_execsql(h, "INSERT INTO k VALUES (7)", name, &has, &st, &st2), 0);
    ASSERT_EQ(db_server_declare(h, "c1", 0, "SELECT a FROM k", &st, &st2, 0, 0), 0);
    auto reprepared = [&] {
        return read_text(dir_ + "/trace.log").find("reprepare_statements(END)") !=
               std::string::npos;
    };
    ASSERT_EQ(db_server_commit(h, &st), 0);  // SQLite keeps its statements
    EXPECT_FALSE(reprepared());
    EXPECT_FALSE(s->statement_cache.empty());
    // As a data source that deletes prepared statements at COMMIT and
    // ROLLBACK (SQL_CB_DELETE) answers: each is prepared again, and the
    // statements kept for EXECSQL are forgotten, to be prepared when their
    // texts come again.
    s->commit_behavior = s->rollback_behavior = SQL_CB_DELETE;
    ASSERT_EQ(db_server_commit(h, &st), 0);
    EXPECT_TRUE(reprepared());
    EXPECT_TRUE(s->statement_cache.empty());
    int32_t count = 0;
    ASSERT_EQ(db_server_open(h, "c1", &st, &count, 0, nullptr, nullptr, 0), 0);
    EXPECT_EQ(count, 1);
    ASSERT_EQ(db_server_rollback(h, &st), 0);
    ASSERT_EQ(db_server_execsql(h, "INSERT INTO k VALUES (7)", name, &has, &st, &st2), 0);
}
