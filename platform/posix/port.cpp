// Serial ports on POSIX systems with termios. A port is a file descriptor in
// non-blocking mode; reads and writes wait in ppoll so that the Win32 time-out
// rules hold to well under a millisecond without busy waiting. A network name
// goes to net_port.cpp instead.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/com_range.h"
#include "platform/net_port.h"
#include "platform/platform.h"
#include "platform/posix/custom_speed.h"
#include "platform/posix/shared.h"

struct CommPort {
    int fd;
    struct termios tio;
    CommTimeouts timeouts;
    NetPort* net;  // a port on another machine, when not null
};


volatile sig_atomic_t OpenPortFd = -1;

static int OpenPath(const char* path)
{
    return open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// COMn, when no such file exists, is tried as /dev/ttyS(n-1), as Cygwin and Wine
// name them. Any other name stays not found. The error of the ttyS open is the
// one reported, so that a port the user may not open is not called missing.
static int OpenComName(const char* name)
{
    errno = ENOENT;
    if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') {
        return -1;
    }
    char* end = nullptr;
    long n = strtol(name + 3, &end, 10);
    if (name[3] < '1' || name[3] > '9' || *end != '\0' || n > COM_NUMBER_MAX) {
        errno = ENOENT;
        return -1;
    }
    char path[32];
    snprintf(path, sizeof path, "/dev/ttyS%ld", n - 1);
    return OpenPath(path);
}

// A network port, or when memory runs out, none.
static bool NetOpen(const char* name, CommPort** port, long* err)
{
    NetPort* net = nullptr;
    if (!NetPortOpen(name, &net, err)) {
        return false;
    }
    CommPort* p = static_cast<CommPort*>(calloc(1, sizeof(CommPort)));
    if (p == nullptr) {
        NetPortClose(net);
        *err = ENOMEM;
        return false;
    }
    p->fd = -1;
    p->net = net;
    *port = p;
    return true;
}

bool PortOpen(const char* name, CommPort** port, long* err)
{
    if (NetPortName(name)) {
        return NetOpen(name, port, err);
    }
    int fd = OpenPath(name);
    if (fd < 0 && errno == ENOENT) {
        fd = OpenComName(name);
    }
    if (fd < 0) {
        *err = errno;
        return false;
    }
    // Another program holding the port is refused, as Win32 refuses a shared open.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *err = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        return false;
    }
    ioctl(fd, TIOCEXCL);  // a regular file refuses; GetCommState reports it
    CommPort* p = static_cast<CommPort*>(calloc(1, sizeof(CommPort)));
    if (p == nullptr) {
        *err = ENOMEM;
        close(fd);
        return false;
    }
    p->fd = fd;
    OpenPortFd = fd;
    *port = p;
    return true;
}

OpenError ClassifyOpenError(long err)
{
    switch (err) {
    case ENOENT:
    case ENODEV:
        return OpenError::FileNotFound;
    case EACCES:
    case EPERM:
    case EBUSY:
        return OpenError::AccessDenied;
    default:
        return OpenError::Other;
    }
}

bool PortGetState(CommPort* port, long* err)
{
    if (port->net != nullptr) {
        return NetPortGetState(port->net, err);
    }
    if (tcgetattr(port->fd, &port->tio) != 0) {
        *err = errno;
        return false;
    }
    return true;
}

