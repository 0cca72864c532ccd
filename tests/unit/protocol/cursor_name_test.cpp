#include "protocol/cursor_name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "client/sql_client.h"

namespace {

std::string name_of(int32_t handle) {
    char buf[dqp::kQueryCursorNameLength + 1];
    memset(buf, 'x', sizeof buf);
    std::string_view v = dqp::query_cursor_name(handle, buf);
    EXPECT_EQ(v.data(), buf);
    EXPECT_EQ(strlen(buf), dqp::kQueryCursorNameLength);  // NUL-terminated in place
    return std::string(v);
}

TEST(QueryCursorName, IsPrefixAndEightUpperCaseHexDigitsOfTheHandle) {
    EXPECT_EQ(name_of(0), "DQP_SLT_00000000");
    EXPECT_EQ(name_of(1), "DQP_SLT_00000001");
    EXPECT_EQ(name_of(0x1A), "DQP_SLT_0000001A");
    EXPECT_EQ(name_of(0x12345678), "DQP_SLT_12345678");
    EXPECT_EQ(name_of(0x7FFFFFFF), "DQP_SLT_7FFFFFFF");
}

TEST(QueryCursorName, NegativeHandleIsItsThirtyTwoBitPattern) {
    EXPECT_EQ(name_of(-1), "DQP_SLT_FFFFFFFF");
    EXPECT_EQ(name_of(INT32_MIN), "DQP_SLT_80000000");
}

TEST(QueryCursorName, PassesTheClientsCursorNameCheck) {
    // The client pipelines requests under this name: its own check must let
    // every handle's name through.
    std::string why;
    EXPECT_EQ(dqp::check_cursor_name(name_of(INT32_MIN), &why), 0) << why;
    EXPECT_EQ(dqp::check_cursor_name(name_of(0), &why), 0) << why;
}

}  // namespace
