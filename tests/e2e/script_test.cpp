// Script commands in whole runs: messages, jumps and conditions driven by the
// device's answers, pauses, the answer time-out, and prompts for a key.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_device.h"
#include "support/run_program.h"
#include "support/standard_device.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string Ok = "Got \"OK\"\n";
const std::string CsqGot = "Got \"+CSQ: 23,99, OK\"\n";
const std::string TimedOut = "Timed out waiting for \"OK\"\n";

std::string Printed(const std::string& message)
{
    return "\r\n" + message + "\n";
}

TEST(Messages, PrintShowsTheMessageAndBellRings)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device,
                                         "#print Hello, world  \r\n"
                                         "#bell\r\n"
                                         "#PRINT\t  tabbed\n"
                                         "#print\r\n"
                                         "#Bell");
    EXPECT_EQ(result.status, 0);
    // Leading blanks are passed over, trailing ones stay.
    EXPECT_EQ(result.out, WakeUpGot + Printed("Hello, world  ") + "\a" + Printed("tabbed") + Printed("") + "\a");
    EXPECT_EQ(SettledWire(device), WakeUp);
}

TEST(Jumps, GotoForwardsAndBackwardsInAFileAndInAPipe)
{
    const std::string script =
        "#goto start\r\n"
        ":back\r\n"
        "AT+B\r\n"
        "#goto end\r\n"
        ":start\r\n"
        "AT+A\r\n"
        "#GoTo BACK\r\n"
        "AT+FAIL\r\n"
        ":end\r\n"
        "AT+C\r\n";
    // A piped script cannot be repositioned, so it is read in full first.
    for (const bool piped : {false, true}) {
        if (piped && UnderWine()) {
            continue;  // Wine opens paths in its server, whose /dev/stdin is its own
        }
        PtyDevice device;
        device.SetHandler(StandardDevice());
        RunOptions options;
        std::string path = WriteScript(script);
        if (piped) {
            options.input = Stdin::Pipe;
            options.data = script;
            path = "/dev/stdin";
        }
        const RunResult result = RunTorvex({ScriptArg(path), PortArg(device)}, options);
        EXPECT_EQ(result.status, 0) << path;
        EXPECT_EQ(result.out, WakeUpGot + "AT+A\r\n" + Ok + "AT+B\r\n" + Ok + "AT+C\r\n" + Ok) << path;
        EXPECT_EQ(SettledWire(device), WakeUp + "AT+A\r" + "AT+B\r" + "AT+C\r") << path;
    }
}

TEST(Jumps, LastDefinitionWinsAndALabelOnTheLastLineEndsTheScript)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device,
                                         "#goto twice\r\n"
                                         ":twice\r\n"
                                         "AT+FAIL\r\n"
                                         ":Twice\r\n"
                                         "ATZ\r\n"
                                         "#goto last\r\n"
                                         "AT+FAIL\r\n"
                                         ":last");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "ATZ\r\n" + Ok);
    EXPECT_EQ(SettledWire(device), WakeUp + "ATZ\r");
}

TEST(Jumps, LabelNotFoundIsReportedAndTheScriptGoesOn)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device,
                                         "#goto nowhere\r\n"
                                         "ATZ\r\n"
                                         "#if (OK) Missing Label \r\n"
                                         "AT+CSQ\r\n"
                                         ":nowhere \r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "Label \"nowhere\" not found.\n" + "ATZ\r\n" + Ok +
                              "Label \"Missing Label \" not found.\n" + "AT+CSQ\r\n" + CsqGot);
    EXPECT_EQ(SettledWire(device), WakeUp + "ATZ\r" + "AT+CSQ\r");
}

