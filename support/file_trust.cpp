// Trusted paths: see file_trust.h.
#include "support/file_trust.h"

#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace vnx {

namespace {

// As many links as the kernel follows in one lookup (MAXSYMLINKS).
constexpr int kMaxLinks = 40;

// One resolved entry of the path: its path without links, and its status.
struct Entry {
    std::string path;
    struct stat st;
};

bool trusted_owner(uid_t owner, uid_t user) {
    return owner == user || owner == 0;
}

bool others_can_write(const struct stat &st) {
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

std::string mode_text(const struct stat &st) {
    char mode[16];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return mode;
}

std::string mode_and_owner(const struct stat &st) {
    return "(mode " + mode_text(st) + ", owner " + user_name(st.st_uid) + ")";
}

// The name of `uid` in the user database; false when it has none.
bool find_user_name(uid_t uid, std::string *name) {
    passwd pw{}, *found = nullptr;
    char buf[4096];
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) != 0 || found == nullptr) return false;
    *name = found->pw_name;
    return true;
}

// "root", or "alice or root": the owners a path may have.
std::string allowed_owners(uid_t user) {
    return user == 0 ? "root" : user_name(user) + " or root";
}

// The name chown takes for `user`: its name, or the bare number.
std::string chown_name(uid_t user) {
    std::string name;
    return find_user_name(user, &name) ? name : std::to_string(user);
}

// Pushes the components of `path` onto `pending` so that the first comes off
// the back first; empty components and "." are dropped.
void push_components(const std::string &path, std::vector<std::string> *pending) {
    std::vector<std::string> parts;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".") parts.push_back(part);
        start = end + 1;
    }
    pending->insert(pending->end(), parts.rbegin(), parts.rend());
}

std::string join(const std::string &dir, const std::string &name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

// The path that `pending` names, with ".." taken lexically: what a message
// calls the path itself.
std::string lexical_path(const std::vector<std::string> &pending) {
    std::vector<std::string> parts;
    for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
        if (*it != "..")
            parts.push_back(*it);
        else if (!parts.empty())
            parts.pop_back();
    }
    std::string path = "/";
    for (const std::string &part : parts)
        path = join(path, part);
    return path;
}

// The walk over one path, and the words of its messages.
class TrustWalk {
  public:
    TrustWalk(const std::string &path, TrustKind kind, uid_t user, const std::string &label,
              TrustProblem *out)
        : path_(path), kind_(kind), user_(user), label_(label + " " + path), out_(out) {}

    int run();

  private:
    int fail(const std::string &problem, const std::string &fix);
    // "the directory /x, on the path of the store /x/y," or "the store /x/y".
    std::string name_of(const std::string &what, const std::string &entry) const;
    int start(std::vector<std::string> *pending);
    int follow_link(const Entry &link, std::vector<std::string> *pending);
    int check_on_the_way(const Entry &entry);
    int check_final(const Entry &entry, const Entry &holder);
    int check_owner(const std::string &what, const Entry &entry, bool link);

    std::string path_;
    std::string plain_;  // path_ made absolute, without ".", ".." or repeated "/"
    TrustKind kind_;
    uid_t user_;
    std::string label_;
    TrustProblem *out_;
    std::vector<Entry> chain_;  // "/" first, the entry last
    int links_ = 0;
};

int TrustWalk::fail(const std::string &problem, const std::string &fix) {
    out_->problem = problem;
    out_->fix = fix;
    return kUntrusted;
}

std::string TrustWalk::name_of(const std::string &what, const std::string &entry) const {
    if (entry == plain_) return label_;
    return what + " " + entry + ", on the path of " + label_ + ",";
}

