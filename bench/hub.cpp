// The hub's ports in the tree: sysfs entries, nodes and by-id links.
#include "hub.h"

#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace {

std::string Tty(size_t k)
{
    return "ttyUSB" + std::to_string(k);
}

std::string UsbDir(size_t k)
{
    return "sys/devices/pci0000:00/usb1/1-" + std::to_string(k + 1);
}

std::string ById(const std::string& serial)
{
    return "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_" + serial + "-if00-port0";
}

}  // namespace

Hub::Hub(int ports) : bays_(static_cast<size_t>(ports))
{
    // The folders the station watches are there before any port.
    tree_.Dir("dev/serial/by-id");
    tree_.Dir("sys/class/tty");
    std::vector<Device*> devices;
    for (size_t k = 0; k < bays_.size(); k++) {
        Bay& bay = bays_[k];
        bay.device.answers = &answers_;
        bay.device.wire = &bay.wire;
        OpenDevice(bay.device);
        devices.push_back(&bay.device);
        const std::string usb = UsbDir(k);
        tree_.Usb(usb, {"0403", "6001", "FTDI", "FT232R USB UART", "none"});
        tree_.Link(usb + "/1-1:1.0/" + Tty(k) + "/tty/" + Tty(k) + "/device", usb + "/1-1:1.0/" + Tty(k));
    }
    threads_.Start(devices);
}

Hub::~Hub()
{
    threads_.Stop();
    for (Bay& bay : bays_) {
        CloseDevice(bay.device);
    }
}

std::string Hub::Serial(int unit)
{
    char name[16];
    snprintf(name, sizeof name, "ST%05d", unit);
    return name;
}

double Hub::Plug(int unit)
{
    auto bay = std::find_if(bays_.begin(), bays_.end(), [](const Bay& b) { return b.unit < 0; });
    if (bay == bays_.end()) {
        return 0;
    }
    const size_t k = static_cast<size_t>(bay - bays_.begin());
    const std::string serial = Serial(unit);
    const std::string usb = UsbDir(k);
    tree_.File(usb + "/serial", serial + "\n");
    tree_.Link("sys/class/tty/" + Tty(k), usb + "/1-1:1.0/" + Tty(k) + "/tty/" + Tty(k));
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (symlink(bay->device.path.c_str(), (tree_.Root() + "/dev/" + Tty(k)).c_str()) != 0) {
        Die("symlink node");
    }
    tree_.Link(ById(serial), "dev/" + Tty(k));
    bay->unit = unit;
    return static_cast<double>(ts.tv_sec) * 1000 + static_cast<double>(ts.tv_nsec) / 1e6;
}

bool Hub::RunEnded(const std::string& line)
{
    // "TIME UNIT (ROOT/dev/ttyUSBk): done: ..." or "...: failed: ...".
    const std::string mark = " (" + tree_.Root() + "/dev/ttyUSB";
    const size_t at = line.find(mark);
    if (at == std::string::npos) {
        return false;
    }
    char* end = nullptr;
    const unsigned long k = strtoul(line.c_str() + at + mark.size(), &end, 10);
    const std::string rest = end;
    if ((rest.rfind("): done: ", 0) != 0 && rest.rfind("): failed: ", 0) != 0) || k >= bays_.size() ||
        bays_[k].unit < 0) {
        return false;
    }
    Bay& bay = bays_[k];
    tree_.Remove(ById(Serial(bay.unit)));
    tree_.Remove("dev/" + Tty(k));
    tree_.Remove("sys/class/tty/" + Tty(k));
    // What the last run left unread is not the next unit's.
    tcflush(bay.device.slave, TCIFLUSH);
    bay.unit = -1;
    return true;
}

int Hub::Plugged() const
{
    return static_cast<int>(std::count_if(bays_.begin(), bays_.end(), [](const Bay& b) { return b.unit >= 0; }));
}
