// vnxadmin's console subcommands as a real process: the console's checks and
// messages, readable tables, and nothing written on a refusal.
#include <poll.h>
#include <pty.h>

#include "master/session_registry.h"
#include "support/config_cache.h"
#include "support/password.h"
#include "vnxadmin_harness.h"

using vnxtest::Result;

namespace {

class VnxadminConsole : public vnxtest::VnxadminTest {
  protected:
    void SetUp() override {
        VnxadminTest::SetUp();
        const Result r = run({"init", "--db-root", dir_, "--base-port", "5000"});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    // Runs and expects exit 1 with exactly the console's message on stderr
    // (after the warning that a password on the command line gets).
    void expect_refused(const std::vector<std::string> &args, const std::string &message) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 1) << args[0];
        std::string err = r.err;
        if (err.rfind(kArgumentWarning, 0) == 0) err.erase(0, err.find('\n') + 1);
        EXPECT_EQ(err, "vnxadmin: " + message + "\n");
    }
    static constexpr const char *kArgumentWarning =
        "vnxadmin: warning: a password on the command line can be read by every user";
    void ok(const std::vector<std::string> &args) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
    }
    // Makes DB_ROOT an installation: an executable odbserver in it.
    void install_gateway() {
        std::ofstream(dir_ + "/odbserver") << "#!/bin/sh\n";
        std::filesystem::permissions(dir_ + "/odbserver", std::filesystem::perms(0755));
    }
    void write_users_db(const std::vector<vnx::SessionRecord> &records) {
        std::string bytes(vnx::SESSION_HEADER_SIZE, '\0');
        for (const auto &rec : records) {
            unsigned char buf[vnx::SESSION_RECORD_SIZE];
            vnx::encode_session_record(rec, buf);
            bytes.append(reinterpret_cast<char *>(buf), sizeof buf);
        }
        std::ofstream(dir_ + "/users.db", std::ios::binary) << bytes;
    }
};

vnx::SessionRecord live(const std::string &name, int pid, int port) {
    vnx::SessionRecord r;
    r.status = vnx::SESSION_LIVE;
    r.name = name;
    r.type_field = "ODB10.0.0.7";
    r.process = pid;
    r.port = port;
    r.login_date = "07/12/2026";
    r.login_time = "15:00:00";
    return r;
}

}  // namespace

TEST_F(VnxadminConsole, SettingsShowAndSetWithTheConsolesChecks) {
    // A fresh installation has no date format: one setting alone is refused.
    expect_refused({"settings", "set", "record-sets", "20"},
                   "You must specify a system date format.");
    ok({"settings", "set", "record-sets", "20", "date-format", "british"});
    const Result shown = run({"settings", "show"});
    EXPECT_NE(shown.out.find("date-format       British  NetServer\\DB_DATE\n"), std::string::npos)
        << shown.out;
    EXPECT_EQ(shown.out.rfind("NAME ", 0), 0u);

    expect_refused({"settings", "set", "base-port", "50x0"},
                   "The base port address must be a number from 1 to 65535.");
    expect_refused({"settings", "set", "base-port", "70000"},
                   "The base port address must be a number from 1 to 65535.");
    expect_refused({"settings", "set", "max-port", "4000"},
                   "The maximum port address must be above the base port address.");
    expect_refused({"settings", "set", "base-port", ""}, "You must specify the base port address.");
    EXPECT_EQ(run({"reg", "get", "", "DB_DQPBASE"}).out, "5000\n");
    EXPECT_EQ(run({"reg", "get", "", "DB_DQPMAX"}).out, "5101\n");
    EXPECT_EQ(run({"settings", "set", "no-such", "1"}).status, 2);
}

