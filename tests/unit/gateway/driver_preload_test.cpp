// The gateway's driver warm-up: which libraries the data sources name, and
// the warm-up itself. Each test's ODBC calls run in a fresh child process
// (death-test style): the driver manager keeps the ini paths it saw first for
// the life of a process, the warm-up starts only once per process, as in a
// gateway, and no library this test program loaded before counts.
#include "gateway/driver_preload.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "gateway/sqlite_tuning.h"
#include "support/config_cache.h"
#include "support/config_store.h"

using namespace vnx;
using std::chrono::milliseconds;

namespace {

// Names the folder of a test for its death-test children: "PID:FOLDER".
constexpr const char *kFolderVariable = "VNX_PRELOAD_TEST_DIR";

class DriverPreload : public ::testing::Test {
  protected:
    // A death-test child that runs in a fresh process (DriverSqlite) runs
    // SetUp again and ends without TearDown: it works in the folder of the
    // test process that started it, so that it leaves nothing behind.
    void SetUp() override {
        if (!inherit_folder()) {
            char tmpl[] = "/tmp/vnx_preload_XXXXXX";
            ASSERT_NE(mkdtemp(tmpl), nullptr);
            dir_ = tmpl;
            owner_ = true;
            setenv(kFolderVariable, (std::to_string(getpid()) + ":" + dir_).c_str(), 1);
            std::string cmd = std::string(VNX_SOURCE_DIR) + "/scripts/odbc-ini " + dir_;
            ASSERT_EQ(system(cmd.c_str()), 0);
        }
        setenv("ODBCSYSINI", dir_.c_str(), 1);
        setenv("ODBCINI", (dir_ + "/odbc.ini").c_str(), 1);
        setenv("VNX_REGISTRY", (dir_ + "/registry.db").c_str(), 1);
        reset_registry_cache_for_tests();
        sqlite_ = driver_library("SQLite3");
        pg_ = driver_library("PostgreSQL ANSI");
        pgw_ = driver_library("PostgreSQL Unicode");
        if (sqlite_.empty() || pg_.empty() || pgw_.empty())
            GTEST_SKIP() << "the SQLite and PostgreSQL ODBC drivers are not installed";
        pg_wide() = pgw_;
    }
    void TearDown() override {
        if (!owner_) return;
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        unsetenv(kFolderVariable);
    }
    // True when this process is a death-test child of the test process named
    // in the environment; dir_ is then that process's folder.
    bool inherit_folder() {
        const char *v = getenv(kFolderVariable);
        std::string named = v != nullptr ? v : "";
        size_t colon = named.find(':');
        if (colon == std::string::npos || atol(named.c_str()) != getppid()) return false;
        dir_ = named.substr(colon + 1);
        return true;
    }
    // The "Driver" line that scripts/odbc-ini wrote for a driver, or "".
    std::string driver_library(const std::string &name) {
        std::ifstream in(dir_ + "/odbcinst.ini");
        std::string line;
        bool in_section = false;
        while (std::getline(in, line)) {
            if (line.rfind('[', 0) == 0) in_section = line == "[" + name + "]";
            if (in_section && line.rfind("Driver=", 0) == 0) return line.substr(7);
        }
        return {};
    }
    void write_odbc_ini(const std::string &text) { std::ofstream(dir_ + "/odbc.ini") << text; }
    // The number of threads of this process.
    static long thread_count() {
        auto tasks = std::filesystem::directory_iterator("/proc/self/task");
        return std::distance(std::filesystem::begin(tasks), std::filesystem::end(tasks));
    }
    // The number of threads of this process once any helper thread of a
    // sanitizer runtime runs: ThreadSanitizer starts one with the process's
    // first new thread, so one is started and joined first.
    static long threads_before_warm_up() {
        std::thread([] {}).join();
        return thread_count();
    }
    // True once this process has no more threads than `before`; false when
    // there are more still after a minute.
    static bool only_thread_left(long before) {
        for (int i = 0; i < 6000; i++) {
            if (thread_count() <= before) return true;
            usleep(10000);
        }
        return false;
    }
    static bool loaded(const std::string &library) {
        return dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr;
    }
    std::string dir_, sqlite_, pg_, pgw_;
    bool owner_ = false;  // this process made dir_ (and removes it)
    // pgw_ for a handler that cannot capture: each test's child has its own.
    static std::string &pg_wide() {
        static std::string library;
        return library;
    }
};

TEST_F(DriverPreload, EachDataSourceDriverLibraryOnceInListOrder) {
    write_odbc_ini(
        "[pg1]\nDriver=PostgreSQL ANSI\n"
        "[lite]\nDriver=SQLite3\nDatabase=/nonexistent/t.db\n"
        "[pg2]\nDriver=PostgreSQL ANSI\n"
        "[bypath]\nDriver=/opt/drivers/libdirect.so\n"
        "[unknown]\nDriver=No Such Driver\n");
    std::vector<std::string> expected = {pg_, sqlite_, "/opt/drivers/libdirect.so"};
    EXPECT_EXIT(
        {
            std::vector<std::string> got = data_source_driver_libraries();
            for (const std::string &library : got)
                fprintf(stderr, "%s\n", library.c_str());
            write_odbc_ini("");
            _exit(got == expected && data_source_driver_libraries().empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// The warm-up loads the libraries of the data sources only (no gateway test
// loads the PostgreSQL drivers), skips one that does not exist, and a
// CONNECT afterwards works, or fails for the missing library with the driver
// manager's own message, as without the warm-up.
TEST_F(DriverPreload, LoadsTheDataSourcesLibrariesBeforeConnect) {
    write_odbc_ini("[pg]\nDriver=PostgreSQL ANSI\n[lite]\nDriver=SQLite3\nDatabase=" + dir_ +
                   "/t.db\n[missing]\nDriver=" + dir_ + "/libmissing.so\n");
    EXPECT_EXIT(
        {
            bool before = loaded(pg_);
            bool also_ran = false;
            start_driver_preload(milliseconds(0), [&also_ran] { also_ran = true; });
            int n = wait_driver_preload();
            bool ok = !before && n == 2 && loaded(pg_) && !loaded(pgw_) && also_ran;
            // Each DSN's library is noted for CONNECT, names without regard to case.
            ok = ok && preloaded_driver_library("LITE") == sqlite_ &&
                 preloaded_driver_library("pg") == pg_ &&
                 preloaded_driver_library("missing") == dir_ + "/libmissing.so" &&
                 preloaded_driver_library("nope").empty();
            SQLHENV env;
            SQLHDBC dbc;
            SQLAllocEnv(&env);
            SQLAllocConnect(env, &dbc);
            ok = ok &&
                 SQL_SUCCEEDED(SQLConnect(dbc, (SQLCHAR *)"lite", SQL_NTS, nullptr, 0, nullptr, 0));
            SQLDisconnect(dbc);
            SQLRETURN rc = SQLConnect(dbc, (SQLCHAR *)"missing", SQL_NTS, nullptr, 0, nullptr, 0);
            SQLCHAR state[6] = "";
            SQLINTEGER native = 0;
            SQLCHAR text[512] = "";
            SQLSMALLINT len = 0;
            SQLError(env, dbc, SQL_NULL_HSTMT, state, &native, text, sizeof text, &len);
            ok = ok && !SQL_SUCCEEDED(rc) && strstr((char *)text, "libmissing.so") != nullptr;
            fprintf(stderr, "loaded %d, %s: %s (before %d, pg %d, pgw %d)\n", n, state, text,
                    before, loaded(pg_), loaded(pgw_));
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "loaded 2, 01000");
}

TEST_F(DriverPreload, SwitchedOffBySetting) {
    write_odbc_ini("[pg]\nDriver=PostgreSQL ANSI\n");
    std::string err;
    auto store = ConfigStore::open(dir_ + "/registry.db", true, &err);
    ASSERT_NE(store, nullptr) << err;
    ASSERT_EQ(store->create_key(std::string(kRootKey) + "\\ODBServer"), 0);
    ASSERT_EQ(store->set_value(std::string(kRootKey) + "\\ODBServer", "preload_drivers", "false"),
              0);
    store.reset();
    EXPECT_EXIT(
        {
            start_driver_preload(milliseconds(0));
            _exit(wait_driver_preload() == 0 && !loaded(pg_) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// A START or a CONNECT that comes while the warm-up is still in its pause
// calls it off: nothing is loaded that the client did not ask for.
TEST_F(DriverPreload, StartOrConnectDuringThePauseCallsTheWarmUpOff) {
    write_odbc_ini("[pg]\nDriver=PostgreSQL ANSI\n");
    EXPECT_EXIT(
        {
            bool also_ran = false;
            start_driver_preload(std::chrono::minutes(10), [&also_ran] { also_ran = true; });
            int n = wait_driver_preload();
            bool nothing = preloaded_driver_library("pg").empty() && !also_ran;
            _exit(n == 0 && nothing && wait_driver_preload() == 0 && !loaded(pg_) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            long before = threads_before_warm_up();
            start_driver_preload(std::chrono::minutes(10));
            call_off_driver_preload();
            bool ended = only_thread_left(before);  // the warm-up ended without a wait
            _exit(ended && wait_driver_preload() == 0 && !loaded(pg_) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// A gateway whose client stops at once exits while the warm-up pauses or
// runs: the exit calls it off or waits for it, instead of hanging for the
// pause or ending the process abnormally.
TEST_F(DriverPreload, ExitDuringTheWarmUpIsClean) {
    write_odbc_ini("[pg]\nDriver=PostgreSQL ANSI\n[lite]\nDriver=SQLite3\n");
    EXPECT_EXIT(
        {
            start_driver_preload(std::chrono::minutes(10));
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            start_driver_preload(milliseconds(0));
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// OpenSSL's exit handler, when registered, runs before anything registered
// earlier and frees OpenSSL for good: OPENSSL_init_crypto fails after it.
// The warm-up sets up the OpenSSL that psqlODBC links without registering
// that handler, so the library is whole at exit, whatever runs then.
TEST_F(DriverPreload, WarmUpLeavesNoOpenSslExitHandler) {
    write_odbc_ini("[pg]\nDriver=PostgreSQL Unicode\n");
    EXPECT_EXIT(
        {
            atexit([] {
                using InitCrypto = int (*)(uint64_t, const void *);
                void *pg = dlopen(DriverPreload::pg_wide().c_str(), RTLD_NOW | RTLD_NOLOAD);
                auto init = pg != nullptr
                                ? reinterpret_cast<InitCrypto>(dlsym(pg, "OPENSSL_init_crypto"))
                                : nullptr;
                if (init == nullptr) _exit(2);
                _exit(init(0, nullptr) == 1 ? 0 : 3);
            });
            start_driver_preload(milliseconds(0));
            wait_driver_preload();
            exit(1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Setting up the SQLite library of a driver before the first connection.
class DriverSqlite : public DriverPreload {
  protected:
    // Each child runs in a fresh process: SQLite takes its settings only
    // before its first use, and a test run before this one in the same
    // process may have used the library (builds that link it dynamically).
    void SetUp() override {
        style_ = GTEST_FLAG_GET(death_test_style);
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        DriverPreload::SetUp();
    }
    void TearDown() override {
        GTEST_FLAG_SET(death_test_style, style_);
        DriverPreload::TearDown();
    }
    std::string style_;
    // The most memory SQLite has held, read through the driver's own library
    // (0 while memory statistics are off).
    int64_t sqlite_memory_used() {
        void *driver = dlopen(sqlite_.c_str(), RTLD_NOW | RTLD_NOLOAD);
        using Highwater = int64_t (*)(int reset);
        auto most = reinterpret_cast<Highwater>(dlsym(driver, "sqlite3_memory_highwater"));
        return most != nullptr ? most(0) : -1;
    }
    // Connects to DSN "lite", creates a table and reads it back; true when
    // every call succeeded.
    static bool use_sqlite() {
        SQLHENV env;
        SQLHDBC dbc;
        SQLHSTMT h;
        SQLAllocEnv(&env);
        SQLAllocConnect(env, &dbc);
        if (!SQL_SUCCEEDED(SQLConnect(dbc, (SQLCHAR *)"lite", SQL_NTS, nullptr, 0, nullptr, 0)))
            return false;
        SQLAllocStmt(dbc, &h);
        bool ok = SQL_SUCCEEDED(SQLExecDirect(h, (SQLCHAR *)"CREATE TABLE t (i INTEGER)", SQL_NTS));
        ok = ok && SQL_SUCCEEDED(SQLExecDirect(h, (SQLCHAR *)"INSERT INTO t VALUES (42)", SQL_NTS));
        ok = ok && SQL_SUCCEEDED(SQLExecDirect(h, (SQLCHAR *)"SELECT i FROM t", SQL_NTS));
        SQLINTEGER v = 0;
        SQLLEN len = 0;
        ok = ok && SQL_SUCCEEDED(SQLFetch(h)) &&
             SQL_SUCCEEDED(SQLGetData(h, 1, SQL_C_LONG, &v, 0, &len)) && v == 42;
        SQLFreeStmt(h, SQL_DROP);
        SQLDisconnect(dbc);
        return ok;
    }
};

TEST_F(DriverSqlite, DataSourceDriverLibraryFromTheIniFiles) {
    write_odbc_ini(
        "[lite]\nDriver=SQLite3\n[bypath]\nDriver=/opt/drivers/libdirect.so\n"
        "[unknown]\nDriver=No Such Driver\n");
    EXPECT_EXIT(
        {
            bool ok = driver_library_of("lite") == sqlite_ &&
                      driver_library_of("bypath") == "/opt/drivers/libdirect.so" &&
                      driver_library_of("unknown").empty() && driver_library_of("absent").empty();
            // The user's file comes first; names match without regard to
            // case, blanks around '=' and comments are skipped.
            std::ofstream(dir_ + "/user.ini")
                << "# mine\n[LITE]\n; Driver=/commented/out.so\n  driver =  /opt/user/lib.so  \n";
            setenv("ODBCINI", (dir_ + "/user.ini").c_str(), 1);
            ok = ok && driver_library_of("lite") == "/opt/user/lib.so" &&
                 driver_library_of("bypath") == "/opt/drivers/libdirect.so";
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Tuned before the first connection: the driver works as before, and the
// settings took (memory statistics stay at 0 while SQLite holds memory).
// Without the tuning SQLite counts its memory; once it is in use, the
// settings are refused and nothing changes.
TEST_F(DriverSqlite, TunedBeforeFirstUseOnlyAndTheDriverStillWorks) {
    write_odbc_ini("[lite]\nDriver=SQLite3\nDatabase=" + dir_ + "/t.db\n");
    EXPECT_EXIT(
        {
            bool tuned = tune_driver_sqlite(driver_library_of("lite")) == SqliteTuning::Tuned;
            bool ok = use_sqlite();
            fprintf(stderr, "tuned %d, used %d, memory %lld\n", tuned, ok,
                    static_cast<long long>(sqlite_memory_used()));
            _exit(tuned && ok && sqlite_memory_used() == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    std::filesystem::remove(dir_ + "/t.db");
    EXPECT_EXIT(
        {
            bool ok = use_sqlite() && sqlite_memory_used() > 0;
            _exit(ok && tune_driver_sqlite(sqlite_) == SqliteTuning::InUse ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(DriverSqlite, OtherDriversAndTheSettingLeaveSqliteAlone) {
    EXPECT_EXIT(
        {
            bool ok = tune_driver_sqlite(pg_) == SqliteTuning::NoSqlite &&
                      tune_driver_sqlite(dir_ + "/libmissing.so") == SqliteTuning::NoSqlite &&
                      tune_driver_sqlite("") == SqliteTuning::NoSqlite;
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    std::string err;
    auto store = ConfigStore::open(dir_ + "/registry.db", true, &err);
    ASSERT_NE(store, nullptr) << err;
    ASSERT_EQ(store->create_key(std::string(kRootKey) + "\\ODBServer"), 0);
    ASSERT_EQ(store->set_value(std::string(kRootKey) + "\\ODBServer", "tune_sqlite", "false"), 0);
    store.reset();
    write_odbc_ini("[lite]\nDriver=SQLite3\nDatabase=" + dir_ + "/t.db\n");
    EXPECT_EXIT(
        {
            bool off = tune_driver_sqlite(sqlite_) == SqliteTuning::SwitchedOff;
            _exit(off && use_sqlite() && sqlite_memory_used() > 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
