// torvex-ports where no device arrival can be watched (the Windows build).
#include <cstdlib>

#include "watch.h"

std::string PortsRoot()
{
    return "";
}

int WatchPorts(std::string* why)
{
    *why = "watching for ports is a Linux feature";
    return -1;
}

std::vector<std::string> PortsChanged(int)
{
    return {};
}
