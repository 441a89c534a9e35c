// torvex-rack: real torvex processes on real pseudo-terminals, some of the
// units misbehaving; the summary, the JSON, the transcripts, Ctrl-C, the live
// view and prompts, and under Wine the Windows build.
#include <gtest/gtest.h>

#include <pty.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "rack_support.h"
#include "support/pty_device.h"
#include "support/run_program.h"
#include "support/standard_device.h"

namespace {

// Line 4 is the command that fails; a unit that says ASK to ATI is asked at line 8.
const std::string RackScript =
    "#timeout 2\r\n"
    "ATI\r\n"
    "#if (ASK) ask\r\n"
    "AT+X\r\n"
    "#print done\r\n"
    "#goto end\r\n"
    ":ask\r\n"
    "#prompt Ready?\r\n"
    "#if (Y) ready\r\n"
    "#print not ready\r\n"
    "#goto end\r\n"
    ":ready\r\n"
    "#print ready\r\n"
    ":end\r\n";

// The port as the rack is given it: the pseudo-terminal, or its COM name under Wine.
std::string PortName(const PtyDevice& device)
{
    return PortArg(device).substr(6);
}

// A rack of n units, each answering as handler says; their ports as the rack is given them.
struct Units {
    std::vector<std::unique_ptr<PtyDevice>> devices;
    std::vector<std::string> ports;
    explicit Units(int n, const std::vector<Rule>& replies = {})
    {
        for (int i = 0; i < n; i++) {
            devices.push_back(std::make_unique<PtyDevice>());
            devices.back()->SetHandler(StandardDevice(replies));
            ports.push_back(PortName(*devices.back()));
        }
    }
};

// The summary row of a port: the line that begins with its name.
std::string Row(const std::string& out, const std::string& port)
{
    size_t at = 0;
    while ((at = out.find(port + " ", at)) != std::string::npos) {
        if (at == 0 || out[at - 1] == '\n') {
            const size_t end = out.find('\n', at);
            const std::string row = out.substr(at, end - at);
            if (row.find(": ") != port.size()) {  // not a tagged console line
                return row;
            }
        }
        at++;
    }
    return "";
}

// The transcript of the n-th port of a small rack whose port is /dev/pts/N: 0n-dev_pts_N.log.
std::string PtyTranscript(const std::string& dir, int n, const std::string& port)
{
    return dir + "/0" + std::to_string(n) + "-dev_pts_" + port.substr(port.rfind('/') + 1) + ".log";
}

std::string ConsoleOf(const std::string& ati, const std::string& after)
{
    return WakeUpGot + "ATI\r\nGot \"" + ati + ", OK\"\n" + after;
}

TEST(Rack, SixteenUnitsSomeMisbehaving)
{
    if (UnderWine()) {
        GTEST_SKIP() << "the Windows build has its own rack test";
    }
    std::vector<std::unique_ptr<PtyDevice>> devices;
    for (int i = 0; i < 16; i++) {
        devices.push_back(std::make_unique<PtyDevice>());
    }
    const std::string rest = "AT+X\r\nGot \"OK\"\n\r\ndone\n";
    std::vector<std::string> expected(16, ConsoleOf("Torvex unit", rest));
    std::vector<std::string> results(16, "ok");
    for (int i = 0; i < 16; i++) {
        devices[i]->SetHandler(StandardDevice({{"ATI", "\r\nTorvex unit\r\nOK\r\n"}}));
    }
    // A unit whose answer would clear the technician's screen and turn it red.
    devices[0]->SetHandler(StandardDevice({{"ATI", "\r\n\x1b[2J\x1b[31mred\r\nOK\r\n"}}));
    expected[0] = ConsoleOf("\x1b[2J\x1b[31mred", rest);
    devices[11]->SetHandler(StandardDevice({{"ATI", "\r\nTorvex unit\r\nOK\r\n"}, {"AT+X", ErrorReply}}));
    expected[11] = ConsoleOf("Torvex unit", "AT+X\r\nGot \"ERROR\"\n");
    results[11] = "ERROR answered to AT+X at line 4";
    devices[12]->SetHandler(StandardDevice({{"ATI", "\r\nTorvex unit\r\nOK\r\n"}, {"AT+X", ""}}));
    expected[12] = ConsoleOf("Torvex unit", "AT+X\r\nTimed out waiting for \"OK\"\n");
    results[12] = "no answer to AT+X at line 4";
    devices[14]->SetHandler(StandardDevice({{"ATI", "\r\nTorvex unit\r\nOK\r\n"}, {"AT+X", "", 0, -1, true}}));
    expected[14] = ConsoleOf("Torvex unit", "AT+X\r\nReadFile error 5\n");
    results[14] = "port failed during AT+X at line 4: ReadFile error 5";
    // No terminal: the prompt reads the end of input, so the unit is not "ready".
    devices[15]->SetHandler(StandardDevice({{"ATI", "\r\nASK\r\nOK\r\n"}}));
    expected[15] = ConsoleOf("ASK", "\r\nReady?\n\r\nnot ready\n");
    results[15] = "ok; the prompt at line 8 had no keyboard";

    const std::string dir = TempFolder();
    std::vector<std::string> ports;
    for (int i = 0; i < 16; i++) {
        ports.push_back(PortName(*devices[i]));
    }
    ports[13] = dir + "/no-such-port";
    expected[13] = "File not found opening " + ports[13] + ".\n";
    results[13] = "port could not be opened: File not found opening " + ports[13] + ".";

    RunOptions options;
    options.command = {RackExe(), WriteScript(RackScript)};
    options.command.insert(options.command.end(), ports.begin(), ports.end());
    const RunResult r = RunTorvex({"--log-dir", dir + "/logs", "--json", dir + "/rack.json"}, options);
    EXPECT_EQ(r.status, 1) << r.out;

    Json json;
    ASSERT_TRUE(ParseJson(ReadFile(dir + "/rack.json"), &json)) << ReadFile(dir + "/rack.json");
    ASSERT_EQ(json["ports"].items.size(), 16u);
    EXPECT_EQ(json["totals"]["ports"].number, 16);
    EXPECT_EQ(json["totals"]["ok"].number, 12);
    EXPECT_EQ(json["totals"]["failed"].number, 4);
    EXPECT_EQ(json["totals"]["interrupted"].number, 0);
    for (size_t i = 0; i < 16; i++) {
        SCOPED_TRACE("port " + std::to_string(i) + " " + ports[i]);
        const Json& port = json["ports"].items[i];
        EXPECT_EQ(port["port"].text, ports[i]);
        EXPECT_EQ(port["result"].text, results[i]);
        EXPECT_EQ(port["outcome"].text, results[i].compare(0, 2, "ok") == 0 ? "ok" : "failed");
        const int status = i == 13 ? 3 : results[i].compare(0, 2, "ok") == 0 ? 0 : 1;
        EXPECT_EQ(port["exit_status"].number, status);
        EXPECT_GT(port["seconds"].number, i == 13 ? 0.0 : 3.0);

        const std::string path = port["transcript"].text;
        EXPECT_EQ(path.compare(0, dir.size() + 6, dir + "/logs/"), 0) << path;
        const std::string row = Row(r.out, ports[i]);
        EXPECT_NE(row.find("  " + results[i] + "  "), std::string::npos) << row;
        EXPECT_EQ(row.substr(row.size() - path.size()), path) << row;

        const Transcript t = ReadTranscript(path);
        EXPECT_TRUE(t.WellFormed);
        EXPECT_TRUE(t.InOrder);
        EXPECT_EQ(t.Console, expected[i]);
        ASSERT_GE(t.Notes.size(), 4u);
        EXPECT_EQ(t.Notes[0], "start of the run on " + ports[i]);
        EXPECT_EQ(t.Notes[1].find("command line: "), 0u) << t.Notes[1];
        EXPECT_NE(t.Notes[1].find(" -PORT=" + ports[i]), std::string::npos) << t.Notes[1];
        EXPECT_EQ(t.Notes[t.Notes.size() - 2], "end: exit status " + std::to_string(status));
        EXPECT_EQ(t.Notes.back(), "result: " + results[i]);
    }
    EXPECT_NE(r.out.find("16 ports: 12 ok, 4 failed; transcripts in " + dir + "/logs\n"), std::string::npos)
        << r.out;
    // Tagged whole lines, the device's escape sequence shown escaped.
    EXPECT_NE(r.out.find("Z " + ports[0] + ": Got \"\\x1B[2J\\x1B[31mred, OK\"\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
}

TEST(Rack, CtrlCEndsEveryRunPrintsTheSummaryAndDiesBySigint)
{
    if (UnderWine()) {
        GTEST_SKIP() << "Windows has no signals to die by";
    }
    Units units(3);
    auto& devices = units.devices;
    const std::vector<std::string>& ports = units.ports;
    const std::string dir = TempFolder();
    RunOptions options;
    options.command = {RackExe(), "--jobs", "2", "--log-dir", dir, WriteScript("ATI\r\n#wait 60\r\nATI\r\n"),
                       "--ports-from", "-"};
    options.input = Stdin::Pipe;
    options.data = ports[0] + "\n  " + ports[1] + "\r\n\n" + ports[2] + "\n";
    RunningTorvex rack({}, options);
    ASSERT_TRUE(rack.WaitForOutput(ports[0] + ": Got \"OK\"\n", 20000)) << rack.Output();
    ASSERT_TRUE(rack.WaitForOutput(ports[1] + ": Got \"OK\"\n", 20000)) << rack.Output();
    rack.SignalGroup(SIGINT);
    const RunResult r = rack.Wait();
    EXPECT_EQ(r.signal, SIGINT) << r.out;
    for (int i = 0; i < 2; i++) {
        EXPECT_TRUE(WaitPortReleased(*devices[i], 1000));
        EXPECT_NE(Row(r.out, ports[i]).find("  interrupted  "), std::string::npos) << r.out;
    }
    EXPECT_NE(Row(r.out, ports[2]).find("  interrupted before it started  "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("3 ports: 0 ok, 0 failed, 3 interrupted; "), std::string::npos) << r.out;
    EXPECT_EQ(ReadTranscript(PtyTranscript(dir, 1, ports[0])).Notes.back(), "result: interrupted");
}

TEST(Rack, KilledOutrightItLeavesNoRunBehind)
{
    if (UnderWine()) {
        GTEST_SKIP() << "the Windows build has its own rack test";
    }
    Units units(2);
    auto& devices = units.devices;
    const std::vector<std::string>& ports = units.ports;
    RunOptions options;
    // A script that never ends.
    options.command = {RackExe(), "--log-dir", TempFolder() + "/logs", WriteScript(":again\r\nATI\r\n#goto again\r\n")};
    options.command.insert(options.command.end(), ports.begin(), ports.end());
    RunningTorvex rack({}, options);
    for (const std::string& port : ports) {
        ASSERT_TRUE(rack.WaitForOutput(port + ": Got \"OK\"\n", 20000)) << rack.Output();
    }
    const std::vector<int> runs = ChildrenOf(rack.Pid());
    ASSERT_EQ(runs.size(), 2u);
    rack.Signal(SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    EXPECT_EQ(rack.Wait().signal, SIGKILL);
    for (int run : runs) {
        while (ProcessState(run) != 0 && ProcessState(run) != 'Z' &&
               std::chrono::steady_clock::now() - killed < std::chrono::seconds(5)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(ProcessState(run) == 0 || ProcessState(run) == 'Z') << run;
    }
    for (size_t i = 0; i < devices.size(); i++) {
        EXPECT_TRUE(WaitPortReleased(*devices[i], 1000)) << ports[i];
    }
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(5));
    // The port is free for the next run at once.
    RunOptions again;
    again.timeoutMs = 20000;
    EXPECT_EQ(RunTorvex({WriteScript("ATI\r\n"), PortArg(*devices[0])}, again).status, 0);
}

// More ports than descriptors: they wait their turn, and each is reported.
// Their names, UTF-8 or not, come back from the JSON as they were given.
// The script of a nightly job: a unit that says LOOP to ATI loops for ever.
const std::string NightlyScript =
    "#timeout 2\r\n"
    "ATI\r\n"
    "#if (LOOP) loop\r\n"
    "AT+X\r\n"
    "#print done\r\n"
    "#goto end\r\n"
    ":loop\r\n"
    "AT\r\n"
    "#goto loop\r\n"
    ":end\r\n";

// What the JUnit output shows of a transcript: what XML cannot carry escaped as the console shows it.
std::string AsJunitShowsIt(const std::string& text)
{
    std::string shown;
    for (char c : text) {
        shown += c == '\x01' ? "\\x01" : c == '\x1b' ? "\\x1B" : c == '\xff' ? "\\xFF" : std::string(1, c);
    }
    return shown;
}

// Plain progress lines, each after its time.
void ExpectTimedLines(const std::string& out)
{
    static const std::regex timed(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z .+: .*$)");
    size_t at = 0;
    for (size_t end; (end = out.find('\n', at)) != std::string::npos && out.compare(at, 5, "PORT ") != 0;
         at = end + 1) {
        EXPECT_TRUE(std::regex_match(out.substr(at, end - at), timed)) << out.substr(at, end - at);
    }
    EXPECT_GT(at, 0u) << out;
}

TEST(Rack, NightlyJobWithTimeLimitsRetriesLabelsAndJUnit)
{
    if (UnderWine()) {
        GTEST_SKIP() << "the Windows build has its own rack test";
    }
    Units units(4);
    auto& devices = units.devices;
    devices[0]->SetHandler(StandardDevice({{"ATI", "\r\nLOOP\r\nOK\r\n"}, {"AT", "\r\nOK\r\n"}}));
    // Bytes XML 1.0 cannot carry, one that is not UTF-8, and one that is.
    devices[1]->SetHandler(
        StandardDevice({{"ATI", "\r\n\x01\x1b[31m \xff caf\xc3\xa9\r\nOK\r\n"}, {"AT+X", ErrorReply}}));
    const std::string dir = TempFolder();
    const std::string missing = dir + "/no-such-port";
    const std::string late = dir + "/late port";
    const std::string list = dir + "/ports.txt";
    std::ofstream(list) << "# nightly rack, bay by bay\n"
                        << units.ports[0] << " label=bay 1 <loop>\n"
                        << "  " << units.ports[1] << " -BAUD=9600 label=bay-2\r\n"
                        << "\n"
                        << missing << "\n"
                        << "\"" << late << "\" -baud=115200 label=bay-4 & late\n";
    const std::vector<std::string> ports = {units.ports[0], units.ports[1], missing, late};
    const std::vector<std::string> names = {"bay 1 <loop>", "bay-2", missing, "bay-4 & late"};
    // The fourth unit's hub enumerates 4 s late.
    std::thread plugged([&] {
        std::this_thread::sleep_for(std::chrono::seconds(4));
        symlink(units.ports[3].c_str(), late.c_str());
    });
    const std::string script = WriteScript(NightlyScript);
    RunOptions options;
    options.command = {RackExe(),          script,         "--ports-from", list,          "--unit-timeout", "8",
                       "--retries",        "2",            "--log-dir",    dir + "/logs", "--json",         dir + "/rack.json",
                       "--junit",          dir + "/rack.xml"};
    RunningTorvex rack({}, options);
    ASSERT_TRUE(rack.WaitForOutput("bay 1 <loop> (" + ports[0] + "): AT\n", 20000)) << rack.Output();
    const std::vector<int> runs = ChildrenOf(rack.Pid());
    const RunResult r = rack.Wait();
    plugged.join();
    EXPECT_EQ(r.status, 1) << r.out;
    // Nothing runs past its limit: the looping run ended, its port free.
    for (int run : runs) {
        EXPECT_TRUE(ProcessState(run) == 0 || ProcessState(run) == 'Z') << run;
    }
    EXPECT_TRUE(WaitPortReleased(*devices[0], 1000));
    ExpectTimedLines(r.out);

    const std::string loopResult = Row(r.out, names[0] + " (" + ports[0] + ")");
    const std::string timedOut = loopResult.find("timed out after 8 s at line 8: AT  ") != std::string::npos
                                     ? "timed out after 8 s at line 8: AT"
                                     : "timed out after 8 s at line 9: #goto loop";
    const std::vector<std::string> results = {
        timedOut, "ERROR answered to AT+X at line 4",
        "port could not be opened: File not found opening " + missing + ".; 3 attempts", "ok on attempt 2"};
    const std::vector<double> attempts = {1, 1, 3, 2};
    const std::vector<std::string> outcomes = {"failed", "failed", "failed", "ok"};
    Json json;
    ASSERT_TRUE(ParseJson(ReadFile(dir + "/rack.json"), &json)) << ReadFile(dir + "/rack.json");
    ASSERT_EQ(json["ports"].items.size(), 4u);
    EXPECT_EQ(json["totals"]["ok"].number, 1);
    EXPECT_EQ(json["totals"]["failed"].number, 3);
    std::vector<std::string> transcripts;
    for (size_t i = 0; i < 4; i++) {
        SCOPED_TRACE(names[i]);
        const Json& port = json["ports"].items[i];
        EXPECT_EQ(port["port"].text, ports[i]);
        EXPECT_EQ(port["label"].kind, i == 2 ? Json::Null : Json::String);
        EXPECT_EQ(port["label"].text, i == 2 ? "" : names[i]);
        EXPECT_EQ(port["result"].text, results[i]);
        EXPECT_EQ(port["outcome"].text, outcomes[i]);
        EXPECT_EQ(port["attempts"].number, attempts[i]);
        const std::string unit = i == 2 ? missing : names[i] + " (" + ports[i] + ")";
        EXPECT_NE(Row(r.out, unit).find("  " + results[i] + "  "), std::string::npos) << r.out;
        const std::string path = port["transcript"].text;
        transcripts.push_back(ReadFile(path));
        const Transcript t = ReadTranscript(path);
        EXPECT_TRUE(t.WellFormed && t.InOrder);
        EXPECT_EQ(t.Notes.back(), "result: " + results[i]);
        const auto lines = std::count_if(t.Notes.begin(), t.Notes.end(),
                                         [](const std::string& n) { return n.find("command line: ") == 0; });
        EXPECT_EQ(lines, attempts[i]) << "each attempt kept, the ERROR unit run once";
        if (i != 2) {
            EXPECT_NE(t.Notes[1].find(i == 1 ? " -BAUD=9600" : i == 3 ? " -BAUD=115200" : " -PORT="), std::string::npos)
                << t.Notes[1];
        }
    }
    EXPECT_NE(json["ports"].items[0]["transcript"].text.find("/01-bay_1_loop.log"), std::string::npos);
    EXPECT_NE(json["ports"].items[3]["transcript"].text.find("/04-bay-4_late.log"), std::string::npos);
    const std::vector<std::string> loopNotes = ReadTranscript(json["ports"].items[0]["transcript"].text).Notes;
    EXPECT_NE(std::find(loopNotes.begin(), loopNotes.end(), "unit time limit: ended after 8 s"), loopNotes.end());
    EXPECT_NE(loopNotes[loopNotes.size() - 2].find("; the port is released"), std::string::npos);
    const std::vector<std::string> lateNotes = ReadTranscript(json["ports"].items[3]["transcript"].text).Notes;
    EXPECT_EQ(lateNotes[3], "attempt 1: port could not be opened: File not found opening " + late +
                                ".; trying again in 5 s");
    EXPECT_EQ(lateNotes[4], "attempt 2 of 3 on " + late);

    // The JUnit XML: the schema's rules, then what a parser reads back.
    const std::string xml = dir + "/rack.xml";
    EXPECT_EQ(JunitFaults(xml), "") << ReadFile(xml);
    Json suite;
    ASSERT_TRUE(ReadJunit(xml, &suite)) << ReadFile(xml);
    EXPECT_EQ(suite["tag"].text, "testsuite");
    EXPECT_EQ(suite["attrib"]["tests"].text, "4");
    EXPECT_EQ(suite["attrib"]["failures"].text, "2");
    EXPECT_EQ(suite["attrib"]["errors"].text, "1");
    EXPECT_EQ(suite["attrib"]["skipped"].text, "0");
    EXPECT_GT(std::stod(suite["attrib"]["time"].text), 9.0);
    ASSERT_EQ(suite["children"].items.size(), 4u);
    const std::string classname = script.substr(script.rfind('/') + 1, script.find('.', script.rfind('/') + 2) -
                                                                            script.rfind('/') - 1);
    const std::vector<std::string> kinds = {"failure", "failure", "error", ""};
    for (size_t i = 0; i < 4; i++) {
        SCOPED_TRACE(names[i]);
        const Json& test = suite["children"].items[i];
        EXPECT_EQ(test["attrib"]["name"].text, names[i]);
        EXPECT_EQ(test["attrib"]["classname"].text, classname);
        EXPECT_NEAR(std::stod(test["attrib"]["time"].text), json["ports"].items[i]["seconds"].number, 0.01);
        const std::vector<Json>& children = test["children"].items;
        ASSERT_EQ(children.size(), kinds[i].empty() ? 1u : 2u);
        if (!kinds[i].empty()) {
            EXPECT_EQ(children[0]["tag"].text, kinds[i]);
            EXPECT_EQ(children[0]["attrib"]["message"].text, results[i]);
        }
        EXPECT_EQ(children.back()["tag"].text, "system-out");
        EXPECT_EQ(children.back()["text"].text, AsJunitShowsIt(transcripts[i]));
    }
    EXPECT_NE(transcripts[1].find("\x01\x1b[31m \xff caf\xc3\xa9"), std::string::npos) << "the bytes as they came";

    // The whole rack's limit: the run going is ended, the one waiting never started.
    RunOptions limited;
    limited.command = {RackExe(), script, "--timeout", "6", "--jobs", "1", "--log-dir", dir + "/limited",
                       "--junit", dir + "/limited.xml", units.ports[0], units.ports[1]};
    const RunResult l = RunTorvex({}, limited);
    EXPECT_EQ(l.status, 1) << l.out;
    EXPECT_NE(Row(l.out, units.ports[0]).find("  timed out after 6 s at line "), std::string::npos) << l.out;
    EXPECT_NE(Row(l.out, units.ports[1]).find("  not started: rack time limit  "), std::string::npos) << l.out;
    EXPECT_NE(l.out.find("2 ports: 0 ok, 1 failed, 1 interrupted; "), std::string::npos) << l.out;
    EXPECT_TRUE(WaitPortReleased(*devices[0], 1000));
    EXPECT_EQ(JunitFaults(dir + "/limited.xml"), "") << ReadFile(dir + "/limited.xml");
    Json cut;
    ASSERT_TRUE(ReadJunit(dir + "/limited.xml", &cut));
    EXPECT_EQ(cut["attrib"]["failures"].text, "1");
    EXPECT_EQ(cut["attrib"]["skipped"].text, "1");
    ASSERT_EQ(cut["children"].items.size(), 2u);
    EXPECT_EQ(cut["children"].items[1]["children"].items[0]["tag"].text, "skipped");
    EXPECT_EQ(cut["children"].items[1]["children"].items[0]["attrib"]["message"].text,
              "not started: rack time limit");
}

TEST(Rack, ThreeHundredMissingPortsUnderALimitOf256Files)
{
    if (UnderWine()) {
        GTEST_SKIP() << "descriptor limits are the POSIX build's";
    }
    const std::string dir = TempFolder();
    std::vector<std::string> ports = {dir + "/unit \xC3\xA9 1", dir + "/unit \xFF 2"};
    for (int i = 3; i <= 300; i++) {
        ports.push_back(dir + "/unit " + std::to_string(i));
    }
    RunOptions options;
    options.command = {"sh", "-c", "ulimit -n 256 && exec \"$@\"", "sh", RackExe(), "--log-dir", dir + "/logs",
                       "--json", dir + "/rack.json", WriteScript("ATI\r\n")};
    options.command.insert(options.command.end(), ports.begin(), ports.end());
    const RunResult r = RunTorvex({}, options);
    EXPECT_EQ(r.status, 1) << r.out.substr(0, 2000);
    EXPECT_NE(r.out.find("\n300 ports: 0 ok, 300 failed; transcripts in " + dir + "/logs\n"), std::string::npos)
        << r.out.substr(r.out.size() > 2000 ? r.out.size() - 2000 : 0);
    Json json;
    ASSERT_TRUE(ParseJson(ReadFile(dir + "/rack.json"), &json));
    ASSERT_EQ(json["ports"].items.size(), 300u);
    for (size_t i = 2; i < 300; i++) {
        EXPECT_EQ(json["ports"].items[i]["result"].text,
                  "port could not be opened: File not found opening " + ports[i] + ".");
        EXPECT_EQ(json["ports"].items[i]["exit_status"].number, 3);
    }
    EXPECT_EQ(json["ports"].items[0]["result"].text,
              "port could not be opened: File not found opening " + dir + "/unit \\xC3\\xA9 1.");
    // A strict reader: UTF-8 only, and the names themselves, the byte that is
    // not UTF-8 as the console shows it.
    RunOptions python;
    python.command = {"python3", "-c",
                      "import json, sys\n"
                      "with open(sys.argv[1], encoding='utf-8', errors='strict') as f: rack = json.load(f)\n"
                      "sys.stdout.buffer.write('|'.join(p['port'] for p in rack['ports'][:3]).encode())\n",
                      dir + "/rack.json"};
    EXPECT_EQ(RunTorvex({}, python).out, dir + "/unit \xC3\xA9 1|" + dir + "/unit \\xFF 2|" + dir + "/unit 3");
}

TEST(Rack, WrongUsageStartsNoRunAndMakesNoFolder)
{
    if (UnderWine()) {
        GTEST_SKIP() << "the command line is the same code on both systems";
    }
    const std::string dir = TempFolder();
    const std::string other = TempFolder();
    const std::string script = WriteScript("ATI\r\n");
    ASSERT_EQ(symlink("/dev/null", (other + "/null").c_str()), 0);
    // A log folder of an earlier rack, and a rack with no torvex beside it.
    ASSERT_EQ(system(("mkdir '" + other + "/old' && echo first > '" + other + "/old/01-COM1.log' && mkdir '" +
                      other + "/alone' && cp '" + RackExe() + "' '" + other + "/alone/'")
                         .c_str()),
              0);
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{script}, "torvex-rack: no ports named\n"},
        {{script, "COM1", "--jobs", "0"}, "torvex-rack: --jobs needs a number from 1 to 100000\n"},
        {{script, "COM1", "--jobs", "100001"}, "torvex-rack: --jobs needs a number from 1 to 100000\n"},
        {{script, "COM1", "--log-dir"}, "torvex-rack: option --log-dir needs a value\n"},
        {{script, "-PORT=COM1"}, "torvex-rack: ports are named as arguments after the script, not with -PORT=\n"},
        {{dir + "/missing.txt", "COM1"},
         "torvex-rack: cannot read the script " + dir + "/missing.txt: No such file or directory\n"},
        {{dir, "COM1"}, "torvex-rack: cannot read the script " + dir + ": Is a directory\n"},
        {{script, "/dev/null", "COM1", "/dev/null"}, "torvex-rack: the port /dev/null is named twice\n"},
        {{script, "/dev/null", other + "/null"}, "torvex-rack: /dev/null and " + other + "/null are the same port\n"},
        {{script, "rfc2217://127.0.0.1:7010", "socket://127.0.0.1:7011", "RFC2217://LocalHost:07010"},
         "torvex-rack: rfc2217://127.0.0.1:7010 and RFC2217://LocalHost:07010 are the same port\n"},
        {{script, "COM1", "--json", other + "/no/rack.json"},
         "torvex-rack: cannot write " + other + "/no/rack.json: No such file or directory\n"},
        {{script, "COM1", "--json", other + "/rack.json", "--log-dir", "/dev/null/logs"},
         "torvex-rack: cannot make the folder /dev/null/logs: Not a directory\n"},
        {{script, "COM1", "--log-dir", other + "/old"},
         "torvex-rack: the folder " + other + "/old already holds a rack's transcripts; name a new one\n"},
        {{script, "COM1", "--unit-timeout", "0"}, "torvex-rack: --unit-timeout needs a number of seconds from 1 to 86400\n"},
        {{script, "COM1", "--retries", "101"}, "torvex-rack: --retries needs a number from 0 to 100\n"},
        {{script, "--match", "vendor=0403"},
         "torvex-rack: --match needs serial=S, usb=VVVV:PPPP or by-id=TEXT, not vendor=0403\n"},
        {{script, "--match", "usb=0403-6001"},
         "torvex-rack: --match needs serial=S, usb=VVVV:PPPP or by-id=TEXT, not usb=0403-6001\n"},
        {{script, "COM1", "--junit", other + "/no/rack.xml"},
         "torvex-rack: cannot write " + other + "/no/rack.xml: No such file or directory\n"},
    };
    // A port list: comments, blanks, a quoted name, speeds and labels, then a
    // line that cannot be read for certain, refused with its number.
    const std::string good = "# bay list\n\n  COM1 -BAUD=9600 label=bay 1\n\"COM 2\" label=bay \"2\"\nCOM3\n";
    const std::vector<std::pair<std::string, std::string>> lists = {
        {"COM4 -BAUD=fast\n", "6: -BAUD= needs a speed in bits per second, such as -BAUD=115200"},
        {"COM4 -BAUD=0 label=x\n", "6: -BAUD= needs a speed in bits per second, such as -BAUD=115200"},
        {"COM4 -BAUD=9600 -BAUD=9600\n", "6: -BAUD= is given twice"},
        {"\"COM 4 label=x\n", "6: the quoted port name has no closing quote"},
        {"\"COM 4\"label=x\n", "6: a blank is needed after the quoted port name"},
        {"COM4 speed=9600\n", "6: unknown word after the port name: speed=9600"},
        {"COM4 label=\n", "6: label= needs a text"},
        {"\"\" -BAUD=9600\n", "6: the port name is empty"},
        {"-BAUD=9600 COM4\n", "6: unknown word after the port name: COM4"},
    };
    for (size_t i = 0; i < lists.size(); i++) {
        const std::string list = other + "/ports" + std::to_string(i) + ".txt";
        std::ofstream(list) << good << lists[i].first << "COM5\n";
        cases.push_back({{script, "--ports-from", list}, "torvex-rack: " + list + ":" + lists[i].second + "\n"});
    }
    // The same device under another name, where this user may make one.
    if (mknod((other + "/null2").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        cases.push_back({{script, other + "/null2", "/dev/null"},
                         "torvex-rack: " + other + "/null2 and /dev/null are the same port\n"});
    }
    cases.push_back({{script, "COM1"}, "torvex-rack: cannot start torvex beside the rack, " + other +
                                           "/alone/torvex: No such file or directory\n"});
    for (size_t i = 0; i < cases.size(); i++) {
        const auto& c = cases[i];
        RunOptions options;
        // The messages are on standard error: seen here through standard output.
        options.command = {"sh", "-c", "cd \"$0\" && exec \"$@\" 2>&1", dir,
                           i + 1 == cases.size() ? other + "/alone/torvex-rack" : RackExe()};
        options.command.insert(options.command.end(), c.first.begin(), c.first.end());
        const auto start = std::chrono::steady_clock::now();
        const RunResult r = RunTorvex({}, options);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.second;
        EXPECT_EQ(r.status, 2) << c.second;
        EXPECT_EQ(r.out.substr(0, c.second.size()), c.second) << r.out;
    }
    EXPECT_EQ(system(("test -z \"$(ls -A '" + dir + "')\"").c_str()), 0) << "no log folder was made";
    EXPECT_NE(access((other + "/rack.json").c_str(), F_OK), 0) << "no JSON was left behind";
    EXPECT_EQ(ReadFile(other + "/old/01-COM1.log"), "first\n");
    EXPECT_EQ(system(("test \"$(ls -A '" + other + "/old')\" = 01-COM1.log").c_str()), 0);
    EXPECT_EQ(system(("test \"$(ls -A '" + other + "/alone')\" = torvex-rack").c_str()), 0);
}

// The rack on a terminal of its own, 200 columns wide.
struct TerminalRack {
    pid_t pid = -1;
    int master = -1;
    int slave = -1;
    struct termios initial = {};  // the terminal's settings before the rack starts
    std::string out;

    // noColor: NO_COLOR as the rack finds it, or unset.
    explicit TerminalRack(const std::vector<std::string>& args, const char* noColor = nullptr)
    {
        struct winsize size = {};
        size.ws_col = 200;
        size.ws_row = 30;
        if (openpty(&master, &slave, nullptr, nullptr, &size) != 0 || tcgetattr(slave, &initial) != 0) {
            throw std::runtime_error("openpty failed");
        }
        pid = fork();
        if (pid == 0) {
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            dup2(slave, 0);
            dup2(slave, 1);
            dup2(slave, 2);
            if (noColor != nullptr) {
                setenv("NO_COLOR", noColor, 1);
            } else {
                unsetenv("NO_COLOR");
            }
            std::vector<char*> argv;
            std::vector<std::string> copy = args;
            for (std::string& a : copy) {
                argv.push_back(&a[0]);
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~TerminalRack()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(master);
        close(slave);
    }
    // Reads until text has come (after from); false after ms or at the end of the output.
    bool WaitFor(const std::string& text, int ms, size_t from = 0)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out.find(text, from) == std::string::npos) {
            struct pollfd p = {master, POLLIN, 0};
            if (std::chrono::steady_clock::now() >= end || poll(&p, 1, 50) < 0) {
                return false;
            }
            char buf[4096];
            const ssize_t k = (p.revents & POLLIN) != 0 ? read(master, buf, sizeof buf) : 0;
            if (k < 0) {
                return false;
            }
            out.append(buf, static_cast<size_t>(k));
        }
        return true;
    }
    // Waits until the rack has stopped (Ctrl-Z); false after ms.
    bool WaitStopped(int ms)
    {
        for (int waited = 0; waited < ms; waited += 20) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG | WUNTRACED) == pid) {
                return WIFSTOPPED(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // Waits until the terminal is (or is no longer) in the rack's key mode.
    bool WaitKeyMode(bool on, int ms)
    {
        for (int waited = 0; waited < ms; waited += 20) {
            struct termios now;
            if (tcgetattr(slave, &now) == 0 && ((now.c_lflag & (ICANON | ECHO)) == 0) == on) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    int Wait()
    {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        WaitFor("\x01", 500);  // what is left
        return status;
    }
};

// The port whose prompt the last frame asks, on the line before "asks: ".
std::string AskedPort(const std::string& out, size_t from)
{
    const size_t at = out.find(" asks: Ready?  (press a key)", from);
    if (at == std::string::npos) {
        return "";
    }
    const size_t start = out.rfind('\n', at) + 1;
    return out.substr(start, at - start);
}

TEST(Rack, LiveViewOnATerminalWithPromptsForTwoUnitsOfFour)
{
    if (UnderWine()) {
        GTEST_SKIP() << "the Windows build has its own rack test";
    }
    Units units(3, {{"ATI", "\r\nASK\r\nOK\r\n"}});
    auto& devices = units.devices;
    const std::vector<std::string>& ports = units.ports;
    devices[0]->SetHandler(StandardDevice({{"ATI", "\r\n\x1b[31mred\r\nOK\r\n"}, {"AT+X", "\r\nOK\r\n", 1500}}));
    const std::string dir = TempFolder();
    std::vector<std::string> args = {RackExe(), WriteScript(RackScript), "--log-dir", dir + "/logs", "--json",
                                     dir + "/rack.json"};
    args.insert(args.end(), ports.begin(), ports.end());
    // A port whose result, whole, would not fit on the terminal.
    const std::string missing = dir + "/no-such-port";
    args.push_back(missing);
    TerminalRack rack(args);
    // The same terminal with NO_COLOR set: no colour, though the unit failed.
    TerminalRack plain({RackExe(), WriteScript(RackScript), "--log-dir", dir + "/plain", missing}, "1");

    ASSERT_TRUE(rack.WaitFor(" asks: Ready?  (press a key)", 20000)) << rack.out;
    const std::string first = AskedPort(rack.out, 0);
    ASSERT_TRUE(first == ports[1] || first == ports[2]) << rack.out;
    const std::string second = first == ports[1] ? ports[2] : ports[1];
    const int firstN = first == ports[1] ? 2 : 3;
    const int secondN = 5 - firstN;
    // Both runs wait for a key; only one prompt is on the screen.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(rack.out.find(second + " asks: "), std::string::npos) << rack.out;
    // While the rack waits for the key, keys go nowhere else: no echo, no line editing.
    struct termios during;
    ASSERT_EQ(tcgetattr(rack.slave, &during), 0);
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
    // No run holds a transcript, the JSON or another run's pipe: only its
    // standard three, the progress channel, the port and the script.
    const std::vector<int> children = ChildrenOf(rack.pid);
    EXPECT_EQ(children.size(), 3u);  // the missing port's run has ended
    for (int child : children) {
        const std::vector<std::string> files = OpenFiles(child);
        for (const std::string& file : files) {
            EXPECT_EQ(file.find(dir), std::string::npos) << child << " holds " << file;
        }
        EXPECT_EQ(files.size(), 6u) << child;
    }

    // Typed ahead: the second y answers no prompt, since the second was not yet shown.
    size_t mark = rack.out.size();
    ASSERT_EQ(write(rack.master, "yy", 2), 2);
    ASSERT_TRUE(rack.WaitFor(second + " asks: Ready?  (press a key)", 10000, mark)) << rack.out.substr(mark);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const Transcript asked = ReadTranscript(PtyTranscript(dir + "/logs", secondN, second));
    EXPECT_EQ(asked.Console.find("ready\n"), std::string::npos) << asked.Console;
    EXPECT_NE(ReadTranscript(PtyTranscript(dir + "/logs", firstN, first)).Console.find("\r\nready\n"),
              std::string::npos);

    // Ctrl-Z: the terminal as it was and the cursor shown while stopped, the runs stopped too.
    mark = rack.out.size();
    ASSERT_EQ(write(rack.master, "\x1a", 1), 1);
    ASSERT_TRUE(rack.WaitStopped(5000)) << rack.out.substr(mark);
    EXPECT_TRUE(rack.WaitFor("\x1b[?25h", 2000, mark)) << rack.out.substr(mark);
    struct termios stopped;
    ASSERT_EQ(tcgetattr(rack.slave, &stopped), 0);
    EXPECT_EQ(stopped.c_lflag, rack.initial.c_lflag);
    for (int child : ChildrenOf(rack.pid)) {
        EXPECT_EQ(ProcessState(child), 'T') << child;
    }
    // A key typed while stopped was typed for no prompt on the screen.
    ASSERT_EQ(write(rack.master, "y", 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    mark = rack.out.size();
    ASSERT_EQ(kill(rack.pid, SIGCONT), 0);
    ASSERT_TRUE(rack.WaitKeyMode(true, 5000));
    ASSERT_TRUE(rack.WaitFor(second + " asks: Ready?  (press a key)", 5000, mark)) << rack.out.substr(mark);
    EXPECT_TRUE(rack.WaitFor("\x1b[?25l", 2000, mark));
    for (int child : ChildrenOf(rack.pid)) {
        EXPECT_NE(ProcessState(child), 'T') << child;
    }
    ASSERT_EQ(write(rack.master, "n", 1), 1);
    const int status = rack.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << rack.out;
    EXPECT_EQ(WEXITSTATUS(status), 1) << rack.out;
    EXPECT_NE(ReadTranscript(PtyTranscript(dir + "/logs", secondN, second)).Console.find("\r\nnot ready\n"),
              std::string::npos);

    struct termios after;
    ASSERT_EQ(tcgetattr(rack.slave, &after), 0);
    EXPECT_EQ(after.c_lflag, rack.initial.c_lflag);
    const std::string& out = rack.out;
    EXPECT_EQ(out.find("\x1b[?25l"), 0u) << "the cursor is hidden first";
    const size_t shown = out.rfind("\x1b[?25h");
    ASSERT_NE(shown, std::string::npos) << "and shown again at the end";
    // The answer is in the row, escaped; the raw sequence never reaches the terminal.
    EXPECT_NE(out.find("< Got \"\\x1B[31mred, OK\""), std::string::npos) << out;
    EXPECT_EQ(out.find("\x1b[31m"), std::string::npos);
    EXPECT_NE(out.find("waiting 2 s for the answer to AT+X"), std::string::npos) << out;
    // The last frame: one row per port, all done, none wider than the terminal.
    const std::string last = out.substr(0, shown);
    for (const std::string& port : ports) {
        const size_t row = last.rfind(port + " ");
        ASSERT_NE(row, std::string::npos) << port;
        const std::string line = last.substr(row, last.find("\x1b[K", row) - row);
        EXPECT_NE(line.find("[##########] \x1b[32mdone: ok\x1b[0m"), std::string::npos) << line;
        EXPECT_LT(line.size(), 200u);
    }
    // The summary: no row wider than the terminal, the long result cut; the JSON has it whole.
    const std::string result = "port could not be opened: File not found opening " + missing + ".";
    const std::string summary = out.substr(shown);
    EXPECT_NE(summary.find("\n4 ports: 3 ok, 1 failed; transcripts in " + dir), std::string::npos) << summary;
    const std::string row = Row(summary, missing);
    EXPECT_NE(row.find("  \x1b[1;31m" + result.substr(0, 40)), std::string::npos) << row;
    EXPECT_EQ(row.substr(row.size() - 5), "\x1b[0m\r") << row;
    EXPECT_EQ(row.find(result), std::string::npos) << row;
    EXPECT_NE(row.find("\u2026  "), std::string::npos) << row;
    for (size_t at = 0, end; (end = summary.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = std::regex_replace(summary.substr(at, end - at), std::regex("\x1b\\[[0-9;]*m"), "");
        // The terminal turns each line feed into CR LF.
        const auto columns =
            std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80 && c != '\r'; });
        EXPECT_LT(columns, 200) << line;
    }

    // Each prompt's key and when it came, in the transcript and the JSON.
    const std::vector<std::string> notes = ReadTranscript(PtyTranscript(dir + "/logs", firstN, first)).Notes;
    EXPECT_NE(std::find(notes.begin(), notes.end(), "key y answers the prompt at line 8"), notes.end());
    Json json;
    ASSERT_TRUE(ParseJson(ReadFile(dir + "/rack.json"), &json)) << ReadFile(dir + "/rack.json");
    ASSERT_EQ(json["ports"].items.size(), 4u);
    EXPECT_EQ(json["ports"].items[3]["result"].text, result);
    EXPECT_EQ(json["ports"].items[0]["prompts"].items.size(), 0u);
    for (int n : {firstN, secondN}) {
        const Json& prompts = json["ports"].items[n - 1]["prompts"];
        ASSERT_EQ(prompts.items.size(), 1u) << n;
        EXPECT_EQ(prompts.items[0]["line"].number, 8);
        EXPECT_EQ(prompts.items[0]["key"].text, n == firstN ? "y" : "n");
        EXPECT_TRUE(prompts.items[0]["keyboard"].boolean);
        EXPECT_EQ(prompts.items[0]["time"].text.size(), 24u);
    }

    const int plainStatus = plain.Wait();
    EXPECT_TRUE(WIFEXITED(plainStatus) && WEXITSTATUS(plainStatus) == 1) << plain.out;
    EXPECT_EQ(plain.out.find("\x1b[?25l"), 0u) << "a live view: " << plain.out;
    const std::string plainSummary = plain.out.substr(std::min(plain.out.rfind("\x1b[?25h"), plain.out.size()));
    EXPECT_NE(Row(plainSummary, missing).find("  port could not be opened: "), std::string::npos) << plain.out;
    for (const char* sgr : {"\x1b[32m", "\x1b[1;31m", "\x1b[0m"}) {
        EXPECT_EQ(plain.out.find(sgr), std::string::npos) << plain.out;
    }
}

TEST(Rack, WindowsBuildRunsARackOfFour)
{
    if (!UnderWine()) {
        GTEST_SKIP() << "for the Windows build under Wine";
    }
    Units units(4, {{"ATI", "\r\nTorvex unit\r\nOK\r\n"}});
    auto& devices = units.devices;
    const std::vector<std::string>& ports = units.ports;
    devices[2]->SetHandler(StandardDevice({{"ATI", "\r\nTorvex unit\r\nOK\r\n"}, {"AT+X", ErrorReply}}));
    const std::string dir = TempFolder();
    RunOptions options;
    // The script through standard input, kept byte for byte (carriage returns too).
    options.input = Stdin::Pipe;
    options.data = RackScript;
    options.command = {"wine", RackExe(), "-", "--log-dir", "Z:" + dir + "/logs", "--json", "Z:" + dir + "/rack.json"};
    options.command.insert(options.command.end(), ports.begin(), ports.end());
    const RunResult r = RunTorvex({}, options);
    EXPECT_EQ(r.status, 1) << r.out;
    Json json;
    ASSERT_TRUE(ParseJson(ReadFile(dir + "/rack.json"), &json)) << ReadFile(dir + "/rack.json");
    ASSERT_EQ(json["ports"].items.size(), 4u);
    EXPECT_EQ(json["totals"]["ok"].number, 3);
    EXPECT_EQ(json["totals"]["failed"].number, 1);
    EXPECT_EQ(ReadFile(dir + "/logs/script.txt"), RackScript);
    for (size_t i = 0; i < 4; i++) {
        const Json& port = json["ports"].items[i];
        const std::string result = i == 2 ? "ERROR answered to AT+X at line 4" : "ok";
        EXPECT_EQ(port["result"].text, result);
        EXPECT_NE(Row(r.out, ports[i]).find("  " + result + "  "), std::string::npos) << r.out;
        // A file name Windows takes: no colon, the COM name not the whole name.
        const std::string name = "0" + std::to_string(i + 1) + "-" + ports[i] + ".log";
        const Transcript t = ReadTranscript(dir + "/logs/" + name);
        EXPECT_TRUE(t.WellFormed && t.InOrder) << name;
        // The Windows build's console lines end in CR LF, kept as they came.
        const std::string rest = i == 2 ? "AT+X\r\r\nGot \"ERROR\"\r\n" : "AT+X\r\r\nGot \"OK\"\r\n\r\r\ndone\r\n";
        EXPECT_EQ(t.Console, "Got \"AT^QESC=1, OK\"\r\nATI\r\r\nGot \"Torvex unit, OK\"\r\n" + rest) << name;
    }

    // Killed outright, the rack takes its runs with it: they are in a job
    // that ends with the rack's last handle to it.
    RunOptions looping;
    looping.command = {"wine", RackExe(), "--log-dir", "Z:" + dir + "/again",
                       ScriptArg(WriteScript(":again\r\nATI\r\n#goto again\r\n")), ports[0], ports[1]};
    RunningTorvex rack({}, looping);
    ASSERT_TRUE(rack.WaitForOutput(ports[0] + ": Got \"Torvex unit, OK\"\n", 30000)) << rack.Output();
    ASSERT_TRUE(rack.WaitForOutput(ports[1] + ": Got \"Torvex unit, OK\"\n", 30000)) << rack.Output();
    rack.Signal(SIGKILL);
    rack.Wait();
    EXPECT_TRUE(WaitPortReleased(*devices[0], 5000));
    EXPECT_TRUE(WaitPortReleased(*devices[1], 1000));
    // A nightly job's limits: a looping unit ended at its time limit (by
    // Ctrl-Break, or by termination 5 s later), the results as JUnit XML.
    devices[0]->SetHandler(StandardDevice({{"ATI", "\r\nLOOP\r\nOK\r\n"}, {"AT", "\r\nOK\r\n"}}));
    RunOptions nightly;
    nightly.command = {"wine", RackExe(), "Z:" + WriteScript(NightlyScript), "--unit-timeout", "10", "--log-dir",
                       "Z:" + dir + "/nightly", "--junit", "Z:" + dir + "/rack.xml", ports[0], ports[1]};
    const auto started = std::chrono::steady_clock::now();
    const RunResult n = RunTorvex({}, nightly);
    EXPECT_EQ(n.status, 1) << n.out;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_TRUE(WaitPortReleased(*devices[0], 1000));
    const std::string timedOut = Row(n.out, ports[0]);
    EXPECT_TRUE(timedOut.find("  timed out after 10 s at line 8: AT  ") != std::string::npos ||
                timedOut.find("  timed out after 10 s at line 9: #goto loop  ") != std::string::npos)
        << n.out;
    EXPECT_NE(Row(n.out, ports[1]).find("  ok  "), std::string::npos) << n.out;
    EXPECT_EQ(JunitFaults(dir + "/rack.xml"), "") << ReadFile(dir + "/rack.xml");
    Json suite;
    ASSERT_TRUE(ReadJunit(dir + "/rack.xml", &suite)) << ReadFile(dir + "/rack.xml");
    EXPECT_EQ(suite["attrib"]["tests"].text, "2");
    EXPECT_EQ(suite["attrib"]["failures"].text, "1");
    ASSERT_EQ(suite["children"].items.size(), 2u);
    EXPECT_EQ(suite["children"].items[0]["attrib"]["name"].text, ports[0]);
    EXPECT_EQ(suite["children"].items[0]["children"].items[0]["tag"].text, "failure");
    EXPECT_EQ(suite["children"].items[1]["children"].items[0]["tag"].text, "system-out");
}

}  // namespace