TEST_F(VnxadminConsole, UsersAndGroupsRefuseWhatTheDialogsRefuse) {
    ok({"groups", "add", "staff", "--id", "2"});
    expect_refused({"groups", "add", "STAFF", "--id", "3"}, "Group name already exists.");
    expect_refused({"groups", "add", "ops", "--id", "x"}, "The group ID must be a number.");
    ok({"users", "add", "Ann", "--password", "pw", "--id", "7", "--group", "staff"});
    expect_refused({"users", "add", "ANN", "--password", "pw", "--id", "8", "--group", "staff"},
                   "User name already exists.");
    expect_refused({"users", "add", "bob", "--id", "8", "--group", "staff"},
                   "You must specify a user password.");
    expect_refused({"users", "add", "bob", "--password", "pw", "--id", "8a", "--group", "staff"},
                   "The user ID must be a number.");
    expect_refused({"users", "add", "bob", "--password", "pw", "--id", "8", "--group", "sta"},
                   "Group name not found");
    ok({"users", "change", "ann", "--id=9"});
    EXPECT_EQ(run({"users", "list"}).out,
              "Name  User ID  Group name  Password\n"
              "Ann   9        staff       ********\n");

    const Result deleted = run({"groups", "delete", "staff"});
    EXPECT_EQ(deleted.status, 0);
    EXPECT_NE(deleted.err.find("Ann"), std::string::npos);  // told who still names it
    expect_refused({"users", "change", "ann", "--password", "new"}, "Group name not found");
    EXPECT_EQ(run({"users", "list"}).out.find("new"), std::string::npos);
    ok({"users", "delete", "ann"});
    EXPECT_EQ(run({"users", "list"}).out, "Name  User ID  Group name  Password\n");
}

