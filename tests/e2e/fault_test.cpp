// Faults injected into real runs: a device that hangs up, stops reading,
// floods or talks nonsense; scripts of garbage, NUL bytes, huge lines and long
// jump chains; Ctrl-C. Each run must end with a clear message, the right exit
// status and the port released, without crashing or hanging.
#include <gtest/gtest.h>

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "support/pty_device.h"
#include "support/run_program.h"
#include "support/standard_device.h"

#ifdef TORVEX_SANITIZED
constexpr bool SanitizedBuild = true;
#else
constexpr bool SanitizedBuild = false;
#endif

namespace {

using Clock = std::chrono::steady_clock;

const std::string WakeUpLine = "AT^QESCAT^QESC=1";
const std::string GotOk = "Got \"OK\"\n";
const std::string GotError = "Got \"ERROR\"\n";
const std::string TimedOut = "Timed out waiting for \"OK\"\n";

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Sleep(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The message of a read from a line whose device has hung up, with the
// platform's number: EIO on Linux; under Wine the Windows build learns it from
// ClearCommError after an empty read (ERROR_NOT_READY).
std::string HungUpRead()
{
    return UnderWine() ? "ReadFile error 21\n" : "ReadFile error 5\n";
}

// Seconds such a read takes: none on Linux. Wine reports a hung-up
// pseudo-terminal as a silent line, so the read first runs to its total
// time-out of 5000 + 10 x 768 ms.
double HungUpReadSeconds()
{
    return UnderWine() ? 12.7 : 0.0;
}

// The port is closed: no process holds it, and a new run started at once
// opens it and wakes the device (under Wine, which takes no lock on a port,
// only the first says much).
void ExpectPortFree(PtyDevice& device)
{
    EXPECT_TRUE(WaitPortReleased(device, 10000));
    EXPECT_FALSE(device.Exclusive());
    device.SetReading(true);
    device.SetEcho(true);
    device.SetQuietLineEnd(200);
    device.SetHandler(Rules({{WakeUpLine, OkReply}}));
    const RunResult again = RunOnScript(device, "");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, WakeUpGot);
}

// --- The device hangs up --------------------------------------------------

LineHandler PartialAnswerThenHangUp()
{
    return [](PtyDevice& device, const std::string& line) {
        if (line != "AT+HANG") {
            device.Send(OkReply);
            return;
        }
        device.Send("\r\n+PARTIAL");
        Sleep(300);
        device.HangUp();
    };
}

TEST(DeviceFault, HangUpInTheMiddleOfAReadEndsTheRunPromptly)
{
    PtyDevice device;
    device.SetHandler(PartialAnswerThenHangUp());
    RunningTorvex run({ScriptArg(WriteScript("AT+HANG\r\nATZ\r\n")), PortArg(device)});
    ASSERT_TRUE(device.WaitForWire(WakeUp + "AT+HANG\r", 30000));
    const auto sent = Clock::now();
    const RunResult result = run.Wait();
    // Under Wine the read holding the partial answer also waits for its quiet second.
    EXPECT_LT(SecondsSince(sent), 2.0 + (UnderWine() ? 1.0 : 0.0) + HungUpReadSeconds() + WineEndSeconds());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, WakeUpGot + "AT+HANG\r\n" + HungUpRead());
    EXPECT_EQ(SettledWire(device), WakeUp + "AT+HANG\r");
    EXPECT_TRUE(WaitPortReleased(device, 10000));
}

TEST(DeviceFault, HangUpInTheMiddleOfAReadShowsWhatCameBeforeIt)
{
    PtyDevice device;
    device.SetHandler(PartialAnswerThenHangUp());
    const RunResult result = RunOnScript(device, "#debug\r\nAT+HANG\r\nATZ\r\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, WakeUpGot + "AT+HANG\r\nAT+HANG\\r\\n\"\nAT+HANG\\r\"\n" +
                              "\nnRx = 18\nReceived 18 bytes = \"AT+HANG\\r\\r\\n+PARTIAL\"\n" + HungUpRead());
}

TEST(DeviceFault, HangUpDuringTheSettlingPauseFailsEveryReadAndTheFirstCommand)
{
    PtyDevice device;
    device.SetHandler(Rules({}, OkReply));
    RunningTorvex run({ScriptArg(WriteScript("AT\r\nATZ\r\n")), PortArg(device)});
    ASSERT_TRUE(WaitPortHeld(device, 20000));
    Sleep(500);
    device.HangUp();
    const auto hungUp = Clock::now();
    const RunResult result = run.Wait();
    // The rest of the pause, then every write fails at once and so do the three reads.
    EXPECT_LT(SecondsSince(hungUp), 4.0 + 3 * HungUpReadSeconds() + WineEndSeconds());
    // Both wake-up attempts fail on the read; the run goes on to the script as
    // it does after any failed wake-up, and ends at its first command.
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, HungUpRead() + HungUpRead() + "AT\r\n" + HungUpRead());
    EXPECT_EQ(SettledWire(device), "");
    EXPECT_TRUE(WaitPortReleased(device, 10000));
}

