// Whole runs of the program: exit status, which lines of a script reach the
// device and how, and debug mode, seen on the console and on the wire.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/pty_device.h"
#include "support/run_program.h"
#include "support/standard_device.h"

namespace {

const std::string Ok = "Got \"OK\"\n";
const std::string CsqGot = "Got \"+CSQ: 23,99, OK\"\n";

// The debug display of one read of printable bytes, carriage returns and line feeds.
std::string ReadShown(const std::string& bytes)
{
    std::string shown;
    for (char c : bytes) {
        shown += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
    }
    const std::string n = std::to_string(bytes.size());
    return "\nnRx = " + n + "\nReceived " + n + " bytes = \"" + shown + "\"\n";
}

TEST(WholeRun, EmptyScriptOnlyWakesTheDevice)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot);
    EXPECT_EQ(SettledWire(device), WakeUp);
}

TEST(WholeRun, ScriptThatCannotBeOpenedReadOrHeldEndsWithStatus4AfterTheWakeUp)
{
    struct Case {
        std::string script;
        std::string message;  // after the script's name
        RunOptions options;
        bool linuxOnly;
        std::string tmpdir;  // TMPDIR, when set
    };
    RunOptions piped;
    piped.input = Stdin::Pipe;
    piped.data = std::string(20000, '#');
    RunOptions overFileSizeLimit = piped;
    overFileSizeLimit.fileSizeLimit = 8192;
    char tmpdir[] = "/tmp/torvex-tmpdir-XXXXXX";
    ASSERT_NE(mkdtemp(tmpdir), nullptr);
    const std::vector<Case> cases = {
        {"/nonexistent-torvex-dir/script.txt", "Error opening source file: %s\n", {}, false, ""},
        {"/tmp", "Error opening source file: %s\n", {}, false, ""},
        // Readable as a file, but every read fails.
        {"/proc/self/mem", "Error reading source file: %s: Input/output error\n", {}, true, ""},
        // A piped script is held in a temporary file: the temporary space fails,
        // not the script.
        {"/dev/stdin", "Cannot hold source file %s in a temporary file in " + std::string(tmpdir) + ": File too large\n",
         overFileSizeLimit, true, tmpdir},
        {"/dev/stdin",
         "Cannot hold source file %s in a temporary file in /nonexistent-torvex-dir: No such file or directory\n",
         piped, true, "/nonexistent-torvex-dir"},
    };
    for (const Case& c : cases) {
        if (c.linuxOnly && UnderWine()) {
            continue;
        }
        PtyDevice device;
        device.SetHandler(StandardDevice());
        const std::string script = ScriptArg(c.script);
        if (!c.tmpdir.empty()) {
            setenv("TMPDIR", c.tmpdir.c_str(), 1);
        }
        const RunResult result = RunTorvex({script, PortArg(device)}, c.options);
        unsetenv("TMPDIR");
        std::string message = c.message;
        message.replace(message.find("%s"), 2, script);
        EXPECT_EQ(result.status, 4) << script;
        EXPECT_EQ(result.out, WakeUpGot + message);
        EXPECT_EQ(SettledWire(device), WakeUp) << script;
    }
    EXPECT_EQ(rmdir(tmpdir), 0) << "the temporary file is removed";
}

TEST(WholeRun, NoScriptNamedPrintsUsageEndsWithStatus2AndOpensNothing)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunTorvex({PortArg(device), "-DEBUG"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "No script file specified.\n" + Usage);
    EXPECT_EQ(SettledWire(device), "");
}

TEST(WholeRun, HelpPrintsOnlyTheUsageEndsWithStatus0AndOpensNothing)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const std::string script = ScriptArg(WriteScript("ATZ\r\n"));
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {script, PortArg(device), "-?"},
             {script, PortArg(device), "?", "-DEBUG"},
             {PortArg(device), "-?", script},
         }) {
        const RunResult result = RunTorvex(args);
        EXPECT_EQ(result.status, 0) << args[1] << " " << args[2];
        EXPECT_EQ(result.out, Usage) << args[1] << " " << args[2];
    }
    EXPECT_EQ(SettledWire(device), "");
}

TEST(WholeRun, PortThatCannotBeOpenedEndsWithStatus3BeforeTheScriptIsOpened)
{
    const std::string name = UnderWine() ? "COM198" : "/dev/no-such-torvex-port";
    const RunResult result = RunTorvex({ScriptArg("/nonexistent-torvex-dir/script.txt"), "-PORT=" + name});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, "File not found opening " + name + ".\n");
}

TEST(WholeRun, FirstFailingCommandEndsTheRunWithStatus1)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device, "ATZ\r\nAT+FAIL\r\nAT+CSQ\r\n#print never\r\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, WakeUpGot + "ATZ\r\n" + Ok + "AT+FAIL\r\nGot \"ERROR\"\n");
    EXPECT_EQ(SettledWire(device), WakeUp + "ATZ\r" + "AT+FAIL\r");
}

TEST(WholeRun, ScriptRunToItsEndEndsWithStatus0)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device, "ATZ\r\nAT+CSQ\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "ATZ\r\n" + Ok + "AT+CSQ\r\n" + CsqGot);
    EXPECT_EQ(SettledWire(device), WakeUp + "ATZ\r" + "AT+CSQ\r");
}

