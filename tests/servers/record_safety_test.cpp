// Record-level table access where work used to be lost or a failure
// reported as success, on SQLite, PostgreSQL and MariaDB (throwaway
// servers): a failing record write after uncommitted work and locks, a
// write that meets another session's lock, stacked statements in a filter,
// COMMIT after the connection is gone, FIND on a descending key or with
// wildcard characters, and columns of types without a letter of their own.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <thread>

#include "data_sources.h"
#include "odbc_harness.h"
#include "throwaway_server.h"

using namespace vnxtest;
using Kind = vnxtest::Source;
using dqp::Reply;
using Rows = std::vector<std::vector<std::string>>;

namespace {

class RecordSafety : public OdbcGateway, public testing::WithParamInterface<Kind> {
  protected:
    static void TearDownTestSuite() { destroy_servers(); }
    void SetUp() override {
        OdbcGateway::SetUp();
        EXPECT_EQ(
            store_->set_value(std::string(vnx::kRootKey) + "\\ODBServer", "lock_timeout", "1"), 0);
        if (sqlite()) {
            // The driver's own retry time left as the DSN sets it when unset
            // (100 s): the gateway bounds the waits itself.
            add_dsn("db", "Driver=SQLite3\nDatabase=" + root_ + "/db.db\n");
        } else {
            start_server(GetParam());
            if (IsSkipped() || HasFailure()) return;
            ThrowawayServer &s = server_of(GetParam());
            add_dsn("db", s.dsn_body());
        }
        c_ = open_session(&h_);
        ASSERT_GT(h_, 0);
        for (const char *t : {"t", "t_other"})
            ask(*c_, 'G', h_, {std::string("DROP TABLE IF EXISTS ") + t});
        ask(*c_, 'X', h_);
        exec_ok(*c_, h_,
                "CREATE TABLE t (r INTEGER PRIMARY KEY, name CHAR(10), v VARCHAR(40), "
                "n INTEGER CHECK (n < 1000))");
        exec_ok(*c_, h_, "CREATE TABLE t_other (a INTEGER PRIMARY KEY)");
        for (const char *row :
             {"(1, 'SMITH', 'one', 1)", "(2, 'JONES', 'two', 2)", "(3, 'BROWN', '50%', 3)",
              "(4, 'SMYTHE', '500', 4)", "(5, 'ADAMS', 'a_c', 5)", "(6, 'ALLEN', 'abc', 6)"})
            exec_ok(*c_, h_, std::string("INSERT INTO t VALUES ") + row);
        ask(*c_, 'X', h_);
    }
    bool sqlite() const { return GetParam() == Kind::Sqlite; }
    // Session (c, h), with alias B open, holds record 2: a row lock, or on
    // SQLite the database's write lock.
    void hold_record_2(dqp::Connection &c, int32_t h) {
        if (row_locks())
            ASSERT_EQ(ask(c, '9', h, {"B", "2"}).type, 'Y') << maperror(c, h);
        else
            exec_ok(c, h, "UPDATE t SET v = 'held' WHERE r = 5");
    }
    bool row_locks() const { return !sqlite(); }

    std::unique_ptr<dqp::Connection> open_session(int32_t *h) {
        auto c = start_gateway();
        *h = c != nullptr ? connect_dsn(*c, "db", "vnx", "secret") : 0;
        return c;
    }
    Reply use(dqp::Connection &c, int32_t h, const std::string &alias,
              const std::string &filter = "*", const std::string &order = "r") {
        return ask(c, '1', h, {"t", alias, "", filter, order, ""});
    }
    // A single value, read in a session of its own: only what is committed.
    std::string committed(const std::string &sql) {
        if (checker_ == nullptr) checker_ = open_session(&checker_h_);
        Rows rows = query(*checker_, checker_h_, sql);
        ask(*checker_, 'Z', checker_h_);  // the next look takes a fresh snapshot
        return rows.size() == 1 && rows[0].size() == 1 ? trim(rows[0][0]) : "<not one value>";
    }
    static std::string trim(std::string s) {
        while (!s.empty() && s.front() == ' ')
            s.erase(0, 1);
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
        return s;
    }