TEST(Conditions, TextConditionsSearchTheAnswerExactly)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device,
                                         "AT+CSQ\r\n"
                                         "#if (ok) wrong\r\n"
                                         "#print letter case counts\r\n"
                                         "#if (OK) t1\r\n"
                                         "#print not reached 1\r\n"
                                         ":t1\r\n"
                                         "#if ( 23,) t2\r\n"
                                         "#print not reached 2\r\n"
                                         ":t2\r\n"
                                         "#if (23 ) wrong\r\n"
                                         "#print blanks count\r\n"
                                         "#if (+CSQ: 23,99) t3\r\n"
                                         "#print not reached 3\r\n"
                                         ":t3\r\n"
                                         "#if () wrong\r\n"
                                         "#print an empty condition never jumps\r\n"
                                         "#goto end\r\n"
                                         ":wrong\r\n"
                                         "#print wrong branch\r\n"
                                         ":end\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "AT+CSQ\r\n" + CsqGot + Printed("letter case counts") +
                              Printed("blanks count") + Printed("an empty condition never jumps"));
}

TEST(Conditions, NumericConditionsReadTheNumberAfterTheColon)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device,
                                         "AT+CSQ\r\n"
                                         "#if (>10) gt\r\n"
                                         "#print not reached 1\r\n"
                                         ":gt\r\n"
                                         "#if (<10) wrong\r\n"
                                         "#print 23 is not below 10\r\n"
                                         "#if (=23) eq\r\n"
                                         "#print not reached 2\r\n"
                                         ":eq\r\n"
                                         "#if (>23) wrong\r\n"
                                         "#if (<23) wrong\r\n"
                                         "#if (=22) wrong\r\n"
                                         "#if (<24) lt\r\n"
                                         "#print not reached 3\r\n"
                                         ":lt\r\n"
                                         "ATZ\r\n"
                                         "#if (>-1) wrong\r\n"
                                         "#if (=0) wrong\r\n"
                                         "#if (<1) wrong\r\n"
                                         "#print no number without a colon\r\n"
                                         "#goto end\r\n"
                                         ":wrong\r\n"
                                         "#print wrong branch\r\n"
                                         ":end\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "AT+CSQ\r\n" + CsqGot + Printed("23 is not below 10") + "ATZ\r\n" + Ok +
                              Printed("no number without a colon"));
}

TEST(Conditions, LoopEndsWhenTheCounterInTheAnswerReachesTheLimit)
{
    PtyDevice device;
    auto count = std::make_shared<int>(0);
    const LineHandler standard = StandardDevice();
    device.SetHandler([count, standard](PtyDevice& d, const std::string& line) {
        if (line == "AT^QCNT?") {
            d.Send("\r\n^QCNT: " + std::to_string(++*count) + "\r\n\r\nOK\r\n");
        } else {
            standard(d, line);
        }
    });
    const RunResult result = RunOnScript(device,
                                         ":loop\r\n"
                                         "AT^QCNT?\r\n"
                                         "#if (<3) loop\r\n"
                                         "ATZ\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "AT^QCNT?\r\nGot \"^QCNT: 1, OK\"\n" + "AT^QCNT?\r\nGot \"^QCNT: 2, OK\"\n" +
                              "AT^QCNT?\r\nGot \"^QCNT: 3, OK\"\n" + "ATZ\r\n" + Ok);
    EXPECT_EQ(SettledWire(device), WakeUp + "AT^QCNT?\r\n" + "AT^QCNT?\r\n" + "AT^QCNT?\r\n" + "ATZ\r");
}

