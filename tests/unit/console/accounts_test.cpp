// Users and groups: every check of the dialogs and what each change writes.
#include "console/core/accounts.h"

#include "console_fixture.h"

using namespace vnx::console;
using consoletest::StoreTest;

namespace {

class Accounts : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        ConsoleMessage msg;
        ASSERT_EQ(add_group(*store_, {"admins", "1"}, &msg), 0) << msg.text;
        ASSERT_EQ(add_group(*store_, {"staff", "2"}, &msg), 0) << msg.text;
    }
    // Adds (or changes) and expects the user-page refusal `text`.
    void expect_user_refused(UserInfo u, const std::string &text,
                             DialogMode mode = DialogMode::kNew) {
        ConsoleMessage msg;
        const int rc =
            mode == DialogMode::kNew ? add_user(*store_, u, &msg) : change_user(*store_, u, &msg);
        EXPECT_EQ(rc, -1) << u.name;
        EXPECT_EQ(msg.caption, "User Information");
        EXPECT_EQ(msg.text, text);
    }
    std::string user_key(const std::string &name) { return std::string(kUsersKey) + "\\" + name; }
};

}  // namespace

TEST_F(Accounts, UserDialogChecksInOrder) {
    expect_user_refused({" ", "", "", ""}, "You must specify a user name.");
    expect_user_refused({"ann", "  ", "", ""}, "You must specify a user password.");
    expect_user_refused({"ann", "", "staff", "pw"}, "You must specify a user ID number.");
    expect_user_refused({"ann", "7", "", "pw"}, "You must specify a group name.");
    expect_user_refused({"ann", "7x", "staff", "pw"}, "The user ID must be a number.");
    expect_user_refused({"ann", "-7", "staff", "pw"}, "The user ID must be a number.");
    expect_user_refused({"ann", "7", "nobody", "pw"}, "Group name not found");
    expect_user_refused({"ann", "7", "adm", "pw"}, "Group name not found");  // no prefix match
    EXPECT_FALSE(store_->key_exists(kUsersKey));
}

TEST_F(Accounts, NewUserWritesItsSubkeyAsTyped) {
    ConsoleMessage msg;
    ASSERT_EQ(add_user(*store_, {" ann ", "1234", "STAFF", " pw "}, &msg), 0) << msg.text;
    EXPECT_EQ(values(user_key("ann")), (vnx::ValueList{{"User ID", "1234"},  // above 999: as typed
                                                       {"Group Name", "staff"},
                                                       {"password", "pw"}}));
    std::vector<UserInfo> users;
    ASSERT_EQ(load_users(*store_, &users, &msg), 0);
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].name, "ann");
    EXPECT_EQ(users[0].user_id, "1234");
}

TEST_F(Accounts, DuplicateUserNamesInAnyCaseAreRefused) {
    ConsoleMessage msg;
    ASSERT_EQ(add_user(*store_, {"Alice", "1", "staff", "pw"}, &msg), 0);
    expect_user_refused({"alice", "2", "staff", "pw"}, "User name already exists.");
    expect_user_refused({"ALICE", "2", "staff", "pw"}, "User name already exists.");
    EXPECT_EQ(value(user_key("Alice"), "User ID"), "1");
}

TEST_F(Accounts, UserNamesThatWouldNameAnotherKeyAreRefused) {
    const char *text = "A user name can have at most 128 characters and no \"\\\" or \"/\".";
    expect_user_refused({"a\\b", "1", "staff", "pw"}, text);
    expect_user_refused({"../x", "1", "staff", "pw"}, text);
    expect_user_refused({std::string(129, 'u'), "1", "staff", "pw"}, text);
    ConsoleMessage msg;
    EXPECT_EQ(add_user(*store_, {std::string(128, 'u'), "1", "staff", "pw"}, &msg), 0);
}

TEST_F(Accounts, LoadReadsValueNamesInAnyCaseAndIgnoresOthers) {
    store_->set_value(user_key("old"), "USER ID", "5");
    store_->set_value(user_key("old"), "group name", "staff");
    store_->set_value(user_key("old"), "PassWord", "secret");
    store_->set_value(user_key("old"), "Comment", "ignored");
    std::vector<UserInfo> users;
    ConsoleMessage msg;
    ASSERT_EQ(load_users(*store_, &users, &msg), 0);
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].user_id, "5");
    EXPECT_EQ(users[0].group, "staff");
    EXPECT_EQ(users[0].password, "secret");
}

