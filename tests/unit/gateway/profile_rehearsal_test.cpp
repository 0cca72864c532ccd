// The profile cache a waiting gateway keeps warm: a changed ini file is
// seen by its signature, and clearing the cache makes the next look-up read
// the file afresh instead of the cached value.
#include "gateway/profile_rehearsal.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using GetProfile = int (*)(const char *, const char *, const char *, char *, int, const char *);

struct ProfileCacheTest : ::testing::Test {
    std::string dir;
    void *inst = nullptr;
    GetProfile get = nullptr;
    std::filesystem::path old_cwd;
    std::string old_tmpdir;
    bool had_tmpdir = false;

    void SetUp() override {
        char tmpl[] = "/tmp/vnx_profile_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        old_cwd = std::filesystem::current_path();
        std::filesystem::current_path(dir);
        const char *tmp = getenv("TMPDIR");
        old_tmpdir = tmp != nullptr ? tmp : "";
        had_tmpdir = tmp != nullptr;
        setenv("TMPDIR", dir.c_str(), 1);  // the scratch directory lands here
        inst = dlopen("libodbcinst.so.2", RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(inst, nullptr);
        get = reinterpret_cast<GetProfile>(dlsym(inst, "SQLGetPrivateProfileString"));
        ASSERT_NE(get, nullptr);
    }
    void TearDown() override {
        // Unloaded with its cache, or the cached values would outlive this
        // test's files in the drivers the later tests load; emptied first,
        // or the entries would be lost to the unloaded library unfreed. The
        // first clear of a process checks itself with a look-up, which
        // caches; the second only empties.
        if (inst != nullptr) {
            (void)vnx::clear_profile_cache(inst);
            (void)vnx::clear_profile_cache(inst);
            dlclose(inst);
        }
        had_tmpdir ? setenv("TMPDIR", old_tmpdir.c_str(), 1) : unsetenv("TMPDIR");
        std::filesystem::current_path(old_cwd);
        std::filesystem::remove_all(dir);
    }
    void write_ini(const std::string &text) { std::ofstream(dir + "/a.ini") << text; }
    std::string lookup() {
        char value[64] = "";
        std::string path = dir + "/a.ini";
        get("dsn", "Database", "", value, sizeof value, path.c_str());
        return value;
    }
};

TEST_F(ProfileCacheTest, ClearedCacheServesTheChangedFile) {
    write_ini("[dsn]\nDatabase=first.db\n");
    EXPECT_EQ(lookup(), "first.db");
    write_ini("[dsn]\nDatabase=second.db\n");
    EXPECT_EQ(lookup(), "first.db");  // unixODBC's cache, as CONNECT would see it
    ASSERT_TRUE(vnx::clear_profile_cache(inst));
    EXPECT_EQ(lookup(), "second.db");
}

TEST_F(ProfileCacheTest, ClearLeavesNoScratchFileBehind) {
    ASSERT_TRUE(vnx::clear_profile_cache(inst));
    ASSERT_TRUE(vnx::clear_profile_cache(inst));  // the checked path, then the plain one
    EXPECT_TRUE(std::filesystem::is_empty(dir));
}

TEST_F(ProfileCacheTest, ClearNeverWritesThroughALinkInTheWorkingDirectory) {
    // The scratch file has a directory of its own: names an attacker could
    // plant in the working directory (which others may write) are not used.
    std::string victim = dir + "/victim";
    std::ofstream(victim) << "untouched\n";
    for (const char *name : {"scratch.ini", ".dqp_profile.ini"})
        std::filesystem::create_symlink(victim, dir + "/" + name);
    ASSERT_TRUE(vnx::clear_profile_cache(inst));
    std::ifstream in(victim);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "untouched\n");
    size_t entries = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        (void)e;
        entries++;
    }
    EXPECT_EQ(entries, 3u);  // the victim and the two links: no scratch directory left
}

TEST_F(ProfileCacheTest, ClearFailsWhenNoScratchDirectoryCanBeMade) {
    if (dlsym(inst, "__clear_ini_cache") != nullptr) GTEST_SKIP() << "cleared without a file";
    setenv("TMPDIR", (dir + "/missing").c_str(), 1);
    EXPECT_FALSE(vnx::clear_profile_cache(inst));
}

TEST_F(ProfileCacheTest, FilesSignatureChangesWithTheUserIni) {
    write_ini("[dsn]\nDatabase=first.db\n");
    const char *was = getenv("ODBCINI");
    std::string old = was != nullptr ? was : "";
    setenv("ODBCINI", (dir + "/a.ini").c_str(), 1);
    vnx::ProfileFiles before = vnx::profile_files_now();
    EXPECT_EQ(vnx::profile_files_now(), before);
    write_ini("[dsn]\nDatabase=second.db\n");  // same size: the time or inode tells
    std::filesystem::last_write_time(
        dir + "/a.ini", std::filesystem::file_time_type::clock::now() + std::chrono::seconds(1));
    EXPECT_NE(vnx::profile_files_now(), before);
    was != nullptr ? setenv("ODBCINI", old.c_str(), 1) : unsetenv("ODBCINI");
}

TEST_F(ProfileCacheTest, OnlyKnownDriversAreRehearsed) {
    EXPECT_EQ(vnx::rehearse_profile_lookups(inst, "/usr/lib/libsqlite3odbc.so", "x", "SQLite3"), 0);
}

}  // namespace
