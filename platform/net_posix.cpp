// TCP client sockets on POSIX systems: BSD sockets, non-blocking, waited on with poll.
#include <cerrno>
#include <cstdlib>
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
    default:
        return EINVAL;
    }
}

// Waits for one event; timeoutMs UINT32_MAX waits without limit. A signal that
// the program lives on through restarts the wait with the time that is left.
static int WaitFd(int fd, short events, uint32_t timeoutMs, long* err)
{
    struct pollfd pfd = {fd, events, 0};
    const int ms = timeoutMs == UINT32_MAX ? -1 : timeoutMs > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(timeoutMs);
    const int r = poll(&pfd, 1, ms);
    if (r < 0) {
        if (errno == EINTR) {
            return 0;  // the caller's loop looks at the clock again
        }
        *err = errno;
        return -1;
    }
    return r;
}

// One address at a time, each with what is left of the time-out.
static int ConnectOne(const struct addrinfo* ai, uint32_t timeoutMs, long* err)
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
        const int r = WaitFd(fd, POLLOUT, timeoutMs, err);
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
    for (const struct addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = ConnectOne(ai, timeoutMs, err);
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

int NetWait(NetSocket* sock, bool writing, uint32_t timeoutMs, long* err)
{
    return WaitFd(sock->fd, writing ? POLLOUT : POLLIN, timeoutMs, err);
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