TEST_F(Accounts, ChangeRewritesTheSubkeyAndDeleteRemovesIt) {
    ConsoleMessage msg;
    ASSERT_EQ(add_user(*store_, {"ann", "1", "staff", "pw"}, &msg), 0);
    store_->set_value(user_key("ann"), "Comment", "dropped on change");
    ASSERT_EQ(change_user(*store_, {"ann", "2", "admins", "new"}, &msg), 0) << msg.text;
    EXPECT_EQ(values(user_key("ann")),
              (vnx::ValueList{{"User ID", "2"}, {"Group Name", "admins"}, {"password", "new"}}));
    expect_user_refused({"nobody", "2", "admins", "pw"}, "User name not found.",
                        DialogMode::kChange);
    ASSERT_EQ(delete_user(*store_, "ANN", &msg), 0);
    EXPECT_FALSE(store_->key_exists(user_key("ann")));
    EXPECT_EQ(delete_user(*store_, "ann", &msg), -1);
}

TEST_F(Accounts, GroupChecksAndDuplicatesInAnyCase) {
    const std::pair<GroupInfo, const char *> refused[] = {
        {{" ", "3"}, "You must specify a group name."},
        {{"ops", ""}, "You must specify a group ID number."},
        {{"ops", "3a"}, "The group ID must be a number."},
        {{"ADMINS", "3"}, "Group name already exists."},
        {{"Staff", "3"}, "Group name already exists."},
        {{std::string(129, 'g'), "3"}, "A group name can have at most 128 characters."},
    };
    for (const auto &[group, text] : refused) {
        ConsoleMessage msg;
        EXPECT_EQ(add_group(*store_, group, &msg), -1) << group.name;
        EXPECT_EQ(msg.caption, "Group Information");
        EXPECT_EQ(msg.text, text);
    }
    EXPECT_EQ(values(kGroupsKey), (vnx::ValueList{{"admins", "1"}, {"staff", "2"}}));
}

TEST_F(Accounts, RenamedGroupReplacesTheOldValueAtTheEnd) {
    ConsoleMessage msg;
    ASSERT_EQ(change_group(*store_, "admins", {"root", "9"}, &msg), 0) << msg.text;
    EXPECT_EQ(values(kGroupsKey), (vnx::ValueList{{"staff", "2"}, {"root", "9"}}));
    EXPECT_EQ(change_group(*store_, "root", {"STAFF", "9"}, &msg), -1);
    EXPECT_EQ(msg.text, "Group name already exists.");
    ASSERT_EQ(change_group(*store_, "root", {"ROOT", "10"}, &msg), 0);  // own name, new case
    EXPECT_EQ(values(kGroupsKey), (vnx::ValueList{{"staff", "2"}, {"ROOT", "10"}}));
}

TEST_F(Accounts, DeletingANamedGroupLeavesItsUsersUntilAListedGroupIsChosen) {
    ConsoleMessage msg;
    ASSERT_EQ(add_user(*store_, {"ann", "1", "staff", "pw"}, &msg), 0);
    ASSERT_EQ(add_user(*store_, {"bob", "2", "admins", "pw"}, &msg), 0);
    std::vector<UserInfo> users;
    ASSERT_EQ(load_users(*store_, &users, &msg), 0);
    EXPECT_EQ(users_of_group(users, "STAFF"), std::vector<std::string>{"ann"});

    ASSERT_EQ(delete_group(*store_, "staff", &msg), 0);
    EXPECT_EQ(value(user_key("ann"), "Group Name"), "staff");  // untouched
    expect_user_refused({"ann", "1", "staff", "pw2"}, "Group name not found", DialogMode::kChange);
    EXPECT_EQ(value(user_key("ann"), "password"), "pw");
    ASSERT_EQ(change_user(*store_, {"ann", "1", "admins", "pw2"}, &msg), 0);
    EXPECT_EQ(delete_group(*store_, "staff", &msg), -1);
    EXPECT_EQ(msg.text, "Group name not found");
}
