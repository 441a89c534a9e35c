// torvex-sim: stands in for the modem-attached device on a pseudo-terminal, so
// that torvex scripts can be tried without hardware. It echoes what it receives
// and answers each command line the way the device does ("\r\n<line>\r\n" per
// line); a table file can add answers, count how often they were asked for, or
// keep the device silent.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#ifdef __linux__
#include <sys/inotify.h>
#endif

#ifndef TORVEX_SIM_VERSION
#define TORVEX_SIM_VERSION "unknown"
#endif

namespace {

const size_t MaxLine = 1024;             // longer command lines are answered ERROR
const size_t MaxQueued = size_t{1} << 20;  // output nobody reads is dropped beyond this
const char WakeUpLine[] = "AT^QESCAT^QESC=1";
const char Identification[] = "Torvex device simulator " TORVEX_SIM_VERSION;

struct Options {
    const char* Link = nullptr;
    const char* Answers = nullptr;
    bool Echo = true;
    bool Once = false;
    bool Log = false;
};

// One command of the answers table. Several entries for the same command are
// answered in turn, the last one again and again.
struct Entry {
    std::string Command;  // upper case
    bool Prefix = false;  // written with a trailing "*"
    std::vector<std::string> Turns;
    unsigned long Asked = 0;
};

Options Opt;
std::vector<Entry> Table;
bool EchoOn = true;
long long ClockOffset = 0;  // seconds between the device's clock and the host's UTC
int SignalPipe[2] = {-1, -1};
std::string LinkMade;

void OnSignal(int)
{
    const int saved = errno;
    const char c = 1;
    ssize_t ignored = write(SignalPipe[1], &c, 1);
    (void)ignored;
    errno = saved;
}

void Usage(FILE* out)
{
    fprintf(out,
            "Usage: torvex-sim [--link PATH] [--answers FILE] [--no-echo] [--once] [--log]\n"
            "\n"
            "Opens a pseudo-terminal and answers on it like the device, so that torvex\n"
            "can run a script against it: torvex SCRIPT -PORT=<the path printed>.\n"
            "\n"
            "  --link PATH     also make PATH a symbolic link to the device (removed at exit)\n"
            "  --answers FILE  add or override answers, one per line: COMMAND=LINE|LINE...\n"
            "                  (or COMMAND<tab>LINE|LINE...). {n} in an answer is how many\n"
            "                  times the command has been asked since the last wake-up;\n"
            "                  a COMMAND ending in * matches every line that begins so;\n"
            "                  an empty answer keeps the device silent\n"
            "  --no-echo       do not echo what is received\n"
            "  --once          exit when the program that uses the device closes it\n"
            "  --log           show on standard error every line received (<) and\n"
            "                  answered (>), and every open and close (*)\n"
            "  --help          show this text\n"
            "  --version       show the version\n"
            "\n"
            "Without --once it runs until interrupted (Ctrl-C) or terminated.\n");
}

std::string Upper(const std::string& s)
{
    std::string u = s;
    for (char& c : u) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return u;
}

std::string TrimBlanks(const std::string& s)
{
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) {
        b++;
    }
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) {
        e--;
    }
    return s.substr(b, e - b);
}

// Control bytes shown as escapes, so that a log line stays one line.
std::string Visible(const std::string& s)
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

void Log(const char* dir, const std::string& text)
{
    if (Opt.Log) {
        fprintf(stderr, "torvex-sim: %s %s\n", dir, Visible(text).c_str());
    }
}

