// torvex-ports on Linux: inotify on /dev, /dev/serial and /dev/serial/by-id,
// where udev makes a serial port's node and its stable name.
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "watch.h"

namespace {

void AddWatches(int fd)
{
    const std::string root = PortsRoot();
    const uint32_t events = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB;
    // A folder not there yet is watched from its parent until it comes.
    for (const char* dir : {"/dev", "/dev/serial", "/dev/serial/by-id"}) {
        (void)inotify_add_watch(fd, (root + dir).c_str(), events);
    }
}

}  // namespace

std::string PortsRoot()
{
    const char* root = getenv("TORVEX_PORTS_ROOT");
    return root != nullptr ? root : "";
}

int WatchPorts(std::string* why)
{
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        *why = strerror(errno);
        return -1;
    }
    if (inotify_add_watch(fd, (PortsRoot() + "/dev").c_str(), IN_CREATE | IN_DELETE) < 0) {
        *why = PortsRoot() + "/dev: " + strerror(errno);
        close(fd);
        return -1;
    }
    AddWatches(fd);
    return fd;
}

void PortsChanged(int fd)
{
    alignas(struct inotify_event) char events[4096];
    while (read(fd, events, sizeof events) > 0) {
    }
    AddWatches(fd);
}
