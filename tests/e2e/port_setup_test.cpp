// The program's port setup, seen from the device's end of the line.
#include <gtest/gtest.h>

#include "support/pty_device.h"
#include "support/run_program.h"

namespace {

const std::string WakeUp = "AT^QESCAT^QESC=1\n\r";

TEST(PortSetup, LeavesRawEightNoneOneAtTheChosenSpeed)
{
    PtyDevice device;
    device.SetHandler(Rules({{"AT^QESCAT^QESC=1", "\r\nOK\r\n"}}));
    const std::string script = WriteScript("");
    RunningTorvex run({ScriptArg(script), PortArg(device), "-BAUD=19200"});
    ASSERT_TRUE(device.WaitForWire(WakeUp, 30000));
    // The program is now waiting for its answer with the port as it set it.
    const struct termios tio = device.Settings();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    if (!UnderWine()) {
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    }
    const RunResult result = run.Wait();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Got \"AT^QESC=1, OK\"\n");
    EXPECT_EQ(device.Wire(), WakeUp);
}

TEST(PortSetup, SpeedOutsideTheStandardTable)
{
    if (UnderWine()) {
        GTEST_SKIP() << "Wine maps speeds through its own table";
    }
    PtyDevice device;
    device.SetHandler(Rules({{"AT^QESCAT^QESC=1", "\r\nOK\r\n"}}));
    RunningTorvex run({ScriptArg(WriteScript("")), PortArg(device), "-BAUD=250000"});
    ASSERT_TRUE(device.WaitForWire(WakeUp, 30000));
    EXPECT_EQ(device.Speed(), 250000u);
    EXPECT_EQ(run.Wait().status, 0);
}

TEST(PortSetup, SpeedZeroIsRefusedWithoutHangingUpTheLine)
{
    PtyDevice device;
    const std::string port = PortArg(device);
    const RunResult result = RunTorvex({"script.txt", port, "-BAUD=0"});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out.rfind("SetCommState failed error ", 0), 0u) << result.out;
    EXPECT_EQ(device.Wire(), "");
}

TEST(PortSetup, MissingPortIsFileNotFound)
{
    const std::string name = UnderWine() ? "COM199" : "/dev/no-such-port";
    const RunResult result = RunTorvex({"script.txt", "-PORT=" + name});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, "File not found opening " + name + ".\n");
}

TEST(PortSetup, EmptyPortNameFailsToOpen)
{
    const RunResult result = RunTorvex({"script.txt", "-PORT="});
    EXPECT_EQ(result.status, 3);
    const bool known = result.out == "File not found opening .\n" || result.out == "Access denied opening .\n" ||
                       result.out.rfind("Error ", 0) == 0;
    EXPECT_TRUE(known) << result.out;
}

TEST(PortSetup, RegularFileFailsAtGetCommState)
{
    if (UnderWine()) {
        GTEST_SKIP() << "a file is not a COM port name under Windows";
    }
    const std::string file = WriteScript("not a port");
    const RunResult result = RunTorvex({"script.txt", "-PORT=" + file});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, "GetCommState failed error 25.\n");  // ENOTTY
}

TEST(PortSetup, PortHeldByAnotherTorvexIsAccessDenied)
{
    if (UnderWine()) {
        GTEST_SKIP() << "Wine opens a COM port without any lock on the terminal behind it";
    }
    PtyDevice device;
    const std::string port = PortArg(device);
    RunningTorvex first({ScriptArg(WriteScript("")), port});
    ASSERT_TRUE(device.WaitForWire(WakeUp, 30000));  // first holds the port now
    const RunResult second = RunTorvex({"script.txt", port});
    EXPECT_EQ(second.status, 3);
    EXPECT_EQ(second.out, "Access denied opening " + port.substr(6) + ".\n");
    first.Signal(SIGKILL);
}

}  // namespace
