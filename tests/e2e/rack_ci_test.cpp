// torvex-rack in a nightly CI job: a port list with speeds and labels, a
// time limit per unit and for the whole rack, retries of a port that came
// late, and the results as JUnit XML checked against the schema's rules.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "rack_support.h"
#include "support/pty_device.h"
#include "support/run_program.h"
#include "support/standard_device.h"

namespace {

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
                        << "  " << units.ports[1] << " -BAUD=9600 label=bay \"A\"\r\n"
                        << "\n"
                        << missing << "\n"
                        << "\"" << late << "\" -baud=115200 label=bay-4 & late\n";
    const std::vector<std::string> ports = {units.ports[0], units.ports[1], missing, late};
    const std::vector<std::string> names = {"bay 1 <loop>", "bay \"A\"", missing, "bay-4 & late"};
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
    EXPECT_TRUE(WaitPortReleased(*devices[0], 10000));
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

    // A run that ignores SIGTERM (its rack was started so) is killed 5 s after its limit.
    devices[3]->SetHandler(StandardDevice({{"ATI", "\r\nLOOP\r\nOK\r\n"}, {"AT", "\r\nOK\r\n"}}));
    RunOptions deaf;
    deaf.command = {"sh", "-c", "trap '' TERM; exec \"$@\"", "sh", RackExe(), script, "--unit-timeout", "5",
                    "--log-dir", dir + "/deaf", "--json", dir + "/deaf.json", units.ports[3]};
    RunningTorvex deafRack({}, deaf);
    // A prompt in a loop with no keyboard answers itself as fast as the run goes: the rack keeps a bounded record.
    devices[2]->SetHandler(StandardDevice({{"AT", "\r\nOK\r\n"}}));
    RunOptions asking;
    asking.command = {RackExe(), WriteScript("AT\r\n:again\r\n#prompt Go on? (Y/N)\r\n#goto again\r\n"),
                      "--unit-timeout", "6", "--log-dir", dir + "/asking", "--json", dir + "/asking.json",
                      units.ports[2]};
    RunningTorvex askingRack({}, asking);

    // The whole rack's limit: the run going is ended, the one waiting never started.
    RunOptions limited;
    limited.command = {RackExe(), script, "--timeout", "6", "--jobs", "1", "--log-dir", dir + "/limited",
                       "--junit", dir + "/limited.xml", units.ports[0], units.ports[1]};
    const RunResult l = RunTorvex({}, limited);
    EXPECT_EQ(l.status, 1) << l.out;
    EXPECT_NE(Row(l.out, units.ports[0]).find("  timed out after 6 s at line "), std::string::npos) << l.out;
    EXPECT_NE(Row(l.out, units.ports[1]).find("  not started: rack time limit  "), std::string::npos) << l.out;
    EXPECT_NE(l.out.find("2 ports: 0 ok, 1 failed, 1 interrupted; "), std::string::npos) << l.out;
    EXPECT_TRUE(WaitPortReleased(*devices[0], 10000));
    EXPECT_EQ(JunitFaults(dir + "/limited.xml"), "") << ReadFile(dir + "/limited.xml");
    const RunResult d = deafRack.Wait();
    EXPECT_EQ(d.status, 1) << d.out;
    Json killed;
    ASSERT_TRUE(ParseJson(ReadFile(dir + "/deaf.json"), &killed)) << d.out;
    ASSERT_EQ(killed["ports"].items.size(), 1u);
    EXPECT_EQ(killed["ports"].items[0]["result"].text.compare(0, 23, "timed out after 5 s at "), 0) << d.out;
    EXPECT_EQ(killed["ports"].items[0]["signal"].number, SIGKILL);
    EXPECT_GT(killed["ports"].items[0]["seconds"].number, 9.5);
    EXPECT_LT(killed["ports"].items[0]["seconds"].number, 15.0);
    EXPECT_EQ(askingRack.Wait().status, 1);
    Json asked;
    ASSERT_TRUE(ParseJson(ReadFile(dir + "/asking.json"), &asked));
    ASSERT_EQ(asked["ports"].items.size(), 1u);
    EXPECT_EQ(asked["ports"].items[0]["prompts"].items.size(), 1000u);
    EXPECT_GT(asked["ports"].items[0]["prompts_not_kept"].number, 0);
    const std::vector<std::string> deafNotes = ReadTranscript(killed["ports"].items[0]["transcript"].text).Notes;
    EXPECT_NE(std::find(deafNotes.begin(), deafNotes.end(), "still running 5 s later: killed"), deafNotes.end());
    EXPECT_TRUE(WaitPortReleased(*devices[3], 10000));

    Json cut;
    ASSERT_TRUE(ReadJunit(dir + "/limited.xml", &cut));
    EXPECT_EQ(cut["attrib"]["failures"].text, "1");
    EXPECT_EQ(cut["attrib"]["skipped"].text, "1");
    ASSERT_EQ(cut["children"].items.size(), 2u);
    EXPECT_EQ(cut["children"].items[1]["children"].items[0]["tag"].text, "skipped");
    EXPECT_EQ(cut["children"].items[1]["children"].items[0]["attrib"]["message"].text,
              "not started: rack time limit");
}

}  // namespace
