// Row identifiers. See rowid.h.
#include "gateway/rowid.h"

#include <map>
#include <vector>

#include "gateway/diagnostics.h"

namespace vnx {

namespace {

constexpr int kNameSize = 257;

// One catalogue statement, dropped when it goes out of scope.
struct CatalogueStatement {
    SQLHSTMT h = SQL_NULL_HSTMT;
    ~CatalogueStatement() {
        if (h != SQL_NULL_HSTMT) SQLFreeStmt(h, SQL_DROP);
    }
};

// Reads the text columns `wanted` (1-based) of every row of an executed
// catalogue statement.
int read_rows(SQLHSTMT h, const std::vector<SQLUSMALLINT> &wanted,
              std::vector<std::vector<std::string>> *rows) {
    std::vector<std::vector<char>> bufs(wanted.size(), std::vector<char>(kNameSize + 1, '\0'));
    std::vector<SQLLEN> lens(wanted.size(), 0);
    for (size_t i = 0; i < wanted.size(); i++)
        if (!sql_ok(SQLBindCol(h, wanted[i], SQL_C_CHAR, bufs[i].data(), kNameSize, &lens[i])))
            return -1;
    SQLRETURN rc;
    while (sql_ok(rc = SQLFetch(h))) {
        std::vector<std::string> row;
        for (size_t i = 0; i < wanted.size(); i++) {
            bufs[i][kNameSize] = '\0';
            row.emplace_back(lens[i] == SQL_NULL_DATA ? "" : bufs[i].data());
        }
        rows->push_back(std::move(row));
    }
    return rc == SQL_NO_DATA_FOUND ? 0 : rc;
}

SQLCHAR *text_arg(std::string &s) {
    return reinterpret_cast<SQLCHAR *>(s.data());
}

// The best row identifier; an empty list when the driver names none.
int special_columns(svr_session *s, std::string table, std::vector<std::string> *cols) {
    CatalogueStatement st;
    if (!sql_ok(SQLAllocStmt(s->hdbc, &st.h))) return -1;
    SQLRETURN rc = SQLSpecialColumns(st.h, SQL_BEST_ROWID, nullptr, 0, nullptr, 0, text_arg(table),
                                     SQL_NTS, SQL_SCOPE_TRANSACTION, SQL_NO_NULLS);
    if (!sql_ok(rc)) return 0;  // some drivers fail for names they cannot match; fall back
    std::vector<std::vector<std::string>> rows;
    if (read_rows(st.h, {2}, &rows) != 0) return 0;
    for (auto &r : rows)
        cols->push_back(r[0]);
    return 0;
}

int primary_key(svr_session *s, std::string table, std::vector<std::string> *cols) {
    CatalogueStatement st;
    if (!sql_ok(SQLAllocStmt(s->hdbc, &st.h))) return -1;
    if (!sql_ok(SQLPrimaryKeys(st.h, nullptr, 0, nullptr, 0, text_arg(table), SQL_NTS))) return 0;
    std::vector<std::vector<std::string>> rows;
    if (read_rows(st.h, {4, 5}, &rows) != 0) return 0;
    std::map<int, std::string> by_seq;
    for (auto &r : rows)
        by_seq[atoi(r[1].c_str())] = r[0];
    for (auto &[seq, name] : by_seq)
        cols->push_back(name);
    return 0;
}

// Columns of the table that are declared NOT NULL.
std::map<std::string, bool> not_null_columns(svr_session *s, std::string table) {
    std::map<std::string, bool> out;
    CatalogueStatement st;
    if (!sql_ok(SQLAllocStmt(s->hdbc, &st.h))) return out;
    if (!sql_ok(SQLColumns(st.h, nullptr, 0, nullptr, 0, text_arg(table), SQL_NTS, nullptr, 0)))
        return out;
    std::vector<std::vector<std::string>> rows;
    read_rows(st.h, {4, 11}, &rows);
    for (auto &r : rows)
        out[r[0]] = r[1] == "0";  // SQL_NO_NULLS
    return out;
}

// The first unique index whose columns are all NOT NULL.
int unique_index(svr_session *s, std::string table, std::vector<std::string> *cols) {
    CatalogueStatement st;
    if (!sql_ok(SQLAllocStmt(s->hdbc, &st.h))) return -1;
    if (!sql_ok(SQLStatistics(st.h, nullptr, 0, nullptr, 0, text_arg(table), SQL_NTS,
                              SQL_INDEX_UNIQUE, SQL_QUICK)))
        return 0;
    std::vector<std::vector<std::string>> rows;  // NON_UNIQUE, INDEX_NAME, TYPE, COLUMN_NAME
    if (read_rows(st.h, {4, 6, 7, 9}, &rows) != 0) return 0;
    std::vector<std::pair<std::string, std::vector<std::string>>> indexes;
    for (auto &r : rows) {
        if (r[0] != "0" || r[2] == "0" || r[3].empty()) continue;  // not unique, or table stats
        if (indexes.empty() || indexes.back().first != r[1]) indexes.push_back({r[1], {}});
        indexes.back().second.push_back(r[3]);
    }
    std::map<std::string, bool> not_null = not_null_columns(s, table);
    for (auto &[name, columns] : indexes) {
        bool usable = true;
        for (auto &c : columns)
            usable = usable && not_null[c];
        if (usable) {
            *cols = columns;
            return 0;
        }
    }
    return 0;
}

}  // namespace

std::string order_columns_words(const std::string &order_columns) {
    std::string out;
    bool skipping = false;
    for (char ch : order_columns) {
        if (ch == ' ') {
            out += ch;
            skipping = true;
        } else if (ch == ',') {
            out += ch;
            skipping = false;
        } else if (!skipping) {
            out += ch;
        }
    }
    return out;
}

int get_rowid(svr_session *s, std::string *key_list, const std::string &order_columns,
              const std::string &table) {
    svr_trace(s, "get_rowid(START)\n");
    std::vector<std::string> cols;
    using Finder = int (*)(svr_session *, std::string, std::vector<std::string> *);
    for (Finder find : {Finder(special_columns), Finder(primary_key), Finder(unique_index)}) {
        if (int rc = find(s, table, &cols); rc != 0) {
            sql_error(s, SQL_NULL_HSTMT);
            svr_trace(s, "get_rowid(SQLAllocate() %d)\n", rc);
            return rc;
        }
        if (!cols.empty()) break;
    }
    if (cols.empty()) {
        s->set_error("table " + table +
                     " has no row identifier: it needs a primary key or a unique index on NOT "
                     "NULL columns");
        svr_trace(s, "get_rowid(SQLFetch() %d)\n", SQL_NO_DATA_FOUND);
        return SQL_NO_DATA_FOUND;
    }
    std::string list;
    for (auto &c : cols)
        list += (list.empty() ? "" : ",") + c;
    if (!order_columns.empty() && order_columns != list)
        list.append(",").append(order_columns_words(order_columns));
    *key_list = list;
    svr_trace(s, "get_rowid(END)\n");
    return 0;
}

}  // namespace vnx
