// Logins at START when the gateway requires them: who gets in, what a
// refusal costs and leaves behind, and what is served before a login.
#include "runtime/login.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "client/dqp_client.h"
#include "protocol/trace.h"
#include "runtime/client_table.h"
#include "runtime/request_loop.h"
#include "support/password.h"
#include "support/settings_snapshot.h"
#include "support/temp_store.h"

using namespace vnx;
using dqp::Reply;

namespace {

std::vector<std::string> backend_calls;

int rec_start(int32_t *result, const char *, const char *user, const char *, const char *, int) {
    backend_calls.push_back(std::string("start ") + user);
    *result = 4242;
    return 0;
}
int rec_connect(int32_t *result, const char *, const char *, const char *, const char *, int32_t *,
                int) {
    backend_calls.push_back("connect");
    *result = 77;
    return 0;
}

// A store with console users, and the request loop over a socket pair with
// the login required (or not), its server log in a file of its own.
class Login : public ::testing::Test {
  protected:
    void SetUp() override {
        backend_calls.clear();
        auto store = temp_.open();
        ASSERT_NE(store, nullptr) << temp_.last_error;
        std::string hash;
        ASSERT_EQ(hash_password("s3cret", &hash, kMinPasswordIterations), 0);
        store->set_value(user_key("Alice"), "password", hash);
        store->set_value(user_key("legacy"), "PASSWORD", "tiger");  // older installation
        store->set_value(user_key("broken"), "password", "pbkdf2-sha256$1000$xx$yy");
        store->set_value(user_key("nopass"), "User ID", "4");
        log_path_ = temp_.path() + ".log";
    }
    void TearDown() override {
        if (conn_) conn_->close();
        if (loop_.joinable()) loop_.join();
        unlink(log_path_.c_str());
    }
    static std::string user_key(const std::string &name) {
        return std::string(kUsersKey) + "\\" + name;
    }
    void run_loop(bool login_required) {
        ops_.start = rec_start;
        ops_.connect = rec_connect;
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        int slot = attach_socket(fds[0], TRANSPORT_TCPIP);
        ASSERT_GE(slot, 0);
        client_slot(slot)->port = 5001;
        client_slot(slot)->peer_name = "192.0.2.7";
        ASSERT_EQ(dqp::open_log(log_path_), 0);
        loop_ = std::thread([slot, login_required, this] {
            dqp_request_loop(slot, &ops_, login_required);
            detach_from_client(slot);  // closes the log too
        });
        conn_ = dqp::Connection::adopt(fds[1], 10000);
    }
    Reply ask(int type, std::initializer_list<std::string_view> args = {}) {
        Reply r;
        EXPECT_EQ(conn_->request(type, 0, args, &r), 0) << conn_->error();
        return r;
    }
    // START refused: NOK, no sooner than the delay, the connection closed,
    // the backend never told, and the log naming the user and the address.
    void expect_refused(const std::string &user, const std::string &password,
                        const std::string &why) {
        auto sent = std::chrono::steady_clock::now();
        Reply r = ask('A', {"", user, password});
        auto elapsed = std::chrono::steady_clock::now() - sent;
        EXPECT_EQ(r.type, 'N');
        EXPECT_EQ(r.info, -1);
        EXPECT_GE(elapsed, std::chrono::milliseconds(kLoginFailureDelayMs));
        EXPECT_TRUE(conn_->peer_closed(5000));
        loop_.join();
        EXPECT_TRUE(backend_calls.empty());
        std::string log = read_log();
        std::string line =
            "START refused for user \"" + loggable_user(user) + "\" from 192.0.2.7: " + why;
        EXPECT_NE(log.find(line), std::string::npos) << log;
        if (!password.empty()) {
            EXPECT_EQ(log.find(password), std::string::npos) << "the log shows the password";
        }
    }
    std::string read_log() {
        FILE *f = fopen(log_path_.c_str(), "r");
        std::string text;
        if (f == nullptr) return text;
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
            text.append(buf, n);
        fclose(f);
        return text;
    }

    TempStore temp_;
    std::string log_path_;
    BackendOps ops_{};
    std::thread loop_;
    std::unique_ptr<dqp::Connection> conn_;
};

}  // namespace

TEST_F(Login, RightPasswordStartsTheSessionWithTheNameInAnyCase) {
    run_loop(true);
    Reply r = ask('A', {"", "ALICE", "s3cret"});
    EXPECT_EQ(r.type, 'Y');
    EXPECT_EQ(r.info, 4242);
    EXPECT_EQ(ask('C', {"odb", "", "", "dsn"}).type, 'Y');
    EXPECT_EQ(backend_calls, (std::vector<std::string>{"start ALICE", "connect"}));
}

TEST_F(Login, LegacyClearPasswordStillLogsIn) {
    run_loop(true);
    EXPECT_EQ(ask('A', {"", "legacy", "tiger"}).type, 'Y');
}

TEST_F(Login, WrongPasswordIsRefusedAndEndsTheGateway) {
    run_loop(true);
    expect_refused("alice", "s3cret ", "wrong password");
}

TEST_F(Login, UnknownUserIsRefused) {
    run_loop(true);
    expect_refused("mallory", "s3cret", "no such user with a password");
}

