// torvex-ports, the port lister: on Linux against a sysfs and /dev tree built
// here and read as its root, run as an unprivileged user; under Wine against
// the COM ports linked in the private prefix.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "rack_support.h"
#include "support/fake_tree.h"
#include "support/pty_device.h"
#include "support/run_program.h"

namespace {

// Each build puts torvex-ports in the tools folder beside the program.
std::string PortsExe()
{
    return CompanionExe("tools/torvex-ports");
}

// torvex-ports on the tree as a user in no group, so that each reason a
// port may not be opened shows; with stderrOnly, what it writes on standard error.
RunResult ListAsNobody(const Tree& tree, const std::vector<std::string>& args, bool stderrOnly = false)
{
    RunOptions options;
    options.command = {PortsExe()};
    options.command.insert(options.command.end(), args.begin(), args.end());
    options.unprivileged = true;
    options.closedStdout = stderrOnly;
    setenv("TORVEX_PORTS_ROOT", tree.Root().c_str(), 1);
    RunResult result = RunTorvex({}, options);
    unsetenv("TORVEX_PORTS_ROOT");
    return result;
}

TEST(Ports, ListsTheSerialHardwareOfASysfsTree)
{
    if (UnderWine()) {
        GTEST_SKIP() << "sysfs is read by the Linux build";
    }
    const group* dialout = getgrnam("dialout");
    if (geteuid() != 0 || dialout == nullptr) {
        GTEST_SKIP() << "needs root and a group dialout";
    }
    Tree t;
    // A 16550A on a PNP port, with the serial-base devices of newer kernels between.
    const std::string pnp = "sys/devices/pnp0/00:01";
    t.Link(pnp + "/driver", "sys/bus/pnp/drivers/serial");
    t.Link(pnp + "/00:01:0/driver", "sys/bus/serial-base/drivers/ctrl");
    t.Link(pnp + "/00:01:0/00:01:0.0/driver", "sys/bus/serial-base/drivers/port");
    t.File(pnp + "/00:01:0/00:01:0.0/tty/ttyS0/type", "4\n");
    t.Link(pnp + "/00:01:0/00:01:0.0/tty/ttyS0/device", pnp + "/00:01:0/00:01:0.0");
    t.Link("sys/class/tty/ttyS0", pnp + "/00:01:0/00:01:0.0/tty/ttyS0");
    t.File("dev/ttyS0", "", 0600);
    // A ttyS with no UART at its address.
    const std::string platform = "sys/devices/platform/serial8250";
    t.Link(platform + "/driver", "sys/bus/platform/drivers/serial8250");
    t.File(platform + "/tty/ttyS3/type", "0\n");
    t.Link(platform + "/tty/ttyS3/device", platform);
    t.Link("sys/class/tty/ttyS3", platform + "/tty/ttyS3");
    t.File("dev/ttyS3", "", 0666);
    // An FTDI adapter: a usb-serial port device under the USB interface.
    const std::string ftdi = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
    t.Usb(ftdi, {"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI"});
    t.Link(ftdi + "/1-1:1.0/driver", "sys/bus/usb/drivers/ftdi_sio");
    t.Link(ftdi + "/1-1:1.0/ttyUSB0/driver", "sys/bus/usb-serial/drivers/ftdi_sio");
    t.Link(ftdi + "/1-1:1.0/ttyUSB0/tty/ttyUSB0/device", ftdi + "/1-1:1.0/ttyUSB0");
    t.Link("sys/class/tty/ttyUSB0", ftdi + "/1-1:1.0/ttyUSB0/tty/ttyUSB0");
    t.File("dev/ttyUSB0", "", 0660, dialout->gr_gid);
    t.Link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "dev/ttyUSB0");
    // A CDC-ACM device: the tty hangs off the USB interface itself.
    const std::string acm = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    t.Usb(acm, {"2e8a", "000a", "Raspberry Pi", "Pico", "E660583883A74C2B"});
    t.Link(acm + "/1-2:1.0/driver", "sys/bus/usb/drivers/cdc_acm");
    t.Link(acm + "/1-2:1.0/tty/ttyACM0/device", acm + "/1-2:1.0");
    t.Link("sys/class/tty/ttyACM0", acm + "/1-2:1.0/tty/ttyACM0");
    t.File("dev/ttyACM0", "", 0666);
    t.Link("dev/serial/by-id/usb-Raspberry_Pi_Pico_E660583883A74C2B-if00", "dev/ttyACM0");
    // Ports beyond COM256, the last COM name torvex takes: ttyS300 has none.
    for (const std::string n : {"255", "300"}) {
        t.File(platform + "/tty/ttyS" + n + "/type", "4\n");
        t.Link(platform + "/tty/ttyS" + n + "/device", platform);
        t.Link("sys/class/tty/ttyS" + n, platform + "/tty/ttyS" + n);
        t.File("dev/ttyS" + n, "", 0666);
    }
    // An adapter whose strings hold terminal escapes and blanks, and that gives no product number.
    const std::string odd = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-3";
    t.File(odd + "/idVendor", "1a86\n");
    t.File(odd + "/manufacturer", "  \x1b[31mRed\x1b[0m\t \n");
    t.File(odd + "/product", "\x1b]0;title\x07" "Cable\xc2\x9b" "2J\n");
    t.File(odd + "/serial", " \x01""42 \n");
    t.Link(odd + "/1-3:1.0/ttyUSB1/driver", "sys/bus/usb-serial/drivers/ch341-uart");
    t.Link(odd + "/1-3:1.0/ttyUSB1/tty/ttyUSB1/device", odd + "/1-3:1.0/ttyUSB1");
    t.Link("sys/class/tty/ttyUSB1", odd + "/1-3:1.0/ttyUSB1/tty/ttyUSB1");
    t.File("dev/ttyUSB1", "", 0666);
    t.Link("dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0", "dev/ttyUSB1");  // no by-id: no serial number
    // Attributes that are not regular files: a FIFO nobody writes and /dev/zero;
    // and a DEL in a product name.
    const std::string fake = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-4";
    t.File(fake + "/manufacturer", "Acme\n");
    t.File(fake + "/product", "Cable\x7f\n");
    if (mkfifo((t.Root() + "/" + fake + "/idVendor").c_str(), 0644) != 0 ||
        symlink("/dev/zero", (t.Root() + "/" + fake + "/idProduct").c_str()) != 0) {
        FAIL() << "cannot make the FIFO or the link";
    }
    t.Link(fake + "/1-4:1.0/ttyUSB2/driver", "sys/bus/usb-serial/drivers/pl2303");
    t.Link(fake + "/1-4:1.0/ttyUSB2/tty/ttyUSB2/device", fake + "/1-4:1.0/ttyUSB2");
    t.Link("sys/class/tty/ttyUSB2", fake + "/1-4:1.0/ttyUSB2/tty/ttyUSB2");
    t.File("dev/ttyUSB2", "", 0666);
    // A pty: nothing behind it.
    t.File("sys/devices/virtual/tty/ptyp0/dev", "2:0\n");
    t.Link("sys/class/tty/ptyp0", "sys/devices/virtual/tty/ptyp0");
    t.File("dev/ptyp0", "", 0666);