TEST(DeviceFault, HangUpDuringAPromptFailsTheNextCommandOnceAKeyIsPressed)
{
    PtyDevice device;
    device.SetHandler(Rules({{WakeUpLine, OkReply}}, OkReply));
    RunningTorvex run({ScriptArg(WriteScript("#prompt Continue?\r\nAT\r\n")), PortArg(device)},
                      TerminalInput());
    ASSERT_TRUE(run.WaitForOutput("\r\nContinue?", 30000)) << run.Output();
    device.HangUp();
    Sleep(1000);
    EXPECT_TRUE(run.Running()) << "the program must still wait for the key";
    EXPECT_EQ(run.Output(), WakeUpGot + "\r\nContinue?");
    ASSERT_EQ(write(run.TerminalFd(), "y", 1), 1);
    const auto pressed = Clock::now();
    const RunResult result = run.Wait();
    EXPECT_LT(SecondsSince(pressed), 2.0 + HungUpReadSeconds() + WineEndSeconds());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, WakeUpGot + "\r\nContinue?\nAT\r\n" + HungUpRead());
    EXPECT_EQ(SettledWire(device), WakeUp);
    EXPECT_TRUE(WaitPortReleased(device, 10000));
}

// --- The device stops reading: the program's writes block ----------------

// A device that never reads the line but answers blindly: it keeps exactly one
// read's worth (768 bytes, ending in OK) waiting for the program, so each wait
// takes one and finds OK. When the program stops taking them, its write has
// blocked on the full line: the feeder then takes its last answer back and
// calls onStall, and feeds no more.
class BlindFeeder {
public:
    BlindFeeder(PtyDevice& device, std::function<void()> onStall)
        : device_(device), onStall_(std::move(onStall)), thread_([this] { Run(); })
    {
    }
    ~BlindFeeder()
    {
        stop_ = true;
        thread_.join();
    }
    bool Stalled() const { return stalled_; }
    // When the program began the write that blocked.
    Clock::time_point StalledSince() const { return since_; }
    // When the feeder saw the stall and called onStall.
    Clock::time_point StallSeen() const { return seen_; }

private:
    void Run()
    {
        const std::string block = std::string(768 - OkReply.size(), ' ') + OkReply;
        int fed = 0;
        auto fedAt = Clock::now();
        while (!stop_) {
            if (device_.PendingToProgram() == 0) {
                device_.SendWithin(block, 1000);
                fedAt = Clock::now();
                fed++;
                for (int i = 0; i < 100 && device_.PendingToProgram() == 0; i++) {
                    Sleep(1);
                }
            } else if (fed >= 2 && Clock::now() - fedAt > std::chrono::seconds(2)) {
                // The program took the previous block and then wrote, so its
                // write began as this block was fed.
                device_.DiscardPendingToProgram();
                since_ = fedAt;
                seen_ = Clock::now();
                stalled_ = true;
                onStall_();
                return;
            }
            Sleep(1);
        }
    }

    PtyDevice& device_;
    std::function<void()> onStall_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> stalled_{false};
    Clock::time_point since_;
    Clock::time_point seen_;
    std::thread thread_;
};

// 400 plain command lines of 399 characters with their line ends.
std::vector<std::string> LongCommandLines()
{
    std::vector<std::string> lines;
    for (int i = 0; i < 400; i++) {
        lines.push_back("AT+W" + std::to_string(1000 + i) + std::string(389, 'x') + "\r\n");
    }
    return lines;
}

size_t CountOf(const std::string& text, const std::string& piece)
{
    size_t count = 0;
    for (size_t at = 0; (at = text.find(piece, at)) != std::string::npos; at += piece.size()) {
        count++;
    }
    return count;
}

// Checks the console of a run whose write blocked after some commands were
// answered, end being what it printed after the blocked command; answers how
// many were answered.
size_t CheckStalledOutput(const RunResult& result, const std::vector<std::string>& lines, const std::string& end)
{
    const size_t answered = CountOf(result.out, GotOk) - 1;  // less the wake-up's
    EXPECT_GE(answered, 20u) << "the line should hold several kilobytes before a write blocks";
    if (answered >= lines.size()) {
        ADD_FAILURE() << "no write blocked";
        return answered;
    }
    std::string expected = GotOk;
    for (size_t i = 0; i < answered; i++) {
        expected += lines[i] + GotOk;
    }
    EXPECT_EQ(result.out, expected + lines[answered] + end);
    return answered;
}

