// The pseudo-terminal that stands in for the device: created and held open
// here, put in raw mode, watched for other programs' opens and closes, and
// served with echo and answers byte by byte as a modem does.
#include "tools/sim/device.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#ifdef __linux__
#include <sys/inotify.h>
#endif

#include "tools/sim/answers.h"
#include "tools/sim/options.h"

static const size_t MaxLine = 1024;             // longer command lines are answered ERROR
static const size_t MaxQueued = size_t{1} << 20;  // output nobody reads is dropped beyond this

static std::string LinkMade;

// Control bytes shown as escapes, so that a log line stays one line.
static std::string Visible(const std::string& s)
{
    std::string v;
    for (unsigned char c : s) {
        if (c == '\r') {
            v += "\\r";
        } else if (c == '\n') {
            v += "\\n";
        } else if (c == '\\') {
            v += "\\\\";
        } else if (c < 32 || c >= 127) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            v += hex;
        } else {
            v += static_cast<char>(c);
        }
    }
    return v;
}

static void Log(const char* dir, const std::string& text)
{
    if (Opt.Log) {
        fprintf(stderr, "torvex-sim: %s %s\n", dir, Visible(text).c_str());
    }
}

// At a wake-up or when the device is closed: counts start again, and a part
// line or queued answer of an earlier, interrupted run is dropped.
static void StartSession(Session* s)
{
    s->Line.clear();
    s->TooLong = false;
    s->Out.clear();
    ResetCounts();
}

static bool SetRaw(int fd)
{
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        return false;
    }
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                          IXOFF);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | HUPCL);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

bool MakeLink(const char* link, const char* target)
{
    if (symlink(target, link) == 0) {
        LinkMade = link;
        return true;
    }
    if (errno == EEXIST) {
        // A link left by a simulator that was killed is replaced; anything else is kept.
        struct stat st;
        if (lstat(link, &st) == 0 && S_ISLNK(st.st_mode)) {
            if (unlink(link) == 0 && symlink(target, link) == 0) {
                LinkMade = link;
                return true;
            }
        } else {
            errno = EEXIST;
        }
    }
    fprintf(stderr, "torvex-sim: cannot link %s: %s\n", link, strerror(errno));
    return false;
}

void RemoveLink()
{
    if (!LinkMade.empty()) {
        unlink(LinkMade.c_str());
    }
}

static void Queue(Session* s, const std::string& bytes)
{
    if (s->Out.size() + bytes.size() > MaxQueued) {
        return;  // nobody is reading the line
    }
    s->Out += bytes;
}

static void HandleLine(Session* s)
{
    const std::string cmd = TrimBlanks(s->Line);
    const bool tooLong = s->TooLong;
    s->Line.clear();
    s->TooLong = false;
    if (cmd.empty() && !tooLong) {
        return;
    }
    std::vector<std::string> answer;
    if (tooLong) {
        Log("<", cmd.substr(0, 60) + "... (too long)");
        answer = {"ERROR"};
    } else {
        Log("<", cmd);
        answer = Answer(cmd);
    }
    if (answer.empty()) {
        Log(">", "(no answer)");
    }
    for (const std::string& l : answer) {
        Log(">", l);
        Queue(s, "\r\n" + l + "\r\n");
    }
}

// Echo, line editing and an answer at each line end, byte by byte as a modem does.
static void Receive(Session* s, const char* data, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        const char c = data[i];
        if (EchoOn) {
            Queue(s, std::string(1, c));
        }
        if (c == '\r' || c == '\n') {
            HandleLine(s);
        } else if (c == '\b' || c == 0x7F) {
            if (!s->Line.empty()) {
                s->Line.pop_back();
            }
        } else if (s->Line.size() < MaxLine) {
            s->Line += c;
        } else {
            s->TooLong = true;
        }
    }
}

// Other programs' opens and closes of the device, through inotify on Linux.
// Elsewhere -1: then --once watches for the hang-up instead.
static int WatchOpens(const std::string& path)
{
#ifdef __linux__
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd >= 0 && inotify_add_watch(fd, path.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        close(fd);
        return -1;
    }
    return fd;
#else
    (void)path;
    return -1;
#endif
}

