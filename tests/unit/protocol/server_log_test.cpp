#include "protocol/server_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace dqp;

namespace {

class LogPath : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vnx_logpath_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (const std::string &f : made_)
            unlink(f.c_str());
        rmdir(dir_.c_str());
    }
    void touch(const std::string &name) {
        std::string path = dir_ + "/" + name;
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fclose(f);
        made_.push_back(path);
    }
    std::string dir_;
    std::vector<std::string> made_;
};

}  // namespace

TEST_F(LogPath, StemIsBaseNameCutAtFirstDot) {
    EXPECT_EQ(choose_log_path(dir_, "C:\\x\\gw.txt", "odbserver"), dir_ + "/gw.log");
    EXPECT_EQ(choose_log_path(dir_, "D:gw.a.b", "odbserver"), dir_ + "/gw.log");
    EXPECT_EQ(choose_log_path(dir_, "/var/log/port.txt", "x"), dir_ + "/port.log");
    EXPECT_EQ(choose_log_path(dir_, "plain", "x"), dir_ + "/plain.log");
}

TEST_F(LogPath, MissingOrEmptyLogfileTakesServerName) {
    EXPECT_EQ(choose_log_path(dir_, "", "odbserver"), dir_ + "/odbserver.log");
    EXPECT_EQ(choose_log_path(dir_, ".txt", "odbserver"), dir_ + "/odbserver.log");
}

TEST_F(LogPath, ExistingLogsAreNumbered) {
    touch("gw.log");
    touch("gw001.log");
    EXPECT_EQ(choose_log_path(dir_, "C:\\x\\gw.txt", "odbserver"), dir_ + "/gw002.log");
}
