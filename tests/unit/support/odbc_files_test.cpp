// The ODBC files a gateway reads and loads: found as the driver manager finds
// them, and refused when a user other than root or this one could change
// them. Every file lives in a directory of the test's own (mode 0700).
#include "support/odbc_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

using vnx::kTrusted;
using vnx::kUntrusted;
using vnx::TrustProblem;

// Sets an environment variable for the life of the object.
class EnvSetting {
  public:
    EnvSetting(const char *name, const std::string &value) : name_(name) {
        if (const char *old = getenv(name)) old_ = old, had_ = true;
        setenv(name, value.c_str(), 1);
    }
    ~EnvSetting() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char *name_;
    std::string old_;
    bool had_ = false;
};

class OdbcFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vnx_odbc_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        sys_ = std::make_unique<EnvSetting>("ODBCSYSINI", dir_);
        ini_ = std::make_unique<EnvSetting>("ODBCINI", dir_ + "/user.ini");
        write("odbcinst.ini", "[Good]\nDriver=" + dir_ + "/good.so\nSetup=" + dir_ +
                                  "/good.so\n[Bare]\nDriver=bare_driver.so\n");
        write("odbc.ini", "[sys]\nDriver=Good\n");
        write("user.ini", "[mine]\nDriver=Good\n[direct]\nDriver=" + dir_ + "/direct.so\n");
        write("good.so", "");
        write("direct.so", "");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void write(const std::string &name, const std::string &text) {
        std::ofstream(dir_ + "/" + name) << text;
        ASSERT_EQ(chmod((dir_ + "/" + name).c_str(), 0644), 0);
    }
    int check_all() { return vnx::check_odbc_files(geteuid(), &problem_); }

    std::string dir_;
    std::unique_ptr<EnvSetting> sys_, ini_;
    TrustProblem problem_;
};

TEST_F(OdbcFiles, FindsTheFilesAndTheLibrariesTheyName) {
    const vnx::OdbcIniFiles f = vnx::odbc_ini_files();
    EXPECT_EQ(f.user_dsns, dir_ + "/user.ini");
    EXPECT_EQ(f.system_dsns, dir_ + "/odbc.ini");
    EXPECT_EQ(f.drivers, dir_ + "/odbcinst.ini");
    EXPECT_EQ(vnx::odbc_named_libraries(f),
              (std::vector<std::string>{dir_ + "/good.so", "bare_driver.so", dir_ + "/direct.so"}));
    EXPECT_EQ(vnx::data_source_library("MINE"), dir_ + "/good.so");  // any case, as unixODBC
    EXPECT_EQ(vnx::data_source_library("direct"), dir_ + "/direct.so");
    EXPECT_EQ(vnx::data_source_library("nowhere"), "");
    EXPECT_EQ(check_all(), kTrusted) << problem_.problem;
}

// Each way another user could put code into a gateway, and what mends it.
TEST_F(OdbcFiles, RefusesWhatAnotherUserCouldChange) {
    struct Case {
        const char *file;
        mode_t mode;
        const char *label;
    } cases[] = {
        {"user.ini", 0666, "the ODBC data source list"},
        {"odbc.ini", 0664, "the ODBC data source list"},
        {"odbcinst.ini", 0646, "the ODBC driver list"},
        {"good.so", 0666, "the ODBC driver library"},
        {"direct.so", 0620, "the ODBC driver library"},
    };
    for (const Case &c : cases) {
        const std::string path = dir_ + "/" + c.file;
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        EXPECT_EQ(check_all(), kUntrusted) << c.file;
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(c.mode));
        EXPECT_EQ(problem_.problem.rfind(std::string(c.label) + " " + path +
                                             " is writable by group or others (mode " + mode,
                                         0),
                  0u)
            << problem_.problem;
        EXPECT_EQ(problem_.fix, "chmod go-w " + path);
        ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    }
    EXPECT_EQ(check_all(), kTrusted) << problem_.problem;
}

// A gateway refuses the data source whose driver could be changed, and
// serves the others; a data source nobody lists loads nothing.
TEST_F(OdbcFiles, DataSourceCheckCoversItsOwnDriverOnly) {
    ASSERT_EQ(chmod((dir_ + "/direct.so").c_str(), 0666), 0);
    EXPECT_EQ(vnx::check_data_source("mine", geteuid(), &problem_), kTrusted) << problem_.problem;
    EXPECT_EQ(vnx::check_data_source("sys", geteuid(), &problem_), kTrusted) << problem_.problem;
    EXPECT_EQ(vnx::check_data_source("nowhere", geteuid(), &problem_), kTrusted);
    EXPECT_EQ(vnx::check_data_source("direct", geteuid(), &problem_), kUntrusted);
    EXPECT_NE(problem_.problem.find(dir_ + "/direct.so"), std::string::npos) << problem_.problem;
    // The driver list itself is read for every data source.
    ASSERT_EQ(chmod((dir_ + "/odbcinst.ini").c_str(), 0666), 0);
    EXPECT_EQ(vnx::check_data_source("mine", geteuid(), &problem_), kUntrusted);
}

TEST_F(OdbcFiles, BareLibraryNamesAreFoundOnTheLibraryPath) {
    const std::string libs = dir_ + "/libs";
    ASSERT_EQ(mkdir(libs.c_str(), 0755), 0);
    EXPECT_EQ(vnx::resolve_odbc_library("bare_driver.so"), "");  // found nowhere: nothing loads
    EXPECT_EQ(check_all(), kTrusted);
    std::ofstream(libs + "/bare_driver.so") << "";
    ASSERT_EQ(chmod((libs + "/bare_driver.so").c_str(), 0644), 0);
    EnvSetting path("LD_LIBRARY_PATH", "/nonexistent:" + libs);
    EXPECT_EQ(vnx::resolve_odbc_library("bare_driver.so"), libs + "/bare_driver.so");
    EXPECT_EQ(vnx::resolve_odbc_library("/x/y.so"), "/x/y.so");
    EXPECT_EQ(check_all(), kTrusted) << problem_.problem;
    // The folder that holds it may not be written by others: they could
    // put another library in its place.
    ASSERT_EQ(chmod(libs.c_str(), 0777), 0);
    EXPECT_EQ(check_all(), kUntrusted);
    EXPECT_NE(problem_.problem.find(libs), std::string::npos) << problem_.problem;
}

TEST_F(OdbcFiles, AbsentFilesAreNotRefused) {
    std::filesystem::remove(dir_ + "/user.ini");
    std::filesystem::remove(dir_ + "/good.so");
    EXPECT_EQ(check_all(), kTrusted) << problem_.problem;
}

}  // namespace
