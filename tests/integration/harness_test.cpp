// The port-region locks of the test harness: a folder that test runs of every
// user share, each in a folder of its own here rather than /tmp/vnx_test_ports.
#include "harness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

using namespace vnxtest;

namespace {

constexpr uid_t kNobody = 65534;

class PortLocks : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vnx_portlocks_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        parent_ = tmpl;
        // Like /tmp: another user may make its own folder beside ours.
        ASSERT_EQ(chmod(parent_.c_str(), 01777), 0);
        dir_ = parent_ + "/ports";
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(parent_, ec);
    }
    static mode_t mode_of(const std::string &path) {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
    // Exit code of `body` run in a child process as user nobody (-1 when it
    // did not exit normally).
    static int as_nobody(const std::function<int()> &body) {
        pid_t pid = fork();
        if (pid == 0) {
            if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(100);
            _exit(body());
        }
        int st = 0;
        if (pid < 0 || waitpid(pid, &st, 0) != pid) return -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    static bool root() { return geteuid() == 0; }
    std::string parent_, dir_;
};

TEST_F(PortLocks, FolderIsMadeForEveryUserWhateverTheUmask) {
    mode_t old = umask(022);
    std::string got = port_lock_dir(dir_);
    umask(old);
    EXPECT_EQ(got, dir_);
    EXPECT_EQ(mode_of(dir_), 01777);
}

TEST_F(PortLocks, FolderMadeWithAnotherModeIsMended) {
    ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    EXPECT_EQ(port_lock_dir(dir_), dir_);
    EXPECT_EQ(mode_of(dir_), 01777);
}

TEST_F(PortLocks, SymbolicLinkIsNotFollowed) {
    std::string target = parent_ + "/elsewhere";
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    ASSERT_EQ(symlink(target.c_str(), dir_.c_str()), 0);
    std::string own = dir_ + "." + std::to_string(geteuid());
    EXPECT_EQ(port_lock_dir(dir_), own);
    EXPECT_EQ(mode_of(target), 0700);
    EXPECT_EQ(mode_of(own), 0700);
}

TEST_F(PortLocks, RegionIsLockedOnceAndFileIsOpenToEveryUser) {
    mode_t old = umask(077);
    ASSERT_EQ(port_lock_dir(dir_), dir_);
    int fd = lock_port_region(dir_, 20000);
    umask(old);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(mode_of(dir_ + "/20000.lock"), 0666);
    // Another open of the file (as another process would) finds it taken.
    EXPECT_EQ(lock_port_region(dir_, 20000), -1);
    int other = lock_port_region(dir_, 20250);
    EXPECT_GE(other, 0);
    close(fd);
    int again = lock_port_region(dir_, 20000);
    EXPECT_GE(again, 0);
    close(again);
    close(other);
}

// A run as root, then one as another user: the second locks in the same
// folder, and meets the first one's lock.
TEST_F(PortLocks, RunAsAnotherUserLocksInTheSameFolder) {
    if (!root()) GTEST_SKIP() << "needs root to run a child as user nobody";
    mode_t old = umask(022);
    ASSERT_EQ(port_lock_dir(dir_), dir_);
    int held = lock_port_region(dir_, 20000);
    umask(old);
    ASSERT_GE(held, 0);
    int freed = lock_port_region(dir_, 20250);
    ASSERT_GE(freed, 0);
    close(freed);  // the file stays, made by root
    std::string dir = dir_;
    EXPECT_EQ(as_nobody([dir] {
                  if (port_lock_dir(dir) != dir) return 1;
                  if (lock_port_region(dir, 20000) != -1) return 2;  // root holds it
                  if (lock_port_region(dir, 20250) < 0) return 3;    // root's file, free
                  if (lock_port_region(dir, 20500) < 0) return 4;    // a new file
                  return 0;
              }),
              0);
    close(held);
}

// A folder that a run as root made with mode 0755: a later run as another
// user cannot mend it and locks in a folder of its own instead.
TEST_F(PortLocks, FolderMadeWronglyByAnotherUserGivesAFolderOfOnesOwn) {
    if (!root()) GTEST_SKIP() << "needs root to run a child as user nobody";
    ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    std::string dir = dir_;
    EXPECT_EQ(as_nobody([dir] {
                  std::string own = dir + "." + std::to_string(kNobody);
                  if (port_lock_dir(dir) != own) return 1;
                  int fd = lock_port_region(own, 20000);
                  if (fd < 0) return 2;
                  if (lock_port_region(own, 20000) != -1) return 3;
                  return 0;
              }),
              0);
    EXPECT_EQ(mode_of(dir_), 0755);
}

}  // namespace
