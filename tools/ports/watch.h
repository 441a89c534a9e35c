// torvex-ports: news of serial ports coming and going, for a station that
// runs each unit as it is plugged in. One file per system (watch_linux.cpp,
// watch_none.cpp); the build picks one. Under TORVEX_PORTS_ROOT the folders
// watched are those under that root, as FindPorts reads them.
#pragma once

#include <string>
#include <vector>

// A descriptor that becomes readable when a device node or a by-id link
// comes or goes; -1 with why where there is no such news.
int WatchPorts(std::string* why);
// Takes what the descriptor has to tell, and watches folders that appeared
// since (/dev/serial/by-id comes with the first USB serial device). Answers
// the device nodes (their names in /dev) that went away, even those back
// already: a unit unplugged and plugged again between two looks left.
std::vector<std::string> PortsChanged(int fd);
// The root FindPorts reads as /: empty for the system's own.
std::string PortsRoot();