int TrustWalk::start(std::vector<std::string> *pending) {
    std::string absolute = path_;
    if (path_.empty()) return fail(label_ + "has an empty path", "");
    if (path_[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return fail("cannot find the current directory for " + label_ + ": " + strerror(errno),
                        "");
        absolute = std::string(cwd) + "/" + path_;
    }
    push_components(absolute, pending);
    plain_ = lexical_path(*pending);
    Entry root{"/", {}};
    if (lstat("/", &root.st) != 0)
        return fail("cannot examine \"/\": " + std::string(strerror(errno)), "");
    chain_.push_back(root);
    return check_on_the_way(root);
}

int TrustWalk::check_owner(const std::string &what, const Entry &entry, bool link) {
    if (trusted_owner(entry.st.st_uid, user_)) return kTrusted;
    return fail(name_of(what, entry.path) + " is owned by " + user_name(entry.st.st_uid) +
                    ", not by " + allowed_owners(user_) + " (mode " + mode_text(entry.st) + ")",
                std::string(link ? "chown -h " : "chown ") + chown_name(user_) + " " + entry.path);
}

// A directory that the path passes through: owned by the user or root, and
// writable by nobody else unless it is sticky.
int TrustWalk::check_on_the_way(const Entry &entry) {
    if (int rc = check_owner("the directory", entry, false); rc != kTrusted) return rc;
    if (others_can_write(entry.st) && (entry.st.st_mode & S_ISVTX) == 0)
        return fail(name_of("the directory", entry.path) + " is writable by group or others " +
                        mode_and_owner(entry.st),
                    "chmod go-w " + entry.path);
    return kTrusted;
}

// A link the path passes through: owned by the user or root (a link in a
// sticky directory can be swapped by its owner); its target's components
// take its place.
int TrustWalk::follow_link(const Entry &link, std::vector<std::string> *pending) {
    if (++links_ > kMaxLinks)
        return fail(label_ + " passes through more than 40 symbolic links", "");
    if (int rc = check_owner("the symbolic link", link, true); rc != kTrusted) return rc;
    char target[PATH_MAX];
    const ssize_t n = readlink(link.path.c_str(), target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof target)
        return fail("cannot read the symbolic link " + link.path + " on the path of " + label_, "");
    const std::string text(target, static_cast<size_t>(n));
    if (!text.empty() && text[0] == '/') chain_.resize(1);
    push_components(text, pending);
    return kTrusted;
}

// The entry itself, and the directory that holds it.
int TrustWalk::check_final(const Entry &entry, const Entry &holder) {
    const bool want_dir = kind_ == TrustKind::kDirectory;
    if (want_dir && !S_ISDIR(entry.st.st_mode))
        return fail(name_of("the entry", entry.path) + " is not a directory", "");
    if (!want_dir && !S_ISREG(entry.st.st_mode))
        return fail(name_of("the entry", entry.path) + " is not a regular file", "");
    if (int rc = check_owner(want_dir ? "the directory" : "the file", entry, false); rc != kTrusted)
        return rc;
    if (others_can_write(entry.st))
        return fail(name_of(want_dir ? "the directory" : "the file", entry.path) +
                        " is writable by group or others " + mode_and_owner(entry.st),
                    "chmod go-w " + entry.path);
    // A directory's own mode guards what is in it; a file's neighbours are
    // guarded only by the directory that holds it.
    if (!want_dir && &holder != &entry && others_can_write(holder.st))
        return fail("the directory " + holder.path + ", which holds " + label_ +
                        ", is writable by group or others " + mode_and_owner(holder.st),
                    "keep it in a directory that only " + allowed_owners(user_) +
                        " can write, such as a new directory of its own");
    return kTrusted;
}

int TrustWalk::run() {
    std::vector<std::string> pending;
    if (int rc = start(&pending); rc != kTrusted) return rc;
    while (!pending.empty()) {
        std::string name = pending.back();
        pending.pop_back();
        if (name == "..") {
            if (chain_.size() > 1) chain_.pop_back();
            continue;
        }
        Entry entry{join(chain_.back().path, name), {}};
        if (lstat(entry.path.c_str(), &entry.st) != 0) {
            const int err = errno;
            out_->problem =
                "cannot examine " +
                (entry.path == plain_ ? label_ : entry.path + " on the path of " + label_) + ": " +
                strerror(err);
            out_->fix.clear();
            return err == ENOENT ? kTrustMissing : kUntrusted;
        }
        if (S_ISLNK(entry.st.st_mode)) {
            if (int rc = follow_link(entry, &pending); rc != kTrusted) return rc;
            continue;
        }
        chain_.push_back(entry);
        if (pending.empty()) break;
        if (!S_ISDIR(entry.st.st_mode))
            return fail(entry.path + ", on the path of " + label_ + ", is not a directory", "");
        if (int rc = check_on_the_way(entry); rc != kTrusted) return rc;
    }
    const Entry &last = chain_.back();
    return check_final(last, chain_.size() > 1 ? chain_[chain_.size() - 2] : last);
}

}  // namespace

std::string readable_by_others(const std::string &path, const std::string &label) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || (st.st_mode & (S_IROTH | S_IXOTH)) == 0) return {};
    return label + " " + path + " is readable by others " + mode_and_owner(st);
}

std::string user_name(uid_t uid) {
    std::string name;
    return find_user_name(uid, &name) ? name : "uid " + std::to_string(uid);
}

int check_trusted_path(const std::string &path, TrustKind kind, uid_t user,
                       const std::string &label, TrustProblem *problem) {
    TrustWalk walk(path, kind, user, label, problem);
    return walk.run();
}

}  // namespace vnx
