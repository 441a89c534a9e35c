// The waits of a real run: the wake-up exchange and the answers to modem
// commands, with a scripted device on the other end of a pseudo-terminal.
// Console output and wire bytes are compared exactly; times with tolerances.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include "support/pty_device.h"
#include "support/run_program.h"
#include "support/standard_device.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string WakeUpLine = "AT^QESCAT^QESC=1";
const std::string WakeUpError = "Got \"AT^QESC=1, ERROR\"\n";
const std::string GotOk = "Got \"OK\"\n";
const std::string TimedOut = "Timed out waiting for \"OK\"\n";

// A silent read of 768 bytes gives up after 5000 + 10 x 768 ms.
constexpr double SilentReadSeconds = 12.68;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Answers every line with the rules, remembering when each line came.
struct TimedDevice {
    LineTimes times;  // before the device, whose thread uses it until it ends
    PtyDevice device;

    explicit TimedDevice(bool echo = true) : device(echo) {}
    void Answer(LineHandler inner) { device.SetHandler(times.Wrap(std::move(inner))); }
    Clock::time_point When(const std::string& line, int n = 0) const
    {
        Clock::time_point at;
        EXPECT_TRUE(times.When(line, &at, n)) << "the device never got " << line;
        return at;
    }
};

// --- The wake-up exchange -------------------------------------------------

TEST(WakeUp, EighteenBytesOnceAfterTheSettlingPauseWhenAnsweredOk)
{
    PtyDevice device;
    device.SetHandler(Rules({{WakeUpLine, OkReply}}));
    RunningTorvex run({ScriptArg(WriteScript("")), PortArg(device)});
    ASSERT_TRUE(device.WaitForWire(WakeUp, 30000));
    const double settled = SecondsSince(run.Started());
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot);
    EXPECT_EQ(SettledWire(device), WakeUp);
    EXPECT_GE(settled, 2.95);
    if (!UnderWine()) {  // Wine's own start-up comes before the pause
        EXPECT_LE(settled, 4.5);
    }
}

TEST(WakeUp, DeviceWithoutEchoShowsOnlyItsAnswer)
{
    PtyDevice device(false);
    device.SetHandler(Rules({{WakeUpLine, OkReply}}));
    const RunResult result = RunOnScript(device, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, GotOk);
    EXPECT_EQ(SettledWire(device), WakeUp);
}

