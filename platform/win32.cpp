// The platform layer on Windows. A serial port is a Win32 communications
// device opened for synchronous I/O; the comm driver applies the line settings
// and the read and write time-outs itself.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/net_port.h"
#include "platform/platform.h"
#include "platform/win32_wait.h"

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

uint64_t TickCount()
{
    return GetTickCount64();
}

void UtcNow(SystemTime* now)
{
    SYSTEMTIME st;
    GetSystemTime(&st);
    now->wYear = st.wYear;
    now->wMonth = st.wMonth;
    now->wDayOfWeek = st.wDayOfWeek;
    now->wDay = st.wDay;
    now->wHour = st.wHour;
    now->wMinute = st.wMinute;
    now->wSecond = st.wSecond;
    now->wMilliseconds = st.wMilliseconds;
}

void Pause(int64_t ms)
{
    BeginWait();
    // Sleep takes 32 bits, and 0xFFFFFFFF (INFINITE) would never return.
    const int64_t chunk = 0x7FFFFFFF;
    while (ms > 0) {
        const int64_t step = ms < chunk ? ms : chunk;
        Sleep(static_cast<DWORD>(step));
        ms -= step;
    }
    EndWait();
}

// Set while a prompt's message stands on the console line.
static volatile LONG PromptLineOpen = 0;

// A run ended at a prompt ends the prompt's line first.
static void EndPromptLine()
{
    if (PromptLineOpen) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "\r\n", 2, &written, nullptr);
    }
}

// Held while standard output is flushed, and while the flags below change.
// Ctrl-C comes on a thread of its own; msvcrt writes one flush in several
// pieces, and ExitProcess writes out what the buffer holds, perhaps half a
// line: the run may end only while no flush is under way and the buffer is
// empty, or holds whole lines only.
static SRWLOCK ConsoleLock = SRWLOCK_INIT;
static volatile LONG Waiting = 0;  // the main thread waits, with the console flushed
static volatile LONG Ending = 0;   // Ctrl-C came: the main thread ends the run at its next flush

static void EndRun()
{
    EndPromptLine();
    ExitProcess(130);
}

void FlushConsole()
{
    AcquireSRWLockExclusive(&ConsoleLock);
    fflush(stdout);
    if (Ending) {
        EndRun();
    }
    ReleaseSRWLockExclusive(&ConsoleLock);
}

void BeginWait()
{
    AcquireSRWLockExclusive(&ConsoleLock);
    fflush(stdout);
    if (Ending) {
        EndRun();
    }
    Waiting = 1;
    ReleaseSRWLockExclusive(&ConsoleLock);
}

void EndWait()
{
    AcquireSRWLockExclusive(&ConsoleLock);
    Waiting = 0;
    ReleaseSRWLockExclusive(&ConsoleLock);
}

// Ctrl-C and Ctrl-Break end the run; the system closes the port. Windows has no
// death by a signal to show the caller: the exit status 130 stands for it. A
// flush under way ends first, unless its reader has stopped reading; a run
// that is printing ends at the end of its line.
static BOOL WINAPI OnConsoleCtrl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    bool locked = false;
    for (int waited = 0; waited < 1000 && !(locked = TryAcquireSRWLockExclusive(&ConsoleLock)); waited++) {
        Sleep(1);
    }
    if (!locked || Waiting) {
        EndRun();
    }
    Ending = 1;
    ReleaseSRWLockExclusive(&ConsoleLock);
    // Every line ends in a flush; only a long stretch without one, such as
    // the label scan of a huge script, gets here.
    Sleep(2000);
    EndRun();
    return TRUE;
}

static const int CtrlC = 3;

void PrepareConsole()
{
    // msvcrt writes every printf to the console on its own, which is slow; every
    // blocking call here flushes first, so nothing waits unseen in the buffer.
    // Should buffering be refused, output is only slower.
    (void)setvbuf(stdout, nullptr, _IOFBF, 4096);
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
}

