#include "support/datetime.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace {

using vnx::date_settings;
using vnx::format_date;
using vnx::format_time;

constexpr time_t kDec6_2026_140509 = 1796565909;  // 2026-12-06 14:05:09 UTC
constexpr time_t kMar5_2001_0000 = 983750400;     // 2001-03-05 00:00:00 UTC
constexpr time_t kDec5_2026_2330 = 1796513400;    // 2026-12-05 23:30:00 UTC

class DateTimeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        date_settings() = vnx::DateSettings{};
    }
    void TearDown() override { date_settings() = vnx::DateSettings{}; }

    std::string date_in(int style, bool century, time_t t = kDec6_2026_140509) {
        date_settings().style = style;
        date_settings().century = century;
        return format_date(t);
    }
};

TEST_F(DateTimeTest, InitialStyleIsDayMonthYear) {
    EXPECT_EQ(format_date(kDec6_2026_140509), "06/12/26");
    date_settings().century = true;
    EXPECT_EQ(format_date(kDec6_2026_140509), "06/12/2026");
}

TEST_F(DateTimeTest, EveryCodeGivesItsGroupLayout) {
    for (int style : {332, 349, 350, 351, 1228})
        EXPECT_EQ(date_in(style, true), "06/12/2026");
    for (int style : {333, 643, 1229})
        EXPECT_EQ(date_in(style, true), "12/06/2026");
    for (int style : {348, 641, 642})
        EXPECT_EQ(date_in(style, true), "2026/12/06");
    EXPECT_EQ(date_in(333, false), "12/06/26");
    EXPECT_EQ(date_in(641, false), "26/12/06");
}

TEST_F(DateTimeTest, UnknownStyleUsesInitialLayout) {
    EXPECT_EQ(date_in(0, false), "06/12/26");
    EXPECT_EQ(date_in(334, true), "06/12/2026");
}

TEST_F(DateTimeTest, SeparatorAndZeroPaddedSmallFields) {
    date_settings().separator = '-';
    EXPECT_EQ(date_in(332, false, kMar5_2001_0000), "05-03-01");
    EXPECT_EQ(date_in(348, false, kMar5_2001_0000), "01-03-05");
    EXPECT_EQ(date_in(333, true, kMar5_2001_0000), "03-05-2001");
}

TEST_F(DateTimeTest, TimeIsLocalTwentyFourHour) {
    EXPECT_EQ(format_time(kDec6_2026_140509), "14:05:09");
    EXPECT_EQ(format_time(kMar5_2001_0000), "00:00:00");
    setenv("TZ", "UTC-2", 1);  // two hours east: the next day
    tzset();
    EXPECT_EQ(format_time(kDec5_2026_2330), "01:30:00");
    EXPECT_EQ(format_date(kDec5_2026_2330), "06/12/26");
}

TEST(MonthNumber, ExactEnglishNamesOnly) {
    EXPECT_EQ(vnx::month_number("Jan"), 1);
    EXPECT_EQ(vnx::month_number("Dec"), 12);
    EXPECT_EQ(vnx::month_number("dec"), 0);
    EXPECT_EQ(vnx::month_number("January"), 0);
    EXPECT_EQ(vnx::month_number(nullptr), 0);
}

}  // namespace
