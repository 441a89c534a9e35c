// TCP client sockets on Windows: Winsock, non-blocking. Connecting and sending
// wait with select; reading waits on an event that Winsock sets when data or the
// close comes (WSAEventSelect), which under Wine takes a third of select's
// round trips to the server.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdlib>

#include "platform/net.h"
#include "platform/win32/shared.h"

struct NetSocket {
    SOCKET s;
    HANDLE readable;  // set for data or the server's close; reset by the wait that sees it
    bool closed;        // the close came: every read wait ends at once from here
};

long NetErrorNumber(NetError error)
{
    switch (error) {
    case NetError::NotFound:
        return ERROR_FILE_NOT_FOUND;
    case NetError::Busy:
        return ERROR_ACCESS_DENIED;
    case NetError::TimedOut:
        return WSAETIMEDOUT;
    case NetError::Closed:
        return WSAECONNRESET;
    case NetError::NotSerial:
        return ERROR_NOT_SUPPORTED;
    case NetError::NoMemory:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

int64_t NetClockUs()
{
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<int64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<int64_t>(now.QuadPart / frequency * 1000000 + now.QuadPart % frequency * 1000000 / frequency);
}

// Waits for one event; timeoutUs below 0 waits without limit. A connect that
// fails shows in the exception set.
static int WaitSocket(SOCKET s, bool writing, int64_t timeoutUs, long* err)
{
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    struct timeval tv;
    tv.tv_sec = static_cast<long>(timeoutUs / 1000000);
    tv.tv_usec = static_cast<long>(timeoutUs % 1000000);
    BeginWait();
    const int r = select(0, writing ? nullptr : &ready, writing ? &ready : nullptr, &failed,
                         timeoutUs < 0 ? nullptr : &tv);
    const long failure = r == SOCKET_ERROR ? WSAGetLastError() : 0;
    EndWait();
    if (r == SOCKET_ERROR) {
        *err = failure;
        return -1;
    }
    return r > 0 ? 1 : 0;
}

static SOCKET ConnectOne(const ADDRINFOA* ai, int64_t timeoutUs, long* err)
{
    const SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == INVALID_SOCKET) {
        *err = WSAGetLastError();
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            *err = WSAGetLastError();
            closesocket(s);
            return INVALID_SOCKET;
        }
        const int r = WaitSocket(s, true, timeoutUs, err);
        int soError = 0;
        int len = sizeof soError;
        if (r == 0) {
            soError = WSAETIMEDOUT;
        } else if (r < 0) {
            soError = static_cast<int>(*err);
        } else if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) != 0) {
            soError = WSAGetLastError();
        }
        if (soError != 0) {
            *err = soError;
            closesocket(s);
            return INVALID_SOCKET;
        }
    }
    // Commands are short and each waits for its answer: no coalescing delay.
    const BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return s;
}

bool NetConnect(const char* host, const char* port, uint32_t timeoutMs, NetSocket** sock, long* err)
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) {
        *err = WSASYSNOTREADY;
        return false;
    }
    ADDRINFOA hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOA* list = nullptr;
    BeginWait();
    const int r = getaddrinfo(host, port, &hints, &list);
    EndWait();
    if (r != 0) {
        *err = r == WSA_NOT_ENOUGH_MEMORY ? ERROR_NOT_ENOUGH_MEMORY : ERROR_FILE_NOT_FOUND;
        return false;
    }
    SOCKET s = INVALID_SOCKET;
    *err = ERROR_FILE_NOT_FOUND;
    const int64_t deadline = NetClockUs() + static_cast<int64_t>(timeoutMs) * 1000;
    for (const ADDRINFOA* ai = list; ai != nullptr && s == INVALID_SOCKET; ai = ai->ai_next) {
        s = ConnectOne(ai, deadline > NetClockUs() ? deadline - NetClockUs() : 0, err);
    }
    freeaddrinfo(list);
    if (s == INVALID_SOCKET) {
        return false;
    }
    NetSocket* n = static_cast<NetSocket*>(calloc(1, sizeof(NetSocket)));
    if (n == nullptr) {
        *err = ERROR_NOT_ENOUGH_MEMORY;
        closesocket(s);
        return false;
    }
    n->s = s;
    // Reset by the wait that sees it: reading the events need not reset it.
    n->readable = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (n->readable == nullptr || WSAEventSelect(s, n->readable, FD_READ | FD_CLOSE) != 0) {
        *err = WSAGetLastError();
        NetClose(n);
        return false;
    }
    *sock = n;
    return true;
}

// A read waits on the event. Each recv lets Winsock report data again, and it does
// at once while some is left, so an event taken is never data missed. The close
// is reported only once: it is kept.
static int WaitReadable(NetSocket* sock, int64_t timeoutUs, long* err)
{
    if (sock->closed) {
        return 1;
    }
    // Whole milliseconds, rounded up: the wait never ends before its time.
    const int64_t longest = 0xFFFFFFFE;
    const int64_t ms = (timeoutUs + 999) / 1000;
    BeginWait();
    const DWORD r =
        WaitForSingleObject(sock->readable, timeoutUs < 0 ? INFINITE : static_cast<DWORD>(ms < longest ? ms : longest));
    const long failure = r == WAIT_OBJECT_0 ? 0 : static_cast<long>(GetLastError());
    EndWait();
    if (r == WAIT_TIMEOUT) {
        return 0;
    }
    WSANETWORKEVENTS events;
    if (r != WAIT_OBJECT_0) {
        *err = failure;
        return -1;
    }
    if (WSAEnumNetworkEvents(sock->s, nullptr, &events) != 0) {
        *err = WSAGetLastError();
        return -1;
    }
    sock->closed = (events.lNetworkEvents & FD_CLOSE) != 0;
    return 1;
}

int NetWait(NetSocket* sock, bool writing, int64_t timeoutUs, long* err)
{
    return writing ? WaitSocket(sock->s, true, timeoutUs, err) : WaitReadable(sock, timeoutUs, err);
}

bool NetRecv(NetSocket* sock, void* buf, uint32_t n, uint32_t* got, long* err)
{
    *got = 0;
    const int k = recv(sock->s, static_cast<char*>(buf), static_cast<int>(n), 0);
    if (k > 0) {
        *got = static_cast<uint32_t>(k);
        return true;
    }
    const int e = k == 0 ? WSAECONNRESET : WSAGetLastError();
    if (e == WSAEWOULDBLOCK) {
        return true;
    }
    *err = e == WSAECONNABORTED ? WSAECONNRESET : e;
    return false;
}

bool NetSend(NetSocket* sock, const void* buf, uint32_t n, uint32_t* sent, long* err)
{
    *sent = 0;
    const int k = send(sock->s, static_cast<const char*>(buf), static_cast<int>(n), 0);
    if (k >= 0) {
        *sent = static_cast<uint32_t>(k);
        return true;
    }
    const int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK) {
        return true;
    }
    *err = e == WSAECONNABORTED ? WSAECONNRESET : e;  // the server has closed
    return false;
}

void NetClose(NetSocket* sock)
{
    if (sock == nullptr) {
        return;
    }
    closesocket(sock->s);
    if (sock->readable != nullptr) {
        CloseHandle(sock->readable);
    }
    free(sock);
}
