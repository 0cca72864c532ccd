// Gateways that require a login, through a real master: a console user's
// session works; a refused START closes the connection, records nothing in
// users.db, logs the client's address and frees the port.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "client/dqp_client.h"
#include "master_harness.h"
#include "support/password.h"

using namespace vnxtest;
using dqp::Reply;

namespace {

class LoginMaster : public Master {
  protected:
    void SetUp() override {
        Master::SetUp();
        use_sqlite_dsn("vnxlogin", "login.db");
        std::string hash;
        ASSERT_EQ(vnx::hash_password("right pw", &hash), 0);
        store_->set_value(std::string(vnx::kUsersKey) + "\\alice", "password", hash);
    }
    void TearDown() override {
        unsetenv("ODBCSYSINI");
        unsetenv("ODBCINI");
        Master::TearDown();
    }
    void require_login(const char *value) {
        store_->set_value(std::string(vnx::kRootKey) + "\\ODBServer", "require_login", value);
    }
    Reply start(dqp::Connection &c, const std::string &user, const std::string &password) {
        Reply r;
        EXPECT_EQ(c.request('A', 0, {"", user, password}, &r), 0) << c.error();
        return r;
    }
    // A refused START: NOK after at least the delay, the connection closed,
    // no session in users.db, the refusal in the master's standard error
    // (which its gateways share) with the client's address, and the port
    // free again once the gateway has gone.
    void expect_refused(const std::string &user, const std::string &password) {
        std::string err;
        int port = 0;
        auto c = dqp::open_session("127.0.0.1", base_, "odb", &err, &port);
        ASSERT_NE(c, nullptr) << err;
        auto users_db_size = std::filesystem::file_size(users_db());
        auto sent = std::chrono::steady_clock::now();
        Reply r = start(*c, user, password);
        EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::seconds(1));
        EXPECT_EQ(r.type, 'N');
        EXPECT_TRUE(c->peer_closed(5000));
        EXPECT_TRUE(sessions().empty());
        EXPECT_EQ(std::filesystem::file_size(users_db()), users_db_size);
        std::string log = read_file(root_ + "/master0.err");
        EXPECT_NE(log.find("START refused for user \"" + user.substr(0, 3) +
                           "...\" from 127.0.0.1 (port " + std::to_string(port) + ")"),
                  std::string::npos)
            << log;
        EXPECT_EQ(log.find(password), std::string::npos) << "the password is logged";
        EXPECT_TRUE(wait_recorded(0));
        EXPECT_EQ(request(), port);  // lowest free port first: it was freed
    }
};

}  // namespace

TEST_F(LoginMaster, ConsoleUserLogsInAndRunsSql) {
    require_login("true");
    start_master();
    std::string err;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(c, nullptr) << err;
    Reply r = start(*c, "Alice", "right pw");  // user names in any case
    ASSERT_EQ(r.type, 'Y');
    ASSERT_EQ(sessions().size(), 1u);
    EXPECT_EQ(sessions()[0].rfind("Alice,ODBC,127.0.0.1,", 0), 0u);
    ASSERT_EQ(c->request('C', 0, {"odb", "", "", "vnxlogin"}, &r), 0);
    ASSERT_EQ(r.type, 'Y') << "CONNECT";
    int32_t h = r.info;
    ASSERT_EQ(c->request('G', h, {"CREATE TABLE t (id INTEGER)"}, &r), 0);
    EXPECT_EQ(r.type, 'Y');
}

TEST_F(LoginMaster, WrongPasswordIsRefusedAndLeavesNothing) {
    require_login("true");
    start_master();
    expect_refused("alice", "wrong pw");
}

TEST_F(LoginMaster, UnknownUserIsRefusedAndLeavesNothing) {
    require_login("true");
    start_master();
    expect_refused("mallory", "right pw");
}

// A warm spare is started before its client comes: it must follow the
// setting as it is when the client comes, not as it was at its start.
TEST_F(LoginMaster, SpareStartedBeforeTheSettingFollowsIt) {
    set_spares(1);
    start_master();
    ASSERT_TRUE(wait_recorded(1));
    require_login("true");
    std::string err;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(c, nullptr) << err;
    EXPECT_EQ(start(*c, "alice", "wrong pw").type, 'N');
    EXPECT_TRUE(c->peer_closed(5000));
    EXPECT_TRUE(sessions().empty());
}

TEST_F(LoginMaster, WithoutTheSettingAnyUserStartsAsBefore) {
    start_master();
    std::string err;
    auto c = dqp::open_session("127.0.0.1", base_, "odb", &err);
    ASSERT_NE(c, nullptr) << err;
    EXPECT_EQ(start(*c, "mallory", "").type, 'Y');
    EXPECT_EQ(sessions().size(), 1u);
}