// Each answer is read until the line has been quiet for a second, so commands
// follow each other about a second apart without a pause.
TEST(Pauses, WaitPausesForTheGivenSecondsAndWaitZeroGoesOnAtOnce)
{
    PtyDevice device;
    LineTimes times;
    device.SetHandler(times.Wrap(StandardDevice()));
    RunningTorvex run({ScriptArg(WriteScript("ATZ\r\n"
                                             "#wait 0\r\n"
                                             "AT+A\r\n"
                                             "#print pausing\r\n"
                                             "#wait 1\r\n"
                                             "AT+B\r\n")),
                       PortArg(device)});
    ASSERT_TRUE(run.WaitForOutput("pausing", 30000));
    const Clock::time_point printed = Clock::now();
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "ATZ\r\n" + Ok + "AT+A\r\n" + Ok + Printed("pausing") + "AT+B\r\n" + Ok);
    Clock::time_point atz, a, b;
    ASSERT_TRUE(times.When("ATZ", &atz));
    ASSERT_TRUE(times.When("AT+A", &a));
    ASSERT_TRUE(times.When("AT+B", &b));
    EXPECT_GT(SecondsBetween(atz, a), 0.9);
    EXPECT_LT(SecondsBetween(atz, a), 1.8);
    EXPECT_GT(SecondsBetween(a, b), 1.9);
    EXPECT_LT(SecondsBetween(a, b), 4.0);
    // The message is on the console before the pause begins.
    EXPECT_GT(SecondsBetween(printed, b), 0.7);
}

// Console output is a pipe here, so nothing reaches it without a flush: what
// was printed must be there when a pause begins, not when it ends.
TEST(Pauses, WhatWasPrintedIsOnTheConsoleBeforeThePauseBegins)
{
    PtyDevice device;
    LineTimes times;
    device.SetHandler(times.Wrap(StandardDevice()));
    RunningTorvex run({ScriptArg(WriteScript("#wait 3\r\nATZ\r\n#wait 3\r\nAT+A\r\n")), PortArg(device)});
    ASSERT_TRUE(run.WaitForOutput(WakeUpGot, 30000)) << run.Output();
    const Clock::time_point wokenShown = Clock::now();
    ASSERT_TRUE(run.WaitForOutput(WakeUpGot + "ATZ\r\n" + Ok, 30000)) << run.Output();
    const Clock::time_point answerShown = Clock::now();
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "ATZ\r\n" + Ok + "AT+A\r\n" + Ok);
    Clock::time_point atz, a;
    ASSERT_TRUE(times.When("ATZ", &atz));
    ASSERT_TRUE(times.When("AT+A", &a));
    EXPECT_GT(SecondsBetween(wokenShown, atz), 2.0);
    EXPECT_GT(SecondsBetween(answerShown, a), 2.0);
}

TEST(AnswerTimeout, TimeoutOneEndsAWaitAfterTheFirstRead)
{
    // Echoes ATZ and half a second later sends a line that is no answer, so
    // the first read ends well past one second, whatever the tick count's grain.
    PtyDevice device;
    LineTimes times;
    device.SetHandler(times.Wrap(StandardDevice({{"ATZ", "\r\nBUSY\r\n", 500}})));
    RunningTorvex run({ScriptArg(WriteScript("#timeout 1\r\nATZ\r\nAT+CSQ\r\n")), PortArg(device)});
    const RunResult result = run.Wait();
    const Clock::time_point end = Clock::now();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, WakeUpGot + "ATZ\r\n" + TimedOut);
    EXPECT_EQ(SettledWire(device), WakeUp + "ATZ\r");
    Clock::time_point atz;
    ASSERT_TRUE(times.When("ATZ", &atz));
    // With the default of 10 seconds a second read would last another 12.7 s.
    EXPECT_GT(SecondsBetween(atz, end), 1.4);
    EXPECT_LT(SecondsBetween(atz, end), 6.0);
}

TEST(AnswerTimeout, TimeoutZeroSendsTheCommandButReadsNoAnswer)
{
    PtyDevice device;
    LineTimes times;
    device.SetHandler(times.Wrap(StandardDevice()));
    RunningTorvex run({ScriptArg(WriteScript("#timeout 0\r\nATZ\r\nAT+CSQ\r\n")), PortArg(device)});
    const RunResult result = run.Wait();
    const Clock::time_point end = Clock::now();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, WakeUpGot + "ATZ\r\n" + TimedOut);
    EXPECT_EQ(SettledWire(device), WakeUp + "ATZ\r");
    Clock::time_point atz;
    ASSERT_TRUE(times.When("ATZ", &atz));
    EXPECT_LT(SecondsBetween(atz, end), 0.8 + WineEndSeconds());
}

