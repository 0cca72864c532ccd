// The activity list from users.db, the status text, the stop question, Kill.
#include "console/core/activity.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "console_fixture.h"

using namespace vnx::console;
using consoletest::StoreTest;

extern char **environ;

namespace {

vnx::SessionRecord record(char status, const std::string &name, const std::string &type, int gid,
                          int uid, int pid, int port) {
    vnx::SessionRecord r;
    r.status = status;
    r.name = name;
    r.type_field = type;
    r.gid = gid;
    r.uid = uid;
    r.process = pid;
    r.port = port;
    r.login_date = "07/12/2026";
    r.login_time = "14:05:09";
    return r;
}

std::string users_db(const std::vector<vnx::SessionRecord> &records, bool end_marker = true) {
    std::string bytes(vnx::SESSION_HEADER_SIZE, '\0');
    for (const auto &r : records) {
        unsigned char buf[vnx::SESSION_RECORD_SIZE];
        vnx::encode_session_record(r, buf);
        bytes.append(reinterpret_cast<char *>(buf), sizeof buf);
    }
    if (end_marker) bytes += '\x1A';
    return bytes;
}

class Activity : public StoreTest {};

}  // namespace

TEST_F(Activity, LiveRowsInSlotOrderWithEveryColumn) {
    write_file(root_ + "/users.db",
               users_db({record(' ', "alice", "ODB10.1.2.3", -1, -1, 4242, 5001),
                         record('*', "gone", "ODB10.1.2.4", 1, 2, 4243, 5002),
                         record(' ', "bob", "ora192.168.0.9", 3, 7, 4244, 5003),
                         record(' ', "carol", "XYZ127.0.0.1", -1, 5, 4245, 5004)}));
    std::vector<ActivityRow> rows;
    ASSERT_EQ(read_activity(users_db_path(*store_), &rows), 0);
    ASSERT_EQ(rows.size(), 3u);  // the freed slot is skipped
    const std::array<std::string, 7> alice = {
        "alice", "ODBC", "4242", "5001", "10.1.2.3", "07/12/2026 14:05:09", ""};
    EXPECT_EQ(rows[0].cells, alice);
    EXPECT_EQ(rows[1].cells[1], "Oracle");  // code upper-cased before the look-up
    EXPECT_EQ(rows[1].cells[4], "192.168.0.9");
    EXPECT_EQ(rows[1].cells[6], "[3,7]");
    EXPECT_EQ(rows[2].cells[1], "XYZ");     // unknown code as stored
    EXPECT_EQ(rows[2].cells[6], "[-1,5]");  // one id negative: both shown
    EXPECT_EQ(row_process(rows[2]), 4245);
}

TEST(ActivityType, NamesOfEveryCodeAndUnknownCodesAsStored) {
    const std::pair<const char *, const char *> names[] = {
        {"ORA1.2.3.4", "Oracle"}, {"syb1.2.3.4", "Sybase"}, {"INF1.2.3.4", "Informix"},
        {"ING1.2.3.4", "Ingres"}, {"DB21.2.3.4", "db2"},    {"Rec1.2.3.4", "Tavorin"},
        {"ODB1.2.3.4", "ODBC"},   {"ab1.2.3.4", "ab1"},     {"ab", "ab"}};
    for (const auto &[field, name] : names)
        EXPECT_EQ(server_type_text(field), name) << field;
}

TEST_F(Activity, EmptyRegistryGivesNoRowsAndFullAvailability) {
    write_file(root_ + "/users.db", users_db({}));
    store_->set_value(vnx::kRootKey, "DB_DQPBASE", "5000");
    store_->set_value(vnx::kRootKey, "DB_DQPMAX", "5101");
    std::vector<ActivityRow> rows;
    EXPECT_EQ(read_activity(users_db_path(*store_), &rows), 0);
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(activity_status_text(*store_, 0),
              "0 active connection(s). 101 available connection(s).");
    EXPECT_EQ(activity_status_text(*store_, 2),
              "2 active connection(s). 99 available connection(s).");
}

TEST_F(Activity, StatusTextReadsAbsentOrGarbledBoundsAsZero) {
    EXPECT_EQ(activity_status_text(*store_, 0),
              "0 active connection(s). 0 available connection(s).");
    store_->set_value(vnx::kRootKey, "DB_DQPBASE", "abc");
    store_->set_value(vnx::kRootKey, "DB_DQPMAX", "100x");
    EXPECT_EQ(activity_status_text(*store_, 1),
              "1 active connection(s). 99 available connection(s).");
}

TEST_F(Activity, MissingShortOrGarbageRegistryNeverFails) {
    std::vector<ActivityRow> rows;
    EXPECT_EQ(read_activity(root_ + "/users.db", &rows), -1);  // missing
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(read_activity("", &rows), -1);  // no DB_ROOT

    write_file(root_ + "/users.db", std::string(300, '\0'));  // shorter than the header
    EXPECT_EQ(read_activity(root_ + "/users.db", &rows), 0);
    EXPECT_TRUE(rows.empty());

    // One whole live record, then half a record: only the whole one shows.
    std::string bytes = users_db({record(' ', "whole", "ODB1.1.1.1", -1, -1, 9, 5001)}, false);
    bytes += std::string(50, ' ');
    write_file(root_ + "/users.db", bytes);
    EXPECT_EQ(read_activity(root_ + "/users.db", &rows), 0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].cells[0], "whole");

    // Garbage without any terminator: texts end with their 25-byte fields.
    std::string garbage(vnx::SESSION_HEADER_SIZE, 'Q');
    garbage += std::string(vnx::SESSION_RECORD_SIZE * 3, ' ');
    write_file(root_ + "/users.db", garbage);
    EXPECT_EQ(read_activity(root_ + "/users.db", &rows), 0);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].cells[0], std::string(25, ' '));
    EXPECT_EQ(rows[0].cells[4], std::string(22, ' '));
}

TEST(StopQuestion, NoneSingularAndPlural) {
    EXPECT_EQ(stop_question(0), "");
    EXPECT_EQ(stop_question(1),
              "     There is 1 connection active.\nAre you sure you want to stop the server?");
    EXPECT_EQ(stop_question(2),
              "   There are 2 connections active.\nAre you sure you want to stop the server?");
}

TEST(ActivityTitle, NamesTheHostWithoutDomain) {
    const std::string title = activity_title();
    EXPECT_EQ(title.rfind("Current Activity", 0), 0u);
    EXPECT_EQ(title.find('.'), std::string::npos);
}

TEST_F(Activity, KillSignalsOurGatewayAndRefusesAnEndedOne) {
    char arg0[] = "sleep", arg1[] = "30";
    char *argv[] = {arg0, arg1, nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawnp(&child, "sleep", nullptr, nullptr, argv, environ), 0);
    ASSERT_GT(child, 0);
    ConsoleMessage msg;
    ASSERT_EQ(kill_gateway(child, root_, &msg), 0) << msg.text;  // a child of ours
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);

    // The same pid, now reaped: no longer a gateway, never signalled.
    EXPECT_EQ(kill_gateway(child, root_, &msg), -1);
    EXPECT_EQ(msg.caption, "Connection Information");
    EXPECT_NE(msg.text.find(std::to_string(child)), std::string::npos);
    EXPECT_EQ(kill_gateway(0, root_, &msg), -1);
    EXPECT_EQ(kill_gateway(-1, root_, &msg), -1);
}
