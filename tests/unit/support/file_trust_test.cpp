// Trusted paths: modes, owners, symbolic links and sticky directories, in a
// private folder under /tmp. The cases about another user's files chown to a
// uid with no user database entry and need root; elsewhere they are skipped.
#include "support/file_trust.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

using vnx::check_trusted_path;
using vnx::kTrusted;
using vnx::kTrustMissing;
using vnx::kUntrusted;
using vnx::TrustKind;
using vnx::TrustProblem;

constexpr uid_t kStranger = 54321;  // no passwd entry: a user nobody logs in as

class FileTrust : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vnx_trust_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;  // mode 0700, under the sticky /tmp
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string make_file(const std::string &name, mode_t mode) {
        std::string path = dir_ + "/" + name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        EXPECT_GE(fd, 0) << path;
        EXPECT_EQ(fchmod(fd, mode), 0);
        close(fd);
        return path;
    }
    std::string make_dir(const std::string &name, mode_t mode) {
        std::string path = dir_ + "/" + name;
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }
    int check(const std::string &path, TrustKind kind = TrustKind::kFile) {
        return check_trusted_path(path, kind, geteuid(), "the gateway program", &problem_);
    }

    std::string dir_;
    TrustProblem problem_;
};

#define REQUIRE_ROOT() \
    if (geteuid() != 0) GTEST_SKIP() << "changing a file's owner to another user needs root"

TEST_F(FileTrust, OwnPrivateFileUnderStickyTmpIsTrusted) {
    EXPECT_EQ(check(make_file("odbserver", 0700)), kTrusted) << problem_.problem;
    EXPECT_EQ(check(dir_, TrustKind::kDirectory), kTrusted) << problem_.problem;
}

TEST_F(FileTrust, FileModesWritableByGroupOrOthersAreRefused) {
    for (mode_t mode : {0600, 0644, 0755, 0700, 0444, 04755})
        EXPECT_EQ(check(make_file("ok" + std::to_string(mode), mode)), kTrusted) << mode;
    for (mode_t mode : {0620, 0602, 0660, 0666, 0777, 0775, 01777}) {
        std::string path = make_file("bad" + std::to_string(mode), mode);
        EXPECT_EQ(check(path), kUntrusted) << mode;
        EXPECT_EQ(problem_.fix, "chmod go-w " + path);
    }
    EXPECT_EQ(problem_.problem, "the gateway program " + dir_ +
                                    "/bad1023 is writable by group or others (mode 1777, owner " +
                                    vnx::user_name(geteuid()) + ")");
}

TEST_F(FileTrust, MissingFileAndMissingDirectoryOnThePathAreMissing) {
    EXPECT_EQ(check(dir_ + "/odbserver"), kTrustMissing);
    EXPECT_NE(problem_.problem.find("No such file or directory"), std::string::npos);
    EXPECT_EQ(check(dir_ + "/nowhere/odbserver"), kTrustMissing);
}

TEST_F(FileTrust, WrongKindIsRefused) {
    std::string file = make_file("odbserver", 0700);
    std::string sub = make_dir("sub", 0700);
    EXPECT_EQ(check(sub), kUntrusted);
    EXPECT_NE(problem_.problem.find("is not a regular file"), std::string::npos);
    EXPECT_EQ(check(file, TrustKind::kDirectory), kUntrusted);
    EXPECT_NE(problem_.problem.find("is not a directory"), std::string::npos);
    EXPECT_EQ(check(file + "/x"), kUntrusted);  // a file on the way
}

TEST_F(FileTrust, DirectoryItselfWritableByOthersIsRefusedEvenWhenSticky) {
    for (mode_t mode : {0777, 0770, 01777, 01770}) {
        std::string root = make_dir("root" + std::to_string(mode), mode);
        EXPECT_EQ(check(root, TrustKind::kDirectory), kUntrusted) << mode;
        EXPECT_EQ(problem_.fix, "chmod go-w " + root);
    }
    EXPECT_EQ(check(make_dir("root0750", 0750), TrustKind::kDirectory), kTrusted);
}

TEST_F(FileTrust, DirectoryAboveWritableByOthersIsRefused) {
    std::string open_dir = make_dir("open", 0777);
    EXPECT_EQ(mkdir((open_dir + "/private").c_str(), 0700), 0);
    std::string path = open_dir + "/private/registry.db";
    close(open(path.c_str(), O_WRONLY | O_CREAT, 0600));
    ASSERT_EQ(check(path), kUntrusted);
    EXPECT_EQ(problem_.problem, "the directory " + open_dir +
                                    ", on the path of the gateway "
                                    "program " +
                                    path + ", is writable by group or others (mode 0777, owner " +
                                    vnx::user_name(geteuid()) + ")");
    EXPECT_EQ(problem_.fix, "chmod go-w " + open_dir);
}

TEST_F(FileTrust, StickyDirectoryAboveIsAcceptedButNotAsTheHolder) {
    std::string sticky = make_dir("sticky", 01777);
    EXPECT_EQ(mkdir((sticky + "/private").c_str(), 0700), 0);
    std::string deep = sticky + "/private/registry.db";
    close(open(deep.c_str(), O_WRONLY | O_CREAT, 0600));
    EXPECT_EQ(check(deep), kTrusted) << problem_.problem;
    // A directory in it is guarded by its own mode.
    EXPECT_EQ(check(sticky + "/private", TrustKind::kDirectory), kTrusted) << problem_.problem;
    // Directly in the sticky directory anyone could create its -wal file.
    std::string shallow = sticky + "/registry.db";
    close(open(shallow.c_str(), O_WRONLY | O_CREAT, 0600));
    ASSERT_EQ(check(shallow), kUntrusted);
    EXPECT_NE(problem_.problem.find("the directory " + sticky + ", which holds"), std::string::npos)
        << problem_.problem;
    EXPECT_EQ(problem_.fix.rfind("keep it in a directory that only", 0), 0u) << problem_.fix;
}