TEST_F(Login, UnreadableStoredHashIsRefusedEvenForItsOwnText) {
    run_loop(true);
    expect_refused("broken", "pbkdf2-sha256$1000$xx$yy", "the user's stored password is malformed");
}

TEST_F(Login, UserWithoutPasswordValueIsRefused) {
    run_loop(true);
    expect_refused("nopass", "", "no such user with a password");
}

// A user name that the store would read as a path to another key.
TEST_F(Login, NameHoldingAKeySeparatorIsRefused) {
    run_loop(true);
    expect_refused("x\\..\\Alice", "s3cret", "no such user with a password");
}

// A client that sends START with two arguments puts its password where the
// gateway looks for the user name: the log shows three characters of it.
TEST_F(Login, TwoArgumentStartLogsNoMoreThanThreeCharactersOfItsUserField) {
    run_loop(true);
    EXPECT_EQ(ask('A', {"alice", "s3cret-pw"}).type, 'N');
    EXPECT_TRUE(conn_->peer_closed(5000));
    loop_.join();
    std::string log = read_log();
    EXPECT_NE(log.find("START refused for user \"s3c...\" from 192.0.2.7"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("s3cret"), std::string::npos) << log;
}

TEST_F(Login, RequestsBeforeALoginAreRefusedWithoutTheBackend) {
    run_loop(true);
    Reply r = ask('C', {"odb", "", "", "dsn"});
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.args, (std::vector<std::string>{"0", "0"}));  // CONNECT's reply shape
    EXPECT_EQ(ask('O').args,
              std::vector<std::string>{"log in first: START with a user name and password"});
    EXPECT_TRUE(backend_calls.empty());
    EXPECT_EQ(ask('A', {"", "alice", "s3cret"}).type, 'Y');
    EXPECT_EQ(ask('C', {"odb", "", "", "dsn"}).type, 'Y');
}

// Pieces of a long statement before a login are refused without being held.
TEST_F(Login, PiecesBeforeALoginAreRefused) {
    run_loop(true);
    std::string text(20000, 'x');
    std::string_view args[] = {text};
    ASSERT_EQ(conn_->send('G', 0, args), 0) << conn_->error();
    Reply r;
    ASSERT_EQ(conn_->receive(&r), 0) << conn_->error();
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(ask('O').args,
              std::vector<std::string>{"log in first: START with a user name and password"});
    EXPECT_TRUE(backend_calls.empty());
}

TEST_F(Login, OffStartsAnyUserAsBefore) {
    run_loop(false);
    EXPECT_EQ(ask('C', {"odb", "", "", "dsn"}).type, 'Y');  // no START needed first
    EXPECT_EQ(ask('A', {"", "mallory", "anything"}).type, 'Y');
    EXPECT_EQ(backend_calls, (std::vector<std::string>{"connect", "start mallory"}));
}

TEST(LoginSetting, EverySpellingOfOnRequiresALoginAndAnUnreadableValueToo) {
    TempStore temp;
    auto store = temp.open();
    ASSERT_NE(store, nullptr);
    const std::string key = std::string(kRootKey) + "\\ODBServer";
    EXPECT_FALSE(login_required("odb"));
    for (const char *off : {"", "false", "No", "OFF", "0"}) {
        store->set_value(key, "require_login", off);
        EXPECT_FALSE(login_required("odb")) << off;
    }
    // A switch that cannot be read fails closed.
    for (const char *on : {"true", "True", "TRUE", "1", "yes", "on", " true", "enabled"}) {
        store->set_value(key, "require_login", on);
        EXPECT_TRUE(login_required("odb")) << on;
    }
    // A gateway the master started: on in its snapshot or in the store is on.
    const std::string snapshot = temp.path() + ".snapshot";
    std::string why;
    setenv(kSettingsSnapshotEnv, snapshot.c_str(), 1);
    for (const auto &[handed, stored, on] :
         {std::tuple{"false", "true", true}, {"true", "false", true}, {"false", "no", false}}) {
        ASSERT_EQ(
            write_settings_snapshot(snapshot, {{"ODBServer", {{"require_login", handed}}}}, &why),
            0)
            << why;
        store->set_value(key, "require_login", stored);
        EXPECT_EQ(login_required("odb"), on) << handed << " " << stored;
    }
    unsetenv(kSettingsSnapshotEnv);
    std::remove(snapshot.c_str());
}

TEST(LoginLog, UserNamesFromTheWireCannotBreakTheLogLine) {
    EXPECT_EQ(loggable("alice"), "alice");
    EXPECT_EQ(loggable("a\nb\t\"c\\"), "a\\x0Ab\\x09\\x22c\\x5C");
    EXPECT_EQ(loggable("\xC3\xA9\x7F"), "\\xC3\\xA9\\x7F");
    EXPECT_EQ(loggable(std::string(64, 'u')), std::string(64, 'u'));
    EXPECT_EQ(loggable(std::string(65, 'u')), std::string(64, 'u') + "...");
    EXPECT_EQ(loggable_user("bob"), "bob");
    EXPECT_EQ(loggable_user("alice"), "ali...");
    EXPECT_EQ(loggable_user("\n\"x"), "\\x0A\\x22x");
}
