// Users and groups: load, check and change.
#include "console/core/accounts.h"

#include <strings.h>

#include "support/password.h"

namespace vnx::console {

namespace {

std::string user_key(const std::string &name) {
    return std::string(kUsersKey) + "\\" + name;
}

bool same_name(const std::string &a, const std::string &b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// A name the lists can show and the store can hold as one key or value name.
bool bad_name(const std::string &name) {
    return name.size() > kMaxAccountName || name.find_first_of("\\/") != std::string::npos ||
           name.find('\0') != std::string::npos;
}

// First empty required field of the user dialog, in its order.
int check_user_required(const UserInfo &f, ConsoleMessage *msg) {
    const struct {
        const std::string &value;
        const char *text;
    } kRequired[] = {
        {f.name, "You must specify a user name."},
        {f.password, "You must specify a user password."},
        {f.user_id, "You must specify a user ID number."},
        {f.group, "You must specify a group name."},
    };
    for (const auto &r : kRequired) {
        if (r.value.empty()) return refuse(kUserCaption, r.text, msg);
    }
    return 0;
}

// Control characters in the name (New mode: a changed user keeps its name),
// the password and the group.
int check_user_controls(const UserInfo &f, DialogMode mode, ConsoleMessage *msg) {
    if (mode == DialogMode::kNew && has_control_character(f.name))
        return refuse(kUserCaption, "A user name cannot contain control characters.", msg);
    if (has_control_character(f.password))
        return refuse(kUserCaption, "A password cannot contain control characters.", msg);
    if (has_control_character(f.group))
        return refuse(kUserCaption, "A group name cannot contain control characters.", msg);
    return 0;
}

// User ids are compared by their number ("007" is 7); ids that are no
// number (written outside the console) by their text.
bool same_user_id(const std::string &a, const std::string &b) {
    if (all_digits(a) && all_digits(b) && a.size() <= 18 && b.size() <= 18)
        return std::stoll(a) == std::stoll(b);
    return a == b;
}

// Another user (by name) that has the form's user id.
int check_user_id_free(ConfigStore &store, const UserInfo &f, ConsoleMessage *msg) {
    std::vector<UserInfo> users;
    if (int rc = load_users(store, &users, msg); rc != 0) return rc;
    for (const UserInfo &u : users) {
        if (same_name(u.name, f.name) || !same_user_id(u.user_id, f.user_id)) continue;
        return refuse(kUserCaption,
                      "User ID " + f.user_id + " is already in use by user " + u.name + ".", msg);
    }
    return 0;
}

// The password to store for the form: the stored value when the form leaves
// it as it is and it is a hash already; otherwise the hash of the form's.
int password_to_store(ConfigStore &store, const UserInfo &f, std::string *out,
                      ConsoleMessage *msg) {
    std::string current;
    if (store.get_value(user_key(f.name), "password", &current) == kStoreFailed)
        return store_failure(kUserCaption, store.error(), msg);
    if (f.password == current && is_password_hash(current)) {
        *out = current;
        return 0;
    }
    if (hash_password(f.password, out) != 0)
        return store_failure(kUserCaption, "The password could not be hashed (libcrypto failed).",
                             msg);
    return 0;
}

int write_user(ConfigStore &store, UserInfo f, bool replace, ConsoleMessage *msg,
               UserInfo *written) {
    const std::string key = user_key(f.name);
    std::string stored;
    if (int rc = password_to_store(store, f, &stored, msg); rc != 0) return rc;
    std::vector<StoreChange> changes;
    if (replace) changes.push_back({StoreChange::kDeleteKey, key, {}, {}});
    changes.push_back({StoreChange::kSetValue, key, "User ID", f.user_id});
    changes.push_back({StoreChange::kSetValue, key, "Group Name", f.group});
    changes.push_back({StoreChange::kSetValue, key, "password", stored});
    if (store.apply(changes) != 0) return store_failure(kUserCaption, store.error(), msg);
    f.password = std::move(stored);
    if (written != nullptr) *written = std::move(f);
    return 0;
}

template <typename Body>
int guarded(const char *caption, ConsoleMessage *msg, Body body) {
    try {
        return body();
    } catch (...) {
        return store_failure(caption, "out of memory", msg);
    }
}

}  // namespace

int load_users(ConfigStore &store, std::vector<UserInfo> *out, ConsoleMessage *msg) {
    return guarded(kUserCaption, msg, [&] {
        out->clear();
        std::vector<std::string> names;
        const int rc = store.list_subkeys(kUsersKey, &names);
        if (rc == -1) return 0;
        if (rc < 0) return store_failure(kUserCaption, store.error(), msg);
        for (const std::string &name : names) {
            UserInfo user;
            user.name = name;
            ValueList values;
            if (store.list_values(user_key(name), &values) == 0) {
                for (const auto &[value, data] : values) {
                    const std::string u = upper(value);
                    if (u == "USER ID") user.user_id = data;
                    if (u == "GROUP NAME") user.group = data;
                    if (u == "PASSWORD") user.password = data;
                }
            }
            out->push_back(std::move(user));
        }
        return 0;
    });
}

int load_groups(ConfigStore &store, std::vector<GroupInfo> *out, ConsoleMessage *msg) {
    return guarded(kGroupCaption, msg, [&] {
        out->clear();
        ValueList values;
        const int rc = store.list_values(kGroupsKey, &values);
        if (rc == -1) return 0;
        if (rc < 0) return store_failure(kGroupCaption, store.error(), msg);
        for (auto &[name, id] : values)
            out->push_back({name, id});
        return 0;
    });
}

int check_user(ConfigStore &store, UserInfo *f, DialogMode mode,
               const std::vector<GroupInfo> &groups, ConsoleMessage *msg) {
    return guarded(kUserCaption, msg, [&] {
        f->name = trimmed(f->name);
        f->password = trimmed(f->password);
        f->user_id = trimmed(f->user_id);
        f->group = trimmed(f->group);
        if (int rc = check_user_required(*f, msg); rc != 0) return rc;
        if (!all_digits(f->user_id) || f->user_id.size() > 9) {
            return refuse(kUserCaption, "The user ID must be a number.", msg);
        }
        if (int rc = check_user_controls(*f, mode, msg); rc != 0) return rc;
        if (bad_name(f->name)) {
            return refuse(kUserCaption,
                          "A user name can have at most 128 characters and no \"\\\" or \"/\".",
                          msg);
        }
        const bool exists = store.key_exists(user_key(f->name));
        if (mode == DialogMode::kNew && exists) {
            return refuse(kUserCaption, "User name already exists.", msg);
        }
        if (mode == DialogMode::kChange && !exists) {
            return refuse(kUserCaption, "User name not found.", msg);
        }
        if (int rc = check_user_id_free(store, *f, msg); rc != 0) return rc;
        for (const GroupInfo &g : groups) {
            if (!same_name(g.name, f->group)) continue;
            f->group = g.name;  // the listed spelling
            return 0;
        }
        return refuse(kUserCaption, "Group name not found", msg);
    });
}

int add_user(ConfigStore &store, UserInfo form, ConsoleMessage *msg, UserInfo *written) {
    return guarded(kUserCaption, msg, [&] {
        std::vector<GroupInfo> groups;
        if (int rc = load_groups(store, &groups, msg); rc != 0) return rc;
        if (int rc = check_user(store, &form, DialogMode::kNew, groups, msg); rc != 0) return rc;
        return write_user(store, std::move(form), false, msg, written);
    });
}

int change_user(ConfigStore &store, UserInfo form, ConsoleMessage *msg, UserInfo *written) {
    return guarded(kUserCaption, msg, [&] {
        std::vector<GroupInfo> groups;
        if (int rc = load_groups(store, &groups, msg); rc != 0) return rc;
        if (int rc = check_user(store, &form, DialogMode::kChange, groups, msg); rc != 0) {
            return rc;
        }
        return write_user(store, std::move(form), true, msg, written);
    });
}

int delete_user(ConfigStore &store, const std::string &name, ConsoleMessage *msg) {
    return guarded(kUserCaption, msg, [&] {
        if (name.empty() || bad_name(name) || !store.key_exists(user_key(name))) {
            return refuse(kUserCaption, "User name not found.", msg);
        }
        const int rc = store.delete_key(user_key(name));
        return rc == 0 ? 0 : store_failure(kUserCaption, store.error(), msg);
    });
}

int check_group(ConfigStore &store, GroupInfo *f, const std::string &old_name,
                ConsoleMessage *msg) {
    return guarded(kGroupCaption, msg, [&] {
        f->name = trimmed(f->name);
        f->id = trimmed(f->id);
        if (f->name.empty()) return refuse(kGroupCaption, "You must specify a group name.", msg);
        if (has_control_character(f->name)) {
            return refuse(kGroupCaption, "A group name cannot contain control characters.", msg);
        }
        if (f->name.size() > kMaxAccountName) {
            return refuse(kGroupCaption, "A group name can have at most 128 characters.", msg);
        }
        if (f->id.empty()) return refuse(kGroupCaption, "You must specify a group ID number.", msg);
        if (!all_digits(f->id) || f->id.size() > 9) {
            return refuse(kGroupCaption, "The group ID must be a number.", msg);
        }
        std::vector<GroupInfo> groups;
        if (int rc = load_groups(store, &groups, msg); rc != 0) return rc;
        bool old_found = old_name.empty();
        for (const GroupInfo &g : groups) {
            if (!old_name.empty() && same_name(g.name, old_name)) {
                old_found = true;
                continue;
            }
            if (same_name(g.name, f->name)) {
                return refuse(kGroupCaption, "Group name already exists.", msg);
            }
        }
        if (!old_found) return refuse(kGroupCaption, "Group name not found", msg);
        return 0;
    });
}

int add_group(ConfigStore &store, GroupInfo form, ConsoleMessage *msg) {
    return change_group(store, {}, std::move(form), msg);
}

int change_group(ConfigStore &store, const std::string &old_name, GroupInfo form,
                 ConsoleMessage *msg) {
    return guarded(kGroupCaption, msg, [&] {
        if (int rc = check_group(store, &form, old_name, msg); rc != 0) return rc;
        std::vector<StoreChange> changes;
        if (!old_name.empty())
            changes.push_back({StoreChange::kDeleteValue, kGroupsKey, old_name, {}});
        changes.push_back({StoreChange::kSetValue, kGroupsKey, form.name, form.id});
        if (store.apply(changes) != 0) return store_failure(kGroupCaption, store.error(), msg);
        return 0;
    });
}

int delete_group(ConfigStore &store, const std::string &name, ConsoleMessage *msg) {
    return guarded(kGroupCaption, msg, [&] {
        const int rc = store.delete_value(kGroupsKey, name);
        if (rc == -1) return refuse(kGroupCaption, "Group name not found", msg);
        return rc == 0 ? 0 : store_failure(kGroupCaption, store.error(), msg);
    });
}

std::vector<std::string> users_of_group(const std::vector<UserInfo> &users,
                                        const std::string &group) {
    std::vector<std::string> names;
    for (const UserInfo &u : users) {
        if (same_name(u.group, group)) names.push_back(u.name);
    }
    return names;
}

}  // namespace vnx::console