// Checks that the line holds the wake-up, every answered command as sent (a
// plain command loses its line feed) and no more than a beginning of the
// blocked one.
void CheckStalledWire(PtyDevice& device, const std::vector<std::string>& lines, size_t answered)
{
    std::string expected = WakeUp;
    for (size_t i = 0; i < answered; i++) {
        expected += lines[i].substr(0, lines[i].size() - 1);
    }
    const std::string blocked = lines[answered].substr(0, lines[answered].size() - 1);
    device.SetReading(true);
    const std::string wire = SettledWire(device);
    ASSERT_GE(wire.size(), expected.size());
    EXPECT_EQ(wire.substr(0, expected.size()), expected);
    const std::string partial = wire.substr(expected.size());
    EXPECT_LT(partial.size(), blocked.size()) << "the blocked command cannot have gone out whole";
    EXPECT_EQ(partial, blocked.substr(0, partial.size()));
}

// About 26 s: the write's limit (5000 + 10 x 398 ms), then one silent read.
TEST(DeviceFault, DeviceThatNeverReadsMakesTheWriteGiveUpAndTheWaitTimeOut)
{
    PtyDevice device(false);
    device.SetReading(false);
    BlindFeeder feeder(device, [] {});
    const std::vector<std::string> lines = LongCommandLines();
    std::string script = "#timeout 2\r\n";
    for (const std::string& line : lines) {
        script += line;
    }
    RunningTorvex run({ScriptArg(WriteScript(script)), PortArg(device)}, KilledAfter(90000));
    // The stall is seen 2 s into the blocked write, which lasts 9 s: the console
    // must already show all but the time-out, the blocked command included.
    for (int i = 0; i < 8000 && !feeder.Stalled(); i++) {
        Sleep(10);
    }
    ASSERT_TRUE(feeder.Stalled());
    std::string shown;
    for (size_t before = 1; shown.size() != before;) {  // each look reads at most 4 KiB
        before = shown.size();
        shown = run.Output();
    }
    ASSERT_TRUE(run.WaitForOutput(TimedOut, 80000)) << run.Output().substr(0, 2000);
    const auto timedOut = Clock::now();
    const RunResult result = run.Wait();
    ASSERT_TRUE(feeder.Stalled());
    const double blocked = std::chrono::duration<double>(timedOut - feeder.StalledSince()).count();
    EXPECT_EQ(result.status, 1);
    const size_t answered = CheckStalledOutput(result, lines, TimedOut);
    if (answered < lines.size()) {
        CheckStalledWire(device, lines, answered);
    }
    EXPECT_EQ(shown + TimedOut, result.out) << "shown while the write was blocked";
    EXPECT_NEAR(blocked, (5000 + 10 * 398 + 12680) / 1000.0, 1.5);
    ExpectPortFree(device);
    std::printf("%zu commands of 398 bytes went out before the write blocked; it gave up and the wait "
                "timed out %.2f s after the write began\n",
                answered, blocked);
}

TEST(DeviceFault, HangUpWhileAWriteIsBlockedEndsTheRunPromptly)
{
    PtyDevice device(false);
    device.SetReading(false);
    BlindFeeder feeder(device, [&device] { device.HangUp(); });
    const std::vector<std::string> lines = LongCommandLines();
    std::string script;
    for (const std::string& line : lines) {
        script += line;
    }
    RunningTorvex run({ScriptArg(WriteScript(script)), PortArg(device)}, KilledAfter(90000));
    const RunResult result = run.Wait();
    ASSERT_TRUE(feeder.Stalled());
    const double afterHangUp = SecondsSince(feeder.StallSeen());
    EXPECT_EQ(result.status, 1);
    CheckStalledOutput(result, lines, HungUpRead());
    EXPECT_LT(afterHangUp, 3.5 + HungUpReadSeconds() + WineEndSeconds());
    EXPECT_TRUE(WaitPortReleased(device, 10000));
}

// --- The device talks nonsense --------------------------------------------

// Every byte value but those that could make "OK" or "ERROR", and the
// backslash, which would make the debug display ambiguous.
const std::string NotAnAnswer = "KR\\";