TEST(AnswerTimeout, SilentDeviceTimesOutAfterOneWholeRead)
{
    PtyDevice device(false);  // answers the wake-up, then nothing at all
    LineTimes times;
    device.SetHandler(times.Wrap(StandardDevice({{"ATZ", ""}})));
    RunningTorvex run({ScriptArg(WriteScript("#timeout 1\r\nATZ\r\n")), PortArg(device)});
    // The command is on the console while the read waits.
    ASSERT_TRUE(device.WaitForWire("ATZ\r", 30000));
    EXPECT_TRUE(run.WaitForOutput("ATZ\r", 20000));
    const RunResult result = run.Wait();
    const Clock::time_point end = Clock::now();
    EXPECT_EQ(result.status, 1);
    // Without an echo the wake-up's answer is the whole burst.
    EXPECT_EQ(result.out, "Got \"OK\"\nATZ\r\n" + TimedOut);
    Clock::time_point atz;
    ASSERT_TRUE(times.When("ATZ", &atz));
    // One read of 768 bytes waits 5 s + 10 ms per byte for its first byte.
    EXPECT_GT(SecondsBetween(atz, end), 12.0);
    EXPECT_LT(SecondsBetween(atz, end), 20.0);
}

const std::string PromptLine = "#prompt Continue? \r\n";
// Where the answer leads: yes, no, or on to "no answer".
const std::string AnswerBranches =
    "#if (Y) yes\r\n"
    "#if (N) no\r\n"
    "#print no answer\r\n"
    "#goto end\r\n"
    ":yes\r\n"
    "#print yes\r\n"
    "#goto end\r\n"
    ":no\r\n"
    "#print no\r\n"
    ":end\r\n"
    "ATZ\r\n";
const std::string PromptScript = PromptLine + AnswerBranches;

// The prompt once answered, as the running program's output holds it (the
// Windows console writes CRLF, folded only in the final output).
std::string PromptAnswered()
{
    return "Continue? \n";
}

std::string PromptRun(const std::string& path)
{
    return WakeUpGot + "\r\nContinue? \n" + Printed(path) + "ATZ\r\n" + Ok;
}

// Waits until the terminal leaves line mode, as it does while a key is awaited.
bool WaitForKeyMode(int terminal, int timeoutMs)
{
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        struct termios tio;
        if (tcgetattr(terminal, &tio) == 0 && (tio.c_lflag & ICANON) == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(Prompt, KeyFromATerminalIsTheAnswer)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    RunOptions options;
    options.input = Stdin::Terminal;
    RunningTorvex run({ScriptArg(WriteScript(PromptScript)), PortArg(device)}, options);
    ASSERT_TRUE(run.WaitForOutput("Continue? ", 30000));
    ASSERT_TRUE(WaitForKeyMode(run.TerminalFd(), 20000));
    ASSERT_EQ(write(run.TerminalFd(), "y", 1), 1);
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, PromptRun("yes"));
    EXPECT_EQ(SettledWire(device), WakeUp + "ATZ\r");
}

TEST(Prompt, KeyFromAPipeIsTheAnswer)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    RunOptions options;
    options.input = Stdin::Data;
    options.data = "n";
    const RunResult result = RunOnScript(device, PromptScript, {}, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, PromptRun("no"));
}

TEST(Prompt, EndOfInputAnswersNothingAndTheRunGoesOn)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device, PromptScript);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, PromptRun("no answer"));
}

// The settings of the program's terminal that a key wait may change.
struct TerminalModes {
    tcflag_t iflag, oflag, cflag, lflag;
    cc_t vmin, vtime;
    bool operator==(const TerminalModes& o) const
    {
        return iflag == o.iflag && oflag == o.oflag && cflag == o.cflag && lflag == o.lflag && vmin == o.vmin &&
               vtime == o.vtime;
    }
};

