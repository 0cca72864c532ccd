#include "transport/spawn.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace vnx;

TEST(Handshake, FileNameIsPortInFourHexDigits) {
    EXPECT_EQ(handshake_file_name(8001), "dqp_1F41.tmp");
    EXPECT_EQ(handshake_file_name(5001), "dqp_1389.tmp");
    EXPECT_EQ(handshake_file_name(255), "dqp_00FF.tmp");
}

TEST(Handshake, WaitLimitFromEnvironment) {
    unsetenv("DQP_SPAWNWAIT");
    EXPECT_EQ(spawn_wait_limit(), 100);
    setenv("DQP_SPAWNWAIT", "0", 1);
    EXPECT_EQ(spawn_wait_limit(), 0);
    setenv("DQP_SPAWNWAIT", "7", 1);
    EXPECT_EQ(spawn_wait_limit(), 7);
    unsetenv("DQP_SPAWNWAIT");
}