bool OpenDevice(Device* d)
{
    d->Master = posix_openpt(O_RDWR | O_NOCTTY);
    if (d->Master < 0 || grantpt(d->Master) != 0 || unlockpt(d->Master) != 0) {
        perror("torvex-sim: pseudo-terminal");
        return false;
    }
    const char* name = ptsname(d->Master);
    if (name == nullptr) {
        perror("torvex-sim: ptsname");
        return false;
    }
    d->Path = name;
    // Held open so that the line does not hang up between runs of torvex.
    d->Slave = open(d->Path.c_str(), O_RDWR | O_NOCTTY);
    if (d->Slave < 0 || !SetRaw(d->Slave)) {
        fprintf(stderr, "torvex-sim: %s: %s\n", d->Path.c_str(), strerror(errno));
        return false;
    }
    fcntl(d->Master, F_SETFL, fcntl(d->Master, F_GETFL) | O_NONBLOCK);
    fcntl(d->Master, F_SETFD, FD_CLOEXEC);
    fcntl(d->Slave, F_SETFD, FD_CLOEXEC);
    d->Watch = WatchOpens(d->Path);  // after the simulator's own open
    return true;
}

// The last program closed the device. A serial port starts afresh at its next
// open, so the next run must not meet the settings, the exclusive use (left
// set by a program that was killed) or the unread answers of this one.
static void ClientLeft(Device* d)
{
    Log("*", "closed");
    if (Opt.Once) {
        d->Done = true;
        return;
    }
    ioctl(d->Slave, TIOCNXCL);
    SetRaw(d->Slave);
    tcflush(d->Slave, TCIFLUSH);
    StartSession(&d->S);
}

static void ReadOpenEvents(Device* d)
{
#ifdef __linux__
    alignas(struct inotify_event) char buf[4096];
    ssize_t n;
    while ((n = read(d->Watch, buf, sizeof buf)) > 0) {
        for (ssize_t at = 0; at < n;) {
            struct inotify_event ev;
            memcpy(&ev, buf + at, sizeof ev);
            at += static_cast<ssize_t>(sizeof ev + ev.len);
            if (ev.mask & IN_OPEN) {
                d->Clients++;
                Log("*", "opened");
            }
            // Identical events in a row may be merged, so the count is a guess kept above zero.
            if ((ev.mask & IN_CLOSE) && d->Clients > 0 && --d->Clients == 0) {
                ClientLeft(d);
            }
        }
    }
#else
    (void)d;
#endif
}

static void ReadDevice(Device* d, bool* hungUp)
{
    char data[4096];
    const ssize_t n = read(d->Master, data, sizeof data);
    if (n > 0) {
        if (StartsWakeUp(d->S.Line, data, static_cast<size_t>(n))) {
            StartSession(&d->S);
        }
        if (Opt.Once && d->Watch < 0 && d->Slave >= 0) {
            // Without open events: from now on the line hangs up when the program using it closes it.
            close(d->Slave);
            d->Slave = -1;
        }
        Receive(&d->S, data, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        *hungUp = true;  // EIO: no one holds the device any more
    }
}

static void WriteDevice(Device* d)
{
    const ssize_t n = write(d->Master, d->S.Out.data(), d->S.Out.size());
    if (n > 0) {
        d->S.Out.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        d->S.Out.clear();
    }
}

int Serve(Device* d, int stopFd)
{
    while (!d->Done) {
        const short events = static_cast<short>(POLLIN | (d->S.Out.empty() ? 0 : POLLOUT));
        struct pollfd fds[3] = {{stopFd, POLLIN, 0}, {d->Master, events, 0}, {d->Watch, POLLIN, 0}};
        if (poll(fds, d->Watch >= 0 ? 3 : 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            perror("torvex-sim: poll");
            return 1;
        }
        // Data still waiting is read before a hang-up counts.
        bool hungUp = (fds[1].revents & (POLLHUP | POLLERR)) != 0 && (fds[1].revents & POLLIN) == 0;
        if (fds[1].revents & POLLIN) {
            ReadDevice(d, &hungUp);
        }
        if (fds[1].revents & POLLOUT) {
            WriteDevice(d);
        }
        if (d->Watch >= 0 && (fds[2].revents & POLLIN)) {
            ReadOpenEvents(d);
        }
        // Last, so that what came before the signal is shown in the log.
        if (fds[0].revents != 0) {
            return 0;
        }
        if (hungUp) {
            if (d->Slave < 0) {
                Log("*", "hung up");
                return 0;
            }
            // The simulator holds the device itself, so this is no hang-up by a client.
            fprintf(stderr, "torvex-sim: the pseudo-terminal failed\n");
            return 1;
        }
    }
    return 0;
}
