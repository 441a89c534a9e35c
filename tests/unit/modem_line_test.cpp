// Preparing a modem command line: the "^Q" shorthand, the clock command, and
// the line end each kind of command goes out with.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "script/modem.h"
#include "support/capture.h"
#include "support/process_state.h"

namespace {

SystemTime At(int year, int month, int day, int hour, int minute, int second)
{
    SystemTime t;
    t.wYear = static_cast<uint16_t>(year);
    t.wMonth = static_cast<uint16_t>(month);
    t.wDayOfWeek = 0;
    t.wDay = static_cast<uint16_t>(day);
    t.wHour = static_cast<uint16_t>(hour);
    t.wMinute = static_cast<uint16_t>(minute);
    t.wSecond = static_cast<uint16_t>(second);
    t.wMilliseconds = 999;
    return t;
}

class ModemLine : public ::testing::Test {
protected:
    void SetUp() override { ResetProcessState(); }
    void TearDown() override { ResetProcessState(); }

    // The line after ExpandCommand, in a buffer of exactly the size the line loop uses.
    std::string Expand(const std::string& line, const SystemTime& now = At(2024, 3, 9, 5, 7, 8))
    {
        std::unique_ptr<char[]> buf(new char[LINE_BUFFER_SIZE]);
        memset(buf.get(), '#', LINE_BUFFER_SIZE);
        memcpy(buf.get(), line.c_str(), line.size() + 1);
        ExpandCommand(buf.get(), now);
        return buf.get();
    }

    // What PrepareLineEnd prints, and the line it leaves.
    std::string Prepare(const std::string& line, std::string* left)
    {
        char buf[LINE_BUFFER_SIZE];
        memcpy(buf, line.c_str(), line.size() + 1);
        const std::string out = CaptureStdout([&] { PrepareLineEnd(buf); });
        *left = buf;
        return out;
    }
};

TEST_F(ModemLine, ShorthandPutsATInFront)
{
    EXPECT_EQ(Expand("^QVER\r\n"), "AT^QVER\r\n");
    EXPECT_EQ(Expand("^qver\n"), "AT^qver\n");
    EXPECT_EQ(Expand("^Q"), "AT^Q");
}

TEST_F(ModemLine, ColonAfterAThreeOrFourLetterNameBecomesEquals)
{
    EXPECT_EQ(Expand("^QABC: 1\r\n"), "AT^QABC= 1\r\n");
    EXPECT_EQ(Expand("^qabcd: 1\r\n"), "AT^qabcd= 1\r\n");
    EXPECT_EQ(Expand("^QABC: "), "AT^QABC= ");
}

TEST_F(ModemLine, ColonElsewhereStays)
{
    EXPECT_EQ(Expand("^QAB: 1\r\n"), "AT^QAB: 1\r\n");
    EXPECT_EQ(Expand("^QABCDE: 1\r\n"), "AT^QABCDE: 1\r\n");
    EXPECT_EQ(Expand("^QABC:1\r\n"), "AT^QABC:1\r\n");
    EXPECT_EQ(Expand("^QABC:"), "AT^QABC:");
    EXPECT_EQ(Expand("^QABCD:\r\n"), "AT^QABCD:\r\n");
}

TEST_F(ModemLine, FullFormKeepsItsColon)
{
    EXPECT_EQ(Expand("AT^QABC: 1\r\n"), "AT^QABC: 1\r\n");
    EXPECT_EQ(Expand("AT+CSQ\r\n"), "AT+CSQ\r\n");
    EXPECT_EQ(Expand(" ^QVER\r\n"), " ^QVER\r\n");
}

TEST_F(ModemLine, ClockCommandIsReplacedByTheTime)
{
    UTC = true;
    const std::string clock = "AT^QRTC=2024/03/09  5:07:08\r\n";
    EXPECT_EQ(Expand("^qrtc=anything\r\n"), clock);
    EXPECT_EQ(Expand("^QRTC: 1\r\n"), clock);
    EXPECT_EQ(Expand("at^qRtc=\n"), clock);
    EXPECT_EQ(Expand("AT^QRTC="), clock);
    EXPECT_EQ(Expand("AT^QRTC=x", At(1999, 10, 28, 23, 59, 0)), "AT^QRTC=1999/10/28 23:59:00\r\n");
}

TEST_F(ModemLine, ClockCommandNeedsTheEqualsSign)
{
    UTC = true;
    EXPECT_EQ(Expand("AT^QRTC\r\n"), "AT^QRTC\r\n");
    EXPECT_EQ(Expand("AT^QRTCX=1\r\n"), "AT^QRTCX=1\r\n");
    EXPECT_EQ(Expand("^QRTC:1\r\n"), "AT^QRTC:1\r\n");
}

TEST_F(ModemLine, ClockCommandUsesNewZealandTimeUnlessUTC)
{
    UTC = false;
    EXPECT_EQ(Expand("^QRTC=\r\n", At(2023, 12, 31, 13, 4, 5)), "AT^QRTC=2024/01/01  1:04:05\r\n");
    EXPECT_EQ(Expand("^QRTC=\r\n", At(2024, 3, 9, 5, 7, 8)), "AT^QRTC=2024/03/09 17:07:08\r\n");
    UTC = true;
    EXPECT_EQ(Expand("^QRTC=\r\n", At(2023, 12, 31, 13, 4, 5)), "AT^QRTC=2023/12/31 13:04:05\r\n");
}

TEST_F(ModemLine, LongestLineTakesTheShorthandWithoutOverrun)
{
    const std::string line = "^Q" + std::string(LINE_MAX_READ - 2, 'x');
    ASSERT_EQ(line.size(), 399u);
    EXPECT_EQ(Expand(line), "AT" + line);
}

TEST_F(ModemLine, PlainCommandLosesItsLineFeed)
{
    std::string left;
    EXPECT_EQ(Prepare("ATZ\r\n", &left), "ATZ\r\n");
    EXPECT_EQ(left, "ATZ\r");
    EXPECT_EQ(Prepare("ATZ\n", &left), "ATZ\n");
    EXPECT_EQ(left, "ATZ");
    EXPECT_EQ(Prepare(" \r\n", &left), " \r\n");
    EXPECT_EQ(left, " \r");
    EXPECT_EQ(Prepare("A\nT\n\r\n", &left), "A\nT\n\r\n");
    EXPECT_EQ(left, "AT\r");
}

TEST_F(ModemLine, PlainCommandIsShownEscapedTwiceInDebugMode)
{
    Debug = true;
    std::string left;
    EXPECT_EQ(Prepare("ATZ\r\n", &left), "ATZ\r\nATZ\\r\\n\"\nATZ\\r\"\n");
    EXPECT_EQ(left, "ATZ\r");
    EXPECT_EQ(Prepare("AT", &left), "ATAT\"\nAT\"\n");
    EXPECT_EQ(left, "AT");
}

TEST_F(ModemLine, ProprietaryCommandKeepsItsLineFeedAndIsNotEscaped)
{
    for (bool debug : {false, true}) {
        Debug = debug;
        std::string left;
        EXPECT_EQ(Prepare("AT^QVER\r\n", &left), "AT^QVER\r\n");
        EXPECT_EQ(left, "AT^QVER\r\n");
        EXPECT_EQ(Prepare("ATI^\n", &left), "ATI^\n");
        EXPECT_EQ(left, "ATI^\n");
    }
}

}  // namespace