TEST(WakeUp, ErrorFirstSendsTheSequenceAgainAndTheScriptRuns)
{
    TimedDevice d;
    d.Answer(Rules({{WakeUpLine, ErrorReply, 0, 1}, {WakeUpLine, OkReply}, {"AT", OkReply}}));
    const RunResult result = RunOnScript(d.device, "AT\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpError + WakeUpGot + "AT\r\n" + GotOk);
    EXPECT_EQ(SettledWire(d.device), WakeUp + WakeUp + "AT\r");
    // The second attempt follows the first answer's read, one quiet second later.
    const double between = SecondsBetween(d.When(WakeUpLine, 0), d.When(WakeUpLine, 1));
    EXPECT_GE(between, 0.95);
    EXPECT_LE(between, 2.0);
}

TEST(WakeUp, ErrorTwiceStillRunsTheScript)
{
    PtyDevice device;
    device.SetHandler(Rules({{WakeUpLine, ErrorReply}, {"AT", OkReply}}));
    const RunResult result = RunOnScript(device, "AT\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpError + WakeUpError + "AT\r\n" + GotOk);
    EXPECT_EQ(SettledWire(device), WakeUp + WakeUp + "AT\r");
}

TEST(WakeUp, AnswerIsTheResponseTextOfTheFirstCondition)
{
    const std::string script = "#if (>5) new\r\nAT+OLD\r\n:new\r\nAT+NEW\r\n";
    for (const char* version : {"7", "3"}) {
        SCOPED_TRACE(version);
        PtyDevice device;
        device.SetHandler(Rules({{WakeUpLine, std::string("\r\n+VER: ") + version + "\r\nOK\r\n"}}, OkReply));
        const RunResult result = RunOnScript(device, script);
        EXPECT_EQ(result.status, 0);
        const std::string got = std::string("Got \"AT^QESC=1, +VER: ") + version + ", OK\"\n";
        const bool newer = version[0] > '5';
        EXPECT_EQ(result.out, got + (newer ? "" : "AT+OLD\r\n" + GotOk) + "AT+NEW\r\n" + GotOk);
        EXPECT_EQ(SettledWire(device), WakeUp + (newer ? "" : "AT+OLD\r") + "AT+NEW\r");
    }
}

TEST(WakeUp, BytesSentDuringTheSettlingPauseAreReadByItsWait)
{
    PtyDevice device;
    device.SetHandler(Rules({{WakeUpLine, OkReply}}));
    RunningTorvex run({ScriptArg(WriteScript("")), PortArg(device)});
    ASSERT_TRUE(WaitPortHeld(device, 20000));
    device.Send("\r\nREADY\r\n");
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 0);
    // Not taken for the echo, so the echo shows as part of the answer.
    EXPECT_EQ(result.out, "Got \"READY, AT^QESCAT^QESC=1, OK\"\n");
    EXPECT_EQ(SettledWire(device), WakeUp);
}

// About 55 s: each wait makes two silent reads of 12.68 s before its 15 s are up.
TEST(WakeUp, SilentDeviceTimesOutTwiceAndTheScriptStillRuns)
{
    TimedDevice d(false);
    d.Answer(Rules({{"AT", OkReply}}, ""));
    RunningTorvex run({ScriptArg(WriteScript("AT\r\n")), PortArg(d.device)}, KilledAfter(90000));
    ASSERT_TRUE(run.WaitForOutput(TimedOut, 40000)) << run.Output();
    const long cpuBefore = ProcessCpuMs(run.Pid());
    ASSERT_TRUE(run.WaitForOutput(TimedOut + TimedOut, 40000)) << run.Output();
    const long cpuAfter = ProcessCpuMs(run.Pid());
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, TimedOut + TimedOut + "AT\r\n" + GotOk);
    EXPECT_EQ(SettledWire(d.device), WakeUp + WakeUp + "AT\r");
    const double first = SecondsBetween(d.When(WakeUpLine, 0), d.When(WakeUpLine, 1));
    const double second = SecondsBetween(d.When(WakeUpLine, 1), d.When("AT"));
    EXPECT_NEAR(first, 2 * SilentReadSeconds, 1.5);
    EXPECT_NEAR(second, 2 * SilentReadSeconds, 1.5);
    EXPECT_LT(SecondsBetween(run.Started(), d.When("AT")), 3 + 4 * SilentReadSeconds + 3);
    // Waiting is sleeping: 25 s of silent reads cost next to no CPU.
    ASSERT_GE(cpuBefore, 0);
    EXPECT_LT(cpuAfter - cpuBefore, 100) << "CPU ms during the second wait";
    std::printf("CPU during 25 s of silent reads: %ld ms\n", cpuAfter - cpuBefore);
}

// --- The wait for a modem command's answer --------------------------------

TEST(ResponseWait, OkGoesOnToTheNextLine)
{
    PtyDevice device;
    device.SetHandler(Rules({{WakeUpLine, OkReply}, {"AT+CSQ", CsqReply}, {"ATZ", OkReply}}));
    const RunResult result = RunOnScript(device, "AT+CSQ\r\nATZ\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "AT+CSQ\r\nGot \"+CSQ: 23,99, OK\"\nATZ\r\n" + GotOk);
    EXPECT_EQ(SettledWire(device), WakeUp + "AT+CSQ\rATZ\r");
}

TEST(ResponseWait, ErrorEndsTheRunAndLaterLinesAreNeverSent)
{
    PtyDevice device;
    device.SetHandler(Rules({{WakeUpLine, OkReply}, {"AT+BAD", ErrorReply}}, OkReply));
    const RunResult result = RunOnScript(device, "AT+BAD\r\nATZ\r\n#print never\r\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, WakeUpGot + "AT+BAD\r\nGot \"ERROR\"\n");
    EXPECT_EQ(SettledWire(device), WakeUp + "AT+BAD\r");
}

TEST(ResponseWait, BothAnswersInOneReadCountAsGood)
{
    PtyDevice device;
    device.SetHandler(Rules({{WakeUpLine, OkReply}, {"AT+ONE", "\r\nERROR\r\n\r\nOK\r\n"}, {"ATZ", OkReply}}));
    const RunResult result = RunOnScript(device, "AT+ONE\r\nATZ\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "AT+ONE\r\nGot \"ERROR, OK\"\nATZ\r\n" + GotOk);
    EXPECT_EQ(SettledWire(device), WakeUp + "AT+ONE\rATZ\r");
}

