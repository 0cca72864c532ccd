// The typed record calls (dqp::RecordClient) against a real gateway on SQLite
// through its ODBC driver: a table opened under an alias, its records read,
// changed, added, deleted, found and read in long pieces by record number.
#include <gtest/gtest.h>

#include <map>

#include "client/record_client.h"
#include "client/sql_client.h"
#include "odbc_harness.h"

using namespace vnxtest;
using dqp::Failure;
using dqp::Record;
using dqp::RecordClient;
using dqp::SqlClient;
using dqp::UseOptions;

namespace {

std::string trimmed(std::string s) {
    while (!s.empty() && s.front() == ' ')
        s.erase(0, 1);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

class SqliteRecords : public OdbcGateway {
  protected:
    void SetUp() override {
        OdbcGateway::SetUp();
        add_sqlite_dsn();
        conn_ = start_gateway();
        ASSERT_NE(conn_, nullptr);
        sql_ = std::make_unique<SqlClient>(*conn_);
        rec_ = std::make_unique<RecordClient>(*sql_);
        ASSERT_EQ(sql_->connect("vnxtest", "", ""), 0) << sql_->error();
        exec("CREATE TABLE t (r INTEGER PRIMARY KEY, name VARCHAR(10), v VARCHAR(40), memo TEXT)");
        for (const char *row : {"(1, 'SMITH', 'one', 'm1')", "(2, 'JONES', 'two', 'm2')",
                                "(3, 'BROWN', 'three', 'm3')", "(4, 'SMYTHE', 'four', 'm4')",
                                "(5, 'ADAMS', 'five', 'm5')"})
            exec(std::string("INSERT INTO t VALUES ") + row);
        ASSERT_EQ(sql_->commit(), 0) << sql_->error();
    }
    void exec(const std::string &text) {
        dqp::ExecResult res;
        ASSERT_EQ(sql_->execsql(text, &res), 0) << text << ": " << sql_->error();
    }
    // One value of a query, straight from the table.
    std::string scalar(const std::string &text) {
        dqp::ExecResult res;
        if (sql_->execsql(text, &res) != 0 || !res.has_cursor) return "<" + sql_->error() + ">";
        std::vector<dqp::FieldDesc> fields;
        std::vector<dqp::Row> rows;
        if (sql_->fetchmany(res.cursor, &fields, &rows) != 0) return "<" + sql_->error() + ">";
        return rows.size() == 1 && rows[0].size() == 1 ? trimmed(rows[0][0]) : "<not one value>";
    }
    // USE that must succeed; the record count.
    int32_t use(const std::string &alias, const UseOptions &opt = {}) {
        int32_t n = -1;
        EXPECT_EQ(rec_->use("t", alias, opt, &n), 0) << alias << ": " << why();
        return n;
    }
    // Record n as column name -> value.
    std::map<std::string, std::string> read(const std::string &alias, int32_t n) {
        Record r;
        bool end = true;
        std::map<std::string, std::string> out;
        EXPECT_EQ(rec_->read(alias, n, false, &r, &end), 0) << alias << " " << n << ": " << why();
        EXPECT_FALSE(end);
        EXPECT_EQ(r.fields.size(), r.values.size());
        for (size_t i = 0; i < r.fields.size() && i < r.values.size(); i++)
            out[r.fields[i].name] = r.values[i];
        return out;
    }
    int32_t count(const std::string &alias) {
        int32_t n = -1;
        EXPECT_EQ(rec_->count(alias, &n), 0) << why();
        return n;
    }
    // The last failure with the data source's reason.
    std::string why() {
        std::string text = sql_->error();
        std::string diag;
        if (sql_->failure() == Failure::refused && sql_->maperror(&diag) == 0) text += ": " + diag;
        return text;
    }
    // The last call was refused and the connection stays in step.
    void expect_refused() {
        EXPECT_EQ(sql_->failure(), Failure::refused) << sql_->error();
        EXPECT_TRUE(sql_->usable());
    }
    std::unique_ptr<dqp::Connection> conn_;
    std::unique_ptr<SqlClient> sql_;
    std::unique_ptr<RecordClient> rec_;
};

}  // namespace

TEST_F(SqliteRecords, UseWithAndWithoutFilterAndOrderCountsTheRecords) {
    EXPECT_EQ(use("A"), 5);
    EXPECT_EQ(count("A"), 5);
    UseOptions filtered;
    filtered.filter = "r > 2";
    filtered.order = "name";
    EXPECT_EQ(use("B", filtered), 3);
    EXPECT_EQ(count("b"), 3);  // aliases match in any case
    // In name order: ADAMS, BROWN, SMYTHE.
    EXPECT_EQ(read("B", 1)["name"], "ADAMS");
    EXPECT_EQ(read("B", 3)["name"], "SMYTHE");
    UseOptions ordered;
    ordered.order = "name DESC";
    EXPECT_EQ(use("C", ordered), 5);
    EXPECT_EQ(read("C", 1)["name"], "SMYTHE");
    UseOptions none;
    none.filter = "r > 100";
    EXPECT_EQ(use("D", none), 0);
    // A second USE of an open alias is refused; a bad filter carries the
    // driver's reason.
    int32_t n = -1;
    EXPECT_EQ(rec_->use("t", "A", {}, &n), -1);
    expect_refused();
    UseOptions bad;
    bad.filter = "r = = 1";
    EXPECT_EQ(rec_->use("t", "E", bad, &n), -1);
    expect_refused();
    EXPECT_NE(why().find("syntax"), std::string::npos) << why();
    EXPECT_EQ(read("A", 2)["v"], "two");
}

TEST_F(SqliteRecords, ReadReturnsEveryFieldWithItsDescription) {
    UseOptions opt;
    opt.order = "r";
    ASSERT_EQ(use("A", opt), 5);
    Record r;
    bool end = true;
    ASSERT_EQ(rec_->read("A", 3, false, &r, &end), 0) << why();
    EXPECT_FALSE(end);
    ASSERT_EQ(r.fields.size(), 4u);
    EXPECT_EQ(r.fields[0].name, "r");
    EXPECT_EQ(r.fields[0].type, 'N');
    EXPECT_EQ(r.fields[1].name, "name");
    EXPECT_EQ(r.fields[1].type, 'C');
    EXPECT_EQ(r.fields[1].width, 10);
    EXPECT_EQ(r.fields[2].width, 40);
    EXPECT_EQ(trimmed(r.values[0]), "3");
    EXPECT_EQ(r.values[1], "BROWN");
    EXPECT_EQ(r.values[2], "three");
    // A read-only open reads the same record.
    UseOptions ro;
    ro.order = "r";
    ro.shared = ro.readonly = true;
    ASSERT_EQ(use("RO", ro), 5);
    EXPECT_EQ(read("RO", 3)["v"], "three");
}

TEST_F(SqliteRecords, UpdateChangesOneRecordAndKeepsAQuote) {
    UseOptions opt;
    opt.order = "r";
    ASSERT_EQ(use("A", opt), 5);
    ASSERT_EQ(rec_->update("A", 2, {"2", "OBRIEN", "O'Brien"}), 0) << why();
    EXPECT_EQ(read("A", 2)["v"], "O'Brien");
    EXPECT_EQ(read("A", 2)["name"], "OBRIEN");
    // Committed by the gateway: a rollback keeps it, and no other row changed.
    ASSERT_EQ(sql_->rollback(), 0) << sql_->error();
    EXPECT_EQ(scalar("SELECT v FROM t WHERE r = 2"), "O'Brien");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM t WHERE v = 'O''Brien'"), "1");
    EXPECT_EQ(scalar("SELECT v FROM t WHERE r = 1"), "one");
    EXPECT_EQ(scalar("SELECT v FROM t WHERE r = 3"), "three");
    // Fewer values change only the leading columns.
    ASSERT_EQ(rec_->update("A", 3, {"3", "BROWNE"}), 0) << why();
    EXPECT_EQ(scalar("SELECT name || '/' || v FROM t WHERE r = 3"), "BROWNE/three");
    // Values that do not fit the request or the table are refused.
    EXPECT_EQ(rec_->update("A", 1, {"1", std::string(257, 'x')}), -1);
    expect_refused();
    EXPECT_EQ(rec_->update("A", 1, {"1", "a", "b", "c", "d"}), -1);
    expect_refused();
    EXPECT_EQ(rec_->update("A", 1, {}), -1);
    EXPECT_EQ(scalar("SELECT name FROM t WHERE r = 1"), "SMITH");
}

TEST_F(SqliteRecords, InsertAnswersCountPlusOneAndTheRecordReadsBack) {
    UseOptions opt;
    opt.order = "r";
    ASSERT_EQ(use("A", opt), 5);
    int32_t n = -1;
    ASSERT_EQ(rec_->insert("A", {"6", "NEWMAN", "six"}, &n), 0) << why();
    EXPECT_EQ(n, 6);
    EXPECT_EQ(count("A"), 6);
    auto row = read("A", 6);
    EXPECT_EQ(trimmed(row["r"]), "6");
    EXPECT_EQ(row["name"], "NEWMAN");
    EXPECT_EQ(row["v"], "six");
    // Without the identifying value the data source assigns one.
    ASSERT_EQ(rec_->insert("A", {"", "NOKEY", "seven"}, &n), 0) << why();
    EXPECT_EQ(n, 7);
    EXPECT_EQ(read("A", 7)["v"], "seven");
    ASSERT_EQ(sql_->rollback(), 0);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM t"), "7");
    // A key that is already taken: refused, and the alias is unchanged.
    EXPECT_EQ(rec_->insert("A", {"1", "DUP", "dup"}, &n), -1);
    expect_refused();
    EXPECT_NE(why().find("UNIQUE"), std::string::npos) << why();
    EXPECT_EQ(count("A"), 7);
}

TEST_F(SqliteRecords, DeleteRemovesExactlyThatRecord) {
    UseOptions opt;
    opt.order = "r";
    ASSERT_EQ(use("A", opt), 5);
    ASSERT_EQ(rec_->remove("A", 3), 0) << why();
    ASSERT_EQ(sql_->rollback(), 0);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM t"), "4");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM t WHERE r = 3"), "0");
    // The record number stays taken by the deleted row: reading or deleting
    // it again is refused, not answered with another row.
    Record r;
    bool end = false;
    EXPECT_EQ(rec_->read("A", 3, false, &r, &end), -1);
    expect_refused();
    EXPECT_NE(why().find("no longer exists"), std::string::npos) << why();
    EXPECT_EQ(rec_->remove("A", 3), -1);
    expect_refused();
    EXPECT_EQ(read("A", 4)["v"], "four");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM t"), "4");
}

