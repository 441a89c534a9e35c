// Opening the port, and how a read of the configured port returns: on a full
// count, after a quiet second once data has come, or at the total limit.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "support/open_port.h"

namespace {

using Clock = std::chrono::steady_clock;

class PortSetupFailure : public ::testing::Test {
protected:
    void SetUp() override { ResetProcessState(); }
    void TearDown() override { ResetProcessState(); }

    // SetupCommPort on name; answers what it printed.
    std::string Setup(const std::string& name, bool expected)
    {
        PortName = name.c_str();
        CommPort* port = nullptr;
        bool ok = !expected;
        const std::string out = CaptureStdout([&] { ok = SetupCommPort(&port); });
        EXPECT_EQ(ok, expected) << name;
        PortClose(port);
        return out;
    }
};

TEST_F(PortSetupFailure, MissingPathIsFileNotFound)
{
    EXPECT_EQ(Setup("/dev/torvex-no-such-port", false), "File not found opening /dev/torvex-no-such-port.\n");
}

TEST_F(PortSetupFailure, RegularFileIsRefusedByGetCommState)
{
    char path[] = "/tmp/torvex-not-a-port-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(Setup(path, false), "GetCommState failed error 25.\n");  // ENOTTY
    unlink(path);
}

TEST_F(PortSetupFailure, PortAlreadyOpenIsAccessDeniedUntilClosed)
{
    PtyDevice device;
    long err = 0;
    CommPort* first = nullptr;
    ASSERT_TRUE(PortOpen(device.SlavePath().c_str(), &first, &err)) << err;
    EXPECT_EQ(Setup(device.SlavePath(), false), "Access denied opening " + device.SlavePath() + ".\n");
    PortClose(first);
    EXPECT_EQ(Setup(device.SlavePath(), true), "");
}

class PortRead : public OpenPort {
protected:
    // One read of up to n bytes; *ms is how long it took.
    std::string Read(uint32_t n, long long* ms)
    {
        std::string buf(n, '\0');
        uint32_t got = 0;
        long err = 0;
        const auto start = Clock::now();
        EXPECT_TRUE(::PortRead(port_, &buf[0], n, &got, &err)) << err;
        *ms = MillisecondsSince(start);
        EXPECT_LE(got, n);
        buf.resize(got);
        return buf;
    }
};

TEST_F(PortRead, BurstIsGatheredUntilTheLineIsQuietForASecond)
{
    // The first byte comes later than the interval: the interval counts only between bytes.
    // The last bytes reach the port somewhere between these two times.
    Clock::time_point lastSending;
    Clock::time_point lastSent;
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        device_->Send("AB");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        lastSending = Clock::now();
        device_->Send("CD");
        lastSent = Clock::now();
    });
    long long ms = 0;
    const std::string got = Read(768, &ms);
    const auto end = Clock::now();
    device.join();
    EXPECT_EQ(got, "ABCD");
    const auto since = [&](Clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(end - t).count();
    };
    EXPECT_GE(since(lastSending), 1000);
    EXPECT_LE(since(lastSent), 1300);
}

TEST_F(PortRead, FullCountReturnsAtOnce)
{
    device_->Send("ABCDEF");
    long long ms = 0;
    EXPECT_EQ(Read(4, &ms), "ABCD");
    EXPECT_LT(ms, 300);
    EXPECT_EQ(Read(2, &ms), "EF");
    EXPECT_LT(ms, 300);
}

TEST_F(PortRead, SilentLineReturnsNothingAtTheTotalLimitWithoutSpinning)
{
    struct rusage before, after;
    getrusage(RUSAGE_THREAD, &before);
    long long ms = 0;
    EXPECT_EQ(Read(10, &ms), "");
    getrusage(RUSAGE_THREAD, &after);
    EXPECT_GE(ms, 5100 - 300);  // 5000 + 10 per byte asked for
    EXPECT_LE(ms, 5100 + 300);
    const auto cpuUs = [](const struct rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000LL + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
    };
    EXPECT_LT(cpuUs(after) - cpuUs(before), 50000);
}

TEST_F(PortRead, TotalLimitIsNotRestartedByEachByte)
{
    // A byte every 600 ms never leaves a quiet second, so only the total limit ends the read.
    std::atomic<bool> stop{false};
    std::thread device([&] {
        for (int i = 0; i < 12 && !stop; i++) {
            device_->Send("x");
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
        }
    });
    long long ms = 0;
    const std::string got = Read(10, &ms);
    stop = true;
    device.join();
    EXPECT_GE(ms, 5100 - 300);
    EXPECT_LE(ms, 5100 + 300);
    EXPECT_GE(got.size(), 7u);
    EXPECT_LE(got.size(), 9u);
    EXPECT_EQ(got, std::string(got.size(), 'x'));
}

}  // namespace
