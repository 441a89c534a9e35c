// torvex-rack on a terminal of its own: the live view, prompts answered only
// by keys typed after they were shown, Ctrl-Z and going on, and the summary
// cut to the terminal's width.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rack_support.h"
#include "support/fake_tree.h"
#include "support/run_program.h"
#include "support/standard_device.h"

namespace {

// The rack on a terminal of its own, 200 columns wide unless asked, in a UTF-8 locale.
struct TerminalRack {
    pid_t pid = -1;
    int master = -1;
    int slave = -1;
    struct termios initial = {};  // the terminal's settings before the rack starts
    std::string out;

    // noColor: NO_COLOR as the rack finds it, or unset.
    explicit TerminalRack(const std::vector<std::string>& args, const char* noColor = nullptr,
                          unsigned short columns = 200)
    {
        struct winsize size = {};
        size.ws_col = columns;
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
            // Not the master: a rack left behind by a killed test then hears its terminal hang up.
            close_range(3, ~0U, 0);
            unsetenv("LC_ALL");
            unsetenv("LC_CTYPE");
            setenv("LANG", "C.UTF-8", 1);
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

// Waits until the transcript holds the note; false after ms.
bool WaitForNote(const std::string& path, const std::string& note, int ms)
{
    for (int waited = 0; waited < ms; waited += 20) {
        const std::vector<std::string> notes = ReadTranscript(path).Notes;
        if (std::find(notes.begin(), notes.end(), note) != notes.end()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

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
    const std::vector<Rule> asks = {{"ATI", "\r\nASK\r\nOK\r\n"}};
    Units units(3, asks);
    auto& devices = units.devices;
    const std::vector<std::string>& ports = units.ports;
    devices[0]->SetHandler(StandardDevice({{"ATI", "\r\n\x1b[31mred\r\nOK\r\n"}, {"AT+X", "\r\nOK\r\n", 1500}}));
    // The third unit's answer before its prompt waits for the test (well within the run's 12.7 s
    // read), its echo too, so that the run reads the answer as it came at once.
    auto held = std::make_shared<std::atomic<bool>>(true);
    const LineHandler asking = StandardDevice(asks);
    devices[2]->SetHandler([held, asking](PtyDevice& device, const std::string& line) {
        if (line == "ATI") {
            for (int waited = 0; *held && waited < 20000; waited += 10) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            device.Send("ATI\r");
        }
        asking(device, line);
        device.SetEcho(false);  // after the wake-up's
    });
    const std::string dir = TempFolder();
    std::vector<std::string> args = {RackExe(), WriteScript(RackScript), "--log-dir", dir + "/logs", "--json",
                                     dir + "/rack.json"};
    args.insert(args.end(), ports.begin(), ports.end());
    // A port whose result, whole, would not fit on the terminal.
    const std::string missing = dir + "/no-such-port";
    args.push_back(missing);
    TerminalRack rack(args);
    // A terminal of 80 columns with NO_COLOR set: no colour, though units fail;
    // two units ask at once; a long name (as an adapter's by-id name is), a
    // label that leaves no letter for a file's name, and one of wide characters.
    Units both(2, asks);
    Units failing(3, {{"AT+X", ErrorReply}});
    const std::string byId = dir + "/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    ASSERT_EQ(symlink(failing.ports[0].c_str(), byId.c_str()), 0);
    const std::string list = dir + "/ports.txt";
    const std::string wide = "\xE8\xA9\xA6\xE9\xA8\x93\xE5\x8F\xB0";  // three characters, two columns each
    std::ofstream(list) << both.ports[0] << "\n" << both.ports[1] << "\n" << byId << "\n" << failing.ports[1]
                        << " label=?*\n" << failing.ports[2] << " label=" << wide << "\n";
    TerminalRack plain({RackExe(), WriteScript(RackScript), "--log-dir", dir + "/plain", "--json", dir + "/plain.json",
                        "--ports-from", list},
                       "1", 80);

    ASSERT_TRUE(rack.WaitFor(ports[1] + " asks: Ready?  (press a key)", 20000)) << rack.out;
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
    ASSERT_TRUE(TypeUntil(rack.master, "y", [&](int ms) {
        return WaitForNote(PtyTranscript(dir + "/logs", 2, ports[1]), "key y answers the prompt at line 8", ms);
    }, 2000, 5));
    // A key typed before the prompt was shown never answers it: typed while no
    // prompt is up, then the device answers and the prompt comes.
    ASSERT_EQ(write(rack.master, "n", 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    size_t mark = rack.out.size();
    *held = false;
    ASSERT_TRUE(rack.WaitFor(ports[2] + " asks: Ready?  (press a key)", 10000, mark)) << rack.out.substr(mark);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(ReadTranscript(PtyTranscript(dir + "/logs", 3, ports[2])).Console.find("ready\n"), std::string::npos);

    ASSERT_TRUE(plain.WaitFor(" asks: Ready?  (press a key)", 20000)) << plain.out;
    const std::string first = AskedPort(plain.out, 0);
    ASSERT_TRUE(first == both.ports[0] || first == both.ports[1]) << plain.out;
    const std::string second = first == both.ports[0] ? both.ports[1] : both.ports[0];
    const int firstN = first == both.ports[0] ? 1 : 2;
    const int secondN = 3 - firstN;
    // Both runs wait for a key; only one prompt is on the screen.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(plain.out.find(second + " asks: "), std::string::npos) << plain.out;
    // Typed ahead: the second y answers no prompt, since the second was not yet shown.
    mark = plain.out.size();
    ASSERT_EQ(write(plain.master, "yy", 2), 2);
    ASSERT_TRUE(plain.WaitFor(second + " asks: Ready?  (press a key)", 10000, mark)) << plain.out.substr(mark);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(ReadTranscript(PtyTranscript(dir + "/plain", secondN, second)).Console.find("ready\n"),
              std::string::npos);
    EXPECT_NE(ReadTranscript(PtyTranscript(dir + "/plain", firstN, first)).Console.find("\r\nready\n"),
              std::string::npos);
    ASSERT_EQ(write(plain.master, "n", 1), 1);

    // Ctrl-Z: the terminal as it was and the cursor shown while stopped, the runs stopped too.
    mark = rack.out.size();
    ASSERT_EQ(write(rack.master, "\x1a", 1), 1);
    ASSERT_TRUE(rack.WaitStopped(20000)) << rack.out.substr(mark);
    EXPECT_TRUE(rack.WaitFor("\x1b[?25h", 10000, mark)) << rack.out.substr(mark);
    struct termios stopped;
    ASSERT_EQ(tcgetattr(rack.slave, &stopped), 0);
    EXPECT_EQ(stopped.c_lflag, rack.initial.c_lflag);
    // The run still asking is stopped; the others may have ended just before
    // (zombies until the rack goes on). SIGSTOP was sent before the rack
    // stopped, and takes hold when the child next runs.
    int stoppedRuns = 0;
    for (int child : ChildrenOf(rack.pid)) {
        for (int waited = 0; ProcessState(child) != 'T' && ProcessState(child) != 'Z' && waited < 10000;
             waited += 20) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(ProcessState(child) == 'T' || ProcessState(child) == 'Z') << child << " " << ProcessState(child);
        stoppedRuns += ProcessState(child) == 'T' ? 1 : 0;
    }
    EXPECT_GE(stoppedRuns, 1);
    // A key typed while stopped was typed for no prompt on the screen.
    ASSERT_EQ(write(rack.master, "n", 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    mark = rack.out.size();
    ASSERT_EQ(kill(rack.pid, SIGCONT), 0);
    ASSERT_TRUE(rack.WaitKeyMode(true, 20000));
    ASSERT_TRUE(rack.WaitFor(ports[2] + " asks: Ready?  (press a key)", 20000, mark)) << rack.out.substr(mark);
    EXPECT_TRUE(rack.WaitFor("\x1b[?25l", 10000, mark));
    for (int child : ChildrenOf(rack.pid)) {
        EXPECT_NE(ProcessState(child), 'T') << child;
    }
    // The key typed now answers, not the ones typed before the prompt was shown.
    ASSERT_TRUE(TypeUntil(rack.master, "y", [&](int ms) {
        return WaitForNote(PtyTranscript(dir + "/logs", 3, ports[2]), "key y answers the prompt at line 8", ms);
    }, 2000, 5));
    const int status = rack.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << rack.out;
    EXPECT_EQ(WEXITSTATUS(status), 1) << rack.out;
    const Transcript asked = ReadTranscript(PtyTranscript(dir + "/logs", 3, ports[2]));
    EXPECT_NE(asked.Console.find("\r\nready\n"), std::string::npos) << asked.Console;
    const auto keyNotes = std::count_if(asked.Notes.begin(), asked.Notes.end(),
                                        [](const std::string& n) { return n.compare(0, 4, "key ") == 0; });
    EXPECT_EQ(keyNotes, 1);
    EXPECT_NE(std::find(asked.Notes.begin(), asked.Notes.end(), "key y answers the prompt at line 8"),
              asked.Notes.end());

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
    // The countdown is the most a silent device makes the wait last: #timeout 2
    // is one read of 12.7 s, and the wake-up's 15 s two of them.
    EXPECT_TRUE(std::regex_search(out, std::regex("waiting up to 1[0-3] s for the answer to AT\\+X"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("waking, up to 2[0-6] s left"))) << out;
    EXPECT_EQ(out.find("waiting 2 s"), std::string::npos) << out;
    // The last frame: one row per port, all done, none wider than the terminal.
    const std::string last = out.substr(0, shown);
    for (const std::string& port : ports) {
        const size_t row = last.rfind(port + " ");
        ASSERT_NE(row, std::string::npos) << port;
        const std::string line = last.substr(row, last.find("\x1b[K", row) - row);
        EXPECT_NE(line.find("[##########] \x1b[32mdone: ok\x1b[0m"), std::string::npos) << line;
        EXPECT_LT(line.size(), 200u);
    }
    // The summary: no row wider than the terminal, the long result whole, the
    // transcript's path cut in its middle, keeping the file's name.
    const std::string result = "port could not be opened: File not found opening " + missing + ".";
    const std::string summary = out.substr(shown);
    EXPECT_NE(summary.find("\n4 ports: 3 ok, 1 failed; transcripts in " + dir), std::string::npos) << summary;
    const std::string row = Row(summary, missing);
    EXPECT_NE(row.find("  \x1b[1;31m" + result + "  "), std::string::npos) << row;
    EXPECT_EQ(row.substr(row.size() - 22), "_no-such-port.log\x1b[0m\r") << row;
    EXPECT_NE(row.find("\u2026"), std::string::npos) << row;
    for (size_t at = 0, end; (end = summary.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = std::regex_replace(summary.substr(at, end - at), std::regex("\x1b\\[[0-9;]*m"), "");
        // The terminal turns each line feed into CR LF.
        const auto columns =
            std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80 && c != '\r'; });
        EXPECT_LT(columns, 200) << line;
    }

    // Each prompt's key and when it came, in the transcript and the JSON: the
    // key's note after the prompt's text, the times never going back.
    for (const std::string& log :
         {PtyTranscript(dir + "/logs", 2, ports[1]), PtyTranscript(dir + "/logs", 3, ports[2])}) {
        const std::string text = ReadFile(log);
        const size_t prompt = text.find(" | Ready?\n");
        EXPECT_NE(prompt, std::string::npos) << text;
        EXPECT_LT(prompt, text.find(" # key ")) << text;
        EXPECT_TRUE(ReadTranscript(log).InOrder) << text;
    }
    Json json;
    ASSERT_TRUE(ParseJson(ReadFile(dir + "/rack.json"), &json)) << ReadFile(dir + "/rack.json");
    ASSERT_EQ(json["ports"].items.size(), 4u);
    EXPECT_EQ(json["ports"].items[3]["result"].text, result);
    EXPECT_EQ(json["ports"].items[0]["prompts"].items.size(), 0u);
    for (int n : {1, 2}) {
        const Json& prompts = json["ports"].items[n]["prompts"];
        ASSERT_EQ(prompts.items.size(), 1u) << n;
        EXPECT_EQ(prompts.items[0]["line"].number, 8);
        EXPECT_EQ(prompts.items[0]["key"].text, "y");
        EXPECT_TRUE(prompts.items[0]["keyboard"].boolean);
        EXPECT_EQ(prompts.items[0]["time"].text.size(), 24u);
    }

    const int plainStatus = plain.Wait();
    EXPECT_TRUE(WIFEXITED(plainStatus) && WEXITSTATUS(plainStatus) == 1) << plain.out;
    EXPECT_NE(ReadTranscript(PtyTranscript(dir + "/plain", secondN, second)).Console.find("\r\nnot ready\n"),
              std::string::npos);
    EXPECT_EQ(plain.out.find("\x1b[?25l"), 0u) << "a live view: " << plain.out;
    const std::string plainSummary = plain.out.substr(std::min(plain.out.rfind("\x1b[?25h"), plain.out.size()));
    EXPECT_NE(plainSummary.find("\n5 ports: 2 ok, 3 failed; transcripts in " + dir), std::string::npos) << plainSummary;
    // The result has its room first; the long name is cut in its middle, keeping its end.
    const std::string failed = "  ERROR answered to AT+X at line 4  ";
    // Columns on the terminal: the wide label's characters take two each.
    auto columns = [&](const std::string& text) {
        size_t n = 0;
        for (char c : text) {
            n += (c & 0xC0) != 0x80 && c != '\r' ? 1 : 0;
        }
        return n + (text.find(wide) != std::string::npos ? 3 : 0);
    };
    std::string cutRow;
    for (size_t at = plainSummary.find('\n') + 1, end; (end = plainSummary.find('\n', at)) != std::string::npos;
         at = end + 1) {
        const std::string line = plainSummary.substr(at, end - at);
        EXPECT_LT(columns(line), 80u) << line;
        if (cutRow.empty() && line.compare(0, 6, byId, 0, 6) == 0) {
            cutRow = line;
        }
    }
    EXPECT_EQ(cutRow.find(byId.substr(0, 6) + "\u2026" + byId.substr(byId.size() - 14) + failed), 0u) << plainSummary;
    const std::string fallbackRow = Row(plainSummary, "?* (" + failing.ports[1] + ")");
    const std::string wideRow = Row(plainSummary, wide + " (" + failing.ports[2] + ")");
    ASSERT_NE(fallbackRow.find(failed), std::string::npos) << plainSummary;
    ASSERT_NE(wideRow.find(failed), std::string::npos) << plainSummary;
    // The results line up.
    EXPECT_EQ(columns(wideRow.substr(0, wideRow.find(failed))), columns(cutRow.substr(0, cutRow.find(failed))));
    EXPECT_EQ(columns(fallbackRow.substr(0, fallbackRow.find(failed))), columns(cutRow.substr(0, cutRow.find(failed))));
    // A transcript's name keeps what a file's name may hold; one with nothing left takes the port's.
    Json named;
    ASSERT_TRUE(ParseJson(ReadFile(dir + "/plain.json"), &named));
    ASSERT_EQ(named["ports"].items.size(), 5u);
    std::string kept = byId.substr(1, 77);
    std::replace(kept.begin(), kept.end(), '/', '_');
    std::string fallback = failing.ports[1].substr(1);
    std::replace(fallback.begin(), fallback.end(), '/', '_');
    EXPECT_EQ(named["ports"].items[2]["transcript"].text, dir + "/plain/03-" + kept + ".log");
    EXPECT_EQ(named["ports"].items[3]["transcript"].text, dir + "/plain/04-" + fallback + ".log");
    EXPECT_EQ(named["ports"].items[4]["transcript"].text, dir + "/plain/05-" + wide + ".log");
    for (const char* sgr : {"\x1b[32m", "\x1b[1;31m", "\x1b[0m"}) {
        EXPECT_EQ(plain.out.find(sgr), std::string::npos) << plain.out;
    }
}

// Output stopped with Ctrl-S holds the rack's console and nothing else: the
// run still ends at its time limit, and the rack ends in a bounded time.
TEST(Rack, ConsoleStoppedWithCtrlSHoldsNoRun)
{
    if (UnderWine()) {
        GTEST_SKIP() << "the Windows build has its own rack test";
    }
    Units units(1);
    const std::string dir = TempFolder();
    TerminalRack rack({RackExe(), WriteScript("ATI\r\n#wait 60\r\n"), "--unit-timeout", "6", "--log-dir",
                       dir + "/logs", "--json", dir + "/rack.json", units.ports[0]});
    ASSERT_TRUE(rack.WaitFor(units.ports[0], 10000)) << rack.out;
    ASSERT_EQ(write(rack.master, "\x13", 1), 1);
    const auto stopped = std::chrono::steady_clock::now();
    EXPECT_TRUE(WaitPortReleased(*units.devices[0], 12000));
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(rack.pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() - stopped < std::chrono::seconds(40)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(ended, rack.pid) << "the rack waited on its stopped terminal";
    rack.pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(25));
    Json json;
    ASSERT_TRUE(ParseJson(ReadFile(dir + "/rack.json"), &json));
    EXPECT_EQ(json["ports"].items[0]["result"].text, "timed out after 6 s at line 2: #wait 60");
    ASSERT_EQ(write(rack.master, "\x11", 1), 1);
}

// The station on a terminal: its units' rows above its own line, a unit it
// does not run said in a row of its own, and Enter asked for on that line for
// the next unit on a bench cable.
TEST(Rack, StationOnATerminalShowsItsUnitsAndAsksForEnter)
{
    if (UnderWine()) {
        GTEST_SKIP() << "the station is a Linux feature";
    }
    Units units(1);
    PtyDevice& device = *units.devices[0];
    device.SetHandler(StandardDevice({{"AT+CGSN", "\r\n356938035643809\r\n\r\nOK\r\n"}}));
    Tree t;
    t.Dir("dev");
    UsbAdapter(t, 0, "0403:6001", "CABLE1");
    const std::string dir = TempFolder();
    setenv("TORVEX_PORTS_ROOT", t.Root().c_str(), 1);
    TerminalRack rack({RackExe(), "--watch", "--identify", WriteScript("AT+CGSN\r\n"), "--unit-id", "[0-9]{15}",
                       "--log-dir", dir + "/logs", WriteScript("ATI\r\n")});
    unsetenv("TORVEX_PORTS_ROOT");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Plug(t, 0, "CABLE1", &device);
    const std::string row = "356938035643809 (" + t.Root() + "/dev/ttyUSB0)";
    ASSERT_TRUE(rack.WaitFor("waiting for units; today 1 ok, 0 failed; Enter starts the next unit", 40000))
        << rack.out;
    EXPECT_NE(rack.out.find("\x1b[32mdone: ok\x1b[0m"), std::string::npos) << rack.out;
    EXPECT_NE(rack.out.find(row), std::string::npos) << rack.out;
    const size_t from = rack.out.size();
    ASSERT_TRUE(TypeUntil(rack.master, "\r", [&](int ms) { return rack.WaitFor("identifying: ", ms, from); }, 2000, 15))
        << rack.out.substr(from);
    ASSERT_TRUE(rack.WaitFor("done earlier, at this session", 30000, from)) << rack.out.substr(from);
    kill(rack.pid, SIGTERM);
    const int status = rack.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << rack.out.substr(from);
}

}  // namespace
