// Record-level table access end to end: USE, COUNT, READ, UPDATE, INSERT,
// DELETE, FIND, LOCK, ISLOCKED, UNLOCK, MEMO and ZAP through a real gateway
// against SQLite, PostgreSQL and MariaDB (throwaway servers, see
// throwaway_server.h). The same requests run on all three; where the data
// sources differ (SQLite has no row locks), the expectation says so.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "data_sources.h"
#include "mariadb_tag.h"
#include "odbc_harness.h"
#include "throwaway_server.h"

using namespace vnxtest;
using Kind = vnxtest::Source;
using dqp::Reply;

namespace {

// A READ reply's values by lower-case column name ("name:width:letter:scale:value").
std::map<std::string, std::string> record_values(const Reply &r) {
    std::map<std::string, std::string> out;
    for (const std::string &a : r.args) {
        size_t colon = a.find(':'), pos = colon;
        for (int i = 0; i < 3 && pos != std::string::npos; i++)
            pos = a.find(':', pos + 1);
        if (colon == std::string::npos || pos == std::string::npos) continue;
        std::string name = a.substr(0, colon);
        for (char &ch : name)
            ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        out[name] = a.substr(pos + 1);
    }
    return out;
}

class TableAccess : public OdbcGateway, public testing::WithParamInterface<Kind> {
  protected:
    static void TearDownTestSuite() { destroy_servers(); }
    void SetUp() override {
        OdbcGateway::SetUp();
        if (GetParam() == Kind::Sqlite) {
            add_sqlite_dsn("db");
        } else {
            start_server(GetParam());
            if (IsSkipped() || HasFailure()) return;
            ThrowawayServer &s = server_of(GetParam());
            // psqlODBC with declare/fetch closes cursors at COMMIT and ROLLBACK.
            add_dsn("db", s.dsn_body(GetParam() == Kind::PostgresDeclareFetch
                                         ? "UseDeclareFetch=1\nFetch=10000\n"
                                         : ""));
        }
        c_ = open_session(&h_);
        ASSERT_GT(h_, 0);
        for (const char *t : {"t", "t_nokey", "t_comp", "t_two"})
            ask(*c_, 'G', h_, {std::string("DROP TABLE IF EXISTS ") + t});
        ask(*c_, 'X', h_);
        exec_ok(*c_, h_,
                "CREATE TABLE t (r INTEGER PRIMARY KEY, name CHAR(10), v VARCHAR(40), "
                "n NUMERIC(8,2), memo TEXT)");
        const char *rows[] = {"(1, 'SMITH', 'one', 1.5, 'm1')", "(2, 'JONES', 'two', 2.5, 'm2')",
                              "(3, 'BROWN', 'three', 3.5, 'm3')",
                              "(4, 'SMYTHE', 'four', 4.5, 'm4')",
                              "(5, 'ADAMS', 'five', 5.5, 'm5')"};
        for (const char *row : rows)
            exec_ok(*c_, h_, std::string("INSERT INTO t VALUES ") + row);
        ask(*c_, 'X', h_);
    }
    bool sqlite() const { return GetParam() == Kind::Sqlite; }