// One key from the console. Arrows and function keys come as 0 or 0xE0
// followed by a second code; on a UTF-8 console a key beyond ASCII comes as
// several bytes at once. Either way the rest belongs to the same key.
static int ConsoleKey()
{
    for (;;) {
        const int c = _getch();
        // _getch takes Ctrl-C as a key rather than raising the event.
        if (c == CtrlC) {
            EndPromptLine();
            ExitProcess(130);
        }
        if (c == 0 || c == 0xE0) {
            _getch();
            continue;
        }
        if (c >= 0xC0 && GetConsoleCP() == CP_UTF8) {
            for (int rest = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1; rest > 0 && _kbhit(); --rest) {
                _getch();
            }
        }
        return c;
    }
}

// Set when standard input is the script and a console is there for the keys.
static bool KeysFromConsole = false;

int ReadKey(bool lineOpen)
{
    BeginWait();
    InterlockedExchange(&PromptLineOpen, lineOpen ? 1 : 0);
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    int key = 0;
    if (KeysFromConsole || (GetFileType(in) == FILE_TYPE_CHAR && GetConsoleMode(in, &mode))) {
        key = ConsoleKey();
    } else {
        unsigned char c;
        DWORD got = 0;
        if (ReadFile(in, &c, 1, &got, nullptr) && got == 1) {
            key = c;
        }
    }
    InterlockedExchange(&PromptLineOpen, 0);
    EndWait();
    return key;
}

// The descriptor of a script read from standard input ("-").
static int StdinScriptFd = -1;

void KeysApartFrom(FILE* script)
{
    if (_fileno(script) != StdinScriptFd) {
        return;
    }
    // _getch reads the console whatever standard input is.
    HANDLE console = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    DWORD mode;
    if (console != INVALID_HANDLE_VALUE) {
        KeysFromConsole = GetConsoleMode(console, &mode) != 0;
        CloseHandle(console);
    }
}

FILE* FileOpenRead(const char* path)
{
    FlushConsole();  // a pipe's reads wait for the writer
    if (strcmp(path, "-") != 0) {
        return fopen(path, "rb");  // Windows itself refuses to open a directory
    }
    // A descriptor of its own, so that closing the script leaves standard input.
    const int fd = _dup(0);
    FILE* file = fd < 0 ? nullptr : _fdopen(fd, "rb");
    if (file == nullptr) {
        if (fd >= 0) {
            _close(fd);
        }
        return nullptr;
    }
    _setmode(fd, _O_BINARY);
    StdinScriptFd = fd;
    return file;
}

bool FileSeekable(FILE* file)
{
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the C library keeps the handle as an integer
    return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) == FILE_TYPE_DISK;
}

// GetTempPath's answer (TMP, TEMP, the profile's folder), without the closing
// backslash except at a drive's root.
static std::string TempPath()
{
    char dir[32768];
    const DWORD n = GetTempPathA(sizeof dir, dir);
    if (n == 0 || n >= sizeof dir) {
        return "";
    }
    std::string path(dir, n);
    if (path.size() > 3 && path.back() == '\\') {
        path.pop_back();
    }
    return path;
}

const char* TempDir()
{
    static const std::string dir = TempPath();
    return dir.c_str();
}

FILE* TempFile()
{
    // The C library's tmpfile writes to the root of the drive, which users may
    // not. Its _open reports CreateFile's failure in errno, as fopen does.
    const std::string dir = TempDir();
    if (dir.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    const unsigned stamp = static_cast<unsigned>(GetCurrentProcessId()) * 65599u + static_cast<unsigned>(GetTickCount());
    for (unsigned attempt = 0; attempt < 100; attempt++) {
        char name[32];
        snprintf(name, sizeof name, "%stvx%08X.tmp", dir.back() == '\\' ? "" : "\\", stamp + attempt * 7919u);
        // _O_TEMPORARY: removed when closed.
        const int fd = _open((dir + name).c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_TEMPORARY | _O_NOINHERIT,
                             _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            FILE* file = _fdopen(fd, "w+b");
            if (file == nullptr) {
                const int err = errno;
                _close(fd);
                errno = err;
            }
            return file;
        }
        if (errno != EEXIST) {
            return nullptr;
        }
    }
    return nullptr;  // errno is EEXIST
}

int64_t FileTell(FILE* file)
{
    return _ftelli64(file);
}

bool FileSeek(FILE* file, int64_t offset)
{
    return _fseeki64(file, offset, SEEK_SET) == 0;
}