TEST_F(SqliteRecords, FindExactAndByPrefix) {
    UseOptions opt;
    opt.order = "name";
    ASSERT_EQ(use("A", opt), 5);
    // Name order: ADAMS 1, BROWN 2, JONES 3, SMITH 4, SMYTHE 5.
    dqp::FindOptions exact, prefix, number;
    exact.exact = true;
    number.type = 'N';
    int32_t n = -1;
    ASSERT_EQ(rec_->find("A", "t", "NAME", "JONES", exact, &n), 0) << why();
    EXPECT_EQ(n, 3);
    ASSERT_EQ(rec_->find("A", "t", "name", "SMY", prefix, &n), 0) << why();
    EXPECT_EQ(n, 5);
    ASSERT_EQ(rec_->find("A", "t", "NAME", "SM", prefix, &n), 0) << why();
    EXPECT_EQ(n, 4);
    ASSERT_EQ(rec_->find("A", "t", "R", "2", number, &n), 0) << why();
    EXPECT_EQ(n, 3);
    ASSERT_EQ(rec_->find("A", "t", "NAME,V", "SMITH     on", prefix, &n), 0) << why();
    EXPECT_EQ(n, 4);
    EXPECT_EQ(rec_->find("A", "t", "NAME", "SM", exact, &n), -1);
    expect_refused();
    EXPECT_EQ(rec_->find("A", "t", "NAME", "ZZ", prefix, &n), -1);
    expect_refused();
    EXPECT_NE(why().find("no record matches"), std::string::npos) << why();
    EXPECT_EQ(rec_->find("A", "t", "NOSUCHCOL", "x", prefix, &n), -1);
    expect_refused();
    EXPECT_EQ(rec_->find("NOTOPEN", "t", "NAME", "JONES", prefix, &n), -1);
    expect_refused();
    ASSERT_EQ(rec_->find("A", "t", "NAME", "BROWN", exact, &n), 0) << why();
    EXPECT_EQ(n, 2);
}

