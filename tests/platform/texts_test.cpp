#include "platform/DateText.h"

#include <gtest/gtest.h>

#include <ctime>

TEST(AlertDateText, LocalTimeWithTheWeekBasedTwoDigitYear) {
    auto localTime = [](int year, int month, int day, int hour, int minute, int second) {
        std::tm fields{};
        fields.tm_year = year - 1900;
        fields.tm_mon = month - 1;
        fields.tm_mday = day;
        fields.tm_hour = hour;
        fields.tm_min = minute;
        fields.tm_sec = second;
        fields.tm_isdst = -1;
        return std::chrono::system_clock::from_time_t(std::mktime(&fields));
    };
    EXPECT_EQ(platform::alertDateText(localTime(2024, 12, 30, 13, 5, 9)), "30.12.25 13:05:09");
    EXPECT_EQ(platform::alertDateText(localTime(2021, 1, 2, 0, 0, 0)), "02.01.20 00:00:00");
    EXPECT_EQ(platform::alertDateText(localTime(2026, 7, 4, 23, 59, 59)), "04.07.26 23:59:59");
}
