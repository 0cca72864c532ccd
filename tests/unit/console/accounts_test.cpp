// Users and groups: every check of the dialogs and what each change writes.
#include "console/core/accounts.h"

#include "console_fixture.h"
#include "support/password.h"

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
    // True when the stored password of `name` is a hash that `clear` matches.
    bool stored_hash_of(const std::string &name, const std::string &clear) {
        const std::string stored = value(user_key(name), "password");
        return vnx::is_password_hash(stored) &&
               vnx::check_password(stored, clear) == vnx::PasswordCheck::kMatch;
    }
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
    const vnx::ValueList stored = values(user_key("ann"));
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0], (std::pair<std::string, std::string>{"User ID", "1234"}));  // as typed
    EXPECT_EQ(stored[1], (std::pair<std::string, std::string>{"Group Name", "staff"}));
    EXPECT_EQ(stored[2].first, "password");
    EXPECT_TRUE(stored_hash_of("ann", "pw"));  // trimmed, then hashed
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
    const vnx::ValueList stored = values(user_key("ann"));
    ASSERT_EQ(stored.size(), 3u);  // "Comment" is gone
    EXPECT_EQ(stored[0], (std::pair<std::string, std::string>{"User ID", "2"}));
    EXPECT_EQ(stored[1], (std::pair<std::string, std::string>{"Group Name", "admins"}));
    EXPECT_TRUE(stored_hash_of("ann", "new"));
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
    EXPECT_TRUE(stored_hash_of("ann", "pw"));
    ASSERT_EQ(change_user(*store_, {"ann", "1", "admins", "pw2"}, &msg), 0);
    EXPECT_EQ(delete_group(*store_, "staff", &msg), -1);
    EXPECT_EQ(msg.text, "Group name not found");
}

TEST_F(Accounts, ChangeKeepsAnUntouchedHashAndHashesANewPassword) {
    ConsoleMessage msg;
    UserInfo written;
    ASSERT_EQ(add_user(*store_, {"ann", "1", "staff", "pw"}, &msg, &written), 0);
    const std::string first = value(user_key("ann"), "password");
    EXPECT_EQ(written.password, first);
    ASSERT_EQ(change_user(*store_, {"ann", "2", "staff", first}, &msg), 0) << msg.text;
    EXPECT_EQ(value(user_key("ann"), "password"), first);  // not a hash of the hash
    EXPECT_TRUE(stored_hash_of("ann", "pw"));
    ASSERT_EQ(change_user(*store_, {"ann", "2", "staff", "other"}, &msg), 0);
    EXPECT_TRUE(stored_hash_of("ann", "other"));
}

TEST_F(Accounts, LegacyClearPasswordIsHashedAtTheNextChange) {
    store_->set_value(user_key("old"), "User ID", "5");
    store_->set_value(user_key("old"), "Group Name", "staff");
    store_->set_value(user_key("old"), "password", "tiger");
    ConsoleMessage msg;
    ASSERT_EQ(change_user(*store_, {"old", "6", "staff", "tiger"}, &msg), 0) << msg.text;
    EXPECT_TRUE(stored_hash_of("old", "tiger"));
}

TEST_F(Accounts, ListsShowAMaskInsteadOfTheStoredPassword) {
    EXPECT_EQ(masked_password("pbkdf2-sha256$20000$c2FsdA==$aGFzaA=="), "********");
    EXPECT_EQ(masked_password("tiger"), "********");
    EXPECT_EQ(masked_password(""), "");
}

TEST_F(Accounts, ControlCharactersAreRefusedInNamePasswordAndGroup) {
    const std::string controls[] = {"\t", "\n", "\r", std::string(1, '\0'), "\x01", "\x1F", "\x7F"};
    for (const std::string &c : controls) {
        expect_user_refused({"a" + c + "b", "1", "staff", "pw"},
                            "A user name cannot contain control characters.");
        expect_user_refused({"ann", "1", "staff", "p" + c + "w"},
                            "A password cannot contain control characters.");
        expect_user_refused({"ann", "1", "st" + c + "aff", "pw"},
                            "A group name cannot contain control characters.");
        ConsoleMessage msg;
        EXPECT_EQ(add_group(*store_, {"o" + c + "ps", "3"}, &msg), -1);
        EXPECT_EQ(msg.text, "A group name cannot contain control characters.");
    }
    EXPECT_FALSE(store_->key_exists(kUsersKey));
    EXPECT_EQ(values(kGroupsKey).size(), 2u);
    ConsoleMessage msg;  // blanks and bytes above 0x7F are no control characters
    EXPECT_EQ(add_user(*store_, {"Zoë Ann", "1", "staff", "p w\xC3\xA9"}, &msg), 0) << msg.text;
}

TEST_F(Accounts, UserIdOfAnotherUserIsRefusedByItsNumber) {
    ConsoleMessage msg;
    ASSERT_EQ(add_user(*store_, {"ann", "7", "staff", "pw"}, &msg), 0);
    ASSERT_EQ(add_user(*store_, {"bob", "8", "staff", "pw"}, &msg), 0);
    expect_user_refused({"cid", "7", "staff", "pw"}, "User ID 7 is already in use by user ann.");
    expect_user_refused({"cid", "007", "staff", "pw"},
                        "User ID 007 is already in use by user ann.");
    expect_user_refused({"bob", "7", "staff", "pw"}, "User ID 7 is already in use by user ann.",
                        DialogMode::kChange);
    EXPECT_EQ(value(user_key("bob"), "User ID"), "8");
    EXPECT_EQ(change_user(*store_, {"ANN", "7", "admins", "pw"}, &msg), 0) << msg.text;  // own id
}