TerminalModes ModesOf(int terminal)
{
    struct termios tio;
    EXPECT_EQ(tcgetattr(terminal, &tio), 0);
    return {tio.c_iflag, tio.c_oflag, tio.c_cflag, tio.c_lflag, tio.c_cc[VMIN], tio.c_cc[VTIME]};
}

// Opens the terminal's other side, so that its settings outlive the program.
int HoldTerminal(int terminal)
{
    return open(ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
}

// Bytes the terminal sent back (its echo) within the time given.
std::string EchoedBack(int terminal, int ms)
{
    std::string got;
    struct pollfd pfd = {terminal, POLLIN, 0};
    while (poll(&pfd, 1, ms) > 0) {
        char buf[64];
        const ssize_t k = read(terminal, buf, sizeof buf);
        if (k <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(k));
    }
    return got;
}

TEST(PromptOnTerminal, KeyIsReadWithoutEchoOrLineModeWhichComeBackAfterIt)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    RunOptions options;
    options.input = Stdin::Terminal;
    RunningTorvex run({ScriptArg(WriteScript(PromptLine + "#wait 3\r\n" + AnswerBranches)), PortArg(device)},
                      options);
    const int terminal = run.TerminalFd();
    const int held = HoldTerminal(terminal);
    ASSERT_GE(held, 0);
    const TerminalModes before = ModesOf(terminal);
    ASSERT_NE(before.lflag & ECHO, 0u);
    ASSERT_NE(before.lflag & ICANON, 0u);
    ASSERT_TRUE(run.WaitForOutput("Continue? ", 30000));
    ASSERT_TRUE(WaitForKeyMode(terminal, 20000));
    const TerminalModes waiting = ModesOf(terminal);
    EXPECT_EQ(waiting.lflag & (ECHO | ICANON), 0u);
    ASSERT_EQ(write(terminal, "y", 1), 1);
    // The program pauses after the key.
    ASSERT_TRUE(run.WaitForOutput(PromptAnswered(), 20000));
    EXPECT_EQ(EchoedBack(terminal, 200), "");
    if (!UnderWine()) {
        EXPECT_TRUE(ModesOf(terminal) == before);
    }
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, PromptRun("yes"));
    // Wine's console keeps a terminal on standard input in raw mode until the
    // program ends, so under Wine the settings come back only then.
    EXPECT_TRUE(ModesOf(terminal) == before);
    close(held);
}

TEST(PromptOnTerminal, InterruptDuringThePromptEndsWithStatus130AndRestoresTheTerminal)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    RunOptions options;
    options.input = Stdin::Terminal;
    RunningTorvex run({ScriptArg(WriteScript(PromptScript)), PortArg(device)}, options);
    const int terminal = run.TerminalFd();
    const int held = HoldTerminal(terminal);
    ASSERT_GE(held, 0);
    const TerminalModes before = ModesOf(terminal);
    ASSERT_TRUE(run.WaitForOutput("Continue? ", 30000));
    ASSERT_TRUE(WaitForKeyMode(terminal, 20000));
    run.Signal(SIGINT);
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 130);
    EXPECT_EQ(result.signal, UnderWine() ? 0 : SIGINT);
    EXPECT_EQ(result.out, WakeUpGot + "\r\nContinue? \n");
    const TerminalModes after = ModesOf(terminal);
    EXPECT_NE(after.lflag & ECHO, 0u);
    EXPECT_NE(after.lflag & ICANON, 0u);
    EXPECT_TRUE(after == before);
    EXPECT_EQ(SettledWire(device), WakeUp);
    close(held);
}

