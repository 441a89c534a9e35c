// UTC to New Zealand Standard Time: twelve hours on, carried into day, month and year.
#include <gtest/gtest.h>

#include "clock/nzst.h"

namespace {

SystemTime Make(int year, int month, int day, int hour, int minute = 34, int second = 56)
{
    SystemTime t;
    t.wYear = static_cast<uint16_t>(year);
    t.wMonth = static_cast<uint16_t>(month);
    t.wDayOfWeek = 3;
    t.wDay = static_cast<uint16_t>(day);
    t.wHour = static_cast<uint16_t>(hour);
    t.wMinute = static_cast<uint16_t>(minute);
    t.wSecond = static_cast<uint16_t>(second);
    t.wMilliseconds = 789;
    return t;
}

struct Adjusted {
    int year, month, day, hour;
};

void ExpectAdjusted(SystemTime utc, Adjusted nz)
{
    const SystemTime before = utc;
    AdjustUTCtoNZST(&utc);
    EXPECT_EQ(utc.wYear, nz.year);
    EXPECT_EQ(utc.wMonth, nz.month);
    EXPECT_EQ(utc.wDay, nz.day);
    EXPECT_EQ(utc.wHour, nz.hour);
    // Only the calendar fields and the hour move; the weekday is not updated.
    EXPECT_EQ(utc.wMinute, before.wMinute);
    EXPECT_EQ(utc.wSecond, before.wSecond);
    EXPECT_EQ(utc.wMilliseconds, before.wMilliseconds);
    EXPECT_EQ(utc.wDayOfWeek, before.wDayOfWeek);
}

TEST(AdjustUTCtoNZST, BeforeNoonStaysOnTheSameDay)
{
    ExpectAdjusted(Make(2023, 5, 17, 11, 59, 59), {2023, 5, 17, 23});
    ExpectAdjusted(Make(2023, 5, 17, 0, 0, 0), {2023, 5, 17, 12});
}

TEST(AdjustUTCtoNZST, NoonAndAfterMoveToTheNextDay)
{
    ExpectAdjusted(Make(2023, 5, 17, 12, 0, 0), {2023, 5, 18, 0});
    ExpectAdjusted(Make(2023, 5, 17, 23, 59, 59), {2023, 5, 18, 11});
}

TEST(AdjustUTCtoNZST, CarriesIntoTheNextMonth)
{
    ExpectAdjusted(Make(2023, 1, 31, 12, 0, 0), {2023, 2, 1, 0});
    ExpectAdjusted(Make(2023, 4, 30, 13), {2023, 5, 1, 1});
    ExpectAdjusted(Make(2023, 4, 29, 13), {2023, 4, 30, 1});
    // Into December, the last month that is not a new year.
    ExpectAdjusted(Make(2023, 11, 30, 12, 0, 0), {2023, 12, 1, 0});
}

TEST(AdjustUTCtoNZST, FebruaryFollowsTheFourYearRule)
{
    ExpectAdjusted(Make(2023, 2, 28, 12, 0, 0), {2023, 3, 1, 0});
    ExpectAdjusted(Make(2024, 2, 28, 12, 0, 0), {2024, 2, 29, 0});
    ExpectAdjusted(Make(2024, 2, 29, 12, 0, 0), {2024, 3, 1, 0});
    // Century years count as leap years too.
    ExpectAdjusted(Make(2100, 2, 28, 20), {2100, 2, 29, 8});
}

TEST(AdjustUTCtoNZST, CarriesIntoTheNextYear)
{
    ExpectAdjusted(Make(2023, 12, 31, 13, 0, 0), {2024, 1, 1, 1});
    ExpectAdjusted(Make(2023, 12, 30, 13, 0, 0), {2023, 12, 31, 1});
}

TEST(DaysInMonth, LengthsOfTheMonths)
{
    const int common[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int m = 1; m <= 12; m++) {
        EXPECT_EQ(DaysInMonth(m, 2023), common[m - 1]) << m;
        EXPECT_EQ(DaysInMonth(m, 2024), m == 2 ? 29 : common[m - 1]) << m;
    }
    EXPECT_EQ(DaysInMonth(2, 2100), 29);
    EXPECT_EQ(DaysInMonth(2, 2000), 29);
    EXPECT_EQ(DaysInMonth(2, 2022), 28);
}

TEST(DaysInMonth, MonthsOutsideTheYearHaveNoDays)
{
    EXPECT_EQ(DaysInMonth(0, 2024), 0);
    EXPECT_EQ(DaysInMonth(13, 2024), 0);
}

}  // namespace