// About 65 s: a minute of random bytes at 64 KiB/s, every one of them shown.
TEST(DeviceFault, MinuteOfRandomBytesIsShownExactlyInBoundedMemory)
{
    PtyDevice device;
    Flood flood(device);
    auto rng = std::make_shared<std::mt19937>(2024);
    device.SetHandler([&flood, rng](PtyDevice& dev, const std::string& line) {
        if (line == "AT+FLOOD") {
            flood.Start([rng] { return RandomBytes(*rng, 1024, NotAnAnswer); }, 60000, 16, OkReply, 1500);
            return;
        }
        dev.Send(OkReply);
    });
    RunningTorvex run({ScriptArg(WriteScript("#timeout 90\r\n#debug\r\nAT+FLOOD\r\n")), PortArg(device)},
                      KilledAfter(120000));
    ASSERT_TRUE(device.WaitForWire(WakeUp + "AT+FLOOD\r", 30000));
    // Memory after ten seconds of flood, and its peak; the output is drained meanwhile.
    long early = -1;
    long peak = -1;
    const auto flooding = Clock::now();
    while (run.Running()) {
        const long hwm = ProcessStatusKiB(run.Pid(), "VmHWM");
        if (hwm > 0) {
            peak = std::max(peak, hwm);
            if (early < 0 && SecondsSince(flooding) > 10) {
                early = hwm;
            }
        }
        run.WaitForOutput("no such output", 1000);
    }
    const RunResult result = run.Wait();
    ASSERT_TRUE(flood.Finished());
    EXPECT_EQ(result.status, 0);
    const std::string before =
        WakeUpGot + "AT+FLOOD\r\n" + Displayed("AT+FLOOD\r\n") + Displayed("AT+FLOOD\r");
    ASSERT_EQ(result.out.substr(0, before.size()), before);
    size_t pos = before.size();
    const std::vector<DebugRead> reads = ParseDebugReads(result.out, &pos);
    EXPECT_EQ(result.out.substr(pos), GotOk);
    std::string received;
    for (const DebugRead& read : reads) {
        EXPECT_LE(read.count, 768u);
        received += read.bytes;
    }
    const std::string sent = flood.Sent();
    EXPECT_GT(sent.size(), 3000000u);
    EXPECT_TRUE(received == "AT+FLOOD\r" + sent) << received.size() << " bytes shown of " << sent.size() + 9;
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads.back().bytes, OkReply);
    ExpectPortFree(device);
    if (UnderWine()) {
        return;  // the process also holds Wine's own runtime: its memory says little about the program
    }
    ASSERT_GT(early, 0);
    if (!SanitizedBuild) {  // the sanitizers' shadow memory is not the program's
        EXPECT_LT(peak, 4 * 1024) << "peak resident memory in KiB";
    }
    EXPECT_LE(peak - early, 256) << "memory grew during the flood, in KiB";
    std::printf("peak resident memory %ld KiB (%ld KiB after 10 s of flood); %zu bytes in %zu reads\n", peak, early,
                sent.size(), reads.size());
}

TEST(DeviceFault, GarbageInsteadOfEchoAndNoAnswerTimesOut)
{
    PtyDevice device(false);
    auto rng = std::make_shared<std::mt19937>(99);
    device.SetHandler([rng](PtyDevice& dev, const std::string& line) {
        if (line == WakeUpLine) {
            dev.Send(OkReply);
            return;
        }
        for (int i = 0; i < 3; i++) {
            dev.Send(RandomBytes(*rng, line.size() + 20, "KR"));
            Sleep(300);
        }
    });
    RunningTorvex run({ScriptArg(WriteScript("#timeout 3\r\nAT\r\nATZ\r\n")), PortArg(device)});
    ASSERT_TRUE(device.WaitForWire(WakeUp + "AT\r", 30000));
    const auto sent = Clock::now();
    const RunResult result = run.Wait();
    // The garbage's read, then one silent read passes the limit.
    EXPECT_GT(SecondsSince(sent), 1.6 + 12.68 - 1.5);
    EXPECT_LT(SecondsSince(sent), 1.6 + 12.68 + 1.5 + WineEndSeconds());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, GotOk + "AT\r\n" + TimedOut);
    EXPECT_EQ(SettledWire(device), WakeUp + "AT\r");
    ExpectPortFree(device);
}

// --- Scripts of garbage ---------------------------------------------------

// The script's lines as the line loop reads them: at most 399 bytes each,
// ending after a line feed.
std::vector<std::string> ScriptLines(const std::string& script)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < script.size()) {
        size_t end = script.find('\n', at);
        end = end == std::string::npos ? script.size() : end + 1;
        end = std::min(end, at + 399);
        lines.push_back(script.substr(at, end - at));
        at = end;
    }
    return lines;
}

bool StartsWithShorthand(const std::string& text)
{
    return text.size() >= 2 && text[0] == '^' && (text[1] == 'Q' || text[1] == 'q');
}