bool LoadAnswers(const char* path)
{
    FILE* f = fopen(path, "rb");
    if (f == nullptr) {
        fprintf(stderr, "torvex-sim: cannot open %s: %s\n", path, strerror(errno));
        return false;
    }
    std::string line;
    unsigned lineNo = 0;
    int c;
    bool ok = true;
    do {
        c = fgetc(f);
        if (c != '\n' && c != EOF) {
            line += static_cast<char>(c);
            continue;
        }
        lineNo++;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::string trimmed = TrimBlanks(line);
        line.clear();
        if (trimmed.empty() || trimmed[0] == '#') {
            continue;
        }
        // A tab separates when there is one, so that commands may hold "=".
        size_t sep = trimmed.find('\t');
        if (sep == std::string::npos) {
            sep = trimmed.find('=');
        }
        if (sep == std::string::npos || TrimBlanks(trimmed.substr(0, sep)).empty()) {
            fprintf(stderr, "torvex-sim: %s:%u: expected COMMAND=ANSWER\n", path, lineNo);
            ok = false;
            continue;
        }
        std::string command = Upper(TrimBlanks(trimmed.substr(0, sep)));
        bool prefix = false;
        if (command.back() == '*') {
            prefix = true;
            command.pop_back();
        }
        const std::string answer = TrimBlanks(trimmed.substr(sep + 1));
        Entry* entry = nullptr;
        for (Entry& e : Table) {
            if (e.Command == command && e.Prefix == prefix) {
                entry = &e;
            }
        }
        if (entry == nullptr) {
            Table.emplace_back();
            entry = &Table.back();
            entry->Command = command;
            entry->Prefix = prefix;
        }
        entry->Turns.push_back(answer);
    } while (c != EOF);
    fclose(f);
    return ok;
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
long long DaysFromCivil(long long y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool Digits(const std::string& s, size_t at, size_t n, unsigned* value)
{
    *value = 0;
    for (size_t i = at; i < at + n; i++) {
        if (s[i] < '0' || s[i] > '9') {
            return false;
        }
        *value = *value * 10 + static_cast<unsigned>(s[i] - '0');
    }
    return true;
}

// "YYYY/MM/DD HH:MM:SS", the hour possibly padded with a space. The device's
// clock holds the years 2000 to 2099, where every fourth year is a leap year.
bool ParseClock(const std::string& s, long long* epoch)
{
    if (s.size() != 19 || s[4] != '/' || s[7] != '/' || s[10] != ' ' || s[13] != ':' || s[16] != ':') {
        return false;
    }
    std::string hour = s.substr(11, 2);
    if (hour[0] == ' ') {
        hour[0] = '0';
    }
    unsigned year, month, day, h, min, sec;
    if (!Digits(s, 0, 4, &year) || !Digits(s, 5, 2, &month) || !Digits(s, 8, 2, &day) ||
        !Digits(hour, 0, 2, &h) || !Digits(s, 14, 2, &min) || !Digits(s, 17, 2, &sec)) {
        return false;
    }
    static const unsigned MonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 2000 || year > 2099 || month < 1 || month > 12 || h > 23 || min > 59 || sec > 59) {
        return false;
    }
    const unsigned days = month == 2 && year % 4 == 0 ? 29 : MonthDays[month - 1];
    if (day < 1 || day > days) {
        return false;
    }
    const long long seconds = (static_cast<long long>(h) * 60 + min) * 60 + sec;
    *epoch = DaysFromCivil(year, month, day) * 86400 + seconds;
    return true;
}

std::string ClockText()
{
    time_t t = time(nullptr) + static_cast<time_t>(ClockOffset);
    struct tm tm;
    gmtime_r(&t, &tm);
    char text[64];
    snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

bool OneOf(const std::string& cmd, std::initializer_list<const char*> names)
{
    for (const char* name : names) {
        if (cmd == name) {
            return true;
        }
    }
    return false;
}

// The device's own answers. An empty list means no answer at all.
std::vector<std::string> BuiltInAnswer(const std::string& line)
{
    const std::string cmd = Upper(line);
    if (cmd == WakeUpLine || OneOf(cmd, {"AT^QESC", "AT^QESC=0", "AT^QESC=1"})) {
        return {"OK"};
    }
    if (OneOf(cmd, {"ATZ", "ATZ0", "AT&F", "AT&F0"})) {
        EchoOn = Opt.Echo;
        return {"OK"};
    }
    if (OneOf(cmd, {"ATE0"})) {
        EchoOn = false;
        return {"OK"};
    }
    if (OneOf(cmd, {"ATE", "ATE1"})) {
        EchoOn = true;
        return {"OK"};
    }
    if (OneOf(cmd, {"AT", "ATQ0", "ATV1", "ATH", "ATH0", "ATM0", "ATM1", "ATL0", "ATL1", "ATL2",
                    "ATL3", "AT&W", "AT&W0", "AT&C1", "AT&D0", "AT&D2", "ATX4", "AT+CMEE=0",
                    "AT+CMEE=1", "AT+CMEE=2"})) {
        return {"OK"};
    }
    if (OneOf(cmd, {"ATI", "ATI0"})) {
        return {Identification, "OK"};
    }
    if (OneOf(cmd, {"AT+CGMI", "AT+GMI"})) {
        return {"Torvex", "OK"};
    }
    if (OneOf(cmd, {"AT+CGMM", "AT+GMM"})) {
        return {"TORVEX-SIM", "OK"};
    }
    if (OneOf(cmd, {"AT+CGMR", "AT+GMR"})) {
        return {TORVEX_SIM_VERSION, "OK"};
    }
    if (OneOf(cmd, {"AT+CGSN", "AT+GSN"})) {
        return {"000000000000001", "OK"};
    }
    if (cmd == "AT+CSQ") {
        return {"+CSQ: 23,99", "OK"};
    }
    if (cmd == "AT+CSQ=?") {
        return {"+CSQ: (0-31,99),(0-7,99)", "OK"};
    }
    if (cmd == "AT^QRTC?") {
        return {"^QRTC: " + ClockText(), "OK"};
    }
    if (cmd.compare(0, 8, "AT^QRTC=") == 0) {
        long long epoch;
        if (!ParseClock(line.substr(8), &epoch)) {
            return {"ERROR"};
        }
        ClockOffset = epoch - static_cast<long long>(time(nullptr));
        return {"OK"};
    }
    return {"ERROR"};
}

std::vector<std::string> SplitLines(const std::string& answer)
{
    std::vector<std::string> lines;
    if (answer.empty()) {
        return lines;
    }
    size_t start = 0;
    for (;;) {
        const size_t bar = answer.find('|', start);
        lines.push_back(answer.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) {
            return lines;
        }
        start = bar + 1;
    }
}

Entry* FindEntry(const std::string& cmd)
{
    for (Entry& e : Table) {
        if (!e.Prefix && e.Command == cmd) {
            return &e;
        }
    }
    // Of the prefixes, the longest that matches.
    Entry* best = nullptr;
    for (Entry& e : Table) {
        if (e.Prefix && cmd.compare(0, e.Command.size(), e.Command) == 0 &&
            (best == nullptr || e.Command.size() > best->Command.size())) {
            best = &e;
        }
    }
    return best;
}

std::vector<std::string> Answer(const std::string& line)
{
    Entry* entry = FindEntry(Upper(line));
    if (entry == nullptr) {
        return BuiltInAnswer(line);
    }
    entry->Asked++;
    const size_t turn = entry->Asked <= entry->Turns.size() ? entry->Asked - 1 : entry->Turns.size() - 1;
    std::string text = entry->Turns[turn];
    const std::string count = std::to_string(entry->Asked);
    for (size_t at = text.find("{n}"); at != std::string::npos; at = text.find("{n}", at + count.size())) {
        text.replace(at, 3, count);
    }
    return SplitLines(text);
}

// What has been received of the current command line, and what waits to be sent.
struct Session {
    std::string Line;
    bool TooLong = false;
    std::string Out;
};

// At a wake-up or when the device is closed: counts start again, and a part
// line or queued answer of an earlier, interrupted run is dropped.
void StartSession(Session* s)
{
    s->Line.clear();
    s->TooLong = false;
    s->Out.clear();
    for (Entry& e : Table) {
        e.Asked = 0;
    }
}

bool SetRaw(int fd)
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

bool ParseArgs(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        const char** value = nullptr;
        std::string name = arg;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
        }
        if (name == "--link") {
            value = &Opt.Link;
        } else if (name == "--answers") {
            value = &Opt.Answers;
        } else if (arg == "--no-echo") {
            Opt.Echo = false;
        } else if (arg == "--once") {
            Opt.Once = true;
        } else if (arg == "--log") {
            Opt.Log = true;
        } else if (arg == "--help" || arg == "-h" || arg == "-?") {
            Usage(stdout);
            exit(0);
        } else if (arg == "--version") {
            printf("torvex-sim %s\n", TORVEX_SIM_VERSION);
            exit(0);
        } else {
            fprintf(stderr, "torvex-sim: unknown option %s\n", arg.c_str());
            fprintf(stderr, "Try 'torvex-sim --help'.\n");
            return false;
        }
        if (value != nullptr) {
            if (eq != std::string::npos) {
                *value = argv[i] + eq + 1;
            } else if (i + 1 < argc) {
                *value = argv[++i];
            } else {
                fprintf(stderr, "torvex-sim: %s needs a value\n", arg.c_str());
                return false;
            }
            if (**value == '\0') {
                fprintf(stderr, "torvex-sim: %s needs a value\n", name.c_str());
                return false;
            }
        }
    }
    return true;
}

