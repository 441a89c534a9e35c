// Ports on other machines: the real program against a real ser2net on 127.0.0.1,
// whose device is a pseudo-terminal played by the test. A run through ser2net
// must print and send exactly what the same run on a local port does.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "hostile_server.h"
#include "support/pty_device.h"
#include "support/run_program.h"
#include "support/ser2net.h"
#include "support/standard_device.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string WakeUpLine = "AT^QESCAT^QESC=1";

// The clock command's date and time differ from run to run by the clock alone.
std::string WithoutTimes(const std::string& text)
{
    static const std::regex stamp("\\d{4}/\\d\\d/\\d\\d [ \\d]\\d:\\d\\d:\\d\\d");
    return std::regex_replace(text, stamp, "<time>");
}

// What reached the device once nothing more is on its way.
std::string QuietWire(const PtyDevice& device)
{
    std::string wire = device.Wire();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::string now = device.Wire();
        if (now == wire) {
            return wire;
        }
        wire = now;
    }
}

struct Case {
    const char* name;
    std::string script;
    LineHandler (*device)();
    bool socket;          // socket:// rather than rfc2217://
    int status;           // how both runs end
    std::string options;  // after the name: pyserial's options, which change nothing here
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

LineHandler Plain()
{
    return StandardDevice();
}

LineHandler WakeUpRetried()
{
    return StandardDevice({{WakeUpLine, ErrorReply, 0, 1}});
}

// An answer in two bursts more than a second apart: two reads, each shown.
LineHandler SplitAnswer()
{
    return [](PtyDevice& device, const std::string& line) {
        if (line == "AT+SPLIT") {
            device.Send("\r\n+CSQ: 2");
            std::this_thread::sleep_for(std::chrono::milliseconds(1400));
            device.Send("3,99\r\n\r\nOK\r\n");
        } else {
            StandardDevice({{"AT+SILENT", ""}})(device, line);
        }
    };
}

// Byte 255 and NUL in both directions.
LineHandler Binary()
{
    return StandardDevice({{"AT+BIN\xff", std::string("\r\n\xffOK\0\xff\r\n", 8)}});
}

const Case Cases[] = {
    {"PlainCommands", "AT\r\nAT+CSQ\r\n#if (>10) good\r\nAT+FAIL\r\n:good\r\nAT+DONE\r\n", Plain, false, 0, ""},
    {"ShorthandAndClock", "#debug\r\n^QRTC?\r\n#NZST\r\n^QRTC=\r\n", Plain, false, 0, ""},
    {"WakeUpRetry", "AT\r\n", WakeUpRetried, false, 0, "?ign_set_control&poll_modem&timeout=2.5&logging=debug"},
    {"SplitAnswerAndTimeOut", "#debug\r\nAT+SPLIT\r\n#timeout 2\r\nAT+SILENT\r\n", SplitAnswer, false, 1, ""},
    {"Bytes255AndNul", "#debug\r\nAT+BIN\xff\r\nAT\r\n", Binary, false, 0, ""},
    {"PlainSocket", "#debug\r\nAT+CSQ\r\nAT+BIN\xff\r\n", Binary, true, 0, "?logging=info"},
};

class SameAsLocal : public testing::TestWithParam<Case> {};

TEST_P(SameAsLocal, OutputAndDeviceBytes)
{
    const Case& c = GetParam();
    PtyDevice local;
    PtyDevice remote;
    local.SetHandler(c.device());
    remote.SetHandler(c.device());
    Ser2net server(remote.SlavePath());
    ASSERT_TRUE(server.Running());
    const std::string script = ScriptArg(WriteScript(c.script));
    // Side by side, so that both see the same clock.
    RunningTorvex onLocal({script, PortArg(local), "-BAUD=115200"});
    RunningTorvex onRemote({script, "-PORT=" + (c.socket ? server.Socket() : server.Rfc2217()) + c.options,
                           "-BAUD=115200"});
    const RunResult l = onLocal.Wait();
    const RunResult r = onRemote.Wait();
    EXPECT_EQ(WithoutTimes(r.out), WithoutTimes(l.out));
    EXPECT_EQ(l.status, c.status) << l.out;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(WithoutTimes(QuietWire(remote)), WithoutTimes(QuietWire(local)));
    EXPECT_NE(l.out, "");
}

INSTANTIATE_TEST_SUITE_P(Ser2net, SameAsLocal, testing::ValuesIn(Cases),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(Remote, SpeedReachesTheDevice)
{
    PtyDevice device;
    uint32_t speed = 0;
    device.SetHandler([&speed](PtyDevice& d, const std::string& line) {
        speed = d.Speed();
        StandardDevice()(d, line);
    });
    Ser2net server(device.SlavePath());
    ASSERT_TRUE(server.Running());
    const RunResult result = RunTorvex({ScriptArg(WriteScript("")), "-PORT=" + server.Rfc2217(), "-BAUD=57600"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, WakeUpGot);
    EXPECT_EQ(speed, 57600u);
}

// Linux and Windows numbers for the same failures.
std::string Number(long posix, long windows)
{
    return std::to_string(UnderWine() ? windows : posix);
}

const std::string ComPortRefused = "the server refused the COM port option (RFC 2217)\n";

// rfc2217:// to ser2net's plain TCP port: no telnet answers, so no COM port
// option once the wait for one ends. (A device that echoes would answer the
// offer with its own refusal.)
TEST(Remote, ServerWithoutTheComPortOptionFailsTheConfigureStep)
{
    PtyDevice device(false);
    Ser2net server(device.SlavePath());
    ASSERT_TRUE(server.Running());
    const std::string port = "rfc2217" + server.Socket().substr(std::string("socket").size());
    const Clock::time_point start = Clock::now();
    const RunResult result = RunTorvex({ScriptArg(WriteScript("AT\r\n")), "-PORT=" + port});
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 4.9);
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, "GetCommState failed error " + Number(25, 50) + ".\n" + ComPortRefused);
}

TEST(Remote, ServerKilledMidWaitEndsTheRunAsAReadFailure)
{
    PtyDevice device;
    device.SetHandler(StandardDevice({{"AT+SLOW", ""}}));
    Ser2net server(device.SlavePath());
    ASSERT_TRUE(server.Running());
    RunningTorvex run({ScriptArg(WriteScript("AT+SLOW\r\nAT\r\n")), "-PORT=" + server.Rfc2217()});
    ASSERT_TRUE(device.WaitForWire("AT+SLOW\r", 30000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const Clock::time_point killed = Clock::now();
    server.Kill();
    const RunResult result = run.Wait();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - killed).count(), 2.0 + WineEndSeconds());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, WakeUpGot + "AT+SLOW\r\nReadFile error " + Number(104, 10054) + "\n");
}