TEST(ScriptFault, BinaryGarbageScriptFailsAtItsFirstModemCommand)
{
    // A seeded random script whose first modem command is not empty, not a
    // shorthand, and not taken for the device's echo ('E' after blanks).
    std::string script;
    std::string command;
    for (unsigned seed = 1;; seed++) {
        std::mt19937 rng(seed);
        script = RandomBytes(rng, 64 * 1024);
        bool inert = true;
        command.clear();
        for (const std::string& line : ScriptLines(script)) {
            const char first = line[0];
            if (first == '\r' || first == '\n' || first == ':') {
                continue;
            }
            if (first == '#') {
                inert = false;  // a script command could be anything, a long pause included
                break;
            }
            command = line.substr(0, line.find('\0'));
            break;
        }
        const size_t text = command.find_first_not_of(" \t\r\n");
        if (inert && !command.empty() && !StartsWithShorthand(command) && text != std::string::npos &&
            command[text] != 'E') {
            break;
        }
    }
    // As sent: a plain command loses its line feeds.
    std::string sent = command;
    if (command.find('^') == std::string::npos) {
        sent.erase(std::remove(sent.begin(), sent.end(), '\n'), sent.end());
    }
    // The device answers each of its lines; they come as one burst.
    std::vector<std::string> deviceLines = {WakeUpLine, WakeUpLine};
    std::string part;
    for (char c : sent) {
        if (c == '\r' || c == '\n') {
            if (!part.empty()) {
                deviceLines.push_back(part);
            }
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) {
        deviceLines.push_back(part);
    }
    std::string got = "Got \"ERROR";
    for (size_t i = 3; i < deviceLines.size(); i++) {
        got += ", ERROR";
    }
    got += "\"\n";

    PtyDevice device(false);
    device.SetHandler(Rules({}, ErrorReply));
    const RunResult result = RunOnScript(device, script);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, GotError + GotError + command + got);
    EXPECT_EQ(SettledWire(device), WakeUp + WakeUp + sent);
    EXPECT_EQ(device.Lines(), deviceLines);
    ExpectPortFree(device);
}

TEST(ScriptFault, NulInsideALineEndsTheCommandThere)
{
    PtyDevice device;
    device.SetHandler(Rules({}, OkReply));
    const RunResult result = RunOnScript(device, "AT" + std::string(1, '\0') + "+IGNORED\r\nATI\r\n");
    EXPECT_EQ(result.status, 0);
    // Neither shown nor sent past the NUL: the command goes out without a line end.
    EXPECT_EQ(result.out, WakeUpGot + "AT" + GotOk + "ATI\r\n" + GotOk);
    EXPECT_EQ(SettledWire(device), WakeUp + "ATATI\r");
    EXPECT_EQ(device.Lines(), (std::vector<std::string>{WakeUpLine, "AT", "ATI"}));
    ExpectPortFree(device);
}

