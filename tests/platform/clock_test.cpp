#include <gtest/gtest.h>

#include "platform/clock.h"

TEST(Clock, TimestampTextIsTheRunTimesCurrentTimeText) {
    platform::LocalTime t = platform::make_local_time(2011, 4, 28, 0, 6, 25);
    EXPECT_EQ(platform::timestamp_text(t), "Thu Apr 28 00:06:25 2011\n");
    std::string text = platform::timestamp_text(t);
    EXPECT_EQ(text.size(), 25u);
    EXPECT_EQ(text.substr(11, 2), "00");  // the hour's place
}

TEST(Clock, TimestampDayHasALeadingZero) {
    EXPECT_EQ(platform::timestamp_text(platform::make_local_time(2011, 1, 6, 13, 0, 9)), "Thu Jan 06 13:00:09 2011\n");
    EXPECT_EQ(platform::timestamp_text(platform::make_local_time(2026, 12, 7, 23, 59, 59)), "Mon Dec 07 23:59:59 2026\n");
}

TEST(Clock, DateTimeTextHasNoLeadingZeros) {
    EXPECT_EQ(platform::date_time_text(platform::make_local_time(2011, 4, 28, 0, 6, 25)), "2011年4月28日0時6分25秒");
    EXPECT_EQ(platform::date_time_text(platform::make_local_time(2011, 11, 6, 9, 30, 0)), "2011年11月6日9時30分0秒");
}

TEST(Clock, SystemTimeIsPlausible) {
    platform::LocalTime t = platform::system_local_time();
    EXPECT_GE(t.year, 2024);
    EXPECT_GE(t.month, 1);
    EXPECT_LE(t.month, 12);
    EXPECT_GT(t.epoch_seconds, 1700000000);
}
