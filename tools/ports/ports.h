// torvex-ports: what the port lister knows of one serial port. The discovery of
// each system (linux.cpp, win32.cpp; the build picks one) fills these in and
// never opens a port; ports.cpp sorts and prints them. Texts are as the system
// or the device gave them: ports.cpp makes them safe to print.
#pragma once

#include <string>
#include <vector>

struct Port {
    std::string Name;          // the text to give torvex as -PORT=
    std::string OtherName;     // another name torvex takes for it (COMn on Linux)
    std::string Description;   // the system's own name for it
    std::string Driver;
    std::string Uart;          // UART type of a built-in port, such as 16550A
    bool Usb = false;          // on a USB device
    std::string UsbVendor;     // its vendor and product numbers, four hex digits
    std::string UsbProduct;    // each; empty when the device gives none
    std::string Maker;
    std::string Product;
    std::string Serial;
    std::string StableName;    // a name that stays when the port number changes: udev's by-id,
                               // else by-path name on Linux, the USB serial number on Windows
    bool AccessKnown = false;  // whether the current user may open it was checked
    std::string NoAccess;      // why the current user may not open it; empty when they may
};

#ifdef _WIN32
// What a device instance id such as USB\VID_0403&PID_6001\A50285BI says of
// the USB device of port p: its vendor and product numbers and its serial
// number, which is its stable name; false, p as it was, for an id not on USB.
bool UsbFromInstanceId(const std::string& id, Port* p);
#endif
// Every serial port with hardware behind it, in no particular order.
std::vector<Port> FindPorts();
// What names the unit behind a port in the rack's reports and record: its
// USB serial number, else its stable name, else the port's name.
std::string UnitIdentity(const Port& p);
// Adapters on USB first, then by name, numbers in names by value (ttyS2 before ttyS10).
void SortForListing(std::vector<Port>* ports);
// The name a unit found here is known by in torvex-rack's reports: its stable
// name where it has one, else its port name.
std::string UnitStableName(const Port& p);
