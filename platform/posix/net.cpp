// TCP client sockets on POSIX systems: BSD sockets, non-blocking, waited on with poll.
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/net.h"

struct NetSocket {
    int fd;
};

long NetErrorNumber(NetError error)
{
    switch (error) {
    case NetError::NotFound:
        return ENOENT;
    case NetError::Busy:
        return EBUSY;
    case NetError::TimedOut:
        return ETIMEDOUT;
    case NetError::Closed:
        return ECONNRESET;
    case NetError::NotSerial:
        return ENOTTY;
    case NetError::NoMemory:
        return ENOMEM;
    default:
        return EINVAL;
    }
}

int64_t NetClockUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Waits for one event; timeoutUs below 0 waits without limit. The kernel may wake
// up to 0.1% of the time late: wait that much less and let the caller's loop
// finish. A signal ends the wait early; the caller looks at the clock again.
static int WaitFd(int fd, short events, int64_t timeoutUs, long* err)
{
    const int64_t end = timeoutUs < 0 ? -1 : NetClockUs() + timeoutUs;
    for (;;) {
        struct pollfd pfd = {fd, events, 0};
        struct timespec wait;
        if (timeoutUs >= 0) {
            const int64_t ns = (timeoutUs - timeoutUs / 1000) * 1000;
            wait.tv_sec = static_cast<time_t>(ns / 1000000000);
            wait.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        const int r = ppoll(&pfd, 1, timeoutUs < 0 ? nullptr : &wait, nullptr);
        if (r >= 0 || errno != EINTR) {
            *err = r < 0 ? errno : *err;
            return r;
        }
        // Woken by a signal (a stop and a continue): looked at again for the
        // time left, at least once, so that what came meanwhile counts.
        if (end >= 0) {
            const int64_t now = NetClockUs();
            timeoutUs = now < end ? end - now : 0;
        }
    }
}

// One address at a time, each with what is left of the time-out.
static int ConnectOne(const struct addrinfo* ai, int64_t timeoutUs, long* err)
{
    const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            *err = errno;
            close(fd);
            return -1;
        }
        const int r = WaitFd(fd, POLLOUT, timeoutUs, err);
        int soError = 0;
        socklen_t len = sizeof soError;
        if (r == 0) {
            soError = ETIMEDOUT;
        } else if (r < 0) {
            soError = static_cast<int>(*err);
        } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) {
            soError = errno;
        }
        if (soError != 0) {
            *err = soError;
            close(fd);
            return -1;
        }
    }
    // Commands are short and each waits for its answer: no coalescing delay.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool NetConnect(const char* host, const char* port, uint32_t timeoutMs, NetSocket** sock, long* err)
{
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* list = nullptr;
    const int r = getaddrinfo(host, port, &hints, &list);
    if (r != 0) {
        *err = r == EAI_SYSTEM ? errno : r == EAI_MEMORY ? ENOMEM : ENOENT;
        return false;
    }
    int fd = -1;
    *err = ENOENT;
    const int64_t deadline = NetClockUs() + static_cast<int64_t>(timeoutMs) * 1000;
    for (const struct addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = ConnectOne(ai, deadline > NetClockUs() ? deadline - NetClockUs() : 0, err);
    }
    freeaddrinfo(list);
    if (fd < 0) {
        return false;
    }
    NetSocket* s = static_cast<NetSocket*>(calloc(1, sizeof(NetSocket)));
    if (s == nullptr) {
        *err = ENOMEM;
        close(fd);
        return false;
    }
    s->fd = fd;
    *sock = s;
    return true;
}

int NetWait(NetSocket* sock, bool writing, int64_t timeoutUs, long* err)
{
    return WaitFd(sock->fd, writing ? POLLOUT : POLLIN, timeoutUs, err);
}

bool NetRecv(NetSocket* sock, void* buf, uint32_t n, uint32_t* got, long* err)
{
    *got = 0;
    const ssize_t k = recv(sock->fd, buf, n, 0);
    if (k > 0) {
        *got = static_cast<uint32_t>(k);
        return true;
    }
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return true;
    }
    *err = k == 0 ? ECONNRESET : errno;
    return false;
}

bool NetSend(NetSocket* sock, const void* buf, uint32_t n, uint32_t* sent, long* err)
{
    *sent = 0;
    const ssize_t k = send(sock->fd, buf, n, MSG_NOSIGNAL);
    if (k >= 0) {
        *sent = static_cast<uint32_t>(k);
        return true;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return true;
    }
    *err = errno == EPIPE ? ECONNRESET : errno;  // the server has closed
    return false;
}

void NetClose(NetSocket* sock)
{
    if (sock == nullptr) {
        return;
    }
    close(sock->fd);
    free(sock);
}
