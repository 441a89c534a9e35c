// Ports on other machines: the real program against a real ser2net on 127.0.0.1,
// whose device is a pseudo-terminal played by the test. A run through ser2net
// must print and send exactly what the same run on a local port does.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

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
    bool socket;  // socket:// rather than rfc2217://
    int status;   // how both runs end
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
    {"PlainCommands", "AT\r\nAT+CSQ\r\n#if (>10) good\r\nAT+FAIL\r\n:good\r\nAT+DONE\r\n", Plain, false, 0},
    {"ShorthandAndClock", "#debug\r\n^QRTC?\r\n#NZST\r\n^QRTC=\r\n", Plain, false, 0},
    {"WakeUpRetry", "AT\r\n", WakeUpRetried, false, 0},
    {"SplitAnswerAndTimeOut", "#debug\r\nAT+SPLIT\r\n#timeout 2\r\nAT+SILENT\r\n", SplitAnswer, false, 1},
    {"Bytes255AndNul", "#debug\r\nAT+BIN\xff\r\nAT\r\n", Binary, false, 0},
    {"PlainSocket", "#debug\r\nAT+CSQ\r\nAT+BIN\xff\r\n", Binary, true, 0},
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
    RunningTorvex onRemote({script, "-PORT=" + (c.socket ? server.Socket() : server.Rfc2217()), "-BAUD=115200"});
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
    EXPECT_EQ(result.out, "GetCommState failed error " + Number(25, 50) + ".\n");
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
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - killed).count(), 2.0);
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
    EXPECT_LT(seconds, 8.0);
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

}  // namespace
