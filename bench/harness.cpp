// The benchmark's harness: the device on a pseudo-terminal, starting and timing
// the program, its console, and the readings from /proc.
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
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

std::string DumpDir;

namespace {

const char ANSWER[] = "\r\n+CSQ: 23,99\r\n\r\nOK\r\n";
FILE* Log = nullptr;

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

}  // namespace

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
bool OpenLog(const char* path)
{
    Log = fopen(path, "w");
    return Log != nullptr;
}

const char* ConsoleName(Console c)
{
    return c == Console::Terminal ? "terminal" : "pipe";
}

int64_t Run::TextTime(size_t offset) const
{
    for (const auto& c : chunks) {
        if (c.first > offset) {
            return c.second;
        }
    }
    return 0;
}

std::vector<size_t> Run::Find(const std::string& what) const
{
    std::vector<size_t> at;
    for (size_t p = consoleText.find(what); p != std::string::npos; p = consoleText.find(what, p + 1)) {
        at.push_back(p);
    }
    return at;
}

double CycleMs(const Run& run, size_t i)
{
    if (run.ansLast[i] == 0) {
        return NAN;
    }
    return Ms(run.cmdFirst[i + 1] - run.ansLast[i]) - QUIET_GAP_MS;
}

size_t CycleEnd(const Run& run)
{
    return std::min(run.cmdFirst.empty() ? 0 : run.cmdFirst.size() - 1, run.ansLast.size());
}

std::vector<double> Overheads(const Run& run)
{
    std::vector<double> v;
    for (size_t i = 1; i < CycleEnd(run); i++) {
        if (!std::isnan(CycleMs(run, i))) {
            v.push_back(CycleMs(run, i));
        }
    }
    return v;
}