    // Uncommitted SQL and a LOCK, then `failing` (a record write that must
    // fail): the write fails alone. The lock is still held (where the data
    // source has row locks), and COMMIT then stores the earlier work.
    // `before` runs once the table is open, before the uncommitted work.
    void expect_failing_write_fails_alone(const std::function<Reply()> &failing,
                                          const std::function<void()> &before = {}) {
        ASSERT_EQ(use(*c_, h_, "A").type, 'Y') << maperror(*c_, h_);
        if (before) before();
        exec_ok(*c_, h_, "UPDATE t SET v = 'uncommitted' WHERE r = 2");
        ASSERT_EQ(ask(*c_, '9', h_, {"A", "1"}).type, 'Y') << maperror(*c_, h_);
        Reply r = failing();
        EXPECT_EQ(r.type, 'N');
        EXPECT_FALSE(maperror(*c_, h_).empty());
        int32_t h2 = 0;
        auto c2 = open_session(&h2);
        ASSERT_EQ(use(*c2, h2, "B").type, 'Y') << maperror(*c2, h2);
        if (row_locks()) {
            EXPECT_EQ(ask(*c2, '9', h2, {"B", "1"}).type, 'N') << "the LOCK was let go";
        }
        Reply commit = ask(*c_, 'X', h_);
        ASSERT_EQ(commit.type, 'Y') << maperror(*c_, h_);
        EXPECT_EQ(committed("SELECT v FROM t WHERE r = 2"), "uncommitted");
        if (row_locks()) {
            EXPECT_EQ(ask(*c2, '9', h2, {"B", "1"}).type, 'Y') << maperror(*c2, h2);
        }
    }

    std::unique_ptr<dqp::Connection> c_, checker_;
    int32_t h_ = 0, checker_h_ = 0;
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(DataSources, RecordSafety,
                         testing::Values(Kind::Sqlite, Kind::Postgres, Kind::Mariadb), source_name);

TEST_P(RecordSafety, AFailedInsertKeepsEarlierWorkAndLocks) {
    expect_failing_write_fails_alone([&] {  // a key that is taken
        return ask(*c_, 'K', h_, {"A", "4", "3", "DUP", "dup", "7"});
    });
    EXPECT_EQ(committed("SELECT COUNT(*) FROM t"), "6");
}

TEST_P(RecordSafety, AFailedUpdateKeepsEarlierWorkAndLocks) {
    expect_failing_write_fails_alone([&] {  // breaks the CHECK constraint
        return ask(*c_, 'M', h_, {"A", "3", "4", "3", "BROWN", "50%", "5000"});
    });
    EXPECT_EQ(committed("SELECT n FROM t WHERE r = 3"), "3");
}

TEST_P(RecordSafety, AFailedDeleteKeepsEarlierWorkAndLocks) {
    expect_failing_write_fails_alone(
        [&] {
            return ask(*c_, 'I', h_, {"A", "6"});
        },
        [&] {
            // The record is gone: another session
            // deleted it since USE.
            int32_t h2 = 0;
            auto c2 = open_session(&h2);
            exec_ok(*c2, h2, "DELETE FROM t WHERE r = 6");
            EXPECT_EQ(ask(*c2, 'X', h2).type, 'Y') << maperror(*c2, h2);
        });
    EXPECT_EQ(committed("SELECT COUNT(*) FROM t"), "5");
}

TEST_P(RecordSafety, ARecordWriteGivesUpAfterTheLockTimeoutRatherThanOutwaitTheLock) {
    ASSERT_EQ(use(*c_, h_, "A").type, 'Y');
    // The other session holds record 2 (a row lock, or on SQLite the
    // database's write lock) and lets it go only 4 s later: writes that wait
    // at most their 1 s give up first, a write that waits longer succeeds.
    int32_t h2 = 0;
    auto c2 = open_session(&h2);
    ASSERT_EQ(use(*c2, h2, "B").type, 'Y');
    hold_record_2(*c2, h2);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::seconds(4));
        ask(*c2, 'Z', h2);
    });
    EXPECT_EQ(ask(*c_, 'M', h_, {"A", "2", "3", "2", "JONES", "waited"}).type, 'N');
    EXPECT_EQ(maperror(*c_, h_), "the record is locked by another session");
    EXPECT_EQ(ask(*c_, 'I', h_, {"A", "2"}).type, 'N');
    EXPECT_EQ(maperror(*c_, h_), "the record is locked by another session");
    // Inserting beside a held row waits for nothing on a data source with row locks.
    if (row_locks()) {
        EXPECT_EQ(ask(*c_, 'K', h_, {"A", "3", "7", "NEW", "seven"}).type, 'Y');
    }
    release.join();
    // Once the lock is let go the same write goes through.
    Reply u = ask(*c_, 'M', h_, {"A", "2", "3", "2", "JONES", "waited"});
    ASSERT_EQ(u.type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(committed("SELECT v FROM t WHERE r = 2"), "waited");
}

