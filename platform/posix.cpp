// The platform layer on POSIX systems with termios. A serial port is a file
// descriptor in non-blocking mode; reads and writes wait in ppoll so that the
// Win32 time-out rules hold to well under a millisecond without busy waiting.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/com_range.h"
#include "platform/custom_speed.h"
#include "platform/net_port.h"
#include "platform/platform.h"

// Script positions are 64-bit; the build asks for 64-bit file offsets.
static_assert(sizeof(off_t) == 8, "64-bit file offsets are needed (_FILE_OFFSET_BITS=64)");

struct CommPort {
    int fd;
    struct termios tio;
    CommTimeouts timeouts;
    NetPort* net;  // a port on another machine, when not null
};

// The open port's descriptor, for the signal handler.
static volatile sig_atomic_t OpenPortFd = -1;

// Nanoseconds on the monotonic clock.
static int64_t NowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

static struct timespec Span(int64_t ns)
{
    if (ns < 0) {
        ns = 0;
    }
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

// The poll family may wake up to 0.1% of its time-out late (the kernel's slack:
// 1 ms on a one-second gap). Wait that much less and let the caller's loop finish.
static struct timespec PollSpan(int64_t ns)
{
    return Span(ns - ns / 1000);
}

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
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            *err = errno;
            return false;
        }
        if (r == 0) {
            continue;  // the deadline check above ends the read
        }
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

uint64_t TickCount()
{
    return static_cast<uint64_t>(NowNs() / 1000000);
}

void UtcNow(SystemTime* now)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    now->wYear = static_cast<uint16_t>(tm.tm_year + 1900);
    now->wMonth = static_cast<uint16_t>(tm.tm_mon + 1);
    now->wDayOfWeek = static_cast<uint16_t>(tm.tm_wday);
    now->wDay = static_cast<uint16_t>(tm.tm_mday);
    now->wHour = static_cast<uint16_t>(tm.tm_hour);
    now->wMinute = static_cast<uint16_t>(tm.tm_min);
    now->wSecond = static_cast<uint16_t>(tm.tm_sec);
    now->wMilliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
}

void FlushConsole()
{
    fflush(stdout);
}

void Pause(int64_t ms)
{
    FlushConsole();
    if (ms <= 0) {
        return;
    }
    const struct timespec until = Span(NowNs() + ms * 1000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// Where prompts read their keys: standard input, or the terminal when that is the script.
static volatile sig_atomic_t KeyFd = STDIN_FILENO;

// The console's settings while a prompt waits, for the signal handler to restore.
static struct termios SavedConsole;
static volatile sig_atomic_t ConsoleChanged = 0;
static volatile sig_atomic_t PromptLineOpen = 0;

// Faults go on to what handled them before (the default action, or a
// sanitizer's report) once the port and the console are put right.
static bool IsFault(int sig)
{
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE || sig == SIGABRT ||
           sig == SIGTRAP || sig == SIGSYS;
}

// Signals whose default action does not end the process.
static bool Harmless(int sig)
{
    return sig == SIGCHLD || sig == SIGCONT || sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN ||
           sig == SIGTTOU || sig == SIGURG || sig == SIGWINCH || sig == SIGKILL;
}

static struct sigaction Previous[NSIG];

static void OnSignal(int sig)
{
    if (ConsoleChanged) {
        tcsetattr(KeyFd, TCSANOW, &SavedConsole);
        if (PromptLineOpen) {
            (void)!write(STDOUT_FILENO, "\n", 1);
        }
    }
    // Exclusive use outlives the process while another program holds the line open.
    if (OpenPortFd >= 0) {
        ioctl(OpenPortFd, TIOCNXCL);
    }
    if (IsFault(sig)) {
        // Blocked while this handler runs, so it comes again once the old action is back.
        sigaction(sig, &Previous[sig], nullptr);
        (void)raise(sig);
        return;
    }
    // Ended by the signal itself, as a program that does not catch it: a shell
    // loop, make or xargs around the run then stops too.
    (void)signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    (void)raise(sig);
    // cppcheck-suppress unreachableCode ; should the default action not end the process
    _exit(sig == SIGINT ? 130 : 128 + sig);
}

// A standard stream that was closed would be the next file opened, the port
// among them, and the console's text would go to the device.
static void HoldStandardStreams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free descriptor: this one.
        if (open("/dev/null", O_RDWR) == fd) {
            continue;
        }
        // No null device (a bare chroot): the read end of a pipe with no writer
        // reads as at its end and takes no writes.
        int ends[2];
        if (pipe(ends) == 0) {
            close(ends[1]);
        }
    }
}