// About 16 s: one silent read.
TEST(ScriptFault, LineStartingWithNulIsAnEmptyCommandThatTimesOut)
{
    PtyDevice device;
    device.SetHandler(Rules({}, OkReply));
    const RunResult result = RunOnScript(device, "#timeout 1\r\n" + std::string(1, '\0') + "AT\r\nATI\r\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, WakeUpGot + TimedOut);
    EXPECT_EQ(SettledWire(device), WakeUp);
    ExpectPortFree(device);
}

// About 31 s: 26 commands, each answered a quiet second before the next.
TEST(ScriptFault, TenThousandCharacterLineGoesOutIn399CharacterPieces)
{
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string content = "AT+";
    for (size_t i = 0; content.size() < 10000; i++) {
        content += alphabet[(i * 7) % alphabet.size()];
    }
    const std::string line = content + "\r\n";
    PtyDevice device;
    device.SetQuietLineEnd(50);  // pieces come without a line end
    device.SetHandler(Rules({}, OkReply));
    const auto start = Clock::now();
    const RunResult result = RunOnScript(device, line + "ATZ\r\n", {}, KilledAfter(90000));
    const double took = SecondsSince(start);
    EXPECT_EQ(result.status, 0);
    std::string expected = WakeUpGot;
    std::vector<std::string> deviceLines = {WakeUpLine};
    for (size_t at = 0; at < line.size(); at += 399) {
        const std::string piece = line.substr(at, 399);
        expected += piece + GotOk;
        deviceLines.push_back(piece.substr(0, piece.find('\r')));
    }
    ASSERT_EQ(deviceLines.size(), 1u + 26u);
    expected += "ATZ\r\n" + GotOk;
    deviceLines.push_back("ATZ");
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(SettledWire(device), WakeUp + content + "\rATZ\r");
    EXPECT_EQ(device.Lines(), deviceLines);
    ExpectPortFree(device);
    std::printf("a 10,000-character line: %.1f s\n", took);
}

// 10 passes through a chain of 10,000 labels laid out in scrambled order:
// 100,000 jumps, the pass counter kept by the device.
TEST(ScriptFault, HundredThousandJumpsThroughTenThousandLabels)
{
    constexpr int Count = 10000;
    auto name = [](int i) {
        char text[8];
        std::snprintf(text, sizeof text, "L%04d", i);
        return std::string(text);
    };
    std::vector<std::string> blocks(Count);
    for (int i = 0; i < Count; i++) {
        std::string block = ":" + name(i) + "\r\n";
        if (i + 1 < Count) {
            block += "#goto " + name(i + 1) + "\r\n";
        } else {
            block += "AT+PASS\r\n#if (<10) " + name(0) + "\r\n#goto DONE\r\n";
        }
        blocks[static_cast<size_t>((i * 7919) % Count)] = block;  // 7919 is prime: a permutation
    }
    std::string script = "#goto " + name(0) + "\r\n";
    for (const std::string& block : blocks) {
        script += block;
    }
    script += ":DONE\r\nAT+DONE\r\n";

    LineTimes times;
    PtyDevice device;
    auto passes = std::make_shared<int>(0);
    device.SetHandler(times.Wrap([passes](PtyDevice& dev, const std::string& line) {
        if (line == "AT+PASS") {
            dev.Send("\r\n+PASS: " + std::to_string(++*passes) + "\r\n\r\nOK\r\n");
            return;
        }
        dev.Send(OkReply);
    }));
    const auto start = Clock::now();
    const RunResult result = RunOnScript(device, script, {}, KilledAfter(180000));
    const double took = SecondsSince(start);
    EXPECT_EQ(result.status, 0);
    std::string expected = WakeUpGot;
    for (int n = 1; n <= 10; n++) {
        expected += "AT+PASS\r\nGot \"+PASS: " + std::to_string(n) + ", OK\"\n";
    }
    expected += "AT+DONE\r\n" + GotOk;
    EXPECT_EQ(result.out, expected);
    std::string wire = WakeUp;
    for (int n = 1; n <= 10; n++) {
        wire += "AT+PASS\r";
    }
    EXPECT_EQ(SettledWire(device), wire + "AT+DONE\r");
    ExpectPortFree(device);
    // One pass: 10,000 jumps and one answer a quiet second long.
    Clock::time_point first, last;
    ASSERT_TRUE(times.When("AT+PASS", &first, 0));
    ASSERT_TRUE(times.When("AT+PASS", &last, 9));
    const double perPass = SecondsBetween(first, last) / 9 - 1.0;
    EXPECT_LT(took, 90.0);  // about 22 s on a quiet machine, Wine's too
    std::printf("run %.1f s; 10,000 jumps take %.3f s beyond the answer's quiet second\n", took, perPass);
}

// --- Ctrl-C ---------------------------------------------------------------

// The signal a waiting parent sees the program end by. Windows has no death by
// a signal: there the exit status 130 stands for Ctrl-C.
int InterruptSignal()
{
    return UnderWine() ? 0 : SIGINT;
}

TEST(Interrupt, CtrlCDuringTheSettlingPauseEndsWith130AndReleasesThePort)
{
    PtyDevice device;
    device.SetHandler(Rules({{WakeUpLine, OkReply}}, OkReply));
    RunningTorvex run({ScriptArg(WriteScript("AT\r\n")), PortArg(device)});
    ASSERT_TRUE(WaitPortHeld(device, 20000));
    Sleep(200);
    run.Signal(SIGINT);
    const auto interrupted = Clock::now();
    const RunResult result = run.Wait();
    // Well before the rest of the pause (2.8 s), Wine's end included.
    EXPECT_LT(SecondsSince(interrupted), UnderWine() ? 2.4 : 1.5);
    EXPECT_EQ(result.status, 130);
    EXPECT_EQ(result.signal, InterruptSignal());
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(SettledWire(device), "");
    ExpectPortFree(device);
}

TEST(Interrupt, CtrlCDuringAWaitEndsWith130AndReleasesThePort)
{
    PtyDevice device;
    device.SetHandler(Rules({{WakeUpLine, OkReply}}, ""));
    RunningTorvex run({ScriptArg(WriteScript("AT\r\nATZ\r\n")), PortArg(device)});
    ASSERT_TRUE(device.WaitForWire(WakeUp + "AT\r", 30000));
    Sleep(500);
    run.Signal(SIGINT);
    const auto interrupted = Clock::now();
    const RunResult result = run.Wait();
    EXPECT_LT(SecondsSince(interrupted), 1.5 + WineEndSeconds());
    EXPECT_EQ(result.status, 130);
    EXPECT_EQ(result.signal, InterruptSignal());
    EXPECT_EQ(result.out, WakeUpGot + "AT\r\n");
    EXPECT_EQ(SettledWire(device), WakeUp + "AT\r");
    ExpectPortFree(device);
}

TEST(Interrupt, CtrlCDuringAPromptRestoresTheTerminalAndEndsWith130)
{
    PtyDevice device;
    device.SetHandler(Rules({{WakeUpLine, OkReply}}, OkReply));
    RunningTorvex run({ScriptArg(WriteScript("#prompt Continue?\r\nAT\r\n")), PortArg(device)},
                      TerminalInput());
    const tcflag_t cooked = ICANON | ECHO;
    struct termios tio;
    ASSERT_EQ(tcgetattr(run.TerminalFd(), &tio), 0);
    ASSERT_EQ(tio.c_lflag & cooked, cooked);
    ASSERT_TRUE(run.WaitForOutput("\r\nContinue?", 30000)) << run.Output();
    Sleep(300);
    ASSERT_EQ(tcgetattr(run.TerminalFd(), &tio), 0);
    EXPECT_EQ(tio.c_lflag & cooked, 0u) << "the key is read without echo and without Enter";
    run.Signal(SIGINT);
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 130);
    EXPECT_EQ(result.signal, InterruptSignal());
    EXPECT_EQ(result.out, WakeUpGot + "\r\nContinue?\n") << "the prompt's line is ended";
    ASSERT_EQ(tcgetattr(run.TerminalFd(), &tio), 0);
    EXPECT_EQ(tio.c_lflag & cooked, cooked) << "the terminal's settings must be restored";
    EXPECT_EQ(SettledWire(device), WakeUp);
    ExpectPortFree(device);
}