TEST_F(SqliteRecords, MemoOfALongColumnComesInSeveralChunks) {
    exec("UPDATE t SET memo = hex(zeroblob(20000)) || 'end' WHERE r = 2");
    exec("UPDATE t SET memo = NULL WHERE r = 3");
    ASSERT_EQ(sql_->commit(), 0);
    const std::string stored = std::string(40000, '0') + "end";
    ASSERT_EQ(scalar("SELECT length(memo) FROM t WHERE r = 2"), "40003");
    UseOptions opt;
    opt.order = "r";
    ASSERT_EQ(use("A", opt), 5);
    Record r;
    bool end = false;
    ASSERT_EQ(rec_->read("A", 2, false, &r, &end), 0) << why();
    std::vector<size_t> sizes;
    std::string whole;
    int lasts = 0;
    ASSERT_EQ(rec_->memo("A", 3,
                         [&](std::string_view chunk, bool last) {
                             sizes.push_back(chunk.size());
                             whole.append(chunk);
                             lasts += last ? 1 : 0;
                             return 0;
                         }),
              0)
        << why();
    EXPECT_GE(sizes.size(), 3u);
    EXPECT_EQ(lasts, 1);
    EXPECT_EQ(whole, stored);
    // A null column is an empty text; a column the row does not have is refused.
    ASSERT_EQ(rec_->read("A", 3, false, &r, &end), 0) << why();
    std::string text = "x";
    ASSERT_EQ(rec_->memo("A", 3, &text), 0) << why();
    EXPECT_EQ(text, "");
    EXPECT_EQ(rec_->memo("A", 9, &text), -1);
    expect_refused();
    EXPECT_EQ(rec_->memo("NOSUCH", 3, &text), -1);
    expect_refused();
    // A caller that stops early still leaves the connection in step.
    ASSERT_EQ(rec_->read("A", 2, false, &r, &end), 0) << why();
    EXPECT_EQ(rec_->memo("A", 3, [](std::string_view, bool) { return 1; }), -1);
    EXPECT_TRUE(sql_->usable());
    EXPECT_EQ(count("A"), 5);
    // An alias longer than a cursor name serves as well.
    const std::string alias(40, 'L');
    ASSERT_EQ(use(alias, opt), 5);
    ASSERT_EQ(rec_->read(alias, 2, false, &r, &end), 0) << why();
    ASSERT_EQ(rec_->memo(alias, 3, &text), 0) << why();
    EXPECT_EQ(text, stored);
}

