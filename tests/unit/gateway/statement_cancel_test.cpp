// Cancelling in-process against SQLite through its ODBC driver, with the
// client's reading thread in the place of the connection watcher: a
// whole-result read stops between rowsets. (The end-to-end cases are in
// tests/integration/cancel_sqlite_test.cpp and tests/servers.) The file
// sorts after driver_preload_test.cpp on purpose: those tests need a process
// whose driver manager has not read any ini file yet.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "client/dqp_client.h"
#include "gateway/cancel.h"
#include "gateway/cursors.h"
#include "gateway/diagnostics.h"
#include "gateway/row_format.h"
#include "gateway/rows.h"
#include "gateway/session.h"
#include "gateway/table_open.h"
#include "runtime/client_table.h"
#include "runtime/packet_exchange.h"
#include "sqlite_session_fixture.h"
#include "support/config_cache.h"

using namespace vnx;

namespace {

class SqliteCancel : public SqliteSessionFixture {
  protected:
    // EXECSQL: 0 or its failure; *cursor the name of a query's cursor.
    int execsql(const std::string &sql, std::string *cursor = nullptr) {
        char name[240] = "";
        int32_t has = 0, st = 0, st2 = 0;
        int rc = db_server_execsql(h_, sql.c_str(), name, &has, &st, &st2);
        if (cursor != nullptr) *cursor = name;
        return rc;
    }
    std::string maperror() {
        char text[512] = "";
        db_server_maperror(h_, text);
        return text;
    }
    // The first column of the cursor's next row, or "<end>".
    std::string next_value(const std::string &cursor) {
        csb *c = find_cursor(s_, cursor);
        if (c == nullptr) return "<no cursor>";
        int rc = fetch_statement_row(s_, c);
        if (rc == SQL_NO_DATA_FOUND) return "<end>";
        if (rc != SQL_SUCCESS) return "<failed: " + maperror() + ">";
        std::string text;
        append_value_text(c->columns->columns.at(0), &text);
        return text.substr(std::min(text.find_first_not_of(' '), text.size()));
    }
};

}  // namespace

TEST_F(SqliteCancel, WholeResultReadStopsBetweenRowsetsWithNokAndReleasesItsCursor) {
    constexpr int kRows = 200000;
    ASSERT_EQ(execsql("CREATE TABLE big AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
                      "FROM c WHERE x < " +
                      std::to_string(kRows) + ") SELECT x, 'row ' || x AS v FROM c"),
              0)
        << maperror();
    std::string cursor;
    ASSERT_EQ(execsql("SELECT x, v FROM big ORDER BY x", &cursor), 0) << maperror();
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    int slot = attach_socket(fds[0], TRANSPORT_TCPIP);
    ASSERT_GE(slot, 0);
    auto client = dqp::Connection::adopt(fds[1], 30000);
    // The client cancels once the first rows have arrived; the gateway is by
    // then blocked on a full socket, long before the last row.
    std::vector<dqp::Reply> got;
    std::thread reader([&] {
        dqp::Reply header;
        if (client->receive(&header) != 0) return;
        got.push_back(header);
        if (client->receive(&header) != 0) return;
        got.push_back(header);
        cancel_running_statement(CancelCause::ClientRequest);
        (void)client->receive_result(&got);  // the result, or the cancelled fetch's NOK
    });
    char packet[dqp::PKT_BUFSIZE];
    EXPECT_EQ(db_server_fetchmany(h_, slot, packet, 0, cursor.c_str()), -1);
    reader.join();
    detach_from_client(slot);
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got.front().type, 'Y');
    EXPECT_EQ(got.back().type, 'N');
    EXPECT_LT(got.size(), static_cast<size_t>(kRows));
    std::string why = maperror();
    EXPECT_TRUE(why == kCancelledText || why.find("interrupt") != std::string::npos) << why;
    EXPECT_EQ(find_cursor(s_, cursor), nullptr);
    ASSERT_EQ(execsql("SELECT count(*) FROM big", &cursor), 0) << maperror();
    EXPECT_EQ(next_value(cursor), std::to_string(kRows));
}
