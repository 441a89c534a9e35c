// Modem command lines in whole runs: their line ends on the wire, the "^Q"
// shorthand, and the clock command filled in with the system's time.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "support/pty_device.h"
#include "support/run_program.h"
#include "support/standard_device.h"

namespace {

const std::string Ok = "Got \"OK\"\n";

TEST(LineEnds, PlainCommandsEndInACarriageReturnOnly)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device, "ATZ\r\nAT+CSQ\r\nat&f\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              WakeUpGot + "ATZ\r\n" + Ok + "AT+CSQ\r\nGot \"+CSQ: 23,99, OK\"\n" + "at&f\r\n" + Ok);
    EXPECT_EQ(SettledWire(device), WakeUp + "ATZ\r" + "AT+CSQ\r" + "at&f\r");
}

TEST(LineEnds, ProprietaryCommandsKeepTheirLineFeed)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device, "AT^QABC=1\r\nat^qver?\r\nATZ\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "AT^QABC=1\r\n" + Ok + "at^qver?\r\n" + Ok + "ATZ\r\n" + Ok);
    EXPECT_EQ(SettledWire(device), WakeUp + "AT^QABC=1\r\n" + "at^qver?\r\n" + "ATZ\r");
}

TEST(Shorthand, LeadingCaretQGetsATAndTheColonAfterTheNameBecomesEquals)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device,
                                         "^QABC: 1\r\n"
                                         "^qabcd: 1\r\n"
                                         "AT^QABC: 1\r\n"
                                         "^QAB: 1\r\n"
                                         "^QABCDE: 1\r\n"
                                         "^QVER?\r\n");
    EXPECT_EQ(result.status, 0);
    const std::vector<std::string> sent = {
        "AT^QABC= 1\r\n",    // three letters
        "AT^qabcd= 1\r\n",   // four letters
        "AT^QABC: 1\r\n",    // written out in full: the colon stays
        "AT^QAB: 1\r\n",     // two letters: no colon at either place
        "AT^QABCDE: 1\r\n",  // five letters: likewise
        "AT^QVER?\r\n",
    };
    std::string out = WakeUpGot;
    std::string wire = WakeUp;
    for (const std::string& line : sent) {
        out += line + Ok;
        wire += line;
    }
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(SettledWire(device), wire);
}

// A device that also notes the system's UTC time when each clock command arrives.
class ClockDevice {
public:
    LineHandler Handler()
    {
        return [this](PtyDevice& device, const std::string& line) {
            if (line.rfind("AT^QRTC=", 0) == 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                arrivals_.push_back(time(nullptr));
            }
            standard_(device, line);
        };
    }
    std::vector<time_t> Arrivals() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return arrivals_;
    }

private:
    LineHandler standard_ = StandardDevice();
    mutable std::mutex mutex_;
    std::vector<time_t> arrivals_;
};

std::string FormatClockCommand(time_t utc, bool nzst)
{
    const time_t shown = utc + (nzst ? 12 * 3600 : 0);
    struct tm tm;
    gmtime_r(&shown, &tm);
    char text[64];
    snprintf(text, sizeof text, "AT^QRTC=%04d/%02d/%02d %2d:%02d:%02d\r\n", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

// The clock command as sent, when it carries the time of arrival within two seconds.
::testing::AssertionResult CarriesTime(const std::string& sent, time_t arrival, bool nzst)
{
    for (time_t t = arrival - 2; t <= arrival + 2; t++) {
        if (sent == FormatClockCommand(t, nzst)) {
            return ::testing::AssertionSuccess();
        }
    }
    return ::testing::AssertionFailure() << "sent " << sent << "expected about " << FormatClockCommand(arrival, nzst);
}

// Splits what followed the wake-up into the lines as sent, each ending in "\r\n".
std::vector<std::string> SentLines(const std::string& wire)
{
    std::vector<std::string> lines;
    size_t at = WakeUp.size();
    while (at < wire.size()) {
        size_t end = wire.find("\r\n", at);
        end = end == std::string::npos ? wire.size() : end + 2;
        lines.push_back(wire.substr(at, end - at));
        at = end;
    }
    return lines;
}

TEST(ClockCommand, WithUtcFromTheCommandLineCarriesTheSystemTime)
{
    ClockDevice clock;  // outlives the device thread that calls it
    PtyDevice device;
    device.SetHandler(clock.Handler());
    const RunResult result = RunOnScript(device, "^QRTC=anything\r\n", {"-UTC"});
    EXPECT_EQ(result.status, 0);
    const std::string wire = SettledWire(device);
    ASSERT_EQ(wire.rfind(WakeUp, 0), 0u) << wire;
    const std::vector<std::string> sent = SentLines(wire);
    const std::vector<time_t> arrivals = clock.Arrivals();
    ASSERT_EQ(sent.size(), 1u) << wire;
    ASSERT_EQ(arrivals.size(), 1u);
    EXPECT_TRUE(CarriesTime(sent[0], arrivals[0], false));
    EXPECT_EQ(result.out, WakeUpGot + sent[0] + Ok);
}

TEST(ClockCommand, NewZealandTimeByDefaultAndScriptCommandsSwitchTheTimeBase)
{
    ClockDevice clock;  // outlives the device thread that calls it
    PtyDevice device;
    device.SetHandler(clock.Handler());
    const RunResult result = RunOnScript(device,
                                         "^qrtc=anything\r\n"
                                         "#UTC\r\n"
                                         "AT^QRTC=2000/01/01  0:00:00\r\n"
                                         "#nzst\r\n"
                                         "^QRTC: 1\r\n");
    EXPECT_EQ(result.status, 0);
    const std::string wire = SettledWire(device);
    ASSERT_EQ(wire.rfind(WakeUp, 0), 0u) << wire;
    const std::vector<std::string> sent = SentLines(wire);
    const std::vector<time_t> arrivals = clock.Arrivals();
    ASSERT_EQ(sent.size(), 3u) << wire;
    ASSERT_EQ(arrivals.size(), 3u);
    EXPECT_TRUE(CarriesTime(sent[0], arrivals[0], true));
    EXPECT_TRUE(CarriesTime(sent[1], arrivals[1], false));
    EXPECT_TRUE(CarriesTime(sent[2], arrivals[2], true));
    EXPECT_EQ(result.out, WakeUpGot + sent[0] + Ok + sent[1] + Ok + sent[2] + Ok);
}

TEST(ClockCommand, NewZealandTimeOverridesUtcFromTheCommandLine)
{
    ClockDevice clock;  // outlives the device thread that calls it
    PtyDevice device;
    device.SetHandler(clock.Handler());
    const RunResult result = RunOnScript(device, "#NZST\r\n^QRTC=\r\n", {"-utc"});
    EXPECT_EQ(result.status, 0);
    const std::vector<std::string> sent = SentLines(SettledWire(device));
    const std::vector<time_t> arrivals = clock.Arrivals();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(arrivals.size(), 1u);
    EXPECT_TRUE(CarriesTime(sent[0], arrivals[0], true));
    EXPECT_EQ(result.out, WakeUpGot + sent[0] + Ok);
}

}  // namespace
