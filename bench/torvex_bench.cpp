// torvex_bench: runs the real torvex (Linux build, and torvex.exe under Wine)
// against a device played on the master side of a pseudo-terminal, and prints a
// table of turnaround, CPU, memory, throughput and start-up figures.
// A black-box measurement: it only spawns the program and watches the wire,
// the console and /proc, so it measures exactly what a user runs.
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

const int64_t MS = 1000000;  // nanoseconds in a millisecond
const int64_t QUIET_GAP_MS = 1000;  // ReadIntervalTimeout the program sets
const char ANSWER[] = "\r\n+CSQ: 23,99\r\n\r\nOK\r\n";

FILE* Log = nullptr;
std::string DumpDir;  // where each run's console bytes are kept, for a look afterwards

int64_t Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void Note(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char buf[2048];
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    fprintf(stderr, "%s\n", buf);
    if (Log != nullptr) {
        fprintf(Log, "%s\n", buf);
        fflush(Log);
    }
}

[[noreturn]] void Die(const char* what)
{
    fprintf(stderr, "torvex_bench: %s: %s\n", what, strerror(errno));
    exit(2);
}

std::string LoadAvg()
{
    FILE* f = fopen("/proc/loadavg", "r");
    char buf[128] = "?";
    if (f != nullptr) {
        if (fgets(buf, sizeof buf, f) == nullptr) {
            strcpy(buf, "?");
        }
        fclose(f);
    }
    std::string s = buf;
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) {
        s.pop_back();
    }
    return s;
}

std::string Fmt(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char buf[256];
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string Machine()
{
    std::string model = "?";
    FILE* f = fopen("/proc/cpuinfo", "r");
    char line[512];
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "model name", 10) == 0 && strchr(line, ':') != nullptr) {
            model = strchr(line, ':') + 2;
            model.erase(model.find_last_not_of(" \n") + 1);
            break;
        }
    }
    if (f != nullptr) {
        fclose(f);
    }
    struct utsname u;
    uname(&u);
    return Fmt("Machine: %ld cores, %s, kernel %s", sysconf(_SC_NPROCESSORS_ONLN), model.c_str(), u.release);
}

// ---- CPU and scheduling from /proc: a thread's schedstat holds the exact time
// it ran and the time it waited on a run queue, in nanoseconds.

struct TaskTimes {
    int64_t run = 0;
    int64_t wait = 0;
};
using Threads = std::map<long, TaskTimes>;  // by thread id

TaskTimes ReadSchedstat(const std::string& path)
{
    TaskTimes t;
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr) {
        return t;
    }
    long long run = 0, wait = 0;
    if (fscanf(f, "%lld %lld", &run, &wait) == 2) {
        t.run = run;
        t.wait = wait;
    }
    fclose(f);
    return t;
}

// Every live thread of a process.
void ReadThreads(pid_t pid, Threads* out)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9') {
            (*out)[atol(e->d_name)] = ReadSchedstat(dir + "/" + e->d_name + "/schedstat");
        }
    }
    closedir(d);
}

// What the threads used between two samples; a thread born in between counts from zero.
TaskTimes Delta(const Threads& a, const Threads& b)
{
    TaskTimes d;
    for (const auto& kv : b) {
        auto it = a.find(kv.first);
        d.run += kv.second.run - (it == a.end() ? 0 : it->second.run);
        d.wait += kv.second.wait - (it == a.end() ? 0 : it->second.wait);
    }
    return d;
}

bool EnvironHas(pid_t pid, const std::string& entry)
{
    FILE* f = fopen(("/proc/" + std::to_string(pid) + "/environ").c_str(), "r");
    if (f == nullptr) {
        return false;
    }
    std::string env;
    char buf[8192];
    size_t k;
    while ((k = fread(buf, 1, sizeof buf, f)) > 0) {
        env.append(buf, k);
    }
    fclose(f);
    return env.compare(0, entry.size() + 1, entry + '\0') == 0 ||
           env.find('\0' + entry + '\0') != std::string::npos;
}

std::string Comm(pid_t pid)
{
    FILE* f = fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r");
    char buf[64] = "";
    if (f != nullptr) {
        if (fgets(buf, sizeof buf, f) == nullptr) {
            buf[0] = '\0';
        }
        fclose(f);
    }
    return buf;
}

// The processes of one Wine prefix: the program, wineserver and the prefix's services;
// with serverOnly, only wineserver.
std::vector<pid_t> PrefixProcesses(const std::string& prefix, bool serverOnly)
{
    std::vector<pid_t> pids;
    DIR* d = opendir("/proc");
    if (d == nullptr) {
        return pids;
    }
    const std::string entry = "WINEPREFIX=" + prefix;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') {
            continue;
        }
        const pid_t pid = static_cast<pid_t>(atol(e->d_name));
        if (pid != getpid() && EnvironHas(pid, entry) && (!serverOnly || Comm(pid).rfind("wineserver", 0) == 0)) {
            pids.push_back(pid);
        }
    }
    closedir(d);
    return pids;
}

// A "VmHWM:"-style line of /proc/<pid>/<file>, in KiB; 0 if absent.
long ProcKiB(const std::string& pid, const char* file, const char* key)
{
    FILE* f = fopen(("/proc/" + pid + "/" + file).c_str(), "r");
    if (f == nullptr) {
        return 0;
    }
    char line[256];
    long kib = 0;
    const size_t n = strlen(key);
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, key, n) == 0) {
            kib = atol(line + n);
            break;
        }
    }
    fclose(f);
    return kib;
}

