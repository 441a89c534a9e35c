// TCP client sockets for network ports, inside the platform layer only: one body
// per platform (posix/net.cpp, win32/net.cpp), chosen by the build. Like
// platform.h, nothing here prints; failures answer false and an OS error number.
#pragma once

#include <cstdint>

struct NetSocket;

// The failures of a network port that have no OS error of their own.
enum class NetError {
    NotFound,   // the name is not a host and port, or does not resolve
    Busy,       // the server took the connection and closed it: another client holds the port
    TimedOut,   // connecting, or the server's answer to a setting, took too long
    Closed,     // the server closed or reset the connection
    NotSerial,  // the server does not offer the COM port option
    Invalid,    // a setting refused or confirmed otherwise
    NoMemory,   // no memory for the port's record
};

// NetErrorNumber  the platform's error number that stands for a NetError
// NetConnect      resolve host and connect to port (a decimal number) within timeoutMs
// NetClockUs      microseconds on a monotonic clock, for the read and write time-outs
// NetWait         wait up to timeoutUs (below 0: no limit) for the socket to be readable (or
//                 writable): 1 ready, 0 the time passed or a signal came, -1 failed
// NetRecv         take what has come, without waiting; *got 0 when nothing has. The
//                 server's close fails with NetError::Closed
// NetSend         send what the socket takes now, without waiting; *sent may be short
// NetClose        close the socket; a null socket is ignored
long NetErrorNumber(NetError error);
bool NetConnect(const char* host, const char* port, uint32_t timeoutMs, NetSocket** sock, long* err);
int64_t NetClockUs();
int NetWait(NetSocket* sock, bool writing, int64_t timeoutUs, long* err);
bool NetRecv(NetSocket* sock, void* buf, uint32_t n, uint32_t* got, long* err);
bool NetSend(NetSocket* sock, const void* buf, uint32_t n, uint32_t* sent, long* err);
void NetClose(NetSocket* sock);
