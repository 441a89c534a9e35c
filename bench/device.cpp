// The device on a pseudo-terminal, and the threads that play many of them at once.
#include "device.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

const char ANSWER[] = "\r\n+CSQ: 23,99\r\n\r\nOK\r\n";

// This thread's time spent runnable but not running, from its schedstat.
int64_t QueueWait(int fd)
{
    char buf[96];
    const ssize_t k = pread(fd, buf, sizeof buf - 1, 0);
    if (k <= 0) {
        return 0;
    }
    buf[k] = '\0';
    char* end = nullptr;
    strtoll(buf, &end, 10);
    return strtoll(end, nullptr, 10);
}

void Play(Device* d, int stopFd)
{
    const int stat = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    int64_t seen = QueueWait(stat);
    int64_t pending = 0;
    struct pollfd pfd[2] = {{d->master, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        if (poll(pfd, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        if (pfd[1].revents != 0) {
            break;
        }
        if ((pfd[0].revents & POLLIN) == 0) {
            pfd[0].fd = pfd[0].revents != 0 ? -1 : pfd[0].fd;  // an error would wake it for ever
            continue;
        }
        const size_t before = d->wire->ansLast.size();
        ServeDevice(*d, Now());
        // The wait since the last answer belongs to the next command completed.
        const int64_t now = QueueWait(stat);
        pending += now - seen;
        seen = now;
        for (size_t i = before; i < d->wire->ansLast.size(); i++) {
            d->wire->queued.push_back(pending);
            pending = 0;
        }
    }
    close(stat);
}

}  // namespace

void OpenDevice(Device& d)
{
    char name[256];
    if (openpty(&d.master, &d.slave, name, nullptr, nullptr) != 0) {
        Die("openpty");
    }
    d.path = name;
    struct termios tio;
    tcgetattr(d.slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(d.slave, TCSANOW, &tio);
    fcntl(d.master, F_SETFL, fcntl(d.master, F_GETFL) | O_NONBLOCK);
    fcntl(d.master, F_SETFD, FD_CLOEXEC);
    fcntl(d.slave, F_SETFD, FD_CLOEXEC);
}

void CloseDevice(Device& d)
{
    if (d.master >= 0) {
        close(d.master);
        close(d.slave);
        d.master = d.slave = -1;
    }
    if (!d.comLink.empty()) {
        unlink(d.comLink.c_str());
    }
}

void ServeDevice(Device& d, int64_t now)
{
    Wire& wire = *d.wire;
    char buf[4096];
    ssize_t k;
    while ((k = read(d.master, buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < k; i++) {
            if (d.partial.empty()) {
                wire.cmdFirst.push_back(now);
            }
            d.partial.push_back(buf[i]);
            if (buf[i] != '\r') {
                continue;
            }
            std::string cmd = d.partial.substr(0, d.partial.size() - 1);
            cmd.erase(std::remove(cmd.begin(), cmd.end(), '\n'), cmd.end());
            wire.commands.push_back(cmd);
            wire.ansLast.push_back(0);
            if ((*d.answers)(cmd)) {
                const std::string reply = d.partial + ANSWER;
                size_t done = 0;
                while (done < reply.size()) {
                    ssize_t w = write(d.master, reply.data() + done, reply.size() - done);
                    if (w > 0) {
                        done += static_cast<size_t>(w);
                    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                        break;
                    }
                }
                wire.ansLast.back() = Now();
            }
            d.partial.clear();
        }
    }
}

void DeviceThreads::Start(const std::vector<Device*>& devices)
{
    if (pipe2(stop_, O_CLOEXEC) != 0) {
        Die("pipe");
    }
    for (Device* d : devices) {
        threads_.emplace_back(Play, d, stop_[0]);
    }
}

void DeviceThreads::Stop()
{
    if (stop_[1] < 0) {
        return;
    }
    close(stop_[1]);  // every thread's poll sees the end of the pipe
    for (std::thread& t : threads_) {
        t.join();
    }
    threads_.clear();
    close(stop_[0]);
    stop_[0] = stop_[1] = -1;
}