// Ctrl-C at a terminal goes to the whole foreground group: a shell loop around
// the program stops at the first, as it does around any program the signal ends.
TEST(Interrupt, CtrlCStopsAShellLoopAroundTheProgram)
{
    if (UnderWine()) {
        GTEST_SKIP() << "Windows has no death by a signal for the shell to see";
    }
    const char* exe = getenv("TORVEX_EXE");
    ASSERT_NE(exe, nullptr);
    PtyDevice device;
    device.SetHandler(Rules({{WakeUpLine, OkReply}}, ""));
    RunOptions loop;
    loop.command = {"bash", "-c", "for n in 1 2 3; do echo \"run $n\"; \"$0\" \"$1\" \"$2\"; done; echo ended", exe,
                    WriteScript("AT\r\n"), PortArg(device)};
    RunningTorvex run({}, loop);
    ASSERT_TRUE(device.WaitForWire(WakeUp + "AT\r", 30000));
    Sleep(500);
    run.SignalGroup(SIGINT);
    const RunResult result = run.Wait();
    EXPECT_EQ(result.signal, SIGINT) << "the shell itself stops by the signal";
    EXPECT_EQ(result.out, "run 1\n" + WakeUpGot + "AT\r\n");
    EXPECT_EQ(SettledWire(device), WakeUp + "AT\r");
    ExpectPortFree(device);
}

// A loop that never blocks: every line it printed before Ctrl-C is on the
// console, and no line is cut.
TEST(Interrupt, CtrlCInALoopThatNeverBlocksKeepsEveryLinePrinted)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const std::string script = "ATI\r\n:wait\r\n#print Waiting for the unit\r\n#if (READY) done\r\n#goto wait\r\n:done\r\n";
    RunningTorvex run({ScriptArg(WriteScript(script)), PortArg(device)});
    const std::string line = "\r\nWaiting for the unit\n";
    ASSERT_TRUE(run.WaitForOutput(line, 30000));
    Sleep(300);
    run.Signal(SIGINT);
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 130);
    EXPECT_EQ(result.signal, InterruptSignal());
    const std::string start = WakeUpGot + "ATI\r\n" + GotOk;
    ASSERT_EQ(result.out.compare(0, start.size(), start), 0) << result.out.substr(0, 200);
    const size_t lines = (result.out.size() - start.size()) / line.size();
    std::string expected = start;
    for (size_t i = 0; i < lines; i++) {
        expected += line;
    }
    EXPECT_GT(lines, 0u);
    EXPECT_EQ(result.out.size(), expected.size()) << "a line was cut: " << result.out.substr(result.out.size() - 40);
    EXPECT_TRUE(result.out == expected);
    EXPECT_EQ(SettledWire(device), WakeUp + "ATI\r");
}

TEST(Interrupt, OtherEndingSignalsReleaseThePort)
{
    if (UnderWine()) {
        GTEST_SKIP() << "Wine turns signals into its own events";
    }
    for (const int sig : {SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGRTMAX}) {
        PtyDevice device;
        device.SetHandler(Rules({{WakeUpLine, OkReply}}, ""));
        RunningTorvex run({ScriptArg(WriteScript("AT\r\n")), PortArg(device)});
        ASSERT_TRUE(device.WaitForWire(WakeUp + "AT\r", 30000));
        EXPECT_TRUE(device.Exclusive());
        run.Signal(sig);
        const RunResult result = run.Wait();
        EXPECT_EQ(result.status, 128 + sig) << strsignal(sig);
        EXPECT_EQ(result.signal, sig) << strsignal(sig);
        EXPECT_EQ(SettledWire(device), WakeUp + "AT\r") << strsignal(sig);
    }
}