// Answers "ERROR", and "OK" gapMs later.
LineHandler ErrorThenOk(int gapMs)
{
    return [gapMs](PtyDevice& device, const std::string& line) {
        if (line == "AT+TWO") {
            device.Send(ErrorReply);
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        }
        device.Send(OkReply);
    };
}

TEST(ResponseWait, AnswersLessThanASecondApartAreOneReadAndGoodWins)
{
    PtyDevice device;
    device.SetHandler(ErrorThenOk(300));
    const RunResult result = RunOnScript(device, "AT+TWO\r\nATZ\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "AT+TWO\r\nGot \"ERROR, OK\"\nATZ\r\n" + GotOk);
    EXPECT_EQ(SettledWire(device), WakeUp + "AT+TWO\rATZ\r");
}

TEST(ResponseWait, AnswersMoreThanASecondApartEndOnTheFirst)
{
    PtyDevice device;
    device.SetHandler(ErrorThenOk(1500));
    const RunResult result = RunOnScript(device, "AT+TWO\r\nATZ\r\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, WakeUpGot + "AT+TWO\r\nGot \"ERROR\"\n");
    EXPECT_EQ(SettledWire(device), WakeUp + "AT+TWO\r");
}

const std::string BookLine = "AT+CPBW=1,\"5551234\",129,\"BOOK\"";

TEST(ResponseWait, AnswerWordsInTheCommandsOwnEchoDoNotCount)
{
    {
        SCOPED_TRACE("echo and ERROR in one read");
        PtyDevice device;
        device.SetHandler(Rules({{WakeUpLine, OkReply}, {BookLine, ErrorReply}}, OkReply));
        const RunResult result = RunOnScript(device, BookLine + "\r\nATZ\r\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, WakeUpGot + BookLine + "\r\nGot \"ERROR\"\n");
        EXPECT_EQ(SettledWire(device), WakeUp + BookLine + "\r");
    }
    {
        SCOPED_TRACE("the echo alone in one read, ERROR in the next");
        PtyDevice device;
        device.SetHandler(Rules({{WakeUpLine, OkReply}, {BookLine, ErrorReply, 1500}}, OkReply));
        const RunResult result = RunOnScript(device, BookLine + "\r\nATZ\r\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, WakeUpGot + BookLine + "\r\nGot \"ERROR\"\n");
        EXPECT_EQ(SettledWire(device), WakeUp + BookLine + "\r");
    }
    {
        SCOPED_TRACE("ERROR in the echo alone, OK in the next read");
        const std::string named = "AT+NAME=ERROR";
        PtyDevice device;
        device.SetHandler(Rules({{WakeUpLine, OkReply}, {named, OkReply, 1500}}, OkReply));
        const RunResult result = RunOnScript(device, named + "\r\nATZ\r\n");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, WakeUpGot + named + "\r\nGot \"OK\"\nATZ\r\n" + GotOk);
        EXPECT_EQ(SettledWire(device), WakeUp + named + "\rATZ\r");
    }
    {
        SCOPED_TRACE("answered OK");
        PtyDevice device;
        device.SetHandler(Rules({{WakeUpLine, OkReply}, {BookLine, OkReply}}, OkReply));
        const RunResult result = RunOnScript(device, BookLine + "\r\nATZ\r\n");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, WakeUpGot + BookLine + "\r\nGot \"OK\"\nATZ\r\n" + GotOk);
    }
}

// Sends "\r\nO", and "K\r\n" gapMs later.
LineHandler SplitOk(int gapMs)
{
    return [gapMs](PtyDevice& device, const std::string& line) {
        if (line == "AT+SPLIT") {
            device.Send("\r\nO");
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            device.Send("K\r\n");
            return;
        }
        device.Send(OkReply);
    };
}

TEST(ResponseWait, AnswerSplitOverMoreThanASecondIsNotFound)
{
    TimedDevice d;
    d.Answer(SplitOk(1500));
    RunningTorvex run({ScriptArg(WriteScript("#timeout 2\r\nAT+SPLIT\r\nATZ\r\n")), PortArg(d.device)});
    ASSERT_TRUE(run.WaitForOutput(TimedOut, 40000)) << run.Output();
    const double waited = SecondsBetween(d.When("AT+SPLIT"), Clock::now());
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, WakeUpGot + "AT+SPLIT\r\n" + TimedOut);
    EXPECT_EQ(SettledWire(d.device), WakeUp + "AT+SPLIT\r");
    // Two reads: "O" ends a quiet second after it, "K" a second after itself.
    EXPECT_NEAR(waited, 2.5, 0.6);
}

