// EXECSQL with parameters and DECLARE/OPEN parameters against SQLite through
// its ODBC driver, in process. What a statement stored is checked through
// the rows a second parameterised statement finds (its row count), so that
// a value's exact text is compared by the data source itself.
#include "gateway/statement_params.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sqlite_session_fixture.h"

namespace {

// A value list for db_server_execsql_params; std::nullopt-like NULLs are
// spelled with the `null` flag.
struct Values {
    std::vector<std::string> texts;
    std::vector<int> lengths;
    std::vector<const char *> ptrs;
    Values(std::initializer_list<const char *> vs) {
        for (const char *v : vs) {
            texts.emplace_back(v != nullptr ? v : "");
            lengths.push_back(v != nullptr ? static_cast<int>(texts.back().size())
                                           : vnx::kNullParamLength);
        }
        for (const std::string &t : texts)
            ptrs.push_back(t.c_str());
    }
};

class StatementParams : public SqliteSessionFixture {
  protected:
    void SetUp() override {
        SqliteSessionFixture::SetUp();
        exec("CREATE TABLE t (id INTEGER, name VARCHAR(20))");
    }
    // Runs text with values; the status, with *rows and *cursor filled.
    int run(const std::string &text, const Values &v, int64_t *rows = nullptr,
            std::string *cursor = nullptr) {
        char name[240] = "";
        int32_t has = 0, st = 0, st2 = 0;
        int64_t n = -2;
        int rc = vnx::db_server_execsql_params(h_, text.c_str(), static_cast<int>(v.ptrs.size()),
                                               v.lengths.data(), v.ptrs.data(), name, &has, &st,
                                               &st2, &n);
        if (rows != nullptr) *rows = n;
        if (cursor != nullptr) *cursor = has != 0 ? name : "";
        return rc;
    }
    // Rows whose name is exactly `name`.
    int64_t rows_named(const char *name) {
        int64_t n = -1;
        EXPECT_EQ(run("UPDATE t SET id = id WHERE name = ?", {name}, &n), 0) << s_->error_text;
        return n;
    }
};

}  // namespace

