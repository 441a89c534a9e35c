// A hub of USB serial adapters in a device tree of its own, the way the
// station's discovery reads it under TORVEX_PORTS_ROOT: each port a
// pseudo-terminal that answers every command line from a thread of its own.
// A unit plugged in gets a serial number of its own on a free port.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "device.h"
#include "support/fake_tree.h"

class Hub {
public:
    explicit Hub(int ports);
    ~Hub();
    const std::string& Root() const { return tree_.Root(); }
    // The unit on a free port, as the kernel and udev make it: its attributes and
    // class link, its node, then its by-id link. Answers when the node came
    // (CLOCK_REALTIME, ms since the epoch), or 0 when no port is free.
    double Plug(int unit);
    // Given the rack's plain line that ends a run on a port of the hub, unplugs
    // its unit; answers whether it did.
    bool RunEnded(const std::string& line);
    int Plugged() const;
    static std::string Serial(int unit);

private:
    struct Bay {
        Device device;
        Wire wire;
        int unit = -1;  // the unit plugged in; -1: none
    };
    Tree tree_;
    std::vector<Bay> bays_;
    std::function<bool(const std::string&)> answers_ = [](const std::string&) { return true; };
    DeviceThreads threads_;
};
