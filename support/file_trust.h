// Whether a file or directory can be trusted by a process that runs as a given
// user: whether any other local user could change it, or put another file in
// its place. The master uses it before it reads its configuration store or
// runs a gateway program; vnxadmin uses it to warn about what the master
// would refuse.
//
// The rules, applied while the path is resolved component by component
// (symbolic links followed, "." and ".." handled, a relative path taken from
// the current directory):
//   - every directory on the way, and every symbolic link followed, is owned
//     by the user or by root;
//   - no directory on the way is writable by group or others, unless it has
//     the sticky bit (like /tmp): there nobody can rename or remove an entry
//     they do not own;
//   - when the final entry is a file, the directory that holds it is not
//     writable by group or others at all, sticky or not: anyone who can
//     create files there could plant the files that go with it (a store's
//     -wal and -shm files). A directory may sit in a sticky one (a DB_ROOT
//     made with mkdtemp under /tmp): its own mode guards what is in it;
//   - the final entry is of the kind asked for (regular file or directory),
//     owned by the user or root, and not writable by group or others.
//
// Nothing here changes a file; the module only looks (lstat, readlink).
#pragma once

#include <sys/types.h>

#include <string>

namespace vnx {

enum class TrustKind { kFile, kDirectory };

// Results of check_trusted_path.
inline constexpr int kTrusted = 0;
inline constexpr int kTrustMissing = 1;  // the entry, or a directory on its path, does not exist
inline constexpr int kUntrusted = -1;    // fails a rule above, or cannot be examined

// What is wrong, for the message: `problem` is a whole sentence without its
// full stop, naming the entry at fault (the path itself, or a directory or
// link on its way, with `label` to say what it leads to), its mode in octal
// and its owner by name ("the gateway program /srv/odbserver is writable by
// group or others (mode 0777, owner root)"); `fix` is the command that mends
// it ("chmod go-w /srv/odbserver"), or a short advice where no command does.
struct TrustProblem {
    std::string problem;
    std::string fix;
};

// Checks `path` for a process running as `user`. `label` says what the path
// is ("the configuration store"). Returns kTrusted, kTrustMissing (with the
// missing entry in problem->problem) or kUntrusted (with *problem filled).
[[nodiscard]] int check_trusted_path(const std::string &path, TrustKind kind, uid_t user,
                                     const std::string &label, TrustProblem *problem);

// Empty when no user but the owner and the group may look into directory
// `path` (neither read nor search permission for others); otherwise the
// sentence that says so, with `label`, mode and owner ("DB_ROOT /srv/vnx is
// readable by others (mode 0755, owner root)"). A path that cannot be
// examined gives empty: check_trusted_path reports it.
std::string readable_by_others(const std::string &path, const std::string &label);

// The name of user `uid`, or "uid N" when the user database has none.
std::string user_name(uid_t uid);

}  // namespace vnx
