// Reuse of a kept data-source connection (ODBServer "pool") through a real
// master, on a throwaway PostgreSQL server: what one session leaves behind
// must never reach the next one on the same backend, a wrong password never
// gets the kept connection, a dead one is never handed out, and the limits
// hold. A session's backend is told by pg_backend_pid().
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "client/connect_options.h"
#include "client/dqp_client.h"
#include "client/port_query.h"
#include "client/sql_client.h"
#include "client/sql_script.h"
#include "data_sources.h"
#include "master_harness.h"
#include "tests/tls_certs.h"

using namespace vnxtest;

namespace {

bool eventually(const std::function<bool()> &done, int seconds = 20) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// One client session: its connection to a gateway and the SQL calls on it.
struct Session {
    std::unique_ptr<dqp::Connection> conn;
    std::unique_ptr<dqp::SqlClient> sql;
    int32_t start_pid = 0;
    int connect_rc = -1;
    double connect_ms = 0;  // how long CONNECT took, for the figures printed

    // The first value of the first row of a query; "" when it failed.
    std::string value(const std::string &query) {
        dqp::ExecResult res;
        std::string first;
        bool got = false;
        int rc = sql->query(
            query, &res, nullptr, [](const std::vector<dqp::FieldDesc> &) { return 0; },
            [&](dqp::Row &&row) {
                if (!got && !row.empty()) first = row[0];
                got = true;
                return 0;
            });
        return rc == 0 ? dqp::trim(first) : "";
    }
    int exec(const std::string &statement) {
        dqp::ExecResult res;
        return sql->execsql(statement, &res);
    }
    void end() {
        if (connect_rc == 0) {
            EXPECT_EQ(sql->disconnect(), 0);
        }
        (void)sql->stop();
        conn.reset();
    }
};

class PoolServer : public Master {
  protected:
    static void TearDownTestSuite() { destroy_servers(); }
    void SetUp() override {
        Master::SetUp();
        start_server(Source::Postgres);
        if (IsSkipped() || HasFailure()) return;
        use_sqlite_dsn("lite", "lite.db");
        const std::string body = server_of(Source::Postgres).dsn_body();
        std::ofstream(root_ + "/odbc.ini", std::ios::app) << "[pg]\n"
                                                          << body << "\n[pg_other]\n"
                                                          << body << "\n";
        set_spares(1);
        set_odbserver_value("pool", "true");
    }
    void set_odbserver_value(const std::string &name, const std::string &data) {
        EXPECT_EQ(store_->set_value(std::string(vnx::kRootKey) + "\\ODBServer", name, data), 0);
    }
    std::unique_ptr<Session> open(const std::string &dsn = "pg",
                                  const std::string &password = "secret",
                                  const std::string &user = "vnx") {
        auto s = std::make_unique<Session>();
        int port = request();
        EXPECT_GT(port, 0);
        std::string err;
        s->conn = dqp::Connection::open("127.0.0.1", port, &err);
        EXPECT_NE(s->conn, nullptr) << err;
        if (s->conn == nullptr) return nullptr;
        s->sql = std::make_unique<dqp::SqlClient>(*s->conn);
        EXPECT_EQ(s->sql->start("tester", "", &s->start_pid), 0);
        auto t0 = std::chrono::steady_clock::now();
        s->connect_rc = s->sql->connect(dsn, user, password);
        s->connect_ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count();
        return s;
    }
    // Runs statements and commits them in a session of the DSN "pg_other",
    // whose connection is never kept; true when every one succeeded.
    bool prepare(std::initializer_list<std::string> statements) {
        auto setup = open("pg_other");
        bool ok = setup->connect_rc == 0;
        for (const std::string &sql : statements)
            ok = ok && setup->exec(sql) == 0;
        ok = ok && setup->exec("COMMIT") == 0;
        setup->end();
        return ok;
    }
    // The holders' sockets in DB_ROOT and their processes.
    std::vector<pid_t> holders() {
        std::vector<pid_t> pids;
        for (const auto &e : std::filesystem::directory_iterator(root_)) {
            std::string name = e.path().filename();
            if (name.rfind("pool-", 0) != 0 || e.path().extension() != ".sock") continue;
            size_t dash = name.rfind('-');
            pids.push_back(static_cast<pid_t>(atol(name.c_str() + dash + 1)));
        }
        return pids;
    }
    // Every Unix socket in DB_ROOT, whatever its name.
    std::vector<std::string> sockets_in_root() {
        std::vector<std::string> found;
        for (const auto &e : std::filesystem::directory_iterator(root_)) {
            struct stat st {};
            if (lstat(e.path().c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
                found.push_back(e.path().filename());
        }
        return found;
    }
    // "live_sessions" of the port server's statistics; "" when not had.
    std::string live_sessions() {
        std::vector<std::pair<std::string, std::string>> values;
        std::string err;
        if (dqp::port_stats("127.0.0.1", base_, &values, &err) != 0) return "";
        for (const auto &[name, value] : values)
            if (name == "live_sessions") return value;
        return "";
    }
    void connect_past_stopped_backends(size_t n);
    bool wait_holders(size_t n) {
        return eventually([&] { return holders().size() == n; });
    }
    // A session whose backend is ended and kept: its backend pid.
    std::string kept_backend(const std::function<void(Session &)> &work = nullptr) {
        auto s = open();
        if (s == nullptr || s->connect_rc != 0) return "";
        std::string backend = s->value("SELECT pg_backend_pid()");
        if (work) work(*s);
        size_t before = holders().size();
        s->end();
        EXPECT_TRUE(wait_holders(before + 1));
        return backend;
    }
};

TEST_F(PoolServer, NewSessionIsServedOnTheKeptBackend) {
    start_master();
    std::string backend = kept_backend();
    ASSERT_FALSE(backend.empty());
    auto s = open();
    ASSERT_EQ(s->connect_rc, 0);
    EXPECT_EQ(s->value("SELECT pg_backend_pid()"), backend);
    EXPECT_TRUE(holders().empty()) << "a taken holder no longer listens";
    s->end();
}

TEST_F(PoolServer, SessionsListTheHolderForAHandedClient) {
    start_master();
    ASSERT_FALSE(kept_backend().empty());
    pid_t holder = holders().at(0);
    auto s = open();
    ASSERT_EQ(s->connect_rc, 0);
    EXPECT_NE(s->start_pid, holder);
    // The claimant's own record is listed until its RemUser; the holder's
    // AddUser follows it.
    std::string listed = "," + std::to_string(holder) + ",";
    EXPECT_TRUE(eventually([&] {
        std::vector<std::string> lines = sessions();
        return lines.size() == 1 && lines[0].find(listed) != std::string::npos;
    })) << read_file(root_ + "/master0.err");
    s->end();
}

TEST_F(PoolServer, TemporaryTableDoesNotSurviveIntoTheNextSession) {
    start_master();
    std::string backend = kept_backend([](Session &s) {
        EXPECT_EQ(s.exec("CREATE TEMPORARY TABLE leak_tmp (a int)"), 0);
        EXPECT_EQ(s.exec("COMMIT"), 0);
    });
    auto s = open();
    ASSERT_EQ(s->value("SELECT pg_backend_pid()"), backend);
    EXPECT_EQ(s->value("SELECT count(*) FROM pg_class WHERE relname = 'leak_tmp'"), "0");
    s->end();
}

TEST_F(PoolServer, SessionSettingDoesNotSurviveIntoTheNextSession) {
    start_master();
    std::string before;
    std::string backend = kept_backend([&](Session &s) {
        before = s.value("SELECT current_setting('search_path')::varchar(200)");
        EXPECT_EQ(s.exec("SET search_path TO pg_catalog"), 0);
        EXPECT_EQ(s.exec("COMMIT"), 0);
        EXPECT_EQ(s.value("SELECT current_setting('search_path')::varchar(200)"), "pg_catalog");
    });
    auto s = open();
    ASSERT_EQ(s->value("SELECT pg_backend_pid()"), backend);
    EXPECT_EQ(s->value("SELECT current_setting('search_path')::varchar(200)"), before);
    s->end();
}

TEST_F(PoolServer, OpenTransactionIsRolledBackNotCommitted) {
    start_master();
    ASSERT_TRUE(prepare({"CREATE TABLE IF NOT EXISTS leak_rows (a int)", "DELETE FROM leak_rows"}));
    std::string backend =
        kept_backend([](Session &s) { EXPECT_EQ(s.exec("INSERT INTO leak_rows VALUES (1)"), 0); });
    auto s = open();
    ASSERT_EQ(s->value("SELECT pg_backend_pid()"), backend);
    EXPECT_EQ(s->value("SELECT count(*) FROM leak_rows"), "0");
    EXPECT_EQ(s->exec("COMMIT"), 0);
    s->end();
    auto other = open("pg_other");
    EXPECT_EQ(other->value("SELECT count(*) FROM leak_rows"), "0");
    other->end();
}

TEST_F(PoolServer, AdvisoryLockIsReleasedForTheNextSession) {
    start_master();
    std::string backend = kept_backend([](Session &s) {
        EXPECT_EQ(s.value("SELECT 1 FROM (SELECT pg_advisory_lock(4242)) l"), "1");
    });
    auto s = open();
    ASSERT_EQ(s->value("SELECT pg_backend_pid()"), backend);
    EXPECT_EQ(s->value("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory'"), "0");
    s->end();
}

TEST_F(PoolServer, RowLockIsReleasedForOtherSessions) {
    start_master();
    ASSERT_TRUE(prepare({"CREATE TABLE IF NOT EXISTS leak_locks (a int PRIMARY KEY)",
                         "INSERT INTO leak_locks VALUES (1) ON CONFLICT DO NOTHING"}));
    std::string backend = kept_backend(
        [](Session &s) { EXPECT_EQ(s.value("SELECT a FROM leak_locks FOR UPDATE"), "1"); });
    auto reused = open();
    ASSERT_EQ(reused->value("SELECT pg_backend_pid()"), backend);
    auto other = open("pg_other");
    EXPECT_EQ(other->value("SELECT a FROM leak_locks FOR UPDATE NOWAIT"), "1");
    other->end();
    reused->end();
}

TEST_F(PoolServer, WrongPasswordNeverGetsTheKeptConnection) {
    start_master();
    std::string backend = kept_backend();
    auto wrong = open("pg", "not-the-password");
    EXPECT_NE(wrong->connect_rc, 0) << "the data source refuses it as without reuse";
    wrong->end();
    EXPECT_EQ(holders().size(), 1u) << "the holder still waits";
    auto right = open();
    ASSERT_EQ(right->connect_rc, 0);
    EXPECT_EQ(right->value("SELECT pg_backend_pid()"), backend);
    right->end();
}

TEST_F(PoolServer, DeadKeptConnectionIsDroppedAndTheSessionConnectsAfresh) {
    start_master();
    std::string backend = kept_backend();
    pid_t holder = holders().at(0);
    auto killer = open("pg_other");
    EXPECT_EQ(killer->value("SELECT pg_terminate_backend(" + backend + ")::varchar(5)"), "true");
    killer->end();
    auto s = open();
    ASSERT_EQ(s->connect_rc, 0);
    std::string now = s->value("SELECT pg_backend_pid()");
    EXPECT_FALSE(now.empty());
    EXPECT_NE(now, backend);
    EXPECT_TRUE(eventually([&] { return !process_alive(holder); })) << "the holder exits";
    s->end();
}

TEST_F(PoolServer, PoolMaxLimitsKeptConnections) {
    set_odbserver_value("pool_max", "1");
    start_master();
    auto a = open(), b = open();
    ASSERT_EQ(a->connect_rc, 0);
    ASSERT_EQ(b->connect_rc, 0);
    a->end();
    ASSERT_TRUE(wait_holders(1));
    b->end();
    ASSERT_TRUE(wait_recorded(2)) << "the second gateway exits, the spare stays";
    EXPECT_EQ(holders().size(), 1u);
}

TEST_F(PoolServer, IdleHolderDisconnectsAndExits) {
    set_odbserver_value("pool_idle", "1");
    start_master();
    ASSERT_FALSE(kept_backend().empty());
    pid_t holder = holders().at(0);
    EXPECT_TRUE(eventually([&] { return !process_alive(holder); }));
    EXPECT_TRUE(holders().empty());
}

TEST_F(PoolServer, PoolOffKeepsNothing) {
    set_odbserver_value("pool", "false");
    start_master();
    auto s = open();
    ASSERT_EQ(s->connect_rc, 0);
    std::string backend = s->value("SELECT pg_backend_pid()");
    pid_t gateway = s->start_pid;
    s->end();
    EXPECT_TRUE(eventually([&] { return !process_alive(gateway); })) << "it exits as before";
    EXPECT_TRUE(holders().empty());
    EXPECT_TRUE(sockets_in_root().empty()) << "no holder socket is ever made";
    auto next = open();
    EXPECT_NE(next->value("SELECT pg_backend_pid()"), backend);
    next->end();
}

// A holder between clients serves nobody: it counts for no client address,
// neither against the per-host cap nor among the live sessions; the client
// it takes next counts again.
TEST_F(PoolServer, IdleHolderCountsForNoClientAddress) {
    set_port_server_value("max_per_host", "1");
    start_master();
    ASSERT_FALSE(kept_backend().empty());
    EXPECT_TRUE(eventually([&] { return live_sessions() == "0"; }));
    std::string listed = "," + std::to_string(holders().at(0)) + ",";
    auto s = open();
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->connect_rc, 0);
    EXPECT_TRUE(holders().empty()) << "the holder took the client";
    // Until the claimant's RemUser its own record is the live one.
    EXPECT_TRUE(eventually([&] {
        std::vector<std::string> lines = sessions();
        return lines.size() == 1 && lines[0].find(listed) != std::string::npos;
    }));
    // The claimant's port counts until it has exited and been reaped.
    EXPECT_TRUE(eventually([&] { return live_sessions() == "1"; })) << live_sessions();
    EXPECT_EQ(request(), -1) << "the holder now counts for its new client's address";
    s->end();
}

// An encrypted session's state cannot travel with its socket: a TLS client
// is never offered to the holder, its own gateway connects, and the holder
// keeps waiting for a plain client.
TEST_F(PoolServer, TlsClientIsNeverHandedOverAndConnectsItself) {
    TlsCerts certs;
    std::filesystem::create_directories(root_ + "/certs");
    ASSERT_TRUE(certs.make(root_ + "/certs"));
    for (const auto &[name, value] : std::vector<std::pair<std::string, std::string>>{
             {"tls", "allow"}, {"tls_cert", certs.server_cert}, {"tls_key", certs.server_key}})
        ASSERT_EQ(store_->set_value(vnx::kNetServerKey, name, value), 0);
    start_master();
    std::string backend = kept_backend();
    ASSERT_FALSE(backend.empty());
    Session s;
    dqp::ConnectOptions o;
    o.tls.mode = dqp::TlsMode::Require;
    o.timeout_ms = 60000;
    std::string err;
    s.conn = dqp::open_session("127.0.0.1", base_, "odb", &err, nullptr, &o);
    ASSERT_NE(s.conn, nullptr) << err;
    ASSERT_TRUE(s.conn->encrypted());
    s.sql = std::make_unique<dqp::SqlClient>(*s.conn);
    ASSERT_EQ(s.sql->start("tester", "", &s.start_pid), 0);
    s.connect_rc = s.sql->connect("pg", "vnx", "secret");
    ASSERT_EQ(s.connect_rc, 0);
    std::string own = s.value("SELECT pg_backend_pid()");
    EXPECT_FALSE(own.empty());
    EXPECT_NE(own, backend);
    EXPECT_EQ(holders().size(), 1u) << "the holder still waits";
    s.end();
}

TEST_F(PoolServer, SqliteSessionsPassThroughWithPoolOn) {
    start_master();
    auto s = open("lite", "");
    ASSERT_EQ(s->connect_rc, 0);
    EXPECT_EQ(s->value("SELECT 41 + 1"), "42");
    pid_t gateway = s->start_pid;
    s->end();
    EXPECT_TRUE(eventually([&] { return !process_alive(gateway); }));
    EXPECT_TRUE(holders().empty());
}

// A session that outlives "pool_lifetime" (counted from its connect) is
// not kept: its gateway disconnects and exits as without reuse.
TEST_F(PoolServer, ConnectionOlderThanItsLifetimeIsNotKept) {
    set_odbserver_value("pool_lifetime", "1");
    start_master();
    auto s = open();
    ASSERT_EQ(s->connect_rc, 0);
    EXPECT_EQ(s->value("SELECT 1 FROM pg_sleep(1.5)"), "1");
    pid_t gateway = s->start_pid;
    s->end();
    EXPECT_TRUE(eventually([&] { return !process_alive(gateway); }));
    EXPECT_TRUE(holders().empty());
}

// A kept connection checks only the password its login used: a revoked
// login reaches it when "pool_lifetime" ends it (the holder exits long
// before "pool_idle"), and the next CONNECT meets the server's refusal.
TEST_F(PoolServer, RevokedLoginTakesEffectOnceTheLifetimeEnds) {
    set_odbserver_value("pool_lifetime", "3");
    start_master();
    struct Case {
        const char *role, *change, *refusal;
    } cases[] = {
        {"vnx_nologin", "NOLOGIN", "not permitted to log in"},
        {"vnx_repassword", "PASSWORD 'changed'", "password authentication failed"},
    };
    for (const Case &c : cases) {
        const std::string role = c.role;
        ASSERT_TRUE(prepare(
            {"DROP ROLE IF EXISTS " + role, "CREATE ROLE " + role + " LOGIN PASSWORD 'old'"}));
        auto first = open("pg", "old", role);
        ASSERT_EQ(first->connect_rc, 0) << role;
        pid_t holder = first->start_pid;
        first->end();
        ASSERT_TRUE(eventually([&] {
            auto now = holders();
            return std::find(now.begin(), now.end(), holder) != now.end();
        })) << role;
        ASSERT_TRUE(prepare({"ALTER ROLE " + role + " " + c.change}));
        EXPECT_TRUE(eventually([&] { return !process_alive(holder); })) << role;
        auto again = open("pg", "old", role);
        EXPECT_NE(again->connect_rc, 0) << role;
        std::string why;
        EXPECT_EQ(again->sql->maperror(&why), 0);
        EXPECT_NE(why.find(c.refusal), std::string::npos) << role << ": " << why;
        again->end();
    }
}

// Backends stopped (SIGSTOP) under n kept connections: the next CONNECT
// still gets a connection of its own, and every holder gives its
// connection up and exits. Prints the CONNECT times of the run.
void PoolServer::connect_past_stopped_backends(size_t n) {
    start_master();
    std::vector<std::unique_ptr<Session>> kept;
    std::vector<pid_t> backends;
    for (size_t i = 0; i < n; i++) {
        kept.push_back(open());
        ASSERT_EQ(kept.back()->connect_rc, 0);
        backends.push_back(atoi(kept.back()->value("SELECT pg_backend_pid()").c_str()));
    }
    const double fresh_ms = kept[0]->connect_ms;
    for (auto &s : kept)
        s->end();
    ASSERT_TRUE(wait_holders(n));
    auto reused = open();
    ASSERT_EQ(reused->connect_rc, 0);
    const double reused_ms = reused->connect_ms;
    reused->end();
    ASSERT_TRUE(wait_holders(n));
    const std::vector<pid_t> holding = holders();
    struct Resume {
        const std::vector<pid_t> &pids;
        ~Resume() {
            for (pid_t p : pids)
                kill(p, SIGCONT);
        }
    } resume{backends};
    for (pid_t b : backends)
        ASSERT_EQ(kill(b, SIGSTOP), 0);
    auto s = open();
    ASSERT_EQ(s->connect_rc, 0);
    pid_t own = atoi(s->value("SELECT pg_backend_pid()").c_str());
    EXPECT_GT(own, 0);
    EXPECT_EQ(std::find(backends.begin(), backends.end(), own), backends.end());
    EXPECT_TRUE(eventually([&] {
        return std::none_of(holding.begin(), holding.end(), process_alive);
    })) << "the holders of stopped backends exit";
    printf(
        "[ figures  ] CONNECT past %zu stopped holder(s): %.1f ms (fresh %.1f ms, handed to a "
        "live holder %.1f ms)\n",
        n, s->connect_ms, fresh_ms, reused_ms);
    s->end();
}

TEST_F(PoolServer, StoppedBackendUnderAKeptConnectionIsPassedBy) {
    connect_past_stopped_backends(1);
}

TEST_F(PoolServer, EightStoppedBackendsUnderKeptConnectionsArePassedBy) {
    connect_past_stopped_backends(8);
}

// The same reuse on a throwaway MariaDB server.
class PoolMariadb : public PoolServer {
  protected:
    void SetUp() override {
        Master::SetUp();
        start_server(Source::Mariadb);
        if (IsSkipped() || HasFailure()) return;
        use_sqlite_dsn("lite", "lite.db");  // sets the gateways' ODBC folder up
        std::ofstream(root_ + "/odbc.ini", std::ios::app)
            << "[my]\n"
            << server_of(Source::Mariadb).dsn_body() << "\n";
        set_spares(1);
        set_odbserver_value("pool", "true");
    }
    // Ends the session and waits until its gateway either holds its
    // connection or has exited: true when it holds it.
    bool ended_and_kept(std::unique_ptr<Session> s) {
        pid_t gateway = s->start_pid;
        s->end();
        bool settled = eventually([&] { return !holders().empty() || !process_alive(gateway); });
        EXPECT_TRUE(settled);
        return !holders().empty();
    }
};

// Kept or not (the driver's reset must really clear the session for it to
// be kept), the next session never sees the last one's user variable or
// temporary table.
TEST_F(PoolMariadb, SessionVariableAndTemporaryTableNeverReachTheNextSession) {
    start_master();
    auto first = open("my");
    ASSERT_EQ(first->connect_rc, 0);
    std::string id = first->value("SELECT CONNECTION_ID()");
    ASSERT_EQ(first->exec("SET @leak = 42"), 0);
    ASSERT_EQ(first->exec("CREATE TEMPORARY TABLE leak_tmp (a int)"), 0);
    ASSERT_EQ(first->value("SELECT @leak"), "42");
    bool kept = ended_and_kept(std::move(first));
    auto next = open("my");
    ASSERT_EQ(next->connect_rc, 0);
    EXPECT_EQ(next->value("SELECT CONNECTION_ID()") == id, kept)
        << "a kept connection serves the next session, else it is a new one";
    EXPECT_EQ(next->value("SELECT @leak IS NULL"), "1");
    EXPECT_EQ(next->exec("CREATE TEMPORARY TABLE leak_tmp (a int)"), 0) << "no table left over";
    next->end();
}

}  // namespace