TEST(WholeRun, ScriptFromAFifoRunsOnceItsWriterComes)
{
    if (UnderWine()) {
        GTEST_SKIP() << "Wine opens paths in its server, which a FIFO would hold up";
    }
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const std::string fifo = WriteScript("");
    ASSERT_EQ(unlink(fifo.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    RunningTorvex run({fifo, PortArg(device)});
    // Everything so far is on the console while the program waits for the writer.
    ASSERT_TRUE(run.WaitForOutput(WakeUpGot, 30000)) << run.Output();
    const int writer = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    const std::string script = ":again\r\nAT+CSQ\r\n#if (>20) out\r\n#goto again\r\n:out\r\nATZ\r\n";
    ASSERT_EQ(write(writer, script.data(), script.size()), static_cast<ssize_t>(script.size()));
    close(writer);
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "AT+CSQ\r\n" + CsqGot + "ATZ\r\n" + Ok);
    EXPECT_EQ(SettledWire(device), WakeUp + "AT+CSQ\r" + "ATZ\r");
}

TEST(ScriptLines, LineFeedOnlyLinesSendPlainCommandsWithNoLineEnd)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device, "ATZ\nAT+CSQ\nAT^QABC=1\n#print done\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              WakeUpGot + "ATZ\n" + Ok + "AT+CSQ\n" + CsqGot + "AT^QABC=1\n" + Ok + "\r\ndone\n");
    // A proprietary command keeps its line feed.
    EXPECT_EQ(SettledWire(device), WakeUp + "ATZ" + "AT+CSQ" + "AT^QABC=1\n");
}

TEST(ScriptLines, LongLinesAreHandledInPiecesOf399Characters)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    // 500 characters before the line end: 399, then 101 with the line end.
    const std::string first = "AT+" + std::string(396, 'X');
    const std::string rest = "AT+" + std::string(98, 'Y');
    // Exactly 399: the line end is read as a line of its own and skipped.
    const std::string exact = "AT+" + std::string(396, 'Z');
    const RunResult result = RunOnScript(device, first + rest + "\r\n" + exact + "\r\nATE\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + first + Ok + rest + "\r\n" + Ok + exact + Ok + "ATE\r\n" + Ok);
    EXPECT_EQ(SettledWire(device), WakeUp + first + rest + "\r" + exact + "ATE\r");
}

TEST(ScriptLines, LastLineWithoutLineEndGoesOutBare)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device, "ATZ\r\nAT+CSQ");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "ATZ\r\n" + Ok + "AT+CSQ" + CsqGot);
    EXPECT_EQ(SettledWire(device), WakeUp + "ATZ\r" + "AT+CSQ");
}

TEST(ScriptLines, LinesBeginningWithALineEndOrColonAreSkipped)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device, "\r\n\n:AT+CSQ\r\n\rAT+CSQ\r\nATZ\r\n\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + "ATZ\r\n" + Ok);
    EXPECT_EQ(SettledWire(device), WakeUp + "ATZ\r");
}

TEST(ScriptLines, LinesBeginningWithABlankAreModemCommands)
{
    PtyDevice device;
    device.SetHandler(StandardDevice({{" AT+CSQ", CsqReply}, {" ", OkReply}, {"\tATZ", OkReply}}));
    const RunResult result = RunOnScript(device, " AT+CSQ\r\n \r\n\tATZ\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot + " AT+CSQ\r\n" + CsqGot + " \r\n" + Ok + "\tATZ\r\n" + Ok);
    EXPECT_EQ(SettledWire(device), WakeUp + " AT+CSQ\r" + " \r" + "\tATZ\r");
}

TEST(DebugMode, SwitchedOnAndOffFromTheScript)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device,
                                         "#debug\r\n"
                                         "ATZ\r\n"
                                         "AT^QABC=1\r\n"
                                         "#nodebug\r\n"
                                         "AT+CSQ\r\n"
                                         "#DEBUG\r\n"
                                         "ATE\n"
                                         "#NoDebug\r\n"
                                         "ATZ\r\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot +
                              // A plain command: escaped before and after its line feed is removed.
                              "ATZ\r\n" + "ATZ\\r\\n\"\n" + "ATZ\\r\"\n" + ReadShown("ATZ\r" + OkReply) + Ok +
                              // A proprietary command is not shown escaped.
                              "AT^QABC=1\r\n" + ReadShown("AT^QABC=1\r\n" + OkReply) + Ok +
                              "AT+CSQ\r\n" + CsqGot +
                              "ATE\n" + "ATE\\n\"\n" + "ATE\"\n" + ReadShown("ATE" + OkReply) + Ok +
                              "ATZ\r\n" + Ok);
    EXPECT_EQ(SettledWire(device), WakeUp + "ATZ\r" + "AT^QABC=1\r\n" + "AT+CSQ\r" + "ATE" + "ATZ\r");
}

TEST(DebugMode, FromTheCommandLineAlsoShowsTheWakeUpRead)
{
    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult result = RunOnScript(device, "AT+CSQ\r\n", {"-DEBUG"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, ReadShown(WakeUp + OkReply) + WakeUpGot + "AT+CSQ\r\n" + "AT+CSQ\\r\\n\"\n" +
                              "AT+CSQ\\r\"\n" + ReadShown("AT+CSQ\r" + CsqReply) + CsqGot);
    EXPECT_EQ(SettledWire(device), WakeUp + "AT+CSQ\r");
}

}  // namespace
