// torvex-sim, the device simulator, played from here over its link: what
// its answers table makes it say, byte for byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "support/run_program.h"

namespace {

// Reads from fd until text has come or ms have passed; all that came.
std::string ReadUntil(int fd, const std::string& text, int ms)
{
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            char buf[256];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            got.append(buf, static_cast<size_t>(n));
        }
    }
    return got;
}

// A command that holds "=" gets an empty answer from a tab at its line's
// end, and stays silent: the next command's echo follows its own at once.
TEST(Sim, AnswersTableKeepsSilentToACommandWithEquals)
{
    if (UnderWine()) {
        GTEST_SKIP() << "torvex-sim is a POSIX program";
    }
    const std::string answers = WriteScript("AT+CFUN=1\t\r\nAT+CFUN=0\tOK|done\r\nATS0=\r\n");
    const std::string link = "/tmp/torvex-sim-test-" + std::to_string(getpid());
    RunOptions options;
    options.command = {CompanionExe("tools/torvex-sim"), "--link", link, "--answers", answers};
    RunningTorvex sim({}, options);
    ASSERT_TRUE(sim.WaitForOutput(link, 10000)) << sim.Output();
    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    struct termios raw;
    ASSERT_EQ(tcgetattr(fd, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &raw), 0);
    const std::string sent = "AT+CFUN=1\rATS0\rAT+CFUN=0\r";
    ASSERT_EQ(write(fd, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    EXPECT_EQ(ReadUntil(fd, "done\r\n", 10000), "AT+CFUN=1\rATS0\rAT+CFUN=0\r\r\nOK\r\n\r\ndone\r\n");
    close(fd);
    sim.Signal(SIGTERM);
    sim.Wait();
}

}  // namespace