    RunResult r = ListAsNobody(t, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "/dev/ttyACM0: cdc_acm, USB 2e8a:000a Raspberry Pi Pico, serial E660583883A74C2B, "
              "/dev/serial/by-id/usb-Raspberry_Pi_Pico_E660583883A74C2B-if00; you may open it\n"
              "/dev/ttyUSB0: ftdi_sio, USB 0403:6001 FTDI FT232R USB UART, serial A50285BI, "
              "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0; "
              "you may not open it: not in group dialout\n"
              "/dev/ttyUSB1: ch341-uart, USB vendor 1a86 (no product number) \\x1B[31mRed\\x1B[0m "
              "\\x1B]0;title\\aCable\\xC2\\x9B2J, serial \\x0142, /dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0; "
              "you may open it\n"
              "/dev/ttyUSB2: pl2303, USB (no vendor or product number) Acme Cable\\x7F; you may open it\n"
              "/dev/ttyS0 or COM1: 8250, 16550A UART; you may not open it: only root may open it\n"
              "/dev/ttyS255 or COM256: 8250, 16550A UART; you may open it\n"
              "/dev/ttyS300: 8250, 16550A UART; you may open it\n");
    r = ListAsNobody(t, {"--names"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "/dev/ttyACM0\n/dev/ttyUSB0\n/dev/ttyUSB1\n/dev/ttyUSB2\n/dev/ttyS0\n/dev/ttyS255\n/dev/ttyS300\n");
    // torvex-rack --all takes the ports the user may open, in the same order.
    const std::string logs = t.Root() + "/logs";
    t.Dir("logs");
    chmod(logs.c_str(), 0777);
    RunOptions rack;
    t.File("scripts/rack.txt", "ATI\r\n", 0644);
    rack.command = {RackExe(), "--all", t.Root() + "/scripts/rack.txt", "--log-dir", logs,
                    "--json", logs + "/rack.json"};
    rack.unprivileged = true;
    setenv("TORVEX_PORTS_ROOT", t.Root().c_str(), 1);
    r = RunTorvex({}, rack);
    unsetenv("TORVEX_PORTS_ROOT");
    EXPECT_EQ(r.status, 1) << r.out;  // the tree's ports are not on this machine
    Json json;
    ASSERT_TRUE(ParseJson(ReadFile(logs + "/rack.json"), &json)) << r.out;
    std::string ports;
    for (const Json& port : json["ports"].items) {
        ports += port["port"].text + "\n";
    }
    EXPECT_EQ(ports, "/dev/ttyACM0\n/dev/ttyUSB1\n/dev/ttyUSB2\n/dev/ttyS255\n/dev/ttyS300\n");
    // Each is named by its stable name: by-id, else by-path, else the port.
    std::string stable;
    for (const Json& port : json["ports"].items) {
        stable += port["stable_name"].text + "\n";
    }
    EXPECT_EQ(stable, "/dev/serial/by-id/usb-Raspberry_Pi_Pico_E660583883A74C2B-if00\n"
                      "/dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0\n/dev/ttyUSB2\n/dev/ttyS255\n"
                      "/dev/ttyS300\n");
    // --match picks from the same discovery, whether or not the user may open
    // the port: by serial number, vendor and product (any letter case), part
    // of the by-id name. The picks add up, each port once, in the same order.
    rack.command = {RackExe(), t.Root() + "/scripts/rack.txt", "--log-dir", logs + "/match", "--json",
                    logs + "/match.json", "--match", "by-id=FTDI_FT232R", "--match", "usb=2E8A:000a",
                    "--match", "serial=A50285BI"};
    setenv("TORVEX_PORTS_ROOT", t.Root().c_str(), 1);
    r = RunTorvex({}, rack);
    EXPECT_EQ(r.status, 1) << r.out;
    Json matched;
    ASSERT_TRUE(ParseJson(ReadFile(logs + "/match.json"), &matched)) << r.out;
    ports.clear();
    for (const Json& port : matched["ports"].items) {
        ports += port["port"].text + "\n";
    }
    EXPECT_EQ(ports, "/dev/ttyUSB0\n/dev/ttyACM0\n");
    const std::string ftdiId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    EXPECT_NE(Row(r.out, ftdiId).find("  port could not be opened: "), std::string::npos) << r.out;
    EXPECT_EQ(matched["ports"].items[0]["stable_name"].text, ftdiId);
    EXPECT_NE(matched["ports"].items[0]["transcript"].text.find("/01-dev_serial_by-id_usb-FTDI_FT232R_USB_UART_"
                                                                "A50285BI-if00-port0.log"),
              std::string::npos);

    // --dry-run: the units as they would run, a serial= line of a port list
    // (after a byte order mark) with its speed and a label shown as written on
    // a UTF-8 console; no port opened, nothing left behind.
    const std::string label = "\xD0\xA1\xD1\x82\xD0\xB5\xD0\xBD\xD0\xB4 3 <A>\x01\xFF";
    t.File("scripts/ports.txt", "\xEF\xBB\xBFserial=A50285BI -BAUD=115200 label=" + label + "\n/dev/ttyS300 label=bay 2\n");
    const std::vector<std::string> dry = {"sh", "-c", "exec env -u LC_ALL -u LC_CTYPE \"$@\" 2>&1", "sh"};
    rack.command = dry;
    for (const std::string& arg : std::vector<std::string>{"LANG=C.UTF-8", RackExe(), "--dry-run", t.Root() + "/scripts/rack.txt", "--log-dir",
                                  logs + "/dry", "--ports-from", t.Root() + "/scripts/ports.txt", "--match",
                                  "usb=2e8a:000a", "--junit", logs + "/dry.xml"}) {
        rack.command.push_back(arg);
    }
    r = RunTorvex({}, rack);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "torvex-rack would run " + t.Root() + "/scripts/rack.txt on 3 units:\n" +
                         "\xD0\xA1\xD1\x82\xD0\xB5\xD0\xBD\xD0\xB4 3 <A>\\x01\\xFF (" + ftdiId +
                         "): -PORT=/dev/ttyUSB0, 115200 bit/s, transcript 01-\xD0\xA1\xD1\x82\xD0\xB5\xD0\xBD\xD0\xB4 3 _A.log\n"
                         "bay 2 (/dev/ttyS300): -PORT=/dev/ttyS300, 9600 bit/s, torvex's default, transcript 02-bay 2.log\n"
                         "/dev/serial/by-id/usb-Raspberry_Pi_Pico_E660583883A74C2B-if00: -PORT=/dev/ttyACM0, 9600 bit/s, "
                         "torvex's default, transcript 03-dev_serial_by-id_usb-Raspberry_Pi_Pico_E660583883A74C2B-if00.log\n");
    EXPECT_NE(access((logs + "/dry").c_str(), F_OK), 0);
    EXPECT_NE(access((logs + "/dry.xml").c_str(), F_OK), 0);
    // Every reason it would not start, and the speed a raw network port cannot take; labels escaped
    // where the console does not show UTF-8.
    t.File("scripts/more.txt", "serial=A50285BI label=" + label + "\nsocket://[::ffff:127.0.0.1]:7010 -BAUD=9600\n");
    rack.command = dry;
    for (const std::string& arg : std::vector<std::string>{"LANG=C", RackExe(), "--dry-run", t.Root() + "/scripts/rack.txt", "--ports-from",
                                  t.Root() + "/scripts/more.txt", "/dev/ttyUSB0", "socket://127.0.0.1:7010"}) {
        rack.command.push_back(arg);
    }
    r = RunTorvex({}, rack);
    EXPECT_EQ(r.status, 2);
    const std::string escaped = "\\xD0\\xA1\\xD1\\x82\\xD0\\xB5\\xD0\\xBD\\xD0\\xB4 3 ";
    EXPECT_EQ(r.out, "torvex-rack: warning: " + t.Root() + "/scripts/more.txt:2: -BAUD=9600 cannot set the speed of "
                     "socket://[::ffff:127.0.0.1]:7010: the server's own speed holds\n"
                     "torvex-rack would run " + t.Root() + "/scripts/rack.txt on 4 units:\n"
                     "/dev/ttyUSB0: -PORT=/dev/ttyUSB0, 9600 bit/s, torvex's default, transcript 01-dev_ttyUSB0.log\n"
                     "socket://127.0.0.1:7010: -PORT=socket://127.0.0.1:7010, the server's own speed, "
                     "transcript 02-socket_127.0.0.1_7010.log\n" +
                     escaped + "<A>\\x01\\xFF (" + ftdiId + "): -PORT=/dev/ttyUSB0, 9600 bit/s, torvex's default, "
                     "transcript 03-" + escaped + "_A.log\n"
                     "socket://[::ffff:127.0.0.1]:7010: -PORT=socket://[::ffff:127.0.0.1]:7010, the server's own speed, "
                     "transcript 04-socket_[_ffff_127.0.0.1]_7010.log\n"
                     "torvex-rack: the port /dev/ttyUSB0 is named twice\n"
                     "torvex-rack: socket://127.0.0.1:7010 and socket://[::ffff:127.0.0.1]:7010 are the same port\n"
                     "torvex-rack: the rack would not start: 2 reasons\n");
    // Finding no port refuses the rack with its reason, before any unit is
    // woken, once each retry has looked again; CI reads it in the JUnit file,
    // and the JSON says the rack did not start.
    rack.command = {"sh", "-c", "exec \"$@\" 2>&1", "sh", RackExe(), t.Root() + "/scripts/rack.txt", "--log-dir",
                    logs + "/none", "--match", "usb=2e8a:000a", "--match", "serial=E660583883A74C2",
                    "--retries", "1", "--retry-wait", "1", "--junit", logs + "/none.xml", "--json", logs + "/none.json"};
    const auto looked = std::chrono::steady_clock::now();
    r = RunTorvex({}, rack);
    EXPECT_GE(std::chrono::steady_clock::now() - looked, std::chrono::seconds(1));
    EXPECT_EQ(r.status, 2);
    const auto unstarted = [&](const std::string& reason) {
        return "{\n  \"finished\": false,\n  \"reason\": \"the rack did not start: " + reason + "\",\n  \"script\": \"" +
               t.Root() + "/scripts/rack.txt\",\n  \"ports\": []\n}\n";
    };
    EXPECT_EQ(ReadFile(logs + "/none.json"), unstarted("no serial port found with serial=E660583883A74C2"));
    EXPECT_EQ(r.out, "torvex-rack: no serial port found with serial=E660583883A74C2; looking again in 1 s (attempt 2 "
                     "of 2)\ntorvex-rack: no serial port found with serial=E660583883A74C2\n");
    EXPECT_NE(access((logs + "/none").c_str(), F_OK), 0);
    EXPECT_EQ(JunitFaults(logs + "/none.xml"), "") << ReadFile(logs + "/none.xml");
    Json none;
    ASSERT_TRUE(ReadJunit(logs + "/none.xml", &none));
    EXPECT_EQ(none["attrib"]["errors"].text, "1");
    // The suite's properties, then the one testcase.
    ASSERT_EQ(none["children"].items.size(), 2u);
    const Json& unfound = none["children"].items[1];
    EXPECT_EQ(unfound["attrib"]["name"].text, "serial=E660583883A74C2");
    EXPECT_EQ(unfound["children"].items[0]["tag"].text, "error");
    EXPECT_EQ(unfound["children"].items[0]["attrib"]["message"].text, "no serial port found with serial=E660583883A74C2");
    // A unit plugged in while the rack looks again is found.
    t.Remove("sys/class/tty/ttyACM0");
    rack.command = {"sh", "-c", "exec \"$@\" 2>&1", "sh", RackExe(), t.Root() + "/scripts/rack.txt", "--log-dir",
                    logs + "/late", "--json", logs + "/late.json", "--match", "usb=2e8a:000a", "--retries", "5",
                    "--retry-wait", "1"};
    RunningTorvex late({}, rack);
    ASSERT_TRUE(late.WaitForOutput("looking again in 1 s (attempt 2 of 6)\n", 10000)) << late.Output();
    t.Link("sys/class/tty/ttyACM0", acm + "/1-2:1.0/tty/ttyACM0");
    r = late.Wait();
    unsetenv("TORVEX_PORTS_ROOT");
    EXPECT_EQ(r.status, 1) << r.out;
    Json found;
    ASSERT_TRUE(ParseJson(ReadFile(logs + "/late.json"), &found)) << r.out;
    ASSERT_EQ(found["ports"].items.size(), 1u);
    EXPECT_EQ(found["ports"].items[0]["port"].text, "/dev/ttyACM0");

