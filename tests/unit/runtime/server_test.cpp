#include "runtime/server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "runtime/client_table.h"

using namespace vnx;

TEST(MaxBufSize, FromTcpBufSetting) {
    EXPECT_EQ(maxbufsize_from(""), 16384);
    EXPECT_EQ(maxbufsize_from("4"), 4096);
    EXPECT_EQ(maxbufsize_from("15"), 15360);
    EXPECT_EQ(maxbufsize_from("16"), 16384);
    EXPECT_EQ(maxbufsize_from("64"), 16384);
    // "0" (or a negative size) means what it says: no batching at all.
    EXPECT_EQ(maxbufsize_from("0"), 0);
    EXPECT_EQ(maxbufsize_from("-2"), 0);
}

TEST(GatewayMain, CommandLineWithoutBlankExitsMinusOne) {
    char prog[] = "odbserver", port[] = "5001";
    char *argv[] = {prog, port, nullptr};
    BackendOps ops{};
    EXPECT_EQ(gateway_main(2, argv, "odb", &ops), -1);
}