    // A gateway with a connected session of its own.
    std::unique_ptr<dqp::Connection> open_session(int32_t *h) {
        auto c = start_gateway();
        *h = c != nullptr ? connect_dsn(*c, "db", "vnx", "secret") : 0;
        return c;
    }
    // USE: the reply (OK carries status and record count).
    Reply use(const std::string &table, const std::string &alias, const std::string &filter = "*",
              const std::string &order = "", const std::string &shared = "",
              const std::string &readonly = "", dqp::Connection *c = nullptr, int32_t h = 0) {
        return ask(c != nullptr ? *c : *c_, '1', h != 0 ? h : h_,
                   {table, alias, shared, filter, order, readonly});
    }
    Reply read(const std::string &alias, int record, const std::string &lock = "",
               dqp::Connection *c = nullptr, int32_t h = 0) {
        return ask(c != nullptr ? *c : *c_, 'L', h != 0 ? h : h_,
                   {alias, std::to_string(record), lock});
    }
    std::string read_value(const std::string &alias, int record, const std::string &column) {
        Reply r = read(alias, record);
        EXPECT_EQ(r.type, 'T') << alias << " " << record << ": " << maperror(*c_, h_);
        return record_values(r)[column];
    }
    int count(const std::string &alias) {
        Reply r = ask(*c_, 'H', h_, {alias});
        EXPECT_EQ(r.type, 'Y');
        return r.args.empty() ? -1 : atoi(r.args[0].c_str());
    }
    // FIND: the record number, or -1 for NOK.
    int find(const std::string &key, const std::string &value, const std::string &type,
             bool exact = false, const std::string &alias = "A") {
        Reply r = ask(*c_, 'J', h_, {alias, key, value, "", "t", exact ? "EXACT" : "", type});
        if (r.type != 'Y') return -1;
        return r.args.empty() ? -2 : atoi(r.args[0].c_str());
    }
    // A single value of a query run in the session.
    std::string scalar(const std::string &sql) {
        auto rows = query(*c_, h_, sql);
        return rows.size() == 1 && rows[0].size() == 1 ? rows[0][0] : "<no single value>";
    }
    std::string trimmed(std::string s) {
        while (!s.empty() && s.front() == ' ')
            s.erase(0, 1);
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
        return s;
    }
    std::unique_ptr<dqp::Connection> c_;
    int32_t h_ = 0;
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(DataSources, TableAccess,
                         testing::Values(Kind::Sqlite, Kind::Postgres, Kind::PostgresDeclareFetch,
                                         Kind::Mariadb),
                         source_name);

TEST_P(TableAccess, UseCountsRowsAndRecordsFollowTheOrderKey) {
    Reply all = use("t", "A");
    ASSERT_EQ(all.type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(all.args, (std::vector<std::string>{"0", "5"}));
    EXPECT_EQ(count("A"), 5);
    Reply sorted = use("t", "B", "n > 2", "name");
    ASSERT_EQ(sorted.type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(sorted.args[1], "4");
    EXPECT_EQ(count("B"), 4);
    // In name order: ADAMS, BROWN, JONES, SMYTHE (SMITH is filtered out).
    EXPECT_EQ(trimmed(read_value("B", 1, "name")), "ADAMS");
    EXPECT_EQ(trimmed(read_value("B", 4, "name")), "SMYTHE");
    Reply desc = use("t", "C", "*", "name DESC");
    ASSERT_EQ(desc.type, 'Y');
    EXPECT_EQ(trimmed(read_value("C", 1, "name")), "SMYTHE");
    // Both tables' aliases stay usable side by side.
    EXPECT_EQ(read_value("A", 3, "v"), "three");
    std::map<std::string, std::string> row = record_values(read("A", 2));
    EXPECT_EQ(trimmed(row["r"]), "2");
    EXPECT_EQ(row["v"], "two");
    EXPECT_EQ(trimmed(row["n"]).substr(0, 3), "2.5");
}

TEST_P(TableAccess, UpdateChangesExactlyThatRowStoresQuotesAndCommits) {
    ASSERT_EQ(use("t", "A", "*", "r").type, 'Y');
    Reply u = ask(*c_, 'M', h_, {"A", "2", "4", "2", "OBRIEN", "O'Brien", "12.25"});
    ASSERT_EQ(u.type, 'Y') << maperror(*c_, h_);
    ask(*c_, 'Z', h_);  // a rollback must not undo the committed change
    EXPECT_EQ(scalar("SELECT v FROM t WHERE r = 2"), "O'Brien");
    EXPECT_EQ(trimmed(scalar("SELECT name FROM t WHERE r = 2")), "OBRIEN");
    EXPECT_EQ(read_value("A", 2, "v"), "O'Brien");
    // Nothing else changed.
    EXPECT_EQ(scalar("SELECT v FROM t WHERE r = 1"), "one");
    EXPECT_EQ(scalar("SELECT v FROM t WHERE r = 3"), "three");
    // A value that would end the statement if pasted in is stored as typed.
    const std::string hostile = "x'); DELETE FROM t; --";
    ASSERT_EQ(ask(*c_, 'M', h_, {"A", "3", "3", "3", "B", hostile}).type, 'Y');
    EXPECT_EQ(scalar("SELECT v FROM t WHERE r = 3"), hostile);
    EXPECT_EQ(trimmed(scalar("SELECT COUNT(*) FROM t")), "5");
}

TEST_P(TableAccess, InsertAppendsARecordAndDeleteRemovesExactlyThatRow) {
    ASSERT_EQ(use("t", "A", "*", "r").type, 'Y');
    Reply ins = ask(*c_, 'K', h_, {"A", "4", "6", "NEWMAN", "six", "6.5"});
    ASSERT_EQ(ins.type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(ins.args, (std::vector<std::string>{"6"}));
    EXPECT_EQ(count("A"), 6);
    EXPECT_EQ(read_value("A", 6, "v"), "six");
    Reply del = ask(*c_, 'I', h_, {"A", "3"});
    ASSERT_EQ(del.type, 'Y') << maperror(*c_, h_);
    ask(*c_, 'Z', h_);  // both changes were committed
    EXPECT_EQ(trimmed(scalar("SELECT COUNT(*) FROM t")), "5");
    EXPECT_EQ(trimmed(scalar("SELECT COUNT(*) FROM t WHERE r = 6")), "1");
    EXPECT_EQ(trimmed(scalar("SELECT COUNT(*) FROM t WHERE r = 3")), "0");
    EXPECT_EQ(read("A", 3).type, 'N');
    EXPECT_NE(maperror(*c_, h_).find("no longer exists"), std::string::npos);
    EXPECT_EQ(read_value("A", 4, "v"), "four");
    // Deleting it again answers NOK rather than reporting success.
    EXPECT_EQ(ask(*c_, 'I', h_, {"A", "3"}).type, 'N');
}

TEST_P(TableAccess, InsertReturnsAnIdentifierTheDataSourceAssigns) {
    std::string key = sqlite()                      ? "r INTEGER PRIMARY KEY"
                      : GetParam() == Kind::Mariadb ? "r INTEGER AUTO_INCREMENT PRIMARY KEY"
                                                    : "r SERIAL PRIMARY KEY";
    exec_ok(*c_, h_, "CREATE TABLE t_two (" + key + ", v VARCHAR(20))");
    ask(*c_, 'X', h_);
    ASSERT_EQ(use("t_two", "T2").type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(count("T2"), 0);
    for (const char *v : {"first", "second"}) {
        Reply r = ask(*c_, 'K', h_, {"T2", "2", "", v});
        ASSERT_EQ(r.type, 'Y') << maperror(*c_, h_);
    }
    EXPECT_EQ(count("T2"), 2);
    EXPECT_EQ(read_value("T2", 2, "v"), "second");
    EXPECT_EQ(read_value("T2", 1, "v"), "first");
    EXPECT_EQ(trimmed(scalar("SELECT COUNT(*) FROM t_two")), "2");
}

TEST_P(TableAccess, FindAnswersTheRecordNumberOfTheKey) {
    ASSERT_EQ(use("t", "A", "*", "name").type, 'Y');
    // Name order: ADAMS 1, BROWN 2, JONES 3, SMITH 4, SMYTHE 5.
    EXPECT_EQ(find("NAME", "JONES", "C", true), 3);
    EXPECT_EQ(find("name", "SMY", "C"), 5);
    EXPECT_EQ(find("NAME", "SM", "C"), 4);  // the first in key order
    EXPECT_EQ(find("NAME", "SM", "C", true), -1);
    EXPECT_EQ(find("NAME", "ZZ", "C"), -1);
    EXPECT_EQ(find("R", " 2", "N"), 3);
    EXPECT_EQ(find("R", "        4", "N"), 5);
    EXPECT_EQ(find("R", " 99", "N"), -1);
    // Two-part key: NAME is CHAR(10), so the value's 11th character starts V.
    EXPECT_EQ(find("NAME,V", "SMITH     on", "C"), 4);
    EXPECT_EQ(find("NAME,V", "SMITH     tw", "C"), -1);
    EXPECT_EQ(find("NAME,V", "BROWN", "C"), 2);
    // The kept statement serves the same key again, and another key gets its own.
    EXPECT_EQ(find("NAME", "JONES", "C", true), 3);
    // Over a hundred distinct key statements: older kept ones are let go,
    // and the answers stay right.
    std::vector<std::string> cols{"N", "NAME", "R", "V"};
    std::set<std::string> keys;
    do {
        std::string key;
        for (const std::string &c : cols)
            keys.insert(key += (key.empty() ? "" : ",") + c);
    } while (std::next_permutation(cols.begin(), cols.end()));
    ASSERT_EQ(keys.size(), 64u);
    for (const std::string &key : keys)
        for (bool exact : {false, true})
            EXPECT_EQ(find(key, std::string(80, 'Q'), "C", exact), -1) << key;
    EXPECT_EQ(find("NAME,V", "BROWN     th", "C"), 2);
    EXPECT_EQ(find("R", " 2", "N"), 3);
    EXPECT_EQ(find("NOSUCHCOL", "x", "C"), -1);
    EXPECT_NE(maperror(*c_, h_).find("NOSUCHCOL"), std::string::npos);
}

TEST_P(TableAccess, LockInOneSessionIsSeenAtOnceByIslockedInAnother) {
    int32_t h2 = 0;
    auto c2 = open_session(&h2);
    ASSERT_GT(h2, 0);
    ASSERT_EQ(use("t", "A", "*", "r").type, 'Y');
    ASSERT_EQ(use("t", "A", "*", "r", "", "", c2.get(), h2).type, 'Y');
    // A free row: 0, and no lock is left behind.
    Reply free_row = ask(*c2, '8', h2, {"A", "1"});
    ASSERT_EQ(free_row.type, 'Y') << maperror(*c2, h2);
    EXPECT_EQ(free_row.info, 0);
    ASSERT_EQ(ask(*c_, '9', h_, {"A", "1"}).type, 'Y') << maperror(*c_, h_);
    Reply held = ask(*c2, '8', h2, {"A", "1"});
    if (sqlite()) {
        EXPECT_EQ(held.type, 'Y');  // no row locks
        return;
    }
    EXPECT_EQ(held.type, 'N');
    // The data source's own words for a row locked elsewhere (NOWAIT).
    std::string locked = GetParam() == Kind::Mariadb
                             ? mariadb_message_tag("db", "vnx", "secret") +
                                   "Lock wait timeout exceeded; try restarting transaction"
                             : "ERROR: could not obtain lock on row in relation \"t\";\n"
                               "Error while executing the query";
    EXPECT_EQ(maperror(*c2, h2), locked);
    EXPECT_EQ(ask(*c2, '9', h2, {"A", "1"}).type, 'N');
    EXPECT_EQ(ask(*c2, '8', h2, {"A", "2"}).type, 'Y');  // other rows are free
    ask(*c_, 'X', h_);                                   // COMMIT releases
    EXPECT_EQ(ask(*c2, '8', h2, {"A", "1"}).type, 'Y');
    // A lock taken by a READ with LOCK; UNLOCK releases it.
    ASSERT_EQ(read("A", 1, "LOCK").type, 'T');
    EXPECT_EQ(ask(*c2, '8', h2, {"A", "1"}).type, 'N');
    ASSERT_EQ(ask(*c_, ':', h_, {"A"}).type, 'Y');
    EXPECT_EQ(ask(*c2, '9', h2, {"A", "1"}).type, 'Y');
    // ... and now the first session meets the second one's lock.
    EXPECT_EQ(ask(*c_, '8', h_, {"A", "1"}).type, 'N');
}

TEST_P(TableAccess, MemoSendsALongColumnInChunks) {
    std::string repeat = sqlite() ? "hex(zeroblob(20000))" : "REPEAT('0', 40000)";
    exec_ok(*c_, h_, "UPDATE t SET memo = " + repeat + " WHERE r = 2");
    exec_ok(*c_, h_, "UPDATE t SET memo = NULL WHERE r = 3");
    ask(*c_, 'X', h_);
    ASSERT_EQ(use("t", "A", "*", "r").type, 'Y');
    ASSERT_EQ(read("A", 2).type, 'T');
    ASSERT_EQ(c_->send('o', h_, {"A", "4", "READ"}), 0);
    std::vector<size_t> sizes;
    std::string whole;
    for (;;) {
        Reply r;
        ASSERT_EQ(c_->receive(&r), 0);
        ASSERT_TRUE(r.type == 'T' || r.type == 'R') << static_cast<char>(r.type);
        ASSERT_EQ(r.args.size(), 1u);
        sizes.push_back(r.args[0].size());
        whole += r.args[0];
        if (r.type == 'R') break;
    }
    // Each chunk as large as a packet carries: 16384 bytes less header and length.
    EXPECT_EQ(sizes, (std::vector<size_t>{16355, 16355, 7290}));
    EXPECT_EQ(whole, std::string(40000, '0'));
    // A null column: one EOF with an empty text; every other case answers.
    ASSERT_EQ(read("A", 3).type, 'T');
    Reply empty = ask(*c_, 'o', h_, {"A", "4", "READ"});
    EXPECT_EQ(empty.type, 'R');
    EXPECT_EQ(empty.args, (std::vector<std::string>{""}));
    EXPECT_EQ(ask(*c_, 'o', h_, {"NOSUCH", "4", "READ"}).type, 'N');
    EXPECT_EQ(ask(*c_, 'o', h_, {"A", "4", "WRITE"}).type, 'N');
    EXPECT_EQ(ask(*c_, 'o', h_, {"A", "99", "READ"}).type, 'N');
}

TEST_P(TableAccess, ZapEmptiesAndReopensAndUnuseOfAnUnknownAliasIsNok) {
    ASSERT_EQ(use("t", "A", "*", "r").type, 'Y');
    // A filtered ZAP deletes the matching rows; the alias is opened again
    // with the ZAP's filter, so it now holds no record.
    ASSERT_EQ(ask(*c_, '5', h_, {"A", "t", "r > 3"}).type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(count("A"), 0);
    EXPECT_EQ(trimmed(scalar("SELECT COUNT(*) FROM t")), "3");
    ASSERT_EQ(ask(*c_, '5', h_, {"A", "t", "*"}).type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(count("A"), 0);
    ask(*c_, 'Z', h_);
    EXPECT_EQ(trimmed(scalar("SELECT COUNT(*) FROM t")), "0");
    EXPECT_EQ(read("A", 1).type, 'N');
    EXPECT_EQ(ask(*c_, '2', h_, {"NOSUCH"}).type, 'N');
    EXPECT_EQ(ask(*c_, '2', h_, {"A"}).type, 'Y');
    EXPECT_EQ(read("A", 1).type, 'N');
}

TEST_P(TableAccess, TablesWithoutASingleRowIdentifierCannotBeOpened) {
    if (sqlite()) GTEST_SKIP() << "every SQLite table has the row identifier _ROWID_";
    exec_ok(*c_, h_, "CREATE TABLE t_nokey (a INTEGER, c VARCHAR(10))");
    exec_ok(*c_, h_,
            "CREATE TABLE t_comp (k1 INTEGER, k2 INTEGER, c VARCHAR(10), "
            "PRIMARY KEY (k1, k2))");
    ask(*c_, 'X', h_);
    EXPECT_EQ(use("t_nokey", "N").type, 'N');
    std::string why = maperror(*c_, h_);
    EXPECT_NE(why.find("t_nokey has no row identifier"), std::string::npos) << why;
    EXPECT_NE(why.find("primary key"), std::string::npos) << why;
    EXPECT_EQ(use("t_comp", "C").type, 'N');
    why = maperror(*c_, h_);
    EXPECT_NE(why.find("several columns"), std::string::npos) << why;
    EXPECT_EQ(count("N"), 0);  // neither alias stayed open
    EXPECT_EQ(read("C", 1).type, 'N');
}

TEST_P(TableAccess, BadRequestsAreRefused) {
    ASSERT_EQ(use("t", "A").type, 'Y');
    for (int record : {0, -1, 6, 1000000})
        EXPECT_EQ(read("A", record).type, 'N') << record;
    EXPECT_EQ(read("NEVER", 1).type, 'N');
    EXPECT_EQ(use("t", "A").type, 'N');  // a second USE of an open alias
    EXPECT_EQ(use("t", "BAD", "name = = 1").type, 'N');
    std::string why = maperror(*c_, h_);
    EXPECT_NE(why.find("syntax"), std::string::npos) << why;
    EXPECT_EQ(use("t", "BAD2", "*", "nosuchcolumn").type, 'N');
    EXPECT_NE(maperror(*c_, h_).find("nosuchcolumn"), std::string::npos);
    EXPECT_EQ(use("no_such_table", "X").type, 'N');
    EXPECT_EQ(ask(*c_, 'M', h_, {"A", "1", "2", "1", std::string(257, 'x')}).type, 'N');
    // The first alias still works after all of that.
    EXPECT_EQ(read_value("A", 1, "v"), "one");
}

TEST_P(TableAccess, ARowDeletedByAnotherSessionIsNokNotAnotherRow) {
    ASSERT_EQ(use("t", "A", "*", "r").type, 'Y');
    int32_t h2 = 0;
    auto c2 = open_session(&h2);
    ASSERT_GT(h2, 0);
    exec_ok(*c2, h2, "DELETE FROM t WHERE r = 2");
    ASSERT_EQ(ask(*c2, 'X', h2).type, 'Y') << maperror(*c2, h2);
    EXPECT_EQ(read("A", 2).type, 'N');
    EXPECT_NE(maperror(*c_, h_).find("no longer exists"), std::string::npos);
    EXPECT_EQ(ask(*c_, 'M', h_, {"A", "2", "3", "2", "X", "gone"}).type, 'N');
    EXPECT_EQ(trimmed(scalar("SELECT COUNT(*) FROM t WHERE v = 'gone'")), "0");
    EXPECT_EQ(read_value("A", 3, "v"), "three");
}

TEST_P(TableAccess, ReadOnlyTablesReadButNeitherLockNorChange) {
    ASSERT_EQ(use("t", "A", "*", "r", "SHARED", "READONLY").type, 'Y');
    EXPECT_EQ(read_value("A", 1, "v"), "one");
    EXPECT_EQ(read("A", 1, "LOCK").type, 'N');
    EXPECT_EQ(ask(*c_, '9', h_, {"A", "1"}).type, 'N');
    EXPECT_EQ(ask(*c_, 'M', h_, {"A", "1", "3", "1", "X", "changed"}).type, 'N');
    EXPECT_EQ(scalar("SELECT v FROM t WHERE r = 1"), "one");
}

TEST_P(TableAccess, TableLocksAreGrantedAndKeepRowLocksOnlyAfterARead) {
    ASSERT_EQ(use("t", "A", "*", "r").type, 'Y');
    for (int type : {'<', '?', ';'})
        EXPECT_EQ(ask(*c_, type, h_, {"t"}).type, 'Y') << static_cast<char>(type);
    // Uncommitted work before any READ: UNLOCK_TABLE rolls it back.
    exec_ok(*c_, h_, "UPDATE t SET v = 'uncommitted' WHERE r = 5");
    ASSERT_EQ(ask(*c_, '@', h_, {"t"}).type, 'Y');
    EXPECT_EQ(scalar("SELECT v FROM t WHERE r = 5"), "five");
    if (sqlite()) return;
    // After a locking READ the row lock survives UNLOCK_TABLE.
    int32_t h2 = 0;
    auto c2 = open_session(&h2);
    ASSERT_EQ(use("t", "A", "*", "r", "", "", c2.get(), h2).type, 'Y');
    ASSERT_EQ(read("A", 1, "LOCK").type, 'T');
    ASSERT_EQ(ask(*c_, '@', h_, {"t"}).type, 'Y');
    EXPECT_EQ(ask(*c2, '8', h2, {"A", "1"}).type, 'N');
    ask(*c_, 'Z', h_);
    EXPECT_EQ(ask(*c2, '8', h2, {"A", "1"}).type, 'Y');
}

TEST_P(TableAccess, TheTableNameOfFindMayDifferInCase) {
    ASSERT_EQ(use("t", "A", "*", "r").type, 'Y');
    Reply r = ask(*c_, 'J', h_, {"A", "NAME", "BROWN", "", "T", "EXACT", "C"});
    ASSERT_EQ(r.type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(r.args, (std::vector<std::string>{"3"}));
}

TEST_P(TableAccess, DeclaredCursorsUpdateDeleteAndInsertThroughTheirCurrentRow) {
    ASSERT_EQ(ask(*c_, 'U', h_, {"c1", "SELECT r, name, v FROM t"}).type, 'Y') << maperror(*c_, h_);
    ASSERT_EQ(ask(*c_, 'E', h_, {"c1"}).type, 'Y') << maperror(*c_, h_);
    Reply row = ask(*c_, 'P', h_, {"c1"});
    ASSERT_EQ(row.type, 'T');
    std::string r1 = trimmed(record_values(row)["r"]);
    Reply u = ask(*c_, 'M', h_, {"c1", "1", "3", r1, "POS", "it's positioned"});
    if (sqlite()) {
        // Its driver would store empty texts: refused, and nothing changed.
        EXPECT_EQ(u.type, 'N');
        EXPECT_EQ(ask(*c_, 'K', h_, {"c1", "3", "9", "ADDED", "new row"}).type, 'N');
        ASSERT_EQ(ask(*c_, 'I', h_, {"c1", "1"}).type, 'Y') << maperror(*c_, h_);
        ask(*c_, 'X', h_);
        EXPECT_EQ(trimmed(scalar("SELECT COUNT(*) FROM t")), "4");
        EXPECT_EQ(trimmed(scalar("SELECT COUNT(*) FROM t WHERE v = ''")), "0");
        return;
    }
    ASSERT_EQ(u.type, 'Y') << maperror(*c_, h_);
    ASSERT_EQ(ask(*c_, 'P', h_, {"c1"}).type, 'T');
    Reply d = ask(*c_, 'I', h_, {"c1", "2"});
    ASSERT_EQ(d.type, 'Y') << maperror(*c_, h_);
    Reply i = ask(*c_, 'K', h_, {"c1", "3", "9", "ADDED", "new row"});
    ASSERT_EQ(i.type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(i.args, (std::vector<std::string>{"6"}));  // the open's 5 rows + 1
    ask(*c_, 'X', h_);
    EXPECT_EQ(scalar("SELECT v FROM t WHERE r = " + r1), "it's positioned");
    EXPECT_EQ(trimmed(scalar("SELECT COUNT(*) FROM t")), "5");
    EXPECT_EQ(scalar("SELECT v FROM t WHERE r = 9"), "new row");
    // LOCK and ISLOCKED only position a declared cursor; an unknown one fails.
    EXPECT_EQ(ask(*c_, '9', h_, {"c1", "1"}).type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(ask(*c_, 'M', h_, {"ghost", "1", "1", "x"}).type, 'N');
}

TEST_P(TableAccess, APositionedUpdateKeepsALongValueAfterTheValuesSent) {
    if (sqlite()) GTEST_SKIP() << "its driver refuses positioned writes (tested above)";
    // Longer than a column buffer: written back from the fetch binding, the
    // driver would read past the buffer and store what it found there.
    exec_ok(*c_, h_, "UPDATE t SET memo = REPEAT('x', 40000) WHERE r = 1");
    ask(*c_, 'X', h_);
    ASSERT_EQ(ask(*c_, 'U', h_, {"c1", "SELECT r, name, memo FROM t WHERE r = 1"}).type, 'Y')
        << maperror(*c_, h_);
    ASSERT_EQ(ask(*c_, 'E', h_, {"c1"}).type, 'Y') << maperror(*c_, h_);
    ASSERT_EQ(ask(*c_, 'P', h_, {"c1"}).type, 'T');
    Reply u = ask(*c_, 'M', h_, {"c1", "1", "2", "1", "RENAMED"});
    ASSERT_EQ(u.type, 'Y') << maperror(*c_, h_);
    ask(*c_, 'X', h_);
    EXPECT_EQ(trimmed(scalar("SELECT name FROM t WHERE r = 1")), "RENAMED");
    EXPECT_EQ(trimmed(scalar("SELECT LENGTH(memo) FROM t WHERE r = 1")), "40000");
    EXPECT_EQ(trimmed(scalar("SELECT COUNT(*) FROM t WHERE memo = REPEAT('x', 40000)")), "1");
}

TEST_P(TableAccess, AReadOnlyAliasBesideAWritableOneLeavesItWritable) {
    ASSERT_EQ(use("t", "A", "*", "r").type, 'Y');
    ASSERT_EQ(use("t", "B", "*", "r", "SHARED", "READONLY").type, 'Y');
    EXPECT_EQ(ask(*c_, '9', h_, {"A", "1"}).type, 'Y') << maperror(*c_, h_);
    ASSERT_EQ(ask(*c_, 'M', h_, {"A", "1", "3", "1", "X", "still writable"}).type, 'Y')
        << maperror(*c_, h_);
    EXPECT_EQ(read_value("B", 1, "v"), "still writable");
    // With the writable alias closed, a new read-only open has no update statement.
    ASSERT_EQ(ask(*c_, '2', h_, {"A"}).type, 'Y');
    ASSERT_EQ(ask(*c_, '2', h_, {"B"}).type, 'Y');
    ASSERT_EQ(use("t", "C", "*", "r", "SHARED", "READONLY").type, 'Y');
    EXPECT_EQ(ask(*c_, '9', h_, {"C", "1"}).type, 'N');
}

TEST_P(TableAccess, ARecordWrittenBackAsReadKeepsItsNulls) {
    exec_ok(*c_, h_, "UPDATE t SET name = NULL, v = NULL WHERE r = 2");
    ask(*c_, 'X', h_);
    ASSERT_EQ(use("t", "A", "*", "r").type, 'Y');
    std::map<std::string, std::string> row = record_values(read("A", 2));
    EXPECT_EQ(row["name"], "");
    EXPECT_EQ(row["v"], "");
    // The values as READ gave them, with only N changed: the nulls stay null.
    Reply u = ask(*c_, 'M', h_, {"A", "2", "4", row["r"], row["name"], row["v"], "9.5"});
    ASSERT_EQ(u.type, 'Y') << maperror(*c_, h_);
    EXPECT_EQ(trimmed(scalar("SELECT COUNT(*) FROM t WHERE r = 2 AND name IS NULL AND v IS NULL")),
              "1");
    EXPECT_EQ(trimmed(scalar("SELECT n FROM t WHERE r = 2")).substr(0, 3), "9.5");
    // A value given for a null column is stored; an empty one for a column
    // that has a value still empties it.
    ASSERT_EQ(ask(*c_, 'M', h_, {"A", "2", "3", "2", "", "now set"}).type, 'Y');
    EXPECT_EQ(scalar("SELECT v FROM t WHERE r = 2"), "now set");
    ASSERT_EQ(ask(*c_, 'M', h_, {"A", "1", "3", "1", "SMITH", ""}).type, 'Y');
    EXPECT_EQ(trimmed(scalar("SELECT COUNT(*) FROM t WHERE r = 1 AND v = ''")), "1");
}