namespace {

// One run in progress: its device, its console and the process.
struct Live {
    const RunPlan* plan = nullptr;
    Run run;
    int devMaster = -1;
    int devSlave = -1;
    int conRead = -1;
    int pidfd = -1;
    std::string comLink;
    TextFilter filter;
    std::string partial;  // command bytes so far
    bool exited = false;
    bool conOpen = true;
    int64_t drainUntil = 0;
    int64_t deadline = 0;
    bool Done() const { return exited && (!conOpen || Now() > drainUntil); }
};

void Start(const Target& target, Live& live)
{
    const RunPlan& plan = *live.plan;
    Run& run = live.run;
    std::string devPath, portArg;
    if (plan.device) {
        char name[256];
        if (openpty(&live.devMaster, &live.devSlave, name, nullptr, nullptr) != 0) {
            Die("openpty");
        }
        devPath = name;
        struct termios tio;
        tcgetattr(live.devSlave, &tio);
        cfmakeraw(&tio);
        tcsetattr(live.devSlave, TCSANOW, &tio);
        SetNonBlocking(live.devMaster);
        fcntl(live.devSlave, F_SETFD, FD_CLOEXEC);  // kept open here so the master never sees a hang-up
        if (target.wine) {
            const int n = atoi(devPath.c_str() + devPath.rfind('/') + 1) + 10;
            live.comLink = target.prefix + "/dosdevices/com" + std::to_string(n);
            unlink(live.comLink.c_str());
            if (symlink(devPath.c_str(), live.comLink.c_str()) != 0) {
                Die("symlink com port");
            }
            portArg = "-PORT=COM" + std::to_string(n);
        } else {
            portArg = "-PORT=" + devPath;
        }
        if (plan.remote) {
            portArg = "-PORT=" + plan.remote(devPath);
        }
    }

    int conWrite = -1;
    if (plan.console == Console::Terminal) {
        struct winsize ws {};
        ws.ws_row = 25;
        ws.ws_col = 80;
        if (openpty(&live.conRead, &conWrite, nullptr, nullptr, &ws) != 0) {
            Die("openpty console");
        }
    } else {
        int p[2];
        if (pipe(p) != 0) {
            Die("pipe");
        }
        live.conRead = p[0];
        conWrite = p[1];
    }
    SetNonBlocking(live.conRead);
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
    live.pidfd = PidfdOpen(pid);
    if (live.pidfd < 0) {
        Die("pidfd_open");
    }
    live.deadline = run.spawnAt + plan.limitMs * MS;
}

// Plays the device: a command ends at its carriage return, and the device answers
// it at once, echo and answer in one write.
void ServeDevice(Live& live, int64_t now)
{
    Run& run = live.run;
    char buf[4096];
    ssize_t k;
    while ((k = read(live.devMaster, buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < k; i++) {
            if (live.partial.empty()) {
                run.cmdFirst.push_back(now);
            }
            live.partial.push_back(buf[i]);
            if (buf[i] != '\r') {
                continue;
            }
            std::string cmd = live.partial.substr(0, live.partial.size() - 1);
            cmd.erase(std::remove(cmd.begin(), cmd.end(), '\n'), cmd.end());
            run.commands.push_back(cmd);
            run.ansLast.push_back(0);
            if (live.plan->answers(cmd)) {
                const std::string reply = live.partial + ANSWER;
                size_t done = 0;
                while (done < reply.size()) {
                    ssize_t w = write(live.devMaster, reply.data() + done, reply.size() - done);
                    if (w > 0) {
                        done += static_cast<size_t>(w);
                    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                        break;
                    }
                }
                run.ansLast.back() = Now();
            }
            live.partial.clear();
        }
    }
}

void ReadConsole(Live& live, int64_t now)
{
    Run& run = live.run;
    char buf[4096];
    ssize_t k = read(live.conRead, buf, sizeof buf);
    if (k > 0) {
        if (live.plan->keepConsole) {
            run.consoleRaw.append(buf, static_cast<size_t>(k));
            live.filter.Feed(buf, static_cast<size_t>(k), &run.consoleText);
            run.chunks.emplace_back(run.consoleText.size(), now);
        }
    } else if (k == 0 || (errno != EAGAIN && errno != EINTR)) {
        live.conOpen = false;
    }
}

void Reap(Live& live, int64_t now)
{
    Run& run = live.run;
    run.exitAt = now;
    int status = 0;
    wait4(run.pid, &status, 0, &run.ru);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    live.exited = true;
    // Under Wine a server process may keep the console open after the program ends.
    live.drainUntil = now + 300 * MS;
}

void Finish(const Target& target, Live& live)
{
    close(live.pidfd);
    close(live.conRead);
    if (live.devMaster >= 0) {
        close(live.devMaster);
        close(live.devSlave);
    }
    if (!live.comLink.empty()) {
        unlink(live.comLink.c_str());
    }
    const RunPlan& plan = *live.plan;
    if (!plan.label.empty() && !DumpDir.empty()) {
        FILE* f = fopen((DumpDir + "/" + target.name + "-" + plan.label + ".console").c_str(), "wb");
        if (f != nullptr) {
            fwrite(live.run.consoleRaw.data(), 1, live.run.consoleRaw.size(), f);
            fclose(f);
        }
    }
}

}  // namespace

std::vector<Run> RunPrograms(const Target& target, const std::vector<RunPlan>& plans)
{
    std::vector<Live> lives(plans.size());
    for (size_t i = 0; i < plans.size(); i++) {
        lives[i].plan = &plans[i];
        Start(target, lives[i]);
    }
    std::vector<struct pollfd> pfd(3 * lives.size());
    for (;;) {
        int timeout = 500;
        bool running = false;
        for (size_t i = 0; i < lives.size(); i++) {
            const Live& l = lives[i];
            const bool done = l.Done();
            running = running || !done;
            pfd[3 * i] = {done ? -1 : l.devMaster, POLLIN, 0};
            pfd[3 * i + 1] = {done || !l.conOpen ? -1 : l.conRead, POLLIN, 0};
            pfd[3 * i + 2] = {l.exited ? -1 : l.pidfd, POLLIN, 0};
            if (!done) {
                timeout = std::min(timeout, l.exited ? 20 : l.plan->tick ? l.plan->tickMs : 500);
            }
        }
        if (!running) {
            break;
        }
        const int r = poll(pfd.data(), pfd.size(), timeout);
        const int64_t now = Now();
        if (r < 0 && errno != EINTR) {
            Die("poll");
        }
        for (size_t i = 0; i < lives.size(); i++) {
            Live& l = lives[i];
            if (pfd[3 * i].fd >= 0 && (pfd[3 * i].revents & POLLIN)) {
                ServeDevice(l, now);
            }
            if (pfd[3 * i + 1].fd >= 0 && (pfd[3 * i + 1].revents & (POLLIN | POLLHUP | POLLERR))) {
                ReadConsole(l, now);
            }
            if (pfd[3 * i + 2].fd >= 0 && (pfd[3 * i + 2].revents & POLLIN)) {
                Reap(l, now);
            }
            if (l.plan->tick && !l.exited) {
                l.plan->tick(l.run, now);
            }
            if (!l.exited && !l.run.killed && now > l.deadline) {
                Note("  run exceeded %lld ms: killed", static_cast<long long>(l.plan->limitMs));
                kill(-l.run.pid, SIGKILL);
                kill(l.run.pid, SIGKILL);
                l.run.killed = true;
            }
        }
    }
    std::vector<Run> runs;
    for (Live& l : lives) {
        Finish(target, l);
        runs.push_back(std::move(l.run));
    }
    return runs;
}

Run RunProgram(const Target& target, const RunPlan& plan)
{
    return std::move(RunPrograms(target, {plan})[0]);
}
