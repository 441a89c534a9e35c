// The simulated device itself: a pseudo-terminal in raw mode, optionally
// linked under a fixed path, that echoes and answers what a program writes to
// it and notices when that program opens and closes it.
#pragma once

#include <string>

// What has been received of the current command line, and what waits to be sent.
struct Session {
    std::string Line;
    bool TooLong = false;
    std::string Out;
};

// The pseudo-terminal and who holds it.
struct Device {
    int Master = -1;
    int Slave = -1;    // the simulator's own hold on the device
    int Watch = -1;    // open and close events of the device, where the system has them
    int Clients = 0;   // programs holding the device
    bool Done = false;
    std::string Path;  // the device's name, for the programs that use it
    Session S;
};

// Creates the pseudo-terminal and opens its device; false, with a message, on failure.
bool OpenDevice(Device* d);
// Makes link a symbolic link to target; false, with a message, on failure.
bool MakeLink(const char* link, const char* target);
// Removes the link MakeLink made, if any.
void RemoveLink();
// Answers until stopFd is readable, or until the hang-up or last close with
// --once. The exit status.
int Serve(Device* d, int stopFd);
