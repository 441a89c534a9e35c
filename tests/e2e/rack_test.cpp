// torvex-rack: real torvex processes on real pseudo-terminals, some of the
// units misbehaving; the summary, the JSON, the transcripts, Ctrl-C, a rack
// killed outright, descriptor limits, refusals, and under Wine the Windows
// build. The live view and prompts are in rack_terminal_test.cpp.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
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
    const RunResult r =
        RunTorvex({"--log-dir", dir + "/logs", "--json", dir + "/rack.json", "--junit", dir + "/rack.xml"}, options);
    EXPECT_EQ(r.status, 1) << r.out;
    Json suite;
    ASSERT_TRUE(ReadJunit(dir + "/rack.xml", &suite)) << ReadFile(dir + "/rack.xml");
    ASSERT_EQ(suite["children"].items.size(), 17u);

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
        // The prompt without a keyboard, recorded as such.
        EXPECT_EQ(port["prompts"].items.size(), i == 15 ? 1u : 0u);
        if (i == 15 && port["prompts"].items.size() == 1) {
            const Json& prompt = port["prompts"].items[0];
            EXPECT_EQ(prompt["line"].number, 8);
            EXPECT_EQ(prompt["key"].kind, Json::Null);
            EXPECT_EQ(prompt["keyboard"].kind, Json::Bool);
            EXPECT_FALSE(prompt["keyboard"].boolean);
        }
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
        // A pass whose prompt had no keyboard says so before its transcript in the JUnit file.
        const Json& out = suite["children"].items[i + 1]["children"].items.back();
        EXPECT_EQ(out["tag"].text, "system-out");
        EXPECT_EQ(out["text"].text, (i == 15 ? "result: " + results[i] + "\n" : "") + AsJunitShowsIt(ReadFile(path)));
    }
    EXPECT_NE(r.out.find("16 ports: 12 ok, 4 failed; transcripts in " + dir + "/logs\n"), std::string::npos)
        << r.out;
    // Tagged whole lines, the device's escape sequence shown escaped.
    EXPECT_NE(r.out.find("Z " + ports[0] + ": Got \"\\x1B[2J\\x1B[31mred, OK\"\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
}

// The failure is named at the script's last line though no line end follows
// it, and a backslash in the script's name is escaped in the JSON.
TEST(Rack, FailureAtALastLineWithoutLineEnd)
{
    if (UnderWine()) {
        GTEST_SKIP() << "the Windows build has its own rack test";
    }
    PtyDevice device;
    device.SetHandler(StandardDevice({{"ATI", ""}}));
    const std::string port = PortName(device);
    const std::string dir = TempFolder();
    const std::string script = dir + "/a\\q.txt";
    std::ofstream(script, std::ios::binary) << "AT\r\nATI";
    RunOptions options;
    options.command = {RackExe(), script, port, "--log-dir", dir + "/logs", "--json", dir + "/rack.json"};
    const RunResult r = RunTorvex({}, options);
    EXPECT_EQ(r.status, 1) << r.out;
    const std::string result = "no answer to ATI at line 2";
    EXPECT_NE(Row(r.out, port).find("  " + result + "  "), std::string::npos) << r.out;
    Json json;
    ASSERT_TRUE(ParseJson(ReadFile(dir + "/rack.json"), &json)) << ReadFile(dir + "/rack.json");
    EXPECT_EQ(json["script"].text, script);
    ASSERT_EQ(json["ports"].items.size(), 1u);
    EXPECT_EQ(json["ports"].items[0]["result"].text, result);
    EXPECT_EQ(json["ports"].items[0]["line"].number, 2);
    EXPECT_EQ(json["ports"].items[0]["command"].text, "ATI");
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
    // First a port not there yet, waiting for its second attempt when Ctrl-C comes.
    const std::string missing = dir + "/no-such-port";
    options.command = {RackExe(), "--jobs", "2", "--log-dir", dir, WriteScript("ATI\r\n#wait 60\r\nATI\r\n"),
                       "--ports-from", "-", "--retries", "1", "--retry-wait", "60", "--junit", dir + "/rack.xml"};
    options.input = Stdin::Pipe;
    options.data = missing + "\n" + ports[0] + "\n  " + ports[1] + "\r\n\n" + ports[2] + "\n";
    RunningTorvex rack({}, options);
    ASSERT_TRUE(rack.WaitForOutput(ports[0] + ": Got \"OK\"\n", 20000)) << rack.Output();
    ASSERT_TRUE(rack.WaitForOutput(ports[1] + ": Got \"OK\"\n", 20000)) << rack.Output();
    rack.SignalGroup(SIGINT);
    const RunResult r = rack.Wait();
    EXPECT_EQ(r.signal, SIGINT) << r.out;
    for (int i = 0; i < 2; i++) {
        EXPECT_TRUE(WaitPortReleased(*devices[i], 10000));
        EXPECT_NE(Row(r.out, ports[i]).find("  interrupted at line 2: #wait 60  "), std::string::npos) << r.out;
    }
    EXPECT_NE(Row(r.out, ports[2]).find("  interrupted before it started  "), std::string::npos) << r.out;
    EXPECT_NE(Row(r.out, missing).find("  interrupted before attempt 2  "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("4 ports: 0 ok, 0 failed, 4 interrupted; "), std::string::npos) << r.out;
    EXPECT_EQ(ReadTranscript(PtyTranscript(dir, 2, ports[0])).Notes.back(), "result: interrupted at line 2: #wait 60");
    // A CI cancel: what started is an error, only what never started is skipped.
    EXPECT_EQ(JunitFaults(dir + "/rack.xml"), "") << ReadFile(dir + "/rack.xml");
    Json suite;
    ASSERT_TRUE(ReadJunit(dir + "/rack.xml", &suite));
    EXPECT_EQ(suite["attrib"]["errors"].text, "3");
    EXPECT_EQ(suite["attrib"]["skipped"].text, "1");
    EXPECT_EQ(suite["attrib"]["failures"].text, "0");
    const std::vector<std::string> kinds = {"error", "error", "error", "skipped"};
    const std::vector<std::string> messages = {"interrupted before attempt 2", "interrupted at line 2: #wait 60",
                                               "interrupted at line 2: #wait 60", "interrupted before it started"};
    ASSERT_EQ(suite["children"].items.size(), 5u);
    for (size_t i = 0; i < 4; i++) {
        const Json& outcome = suite["children"].items[i + 1]["children"].items[0];
        EXPECT_EQ(outcome["tag"].text, kinds[i]);
        EXPECT_EQ(outcome["attrib"]["message"].text, messages[i]);
    }
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
    // Last night's reports, all green; the JUnit file reached through a link to another folder.
    const std::string dir = TempFolder();
    const std::string elsewhere = TempFolder();
    const std::string held = TempFolder() + "/held";
    std::ofstream(dir + "/rack.json") << "{\"finished\": true, \"totals\": {\"failed\": 0}}\n";
    std::ofstream(elsewhere + "/rack.xml") << "<testsuite name=\"torvex-rack\" tests=\"2\"/>\n";
    ASSERT_EQ(symlink((elsewhere + "/rack.xml").c_str(), (dir + "/rack.xml").c_str()), 0);
    // A script that never ends, on a rack started with a descriptor of the shell's (5>file).
    options.command = {"sh", "-c", "exec \"$@\" 5>\"$0\"", held, RackExe(), "--log-dir", dir + "/logs",
                       WriteScript(":again\r\nATI\r\n#goto again\r\n"), "--json", dir + "/rack.json", "--junit",
                       dir + "/rack.xml"};
    options.command.insert(options.command.end(), ports.begin(), ports.end());
    RunningTorvex rack({}, options);
    for (const std::string& port : ports) {
        ASSERT_TRUE(rack.WaitForOutput(port + ": Got \"OK\"\n", 20000)) << rack.Output();
    }
    const std::vector<int> runs = ChildrenOf(rack.Pid());
    ASSERT_EQ(runs.size(), 2u);
    const std::vector<std::string> rackFiles = OpenFiles(rack.Pid());
    ASSERT_NE(std::find(rackFiles.begin(), rackFiles.end(), held), rackFiles.end());
    for (int run : runs) {
        const std::vector<std::string> files = OpenFiles(run);
        EXPECT_EQ(std::count(files.begin(), files.end(), held), 0) << run << " inherited it";
    }
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
        EXPECT_TRUE(WaitPortReleased(*devices[i], 10000)) << ports[i];
    }
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(5));
    // What a publishing step finds is whole, and fails.
    Json json;
    ASSERT_TRUE(ParseJson(ReadFile(dir + "/rack.json"), &json)) << ReadFile(dir + "/rack.json");
    EXPECT_EQ(json["finished"].kind, Json::Bool);
    EXPECT_FALSE(json["finished"].boolean);
    EXPECT_EQ(json["reason"].text, "the rack did not finish");
    char link[4096] = {0};
    ASSERT_GT(readlink((dir + "/rack.xml").c_str(), link, sizeof link - 1), 0) << "the link stays a link";
    EXPECT_EQ(std::string(link), elsewhere + "/rack.xml");
    EXPECT_EQ(JunitFaults(dir + "/rack.xml"), "") << ReadFile(dir + "/rack.xml");
    Json suite;
    ASSERT_TRUE(ReadJunit(dir + "/rack.xml", &suite));
    EXPECT_EQ(suite["attrib"]["tests"].text, "1");
    EXPECT_EQ(suite["attrib"]["errors"].text, "1");
    ASSERT_EQ(suite["children"].items.size(), 2u);
    EXPECT_EQ(suite["children"].items[1]["children"].items[0]["attrib"]["message"].text, "the rack did not finish");
    // No temporary file is left beside either.
    EXPECT_EQ(system(("test \"$(ls -A '" + elsewhere + "')\" = rack.xml").c_str()), 0);
    EXPECT_EQ(system(("test \"$(ls -A '" + dir + "' | tr '\\n' ' ')\" = 'logs rack.json rack.xml '").c_str()), 0);
    // The port is free for the next run at once.
    RunOptions again;
    again.timeoutMs = 20000;
    EXPECT_EQ(RunTorvex({WriteScript("ATI\r\n"), PortArg(*devices[0])}, again).status, 0);
}