void PrepareConsole()
{
    HoldStandardStreams();
    // Even on a terminal, output waits in the buffer until the next call that may
    // block, which flushes it: the line to the console costs no write of its own
    // between an answer and the next command.
    (void)setvbuf(stdout, nullptr, _IOFBF, 4096);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigfillset(&sa.sa_mask);
    // The handler goes in and the old action comes back in one call per signal;
    // blocked meanwhile, a signal the caller ignores that comes while the
    // handler is briefly in place is dropped when its SIG_IGN is put back.
    sigset_t all, before;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &before);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (Harmless(sig)) {
            continue;
        }
        // A closed output, or an output over the file size limit, fails its
        // writes instead: the device's run is not cut short for a lost line.
        if (sig == SIGPIPE || sig == SIGXFSZ) {
            (void)signal(sig, SIG_IGN);
            continue;
        }
        struct sigaction old;
        if (sigaction(sig, &sa, &old) != 0) {
            continue;
        }
        // What the caller chose to ignore (nohup, a background job) stays ignored.
        if (old.sa_handler == SIG_IGN && !IsFault(sig)) {
            sigaction(sig, &old, nullptr);
            continue;
        }
        Previous[sig] = old;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

// One byte from standard input, or -1 at its end. With a timeout in
// milliseconds, -1 also when nothing comes in that time.
static int ReadByte(int timeoutMs)
{
    if (timeoutMs >= 0) {
        struct pollfd pfd = {KeyFd, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) {
            return -1;
        }
    }
    unsigned char c;
    for (;;) {
        ssize_t k = read(KeyFd, &c, 1);
        if (k == 1) {
            return c;
        }
        if (k < 0 && errno == EINTR) {
            continue;
        }
        return -1;
    }
}

// Keys such as arrows and function keys arrive as ESC [ ... or ESC O x.
// A lone ESC, with nothing after it, is the Escape key itself.
static bool SkipEscapeSequence()
{
    int c = ReadByte(50);
    if (c < 0) {
        return false;
    }
    if (c == 'O') {
        ReadByte(50);
    } else if (c == '[') {
        do {
            c = ReadByte(50);
        } while (c >= 0 && !(c >= 0x40 && c <= 0x7E));
    }
    return true;
}

// A key beyond ASCII comes on a UTF-8 terminal as a lead byte and up to three
// more; they belong to the same key press.
static void SkipUtf8Rest(int lead)
{
    const int rest = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    for (int i = 0; i < rest; ++i) {
        const int c = ReadByte(50);
        if (c < 0x80 || c > 0xBF) {
            return;
        }
    }
}

int ReadKey(bool lineOpen)
{
    FlushConsole();
    if (!isatty(KeyFd)) {
        int c = ReadByte(-1);
        return c < 0 ? 0 : c;
    }
    struct termios raw;
    if (tcgetattr(KeyFd, &SavedConsole) != 0) {
        int c = ReadByte(-1);
        return c < 0 ? 0 : c;
    }
    raw = SavedConsole;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    PromptLineOpen = lineOpen;
    ConsoleChanged = 1;
    tcsetattr(KeyFd, TCSANOW, &raw);
    int c;
    for (;;) {
        c = ReadByte(-1);
        if (c != 0x1B || !SkipEscapeSequence()) {
            break;
        }
    }
    SkipUtf8Rest(c);
    tcsetattr(KeyFd, TCSANOW, &SavedConsole);
    ConsoleChanged = 0;
    return c < 0 ? 0 : c;
}

void KeysApartFrom(FILE* script)
{
    struct stat in, file;
    if (fstat(STDIN_FILENO, &in) != 0 || fstat(fileno(script), &file) != 0 || in.st_dev != file.st_dev ||
        in.st_ino != file.st_ino) {
        return;
    }
    // None without a controlling terminal: the keys stay at standard input's end.
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty >= 0) {
        KeyFd = tty;
    }
}

FILE* FileOpenRead(const char* path)
{
    FlushConsole();  // a FIFO's open, and a pipe's reads, wait for the writer
    FILE* file = nullptr;
    if (strcmp(path, "-") == 0) {
        // A descriptor of its own, so that closing the script leaves standard input.
        const int fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
        file = fd < 0 ? nullptr : fdopen(fd, "rb");
        if (file == nullptr && fd >= 0) {
            const int err = errno;
            close(fd);
            errno = err;
        }
    } else {
        file = fopen(path, "rb");
    }
    struct stat st;
    if (file != nullptr && fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode)) {
        fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

// Only a regular file keeps its bytes in place: a device such as /dev/zero
// accepts a seek but would read differently the second time.
bool FileSeekable(FILE* file)
{
    struct stat st;
    return fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && ftello(file) >= 0;
}

const char* TempDir()
{
    const char* dir = getenv("TMPDIR");
    return dir != nullptr && dir[0] != '\0' ? dir : "/tmp";
}

FILE* TempFile()
{
    char path[4096];
    if (snprintf(path, sizeof path, "%s/torvex-XXXXXX", TempDir()) >= static_cast<int>(sizeof path)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    const int fd = mkostemp(path, O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    unlink(path);  // removed when closed
    FILE* file = fdopen(fd, "w+b");
    if (file == nullptr) {
        const int err = errno;
        close(fd);
        errno = err;
    }
    return file;
}

int64_t FileTell(FILE* file)
{
    return static_cast<int64_t>(ftello(file));
}

bool FileSeek(FILE* file, int64_t offset)
{
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}
