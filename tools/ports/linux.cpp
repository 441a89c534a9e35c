// torvex-ports on Linux: the serial ports come from sysfs (/sys/class/tty, each
// tty's device, its driver and its USB parent) and /dev/serial/by-id; whether
// the user may open one comes from its device node. Nothing is opened, since
// opening a serial port raises DTR and can reset the device.
// TORVEX_PORTS_ROOT names a directory to read as if it were / (for tests).
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/com_range.h"
#include "ports.h"
#include "watch.h"

namespace {

// The first line of a sysfs attribute; empty when there is none. Regular
// files only, opened without waiting and read up to a page: a FIFO or a device
// node in their place (as under TORVEX_PORTS_ROOT) neither blocks nor floods.
std::string Attribute(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return "";
    }
    struct stat st;
    char buffer[4096];
    ssize_t n = 0;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        do {
            n = read(fd, buffer, sizeof buffer);
        } while (n < 0 && errno == EINTR);
    }
    close(fd);
    std::string value(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    value.erase(std::min(value.find('\n'), value.size()));
    while (!value.empty() && (value.back() == ' ' || value.back() == '\r')) {
        value.pop_back();
    }
    return value;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string Link(const std::string& path)
{
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

std::string RealPath(const std::string& path)
{
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        return "";
    }
    std::string result = real;
    free(real);
    return result;
}

std::string Child(const std::string& dir, const std::string& name)
{
    std::string path = dir;
    path += '/';
    path += name;
    return path;
}

std::string BaseName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

std::string Parent(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<std::string> Entries(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return names;
    }
    // cppcheck-suppress readdirCalled ; one thread
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') {
            names.emplace_back(e->d_name);
        }
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// The UART types of serial_core's PORT_ numbers; 0 is no UART at all.
const char* const UartTypes[] = {
    nullptr, "8250", "16450", "16550", "16550A", "Cirrus", "16650", "16650V2",
    "16750", "Startech", "16C950", "16654", "16850", "RSA", "NS16550A",
};

std::string UartType(const std::string& type)
{
    const long n = strtol(type.c_str(), nullptr, 10);
    if (n > 0 && n < static_cast<long>(sizeof UartTypes / sizeof UartTypes[0])) {
        return UartTypes[n];
    }
    return "";  // a UART of some other family, named by its driver
}

// The driver of the port's device. Newer kernels put a port device and a
// controller device of the serial-base bus between the tty and the hardware.
std::string Driver(std::string device, const std::string& stop)
{
    while (device.size() > stop.size() && device != "/") {
        const std::string link = Link(device + "/driver");
        if (link.empty()) {
            return "";
        }
        const size_t drivers = link.rfind("/drivers/");
        if (drivers == std::string::npos || BaseName(link.substr(0, drivers)) != "serial-base") {
            const std::string name = BaseName(link);
            // The 8250 driver registers its PNP and PCI parts as "serial".
            return name == "serial" || name == "serial8250" ? "8250" : name;
        }
        device = Parent(device);
    }
    return "";
}

// The USB device the port belongs to: the nearest parent with a vendor number.
std::string UsbDevice(std::string device, const std::string& stop)
{
    while (device.size() > stop.size() && device != "/") {
        if (Exists(device + "/idVendor")) {
            return device;
        }
        device = Parent(device);
    }
    return "";
}

// udev's by-id names, which hold the serial number, then its by-path names,
// which stay while the adapter keeps its USB socket: each with the node it leads to.
std::vector<std::pair<std::string, std::string>> StableNames(const std::string& root)
{
    std::vector<std::pair<std::string, std::string>> names;
    for (const char* kind : {"/dev/serial/by-id", "/dev/serial/by-path"}) {
        const std::string dir = root + kind;
        for (const std::string& name : Entries(dir)) {
            names.emplace_back(RealPath(Child(dir, name)), std::string(kind) + "/" + name);
        }
    }
    return names;
}

std::string StableName(const std::vector<std::pair<std::string, std::string>>& names, const std::string& node)
{
    const std::string real = RealPath(node);
    for (const auto& n : names) {
        if (!real.empty() && n.first == real) {
            return n.second;
        }
    }
    return "";
}

bool InGroup(gid_t gid)
{
    if (getgid() == gid) {
        return true;
    }
    const int n = getgroups(0, nullptr);
    std::vector<gid_t> groups(n > 0 ? static_cast<size_t>(n) : 0);
    const int got = getgroups(static_cast<int>(groups.size()), groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

std::string GroupName(gid_t gid)
{
    const group* g = getgrgid(gid);  // cppcheck-suppress getgrgidCalled ; one thread
    return g != nullptr ? g->gr_name : std::to_string(gid);
}

std::string UserName(uid_t uid)
{
    const passwd* p = getpwuid(uid);  // cppcheck-suppress getpwuidCalled ; one thread
    return p != nullptr ? p->pw_name : "user " + std::to_string(uid);
}

// Why the user may not open the device node for reading and writing; empty
// when they may.
std::string NoAccess(const std::string& node)
{
    if (access(node.c_str(), R_OK | W_OK) == 0) {
        return "";
    }
    const int err = errno;
    struct stat st;
    if (err == ENOENT || stat(node.c_str(), &st) != 0) {
        return "no device node";
    }
    if (err != EACCES) {
        return strerror(err);
    }
    const mode_t rw = S_IRUSR | S_IWUSR;
    const bool ownerRw = (st.st_mode & rw) == rw;
    const bool groupRw = (st.st_mode & (rw >> 3)) == (rw >> 3);
    if (st.st_uid != getuid() && groupRw && !InGroup(st.st_gid)) {
        return "not in group " + GroupName(st.st_gid);
    }
    if (st.st_uid != getuid() && ownerRw && !groupRw) {
        return "only " + UserName(st.st_uid) + " may open it";
    }
    return "no read and write permission";
}

}  // namespace

std::vector<Port> FindPorts()
{
    const std::string root = PortsRoot();
    const std::string devices = RealPath(root + "/sys/devices");
    const std::string ttys = root + "/sys/class/tty";
    std::vector<Port> ports;
    const auto stable = StableNames(root);
    for (const std::string& name : Entries(ttys)) {
        const std::string tty = Child(ttys, name);
        // Virtual consoles, ptys and the like have no device behind them.
        const std::string device = RealPath(tty + "/device");
        if (device.empty()) {
            continue;
        }
        // A serial_core port with no UART found at its address.
        const std::string type = Attribute(tty + "/type");
        if (type == "0") {
            continue;
        }
        Port p;
        p.Name = Child("/dev", name);
        if (name.compare(0, 4, "ttyS") == 0 && name.size() > 4 && name.size() < 12 &&
            name.find_first_not_of("0123456789", 4) == std::string::npos) {
            const long com = strtol(name.c_str() + 4, nullptr, 10) + 1;  // as torvex maps it
            if (com <= COM_NUMBER_MAX) {
                p.OtherName = "COM" + std::to_string(com);
            }
        }
        p.Driver = Driver(device, devices);
        if (!type.empty()) {
            p.Uart = UartType(type);
        }
        const std::string usb = UsbDevice(device, devices);
        if (!usb.empty()) {
            p.Usb = true;
            p.UsbVendor = Attribute(usb + "/idVendor");
            p.UsbProduct = Attribute(usb + "/idProduct");
            p.Maker = Attribute(usb + "/manufacturer");
            p.Product = Attribute(usb + "/product");
            p.Serial = Attribute(usb + "/serial");
        }
        const std::string node = Child(root + "/dev", name);
        p.StableName = StableName(stable, node);
        p.AccessKnown = true;
        p.NoAccess = NoAccess(node);
        ports.push_back(p);
    }
    return ports;
}
