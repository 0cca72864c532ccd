// A gateway's backend operations run on one thread: the first operation's.
// Each case runs in a child process of its own (death-test style), since the
// first operation of a process decides its ODBC thread.
#include "gateway/odbc_thread.h"

#include <gtest/gtest.h>

#include <thread>

#include "gateway/session.h"
#include "gateway/svr_session.h"

using namespace vnx;

namespace {

// Runs `op` on a thread of its own and waits for it.
template <typename Op>
void on_other_thread(Op op) {
    std::thread(op).join();
}

TEST(OdbcThreadDeathTest, OperationsOnTheFirstOperationsThreadPass) {
    EXPECT_EXIT(
        {
            on_other_thread([] { check_odbc_thread("first"); });  // not yet claimed: any thread
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            check_odbc_thread("first");
            for (int i = 0; i < 3; i++)
                check_odbc_thread("again");
            bool unknown = find_session(12345) == nullptr;  // still answers, on this thread
            _exit(unknown ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(OdbcThreadDeathTest, OperationOnAnotherThreadAbortsNamingIt) {
    EXPECT_DEATH(
        {
            find_session(1);
            on_other_thread([] {
                int32_t status = 0;
                db_server_commit(1, &status);
            });
        },
        "ODBC operation on the wrong thread\n.*db_server_commit ran on thread [0-9]+; "
        "this process makes its ODBC calls on thread [0-9]+");
    EXPECT_DEATH(
        {
            check_odbc_thread("first");
            on_other_thread([] { db_server_disconnect(1); });
        },
        "db_server_disconnect ran on thread");
}

// CONNECT is checked before it makes its first ODBC call.
TEST(OdbcThreadDeathTest, ConnectOnAnotherThreadAborts) {
    EXPECT_DEATH(
        {
            check_odbc_thread("first");
            on_other_thread([] {
                int32_t handle = 0, error = 0;
                db_server_connect(&handle, "", "", "", "no_such_dsn", &error, 0);
            });
        },
        "db_server_connect ran on thread");
}

}  // namespace
