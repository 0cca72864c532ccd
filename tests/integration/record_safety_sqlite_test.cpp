// Record-level table access on SQLite under conditions that used to lose
// work or misuse memory: cursor requests naming the gateway's own
// statements, sessions that read while others write, a write whose commit
// cannot get the database, and the INTEGER PRIMARY KEY column.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <map>
#include <thread>

#include "odbc_harness.h"

using namespace vnxtest;
using dqp::Reply;

namespace {

class SqliteRecordSafety : public OdbcGateway {
  protected:
    void SetUp() override {
        OdbcGateway::SetUp();
        // Short waits: a write that cannot get the database gives up after a second.
        EXPECT_EQ(
            store_->set_value(std::string(vnx::kRootKey) + "\\ODBServer", "lock_timeout", "1"), 0);
        add_sqlite_dsn("db");
        c_ = open_session(&h_);
        ASSERT_GT(h_, 0);
        exec_ok(*c_, h_,
                "CREATE TABLE t (r INTEGER PRIMARY KEY, name VARCHAR(10), v VARCHAR(40), "
                "memo TEXT)");
        for (int i = 1; i <= 5; i++)
            exec_ok(*c_, h_,
                    "INSERT INTO t VALUES (" + std::to_string(i) + ", 'N" + std::to_string(i) +
                        "', 'v" + std::to_string(i) + "', 'memo " + std::to_string(i) + "')");
        ASSERT_EQ(ask(*c_, 'X', h_).type, 'Y');
    }
    std::unique_ptr<dqp::Connection> open_session(int32_t *h) {
        auto c = start_gateway();
        *h = c != nullptr ? connect_dsn(*c, "db") : 0;
        return c;
    }
    // The committed value of column v of row r, read from the database file
    // itself, outside every gateway.
    std::string committed_value(int r) {
        sqlite3 *db = nullptr;
        sqlite3_stmt *st = nullptr;
        std::string out = "<none>";
        std::string sql = "SELECT v FROM t WHERE r = " + std::to_string(r);
        if (sqlite3_open_v2((root_ + "/db.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
                SQLITE_OK &&
            sqlite3_busy_timeout(db, 5000) == SQLITE_OK &&
            sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0) != nullptr)
            out = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        sqlite3_close(db);
        return out;
    }
    std::unique_ptr<dqp::Connection> c_;
    int32_t h_ = 0;
};

// The names the gateway gives its own statements in session h.
std::string internal_name(int32_t h, int serial) {
    char name[32];
    snprintf(name, sizeof name, "DQP_T%08X%06d", static_cast<unsigned>(h), serial);
    return name;
}

}  // namespace

TEST_F(SqliteRecordSafety, CursorRequestsCannotReachTheGatewaysOwnStatements) {
    // Every kind of statement the gateway keeps for a table: read, update,
    // find, and the kept UPDATE, INSERT and DELETE.
    ASSERT_EQ(ask(*c_, '1', h_, {"t", "A", "", "*", "r", ""}).type, 'Y') << maperror(*c_, h_);
    ASSERT_EQ(ask(*c_, 'L', h_, {"A", "1"}).type, 'T');
    ASSERT_EQ(ask(*c_, 'J', h_, {"A", "NAME", "N2", "", "t", "EXACT", "C"}).type, 'Y');
    ASSERT_EQ(ask(*c_, 'M', h_, {"A", "2", "3", "2", "N2", "changed"}).type, 'Y');
    ASSERT_EQ(ask(*c_, 'K', h_, {"A", "3", "6", "N6", "six"}).type, 'Y') << maperror(*c_, h_);
    ASSERT_EQ(ask(*c_, 'I', h_, {"A", "6"}).type, 'Y') << maperror(*c_, h_);
    for (int serial = 0; serial <= 12; serial++) {
        std::string name = internal_name(h_, serial);
        std::string lower = name;
        for (char &ch : lower)
            ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        for (const std::string &n : {name, lower}) {
            EXPECT_EQ(ask(*c_, 'U', h_, {n, "SELECT r FROM t"}).type, 'N') << n;
            EXPECT_NE(maperror(*c_, h_).find("reserved"), std::string::npos);
            EXPECT_EQ(ask(*c_, 'E', h_, {n}).type, 'N') << n;
            EXPECT_EQ(ask(*c_, 'P', h_, {n}).type, 'N') << n;
            EXPECT_EQ(ask(*c_, 'Q', h_, {n}).type, 'N') << n;
            EXPECT_EQ(ask(*c_, 'm', h_, {n, "FIRST", "0"}).type, 'N') << n;
            EXPECT_EQ(ask(*c_, 'F', h_, {n}).type, 'N') << n;
            EXPECT_EQ(ask(*c_, 'V', h_, {n}).type, 'N') << n;
            EXPECT_EQ(ask(*c_, '6', h_, {n}).type, 'N') << n;
            EXPECT_EQ(ask(*c_, 'o', h_, {n, "1", "READ"}).type, 'N') << n;
            EXPECT_EQ(ask(*c_, '7', h_, {n}).type, 'N') << n;  // TABLELIST makes a cursor
        }
    }
    // The table's statements were left alone and still serve the alias.
    Reply row = ask(*c_, 'L', h_, {"A", "2"});
    ASSERT_EQ(row.type, 'T') << maperror(*c_, h_);
    EXPECT_EQ(row.args[2], "v:40:C:0:changed");
    EXPECT_EQ(ask(*c_, 'J', h_, {"A", "NAME", "N4", "", "t", "EXACT", "C"}).args,
              (std::vector<std::string>{"4"}));
    // EXECSQL's own cursor names stay the client's to use.
    std::string cursor = exec_ok(*c_, h_, "SELECT r FROM t ORDER BY r");
    EXPECT_EQ(cursor.rfind("DQP_SLT_", 0), 0u);
    EXPECT_EQ(fetch_all(*c_, h_, cursor).size(), 5u);
}

TEST_F(SqliteRecordSafety, ASessionThatOnlyReadsHoldsNoLockAgainstAWriter) {
    ASSERT_EQ(ask(*c_, '1', h_, {"t", "A", "", "*", "r", ""}).type, 'Y');
    ASSERT_EQ(ask(*c_, 'L', h_, {"A", "1"}).type, 'T');
    ASSERT_EQ(ask(*c_, 'J', h_, {"A", "NAME", "N3", "", "t", "EXACT", "C"}).type, 'Y');
    std::string cursor = exec_ok(*c_, h_, "SELECT v FROM t");  // left open, unread
    ASSERT_FALSE(cursor.empty());
    // Another session writes and commits while this one sits idle.
    int32_t h2 = 0;
    auto c2 = open_session(&h2);
    ASSERT_EQ(ask(*c2, '1', h2, {"t", "B", "", "*", "r", ""}).type, 'Y');
    Reply u = ask(*c2, 'M', h2, {"B", "2", "3", "2", "N2", "written"});
    ASSERT_EQ(u.type, 'Y') << maperror(*c2, h2);
    EXPECT_EQ(committed_value(2), "written");
    // The idle session's cursor still has its rows.
    EXPECT_EQ(fetch_all(*c_, h_, cursor).size(), 5u);
}

TEST_F(SqliteRecordSafety, AWriteWhoseCommitCannotGetTheDatabaseChangesNothing) {
    ASSERT_EQ(ask(*c_, '1', h_, {"t", "A", "", "*", "r", ""}).type, 'Y');
    // A reader outside the gateway holds the database's read lock, so no
    // commit can take it.
    sqlite3 *reader = nullptr;
    ASSERT_EQ(sqlite3_open((root_ + "/db.db").c_str(), &reader), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT COUNT(*) FROM t;", nullptr, nullptr, nullptr),
              SQLITE_OK);
    Reply u = ask(*c_, 'M', h_, {"A", "3", "3", "3", "N3", "never"});
    EXPECT_EQ(u.type, 'N');
    EXPECT_EQ(maperror(*c_, h_), "the record is locked by another session");
    sqlite3_exec(reader, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(reader);
    // The answer was NOK, so a later COMMIT must not store the value after all.
    ASSERT_EQ(ask(*c_, 'X', h_).type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(committed_value(3), "v3");
}

TEST_F(SqliteRecordSafety, ABlankValueNeverWritesTheIntegerPrimaryKey) {
    ASSERT_EQ(ask(*c_, '1', h_, {"t", "A", "", "*", "r", ""}).type, 'Y');
    // As a form sends a record back with its key field cleared.
    Reply u = ask(*c_, 'M', h_, {"A", "4", "3", "", "N4", "kept key"});
    ASSERT_EQ(u.type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(committed_value(4), "kept key");
    auto rows = query(*c_, h_, "SELECT COUNT(*) FROM t WHERE r = 4");
    EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{"         1"}}));
    // A different key value is not written either: the row keeps its identity.
    ASSERT_EQ(ask(*c_, 'M', h_, {"A", "4", "3", "99", "N4", "again"}).type, 'Y');
    EXPECT_EQ(committed_value(4), "again");
}

TEST_F(SqliteRecordSafety, SessionsUpdatingTheirOwnRecordsSideBySideLoseNothing) {
    constexpr int kSessions = 8, kRounds = 40;
    // Waits as long as a session would by default: a slow machine must not
    // turn a wait into a failure.
    EXPECT_EQ(store_->set_value(std::string(vnx::kRootKey) + "\\ODBServer", "lock_timeout", "5"),
              0);
    for (int i = 6; i <= kSessions * 2 + 5; i++)
        exec_ok(*c_, h_, "INSERT INTO t (r, v) VALUES (" + std::to_string(i) + ", 'start')");
    ASSERT_EQ(ask(*c_, 'X', h_).type, 'Y');
    std::atomic<int> failures{0}, acknowledged{0};
    std::vector<std::map<int, std::string>> last(kSessions);
    std::vector<std::unique_ptr<dqp::Connection>> conns(kSessions);
    std::vector<int32_t> handles(kSessions);
    for (int k = 0; k < kSessions; k++) {
        conns[k] = open_session(&handles[k]);
        ASSERT_GT(handles[k], 0);
    }
    std::vector<std::thread> threads;
    for (int k = 0; k < kSessions; k++) {
        threads.emplace_back([&, k] {
            dqp::Connection *c = conns[k].get();
            int32_t h = handles[k];
            if (ask(*c, '1', h, {"t", "A", "", "*", "r", ""}).type != 'Y') {
                failures += kRounds;
                return;
            }
            for (int round = 0; round < kRounds; round++) {
                int record = 6 + k * 2 + round % 2;  // records 6.. are this session's own
                std::string value = "s" + std::to_string(k) + "r" + std::to_string(round);
                Reply r = ask(*c, 'L', h, {"A", std::to_string(record)});
                Reply u = ask(*c, 'M', h, {"A", std::to_string(record), "3", "", "", value});
                if (r.type != 'T' || u.type != 'Y') {
                    failures++;
                    continue;
                }
                acknowledged++;
                last[k][record] = value;
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_LT(failures.load() * 100, kSessions * kRounds) << failures.load() << " failed";
    EXPECT_GT(acknowledged.load(), 0);
    for (const auto &mine : last)
        for (const auto &[record, value] : mine)
            EXPECT_EQ(committed_value(record), value) << "record " << record;
}
