// Helpers shared by the benchmarks that compare the gateway with direct ODBC:
// the project's ODBC driver list in a folder of the benchmark, a direct ODBC
// connection (autocommit off, as the gateway runs) and a gateway of one's
// own, started on a loopback port, STARTed and CONNECTed.
#pragma once

#include <signal.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "bench_net.h"
#include "client/dqp_client.h"
#include "client/sql_client.h"
#include "master/spawn.h"

namespace benchodbc {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Writes the project's driver list into dir (scripts/odbc-ini of the source
// tree source_dir, which also leaves an empty dir/odbc.ini) and points
// ODBCSYSINI and ODBCINI there: this process and every process it starts
// later (a master, its gateways) then find the drivers and the data sources
// written to dir/odbc.ini. False when the script failed.
inline bool use_odbc_folder(const std::string &source_dir, const std::string &dir) {
    std::string cmd = source_dir + "/scripts/odbc-ini '" + dir + "'";
    if (system(cmd.c_str()) != 0) return false;
    setenv("ODBCSYSINI", dir.c_str(), 1);
    setenv("ODBCINI", (dir + "/odbc.ini").c_str(), 1);
    return true;
}

// One direct connect and disconnect with environment and connection handles
// of its own, as a new session makes them; true when both succeeded.
inline bool connect_and_disconnect(const std::string &dsn, const std::string &user,
                                   const std::string &pw) {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    if (!SQL_SUCCEEDED(SQLAllocEnv(&env))) return false;
    bool ok = SQL_SUCCEEDED(SQLAllocConnect(env, &dbc));
    std::string d = dsn, u = user, p = pw;
    ok = ok && SQL_SUCCEEDED(SQLConnect(dbc, (SQLCHAR *)d.data(), SQL_NTS, (SQLCHAR *)u.data(),
                                        SQL_NTS, (SQLCHAR *)p.data(), SQL_NTS));
    ok = ok && SQL_SUCCEEDED(SQLDisconnect(dbc));
    if (dbc != SQL_NULL_HDBC) SQLFreeConnect(dbc);
    SQLFreeEnv(env);
    return ok;
}

// A direct ODBC connection with autocommit off.
struct DirectOdbc {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    bool open(const std::string &dsn, const std::string &user, const std::string &pw) {
        SQLAllocEnv(&env);
        SQLAllocConnect(env, &dbc);
        std::string d = dsn, u = user, p = pw;
        SQLRETURN rc = SQLConnect(dbc, (SQLCHAR *)d.data(), SQL_NTS, (SQLCHAR *)u.data(), SQL_NTS,
                                  (SQLCHAR *)p.data(), SQL_NTS);
        if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) return false;
        SQLSetConnectOption(dbc, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF);
        return true;
    }
    // Runs one statement and commits; false when it failed.
    bool exec(const std::string &sql) {
        SQLHSTMT h;
        SQLAllocStmt(dbc, &h);
        std::string s = sql;
        SQLRETURN rc = SQLExecDirect(h, (SQLCHAR *)s.data(), SQL_NTS);
        SQLFreeStmt(h, SQL_DROP);
        SQLTransact(env, dbc, SQL_COMMIT);
        return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO || rc == SQL_NO_DATA;
    }
    ~DirectOdbc() {
        if (dbc != SQL_NULL_HDBC) {
            SQLTransact(env, dbc, SQL_ROLLBACK);
            SQLDisconnect(dbc);
            SQLFreeConnect(dbc);
        }
        if (env != SQL_NULL_HENV) SQLFreeEnv(env);
    }
};

// Waits up to 2 s for the gateway to exit after STOP, then kills it.
inline void end_gateway(pid_t pid) {
    for (int i = 0; i < 200; i++) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// A gateway of one's own: started, STARTed and CONNECTed to a data source
// through the client library (sql); h is the session handle. Stopped and
// ended when it goes out of scope.
struct GatewaySession {
    pid_t pid = -1;
    std::unique_ptr<dqp::Connection> c;
    std::unique_ptr<dqp::SqlClient> sql;
    int32_t h = 0;
    // What CONNECT asks (odbc_bench --typed asks for typed values).
    dqp::SessionOptions options;
    bool start(const std::string &odbserver, const std::string &dsn, const std::string &user,
               const std::string &pw) {
        int port = benchnet::free_port();
        pid = vnx::spawn_server(odbserver + " " + std::to_string(port), port);
        if (pid <= 0 || vnx::wait_for_child(port, pid) != 0) return false;
        std::string err;
        c = dqp::Connection::open("127.0.0.1", port, &err, 120000);
        if (c == nullptr) return false;
        sql = std::make_unique<dqp::SqlClient>(*c);
        if (sql->start("bench", "") != 0 || sql->connect(dsn, user, pw, options) != 0) return false;
        h = sql->handle();
        return true;
    }
    bool ask(int type, std::initializer_list<std::string_view> args, dqp::Reply *r) {
        return c->request(type, h, args, r) == 0;
    }
    ~GatewaySession() {
        if (c != nullptr) (void)c->send('B', 0);
        if (pid > 0) end_gateway(pid);
    }
};

}  // namespace benchodbc
