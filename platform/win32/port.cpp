// Serial ports on Windows: a Win32 communications device opened for
// synchronous I/O; the comm driver applies the line settings and the read and
// write time-outs itself. A network name goes to net_port.cpp instead.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/net_port.h"
#include "platform/platform.h"
#include "platform/win32/shared.h"

struct CommPort {
    HANDLE hCOM;
    DCB dcbCOM;
    NetPort* net;  // a port on another machine, when not null
};

// True for a name COMn, n a number (letter case ignored).
static bool IsComName(const char* name)
{
    if (_strnicmp(name, "COM", 3) != 0 || name[3] == '\0') {
        return false;
    }
    for (const char* p = name + 3; *p != '\0'; p++) {
        if (*p < '0' || *p > '9') {
            return false;
        }
    }
    return true;
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
        *err = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    p->hCOM = INVALID_HANDLE_VALUE;
    p->net = net;
    *port = p;
    return true;
}

bool PortOpen(const char* name, CommPort** port, long* err)
{
    if (NetPortName(name)) {
        return NetOpen(name, port, err);
    }
    // Prefix port name with "\\.\" to work with ports above COM9.
    const std::string path = IsComName(name) ? std::string("\\\\.\\") + name : std::string(name);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *err = static_cast<long>(GetLastError());
        return false;
    }
    CommPort* p = static_cast<CommPort*>(calloc(1, sizeof(CommPort)));
    if (p == nullptr) {
        *err = ERROR_NOT_ENOUGH_MEMORY;
        CloseHandle(h);
        return false;
    }
    p->hCOM = h;
    p->dcbCOM.DCBlength = sizeof(DCB);
    *port = p;
    return true;
}

OpenError ClassifyOpenError(long err)
{
    switch (err) {
    case ERROR_FILE_NOT_FOUND:
        return OpenError::FileNotFound;
    case ERROR_ACCESS_DENIED:
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
    port->dcbCOM.DCBlength = sizeof(DCB);
    if (!GetCommState(port->hCOM, &port->dcbCOM)) {
        *err = static_cast<long>(GetLastError());
        return false;
    }
    return true;
}

bool PortSetState(CommPort* port, uint32_t baud, long* err)
{
    // Speed 0 would hang the line up where the driver passes it on.
    if (baud == 0) {
        *err = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (port->net != nullptr) {
        return NetPortSetState(port->net, baud, err);
    }
    DCB dcb = port->dcbCOM;
    dcb.BaudRate = baud;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(port->hCOM, &dcb)) {
        *err = static_cast<long>(GetLastError());
        return false;
    }
    port->dcbCOM = dcb;
    return true;
}

bool PortSetTimeouts(CommPort* port, const CommTimeouts& timeouts, long* err)
{
    if (port->net != nullptr) {
        NetPortSetTimeouts(port->net, timeouts);
        return true;
    }
    COMMTIMEOUTS COMTO;
    COMTO.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
    COMTO.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    COMTO.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
    COMTO.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    COMTO.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    if (!SetCommTimeouts(port->hCOM, &COMTO)) {
        *err = static_cast<long>(GetLastError());
        return false;
    }
    return true;
}

bool PortRead(CommPort* port, void* buf, uint32_t n, uint32_t* got, long* err)
{
    if (port->net != nullptr) {
        return NetPortRead(port->net, buf, n, got, err);
    }
    BeginWait();
    DWORD nRx = 0;
    const BOOL ok = ReadFile(port->hCOM, buf, n, &nRx, nullptr);
    EndWait();
    if (!ok) {
        *err = static_cast<long>(GetLastError());
        *got = 0;
        return false;
    }
    *got = nRx;
    // Some drivers (Wine's among them) report a line that is gone as empty
    // reads for ever; the port's state tells it from a quiet line.
    DWORD errors = 0;
    if (nRx == 0 && !ClearCommError(port->hCOM, &errors, nullptr)) {
        *err = static_cast<long>(GetLastError());
        return false;
    }
    return true;
}

bool PortWrite(CommPort* port, const void* buf, uint32_t n, uint32_t* sent, long* err)
{
    if (port->net != nullptr) {
        return NetPortWrite(port->net, buf, n, sent, err);
    }
    // A synchronous WriteFile on a comm port may wait for the driver up to the
    // write time-out, and nothing tells beforehand: the console goes first.
    BeginWait();
    DWORD nTx = 0;
    const BOOL ok = WriteFile(port->hCOM, buf, n, &nTx, nullptr);
    EndWait();
    if (!ok) {
        *err = static_cast<long>(GetLastError());
    }
    *sent = nTx;
    return ok != 0;
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
    CloseHandle(port->hCOM);
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
