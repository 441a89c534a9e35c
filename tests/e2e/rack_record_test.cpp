// torvex-rack --record: every run a row in a SQLite database that others may
// read while the rack writes, one writer at a time, and --history to read it;
// and --watch, the station that runs each unit as it is plugged into a sysfs
// and /dev tree built here.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sqlite3.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "rack_support.h"
#include "support/fake_tree.h"
#include "support/pty_device.h"
#include "support/run_program.h"
#include "support/standard_device.h"

namespace {

// The first row of a query's first column as text; empty when there is none.
std::string Query(const std::string& db, const std::string& sql)
{
    sqlite3* handle = nullptr;
    std::string value;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW &&
            sqlite3_column_text(st, 0) != nullptr) {
            value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(handle);
    return value;
}

std::string Sha256Of(const std::string& path)
{
    std::string sum;
    FILE* p = popen(("sha256sum '" + path + "'").c_str(), "r");
    char line[256];
    if (p != nullptr && fgets(line, sizeof line, p) != nullptr) {
        sum = std::string(line).substr(0, 64);
    }
    if (p != nullptr) {
        pclose(p);
    }
    return sum;
}

// torvex-rack with its standard error seen as its output.
RunOptions Rack(const std::vector<std::string>& args)
{
    RunOptions options;
    options.command = {"sh", "-c", "exec \"$@\" 2>&1", "sh"};
    if (UnderWine()) {
        options.command.push_back("wine");
    }
    options.command.push_back(RackExe());
    options.command.insert(options.command.end(), args.begin(), args.end());
    return options;
}

TEST(Rack, RecordKeepsEveryRunForOneWriterAtATime)
{
    if (UnderWine()) {
        const RunResult r = RunTorvex({}, Rack({"--history", "Z:\\units.db"}));
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "torvex-rack: cannot read the record Z:\\units.db: the run record is a Linux feature: "
                         "this build has no SQLite\n");
        return;
    }
    Units units(2);
    units.devices[0]->SetHandler(StandardDevice({{"ATI", "\r\nLOOP\r\nOK\r\n"}, {"AT", "\r\nOK\r\n"}}));
    units.devices[1]->SetHandler(StandardDevice({{"AT+X", ErrorReply}}));
    const std::string dir = TempFolder();
    const std::string db = dir + "/units.db";