TEST(ResponseWait, AnswerSplitByLessThanASecondIsGatheredIntoOneRead)
{
    TimedDevice d;
    d.Answer(SplitOk(600));
    const RunResult result = RunOnScript(d.device, "AT+SPLIT\r\nATZ\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "AT+SPLIT\r\n" + GotOk + "ATZ\r\n" + GotOk);
    EXPECT_EQ(SettledWire(d.device), WakeUp + "AT+SPLIT\rATZ\r");
    // The read ends a second after the last byte, "K" at 0.6 s.
    const double between = SecondsBetween(d.When("AT+SPLIT"), d.When("ATZ"));
    EXPECT_GE(between, 1.55);
    EXPECT_LE(between, 2.4);
}

// About 16 s: bytes 0.9 s apart keep one read going to its total limit.
TEST(ResponseWait, TrickleKeepsOneReadGoingToItsTotalLimit)
{
    TimedDevice d;
    Flood trickle(d.device);
    d.Answer([&trickle](PtyDevice& dev, const std::string& line) {
        if (line == "AT+TRICKLE") {
            trickle.Start([] { return std::string("."); }, 20000, 900);
            return;
        }
        dev.Send(OkReply);
    });
    RunningTorvex run({ScriptArg(WriteScript("#timeout 2\r\n#debug\r\nAT+TRICKLE\r\nATZ\r\n")), PortArg(d.device)});
    ASSERT_TRUE(run.WaitForOutput(TimedOut, 40000)) << run.Output();
    const double waited = SecondsBetween(d.When("AT+TRICKLE"), Clock::now());
    const RunResult result = run.Wait();
    trickle.Stop();
    EXPECT_EQ(result.status, 1);
    const std::string before = WakeUpGot + "AT+TRICKLE\r\n" + Displayed("AT+TRICKLE\r\n") + Displayed("AT+TRICKLE\r");
    ASSERT_EQ(result.out.substr(0, before.size()), before);
    size_t pos = before.size();
    const std::vector<DebugRead> reads = ParseDebugReads(result.out, &pos);
    EXPECT_EQ(result.out.substr(pos), TimedOut);
    ASSERT_EQ(reads.size(), 1u) << "one read, never quiet for a second";
    const std::string dots = reads[0].bytes.substr(std::min<size_t>(11, reads[0].bytes.size()));
    EXPECT_EQ(reads[0].bytes, "AT+TRICKLE\r" + dots);
    EXPECT_EQ(dots, std::string(dots.size(), '.'));
    EXPECT_NEAR(static_cast<double>(dots.size()), SilentReadSeconds / 0.9, 1.5);
    EXPECT_GT(waited, SilentReadSeconds - 0.6);
    EXPECT_LT(waited, SilentReadSeconds + 0.6 + WineEndSeconds());
}

TEST(ResponseWait, ReadEndsOneQuietSecondAfterTheLastByte)
{
    TimedDevice d;
    d.Answer(Rules({{WakeUpLine, OkReply}}, OkReply));
    const RunResult result = RunOnScript(d.device, "AT\r\nATZ\r\nAT&F\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "AT\r\n" + GotOk + "ATZ\r\n" + GotOk + "AT&F\r\n" + GotOk);
    for (const auto& pair : {std::make_pair("AT", "ATZ"), std::make_pair("ATZ", "AT&F")}) {
        const double between = SecondsBetween(d.When(pair.first), d.When(pair.second));
        EXPECT_GE(between, 0.98) << pair.first;
        EXPECT_LE(between, 1.5) << pair.first;
    }
}

TEST(ResponseWait, NulInsideAnAnswerEndsTheSearchableText)
{
    {
        SCOPED_TRACE("OK hidden behind a NUL; ERROR in the next read");
        PtyDevice device;
        device.SetHandler([](PtyDevice& dev, const std::string& line) {
            if (line != "AT+NUL") {
                dev.Send(OkReply);
                return;
            }
            dev.Send(std::string("\r\n\0OK\r\n", 7));
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            dev.Send(ErrorReply);
        });
        const RunResult result = RunOnScript(device, "AT+NUL\r\nATZ\r\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, WakeUpGot + "AT+NUL\r\nGot \"ERROR\"\n");
        EXPECT_EQ(SettledWire(device), WakeUp + "AT+NUL\r");
    }
    {
        SCOPED_TRACE("ERROR hidden behind a NUL after OK");
        PtyDevice device;
        device.SetHandler(Rules({{"AT+NUL", std::string("\r\nOK\0ERROR\r\n", 12)}}, OkReply));
        const RunResult result = RunOnScript(device, "AT+NUL\r\nATZ\r\n");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, WakeUpGot + "AT+NUL\r\n" + GotOk + "ATZ\r\n" + GotOk);
        EXPECT_EQ(SettledWire(device), WakeUp + "AT+NUL\rATZ\r");
    }
}

TEST(ResponseWait, BytesArrivingBetweenWaitsAreReadByTheNextWait)
{
    PtyDevice device;
    device.SetHandler([](PtyDevice& dev, const std::string& line) {
        dev.Send(OkReply);
        if (line == "AT") {
            // After the read has ended, while the script pauses.
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            dev.Send("\r\n+STRAY\r\n");
        }
    });
    const RunResult result = RunOnScript(device, "AT\r\n#wait 2\r\nATZ\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "AT\r\n" + GotOk + "ATZ\r\nGot \"+STRAY, ATZ, OK\"\n");
    EXPECT_EQ(SettledWire(device), WakeUp + "AT\rATZ\r");
}

// Every byte value but the letters that could make "OK" or "ERROR", and the
// backslash, which would make the debug display ambiguous.
const std::string NotAnAnswer = "KR\\";

TEST(ResponseWait, FloodIsReadIn768ByteReadsAndShownByteForByte)
{
    PtyDevice device;
    Flood flood(device);
    auto rng = std::make_shared<std::mt19937>(7);
    device.SetHandler([&flood, rng](PtyDevice& dev, const std::string& line) {
        if (line == "AT+FLOOD") {
            flood.Start([rng] { return RandomBytes(*rng, 512, NotAnAnswer); }, 5000, 5, OkReply, 1500);
            return;
        }
        dev.Send(OkReply);
    });
    RunningTorvex run({ScriptArg(WriteScript("AT+FLOOD\r\n")), PortArg(device), "-DEBUG"});
    const RunResult result = run.Wait();
    ASSERT_TRUE(flood.Finished());
    EXPECT_EQ(result.status, 0);
    const std::string before = "\nnRx = 24\nReceived 24 bytes = \"" + Displayed(WakeUp + OkReply) + WakeUpGot +
                               "AT+FLOOD\r\n" + Displayed("AT+FLOOD\r\n") + Displayed("AT+FLOOD\r");
    ASSERT_EQ(result.out.substr(0, before.size()), before);
    size_t pos = before.size();
    const std::vector<DebugRead> reads = ParseDebugReads(result.out, &pos);
    EXPECT_EQ(result.out.substr(pos), GotOk);
    std::string received;
    size_t full = 0;
    for (const DebugRead& read : reads) {
        EXPECT_LE(read.count, 768u);
        full += read.count == 768 ? 1 : 0;
        received += read.bytes;
    }
    EXPECT_GT(full, 100u);
    EXPECT_NE(result.out.find("\nnRx = 768\n"), std::string::npos);
    // Nothing lost, nothing twice, and the answer alone in the last read.
    EXPECT_TRUE(received == "AT+FLOOD\r" + flood.Sent()) << received.size() << " of " << flood.Sent().size() + 9;
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads.back().bytes, OkReply);
}