// A password on the command line is visible in /proc to every user: read
// from standard input instead, and the argument form still works but warns.
TEST_F(VnxadminConsole, UsersTakeThePasswordFromStandardInput) {
    ok({"groups", "add", "staff", "--id", "2"});
    Result r = run({"users", "add", "ann", "--password-stdin", "--id", "7", "--group", "staff"},
                   "first pw\r\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    r = run({"users", "change", "ann", "--password-stdin"}, "second pw");  // no line end
    EXPECT_EQ(r.status, 0) << r.err;
    r = run({"users", "add", "bob", "--password", "third pw", "--id", "8", "--group", "staff"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.rfind(kArgumentWarning, 0), 0u) << r.err;
    for (const auto &[user, password] :
         {std::pair<const char *, const char *>{"ann", "second pw"}, {"bob", "third pw"}}) {
        std::string stored;
        ASSERT_EQ(vnx::read_user_password(user, &stored), 0) << user;
        EXPECT_EQ(vnx::check_password(stored, password), vnx::PasswordCheck::kMatch) << user;
    }
    r = run({"users", "add", "cy", "--password-stdin", "--id", "9", "--group", "staff"}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vnxadmin: no password on standard input\n");
    r = run({"users", "add", "cy", "--password-stdin", "--password", "x", "--id", "9", "--group",
             "staff"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(run({"users", "list"}).out.find("cy "), std::string::npos);
}

// On a terminal, "users add" without a password option asks for it and
// does not show what is typed.
TEST_F(VnxadminConsole, UsersAddAsksOnATerminalWithoutEcho) {
    ok({"groups", "add", "staff", "--id", "2"});
    int terminal = -1;
    pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(VNX_VNXADMIN_PATH, "vnxadmin", "users", "add", "ann", "--id", "7", "--group", "staff",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string seen;
    auto read_more = [&] {
        pollfd p{terminal, POLLIN, 0};
        char buf[256];
        ssize_t n = poll(&p, 1, 10000) > 0 ? read(terminal, buf, sizeof buf) : -1;
        if (n > 0) seen.append(buf, static_cast<size_t>(n));
        return n > 0;
    };
    while (seen.find("Password: ") == std::string::npos && read_more()) {
    }
    ASSERT_NE(seen.find("Password: "), std::string::npos) << seen;
    ASSERT_EQ(write(terminal, "tty secret\r", 11), 11);
    while (read_more()) {
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(terminal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    EXPECT_EQ(seen.find("tty secret"), std::string::npos) << "echoed: " << seen;
    std::string stored;
    ASSERT_EQ(vnx::read_user_password("ann", &stored), 0);
    EXPECT_EQ(vnx::check_password(stored, "tty secret"), vnx::PasswordCheck::kMatch);
}

TEST_F(VnxadminConsole, UsersListNeverShowsAPasswordOrItsHash) {
    ok({"groups", "add", "staff", "--id", "2"});
    ok({"users", "add", "ann", "--password", "pw-secret", "--id", "7", "--group", "staff"});
    ok({"reg", "set", "NetServer\\Users\\old", "User ID", "8"});
    ok({"reg", "set", "NetServer\\Users\\old", "Group Name", "staff"});
    ok({"reg", "set", "NetServer\\Users\\old", "password", "clear-legacy"});
    const std::string listed = run({"users", "list"}).out;
    EXPECT_EQ(listed,
              "Name  User ID  Group name  Password\n"
              "ann   7        staff       ********\n"
              "old   8        staff       ********\n");
    const std::string stored = run({"reg", "get", "NetServer\\Users\\ann", "password"}).out;
    EXPECT_EQ(stored.rfind("pbkdf2-sha256$", 0), 0u) << stored;
    EXPECT_EQ(stored.find("pw-secret"), std::string::npos);

    ok({"users", "change", "old", "--id", "9"});  // the clear value is hashed now
    const std::string rehashed = run({"reg", "get", "NetServer\\Users\\old", "password"}).out;
    EXPECT_EQ(rehashed.rfind("pbkdf2-sha256$", 0), 0u) << rehashed;
    ok({"users", "change", "ann", "--group", "staff"});  // the hash is kept
    EXPECT_EQ(run({"reg", "get", "NetServer\\Users\\ann", "password"}).out, stored);
}

TEST_F(VnxadminConsole, UsersAndGroupsAddRefuseControlCharactersAndTakenIds) {
    ok({"groups", "add", "staff", "--id", "2"});
    expect_refused({"groups", "add", "st\taff2", "--id", "3"},
                   "A group name cannot contain control characters.");
    expect_refused({"groups", "add", "staff", "--id", "3"}, "Group name already exists.");
    expect_refused({"users", "add", "a\nb", "--password", "pw", "--id", "7", "--group", "staff"},
                   "A user name cannot contain control characters.");
    expect_refused({"users", "add", "ann", "--password", "p\x1bw", "--id", "7", "--group", "staff"},
                   "A password cannot contain control characters.");
    ok({"users", "add", "ann", "--password", "pw", "--id", "7", "--group", "staff"});
    expect_refused({"users", "add", "bob", "--password", "pw", "--id", "7", "--group", "staff"},
                   "User ID 7 is already in use by user ann.");
    EXPECT_EQ(run({"users", "list"}).out,
              "Name  User ID  Group name  Password\n"
              "ann   7        staff       ********\n");
    EXPECT_EQ(run({"groups", "list"}).out, "Name   Group ID\nstaff  2\n");
}

TEST_F(VnxadminConsole, NodesRegisterChangeRemove) {
    ok({"nodes", "add", "db1", "--login", "scott", "--password", "ti/ger"});
    expect_refused({"nodes", "add", "DB1", "--login", "x", "--password", "y"},
                   "Server already registered.");
    ok({"nodes", "change", "db1", "--password", "lion"});
    EXPECT_EQ(run({"nodes", "list"}).out,
              "Server  Login ID  Password\n"
              "db1     scott     ********\n");
    EXPECT_EQ(run({"reg", "get", "NetServer\\Nodes", "db1"}).out, "scott/lion\n");  // kept
    ok({"nodes", "delete", "db1"});
    expect_refused({"nodes", "delete", "db1"}, "Server not found.");
}

TEST_F(VnxadminConsole, ExportToDbRootAndImportBack) {
    install_gateway();  // an import checks that DB_ROOT is an installation
    ok({"reg", "set", "NetServer", "DB_NOTE", "a=b"});
    const Result exported = run({"export"});
    ASSERT_EQ(exported.status, 0) << exported.err;
    const std::string text = vnxtest::slurp(dir_ + "/VNX.reg");
    EXPECT_EQ(text.rfind("REGEDIT\n;Varnex registry file\nSOFTWARE\\Tavorin\\VNX\\DB_ROOT=", 0),
              0u);
    EXPECT_NE(text.find("SOFTWARE\\Tavorin\\VNX\\NetServer\\DB_NOTE=a=b\n"), std::string::npos);

    ok({"reg", "set", "NetServer", "DB_NOTE", "changed"});
    ok({"import"});
    EXPECT_EQ(run({"reg", "get", "NetServer", "DB_NOTE"}).out, "a=b\n");

    std::ofstream(dir_ + "/bad.reg") << "REGEDIT\nSOFTWARE\\Tavorin\\VNX\\DB_DQPBASE=1\ngarbage\n";
    const Result bad = run({"import", dir_ + "/bad.reg"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("line 3:"), std::string::npos) << bad.err;
    EXPECT_EQ(run({"reg", "get", "", "DB_DQPBASE"}).out, "5000\n");  // nothing written
}

TEST_F(VnxadminConsole, ImportRefusesAFileWithABadValueWholeNamingTheLine) {
    install_gateway();
    const std::string vnx = "SOFTWARE\\Tavorin\\VNX\\";
    std::ofstream(dir_ + "/in.reg") << "REGEDIT\n"
                                    << vnx << "NetServer\\\"a=b\"=c\n"
                                    << vnx << "DB_ROOT=/etc\n";
    Result r = run({"import", dir_ + "/in.reg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vnxadmin: Import file '" + dir_ +
                         "/in.reg' line 3: DB_ROOT \"/etc\" holds no odbserver program; copy "
                         "odbserver there; nothing was imported.\n");
    EXPECT_EQ(run({"reg", "list", "NetServer"}).out, "");

    std::ofstream(dir_ + "/in.reg") << "REGEDIT\n"
                                    << vnx << "NetServer\\\"a=b\"=c\n"
                                    << vnx << "DB_ROOT=" << dir_ << "\n";
    r = run({"import", dir_ + "/in.reg"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(run({"reg", "list", "NetServer"}).out, "a=b=c\n");
    EXPECT_EQ(run({"reg", "get", "NetServer", "a=b"}).out, "c\n");
}

TEST_F(VnxadminConsole, RegSetRefusesWhatAnImportWouldRefuse) {
    const struct {
        std::vector<std::string> args;
        std::string detail;
    } refused[] = {
        {{"reg", "set", "", "DB_DQPBASE", "-5"},
         "The base port address must be a number from 1 to 65535"},
        {{"reg", "set", "", "DB_ROOT", "/etc"},
         "DB_ROOT \"/etc\" holds no odbserver program; copy odbserver there"},
        {{"reg", "set", "NetServer", "note", std::string(9000, 'v')},
         "the value is longer than 8192 bytes"},
        {{"reg", "set", "NetServer/" + std::string(100000, 'k'), "x", "1"},
         "the key path is longer than 512 bytes"},
        {{"reg", "set", "NetServer", "two\nlines", "1"},
         "the value name holds a control character"},
    };
    for (const auto &[args, detail] : refused) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 2) << detail;  // a value the checks refuse: the caller's mistake
        EXPECT_NE(r.err.find("\ndetail: " + detail + "\nhint: nothing was written\n"),
                  std::string::npos)
            << r.err;
    }
    EXPECT_EQ(run({"reg", "list", ""}).out,
              "DB_ROOT=" + dir_ + "\nDB_DQPBASE=5000\nDB_DQPMAX=5101\n");
    EXPECT_EQ(run({"reg", "list", "NetServer"}).out, "");
    ok({"reg", "set", "NetServer", "DB_DATE", "german"});
    ok({"reg", "set", "", "DB_DQPMAX", "5200"});
}

TEST_F(VnxadminConsole, SessionsTableFromUsersDb) {
    EXPECT_EQ(run({"sessions"}).status, 1);  // no users.db yet
    vnx::SessionRecord freed = live("gone", 12, 5002);
    freed.status = vnx::SESSION_FREE;
    write_users_db({live("alice", 4242, 5001), freed});
    const Result r = run({"sessions"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "Connection  Type  Process ID  Port number  Client TCP/IP  Login time           "
              "[GID,UID]\n"
              "alice       ODBC  4242        5001         10.0.0.7       07/12/2026 15:00:00  \n"
              "1 active connection(s). 100 available connection(s).\n");

    std::ofstream(dir_ + "/users.db", std::ios::binary) << std::string(5000, '\x7f');
    EXPECT_EQ(run({"sessions"}).status, 0);  // garbage shows what it can
}

TEST_F(VnxadminConsole, KillRefusesAPortWithoutSessionAndAPidThatIsNotOurs) {
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_GT(gone, 0);
    waitpid(gone, nullptr, 0);
    write_users_db({live("alice", gone, 5001)});
    expect_refused({"kill", "5009"}, "no live session on port 5009");
    const Result r = run({"kill", "5001"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is not a gateway of this server"), std::string::npos) << r.err;
    EXPECT_EQ(run({"kill", "50x"}).status, 2);
}

TEST_F(VnxadminConsole, ShortHelpWorksWhereLongHelpDoes) {
    for (const char *flag : {"-h", "--help"}) {
        for (const std::vector<std::string> &args : {std::vector<std::string>{flag},
                                                     {"users", flag},
                                                     {"users", "add", flag},
                                                     {"groups", "change", "x", flag}}) {
            const Result r = run(args);
            EXPECT_EQ(r.status, 0) << args.back();
            EXPECT_NE(r.out.find("vnxadmin users add NAME"), std::string::npos);
        }
    }
}