// One look at the program, the benchmark itself and, under Wine, the whole prefix.
struct Sample {
    int64_t at = 0;
    long long steal = 0;  // clock ticks the hypervisor gave to others, all CPUs
    Threads program;
    Threads bench;
    Threads tree;
};

long long StealTicks()
{
    FILE* f = fopen("/proc/stat", "r");
    long long v[8] = {};
    if (f != nullptr) {
        if (fscanf(f, "cpu %lld %lld %lld %lld %lld %lld %lld %lld", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                   &v[7]) != 8) {
            v[7] = 0;
        }
        fclose(f);
    }
    return v[7];
}

Sample TakeSample(pid_t program, const std::vector<pid_t>& tree, int64_t now)
{
    Sample s;
    s.at = now;
    s.steal = StealTicks();
    ReadThreads(program, &s.program);
    ReadThreads(getpid(), &s.bench);
    for (pid_t p : tree) {
        ReadThreads(p, &s.tree);
    }
    return s;
}

double Ms(int64_t ns)
{
    return static_cast<double>(ns) / 1e6;
}

double CpuMs(const struct rusage& ru)
{
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000 +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000;
}

// ---- Spawning the program.

struct Target {
    std::string name;  // "Linux" or "Wine"
    std::string exe;
    bool wine = false;
    std::string prefix;  // WINEPREFIX
};

enum class Console { Pipe, Terminal };

std::string WinePath(const std::string& path)
{
    std::string w = "Z:" + path;
    std::replace(w.begin(), w.end(), '/', '\\');
    return w;
}

