// The in-process gateway tests' SQLite data source: a temporary folder with
// the project's driver list, an odbc.ini naming DSN "t" on t.db, and a
// configuration store of its own (ODBCSYSINI, ODBCINI and VNX_REGISTRY point
// there); SetUp connects a session to it, TearDown frees every session and
// removes the folder.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "gateway/cursors.h"
#include "gateway/session.h"
#include "gateway/svr_session.h"
#include "support/config_cache.h"

class SqliteSessionFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vnx_gw_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::string cmd = std::string(VNX_SOURCE_DIR) + "/scripts/odbc-ini " + dir_;
        ASSERT_EQ(system(cmd.c_str()), 0);
        std::ofstream(dir_ + "/odbc.ini") << "[t]\nDriver=SQLite3\nDatabase=" << dir_ << "/t.db\n";
        setenv("ODBCSYSINI", dir_.c_str(), 1);
        setenv("ODBCINI", (dir_ + "/odbc.ini").c_str(), 1);
        setenv("VNX_REGISTRY", (dir_ + "/registry.db").c_str(), 1);
        vnx::reset_registry_cache_for_tests();
        int32_t err = 0;
        ASSERT_EQ(vnx::db_server_connect(&h_, "", "", "", "t", &err, 0), 0);
        s_ = vnx::find_session(h_);
        ASSERT_NE(s_, nullptr);
    }
    void TearDown() override {
        vnx::free_all_sessions();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    // EXECSQL that must succeed.
    void exec(const std::string &sql) {
        char name[240] = "";
        int32_t has = 0, st = 0, st2 = 0;
        ASSERT_EQ(vnx::db_server_execsql(h_, sql.c_str(), name, &has, &st, &st2), 0) << sql;
    }

    std::string dir_;
    int32_t h_ = 0;
    vnx::svr_session *s_ = nullptr;
};