// A listener that never accepts, its queue full: the next connect hangs.
class Unanswering {
public:
    Unanswering()
    {
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bind(listener_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
        listen(listener_, 0);
        getsockname(listener_, reinterpret_cast<struct sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        for (int& fd : queued_) {
            fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ~Unanswering()
    {
        for (int fd : queued_) {
            close(fd);
        }
        close(listener_);
    }
    Unanswering(const Unanswering&) = delete;
    Unanswering& operator=(const Unanswering&) = delete;
    int Port() const { return port_; }

private:
    int listener_ = -1;
    int queued_[3] = {-1, -1, -1};
    int port_ = 0;
};

TEST(Remote, OpenFailures)
{
    const std::string script = ScriptArg(WriteScript("AT\r\n"));
    RunResult result;
    for (const char* host : {"127.0.0.1", "[::1]"}) {
        const std::string refused = std::string("rfc2217://") + host + ":" + std::to_string(FreeTcpPort());
        result = RunTorvex({script, "-PORT=" + refused});
        EXPECT_EQ(result.status, 3);
        EXPECT_EQ(result.out, "Error " + Number(111, 10061) + " opening port " + refused + ".\n");
    }
    result = RunTorvex({script, "-PORT=Socket://no-such-host.invalid:7001"});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, "File not found opening Socket://no-such-host.invalid:7001.\n");
    // A connect that hangs gives up after 5 s.
    const Unanswering server;
    const std::string hangs = "RFC2217://127.0.0.1:" + std::to_string(server.Port());
    const Clock::time_point start = Clock::now();
    result = RunTorvex({script, "-PORT=" + hangs});
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, "Error " + Number(110, 10060) + " opening port " + hangs + ".\n");
    EXPECT_GE(seconds, 4.9);
    EXPECT_LT(seconds, 8.0 + WineStartSeconds());
}

TEST(Remote, SecondClientRefusedWhileTheFirstHoldsThePort)
{
    PtyDevice device;
    device.SetHandler(StandardDevice({{"AT+SLOW", ""}}));
    Ser2net server(device.SlavePath());
    ASSERT_TRUE(server.Running());
    RunningTorvex first({ScriptArg(WriteScript("#timeout 30\r\nAT+SLOW\r\n")), "-PORT=" + server.Rfc2217()});
    ASSERT_TRUE(device.WaitForWire("AT+SLOW\r", 30000));
    for (const std::string& port : {server.Rfc2217(), server.Socket()}) {
        const RunResult second = RunTorvex({ScriptArg(WriteScript("AT\r\n")), "-PORT=" + port});
        EXPECT_EQ(second.status, 3);
        EXPECT_EQ(second.out, "Access denied opening " + port + ".\n");
    }
    EXPECT_TRUE(first.Running());
    first.Signal(SIGTERM);
    first.Wait();
}

// Malformed names keep the open message and say what is wrong on a line of
// their own; nothing is connected to. Options pyserial does not document are refused.
TEST(Remote, MalformedNamesSayWhatIsWrong)
{
    const struct {
        const char* name;
        const char* problem;
    } rows[] = {
        {"rfc2217://127.0.0.1", "no \":PORT\" after the host"},
        {"rfc2217://[::1]", "no \":PORT\" after the host"},
        {"rfc2217://127.0.0.1:0", "the port number must be 1 to 65535"},
        {"socket://127.0.0.1:65536", "the port number must be 1 to 65535"},
        {"rfc2217://127.0.0.1:70x", "the port number must be 1 to 65535"},
        {"socket://:7001", "no host before the port"},
        {"rfc2217://[]:7001", "no host before the port"},
        {"rfc2217://127.0.0.1:7001/dev/ttyS0", "nothing may follow the port number but ?options"},
        {"socket://127.0.0.1:7001/", "nothing may follow the port number but ?options"},
        {"rfc2217://[::1:7001", "a \"[\" address needs its \"]\""},
        {"rfc2217://::1:7001", "an IPv6 address goes in \"[\" and \"]\""},
        {"rfc2217://127.0.0.1:7001?baudrate=9600",
         "no option \"baudrate=9600\" for rfc2217://: it takes ign_set_control, poll_modem, timeout=N and logging=LEVEL"},
        {"rfc2217://127.0.0.1:7001?logging=loud",
         "no option \"logging=loud\" for rfc2217://: it takes ign_set_control, poll_modem, timeout=N and logging=LEVEL"},
        {"socket://127.0.0.1:7001?logging=info&ign_set_control",
         "no option \"ign_set_control\" for socket://: it takes logging=LEVEL"},
        {"rfc2217://127.0.0.1:7001?timeout=0", "timeout= takes seconds, more than 0 and at most 3600"},
        {"rfc2217://127.0.0.1:7001?timeout=3601", "timeout= takes seconds, more than 0 and at most 3600"},
    };
    const std::string script = ScriptArg(WriteScript("AT\r\n"));
    for (const auto& row : rows) {
        const RunResult result = RunTorvex({script, std::string("-PORT=") + row.name});
        EXPECT_EQ(result.status, 3) << row.name;
        EXPECT_EQ(result.out, std::string("File not found opening ") + row.name + ".\n" + row.problem + "\n");
    }
}

// The peak memory of a run, sampled until it ends; -1 under Wine, where the
// process also holds Wine's own runtime and its memory says little about the program.
long PeakKiB(const RunningTorvex& run)
{
    long peak = -1;
    while (run.Running()) {
        if (!UnderWine()) {
            peak = std::max(peak, ProcessStatusKiB(run.Pid(), "VmHWM"));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return peak;
}

// The sanitizers' shadow memory is not the program's: there the bound only
// tells bounded from growing.
#ifdef TORVEX_SANITIZED
const long MemoryBoundKiB = 64 * 1024;
#else
const long MemoryBoundKiB = 8 * 1024;
#endif
// Wine takes its time to start a program.
double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A server that floods from the moment it accepts, and never speaks telnet:
// the configure step ends at its 5 s limit, in bounded memory.
TEST(HostileServer, FloodFromAcceptEndsAtTheConfigureLimitInBoundedMemory)
{
    HostileServer server(HostileServer::Kind::FloodFromAccept, false);
    RunningTorvex run({ScriptArg(WriteScript("AT\r\n")), "-PORT=" + server.Name("rfc2217")});
    const long peak = PeakKiB(run);
    const RunResult result = run.Wait();
    const double seconds = SecondsSince(run.Started());
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, "GetCommState failed error " + Number(25, 50) + ".\n" + ComPortRefused);
    EXPECT_GE(seconds, 4.9);
    EXPECT_LT(seconds, 7.0 + WineStartSeconds());
    EXPECT_GT(server.Flooded(), 1u << 20);
    EXPECT_LE(peak, MemoryBoundKiB);
}

// socket:// keeps the start of a flood that comes while it opens, for the first
// read, and says how much more it dropped. The server goes after a second.
TEST(HostileServer, FloodWhileOpeningSocketIsCutAndCounted)
{
    HostileServer server(HostileServer::Kind::FloodFromAccept, false, 1000);
    RunningTorvex run({ScriptArg(WriteScript("AT\r\n")), "-PORT=" + server.Name("socket")});
    const long peak = PeakKiB(run);
    const RunResult result = run.Wait();
    std::smatch dropped;
    ASSERT_TRUE(std::regex_search(result.out, dropped,
                                  std::regex("^([1-9][0-9]*) bytes that came before the port was ready were dropped\\.\n")))
        << result.out.substr(0, 200);
    EXPECT_LE(std::stoull(dropped[1]), server.Flooded() - 4096);
    EXPECT_EQ(result.status, 1);
    EXPECT_LT(SecondsSince(run.Started()), 8.0 + WineStartSeconds());
    EXPECT_LE(peak, MemoryBoundKiB);
}

// A port that configures and wakes as it should, then floods: the command's
// own time-out ends the run, in bounded memory, on either kind of port.
TEST(HostileServer, FloodAfterConfigureEndsAtTheScriptsTimeOut)
{
    for (const bool telnet : {true, false}) {
        HostileServer server(HostileServer::Kind::FloodAfterConfigure, telnet);
        RunningTorvex run({ScriptArg(WriteScript("#timeout 3\r\nAT\r\n")),
                           "-PORT=" + server.Name(telnet ? "rfc2217" : "socket")});
        const long peak = PeakKiB(run);
        const RunResult result = run.Wait();
        const double seconds = SecondsSince(run.Started());
        EXPECT_EQ(result.status, 1) << telnet;
        EXPECT_EQ(result.out, "Got \"OK\"\nAT\r\nTimed out waiting for \"OK\"\n");  // a device that does not echo
        // 3 s before the wake-up, then the command's 3 s.
        EXPECT_GE(seconds, 5.9);
        EXPECT_LT(seconds, 8.5 + WineStartSeconds());
        EXPECT_GT(server.Flooded(), 1u << 20);
        EXPECT_LE(peak, MemoryBoundKiB);
    }
}

// socket:// to a telnet server: said once, then the run goes on as before.
TEST(HostileServer, TelnetOnSocketIsNamed)
{
    HostileServer server(HostileServer::Kind::TelnetOnSocket, false);
    const std::string name = server.Name("socket");
    const RunResult result = RunTorvex({ScriptArg(WriteScript("AT\r\n")), "-PORT=" + name + "?logging=warning"});
    const std::string said = "The server speaks telnet: " + server.Name("rfc2217") +
                             "?logging=warning is the name to use.\n";
    EXPECT_EQ(result.status, 0);
    ASSERT_EQ(result.out.substr(0, said.size()), said);
    EXPECT_EQ(result.out.find("speaks telnet", said.size()), std::string::npos);
    const std::string end = "AT\r\nGot \"OK\"\n";
    ASSERT_GE(result.out.size(), end.size());
    EXPECT_EQ(result.out.substr(result.out.size() - end.size()), end);
}

}  // namespace
