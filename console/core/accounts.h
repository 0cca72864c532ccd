// The "Users" and "Groups" pages' model: user accounts as subkeys of
// "NetServer\\Users" (values "User ID", "Group Name", "password") and groups
// as values of "NetServer\\Groups" (name -> id), with every check the user
// and group dialogs make before a change is written.
//
// Every change is written at once, in one store transaction (a changed user's
// subkey is deleted and recreated inside the same transaction). Names are
// compared without regard to case, as the store compares key and value
// names: "Alice" and "ALICE" are the same user.
//
// Passwords are written as salted hashes (support/password.h), never in
// clear. A loaded UserInfo holds the stored value (the hash, or a clear value
// an older installation wrote), which no list shows: masked_password gives
// the text a list shows instead. A change whose password is the stored value
// (the dialog left as it was filled) keeps that password: a stored hash is
// kept, a stored clear value is replaced by its hash. Any other password is
// new and is hashed.
#pragma once

#include <string>
#include <vector>

#include "console/core/messages.h"
#include "support/config_store.h"

namespace vnx::console {

using vnx::kUsersKey;
inline constexpr const char *kGroupsKey = "SOFTWARE\\Tavorin\\VNX\\NetServer\\Groups";
// Longest user or group name the lists enumerate.
inline constexpr size_t kMaxAccountName = 128;

struct UserInfo {
    std::string name;
    std::string user_id;
    std::string group;
    std::string password;
};

struct GroupInfo {
    std::string name;
    std::string id;
};

enum class DialogMode { kNew, kChange };

// Users in enumeration order, their values found by upper-cased name; a
// missing "Users" key gives an empty list. 0, or kStoreFailed.
int load_users(ConfigStore &store, std::vector<UserInfo> *out, ConsoleMessage *msg);
// Groups in enumeration order; a missing "Groups" key gives an empty list.
int load_groups(ConfigStore &store, std::vector<GroupInfo> *out, ConsoleMessage *msg);

// The user dialog's checks on OK, on the trimmed fields (the form is trimmed
// in place). In order: empty name, password, user id, group; a user id that
// is not a number; a name too long or holding a key separator; in New mode a
// name holding a control character; a password or group holding one; in New
// mode a user of that name already present; in Change mode none present; a
// user id (by its number) that another user has; a group that `groups` does
// not list. 0, or -1 with the message.
int check_user(ConfigStore &store, UserInfo *form, DialogMode mode,
               const std::vector<GroupInfo> &groups, ConsoleMessage *msg);

// Check, then write (New: a new subkey; Change: the subkey rewritten), the
// password hashed as the header says. `written`, when given, receives what
// was stored (trimmed fields, the stored password).
int add_user(ConfigStore &store, UserInfo form, ConsoleMessage *msg, UserInfo *written = nullptr);
int change_user(ConfigStore &store, UserInfo form, ConsoleMessage *msg,
                UserInfo *written = nullptr);
// Deletes the user's subkey; -1 when there is no such user.
int delete_user(ConfigStore &store, const std::string &name, ConsoleMessage *msg);

// The group dialog's checks on OK: a name without control characters, a
// numeric id, and no other group of the same name in any letter case
// (`old_name`: the group being changed, empty for a new one).
int check_group(ConfigStore &store, GroupInfo *form, const std::string &old_name,
                ConsoleMessage *msg);
int add_group(ConfigStore &store, GroupInfo form, ConsoleMessage *msg);
// Replaces group `old_name` by `form` (the old value deleted, the new written).
int change_group(ConfigStore &store, const std::string &old_name, GroupInfo form,
                 ConsoleMessage *msg);
// Deletes the group. Users that name it are left as they are.
int delete_group(ConfigStore &store, const std::string &name, ConsoleMessage *msg);

// Names of the users whose group is `group` (any case).
std::vector<std::string> users_of_group(const std::vector<UserInfo> &users,
                                        const std::string &group);

}  // namespace vnx::console