TEST_F(StatementParams, InsertUpdateDeleteReportRowsChanged) {
    int64_t n = -2;
    ASSERT_EQ(run("INSERT INTO t VALUES (?, ?)", {"1", "one"}, &n), 0) << s_->error_text;
    EXPECT_EQ(n, 1);
    ASSERT_EQ(run("INSERT INTO t VALUES (?, ?)", {"2", "two"}, &n), 0);
    ASSERT_EQ(run("UPDATE t SET name = ? WHERE id >= ?", {"x", "1"}, &n), 0);
    EXPECT_EQ(n, 2);
    ASSERT_EQ(run("DELETE FROM t WHERE id = ?", {"7"}, &n), 0);
    EXPECT_EQ(n, 0);
    ASSERT_EQ(run("DELETE FROM t WHERE id = ?", {"2"}, &n), 0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(rows_named("x"), 1);
}

TEST_F(StatementParams, QuotesAndSemicolonsStayData) {
    const char *nasty = "it's'; DROP TABLE t; --";
    ASSERT_EQ(run("INSERT INTO t VALUES (?, ?)", {"1", nasty}), 0) << s_->error_text;
    EXPECT_EQ(rows_named(nasty), 1);
    EXPECT_EQ(rows_named("it's"), 0);
}

TEST_F(StatementParams, NullIsBoundAsNullNotAsEmptyText) {
    ASSERT_EQ(run("INSERT INTO t VALUES (?, ?)", {"1", nullptr}), 0) << s_->error_text;
    ASSERT_EQ(run("INSERT INTO t VALUES (?, ?)", {"2", ""}), 0);
    int64_t n = -1;
    ASSERT_EQ(run("UPDATE t SET id = id WHERE name IS NULL", {}, &n), 0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(rows_named(""), 1);
}

TEST_F(StatementParams, SameTextReusesOnePreparedStatement) {
    ASSERT_EQ(run("INSERT INTO t VALUES (?, ?)", {"1", "a"}), 0);
    ASSERT_EQ(s_->param_statements.size(), 1u);
    SQLHSTMT first = s_->param_statements[0]->hstmt;
    ASSERT_EQ(run("INSERT INTO t VALUES (?, ?)", {"2", "b"}), 0);
    ASSERT_EQ(run("INSERT INTO t VALUES (?, ?)", {"3", nullptr}), 0);
    ASSERT_EQ(s_->param_statements.size(), 1u);
    EXPECT_EQ(s_->param_statements[0]->hstmt, first);
    EXPECT_EQ(rows_named("b"), 1);
    // The plain statement cache never sees a statement with parameters.
    EXPECT_EQ(s_->statement_cache.count("INSERT INTO t VALUES (?, ?)"), 0u);
}

TEST_F(StatementParams, KeptStatementsAreBoundedOldestDroppedFirst) {
    for (size_t i = 0; i <= vnx::kParamStatementsKept; i++) {
        std::string text = "UPDATE t SET id = ? WHERE id = " + std::to_string(i);
        ASSERT_EQ(run(text, {"1"}), 0) << s_->error_text;
    }
    ASSERT_EQ(s_->param_statements.size(), vnx::kParamStatementsKept);
    EXPECT_EQ(s_->param_statements.front()->sql_text, "UPDATE t SET id = ? WHERE id = 1");
}

TEST_F(StatementParams, ValueCountMustMatchMarkers) {
    EXPECT_EQ(run("INSERT INTO t VALUES (?, ?)", {"1"}), -1);
    EXPECT_NE(std::string(s_->error_text).find("2 parameter markers but 1 values"),
              std::string::npos)
        << s_->error_text;
    EXPECT_EQ(run("INSERT INTO t VALUES (?, ?)", {"1", "a", "b"}), -1);
    // The kept statement checks the count as well.
    ASSERT_EQ(run("INSERT INTO t VALUES (?, ?)", {"1", "a"}), 0);
    EXPECT_EQ(run("INSERT INTO t VALUES (?, ?)", {"1"}), -1);
    EXPECT_EQ(rows_named("a"), 1);
}

TEST_F(StatementParams, ValuesOfAnyLengthBind) {
    exec("CREATE TABLE big (v TEXT)");
    // The old limit of 8000 bytes and far beyond it.
    for (size_t size : {size_t{8000}, size_t{8001}, size_t{70000}}) {
        std::string value(size, 'v');
        int64_t n = -1;
        ASSERT_EQ(run("INSERT INTO big VALUES (?)", {value.c_str()}, &n), 0) << s_->error_text;
        EXPECT_EQ(n, 1);
        ASSERT_EQ(run("DELETE FROM big WHERE v = ?", {value.c_str()}, &n), 0);
        EXPECT_EQ(n, 1) << size;
    }
}

TEST_F(StatementParams, QueryBecomesCursorThatOwnsItsValues) {
    ASSERT_EQ(run("INSERT INTO t VALUES (?, ?)", {"5", "five"}), 0);
    std::string cursor;
    // Markers the WHERE-column rule of DECLARE could not place (name is no
    // result column). Compared with columns: SQLite converts the texts by
    // the columns' affinity.
    ASSERT_EQ(run("SELECT id FROM t WHERE name = ? AND id = ?", {"five", "5"}, nullptr, &cursor), 0)
        << s_->error_text;
    ASSERT_FALSE(cursor.empty());
    vnx::csb *c = vnx::find_cursor(s_, cursor);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->bound_params.size(), 2u);
    EXPECT_FALSE(c->reusable);  // its statement has bound markers: dropped, not reused
    ASSERT_EQ(SQLFetch(c->hstmt), SQL_SUCCESS);
    int32_t id = 0;
    memcpy(&id, c->columns->columns[0].data, sizeof id);
    EXPECT_EQ(id, 5);
    EXPECT_EQ(SQLFetch(c->hstmt), SQL_NO_DATA_FOUND);
}

TEST_F(StatementParams, DeclaredCursorTakesMarkersOutsideWhereAndNulls) {
    ASSERT_EQ(run("INSERT INTO t VALUES (?, ?)", {"1", nullptr}), 0);
    ASSERT_EQ(run("INSERT INTO t VALUES (?, ?)", {"2", "b"}), 0);
    int32_t st = 0, st2 = 0, rows = -1;
    ASSERT_EQ(
        vnx::db_server_declare(h_, "c1", 0, "SELECT id FROM t WHERE name IS ?", &st, &st2, 1, 0), 0)
        << s_->error_text;
    Values null_value({nullptr}), b_value({"b"});
    ASSERT_EQ(vnx::db_server_open(h_, "c1", &st, &rows, 1, null_value.lengths.data(),
                                  null_value.ptrs.data(), 0),
              0)
        << s_->error_text;
    EXPECT_EQ(rows, 1);
    ASSERT_EQ(vnx::db_server_open(h_, "c1", &st, &rows, 1, b_value.lengths.data(),
                                  b_value.ptrs.data(), 0),
              0);
    EXPECT_EQ(rows, 1);
    // Without lengths every value is a text, as before.
    ASSERT_EQ(vnx::db_server_open(h_, "c1", &st, &rows, 1, nullptr, b_value.ptrs.data(), 0), 0);
    EXPECT_EQ(rows, 1);
}

TEST_F(StatementParams, DeadHandleFails) {
    char name[240] = "";
    int32_t has = 0, st = 0, st2 = 0;
    int64_t n = 0;
    EXPECT_EQ(vnx::db_server_execsql_params(h_ + 1000, "DELETE FROM t", 0, nullptr, nullptr, name,
                                            &has, &st, &st2, &n),
              -1);
    EXPECT_EQ(n, -1);
}