    // A rack that records, looping on its unit until it is killed.
    RunningTorvex looping({}, Rack({WriteScript(NightlyScript), units.ports[0], "--record", db, "--log-dir",
                                    dir + "/night"}));
    ASSERT_TRUE(looping.WaitForOutput(units.ports[0] + ": AT\n", 30000)) << looping.Output();
    // A reader meanwhile sees the run going, in a database laid out to be read while written.
    EXPECT_EQ(Query(db, "SELECT result FROM runs WHERE ended IS NULL"), "running");
    EXPECT_EQ(Query(db, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(Query(db, "PRAGMA user_version"), "1");
    EXPECT_EQ(Query(db, "SELECT sql FROM sqlite_master WHERE name = 'runs_unit'"),
              "CREATE INDEX runs_unit ON runs (unit, script_sha256, ok)");
    // A second writer is refused before it wakes a unit or makes a folder.
    const RunResult second = RunTorvex({}, Rack({WriteScript(RackScript), units.ports[1], "--record", db,
                                                 "--log-dir", dir + "/second"}));
    EXPECT_EQ(second.status, 2);
    EXPECT_EQ(second.out, "torvex-rack: cannot record in " + db + ": another torvex-rack records in it (its lock " +
                              db + ".lock is held)\n");
    EXPECT_NE(access((dir + "/second").c_str(), F_OK), 0);
    EXPECT_EQ(units.devices[1]->Wire(), "");

    // Killed (a CI job's time-out), it leaves its row open; the next writer closes it as unfinished.
    looping.Signal(SIGKILL);
    looping.Wait();
    ASSERT_TRUE(WaitPortReleased(*units.devices[0], 5000));
    units.devices[0]->SetHandler(StandardDevice({}));
    const std::string script = WriteScript(RackScript);
    const RunResult next = RunTorvex({}, Rack({script, units.ports[0], units.ports[1], "--record", db, "--log-dir",
                                               dir + "/day"}));
    EXPECT_EQ(next.status, 1) << next.out;

    const RunResult history = RunTorvex({}, Rack({"--history", db, "--json"}));
    EXPECT_EQ(history.status, 0) << history.out;
    Json rows;
    ASSERT_TRUE(ParseJson(history.out, &rows)) << history.out;
    ASSERT_EQ(rows.items.size(), 3u) << history.out;
    // Newest first: the day's two units in the order they started, then the killed night.
    const Json& ok = rows.items[0]["port"].text == units.ports[0] ? rows.items[0] : rows.items[1];
    const Json& failed = rows.items[0]["port"].text == units.ports[0] ? rows.items[1] : rows.items[0];
    EXPECT_EQ(ok["port"].text, units.ports[0]);
    EXPECT_EQ(failed["port"].text, units.ports[1]);
    EXPECT_EQ(ok["unit"].text, units.ports[0]) << "no USB identity: the port names the unit";
    EXPECT_EQ(ok["usb"].kind, Json::Null);
    EXPECT_TRUE(ok["ok"].boolean);
    EXPECT_EQ(ok["result"].text, "ok");
    EXPECT_EQ(ok["status"].number, 0);
    EXPECT_FALSE(failed["ok"].boolean);
    EXPECT_EQ(failed["result"].text, "ERROR answered to AT+X at line 4");
    EXPECT_EQ(failed["status"].number, 1);
    for (const Json* row : {&ok, &failed}) {
        EXPECT_EQ((*row)["script"].text, script);
        EXPECT_EQ((*row)["script_sha256"].text, Sha256Of(script));
        EXPECT_EQ((*row)["attempts"].number, 1);
        EXPECT_LE((*row)["started"].text, (*row)["ended"].text);
        EXPECT_FALSE(ReadTranscript((*row)["transcript"].text).Notes.empty()) << (*row)["transcript"].text;
    }
    const Json& night = rows.items[2];
    EXPECT_EQ(night["port"].text, units.ports[0]);
    EXPECT_EQ(night["result"].text, "unfinished: the rack ended before the run");
    EXPECT_FALSE(night["ok"].boolean);
    EXPECT_EQ(night["ended"].kind, Json::Null);
    EXPECT_EQ(night["script_sha256"].text, Sha256Of(night["script"].text));
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(Query(db, "SELECT count(*) FROM runs WHERE host = '" + std::string(host) +
                            "' AND station LIKE 'torvex-rack " TORVEX_VERSION ": %--record " + db + "%'"),
              "3");

    // One unit's history as a table: the summary's columns after the start and the unit.
    const RunResult table = RunTorvex({}, Rack({"--history", db, "--unit", units.ports[1]}));
    EXPECT_EQ(table.status, 0);
    const std::regex shape("STARTED +UNIT +PORT +RESULT +TIME +TRANSCRIPT\n"
                           "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z  " + units.ports[1] + " +" +
                           units.ports[1] + "  ERROR answered to AT\\+X at line 4  \\d+\\.\\d s  " + dir +
                           "/day/\\S+\\.log\n");
    EXPECT_TRUE(std::regex_match(table.out, shape)) << table.out;
}

TEST(Rack, StationRunsEachUnitAsItIsPluggedInOnce)
{
    if (UnderWine()) {
        GTEST_SKIP() << "the station is a Linux feature";
    }
    Units units(3);
    auto& devices = units.devices;
    devices[1]->SetHandler(StandardDevice({{"AT+X", ErrorReply}}));
    Tree t;
    t.Dir("dev");
    UsbAdapter(t, 0, "0403:6001", "UNITA");
    UsbAdapter(t, 1, "0403:6001", "UNITB");
    UsbAdapter(t, 2, "1a86:7523", "OTHER");  // not what the station looks for
    const std::string dir = TempFolder();
    const std::string db = dir + "/units.db";
    const std::string script = WriteScript(NightlyScript);
    // The bench's list gives one unit, by its serial number, a label and a speed.
    std::ofstream(dir + "/bench.txt") << "serial=UNITA -BAUD=19200 label=bay-1\n";
    setenv("TORVEX_PORTS_ROOT", t.Root().c_str(), 1);
    RunningTorvex station({}, Rack({"--watch", "--match", "usb=0403:6001", "--ports-from", dir + "/bench.txt",
                                    "--record", db, "--log-dir", dir + "/logs", "--json", dir + "/station.json",
                                    script}));
    unsetenv("TORVEX_PORTS_ROOT");
    auto name = [&](int n, const std::string& unit) {
        return unit + " (" + t.Root() + "/dev/ttyUSB" + std::to_string(n) + "): ";
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Plug(t, 0, "UNITA", devices[0].get());
    Plug(t, 2, "OTHER", devices[2].get());
    ASSERT_TRUE(station.WaitForOutput(name(0, "bay-1") + "done: ok\n", 30000)) << station.Output();
    Plug(t, 1, "UNITB", devices[1].get());
    ASSERT_TRUE(station.WaitForOutput(name(1, "UNITB") + "failed: ERROR answered to AT+X at line 4\n", 30000))
        << station.Output();
    const std::string wireA = devices[0]->Wire();

    // Passed: back after a replug, it is done. Failed and back at once: a restart of its own.
    Plug(t, 0, "UNITA", nullptr);
    Plug(t, 1, "UNITB", nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Plug(t, 1, "UNITB", devices[1].get());
    ASSERT_TRUE(station.WaitForOutput(name(1, "UNITB") + "back after 0 s: it restarted itself, so it is not run "
                                                        "again (replug it, or use --again)\n", 10000))
        << station.Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    Plug(t, 0, "UNITA", devices[0].get());
    ASSERT_TRUE(station.WaitForOutput(name(0, "bay-1") + "done earlier, at 20", 10000)) << station.Output();

    // Replugged after 5 s, it runs again; pulled out half-way, it failed where it was.
    Plug(t, 1, "UNITB", nullptr);
    devices[1]->SetHandler(StandardDevice({{"ATI", "\r\nLOOP\r\nOK\r\n"}, {"AT", "\r\nOK\r\n"}}));
    std::this_thread::sleep_for(std::chrono::seconds(6));
    Plug(t, 1, "UNITB", devices[1].get());
    ASSERT_TRUE(station.WaitForOutput(name(1, "UNITB") + "AT\n", 30000)) << station.Output();
    Plug(t, 1, "UNITB", nullptr);
    devices[1]->HangUp();
    ASSERT_TRUE(station.WaitForOutput(name(1, "UNITB") + "failed: unplugged at line ", 30000)) << station.Output();

    station.Signal(SIGTERM);
    const RunResult end = station.Wait();
    EXPECT_EQ(end.signal, SIGTERM) << end.out;
    EXPECT_EQ(devices[0]->Wire(), wireA) << "a unit done earlier is not woken";
    EXPECT_EQ(devices[2]->Wire(), "") << "a port that does not match is left alone";
    EXPECT_EQ(Query(db, "PRAGMA integrity_check"), "ok");
    const RunResult history = RunTorvex({}, Rack({"--history", db, "--json"}));
    Json rows;
    ASSERT_TRUE(ParseJson(history.out, &rows)) << history.out;
    ASSERT_EQ(rows.items.size(), 3u) << history.out;
    EXPECT_EQ(rows.items[0]["unit"].text, "UNITB");
    EXPECT_EQ(rows.items[0]["result"].text.substr(0, 19), "unplugged at line 8") << history.out;
    EXPECT_EQ(rows.items[1]["unit"].text, "UNITB");
    EXPECT_EQ(rows.items[1]["result"].text, "ERROR answered to AT+X at line 4");
    EXPECT_EQ(rows.items[2]["unit"].text, "UNITA");
    EXPECT_EQ(rows.items[2]["label"].text, "bay-1");
    EXPECT_TRUE(rows.items[2]["ok"].boolean);
    EXPECT_NE(ReadFile(rows.items[2]["transcript"].text).find(" -BAUD=19200"), std::string::npos);
    for (const Json& row : rows.items) {
        EXPECT_EQ(row["usb"].text, "0403:6001");
        // One transcript per run, named by its unit and its start.
        const std::string file = row["transcript"].text.substr(row["transcript"].text.rfind('/') + 1);
        EXPECT_TRUE(std::regex_match(file, std::regex(row["unit"].text + "-\\d{8}T\\d{6}Z\\.log"))) << file;
        EXPECT_FALSE(ReadTranscript(row["transcript"].text).Notes.empty());
    }
    // The summary covers the whole session.
    Json summary;
    ASSERT_TRUE(ParseJson(ReadFile(dir + "/station.json"), &summary)) << ReadFile(dir + "/station.json");
    EXPECT_EQ(summary["ports"].items.size(), 3u);
}

// Units connected one after another to a cable that stays on the bench: an
// identification run names each, Enter typed once asked for starts the next,
// and a key typed while a unit ran starts nothing.
TEST(Rack, StationIdentifiesEachUnitOnABenchCable)
{
    if (UnderWine()) {
        GTEST_SKIP() << "the station is a Linux feature";
    }
    Units units(1);
    PtyDevice& device = *units.devices[0];
    const char* const imei = "\r\n356938035643809\r\n\r\nOK\r\n";
    device.SetHandler(StandardDevice({{"AT+CGSN", imei}}));
    Tree t;
    t.Dir("dev");
    UsbAdapter(t, 0, "0403:6001", "CABLE1");
    const std::string dir = TempFolder();
    const std::string db = dir + "/units.db";
    const std::string identify = WriteScript("AT+CGSN\r\n");
    RunOptions options = Rack({"--watch", "--identify", identify, "--unit-id", "[0-9]{15}", "--record", db,
                               "--log-dir", dir + "/logs", "--json", dir + "/station.json",
                               WriteScript("ATI\r\n")});
    options.input = Stdin::Terminal;
    options.controllingTerminal = true;
    setenv("TORVEX_PORTS_ROOT", t.Root().c_str(), 1);
    RunningTorvex station({}, options);
    unsetenv("TORVEX_PORTS_ROOT");
    const std::string port = t.Root() + "/dev/ttyUSB0";
    const std::string invited = port + ": Enter starts the next unit\n";
    auto enter = [&] { ASSERT_EQ(write(station.TerminalFd(), "\r", 1), 1); };
    auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            n++;
        }
        return n;
    };

    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Plug(t, 0, "CABLE1", &device);
    ASSERT_TRUE(station.WaitForOutput("356938035643809 (" + port + "): ATI\n", 30000)) << station.Output();
    enter();  // typed while the unit runs: for no unit
    ASSERT_TRUE(station.WaitForOutput("356938035643809 (" + port + "): done: ok\n", 30000)) << station.Output();
    ASSERT_TRUE(station.WaitForOutput(invited, 10000)) << station.Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(count(device.Wire(), "AT+CGSN\r"), 1u) << "a key typed before the station asked started a unit";

    // The same unit again: named, and done. Then one whose answer names none.
    // Enter until what it starts has ended: its identification takes a settle.
    const auto enterUntil = [&](const std::string& ended) {
        return TypeUntil(station.TerminalFd(), "\r", [&](int ms) { return station.WaitForOutput(ended, ms); }, 8000, 5);
    };
    ASSERT_TRUE(enterUntil("356938035643809 (" + port + "): done earlier, at 20")) << station.Output();
    device.SetHandler(StandardDevice({{"AT+CGSN", "\r\nNO SIM\r\n\r\nOK\r\n"}}));
    for (int i = 0; i < 300 && count(station.Output(), invited) < 2; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(enterUntil("CABLE1 (" + port + "): failed: not identified: nothing in the answer to " + identify +
                           " matches [0-9]{15}\n"))
        << station.Output();

    station.Signal(SIGTERM);
    const RunResult end = station.Wait();
    EXPECT_EQ(end.signal, SIGTERM) << end.out;
    EXPECT_EQ(count(device.Wire(), "AT+CGSN\r"), 3u) << device.Wire();
    EXPECT_EQ(count(device.Wire(), "ATI\r"), 1u) << device.Wire();
    const RunResult history = RunTorvex({}, Rack({"--history", db, "--json"}));
    Json rows;
    ASSERT_TRUE(ParseJson(history.out, &rows)) << history.out;
    ASSERT_EQ(rows.items.size(), 2u) << history.out;
    EXPECT_EQ(rows.items[0]["unit"].text, "CABLE1");
    EXPECT_FALSE(rows.items[0]["ok"].boolean);
    // Its row, written when it named no unit, starts where the identification did: a settle before its end.
    auto clock = [](const std::string& t) {
        return t.size() < 23 ? 0.0 : std::stod(t.substr(11, 2)) * 3600 + std::stod(t.substr(14, 2)) * 60 +
                                         std::stod(t.substr(17, 6));
    };
    const double took = clock(rows.items[0]["ended"].text) - clock(rows.items[0]["started"].text);
    EXPECT_GE(took < 0 ? took + 86400 : took, 3.0) << history.out;
    EXPECT_EQ(rows.items[1]["unit"].text, "356938035643809");
    EXPECT_TRUE(rows.items[1]["ok"].boolean);
    EXPECT_EQ(rows.items[1]["usb"].text, "0403:6001");
    // The identification's transcript says which run it named the unit for.
    const std::string run = rows.items[1]["transcript"].text;
    std::vector<std::string> named;
    DIR* logs = opendir((dir + "/logs").c_str());
    for (struct dirent* e = logs != nullptr ? readdir(logs) : nullptr; e != nullptr; e = readdir(logs)) {
        if (std::regex_match(e->d_name, std::regex("CABLE1-\\d{8}T\\d{6}Z-identify\\.log"))) {
            named.push_back(dir + "/logs/" + e->d_name);
        }
    }
    if (logs != nullptr) {
        closedir(logs);
    }
    ASSERT_EQ(named.size(), 3u);
    std::sort(named.begin(), named.end());
    const std::vector<std::string> notes = ReadTranscript(named[0]).Notes;
    EXPECT_NE(std::find(notes.begin(), notes.end(), "the unit is 356938035643809: its run's transcript is " + run),
              notes.end())
        << named[0];
    // The reports count the units, not the identifications that named them.
    Json summary;
    ASSERT_TRUE(ParseJson(ReadFile(dir + "/station.json"), &summary)) << ReadFile(dir + "/station.json");
    EXPECT_EQ(summary["ports"].items.size(), 2u);
}

}  // namespace
