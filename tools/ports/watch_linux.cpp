// torvex-ports on Linux: news of ports from two sources in one descriptor
// (an epoll set): inotify on /dev, /dev/serial and /dev/serial/by-id, where
// udev makes a port's node and its stable name, and the kernel's own device
// events (a uevent netlink socket), since a system without udev gets no
// inotify news of the nodes the kernel makes in devtmpfs.
#include <linux/netlink.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "watch.h"

namespace {

int Inotify = -1;
int DevWatch = -1;  // the watch on /dev itself
int Uevents = -1;

void AddWatches()
{
    const std::string root = PortsRoot();
    const uint32_t events = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB;
    // A folder not there yet is watched from its parent until it comes.
    DevWatch = inotify_add_watch(Inotify, (root + "/dev").c_str(), events);
    for (const char* dir : {"/dev/serial", "/dev/serial/by-id"}) {
        (void)inotify_add_watch(Inotify, (root + dir).c_str(), events);
    }
}

// The kernel's device events; -1 where they cannot be had (they are news only).
int OpenUevents()
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_nl address;
    memset(&address, 0, sizeof address);
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;  // the kernel's own, not udev's
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The nodes of /dev that inotify says were removed.
void InotifyGone(std::vector<std::string>* gone)
{
    alignas(struct inotify_event) char events[8192];
    ssize_t n;
    while (Inotify >= 0 && (n = read(Inotify, events, sizeof events)) > 0) {
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
            const auto* e = reinterpret_cast<const struct inotify_event*>(events + at);
            if (e->wd == DevWatch && e->len > 0 && (e->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
                gone->push_back(e->name);
            }
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
        }
    }
}

// The nodes of the devices the kernel says were removed: ACTION=remove with a DEVNAME.
void UeventsGone(std::vector<std::string>* gone)
{
    char event[8192];
    ssize_t n;
    while (Uevents >= 0 && (n = recv(Uevents, event, sizeof event - 1, 0)) > 0) {
        event[n] = '\0';
        bool removed = false;
        std::string name;
        for (const char* field = event; field < event + n; field += strlen(field) + 1) {
            removed = removed || strcmp(field, "ACTION=remove") == 0;
            if (strncmp(field, "DEVNAME=", 8) == 0) {
                name = field + 8;
            }
        }
        if (removed && !name.empty()) {
            gone->push_back(name);
        }
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
    const int set = epoll_create1(EPOLL_CLOEXEC);
    Inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    bool ok = set >= 0 && Inotify >= 0;
    if (!ok) {
        *why = strerror(errno);
    } else if (inotify_add_watch(Inotify, (PortsRoot() + "/dev").c_str(), IN_CREATE | IN_DELETE) < 0) {
        *why = PortsRoot() + "/dev: " + strerror(errno);
        ok = false;
    }
    if (ok) {
        AddWatches();
        Uevents = OpenUevents();
    }
    for (const int fd : {Inotify, Uevents}) {
        struct epoll_event event;
        memset(&event, 0, sizeof event);
        event.events = EPOLLIN;
        if (ok && fd >= 0 && epoll_ctl(set, EPOLL_CTL_ADD, fd, &event) != 0) {
            *why = strerror(errno);
            ok = false;
        }
    }
    if (!ok) {
        for (const int fd : {set, Inotify, Uevents}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        Inotify = Uevents = -1;
        return -1;
    }
    return set;
}

std::vector<std::string> PortsChanged(int)
{
    std::vector<std::string> gone;
    InotifyGone(&gone);
    UeventsGone(&gone);
    AddWatches();
    return gone;
}