// Stopped during the wait for an answer and continued after its time was up,
// the run reads what came meanwhile and goes on at once: an answer that came
// in time counts, and a silent device's wait is over, not resumed for the time
// it had left when stopped.
TEST(Interrupt, StoppedDuringAWaitTheClockGoesOnAndWhatCameMeanwhileCounts)
{
    if (UnderWine()) {
        GTEST_SKIP() << "Wine turns signals into its own events";
    }
    PtyDevice late;
    late.SetHandler(StandardDevice({{"AT+X", OkReply, 2000}}));
    PtyDevice silent;
    silent.SetHandler(Rules({{WakeUpLine, OkReply}}, ""));
    const std::string script = ScriptArg(WriteScript("#timeout 2\r\nAT+X\r\n"));
    RunningTorvex answered({script, PortArg(late)});
    RunningTorvex unanswered({script, PortArg(silent)});
    ASSERT_TRUE(late.WaitForWire("AT+X\r", 30000));
    ASSERT_TRUE(silent.WaitForWire("AT+X\r", 30000));
    // Within the whole read of 12.7 s that a silent device gets.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    answered.Signal(SIGSTOP);
    unanswered.Signal(SIGSTOP);
    std::this_thread::sleep_for(std::chrono::seconds(14));
    answered.Signal(SIGCONT);
    unanswered.Signal(SIGCONT);
    const auto continued = std::chrono::steady_clock::now();
    const RunResult ok = answered.Wait();
    const RunResult none = unanswered.Wait();
    EXPECT_LT(std::chrono::steady_clock::now() - continued, std::chrono::seconds(5));
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_EQ(ok.out, WakeUpGot + "AT+X\r\n" + GotOk);
    EXPECT_EQ(none.status, 1) << none.out;
    EXPECT_EQ(none.out, WakeUpGot + "AT+X\r\nTimed out waiting for \"OK\"\n");
}

// What the caller chose to ignore stays ignored, as under nohup: the run goes on.
TEST(Interrupt, SignalTheCallerIgnoresLeavesTheRunGoing)
{
    if (UnderWine()) {
        GTEST_SKIP() << "Wine turns signals into its own events";
    }
    const char* exe = getenv("TORVEX_EXE");
    ASSERT_NE(exe, nullptr);
    PtyDevice device;
    device.SetHandler(StandardDevice());
    RunOptions options;
    options.command = {"bash", "-c", "trap '' HUP; exec \"$0\" \"$1\" \"$2\"", exe, WriteScript("ATI\r\n"),
                       PortArg(device)};
    RunningTorvex run({}, options);
    ASSERT_TRUE(device.WaitForWire(WakeUp, 30000));
    run.Signal(SIGHUP);
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "ATI\r\n" + GotOk);
    EXPECT_EQ(SettledWire(device), WakeUp + "ATI\r");
}

TEST(Interrupt, ClosedOutputDoesNotCutTheDevicesRunShort)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    RunOptions options;
    options.closedStdout = true;
    const RunResult result = RunOnScript(device, "#print Starting\r\nATI\r\nAT+CSQ\r\nATZ\r\n", {}, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "") << "nothing on standard error";
    EXPECT_EQ(SettledWire(device), WakeUp + "ATI\r" + "AT+CSQ\r" + "ATZ\r");
}

// Where a descriptor of the program leads, as /proc shows it.
std::string DescriptorTarget(pid_t pid, int fd)
{
    char target[256];
    const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    const ssize_t k = readlink(link.c_str(), target, sizeof target - 1);
    return k > 0 ? std::string(target, static_cast<size_t>(k)) : "";
}

// Daemons and cron may start the program with a standard stream closed. The
// port must never take its place, or the console's text would go to the device
// and a prompt would read its key from it.
TEST(Interrupt, ClosedStandardStreamIsNeverThePort)
{
    struct Case {
        int fd;
        bool nullDevice;  // false: in a /dev of the port alone
    };
    for (const Case c : {Case{0, true}, Case{1, true}, Case{2, true}, Case{1, false}}) {
        if (!c.nullDevice && UnderWine()) {
            continue;
        }
        const std::string what = "descriptor " + std::to_string(c.fd) + (c.nullDevice ? "" : " with no /dev/null");
        PtyDevice device;
        device.SetHandler(StandardDevice({{"ATI", OkReply, 1000}}));
        RunOptions options;
        options.closedStream = c.fd;
        std::string port = PortArg(device);
        if (!c.nullDevice) {
            options.ttyS = 4;
            options.ttySTarget = device.SlavePath();
            port = "-PORT=/dev/ttyS4";
        }
        RunningTorvex run({ScriptArg(WriteScript("#print AT+CFUN=0\r\n#prompt Key?\r\nATI\r\n")), port}, options);
        ASSERT_TRUE(device.WaitForWire(WakeUp + "ATI\r", 30000)) << what << ": " << device.Wire();
        if (!UnderWine()) {
            const std::string held = DescriptorTarget(run.Pid(), c.fd);
            EXPECT_EQ(c.nullDevice ? held : held.substr(0, 5), c.nullDevice ? "/dev/null" : "pipe:") << what;
        }
        const RunResult result = run.Wait();
        EXPECT_EQ(result.status, 0) << what;
        EXPECT_EQ(result.out, c.fd == 1 ? "" : WakeUpGot + "\r\nAT+CFUN=0\n\r\nKey?\nATI\r\n" + GotOk) << what;
        EXPECT_EQ(SettledWire(device), WakeUp + "ATI\r") << what;
    }
}

}  // namespace