void Queue(Session* s, const std::string& bytes)
{
    if (s->Out.size() + bytes.size() > MaxQueued) {
        return;  // nobody is reading the line
    }
    s->Out += bytes;
}

void HandleLine(Session* s)
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
void Receive(Session* s, const char* data, size_t n)
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

// The wake-up arrives in one write, at the start of a run of torvex.
bool StartsWakeUp(const char* data, size_t n)
{
    return n >= 7 && Upper(std::string(data, 7)) == std::string(WakeUpLine, 7);
}

// The pseudo-terminal and who holds it.
struct Device {
    int Master = -1;
    int Slave = -1;    // the simulator's own hold on the device
    int Watch = -1;    // open and close events of the device, where the system has them
    int Clients = 0;   // programs holding the device
    bool Done = false;
    Session S;
};

// Other programs' opens and closes of the device, through inotify on Linux.
// Elsewhere -1: then --once watches for the hang-up instead.
int WatchOpens(const std::string& path)
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

// The last program closed the device. A serial port starts afresh at its next
// open, so the next run must not meet the settings, the exclusive use (left
// set by a program that was killed) or the unread answers of this one.
void ClientLeft(Device* d)
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

void ReadOpenEvents(Device* d)
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

void ReadDevice(Device* d, bool* hungUp)
{
    char data[4096];
    const ssize_t n = read(d->Master, data, sizeof data);
    if (n > 0) {
        if (StartsWakeUp(data, static_cast<size_t>(n))) {
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

void WriteDevice(Device* d)
{
    const ssize_t n = write(d->Master, d->S.Out.data(), d->S.Out.size());
    if (n > 0) {
        d->S.Out.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        d->S.Out.clear();
    }
}

// Answers until a signal, or until the hang-up or last close with --once. The exit status.
int Serve(Device* d)
{
    while (!d->Done) {
        const short events = static_cast<short>(POLLIN | (d->S.Out.empty() ? 0 : POLLOUT));
        struct pollfd fds[3] = {{SignalPipe[0], POLLIN, 0}, {d->Master, events, 0}, {d->Watch, POLLIN, 0}};
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

}  // namespace

int main(int argc, char** argv)
{
    if (!ParseArgs(argc, argv)) {
        return 2;
    }
    if (Opt.Answers != nullptr && !LoadAnswers(Opt.Answers)) {
        return 2;
    }
    EchoOn = Opt.Echo;

    if (pipe(SignalPipe) != 0) {
        perror("torvex-sim: pipe");
        return 1;
    }
    for (int fd : SignalPipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    Device d;
    d.Master = posix_openpt(O_RDWR | O_NOCTTY);
    if (d.Master < 0 || grantpt(d.Master) != 0 || unlockpt(d.Master) != 0) {
        perror("torvex-sim: pseudo-terminal");
        return 1;
    }
    const char* name = ptsname(d.Master);
    if (name == nullptr) {
        perror("torvex-sim: ptsname");
        return 1;
    }
    const std::string slaveName = name;
    // Held open so that the line does not hang up between runs of torvex.
    d.Slave = open(slaveName.c_str(), O_RDWR | O_NOCTTY);
    if (d.Slave < 0 || !SetRaw(d.Slave)) {
        fprintf(stderr, "torvex-sim: %s: %s\n", slaveName.c_str(), strerror(errno));
        return 1;
    }
    fcntl(d.Master, F_SETFL, fcntl(d.Master, F_GETFL) | O_NONBLOCK);
    fcntl(d.Master, F_SETFD, FD_CLOEXEC);
    fcntl(d.Slave, F_SETFD, FD_CLOEXEC);
    d.Watch = WatchOpens(slaveName);  // after the simulator's own open
    if (Opt.Link != nullptr && !MakeLink(Opt.Link, slaveName.c_str())) {
        return 1;
    }
    printf("torvex-sim: device on %s\n", slaveName.c_str());
    if (!LinkMade.empty()) {
        printf("torvex-sim: linked as %s\n", LinkMade.c_str());
    }
    fflush(stdout);

    const int status = Serve(&d);
    RemoveLink();
    return status;
}