    // Unplugged, and the 16550s gone: only the dead ttyS and the pty are left.
    for (const char* tty : {"ttyACM0", "ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyS0", "ttyS255", "ttyS300"}) {
        t.Remove(std::string("sys/class/tty/") + tty);
    }
    r = ListAsNobody(t, {"--names"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");  // nothing for xargs to run
    r = ListAsNobody(t, {}, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "torvex-ports: no serial ports found\n");
    // Nothing for --all: refused, and the reports say why.
    rack.command = {"sh", "-c", "exec \"$@\" 2>&1", "sh", RackExe(), "--all", t.Root() + "/scripts/rack.txt",
                    "--log-dir", logs + "/nothing", "--json", logs + "/nothing.json"};
    setenv("TORVEX_PORTS_ROOT", t.Root().c_str(), 1);
    r = RunTorvex({}, rack);
    unsetenv("TORVEX_PORTS_ROOT");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "torvex-rack: no usable serial ports found\n");
    EXPECT_EQ(ReadFile(logs + "/nothing.json"), unstarted("no usable serial ports found"));
    EXPECT_NE(access((logs + "/nothing").c_str(), F_OK), 0);
}

TEST(Ports, HelpVersionAndAWrongOption)
{
    RunOptions options;
    options.command = {PortsExe(), "--help"};
    if (UnderWine()) {
        options.command.insert(options.command.begin(), "wine");
    }
    RunResult r = RunTorvex({}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Usage: torvex-ports [--names]\n"
              "\n"
              "Lists the serial ports that torvex can use, one line each, adapters on USB\n"
              "first: the name to give torvex as -PORT=, the driver and, for USB, the\n"
              "vendor:product numbers, maker, product and serial number. No port is opened.\n"
              "\n"
              "  --names    print only the -PORT= value of each port, one a line\n"
              "  --help     show this text\n"
              "  --version  show the version\n"
              "\n"
              "Exit status: 0 ports were found, 1 none, 2 a wrong command line.\n");
    options.command.back() = "--version";
    r = RunTorvex({}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "torvex-ports " TORVEX_VERSION "\n");
    options.command.back() = "--name";
    options.closedStdout = true;
    r = RunTorvex({}, options);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "torvex-ports: unknown option --name\nTry 'torvex-ports --help'.\n");
}

TEST(Ports, ListsTheComPortsLinkedInTheWinePrefix)
{
    if (!UnderWine()) {
        GTEST_SKIP() << "the prefix's links are the Windows build's";
    }
    PtyDevice first;
    PtyDevice second;
    const std::string a = PortArg(first).substr(6);  // COMn after "-PORT="
    const std::string b = PortArg(second).substr(6);
    RunOptions options;
    options.command = {"wine", PortsExe()};
    RunResult r = RunTorvex({}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(a + ": linked in the Wine prefix\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(b + ": linked in the Wine prefix\n"), std::string::npos) << r.out;
    options.command.push_back("--names");
    r = RunTorvex({}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(("\n" + r.out).find("\n" + a + "\n"), std::string::npos) << r.out;
    EXPECT_NE(("\n" + r.out).find("\n" + b + "\n"), std::string::npos) << r.out;
}

}  // namespace
