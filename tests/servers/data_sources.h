// The data sources the server tests run on: SQLite (a file, always there),
// PostgreSQL (also with psqlODBC's declare/fetch) and MariaDB, the last two
// as throwaway servers (throwaway_server.h), one of each for the whole test
// program, started by the first test that needs it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "throwaway_server.h"

namespace vnxtest {

enum class Source { Sqlite, Postgres, PostgresDeclareFetch, Mariadb };

// The name a parameterised test shows for its source.
inline std::string source_name(const testing::TestParamInfo<Source> &info) {
    switch (info.param) {
        case Source::Sqlite:
            return "SQLite";
        case Source::Postgres:
            return "PostgreSQL";
        case Source::PostgresDeclareFetch:
            return "PostgreSQLDeclareFetch";
        case Source::Mariadb:
            break;
    }
    return "MariaDB";
}

// The program's server for a PostgreSQL or MariaDB source.
inline ThrowawayServer &server_of(Source s) {
    static PostgresServer pg;
    static MariadbServer maria;
    if (s == Source::Postgres || s == Source::PostgresDeclareFetch) return pg;
    return maria;
}

// Stops and removes both servers (a suite's TearDownTestSuite); the next
// test that needs one starts it afresh.
inline void destroy_servers() {
    server_of(Source::Postgres).destroy();
    server_of(Source::Mariadb).destroy();
}

// Starts the server of a PostgreSQL or MariaDB source from a fixture's
// SetUp: skips the test when the server's programs are not installed, fails
// it when the server will not start. The caller stops when the test has
// been skipped or has failed (IsSkipped(), HasFailure()).
inline void start_server(Source s) {
    ThrowawayServer &server = server_of(s);
    if (server.start()) return;
    if (!server.installed()) GTEST_SKIP() << server.why();
    FAIL() << server.why();
}

}  // namespace vnxtest