TEST(ResponseWait, FloodDoesNotHoldOffTheTimeLimit)
{
    TimedDevice d;
    Flood flood(d.device);
    d.Answer([&flood](PtyDevice& dev, const std::string& line) {
        if (line == "AT+FLOOD") {
            flood.Start([] { return std::string(256, 'z'); }, 10000, 5);
            return;
        }
        dev.Send(OkReply);
    });
    RunningTorvex run({ScriptArg(WriteScript("#timeout 2\r\nAT+FLOOD\r\nATZ\r\n")), PortArg(d.device)});
    ASSERT_TRUE(run.WaitForOutput(TimedOut, 40000)) << run.Output();
    const double waited = SecondsBetween(d.When("AT+FLOOD"), Clock::now());
    const RunResult result = run.Wait();
    flood.Stop();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, WakeUpGot + "AT+FLOOD\r\n" + TimedOut);
    EXPECT_GE(waited, 1.9);
    EXPECT_LE(waited, 3.0);
    EXPECT_EQ(SettledWire(d.device), WakeUp + "AT+FLOOD\r");
}

TEST(ResponseWait, DebugShowsEveryReadAndEveryPlainLineByteForByte)
{
    PtyDevice device;
    const std::string odd = "\r\n\x1B\xC8\x7F\a\b\t\v\f\x01\"\r\nOK\r\n";
    device.SetHandler(Rules({{WakeUpLine, OkReply}, {"AT+ODD", odd}}));
    const RunResult result = RunOnScript(device, "AT+ODD\r\n", {"-DEBUG"});
    EXPECT_EQ(result.status, 0);
    const std::string expected =
        "\nnRx = 24\nReceived 24 bytes = \"AT^QESCAT^QESC=1\\n\\r\\r\\nOK\\r\\n\"\n" + WakeUpGot +
        "AT+ODD\r\nAT+ODD\\r\\n\"\nAT+ODD\\r\"\n"
        "\nnRx = 25\nReceived 25 bytes = \"AT+ODD\\r\\r\\n\\x1B\\xC8\x7F\\a\\b\\t\\v\\f\\x01\"\\r\\nOK\\r\\n\"\n"
        "Got \"\x1B\xC8\x7F\a, \t\v\f\x01\", OK\"\n";
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(SettledWire(device), WakeUp + "AT+ODD\r");
}