int PidfdOpen(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

void SetNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// What one run of the program left behind.
struct Run {
    pid_t pid = 0;  // Wine runs the program in the process it was started as
    int64_t spawnAt = 0;
    int64_t exitAt = 0;
    int status = -1;
    bool killed = false;
    struct rusage ru {};
    long benchAnonKiB = 0;  // this process's own memory at fork, which ru_maxrss also covers
    long hwmKiB = 0;        // the highest VmHWM seen while the program ran
    long rssKiB = 0;        // the highest exact resident set seen (page-table walk)
    long pssKiB = 0;        // its proportional share: shared library pages divided among their users
    // Device side: one entry per command line received (index 0: the wake-up).
    std::vector<std::string> commands;
    std::vector<int64_t> cmdFirst;  // poll wake-up for the command's first byte
    std::vector<int64_t> ansLast;   // right after the answer's last byte was written; 0 if none
    // Console: raw bytes, and the text without terminal control sequences.
    std::string consoleRaw;
    std::string consoleText;
    std::vector<std::pair<size_t, int64_t>> chunks;  // text length after each read, and when
    // Time the console text first held byte `offset`.
    int64_t TextTime(size_t offset) const
    {
        for (const auto& c : chunks) {
            if (c.first > offset) {
                return c.second;
            }
        }
        return 0;
    }
    std::vector<size_t> Find(const std::string& what) const
    {
        std::vector<size_t> at;
        for (size_t p = consoleText.find(what); p != std::string::npos; p = consoleText.find(what, p + 1)) {
            at.push_back(p);
        }
        return at;
    }
};

// Drops terminal control sequences (Wine's console writes them around every character).
class TextFilter {
public:
    void Feed(const char* data, size_t n, std::string* out)
    {
        for (size_t i = 0; i < n; i++) {
            const unsigned char c = static_cast<unsigned char>(data[i]);
            switch (state_) {
            case 0:
                if (c == 0x1B) {
                    state_ = 1;
                } else if (c != '\r') {
                    out->push_back(static_cast<char>(c));
                }
                break;
            case 1:  // after ESC
                state_ = c == '[' ? 2 : c == ']' ? 3 : 0;
                param_ = 0;
                break;
            case 2:  // CSI: parameters up to a final byte; a cursor move right stands for blanks
                if (c >= '0' && c <= '9') {
                    param_ = param_ * 10 + (c - '0');
                } else if (c >= 0x40 && c <= 0x7E) {
                    if (c == 'C') {
                        out->append(param_ > 0 ? static_cast<size_t>(param_) : 1u, ' ');
                    }
                    state_ = 0;
                    param_ = 0;
                }
                break;
            case 3:  // OSC: up to BEL or ESC backslash
                if (c == 0x07) {
                    state_ = 0;
                } else if (c == 0x1B) {
                    state_ = 1;
                }
                break;
            }
        }
    }

private:
    int state_ = 0;
    int param_ = 0;
};

struct RunPlan {
    std::vector<std::string> args;  // after the program; "@SCRIPT" and "@PORT" are filled in
    std::string script;             // host path
    Console console = Console::Pipe;
    bool device = true;
    int64_t limitMs = 120000;
    // Decides whether a command line (without its line end) is answered.
    std::function<bool(const std::string&)> answers = [](const std::string& cmd) {
        return cmd.find("SILENT") == std::string::npos;
    };
    // Called after every event and at least every tickMs while the program runs.
    std::function<void(Run&, int64_t)> tick;
    int tickMs = 20;
    std::string label;  // names the console dump
};

// Runs the program once, playing the device; answers the record of the run.
Run RunProgram(const Target& target, const RunPlan& plan)
{
    Run run;
    int devMaster = -1, devSlave = -1;
    std::string devPath, comLink, portArg;
    if (plan.device) {
        char name[256];
        if (openpty(&devMaster, &devSlave, name, nullptr, nullptr) != 0) {
            Die("openpty");
        }
        devPath = name;
        struct termios tio;
        tcgetattr(devSlave, &tio);
        cfmakeraw(&tio);
        tcsetattr(devSlave, TCSANOW, &tio);
        SetNonBlocking(devMaster);
        fcntl(devSlave, F_SETFD, FD_CLOEXEC);  // kept open here so the master never sees a hang-up
        if (target.wine) {
            const int n = atoi(devPath.c_str() + devPath.rfind('/') + 1) + 10;
            comLink = target.prefix + "/dosdevices/com" + std::to_string(n);
            unlink(comLink.c_str());
            if (symlink(devPath.c_str(), comLink.c_str()) != 0) {
                Die("symlink com port");
            }
            portArg = "-PORT=COM" + std::to_string(n);
        } else {
            portArg = "-PORT=" + devPath;
        }
    }

    int conRead = -1, conWrite = -1;
    if (plan.console == Console::Terminal) {
        struct winsize ws {};
        ws.ws_row = 25;
        ws.ws_col = 80;
        if (openpty(&conRead, &conWrite, nullptr, nullptr, &ws) != 0) {
            Die("openpty console");
        }
    } else {
        int p[2];
        if (pipe(p) != 0) {
            Die("pipe");
        }
        conRead = p[0];
        conWrite = p[1];
    }
    SetNonBlocking(conRead);
    fcntl(conWrite, F_SETFD, FD_CLOEXEC);

    std::vector<std::string> argv;
    if (target.wine) {
        argv.push_back("wine");
    }
    argv.push_back(target.exe);
    for (const std::string& a : plan.args) {
        if (a == "@SCRIPT") {
            argv.push_back(target.wine ? WinePath(plan.script) : plan.script);
        } else if (a == "@PORT") {
            argv.push_back(portArg);
        } else {
            argv.push_back(a);
        }
    }
    std::vector<char*> cargv;
    for (std::string& a : argv) {
        cargv.push_back(&a[0]);
    }
    cargv.push_back(nullptr);
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);

    run.benchAnonKiB = ProcKiB("self", "status", "RssAnon:");
    run.spawnAt = Now();
    const pid_t pid = fork();
    if (pid < 0) {
        Die("fork");
    }
    if (pid == 0) {
        setsid();
        if (plan.console == Console::Terminal) {
            ioctl(conWrite, TIOCSCTTY, 0);
        }
        dup2(devNull, 0);
        dup2(conWrite, 1);
        dup2(conWrite, 2);
        execvp(cargv[0], cargv.data());
        _exit(127);
    }
    run.pid = pid;
    close(conWrite);
    close(devNull);
    const int pidfd = PidfdOpen(pid);
    if (pidfd < 0) {
        Die("pidfd_open");
    }

    TextFilter filter;
    std::string partial;  // command bytes so far
    bool exited = false;
    bool conOpen = true;
    int64_t drainUntil = 0;
    const int64_t deadline = run.spawnAt + plan.limitMs * MS;
    for (;;) {
        struct pollfd pfd[3] = {{devMaster, POLLIN, 0}, {conOpen ? conRead : -1, POLLIN, 0},
                                {exited ? -1 : pidfd, POLLIN, 0}};
        const int timeout = exited ? 20 : plan.tick ? plan.tickMs : 500;
        const int r = poll(pfd, 3, timeout);
        const int64_t now = Now();
        if (r < 0 && errno != EINTR) {
            Die("poll");
        }
        if (devMaster >= 0 && (pfd[0].revents & POLLIN)) {
            char buf[4096];
            ssize_t k;
            while ((k = read(devMaster, buf, sizeof buf)) > 0) {
                for (ssize_t i = 0; i < k; i++) {
                    if (partial.empty()) {
                        run.cmdFirst.push_back(now);
                    }
                    partial.push_back(buf[i]);
                    if (buf[i] != '\r') {
                        continue;
                    }
                    // A command ends at its carriage return; the device answers it at once,
                    // echo and answer in one write.
                    std::string cmd = partial.substr(0, partial.size() - 1);
                    cmd.erase(std::remove(cmd.begin(), cmd.end(), '\n'), cmd.end());
                    run.commands.push_back(cmd);
                    run.ansLast.push_back(0);
                    if (plan.answers(cmd)) {
                        const std::string reply = partial + ANSWER;
                        size_t done = 0;
                        while (done < reply.size()) {
                            ssize_t w = write(devMaster, reply.data() + done, reply.size() - done);
                            if (w > 0) {
                                done += static_cast<size_t>(w);
                            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                                break;
                            }
                        }
                        run.ansLast.back() = Now();
                    }
                    partial.clear();
                }
            }
        }
        if (conOpen && (pfd[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[4096];
            ssize_t k = read(conRead, buf, sizeof buf);
            if (k > 0) {
                run.consoleRaw.append(buf, static_cast<size_t>(k));
                filter.Feed(buf, static_cast<size_t>(k), &run.consoleText);
                run.chunks.emplace_back(run.consoleText.size(), now);
            } else if (k == 0 || (errno != EAGAIN && errno != EINTR)) {
                conOpen = false;
            }
        }
        if (!exited && (pfd[2].revents & POLLIN)) {
            run.exitAt = now;
            int status = 0;
            wait4(pid, &status, 0, &run.ru);
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            exited = true;
            // Under Wine a server process may keep the console open after the program ends.
            drainUntil = now + 300 * MS;
        }
        if (plan.tick && !exited) {
            plan.tick(run, now);
        }
        if (exited && (!conOpen || now > drainUntil)) {
            break;
        }
        if (!exited && now > deadline) {
            Note("  run exceeded %lld ms: killed", static_cast<long long>(plan.limitMs));
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            run.killed = true;
        }
    }
    close(pidfd);
    close(conRead);
    if (devMaster >= 0) {
        close(devMaster);
        close(devSlave);
    }
    if (!comLink.empty()) {
        unlink(comLink.c_str());
    }
    if (!plan.label.empty() && !DumpDir.empty()) {
        FILE* f = fopen((DumpDir + "/" + target.name + "-" + plan.label + ".console").c_str(), "wb");
        if (f != nullptr) {
            fwrite(run.consoleRaw.data(), 1, run.consoleRaw.size(), f);
            fclose(f);
        }
    }
    return run;
}

// ---- Statistics and the table.

double Median(std::vector<double> v)
{
    if (v.empty()) {
        return NAN;
    }
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Max(const std::vector<double>& v)
{
    return v.empty() ? NAN : *std::max_element(v.begin(), v.end());
}

std::string Join(const std::vector<double>& v, const char* fmt)
{
    std::string s;
    for (double x : v) {
        s += (s.empty() ? "" : " ") + Fmt(fmt, x);
    }
    return s;
}

// One row: a figure, its target, and a value per target build.
struct Row {
    std::string figure;
    std::string target;
    std::map<std::string, std::string> value;
};

struct Table {
    std::vector<Row> rows;
    Row& At(const std::string& figure, const std::string& target)
    {
        for (Row& r : rows) {
            if (r.figure == figure) {
                return r;
            }
        }
        rows.push_back(Row{figure, target, {}});
        return rows.back();
    }
    void Set(const std::string& figure, const std::string& target, const std::string& build, const std::string& v)
    {
        At(figure, target).value[build] = v;
    }
};

std::string Verdict(double v, double limit)
{
    if (std::isnan(v)) {
        return "n/a";
    }
    return v <= limit ? "ok" : "MISSED";
}

std::string Verdict(double v, double limit, const char* fmt)
{
    return Fmt(fmt, v) + " " + Verdict(v, limit);
}

// ---- Scripts.

// Scripts are written line by line: a large buffer here would stay in this
// process's memory, and a child's peak memory counts what it inherits at fork.
FILE* Create(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        Die(path.c_str());
    }
    return f;
}

void Close(FILE* f, const std::string& path)
{
    if (fclose(f) != 0) {
        Die(path.c_str());
    }
}

std::string RepeatFile(const std::string& path, const std::string& line, long count)
{
    FILE* f = Create(path);
    for (long i = 0; i < count; i++) {
        fputs(line.c_str(), f);
    }
    Close(f, path);
    return path;
}

void WriteFile(const std::string& path, const std::string& content)
{
    RepeatFile(path, content, 1);
}

// Mixed lines with a label every eighth line; the first line jumps past them all.
size_t WriteLabelScript(const std::string& path, size_t bytes, long* labels)
{
    FILE* f = Create(path);
    size_t size = 0;
    auto put = [&](const char* line) {
        fputs(line, f);
        size += strlen(line);
    };
    put("#goto end\r\n");
    const std::string tail(470, 'x');
    long n = 0;
    for (long i = 0; size < bytes; i++) {
        char line[600];
        switch (i % 8) {
        case 0: snprintf(line, sizeof line, ":L%07ld\r\n", i); n++; break;
        case 1: snprintf(line, sizeof line, "AT+CSQ\r\n"); break;
        case 2: snprintf(line, sizeof line, "#if (>10) L%07ld\r\n", i); break;
        case 3: snprintf(line, sizeof line, "^QRTC: now\r\n"); break;
        case 4: snprintf(line, sizeof line, "#print step %ld of the long script\r\n", i); break;
        case 5: snprintf(line, sizeof line, "\r\n"); break;
        case 6: snprintf(line, sizeof line, "AT^QXYZ=1,2,3,4,5,6,7,8\r\n"); break;
        default:
            // Now and then a line longer than one read.
            snprintf(line, sizeof line, i % 64 == 7 ? "AT+LONG=%s\r\n" : "#nodebug\r\n", tail.c_str());
        }
        put(line);
    }
    put(":end\r\n");
    n++;
    Close(f, path);
    *labels = n;
    return size;
}

// ---- The measurements.

struct Options {
    std::vector<Target> targets;
    Target floor;  // no exe: no floor column
    int commands = 30;
    int startRuns = 20;
    std::string data;
    std::set<std::string> only;
    bool Want(const std::string& what) const { return only.empty() || only.count(what) != 0; }
};

const char* ConsoleName(Console c)
{
    return c == Console::Terminal ? "terminal" : "pipe";
}

// The medians of one turnaround run, for the comparison with the floor.
struct TurnaroundMedians {
    double overhead = NAN;
    double net = NAN;  // less run-queue wait
};

TurnaroundMedians Turnaround(const Options& o, const Target& t, Console console, Table& table)
{
    const std::string script = o.data + "/turnaround-" + t.name + ".txt";
    RepeatFile(script, "AT+CSQ\r\n", o.commands + 1);
    Note("[%s] turnaround: %d commands, console a %s (load %s)", t.name.c_str(), o.commands + 1,
         ConsoleName(console), LoadAvg().c_str());
    RunPlan plan;
    plan.args = {"@SCRIPT", "@PORT"};
    plan.script = script;
    plan.console = console;
    plan.limitMs = (o.commands + 20) * 2000;
    plan.label = std::string("turnaround-") + ConsoleName(console);
    // A sample as each command arrives, so that each cycle's CPU and run-queue wait is known.
    std::vector<Sample> samples;
    plan.tickMs = 2000;
    plan.tick = [&](Run& run, int64_t now) {
        while (samples.size() < run.cmdFirst.size()) {
            samples.push_back(TakeSample(run.pid, {}, now));
        }
    };
    const Run run = RunProgram(t, plan);
    const size_t expect = static_cast<size_t>(o.commands) + 2;  // the wake-up and every line
    if (run.status != 0 || run.commands.size() != expect) {
        Note("  unexpected run: status %d, %zu commands seen (%zu expected); console: %.300s", run.status,
             run.commands.size(), expect, run.consoleText.c_str());
    }
    // Cycle i: from command i's answer to command i+1's first byte, less the quiet gap.
    // On Linux the program and the benchmark are one thread each, and their run-queue
    // waits lie on that path; under Wine the path crosses wineserver and several threads.
    std::vector<double> overhead, net, cpu, wait, steal;
    for (size_t i = 1; i + 1 < run.cmdFirst.size() && i < run.ansLast.size(); i++) {
        if (run.ansLast[i] == 0) {
            continue;
        }
        const double raw = Ms(run.cmdFirst[i + 1] - run.ansLast[i]) - QUIET_GAP_MS;
        overhead.push_back(raw);
        if (i + 1 < samples.size()) {
            const Sample& a = samples[i];
            const Sample& b = samples[i + 1];
            const TaskTimes p = Delta(a.program, b.program);
            const double waited = Ms(p.wait + Delta(a.bench, b.bench).wait);
            cpu.push_back(Ms(p.run));
            wait.push_back(waited);
            steal.push_back(static_cast<double>(b.steal - a.steal));
            if (!t.wine) {
                net.push_back(raw - waited);
            }
        }
    }
    double first = NAN;
    if (run.cmdFirst.size() > 1 && run.ansLast[0] != 0) {
        first = Ms(run.cmdFirst[1] - run.ansLast[0]) - QUIET_GAP_MS;
    }
    // From each answer to the console's first byte of its "Got" line.
    std::vector<double> toReturn;
    const std::vector<size_t> got = run.Find("Got \"");
    for (size_t i = 1; i < got.size() && i < run.ansLast.size(); i++) {
        if (run.ansLast[i] != 0) {
            toReturn.push_back(Ms(run.TextTime(got[i]) - run.ansLast[i]));
        }
    }
    Note("  overhead ms:                %s", Join(overhead, "%.3f").c_str());
    Note("  run-queue wait ms:          %s", Join(wait, "%.3f").c_str());
    Note("  overhead less the wait ms:  %s", Join(net, "%.3f").c_str());
    Note("  program CPU per command ms: %s", Join(cpu, "%.3f").c_str());
    Note("  steal ticks in the cycle:   %s", Join(steal, "%.0f").c_str());
    Note("  answer to \"Got\" ms:         %s", Join(toReturn, "%.3f").c_str());
    Note("  wake-up answer to the first command, less the quiet gap: %.3f ms", first);
    const std::string c = " (console a " + std::string(ConsoleName(console)) + ")";
    table.Set("1. turnaround overhead, median" + c, "< 0.25 ms", t.name, Verdict(Median(overhead), 0.25, "%.3f ms"));
    table.Set("1. turnaround overhead, max" + c, "< 2 ms", t.name, Verdict(Max(overhead), 2, "%.3f ms"));
    table.Set("   less run-queue wait, median" + c, "< 0.25 ms", t.name,
              t.wine ? "n/a" : Verdict(Median(net), 0.25, "%.3f ms"));
    table.Set("   less run-queue wait, max" + c, "< 2 ms", t.name, t.wine ? "n/a" : Verdict(Max(net), 2, "%.3f ms"));
    table.Set("   program CPU per command, median" + c, "", t.name, Fmt("%.3f ms", Median(cpu)));
    table.Set("   first command after the wake-up, one sample" + c, "", t.name, Fmt("%.3f ms", first));
    // The floor program prints nothing.
    if (console == Console::Terminal && !toReturn.empty()) {
        table.Set("2. answer to read's return, median", "<= 1001 ms", t.name,
                  Verdict(Median(toReturn), 1001, "%.3f ms"));
        table.Set("2. answer to read's return, max", "<= 1001 ms", t.name, Verdict(Max(toReturn), 1001, "%.3f ms"));
    }
    return TurnaroundMedians{Median(overhead), Median(net)};
}

// The program's median overhead next to the floor's from the same benchmark run.
void OverFloor(const Target& t, Console console, const TurnaroundMedians& program, const TurnaroundMedians& floor,
               Table& table)
{
    const std::string c = " (console a " + std::string(ConsoleName(console)) + ")";
    const double over = program.overhead - floor.overhead;
    Note("[%s] over the floor, console a %s: %+.3f ms (%.2fx), less run-queue wait %+.3f ms", t.name.c_str(),
         ConsoleName(console), over, program.overhead / floor.overhead, program.net - floor.net);
    table.Set("   over the floor, median" + c, "< 0.03 ms", t.name,
              Fmt("%+.3f ms (%.2fx) ", over, program.overhead / floor.overhead) + Verdict(over, 0.03));
    table.Set("   over the floor less run-queue wait, median" + c, "", t.name,
              Fmt("%+.3f ms (%.2fx)", program.net - floor.net, program.net / floor.net));
}

void Cpu(const Options& o, const Target& t, Table& table)
{
    const std::string script = o.data + "/silent.txt";
    WriteFile(script, "#timeout 13\r\nAT+SILENT\r\n");
    Note("[%s] cpu: one command never answered, #timeout 13 (load %s)", t.name.c_str(), LoadAvg().c_str());
    RunPlan plan;
    // Debug output shows each read's end on the console: the next read flushes it.
    plan.args = {"@SCRIPT", "@PORT", "-DEBUG"};
    plan.script = script;
    plan.console = Console::Pipe;
    plan.limitMs = 90000;
    plan.tickMs = 20;
    plan.label = "cpu";
    // Wine's own services keep wineserver busy even when no program runs: measure that first.
    double serverIdle = 0;
    if (t.wine) {
        const std::vector<pid_t> servers = PrefixProcesses(t.prefix, true);
        const Sample a = TakeSample(getpid(), servers, Now());
        sleep(5);
        const Sample b = TakeSample(getpid(), servers, Now());
        serverIdle = Ms(Delta(a.tree, b.tree).run) / (Ms(b.at - a.at) / 1000);
        Note("  wineserver with no program running: %.3f ms/s", serverIdle);
    }
    Sample sent, firstRead, later;  // command sent, first read over, 25 s into the wait
    size_t nrxBefore = 0;
    std::vector<pid_t> tree;
    plan.tick = [&](Run& run, int64_t now) {
        if (sent.at == 0) {
            for (size_t i = 0; i < run.commands.size(); i++) {
                if (run.commands[i].find("SILENT") != std::string::npos) {
                    // wineserver serves the program's calls; the prefix's services idle on their own.
                    if (t.wine) {
                        tree = PrefixProcesses(t.prefix, true);
                        tree.push_back(run.pid);
                    }
                    nrxBefore = run.Find("nRx = ").size();
                    sent = TakeSample(run.pid, tree, run.cmdFirst[i]);
                }
            }
            return;
        }
        if (firstRead.at == 0 && run.Find("nRx = ").size() > nrxBefore) {
            firstRead = TakeSample(run.pid, tree, now);
        }
        if (later.at == 0 && now >= sent.at + 25000 * MS) {
            later = TakeSample(run.pid, tree, now);
        }
    };
    const Run run = RunProgram(t, plan);
    if (run.status != 1 || sent.at == 0 || firstRead.at == 0 || later.at == 0) {
        Note("  unexpected run: status %d; console: %.300s", run.status, run.consoleText.c_str());
        return;
    }
    const double readMs = Ms(firstRead.at - sent.at);
    const double waitS = Ms(later.at - sent.at) / 1000;
    const double perSecond = Ms(Delta(sent.program, later.program).run) / waitS;
    const double oneRead = Ms(Delta(sent.program, firstRead.program).run);
    const double runCpu = CpuMs(run.ru);
    const double runWall = Ms(run.exitAt - run.spawnAt);
    Note("  silent read returned after %.1f ms; program CPU %.3f ms over %.2f s of waiting, %.3f ms in the first read",
         readMs, perSecond * waitS, waitS, oneRead);
    Note("  whole run (getrusage): %.1f ms CPU in %.0f ms wall = %.3f ms/s", runCpu, runWall, runCpu / runWall * 1000);
    std::string perS = Verdict(perSecond, 0.5, "%.3f ms/s");
    std::string read = Verdict(oneRead, 10, "%.3f ms");
    if (t.wine) {
        const double treeS = Ms(Delta(sent.tree, later.tree).run) / waitS;
        const double treeRead = Ms(Delta(sent.tree, firstRead.tree).run);
        Note("  program and wineserver: %.3f ms/s, %.3f ms in the first read", treeS, treeRead);
        perS += Fmt("; with wineserver %.3f (idle server %.3f)", treeS, serverIdle);
        read += Fmt("; with wineserver %.3f", treeRead);
    }
    table.Set("3. CPU per second of waiting", "< 0.5 ms/s", t.name, perS);
    table.Set("3. CPU of one silent read", "< 10 ms", t.name, read);
    table.Set("   duration of that silent read", "12680 ms", t.name, Fmt("%.1f ms", readMs));
    table.Set("   whole run CPU / wall (getrusage)", "", t.name, Fmt("%.3f ms/s", runCpu / runWall * 1000));
}

// Time from the wake-up answer to the program's exit; the same with an empty
// script is subtracted, which removes the quiet gap and the exit itself.
double AfterWakeUpMs(const Run& run)
{
    if (run.ansLast.empty() || run.ansLast[0] == 0 || run.exitAt == 0) {
        return NAN;
    }
    return Ms(run.exitAt - run.ansLast[0]);
}

Run ScriptRun(const Target& t, const std::string& script)
{
    RunPlan plan;
    plan.label = script.substr(script.rfind('/') + 1);
    plan.args = {"@SCRIPT", "@PORT"};
    plan.script = script;
    plan.console = Console::Pipe;
    plan.limitMs = 600000;
    // A cross-check of the peak: VmHWM as last seen, at most 20 ms before the end.
    plan.tickMs = 20;
    plan.tick = [](Run& run, int64_t) {
        // Only once the port is in use: before its exec the child is a copy of this process.
        if (!run.cmdFirst.empty()) {
            const std::string pid = std::to_string(run.pid);
            run.hwmKiB = std::max(run.hwmKiB, ProcKiB(pid, "status", "VmHWM:"));
            const long rss = ProcKiB(pid, "smaps_rollup", "Rss:");
            if (rss > run.rssKiB) {
                run.rssKiB = rss;
                run.pssKiB = ProcKiB(pid, "smaps_rollup", "Pss:");
            }
        }
    };
    Run run = RunProgram(t, plan);
    if (run.status != 0) {
        Note("  unexpected exit status %d; console: %.300s", run.status, run.consoleText.c_str());
    }
    Note("  wake-up answer to exit %.3f ms, CPU %.3f ms, peak %ld KiB; seen: VmHWM %ld KiB, exact Rss %ld KiB "
         "(Pss %ld KiB); benchmark's own %ld KiB",
         AfterWakeUpMs(run), CpuMs(run.ru), run.ru.ru_maxrss, run.hwmKiB, run.rssKiB, run.pssKiB, run.benchAnonKiB);
    if (run.ru.ru_maxrss <= run.benchAnonKiB) {
        Note("  the peak above may be the benchmark's own memory, inherited at fork");
    }
    return run;
}

void Throughput(const Options& o, const Target& t, Table& table)
{
    const std::string empty = o.data + "/empty.txt";
    WriteFile(empty, "");
    const std::string million = o.data + "/nodebug-1m.txt";
    RepeatFile(million, "#nodebug\r\n", 1000000);
    const std::string labels = o.data + "/labels-64m.txt";
    long nLabels = 0;
    const size_t labelBytes = WriteLabelScript(labels, 64u << 20, &nLabels);

    double baseMs = INFINITY, baseCpu = INFINITY, peakPlain = 0;
    for (int i = 0; i < 2; i++) {
        Note("[%s] empty script, run %d (load %s)", t.name.c_str(), i + 1, LoadAvg().c_str());
        const Run r = ScriptRun(t, empty);
        baseMs = std::min(baseMs, AfterWakeUpMs(r));
        baseCpu = std::min(baseCpu, CpuMs(r.ru));
        peakPlain = std::max(peakPlain, static_cast<double>(r.ru.ru_maxrss) / 1024);
    }
    table.Set("4. peak memory, empty script", "", t.name, Fmt("%.2f MiB", peakPlain));
    // The best of three runs: on a shared machine the slower ones measure the neighbours.
    if (o.Want("memory") || o.Want("speed")) {
        double ms = INFINITY, cpu = INFINITY, peak = 0, rss = 0;
        for (int i = 0; i < 3; i++) {
            Note("[%s] 1,000,000 \"#nodebug\" lines, run %d (load %s)", t.name.c_str(), i + 1, LoadAvg().c_str());
            const Run r = ScriptRun(t, million);
            ms = std::min(ms, AfterWakeUpMs(r) - baseMs);
            cpu = std::min(cpu, CpuMs(r.ru) - baseCpu);
            peak = std::max(peak, static_cast<double>(r.ru.ru_maxrss) / 1024);
            rss = std::max(rss, static_cast<double>(r.rssKiB) / 1024);
        }
        // Under Wine the process holds Wine's own libraries: only the growth is the program's.
        table.Set("4. peak memory, 1,000,000-line script", "< 1.5 MiB", t.name,
                  t.wine ? Fmt("%.2f MiB (%+.2f over empty)", peak, peak - peakPlain) : Verdict(peak, 1.5, "%.2f MiB"));
        table.Set("   exact resident set, highest sample, same script", "", t.name, Fmt("%.2f MiB", rss));
        table.Set("5. script commands per second, wall (#nodebug)", "", t.name, Fmt("%.2f M/s", 1000 / ms));
        table.Set("5. script commands per CPU second (#nodebug)", "", t.name, Fmt("%.2f M/s", 1000 / cpu));
    }
    if (o.Want("labels")) {
        double ms = INFINITY, cpu = INFINITY, peak = 0;
        for (int i = 0; i < 3; i++) {
            Note("[%s] label scan: %.1f MiB, %ld labels, run %d (load %s)", t.name.c_str(),
                 static_cast<double>(labelBytes) / (1 << 20), nLabels, i + 1, LoadAvg().c_str());
            const Run r = ScriptRun(t, labels);
            ms = std::min(ms, AfterWakeUpMs(r) - baseMs);
            cpu = std::min(cpu, CpuMs(r.ru) - baseCpu);
            peak = std::max(peak, static_cast<double>(r.ru.ru_maxrss) / 1024);
        }
        table.Set("6. label scan, wall", "", t.name, Fmt("%.0f MB/s", static_cast<double>(labelBytes) / 1e3 / ms));
        table.Set("6. label scan, per CPU second", "", t.name,
                  Fmt("%.0f MB/s", static_cast<double>(labelBytes) / 1e3 / cpu));
        table.Set(Fmt("   peak memory with those %ld labels", nLabels), "", t.name, Fmt("%.1f MiB", peak));
    }
}

void Startup(const Options& o, const Target& t, Table& table)
{
    for (Console console : {Console::Pipe, Console::Terminal}) {
        const int runs = console == Console::Pipe ? o.startRuns : std::min(o.startRuns, 5);
        Note("[%s] start-up of -?, %d runs, console a %s (load %s)", t.name.c_str(), runs, ConsoleName(console),
             LoadAvg().c_str());
        std::vector<double> ms, cpu;
        for (int i = 0; i < runs; i++) {
            RunPlan plan;
            plan.args = {"-?"};
            plan.device = false;
            plan.console = console;
            plan.limitMs = 30000;
            const Run r = RunProgram(t, plan);
            if (r.status != 0) {
                Note("  unexpected exit status %d", r.status);
            }
            ms.push_back(Ms(r.exitAt - r.spawnAt));
            cpu.push_back(CpuMs(r.ru));
        }
        Note("  wall ms: %s", Join(ms, "%.2f").c_str());
        Note("  CPU ms:  %s", Join(cpu, "%.2f").c_str());
        const std::string c = Fmt(", median of %d (console a %s)", runs, ConsoleName(console));
        table.Set("7. start-up of -?, wall" + c, "", t.name, Fmt("%.2f ms", Median(ms)));
        table.Set("7. start-up of -?, CPU" + c, "", t.name, Fmt("%.2f ms", Median(cpu)));
    }
    if (!t.wine) {
        // The floor: starting any dynamically linked program the same way.
        std::vector<double> ms, cpu;
        for (int i = 0; i < o.startRuns; i++) {
            RunPlan plan;
            plan.device = false;
            plan.limitMs = 30000;
            const Run r = RunProgram(Target{"true", "/bin/true", false, ""}, plan);
            ms.push_back(Ms(r.exitAt - r.spawnAt));
            cpu.push_back(CpuMs(r.ru));
        }
        table.Set("   reference: /bin/true, wall / CPU, median", "", t.name,
                  Fmt("%.2f / %.2f ms", Median(ms), Median(cpu)));
    }
}

void Print(const Table& table, const std::vector<Target>& targets)
{
    std::vector<std::string> head = {"Figure", "Target"};
    for (const Target& t : targets) {
        head.push_back(t.name);
    }
    std::vector<std::vector<std::string>> cells = {head};
    for (const Row& r : table.rows) {
        std::vector<std::string> line = {r.figure, r.target};
        for (const Target& t : targets) {
            auto it = r.value.find(t.name);
            line.push_back(it == r.value.end() ? "-" : it->second);
        }
        cells.push_back(line);
    }
    std::vector<size_t> width(head.size(), 0);
    for (const auto& line : cells) {
        for (size_t i = 0; i < line.size(); i++) {
            width[i] = std::max(width[i], line[i].size());
        }
    }
    for (size_t n = 0; n < cells.size(); n++) {
        std::string s = "|";
        for (size_t i = 0; i < cells[n].size(); i++) {
            s += " " + cells[n][i] + std::string(width[i] - cells[n][i].size(), ' ') + " |";
        }
        printf("%s\n", s.c_str());
        if (n == 0) {
            s = "|";
            for (size_t i = 0; i < width.size(); i++) {
                s += std::string(width[i] + 2, '-') + "|";
            }
            printf("%s\n", s.c_str());
        }
    }
}

void Usage()
{
    fprintf(stderr,
            "usage: torvex_bench [--linux PATH] [--also NAME=PATH] [--wine PATH.exe] [--floor PATH]\n"
            "                    --data DIR\n"
            "                    [--commands N] [--runs N]\n"
            "                    [--only turnaround,cpu,memory,speed,labels,startup] [--log FILE]\n"
            "Under --wine, WINEPREFIX names the prefix to use.\n");
    exit(2);
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--linux" && v) {
            o.targets.push_back(Target{"Linux", v, false, ""});
            i++;
        } else if (a == "--also" && v && strchr(v, '=') != nullptr) {
            // Another Linux build in a column of its own, e.g. one with a proposed change.
            const std::string nv = v;
            o.targets.push_back(Target{nv.substr(0, nv.find('=')), nv.substr(nv.find('=') + 1), false, ""});
            i++;
        } else if (a == "--floor" && v) {
            // The least a program can do per command: a column of its own, turnaround only.
            o.floor = Target{"floor", v, false, ""};
            i++;
        } else if (a == "--wine" && v) {
            const char* prefix = getenv("WINEPREFIX");
            if (prefix == nullptr) {
                Usage();
            }
            o.targets.push_back(Target{"Wine", v, true, prefix});
            i++;
        } else if (a == "--data" && v) {
            o.data = v;
            i++;
        } else if (a == "--commands" && v) {
            o.commands = std::max(2, atoi(v));
            i++;
        } else if (a == "--runs" && v) {
            o.startRuns = std::max(1, atoi(v));
            i++;
        } else if (a == "--only" && v) {
            std::string list = v;
            for (size_t at = 0; at <= list.size();) {
                size_t end = list.find(',', at);
                end = end == std::string::npos ? list.size() : end;
                o.only.insert(list.substr(at, end - at));
                at = end + 1;
            }
            i++;
        } else if (a == "--log" && v) {
            Log = fopen(v, "w");
            i++;
        } else {
            Usage();
        }
    }
    if (o.targets.empty() || o.data.empty()) {
        Usage();
    }
    // Fixed thresholds: freed buffers go back to the system instead of staying resident.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024);
    mkdir(o.data.c_str(), 0755);
    DumpDir = o.data;
    signal(SIGPIPE, SIG_IGN);
    const std::string loadBefore = LoadAvg();
    Note("load before: %s", loadBefore.c_str());
    Table table;
    // All turnaround runs first, the floor's right before the programs' and with
    // the same console, so that they meet the same load.
    if (o.Want("turnaround")) {
        for (Console console : {Console::Pipe, Console::Terminal}) {
            TurnaroundMedians floor;
            if (!o.floor.exe.empty()) {
                floor = Turnaround(o, o.floor, console, table);
            }
            for (const Target& t : o.targets) {
                const TurnaroundMedians program = Turnaround(o, t, console, table);
                if (!o.floor.exe.empty() && !t.wine) {
                    OverFloor(t, console, program, floor, table);
                }
            }
        }
    }
    for (const Target& t : o.targets) {
        if (o.Want("cpu")) {
            Cpu(o, t, table);
        }
        if (o.Want("memory") || o.Want("speed") || o.Want("labels")) {
            Throughput(o, t, table);
        }
        if (o.Want("startup")) {
            Startup(o, t, table);
        }
    }
    const std::string loadAfter = LoadAvg();
    Note("load after: %s", loadAfter.c_str());
    // The floor's column after the Linux builds, before Wine's.
    std::vector<Target> columns;
    for (const Target& t : o.targets) {
        if (!t.wine) {
            columns.push_back(t);
        }
    }
    if (!o.floor.exe.empty() && o.Want("turnaround")) {
        columns.push_back(o.floor);
    }
    for (const Target& t : o.targets) {
        if (t.wine) {
            columns.push_back(t);
        }
    }
    Print(table, columns);
    printf("\n%s\nLoad average (1, 5, 15 min) before: %s; after: %s\n", Machine().c_str(), loadBefore.c_str(),
           loadAfter.c_str());
    return 0;
}