TEST_F(SqliteRecords, UnuseClosesTheAliasAndItCanBeOpenedAgain) {
    ASSERT_EQ(use("A"), 5);
    ASSERT_EQ(rec_->unuse("A"), 0) << why();
    Record r;
    bool end = false;
    EXPECT_EQ(rec_->read("A", 1, false, &r, &end), -1);
    expect_refused();
    EXPECT_EQ(count("A"), 0);
    EXPECT_EQ(rec_->unuse("A"), -1);
    expect_refused();
    UseOptions opt;
    opt.filter = "r <= 2";
    EXPECT_EQ(use("A", opt), 2);
    EXPECT_EQ(read("A", 2)["name"].empty(), false);
}

TEST_F(SqliteRecords, ZapWithoutAFilterEmptiesTheTable) {
    UseOptions opt;
    opt.order = "r";
    ASSERT_EQ(use("A", opt), 5);
    ASSERT_EQ(rec_->zap("A", "t", "r > 3"), 0) << why();
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM t"), "3");
    ASSERT_EQ(rec_->zap("A", "t"), 0) << why();
    ASSERT_EQ(sql_->rollback(), 0);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM t"), "0");
    EXPECT_EQ(count("A"), 0);
}

TEST_F(SqliteRecords, BadRecordNumbersAreRefusedAndTheConnectionStaysUsable) {
    UseOptions opt;
    opt.order = "r";
    ASSERT_EQ(use("A", opt), 5);
    Record r;
    bool end = false;
    for (int32_t n : {0, -1, 6, 1000000}) {
        EXPECT_EQ(rec_->read("A", n, false, &r, &end), -1) << n;
        expect_refused();
        EXPECT_EQ(rec_->remove("A", n), -1) << n;
        expect_refused();
        EXPECT_EQ(rec_->update("A", n, {"9", "X"}), -1) << n;
        expect_refused();
        int32_t answer = 0;
        EXPECT_EQ(rec_->lock("A", n, &answer), -1) << n;
        expect_refused();
    }
    EXPECT_EQ(rec_->read("NEVER", 1, false, &r, &end), -1);
    expect_refused();
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM t"), "5");
    EXPECT_EQ(read("A", 5)["v"], "five");
}

TEST_F(SqliteRecords, LocksAreGrantedWhereTheDataSourceHasNoRowLocks) {
    UseOptions opt;
    opt.order = "r";
    ASSERT_EQ(use("A", opt), 5);
    int32_t answer = -1;
    ASSERT_EQ(rec_->lock("A", 1, &answer), 0) << why();
    EXPECT_EQ(answer, 0);
    ASSERT_EQ(rec_->islocked("A", 2, &answer), 0) << why();
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(rec_->unlock("A"), 0) << why();
    EXPECT_EQ(rec_->lock_table("t", false), 0) << why();
    EXPECT_EQ(rec_->lock_table("t", true), 0) << why();
    ASSERT_EQ(rec_->islocked_table("t", &answer), 0) << why();
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(rec_->unlock_table("t"), 0) << why();
    EXPECT_EQ(read("A", 1)["v"], "one");
}
