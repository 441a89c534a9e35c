// The device the program talks to: the master side of a pseudo-terminal that
// echoes each command line and answers it at once. Played from the harness's
// loop, or, for many at once, each from a thread of its own.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

struct Device {
    int master = -1;
    int slave = -1;  // kept open here so the master never sees a hang-up
    std::string path;
    std::string comLink;  // under Wine: dosdevices/comN, linked to the path
    std::string partial;  // command bytes so far
    const std::function<bool(const std::string&)>* answers = nullptr;
    Wire* wire = nullptr;
};

void OpenDevice(Device& d);
void CloseDevice(Device& d);

// Reads what the program wrote and answers each command line that is complete;
// `now` is when the bytes were seen.
void ServeDevice(Device& d, int64_t now);

// One thread per device, each asleep in poll until its program writes.
class DeviceThreads {
public:
    void Start(const std::vector<Device*>& devices);
    void Stop();  // waits for every thread; the wires are then complete

private:
    int stop_[2] = {-1, -1};
    std::vector<std::thread> threads_;
};
