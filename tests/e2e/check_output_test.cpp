// torvex-check's output as a process: the bytes it says each modem command
// sends, its exit statuses and messages, and the label it says is missing
// being the one the run reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/check_support.h"
#include "support/pty_device.h"
#include "support/run_program.h"
#include "support/standard_device.h"

namespace {

// The shorthand, both line-end rules, and the clock command at 12:00 UTC on
// 30 November, which is 00:00 on 1 December in New Zealand, in the time base
// in force at each line.
TEST(Check, WireShowsTheBytesEachModemCommandSends)
{
    const std::string script = "ATZ\r\n"
                               "^QVER?\r\n"
                               "^QABC: 1\r\n"
                               "AT^QABC: 1\r\n"
                               "^qrtc=\r\n"
                               "#UTC\r\n"
                               "AT^QRTC=2020\r\n"
                               "#nzst\r\n"
                               "^QRTC: 1\r\n"
                               "AT+CSQ\n";
    const std::string path = ScriptArg(WriteScript(script));
    RunResult r = Check({"--wire", "--time=2023-11-30T12:00:00", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, path + ":1: note: sends \"ATZ\\r\"\n" +
                         path + ":2: note: sends \"AT^QVER?\\r\\n\"\n" +
                         path + ":3: note: sends \"AT^QABC= 1\\r\\n\"\n" +
                         path + ":4: note: sends \"AT^QABC: 1\\r\\n\"\n" +
                         path + ":5: note: sends \"AT^QRTC=2023/12/01  0:00:00\\r\\n\"\n" +
                         path + ":7: error: the run fills in the clock command with the current time and drops "
                                "\"2020\" [clock-text]\n" +
                         path + ":7: note: sends \"AT^QRTC=2023/11/30 12:00:00\\r\\n\"\n" +
                         path + ":9: error: the run fills in the clock command with the current time and drops "
                                "\"1\" [clock-text]\n" +
                         path + ":9: note: sends \"AT^QRTC=2023/12/01  0:00:00\\r\\n\"\n" +
                         path + ":10: error: line ends in a line feed only, which the run removes from a plain "
                                "command: it sends \"AT+CSQ\" with no line end, and the device never sees the "
                                "command end [line-end]\n" +
                         path + ":10: note: sends \"AT+CSQ\"\n");

    // -UTC starts in UTC, as for torvex; the script from standard input is
    // "-". Then the time base along the paths: #UTC reached by a jump before
    // the clock command, or on one path of two.
    struct Piped {
        std::vector<std::string> args;
        std::string script;
        std::string notes;
    };
    const Piped cases[] = {
        {{"-UTC", "--time=2024-02-28T23:59:59"},
         "^QRTC=\r\n#NZST\r\n^QRTC=\r\n",
         "-:1: note: sends \"AT^QRTC=2024/02/28 23:59:59\\r\\n\"\n"
         "-:3: note: sends \"AT^QRTC=2024/02/29 11:59:59\\r\\n\"\n"},
        {{"--time=2023-11-30T12:00:00"},
         "ATZ\r\n#goto utc\r\n:back\r\n^QRTC=\r\n#prompt Again?\r\n#if (Y) back\r\n#goto end\r\n"
         ":utc\r\n#UTC\r\n#goto back\r\n:end\r\n^QRTC=\r\n",
         "-:1: note: sends \"ATZ\\r\"\n"
         "-:4: note: sends \"AT^QRTC=2023/11/30 12:00:00\\r\\n\"\n"
         "-:12: note: sends \"AT^QRTC=2023/11/30 12:00:00\\r\\n\"\n"},
        {{"--time=2023-11-30T12:00:00"},
         "#prompt UTC?\r\n#if (Y) utc\r\n:clock\r\n^QRTC=\r\n#goto end\r\n:utc\r\n#UTC\r\n#goto clock\r\n:end\r\n",
         "-:4: note: sends \"AT^QRTC=2023/11/30 12:00:00\\r\\n\" in UTC or \"AT^QRTC=2023/12/01  0:00:00\\r\\n\" in "
         "New Zealand time, as the path that reaches it sets\n"},
    };
    for (const Piped& c : cases) {
        std::vector<std::string> args = {"--wire"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("-");
        RunOptions piped;
        piped.input = Stdin::Pipe;
        piped.data = c.script;
        r = Check(args, piped);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.notes);
    }
}

TEST(Check, ExitStatusesTellCleanFoundAndTrouble)
{
    const std::string warned = ScriptArg(WriteScript("#wait -1\r\nATZ\r\n"));
    EXPECT_EQ(Check({warned}).status, 0);
    EXPECT_EQ(Check({"--strict", warned}).status, 1);

    // A script that cannot be read stops nothing else, and ends with 2 and torvex's own message.
    const std::string missing = ScriptArg("/nonexistent/script.txt");
    RunResult r = Check({missing, warned});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Error opening source file: " + missing + "\n" + warned +
                         ":1: warning: #wait of a negative time waits for nothing [number-value]\n");

#ifndef TORVEX_SANITIZED  // the sanitizers' shadow memory would not fit the limit
    if (!UnderWine()) {
        // A script larger than the memory there is ends with the reason, not a crash.
        std::string jumps;
        for (int i = 0; i < 1500000; i++) {
            jumps += "#goto nowhere\r\n";
        }
        const std::string large = ScriptArg(WriteScript(jumps));
        RunOptions limited;
        limited.memoryLimit = 24L << 20;
        r = Check({large}, limited);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "Error reading source file: " + large + ": Cannot allocate memory\n");
    }
#endif

    RunOptions errorsOnly;
    errorsOnly.closedStdout = true;  // what is seen is standard error
    r = Check({"--time=2023-13-01T00:00:00", warned}, errorsOnly);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1),
              "torvex-check: not a time (YYYY-MM-DDTHH:MM:SS): --time=2023-13-01T00:00:00\n");
    // Dates that do not exist; 2024 has a 29 February, 2100 has none.
    for (const char* time : {"2023-02-29T00:00:00", "2100-02-29T00:00:00", "2023-04-31T00:00:00"}) {
        r = Check({std::string("--time=") + time, warned}, errorsOnly);
        EXPECT_EQ(r.status, 2) << time;
        EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1),
                  std::string("torvex-check: not a time (YYYY-MM-DDTHH:MM:SS): --time=") + time + "\n");
    }
    EXPECT_EQ(Check({"--time=2024-02-29T23:59:59", warned}).status, 0);
    r = Check({}, errorsOnly);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "torvex-check: no script named\n");
}

// The checker and the run must agree: the label the checker says is missing is
// the one the run then reports, on a path the run takes.
TEST(Check, MissingLabelIsTheOneTheRunReports)
{
    const std::string script = "AT+CSQ\r\n"
                               "#if (>10) Good Signal \r\n"
                               "#print weak\r\n"
                               ":good signal\r\n";
    const std::string path = ScriptArg(WriteScript(script));
    const RunResult checked = Check({path});
    EXPECT_EQ(checked.status, 1);
    const std::string flagged = "jumps to \"Good Signal \", which no label defines";
    EXPECT_NE(checked.out.find(path + ":2: error: " + flagged), std::string::npos) << checked.out;

    PtyDevice device;
    device.SetHandler(StandardDevice());
    const RunResult run = RunOnScript(device, script);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("Label \"Good Signal \" not found.\n\r\nweak\n"), std::string::npos) << run.out;
}

}  // namespace
