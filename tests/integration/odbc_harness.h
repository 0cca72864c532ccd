// A gateway with an ODBC data source: the project's own odbcinst.ini
// (scripts/odbc-ini) and an odbc.ini in the test's DB_ROOT, pointed to by
// ODBCSYSINI and ODBCINI, which the spawned odbserver inherits. Helpers send
// the session and SQL requests and collect whole results.
#pragma once

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "client/dqp_client.h"
#include "harness.h"
#include "master/spawn.h"

namespace vnxtest {

class OdbcGateway : public Installation {
  protected:
    void SetUp() override {
        Installation::SetUp();
        std::string cmd = std::string(VNX_SOURCE_DIR) + "/scripts/odbc-ini " + root_;
        ASSERT_EQ(system(cmd.c_str()), 0);
        setenv("ODBCSYSINI", root_.c_str(), 1);
        setenv("ODBCINI", (root_ + "/odbc.ini").c_str(), 1);
    }
    // Appends a DSN section to odbc.ini.
    void add_dsn(const std::string &name, const std::string &body) {
        std::ofstream(root_ + "/odbc.ini", std::ios::app) << "[" << name << "]\n" << body << "\n";
    }
    void add_sqlite_dsn(const std::string &name = "vnxtest") {
        add_dsn(name, "Driver=SQLite3\nDatabase=" + root_ + "/" + name + ".db\nTimeout=2000\n");
    }

    // Starts odbserver on a free port and connects a client to it.
    std::unique_ptr<dqp::Connection> start_gateway(pid_t *pid_out = nullptr) {
        int port = free_port();
        pid_t pid = vnx::spawn_server(gateway_program() + " " + std::to_string(port), port);
        EXPECT_GT(pid, 0);
        if (pid > 0) own(pid);
        EXPECT_EQ(vnx::wait_for_child(port, pid), 0);
        if (pid_out != nullptr) *pid_out = pid;
        std::string err;
        auto c = dqp::Connection::open("127.0.0.1", port, &err, 60000);
        EXPECT_NE(c, nullptr) << err;
        if (c != nullptr) ask(*c, 'A', 0, {"tester"});
        return c;
    }

    dqp::Reply ask(dqp::Connection &c, int type, int32_t info,
                   std::initializer_list<std::string_view> args = {}) {
        dqp::Reply r;
        EXPECT_EQ(c.request(type, info, args, &r), 0) << c.error();
        return r;
    }
    // CONNECT: the session handle, or 0 (and *error_handle) on failure.
    int32_t connect_dsn(dqp::Connection &c, const std::string &dsn, const std::string &user = "",
                        const std::string &password = "", int32_t *error_handle = nullptr) {
        dqp::Reply r = ask(c, 'C', 0, {"odb", user, password, dsn});
        if (error_handle != nullptr && r.args.size() >= 1) *error_handle = atoi(r.args[0].c_str());
        return r.type == 'Y' ? r.info : 0;
    }
    std::string maperror(dqp::Connection &c, int32_t h) {
        dqp::Reply r = ask(c, 'O', h);
        return r.type == 'Y' && !r.args.empty() ? r.args[0] : "<MAPERROR failed>";
    }
    // EXECSQL that must succeed; returns the cursor name of a query, else "".
    std::string exec_ok(dqp::Connection &c, int32_t h, const std::string &sql) {
        dqp::Reply r = ask(c, 'G', h, {sql});
        EXPECT_EQ(r.type, 'Y') << sql << ": " << maperror(c, h);
        return r.args.size() >= 3 ? r.args[2] : "";
    }
    // A request whose operation streams its own result (FETCHMANY, TABLELIST).
    std::vector<dqp::Reply> result(dqp::Connection &c, int type, int32_t h,
                                   const std::string &cursor) {
        std::vector<dqp::Reply> out;
        EXPECT_EQ(c.send(type, h, {cursor}), 0);
        dqp::Reply header;
        EXPECT_EQ(c.receive(&header), 0) << c.error();
        out.push_back(header);
        if (header.type != 'Y') return out;
        EXPECT_EQ(c.receive_result(&out), 0) << c.error();
        return out;
    }
    // Rows of a FETCHMANY (header and EOF checked).
    std::vector<std::vector<std::string>> fetch_all(dqp::Connection &c, int32_t h,
                                                    const std::string &cursor,
                                                    std::vector<std::string> *header = nullptr) {
        std::vector<dqp::Reply> res = result(c, 'Q', h, cursor);
        std::vector<std::vector<std::string>> rows;
        EXPECT_GE(res.size(), 2u);
        if (res.size() < 2) return rows;
        EXPECT_EQ(res.front().type, 'Y');
        if (header != nullptr) *header = res.front().args;
        EXPECT_EQ(res.back().type, 'R');
        EXPECT_EQ(res.back().info, 100);
        for (size_t i = 1; i + 1 < res.size(); i++) {
            EXPECT_EQ(res[i].type, 'T');
            rows.push_back(res[i].args);
        }
        return rows;
    }
    std::vector<std::vector<std::string>> query(dqp::Connection &c, int32_t h,
                                                const std::string &sql,
                                                std::vector<std::string> *header = nullptr) {
        std::string cursor = exec_ok(c, h, sql);
        EXPECT_FALSE(cursor.empty()) << sql;
        return fetch_all(c, h, cursor, header);
    }
    // Queries run one after another on statements that earlier queries
    // finished with (read to the end, released early, or failed): each sees
    // only its own columns and rows.
    void expect_queries_after_queries_see_their_own_rows(dqp::Connection &c, int32_t h) {
        using Rows = std::vector<std::vector<std::string>>;
        exec_ok(c, h, "CREATE TABLE reuse_t (a INTEGER, b VARCHAR(10))");
        exec_ok(c, h, "INSERT INTO reuse_t VALUES (1, 'one')");
        exec_ok(c, h, "INSERT INTO reuse_t VALUES (2, 'two')");
        ask(c, 'X', h);  // COMMIT: the rollback below must not take the table
        std::vector<std::string> header;
        EXPECT_EQ(query(c, h, "SELECT a, b FROM reuse_t ORDER BY a").size(), 2u);
        EXPECT_EQ(query(c, h, "SELECT b FROM reuse_t WHERE a = 2", &header), (Rows{{"two"}}));
        EXPECT_EQ(header.size(), 1u);
        EXPECT_EQ(ask(c, 'G', h, {"SELECT no_such_column FROM reuse_t"}).type, 'N');
        ask(c, 'Z', h);  // ROLLBACK: PostgreSQL wants the failed transaction ended
        std::string early = exec_ok(c, h, "SELECT a, b, a FROM reuse_t ORDER BY a");
        EXPECT_EQ(ask(c, 'V', h, {early}).type, 'Y');  // UNDECLARE before its first row
        exec_ok(c, h, "UPDATE reuse_t SET b = 'uno' WHERE a = 1");
        EXPECT_EQ(query(c, h, "SELECT b, a FROM reuse_t ORDER BY a", &header),
                  (Rows{{"uno", "         1"}, {"two", "         2"}}));
        EXPECT_EQ(header.size(), 2u);
        EXPECT_TRUE(query(c, h, "SELECT a FROM reuse_t WHERE a > 5").empty());
    }
};

}  // namespace vnxtest