// About 18 s: the empty read lasts the whole total read time-out.
TEST(ResponseWait, DebugShowsAnEmptyReadAfterTheTotalReadTimeout)
{
    TimedDevice d(false);
    d.Answer(Rules({{WakeUpLine, OkReply}, {"AT", OkReply, 13500}}));
    RunningTorvex run({ScriptArg(WriteScript("#timeout 20\r\nAT\r\n")), PortArg(d.device), "-DEBUG"});
    ASSERT_TRUE(run.WaitForOutput("\nnRx = 0\n", 40000)) << run.Output();
    const double empty = SecondsBetween(d.When("AT"), Clock::now());
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 0);
    const std::string okRead = "\nnRx = 6\nReceived 6 bytes = \"\\r\\nOK\\r\\n\"\n" + GotOk;
    EXPECT_EQ(result.out, okRead + "AT\r\nAT\\r\\n\"\nAT\\r\"\n\nnRx = 0\n" + okRead);
    EXPECT_GT(empty, SilentReadSeconds - 0.6);
    EXPECT_LT(empty, SilentReadSeconds + 0.6 + WineEndSeconds());
}

TEST(ResponseWait, TimeoutZeroWritesTheCommandButMakesNoRead)
{
    TimedDevice d;
    d.Answer(Rules({}, OkReply));
    RunningTorvex run({ScriptArg(WriteScript("#timeout 0\r\nAT\r\nATZ\r\n")), PortArg(d.device), "-DEBUG"});
    const RunResult result = run.Wait();
    const auto ended = Clock::now();
    ASSERT_TRUE(d.device.WaitForWire(WakeUp + "AT\r", 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double after = SecondsBetween(d.When("AT"), ended);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "\nnRx = 24\nReceived 24 bytes = \"" + Displayed(WakeUp + OkReply) + WakeUpGot +
                              "AT\r\nAT\\r\\n\"\nAT\\r\"\n" + TimedOut);
    EXPECT_EQ(SettledWire(d.device), WakeUp + "AT\r");
    EXPECT_LT(after, 1.0 + WineEndSeconds());
}

TEST(ResponseWait, NegativeTimeoutAlsoMakesNoRead)
{
    PtyDevice device;
    device.SetHandler(Rules({}, OkReply));
    const RunResult result = RunOnScript(device, "#timeout -5\r\nAT\r\nATZ\r\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, WakeUpGot + "AT\r\n" + TimedOut);
    EXPECT_EQ(SettledWire(device), WakeUp + "AT\r");
}

TEST(ResponseWait, LargestTimeoutDoesNotOverflow)
{
    PtyDevice device;
    device.SetHandler(Rules({{"AT", OkReply, 500}}, OkReply));
    const RunResult result = RunOnScript(device, "#timeout 2147483647\r\nAT\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "AT\r\n" + GotOk);
}

}  // namespace