static speed_t StandardSpeed(uint32_t baud)
{
    static const struct {
        uint32_t baud;
        speed_t code;
    } table[] = {
        {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300},
        {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B921600
        {921600, B921600},
#endif
    };
    for (const auto& entry : table) {
        if (entry.baud == baud) {
            return entry.code;
        }
    }
    return B0;
}

bool PortSetState(CommPort* port, uint32_t baud, long* err)
{
    // Speed 0 would hang the line up.
    if (baud == 0) {
        *err = EINVAL;
        return false;
    }
    if (port->net != nullptr) {
        return NetPortSetState(port->net, baud, err);
    }
    struct termios tio = port->tio;
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                          IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const speed_t code = StandardSpeed(baud);
    if (code != B0) {
        cfsetispeed(&tio, code);
        cfsetospeed(&tio, code);
    }
    if (tcsetattr(port->fd, TCSANOW, &tio) != 0) {
        *err = errno;
        return false;
    }
    if (code == B0) {
        int e = SetCustomSpeed(port->fd, baud);
        if (e != 0) {
            *err = e;
            return false;
        }
    } else {
        // tcsetattr succeeds when any part was taken; make sure the speed was.
        struct termios check;
        if (tcgetattr(port->fd, &check) != 0 || cfgetospeed(&check) != code) {
            *err = EINVAL;
            return false;
        }
    }
    port->tio = tio;
    // Some drivers drop DTR and RTS on a change of settings; a pseudo-terminal has neither.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(port->fd, TIOCMBIS, &lines);
    return true;
}

bool PortSetTimeouts(CommPort* port, const CommTimeouts& timeouts, long* /*err*/)
{
    port->timeouts = timeouts;
    if (port->net != nullptr) {
        NetPortSetTimeouts(port->net, timeouts);
    }
    return true;
}

bool PortRead(CommPort* port, void* buf, uint32_t n, uint32_t* got, long* err)
{
    if (port->net != nullptr) {
        return NetPortRead(port->net, buf, n, got, err);
    }
    FlushConsole();
    *got = 0;
    const CommTimeouts& to = port->timeouts;
    const int64_t start = NowNs();
    const int64_t totalMs =
        static_cast<int64_t>(to.ReadTotalTimeoutConstant) + static_cast<int64_t>(to.ReadTotalTimeoutMultiplier) * n;
    const bool hasTotal = totalMs > 0;
    const int64_t totalDeadline = start + totalMs * 1000000;
    const int64_t intervalNs = static_cast<int64_t>(to.ReadIntervalTimeout) * 1000000;
    int64_t lastByte = 0;
    char* out = static_cast<char*>(buf);
    while (*got < n) {
        int64_t deadline = INT64_MAX;
        if (hasTotal) {
            deadline = totalDeadline;
        }
        if (*got > 0 && intervalNs > 0 && lastByte + intervalNs < deadline) {
            deadline = lastByte + intervalNs;
        }
        const int64_t now = NowNs();
        if (deadline != INT64_MAX && now >= deadline) {
            break;
        }
        struct pollfd pfd = {port->fd, POLLIN, 0};
        struct timespec wait = PollSpan(deadline - now);
        int r = ppoll(&pfd, 1, deadline == INT64_MAX ? nullptr : &wait, nullptr);
        if (r < 0 && errno != EINTR) {
            *err = errno;
            return false;
        }
        if (r == 0) {
            continue;  // the deadline check above ends the read
        }
        // Woken by a signal, after a stop perhaps: what came meanwhile came in
        // time, and is read before the deadline is looked at again.
        ssize_t k = read(port->fd, out + *got, n - *got);
        if (k > 0) {
            *got += static_cast<uint32_t>(k);
            lastByte = NowNs();
            continue;
        }
        // With VMIN and VTIME 0 a terminal answers 0 when nothing is waiting, so
        // only an empty read on a hung-up line is its end.
        const bool hungUp = k == 0 && (pfd.revents & (POLLHUP | POLLERR)) != 0;
        if ((k == 0 && !hungUp) || (k < 0 && (errno == EAGAIN || errno == EINTR))) {
            continue;
        }
        // The other end hung up or the device is gone. What came before is handed over first.
        if (*got > 0) {
            return true;
        }
        *err = k == 0 ? EIO : errno;
        return false;
    }
    return true;
}

// The console is flushed after a write that went out at once, so that the device
// has its command first; a write that has to wait flushes before it waits.
bool PortWrite(CommPort* port, const void* buf, uint32_t n, uint32_t* sent, long* err)
{
    if (port->net != nullptr) {
        return NetPortWrite(port->net, buf, n, sent, err);
    }
    *sent = 0;
    const CommTimeouts& to = port->timeouts;
    const int64_t totalMs =
        static_cast<int64_t>(to.WriteTotalTimeoutConstant) + static_cast<int64_t>(to.WriteTotalTimeoutMultiplier) * n;
    const int64_t deadline = totalMs > 0 ? NowNs() + totalMs * 1000000 : INT64_MAX;
    const char* in = static_cast<const char*>(buf);
    bool ok = true;
    bool flushed = false;
    while (*sent < n) {
        ssize_t k = write(port->fd, in + *sent, n - *sent);
        if (k > 0) {
            *sent += static_cast<uint32_t>(k);
            continue;
        }
        if (k < 0 && errno != EAGAIN && errno != EINTR) {
            *err = errno;
            ok = false;
            break;
        }
        if (!flushed) {
            FlushConsole();
            flushed = true;
        }
        const int64_t now = NowNs();
        if (now >= deadline) {
            break;  // timed out: the count tells how much went
        }
        struct pollfd pfd = {port->fd, POLLOUT, 0};
        struct timespec wait = PollSpan(deadline - now);
        if (ppoll(&pfd, 1, deadline == INT64_MAX ? nullptr : &wait, nullptr) < 0 && errno != EINTR) {
            *err = errno;
            ok = false;
            break;
        }
    }
    if (!flushed) {
        FlushConsole();
    }
    return ok;
}

void PortClose(CommPort* port)
{
    if (port == nullptr) {
        return;
    }
    if (port->net != nullptr) {
        NetPortClose(port->net);
        free(port);
        return;
    }
    OpenPortFd = -1;
    ioctl(port->fd, TIOCNXCL);
    close(port->fd);
    free(port);
}

bool PortSpeaksTelnet(const CommPort* port)
{
    return port->net != nullptr && NetPortSpeaksTelnet(port->net);
}

uint64_t PortDropped(const CommPort* port)
{
    return port->net != nullptr ? NetPortDropped(port->net) : 0;
}
