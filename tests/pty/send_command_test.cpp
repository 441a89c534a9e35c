// Modem command lines as they reach the device: line ends by kind of command,
// the shorthand, and the clock command filled in from the system clock.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "script/modem.h"
#include "support/open_port.h"

namespace {

class CommandOnTheWire : public OpenPort {
protected:
    void SetUp() override
    {
        OpenPort::SetUp();
        device_->SetHandler(Rules({{"*", "\r\nOK\r\n"}}));
    }

    // Sends one script line; answers the bytes it put on the line. The console
    // shows the line as prepared and the device's OK.
    std::string Wire(const std::string& line, const std::string& shown)
    {
        const size_t before = device_->Wire().size();
        char buf[LINE_BUFFER_SIZE];
        memcpy(buf, line.c_str(), line.size() + 1);
        bool answered = false;
        EXPECT_EQ(CaptureStdout([&] { answered = SendVLKCommand(port_, buf, "OK", "ERROR"); }),
                  shown + "Got \"OK\"\n")
            << line;
        EXPECT_TRUE(answered) << line;
        return device_->Wire().substr(before);
    }

    // Sends a clock command; answers the seconds between the time it carries and the system's UTC.
    long long ClockOffset(const std::string& line)
    {
        const time_t before = time(nullptr);
        char buf[LINE_BUFFER_SIZE];
        memcpy(buf, line.c_str(), line.size() + 1);
        const size_t start = device_->Wire().size();
        CaptureStdout([&] { SendVLKCommand(port_, buf, "OK", "ERROR"); });
        const std::string sent = device_->Wire().substr(start);
        struct tm tm;
        memset(&tm, 0, sizeof tm);
        char again[64] = "";
        if (sscanf(sent.c_str(), "AT^QRTC=%4d/%2d/%2d %2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                   &tm.tm_min, &tm.tm_sec) == 6) {
            snprintf(again, sizeof again, "AT^QRTC=%04d/%02d/%02d %2d:%02d:%02d\r\n", tm.tm_year, tm.tm_mon,
                     tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        }
        if (sent != again) {
            ADD_FAILURE() << "not a clock command: " << sent;
            return -1;
        }
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        const long long offset = static_cast<long long>(timegm(&tm)) - before;
        // Whole seconds, so the clock may have moved on by up to a second or two meanwhile.
        EXPECT_GE(offset % 3600, 0) << sent;
        EXPECT_LE(offset % 3600, 2) << sent;
        return offset - offset % 3600;
    }
};

TEST_F(CommandOnTheWire, PlainCommandLosesItsLineFeed)
{
    EXPECT_EQ(Wire("AT+CSQ\r\n", "AT+CSQ\r\n"), "AT+CSQ\r");
    EXPECT_EQ(Wire(" \r\n", " \r\n"), " \r");
}

TEST_F(CommandOnTheWire, PlainCommandFromALineFeedOnlyLineHasNoLineEnd)
{
    EXPECT_EQ(Wire("AT+CSQ\n", "AT+CSQ\n"), "AT+CSQ");
}

TEST_F(CommandOnTheWire, ProprietaryCommandKeepsItsLineEnd)
{
    EXPECT_EQ(Wire("AT^QVER\r\n", "AT^QVER\r\n"), "AT^QVER\r\n");
    EXPECT_EQ(Wire("^qabc: 1\r\n", "AT^qabc= 1\r\n"), "AT^qabc= 1\r\n");
}

TEST_F(CommandOnTheWire, ClockCommandCarriesTheSystemTime)
{
    UTC = true;
    EXPECT_EQ(ClockOffset("^QRTC=now\r\n"), 0);
    UTC = false;
    EXPECT_EQ(ClockOffset("^QRTC: 1\n"), 12 * 3600);
}

}  // namespace
