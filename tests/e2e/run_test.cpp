// Whole runs of the program: exit status, which lines of a script reach the
// device and how, and debug mode, seen on the console and on the wire.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The names in a directory, . and .. left out.
std::vector<std::string> Entries(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (d != nullptr) {
        const struct dirent* e = readdir(d);
        if (e == nullptr) {
            closedir(d);
            break;
        }
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            names.push_back(e->d_name);
        }
    }
    return names;
}

// Whether a regular file in dir begins with text.
bool FileBeginningWith(const std::string& dir, const std::string& text)
{
    for (const std::string& name : Entries(dir)) {
        const std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        std::string head(text.size(), '\0');
        const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const ssize_t k = fd < 0 ? -1 : read(fd, head.data(), head.size());
        if (fd >= 0) {
            close(fd);
        }
        if (k == static_cast<ssize_t>(text.size()) && head == text) {
            return true;
        }
    }
    return false;
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
        std::string tmpdir;  // TMPDIR, when not a new directory of the case's own (%t in the message)
    };
    RunOptions piped;
    piped.input = Stdin::Pipe;
    piped.data = std::string(20000, '#');
    RunOptions overFileSizeLimit = piped;
    overFileSizeLimit.fileSizeLimit = 8192;
    // A generator that never ends is held up to 256 MiB and no further; the
    // file size limit only keeps a run that would not stop off the disk.
    const long long heldMax = 256LL << 20;
    RunOptions endless = KilledAfter(60000);
    endless.input = Stdin::Endless;
    endless.data = "#print endless " + std::to_string(getpid()) + "\r\n";
    endless.fileSizeLimit = 320L << 20;
    const std::vector<Case> cases = {
        {"/nonexistent-torvex-dir/script.txt", "Error opening source file: %s\n", {}, false, ""},
        {"/tmp", "Error opening source file: %s\n", {}, false, ""},
        // Readable as a file, but every read fails.
        {"/proc/self/mem", "Error reading source file: %s: Input/output error\n", {}, true, ""},
        // A piped script is held in a temporary file: when the temporary space
        // fails, the message says so, not that the script is at fault.
        {"/dev/stdin", "Cannot hold source file %s in a temporary file in %t: File too large\n", overFileSizeLimit,
         true, ""},
        {"/dev/stdin",
         "Cannot hold source file %s in a temporary file in %t: No such file or directory\n", piped, true,
         "/nonexistent-torvex-dir"},
        // Over the limit, the script itself is at fault.
        {"/dev/stdin", "Cannot hold source file %s: File too large\n", endless, true, ""},
    };
    for (Case c : cases) {
        if (c.linuxOnly && UnderWine()) {
            continue;
        }
        // A temporary directory of its own, so that anything left there shows.
        // Wine keeps its temporary files in its prefix.
        char tmpDir[] = "/tmp/torvex-tmpdir-XXXXXX";
        ASSERT_NE(mkdtemp(tmpDir), nullptr);
        if (!UnderWine()) {
            c.options.tmpDir = c.tmpdir.empty() ? tmpDir : c.tmpdir;
        }
        PtyDevice device;
        device.SetHandler(StandardDevice());
        const std::string script = ScriptArg(c.script);
        const RunResult result = RunTorvex({script, PortArg(device)}, c.options);
        std::string message = c.message;
        message.replace(message.find("%s"), 2, script);
        if (message.find("%t") != std::string::npos) {
            message.replace(message.find("%t"), 2, c.options.tmpDir);
        }
        EXPECT_EQ(result.status, 4) << script;
        EXPECT_EQ(result.out, WakeUpGot + message);
        EXPECT_EQ(SettledWire(device), WakeUp) << script;
        const std::vector<std::string> left = Entries(tmpDir);
        EXPECT_EQ(left, std::vector<std::string>()) << script;
        for (const std::string& name : left) {
            unlink((std::string(tmpDir) + "/" + name).c_str());
        }
        rmdir(tmpDir);
        if (c.options.input == Stdin::Endless) {
            // Reading stopped at the limit: past it by at most one read and what the pipe held.
            EXPECT_GT(result.inputSent, heldMax);
            EXPECT_LT(result.inputSent, heldMax + (1 << 20));
            // Nor was the copy left in the system's own temporary directory.
            EXPECT_FALSE(FileBeginningWith(P_tmpdir, c.options.data));
        }
    }
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