// More ports than descriptors: they wait their turn, and each is reported.
// Their names, UTF-8 or not, come back from the JSON as they were given.
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
        {{script, "socket://[::FFFF:127.0.0.1]:7011", "socket://[::ffff:7f00:1]:7012", "socket://127.0.0.1:7011"},
         "torvex-rack: socket://[::FFFF:127.0.0.1]:7011 and socket://127.0.0.1:7011 are the same port\n"},
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
        // Given twice: refused, never one of them dropped in silence.
        {{script, "COM1", "--json", other + "/a.json", "--json=" + other + "/b.json", "--junit", other + "/twice.xml"},
         "torvex-rack: --json is given twice\n"},
        {{script, "COM1", "--unit-timeout=5", "--unit-timeout", "5"}, "torvex-rack: --unit-timeout is given twice\n"},
        {{script, "--all", "COM1", "--all"}, "torvex-rack: --all is given twice\n"},
        {{script, "COM1", "--transcript-limit", "1K"},
         "torvex-rack: --transcript-limit needs a size from 4K to 1024G, such as 64M\n"},
        // An output that would overwrite an input, a port, the other output or a device.
        {{script, "COM1", "--junit", script}, "torvex-rack: --junit " + script + " is the same file as the script " +
                                                  script + "\n"},
        {{script, other + "/old/01-COM1.log", "--json", other + "/old/../old/01-COM1.log"},
         "torvex-rack: --json " + other + "/old/../old/01-COM1.log is the same file as the port " + other +
             "/old/01-COM1.log\n"},
        {{script, "COM1", "--json", other + "/a.json", "--junit", other + "/a-link.json"},
         "torvex-rack: --junit " + other + "/a-link.json is the same file as --json " + other + "/a.json\n"},
        {{script, "COM1", "--junit", "/dev/null"}, "torvex-rack: --junit /dev/null is not a regular file\n"},
        {{script, "COM1", "--json", other}, "torvex-rack: --json " + other + " is not a regular file\n"},
        {{script, "COM1", "--json", "-", "--junit", "-"},
         "torvex-rack: --json and --junit cannot both be standard output\n"},
        // Refused while the command line is read: each output that is sound in
        // itself is replaced with the reason, one named after the refusal too.
        {{script, "COM1", "--jobs", "0", "--json", other + "/jobs.json", "--junit", other + "/jobs.xml"},
         "torvex-rack: --jobs needs a number from 1 to 100000\nTry 'torvex-rack --help'.\n"},
        {{script, "--bogus", "COM1", "--json", other + "/unknown.json", "--junit", other + "/no/unknown.xml"},
         "torvex-rack: unknown option --bogus\nTry 'torvex-rack --help'.\ntorvex-rack: cannot write " + other +
             "/no/unknown.xml: No such file or directory\n"},
        {{script, "COM1", "--json", other + "/nolist.json", "--ports-from"},
         "torvex-rack: option --ports-from needs a value\nTry 'torvex-rack --help'.\n"},
        {{script, "COM1", "--dry-run", "--jobs", "0", "--json", other + "/dry.json"},
         "torvex-rack: --jobs needs a number from 1 to 100000\nTry 'torvex-rack --help'.\n"},
    };
    // Last night's reports, green.
    for (const char* name : {"/twice.xml", "/jobs.xml", "/jobs.json", "/unknown.json", "/nolist.json"}) {
        std::ofstream(other + name) << "<testsuite name=\"torvex-rack\" tests=\"5\"/>\n";
    }
    // A port list: comments, blanks, a quoted name, speeds and labels, then a
    // line that cannot be read for certain, refused with its number.
    // A byte order mark first is skipped.
    const std::string good = "\xEF\xBB\xBF# bay list\n\n  COM1 -BAUD=9600 label=bay 1\n\"COM 2\" label=bay \"2\"\nCOM3\n";
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
        {"label=bay 4\n", "6: a label needs a port name before it"},
        {"COM4 label=bay 1\n", "6: the label bay 1 is given on line 3 already"},
        {"serial= label=bay 4\n", "6: serial= needs a serial number"},
    };
    for (size_t i = 0; i < lists.size(); i++) {
        const std::string list = other + "/ports" + std::to_string(i) + ".txt";
        std::ofstream(list) << good << lists[i].first << "COM5\n";
        cases.push_back({{script, "--ports-from", list}, "torvex-rack: " + list + ":" + lists[i].second + "\n"});
    }
    const std::string list = other + "/ports0.txt";
    const std::string goodList = other + "/good.txt";
    std::ofstream(goodList) << good;
    cases.push_back({{script, "--ports-from", goodList, "--junit", goodList},
                     "torvex-rack: --junit " + goodList + " is the same file as the port list " + goodList + "\n"});
    // Refused for a port list: last night's green report is replaced by one that says why.
    std::ofstream(other + "/refused.xml") << "<testsuite name=\"torvex-rack\" tests=\"5\"/>\n";
    cases.push_back({{script, "--ports-from", list, "--junit", other + "/refused.xml"},
                     "torvex-rack: " + list + ":" + lists[0].second + "\n"});
    // An empty port list: nothing to run, and the reports say so.
    std::ofstream(other + "/empty.txt") << "# no bays tonight\n";
    cases.push_back({{script, "--ports-from", other + "/empty.txt", "--json", other + "/empty.json"},
                     "torvex-rack: no ports named\n"});
    ASSERT_EQ(symlink((other + "/a.json").c_str(), (other + "/a-link.json").c_str()), 0);
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
    // The reports of a rack that did not start say why, and fail.
    Json json;
    ASSERT_TRUE(ParseJson(ReadFile(other + "/rack.json"), &json)) << ReadFile(other + "/rack.json");
    EXPECT_FALSE(json["finished"].boolean);
    EXPECT_EQ(json["reason"].text, "the rack did not start: cannot make the folder /dev/null/logs: Not a directory");
    Json empty;
    ASSERT_TRUE(ParseJson(ReadFile(other + "/empty.json"), &empty)) << ReadFile(other + "/empty.json");
    EXPECT_EQ(empty["reason"].text, "the rack did not start: no ports named");
    EXPECT_EQ(JunitFaults(other + "/refused.xml"), "") << ReadFile(other + "/refused.xml");
    Json suite;
    ASSERT_TRUE(ReadJunit(other + "/refused.xml", &suite));
    EXPECT_EQ(suite["attrib"]["errors"].text, "1");
    ASSERT_EQ(suite["children"].items.size(), 2u);
    EXPECT_EQ(suite["children"].items[1]["children"].items[0]["attrib"]["message"].text,
              "the rack did not start: " + list + ":" + lists[0].second);
    EXPECT_NE(access((other + "/a.json").c_str(), F_OK), 0) << "no output was made for a refused option";
    EXPECT_NE(access((other + "/b.json").c_str(), F_OK), 0);
    EXPECT_NE(access((other + "/dry.json").c_str(), F_OK), 0) << "a dry run leaves nothing behind";
    // The refused command line's reports, byte for byte.
    RunOptions sha;
    sha.command = {"sh", "-c", "sha256sum < \"$0\" | cut -c1-64", script};
    std::string digest = RunTorvex({}, sha).out;
    digest.resize(64);
    char host[256] = {0};
    gethostname(host, sizeof host - 1);
    const auto unstarted = [&](const std::string& junit, const std::string& reason) {
        std::string line = RackExe();
        for (const auto& c : cases) {
            if (std::find(c.first.begin(), c.first.end(), junit) != c.first.end()) {
                for (const std::string& arg : c.first) {
                    line += " " + arg;
                }
            }
        }
        const std::string message = "the rack did not start: " + reason;
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuite name=\"torvex-rack\" tests=\"1\" failures=\"0\" "
               "errors=\"1\" skipped=\"0\" time=\"0.000\" timestamp=\"T\" hostname=\"" + std::string(host) +
               "\">\n  <properties>\n    <property name=\"torvex.version\" value=\"" TORVEX_VERSION "\"/>\n"
               "    <property name=\"script\" value=\"" + script + "\"/>\n    <property name=\"script.sha256\" value=\"" +
               digest + "\"/>\n    <property name=\"command_line\" value=\"" + line + "\"/>\n  </properties>\n"
               "  <testcase name=\"torvex-rack\" classname=\"" + script.substr(script.rfind('/') + 1) +
               "\" time=\"0.000\">\n    <error message=\"" + message + "\">" + message +
               "</error>\n  </testcase>\n</testsuite>\n";
    };
    const auto stamped = [](const std::string& path) {
        return std::regex_replace(ReadFile(path), std::regex("timestamp=\"[^\"]*\""), "timestamp=\"T\"");
    };
    EXPECT_EQ(stamped(other + "/twice.xml"), unstarted(other + "/twice.xml", "--json is given twice"));
    EXPECT_EQ(stamped(other + "/jobs.xml"), unstarted(other + "/jobs.xml", "--jobs needs a number from 1 to 100000"));
    const auto unstartedJson = [&](const std::string& reason) {
        return "{\n  \"finished\": false,\n  \"reason\": \"the rack did not start: " + reason + "\",\n  \"script\": \"" +
               script + "\",\n  \"ports\": []\n}\n";
    };
    EXPECT_EQ(ReadFile(other + "/jobs.json"), unstartedJson("--jobs needs a number from 1 to 100000"));
    EXPECT_EQ(ReadFile(other + "/unknown.json"), unstartedJson("unknown option --bogus"));
    EXPECT_EQ(ReadFile(other + "/nolist.json"), unstartedJson("option --ports-from needs a value"));
    // The report is on the disk before it takes its name, and so is the name,
    // where strace may watch: a power loss leaves no empty report.
    RunOptions traced;
    traced.command = {"sh", "-c", "exec 2>/dev/null; strace -o \"$0\" -e trace=fsync,rename \"$@\";"
                      " sed -E -e 's/[0-9]+\\)/N)/' -e 's/ +=/ =/' -e '/^[+]/d' \"$0\"",
                      other + "/trace", RackExe(), script, "--jobs", "0", "--json", other + "/traced.json"};
    const std::string trace = RunTorvex({}, traced).out;
    if (trace.find("rename(") != std::string::npos) {
        EXPECT_EQ(trace, "fsync(N) = 0\nrename(\"" + other + "/.traced.json.1.tmp\", \"" + other +
                             "/traced.json\") = 0\nfsync(N) = 0\n");
    }
    EXPECT_EQ(ReadFile(other + "/old/01-COM1.log"), "first\n");
    EXPECT_EQ(ReadFile(goodList), good) << "an input is never overwritten";
    EXPECT_EQ(system(("test \"$(ls -A '" + other + "/old')\" = 01-COM1.log").c_str()), 0) << "not even a temporary file";
    EXPECT_EQ(system(("test \"$(ls -A '" + other + "/alone')\" = torvex-rack").c_str()), 0);
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
                       ScriptArg(WriteScript(":again\r\nATI\r\n#goto again\r\n")), ports[0], ports[1],
                       "--junit", "Z:" + dir + "/again.xml"};
    RunningTorvex rack({}, looping);
    ASSERT_TRUE(rack.WaitForOutput(ports[0] + ": Got \"Torvex unit, OK\"\n", 30000)) << rack.Output();
    ASSERT_TRUE(rack.WaitForOutput(ports[1] + ": Got \"Torvex unit, OK\"\n", 30000)) << rack.Output();
    rack.Signal(SIGKILL);
    rack.Wait();
    EXPECT_TRUE(WaitPortReleased(*devices[0], 20000));
    EXPECT_TRUE(WaitPortReleased(*devices[1], 10000));
    // What it leaves says the rack did not finish.
    EXPECT_EQ(JunitFaults(dir + "/again.xml"), "") << ReadFile(dir + "/again.xml");
    EXPECT_NE(ReadFile(dir + "/again.xml").find("<error message=\"the rack did not finish\">"), std::string::npos);
    // A nightly job's limits: a looping unit ended at its time limit (by
    // Ctrl-Break, or by termination 5 s later), the results as JUnit XML.
    devices[0]->SetHandler(StandardDevice({{"ATI", "\r\nLOOP\r\nOK\r\n"}, {"AT", "\r\nOK\r\n"}}));
    RunOptions nightly;
    nightly.command = {"wine", RackExe(), "Z:" + WriteScript(NightlyScript), "--unit-timeout", "10", "--log-dir",
                       "Z:" + dir + "/nightly", "--junit", "Z:" + dir + "/rack.xml", ports[0], ports[1]};
    const auto started = std::chrono::steady_clock::now();
    const RunResult n = RunTorvex({}, nightly);
    EXPECT_EQ(n.status, 1) << n.out;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
    EXPECT_TRUE(WaitPortReleased(*devices[0], 10000));
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
    ASSERT_EQ(suite["children"].items.size(), 3u);
    EXPECT_EQ(suite["attrib"]["hostname"].text.empty(), false);
    EXPECT_EQ(suite["children"].items[1]["attrib"]["name"].text, ports[0]);
    EXPECT_EQ(suite["children"].items[1]["children"].items[0]["tag"].text, "failure");
    EXPECT_EQ(suite["children"].items[2]["children"].items[0]["tag"].text, "system-out");
}

}  // namespace