// A script piped in is standard input itself, used up before the first prompt:
// the key comes from the controlling terminal, when there is one. Any other
// standard input, such as a rack run's /dev/null, still gives the keys.
TEST(PromptOnTerminal, ScriptFromStandardInputTakesTheKeyFromTheControllingTerminal)
{
    struct Case {
        std::string script;  // "-", /dev/stdin, or a file
        bool terminal;       // a controlling terminal that answers y
        std::string answer;
    };
    const std::vector<Case> cases = {
        {"-", true, "yes"},
        {"/dev/stdin", true, "yes"},
        {"-", false, "no answer"},
        {WriteScript(PromptScript), true, "no answer"},
    };
    for (const Case& c : cases) {
        if (c.script == "/dev/stdin" && UnderWine()) {
            continue;  // Wine opens paths in its server, whose /dev/stdin is its own
        }
        if (c.answer == "yes" && UnderWine()) {
            continue;  // Wine makes a console only for a program with a terminal on a standard stream
        }
        const std::string what = c.script + (c.terminal ? " with a terminal" : "");
        PtyDevice device;
        device.SetHandler(StandardDevice());
        RunOptions options;
        options.controllingTerminal = c.terminal;
        if (c.script[0] != '/' || c.script == "/dev/stdin") {
            options.input = Stdin::Pipe;
            options.data = PromptScript;
        }
        RunningTorvex run({ScriptArg(c.script), PortArg(device)}, options);
        int held = -1;
        TerminalModes before = {};
        if (c.terminal) {
            held = HoldTerminal(run.TerminalFd());
            before = ModesOf(run.TerminalFd());
        }
        if (c.answer == "yes") {
            ASSERT_TRUE(run.WaitForOutput("Continue? ", 30000)) << what;
            ASSERT_TRUE(WaitForKeyMode(run.TerminalFd(), 20000)) << what;
            ASSERT_EQ(write(run.TerminalFd(), "y", 1), 1);
        }
        const RunResult result = run.Wait();
        EXPECT_EQ(result.status, 0) << what;
        EXPECT_EQ(result.out, PromptRun(c.answer)) << what;
        EXPECT_EQ(SettledWire(device), WakeUp + "ATZ\r") << what;
        if (c.terminal) {
            EXPECT_TRUE(ModesOf(run.TerminalFd()) == before) << what;
            close(held);
        }
    }
}

TEST(PromptOnTerminal, ArrowKeysAndKeysOfSeveralBytesAreOneKeyEach)
{
    // An arrow is passed over; é and € on a UTF-8 terminal answer only their own prompt.
    for (const std::string& key : {std::string("\x1b[A"), std::string("\xc3\xa9"), std::string("\xe2\x82\xac")}) {
        const bool arrow = key[0] == '\x1b';
        if (!arrow && UnderWine()) {
            continue;  // the Windows console reads keys in its own code page
        }
        PtyDevice device;
        device.SetHandler(StandardDevice());
        RunOptions options;
        options.input = Stdin::Terminal;
        const std::string script = arrow ? PromptScript : PromptLine + PromptScript;
        RunningTorvex run({ScriptArg(WriteScript(script)), PortArg(device)}, options);
        ASSERT_TRUE(run.WaitForOutput("Continue? ", 30000));
        ASSERT_TRUE(WaitForKeyMode(run.TerminalFd(), 20000));
        ASSERT_EQ(write(run.TerminalFd(), key.data(), key.size()), static_cast<ssize_t>(key.size()));
        if (!arrow) {
            ASSERT_TRUE(run.WaitForOutput("Continue? \n\r\nContinue? ", 20000)) << run.Output();
        }
        // Still waiting for a key.
        EXPECT_FALSE(run.WaitForOutput(arrow ? PromptAnswered() : "Continue? \n\r\nContinue? \n", 500));
        ASSERT_EQ(write(run.TerminalFd(), "y", 1), 1);
        const RunResult result = run.Wait();
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, arrow ? PromptRun("yes") : WakeUpGot + "\r\nContinue? \n" + PromptRun("yes").substr(WakeUpGot.size()));
    }
}

}  // namespace
