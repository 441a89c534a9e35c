// The simulated device's clock: parses the time AT^QRTC= gives, keeps only its
// distance from the host's UTC, and formats the clock for AT^QRTC?.
#include "tools/sim/clock.h"

#include <cstdio>
#include <ctime>

static long long ClockOffset = 0;  // seconds between the device's clock and the host's UTC

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
static long long DaysFromCivil(long long y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

static bool Digits(const std::string& s, size_t at, size_t n, unsigned* value)
{
    *value = 0;
    for (size_t i = at; i < at + n; i++) {
        if (s[i] < '0' || s[i] > '9') {
            return false;
        }
        *value = *value * 10 + static_cast<unsigned>(s[i] - '0');
    }
    return true;
}

// "YYYY/MM/DD HH:MM:SS", the hour possibly padded with a space. The device's
// clock holds the years 2000 to 2099, where every fourth year is a leap year.
static bool ParseClock(const std::string& s, long long* epoch)
{
    if (s.size() != 19 || s[4] != '/' || s[7] != '/' || s[10] != ' ' || s[13] != ':' || s[16] != ':') {
        return false;
    }
    std::string hour = s.substr(11, 2);
    if (hour[0] == ' ') {
        hour[0] = '0';
    }
    unsigned year, month, day, h, min, sec;
    if (!Digits(s, 0, 4, &year) || !Digits(s, 5, 2, &month) || !Digits(s, 8, 2, &day) ||
        !Digits(hour, 0, 2, &h) || !Digits(s, 14, 2, &min) || !Digits(s, 17, 2, &sec)) {
        return false;
    }
    static const unsigned MonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 2000 || year > 2099 || month < 1 || month > 12 || h > 23 || min > 59 || sec > 59) {
        return false;
    }
    const unsigned days = month == 2 && year % 4 == 0 ? 29 : MonthDays[month - 1];
    if (day < 1 || day > days) {
        return false;
    }
    const long long seconds = (static_cast<long long>(h) * 60 + min) * 60 + sec;
    *epoch = DaysFromCivil(year, month, day) * 86400 + seconds;
    return true;
}

std::string ClockText()
{
    time_t t = time(nullptr) + static_cast<time_t>(ClockOffset);
    struct tm tm;
    gmtime_r(&t, &tm);
    char text[64];
    snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

bool SetClock(const std::string& text)
{
    long long epoch;
    if (!ParseClock(text, &epoch)) {
        return false;
    }
    ClockOffset = epoch - static_cast<long long>(time(nullptr));
    return true;
}