TEST_F(FileTrust, LinkedDirectoryOnThePathIsCheckedWhereItLeads) {
    std::string open_dir = make_dir("open", 0777);
    EXPECT_EQ(mkdir((open_dir + "/bin").c_str(), 0755), 0);
    close(open((open_dir + "/bin/odbserver").c_str(), O_WRONLY | O_CREAT, 0755));
    ASSERT_EQ(symlink("open/bin", (dir_ + "/bin").c_str()), 0);  // relative link
    EXPECT_EQ(check(dir_ + "/bin/odbserver"), kUntrusted);
    EXPECT_EQ(problem_.fix, "chmod go-w " + open_dir);
}

TEST_F(FileTrust, DotDotAfterALinkLeavesTheLinkTarget) {
    // dir/a -> open/inner; dir/a/../x is open/x, not dir/x.
    std::string open_dir = make_dir("open", 0777);
    EXPECT_EQ(mkdir((open_dir + "/inner").c_str(), 0700), 0);
    close(open((open_dir + "/x").c_str(), O_WRONLY | O_CREAT, 0600));
    make_file("x", 0600);
    ASSERT_EQ(symlink((open_dir + "/inner").c_str(), (dir_ + "/a").c_str()), 0);
    EXPECT_EQ(check(dir_ + "/a/../x"), kUntrusted);
    EXPECT_EQ(check(dir_ + "/sub/../x"), kTrustMissing);  // the kernel needs sub too
    EXPECT_EQ(check(dir_ + "/./x"), kTrusted) << problem_.problem;
}

TEST_F(FileTrust, LinkLoopIsRefused) {
    ASSERT_EQ(symlink("b", (dir_ + "/a").c_str()), 0);
    ASSERT_EQ(symlink("a", (dir_ + "/b").c_str()), 0);
    EXPECT_EQ(check(dir_ + "/a"), kUntrusted);
    EXPECT_NE(problem_.problem.find("more than 40 symbolic links"), std::string::npos);
}

TEST_F(FileTrust, RelativePathIsTakenFromTheCurrentDirectory) {
    std::string target = make_file("registry.db", 0666);
    auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    EXPECT_EQ(check("registry.db"), kUntrusted);
    EXPECT_EQ(problem_.fix, "chmod go-w " + target);
    std::filesystem::current_path(old);
}

TEST_F(FileTrust, DirectoryOnThePathOwnedByAnotherUserIsRefused) {
    REQUIRE_ROOT();
    std::string sub = make_dir("sub", 0755);
    close(open((sub + "/odbserver").c_str(), O_WRONLY | O_CREAT, 0755));
    ASSERT_EQ(chown(sub.c_str(), kStranger, static_cast<gid_t>(-1)), 0);
    EXPECT_EQ(check(sub + "/odbserver"), kUntrusted);
    EXPECT_EQ(problem_.fix, "chown root " + sub);
}

TEST_F(FileTrust, LinkOwnedByAnotherUserIsRefused) {
    REQUIRE_ROOT();
    std::string target = make_file("real", 0755);
    std::string link = dir_ + "/odbserver";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), kStranger, static_cast<gid_t>(-1)), 0);
    EXPECT_EQ(check(link), kUntrusted);
    EXPECT_EQ(problem_.fix, "chown -h root " + link);
}

TEST_F(FileTrust, RootOwnedFilesAreTrustedByAnotherUserAndTheirOwnByThem) {
    REQUIRE_ROOT();
    // Everything here belongs to root: trusted by a master run as any user.
    std::string path = make_file("odbserver", 0755);
    TrustProblem problem;
    EXPECT_EQ(check_trusted_path(path, TrustKind::kFile, kStranger, "x", &problem), kTrusted)
        << problem.problem;
    // A file of that user is theirs to trust, and not root's.
    ASSERT_EQ(chown(path.c_str(), kStranger, static_cast<gid_t>(-1)), 0);
    EXPECT_EQ(check_trusted_path(path, TrustKind::kFile, kStranger, "x", &problem), kTrusted)
        << problem.problem;
    EXPECT_EQ(check_trusted_path(path, TrustKind::kFile, 0, "x", &problem), kUntrusted);
    // Someone else's file: the hint gives it to the master's user, by number.
    EXPECT_EQ(check_trusted_path(path, TrustKind::kFile, kStranger + 1, "x", &problem), kUntrusted);
    EXPECT_EQ(problem.fix, "chown 54322 " + path);
    EXPECT_NE(problem.problem.find("not by uid 54322 or root"), std::string::npos)
        << problem.problem;
}

}  // namespace

namespace {

// A DB_ROOT whose logs hold statements: neither read nor search permission
// for others; the group's permissions are its own business.
TEST_F(FileTrust, DirectoryReadableByOthersIsNamedWithItsMode) {
    for (mode_t mode : {0700, 0750, 0770})
        EXPECT_EQ(vnx::readable_by_others(make_dir("p" + std::to_string(mode), mode), "DB_ROOT"),
                  "")
            << mode;
    for (mode_t mode : {0755, 0701, 0704}) {
        std::string path = make_dir("o" + std::to_string(mode), mode);
        char text[8];
        snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
        EXPECT_EQ(vnx::readable_by_others(path, "DB_ROOT"),
                  "DB_ROOT " + path + " is readable by others (mode " + text + ", owner " +
                      vnx::user_name(geteuid()) + ")");
    }
}

}  // namespace