TEST_P(RecordSafety, ALockTimeoutOfZeroFailsAtOnce) {
    EXPECT_EQ(store_->set_value(std::string(vnx::kRootKey) + "\\ODBServer", "lock_timeout", "0"),
              0);
    int32_t h1 = 0, h2 = 0;
    auto c1 = open_session(&h1);
    auto c2 = open_session(&h2);
    ASSERT_EQ(use(*c1, h1, "A").type, 'Y');
    ASSERT_EQ(use(*c2, h2, "B").type, 'Y');
    hold_record_2(*c2, h2);
    // Released a second later: a write that waited at all would get through.
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        ask(*c2, 'Z', h2);
    });
    EXPECT_EQ(ask(*c1, 'M', h1, {"A", "2", "3", "2", "JONES", "at once"}).type, 'N');
    EXPECT_EQ(maperror(*c1, h1), "the record is locked by another session");
    release.join();
}

TEST_P(RecordSafety, StackedStatementsInAFilterAreRefusedBeforeAnythingRuns) {
    for (std::string filter : {"r=99; DROP TABLE t_other; --", "r=99; DROP TABLE t_other",
                               "r = 1 -- ", "v = 'x' /* */", "v = 'a\\'' ; DROP TABLE t_other; --'",
                               "v = $$'$$; DROP TABLE t_other; --'", "v = 'unclosed"}) {
        // ZAP closes the alias and opens it again with the new filter, which
        // fails too: the alias is opened afresh for each filter.
        ASSERT_EQ(use(*c_, h_, "A").type, 'Y') << maperror(*c_, h_);
        EXPECT_EQ(ask(*c_, '5', h_, {"A", "t", filter}).type, 'N') << filter;
        EXPECT_NE(maperror(*c_, h_).find("the text was not run"), std::string::npos) << filter;
        EXPECT_EQ(use(*c_, h_, "B", filter).type, 'N') << filter;
        EXPECT_NE(maperror(*c_, h_).find("the text was not run"), std::string::npos) << filter;
    }
    EXPECT_EQ(use(*c_, h_, "C", "*", "r; DROP TABLE t_other").type, 'N');
    Reply bad_table = ask(*c_, '1', h_, {"t; DROP TABLE t_other", "D", "", "*", "", ""});
    EXPECT_EQ(bad_table.type, 'N');
    ask(*c_, 'Z', h_);
    EXPECT_EQ(committed("SELECT COUNT(*) FROM t_other"), "0");  // the table is still there
    EXPECT_EQ(committed("SELECT COUNT(*) FROM t"), "6");
    // A ";" inside quoted text is part of a value, not a second statement.
    exec_ok(*c_, h_, "UPDATE t SET v = 'a;b' WHERE r = 1");
    ask(*c_, 'X', h_);
    Reply quoted = use(*c_, h_, "E", "v = 'a;b'");
    ASSERT_EQ(quoted.type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(quoted.args, (std::vector<std::string>{"0", "1"}));
    ASSERT_EQ(ask(*c_, '5', h_, {"E", "t", "v = 'a;b'"}).type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(committed("SELECT COUNT(*) FROM t"), "5");
}

TEST_P(RecordSafety, FindKeepsADescendingOrderAndTakesWildcardsLiterally) {
    // In descending name order: SMYTHE 1, SMITH 2, JONES 3, BROWN 4, ALLEN 5, ADAMS 6.
    ASSERT_EQ(use(*c_, h_, "D", "*", "name DESC").type, 'Y');
    auto find = [&](const std::string &alias, const std::string &key, const std::string &value) {
        Reply r = ask(*c_, 'J', h_, {alias, key, value, "", "t", "", "C"});
        return r.type == 'Y' && r.args.size() == 1 ? atoi(r.args[0].c_str()) : -1;
    };
    EXPECT_EQ(find("D", "NAME DESC", "SM"), 1);  // the first SM... in the alias's order
    EXPECT_EQ(find("D", "NAME DESC", "A"), 5);
    EXPECT_EQ(find("D", "name desc", "J"), 3);
    // "%" and "_" in the value are characters, not patterns. (Where "_"
    // sorts differs between collations: the test reads the record found.)
    ASSERT_EQ(use(*c_, h_, "V", "*", "v").type, 'Y');
    auto found_v = [&](const std::string &value) {
        int record = find("V", "V", value);
        if (record < 1) return std::string("<none>");
        Reply row = ask(*c_, 'L', h_, {"V", std::to_string(record)});
        return row.type == 'T' && row.args.size() == 4
                   ? row.args[2].substr(row.args[2].rfind(':') + 1)
                   : std::string("<unread>");
    };
    EXPECT_EQ(found_v("50%"), "50%");
    EXPECT_EQ(found_v("500"), "500");
    EXPECT_EQ(found_v("a_"), "a_c");
    EXPECT_EQ(found_v("ab"), "abc");
    EXPECT_EQ(found_v("5_"), "<none>");
    EXPECT_EQ(found_v("%"), "<none>");
}

TEST_P(RecordSafety, CommitAfterTheConnectionIsLostAnswersNok) {
    if (sqlite()) GTEST_SKIP() << "SQLite has no connection to lose";
    // The session's server connection, as the server knows it.
    std::string id_sql =
        GetParam() == Kind::Postgres ? "SELECT pg_backend_pid()" : "SELECT CONNECTION_ID()";
    for (bool request_between : {true, false}) {
        int32_t h = 0;
        auto c = open_session(&h);
        ASSERT_GT(h, 0);
        Rows id = query(*c, h, id_sql);
        ASSERT_EQ(id.size(), 1u);
        exec_ok(*c, h, "UPDATE t SET v = 'lost' WHERE r = 1");
        std::string kill = GetParam() == Kind::Postgres
                               ? "SELECT pg_terminate_backend(" + trim(id[0][0]) + ")"
                               : "KILL CONNECTION " + trim(id[0][0]);
        if (GetParam() == Kind::Postgres)
            query(*c_, h_, kill);
        else
            exec_ok(*c_, h_, kill);
        ask(*c_, 'Z', h_);
        if (request_between) {
            EXPECT_EQ(ask(*c, 'G', h, {"SELECT 1"}).type, 'N');
        }
        Reply commit = ask(*c, 'X', h);
        EXPECT_EQ(commit.type, 'N') << "request between: " << request_between;
        std::string why = maperror(*c, h);
        EXPECT_FALSE(why.empty());
        EXPECT_EQ(committed("SELECT v FROM t WHERE r = 1"), "one");
    }
}

TEST_P(RecordSafety, ValuesOfTypesWithoutALetterTravelAsTheirText) {
    if (GetParam() != Kind::Postgres) GTEST_SKIP() << "a uuid column is PostgreSQL's";
    exec_ok(*c_, h_, "CREATE TABLE t_uuid (id INTEGER PRIMARY KEY, u uuid)");
    exec_ok(*c_, h_, "INSERT INTO t_uuid VALUES (1, 'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11')");
    ask(*c_, 'X', h_);
    std::vector<std::string> header;
    Rows rows = query(*c_, h_, "SELECT u FROM t_uuid", &header);
    // The driver's text of the value, in upper case.
    EXPECT_EQ(rows, (Rows{{"A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11"}}));
    ASSERT_EQ(header.size(), 1u);
    ASSERT_EQ(ask(*c_, '1', h_, {"t_uuid", "U", "", "*", "", ""}).type, 'Y') << maperror(*c_, h_);
    Reply rec = ask(*c_, 'L', h_, {"U", "1"});
    ASSERT_EQ(rec.type, 'T');
    ASSERT_EQ(rec.args.size(), 2u);
    EXPECT_EQ(rec.args[1], "u:37:C:0:A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11");
    ask(*c_, 'G', h_, {"DROP TABLE t_uuid"});
    ask(*c_, 'X', h_);
}
