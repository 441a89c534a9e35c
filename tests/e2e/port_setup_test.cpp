// The program's port setup, seen from the device's end of the line.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "support/pty_device.h"
#include "support/run_program.h"

namespace {

const std::string WakeUp = "AT^QESCAT^QESC=1\n\r";

TEST(PortSetup, LeavesRawEightNoneOneAtTheChosenSpeed)
{
    PtyDevice device;
    device.SetHandler(Rules({{"AT^QESCAT^QESC=1", "\r\nOK\r\n"}}));
    // A real port may come with any of these on (a UART opens with IXON, ICRNL,
    // OPOST, ICANON and ECHO), so the line starts with every one of them set:
    // what is clear afterwards is what the program cleared. A pseudo-terminal
    // keeps eight bits, no parity and the receiver on by itself.
    const tcflag_t iflags = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK;
    const tcflag_t lflags = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
    const tcflag_t cflags = CSTOPB | CRTSCTS | HUPCL;
    struct termios before = device.Settings();
    before.c_iflag |= iflags;
    before.c_oflag |= OPOST;
    before.c_lflag |= lflags;
    before.c_cflag = (before.c_cflag | cflags) & ~static_cast<tcflag_t>(CLOCAL);
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    ASSERT_EQ(tcsetattr(device.MasterFd(), TCSANOW, &before), 0);
    before = device.Settings();
    ASSERT_EQ(before.c_iflag & iflags, iflags);
    ASSERT_EQ(before.c_oflag & OPOST, static_cast<tcflag_t>(OPOST));
    ASSERT_EQ(before.c_lflag & lflags, lflags);
    ASSERT_EQ(before.c_cflag & (cflags | CLOCAL), cflags);
    ASSERT_EQ(cfgetospeed(&before), static_cast<speed_t>(B9600));

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
    // Wine maps the rest from the control block its own way (an RTS handshake becomes CRTSCTS).
    if (!UnderWine()) {
        EXPECT_EQ(tio.c_iflag & iflags, 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_lflag & lflags, 0u);
        EXPECT_EQ(tio.c_cflag & cflags, 0u);
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
    // Anyone may open the line, so only its being in use can refuse the second program.
    ASSERT_EQ(chmod(device.SlavePath().c_str(), 0666), 0);
    RunningTorvex first({ScriptArg(WriteScript("")), port});
    ASSERT_TRUE(device.WaitForWire(WakeUp, 30000));  // first holds the port now
    EXPECT_TRUE(device.Exclusive());
    // Root passes over exclusive use; a user does not.
    for (const bool unprivileged : {false, true}) {
        RunOptions options;
        options.unprivileged = unprivileged;
        const RunResult second = RunTorvex({"script.txt", port}, options);
        EXPECT_EQ(second.status, 3) << unprivileged;
        EXPECT_EQ(second.out, "Access denied opening " + port.substr(6) + ".\n") << unprivileged;
    }
    first.Signal(SIGKILL);
}

TEST(PortSetup, ComNameIsTheMatchingTtySAndReportsItsOwnOpenError)
{
    if (UnderWine()) {
        GTEST_SKIP() << "Windows opens COM names itself";
    }
    PtyDevice device;
    device.SetHandler(Rules({{"AT^QESCAT^QESC=1", "\r\nOK\r\n"}}, "\r\nOK\r\n"));
    RunOptions asTtyS4;
    asTtyS4.ttyS = 4;
    asTtyS4.ttySTarget = device.SlavePath();
    const RunResult result = RunTorvex({WriteScript("ATZ\r\n"), "-PORT=COM5"}, asTtyS4);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Got \"AT^QESC=1, OK\"\nATZ\r\nGot \"OK\"\n");
    EXPECT_TRUE(device.WaitForWire(WakeUp + "ATZ\r", 10000));
    // A port the user may not open is not missing, by its path or by its COM name.
    ASSERT_EQ(chmod(device.SlavePath().c_str(), 0600), 0);
    RunOptions user;
    user.unprivileged = true;
    asTtyS4.unprivileged = true;
    for (const bool byCom : {true, false}) {
        const std::string name = byCom ? "COM5" : device.SlavePath();
        const RunResult denied = RunTorvex({"script.txt", "-PORT=" + name}, byCom ? asTtyS4 : user);
        EXPECT_EQ(denied.status, 3) << name;
        EXPECT_EQ(denied.out, "Access denied opening " + name + ".\n");
    }
    asTtyS4.unprivileged = false;
    const RunResult other = RunTorvex({"script.txt", "-PORT=COM6"}, asTtyS4);
    EXPECT_EQ(other.out, "File not found opening COM6.\n");
}

}  // namespace
