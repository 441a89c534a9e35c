// The benchmark's harness: starting and timing the program as a child, its
// devices (device.cpp) and its console, until it ends.
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "device.h"

std::string DumpDir;

namespace {

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

double CycleMs(const Wire& wire, size_t i)
{
    if (wire.ansLast[i] == 0) {
        return NAN;
    }
    return Ms(wire.cmdFirst[i + 1] - wire.ansLast[i]) - QUIET_GAP_MS;
}

size_t CycleEnd(const Wire& wire)
{
    return std::min(wire.cmdFirst.empty() ? 0 : wire.cmdFirst.size() - 1, wire.ansLast.size());
}

std::vector<double> Overheads(const Wire& wire)
{
    std::vector<double> v;
    for (size_t i = 1; i < CycleEnd(wire); i++) {
        if (!std::isnan(CycleMs(wire, i))) {
            v.push_back(CycleMs(wire, i));
        }
    }
    return v;
}

std::vector<double> OverheadsLessQueue(const Wire& wire)
{
    std::vector<double> v;
    for (size_t i = 1; i < CycleEnd(wire) && i + 1 < wire.queued.size(); i++) {
        if (!std::isnan(CycleMs(wire, i))) {
            v.push_back(CycleMs(wire, i) - Ms(wire.queued[i + 1]));
        }
    }
    return v;
}

std::vector<double> QueuedMs(const Wire& wire)
{
    std::vector<double> v;
    for (size_t i = 1; i < wire.queued.size(); i++) {
        v.push_back(Ms(wire.queued[i]));
    }
    return v;
}

namespace {

// One run in progress: its devices, its console and the process.
struct Live {
    const RunPlan* plan = nullptr;
    Run run;
    std::vector<Device> devices;
    int conRead = -1;
    int pidfd = -1;
    TextFilter filter;
    bool exited = false;
    bool conOpen = true;
    int64_t drainUntil = 0;
    int64_t deadline = 0;
    bool Done() const { return exited && (!conOpen || Now() > drainUntil); }
};

// The devices, and the name the program is to open each by.
std::vector<std::string> OpenDevices(const Target& target, Live& live)
{
    const RunPlan& plan = *live.plan;
    live.devices.resize(static_cast<size_t>(std::max(0, plan.devices)));
    live.run.others.resize(live.devices.empty() ? 0 : live.devices.size() - 1);
    std::vector<std::string> names;
    for (size_t i = 0; i < live.devices.size(); i++) {
        Device& d = live.devices[i];
        d.answers = &plan.answers;
        d.wire = i == 0 ? static_cast<Wire*>(&live.run) : &live.run.others[i - 1];
        OpenDevice(d);
        if (target.wine) {
            const int n = atoi(d.path.c_str() + d.path.rfind('/') + 1) + 10;
            d.comLink = target.prefix + "/dosdevices/com" + std::to_string(n);
            unlink(d.comLink.c_str());
            if (symlink(d.path.c_str(), d.comLink.c_str()) != 0) {
                Die("symlink com port");
            }
            names.push_back("COM" + std::to_string(n));
        } else {
            names.push_back(d.path);
        }
        if (plan.remote) {
            names.back() = plan.remote(d.path);
        }
    }
    return names;
}

void Start(const Target& target, Live& live)
{
    const RunPlan& plan = *live.plan;
    Run& run = live.run;
    const std::vector<std::string> ports = OpenDevices(target, live);

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
            argv.push_back("-PORT=" + (ports.empty() ? std::string() : ports[0]));
        } else if (a == "@PORTS") {
            argv.insert(argv.end(), ports.begin(), ports.end());
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

void ReadConsole(Live& live, int64_t now)
{
    Run& run = live.run;
    // As much as a pipe holds at once: a program of much output (the checker's
    // findings) must not wait on a reader that takes a page at a time.
    static char buf[65536];
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
    // Until it is reaped, the process's own CPU is still there to read, apart from its children's.
    Threads own;
    ReadThreads(run.pid, &own);
    run.own = Delta({}, own);
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
    for (Device& d : live.devices) {
        CloseDevice(d);
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

// What one pollfd stands for.
struct Slot {
    size_t live;
    int kind;  // 0 the console, 1 the process, 2 a device played from the loop
    size_t device;
};

}  // namespace

std::vector<Run> RunPrograms(const Target& target, const std::vector<RunPlan>& plans)
{
    std::vector<Live> lives(plans.size());
    DeviceThreads threads;
    std::vector<Device*> threaded;
    for (size_t i = 0; i < plans.size(); i++) {
        lives[i].plan = &plans[i];
        Start(target, lives[i]);
        for (Device& d : lives[i].devices) {
            if (plans[i].deviceThreads) {
                threaded.push_back(&d);
            }
        }
    }
    threads.Start(threaded);
    std::vector<struct pollfd> pfd;
    std::vector<Slot> slots;
    for (;;) {
        int timeout = 500;
        bool running = false;
        pfd.clear();
        slots.clear();
        for (size_t i = 0; i < lives.size(); i++) {
            const Live& l = lives[i];
            if (l.Done()) {
                continue;
            }
            running = true;
            // The device first: its answer goes out before the console is read.
            for (size_t k = 0; k < l.devices.size() && !l.plan->deviceThreads; k++) {
                pfd.push_back({l.devices[k].master, POLLIN, 0});
                slots.push_back({i, 2, k});
            }
            if (l.conOpen) {
                pfd.push_back({l.conRead, POLLIN, 0});
                slots.push_back({i, 0, 0});
            }
            if (!l.exited) {
                pfd.push_back({l.pidfd, POLLIN, 0});
                slots.push_back({i, 1, 0});
            }
            timeout = std::min(timeout, l.exited ? 20 : l.plan->tick ? l.plan->tickMs : 500);
        }
        if (!running) {
            break;
        }
        const int r = poll(pfd.data(), pfd.size(), timeout);
        const int64_t now = Now();
        if (r < 0 && errno != EINTR) {
            Die("poll");
        }
        for (size_t n = 0; n < pfd.size(); n++) {
            Live& l = lives[slots[n].live];
            if (slots[n].kind == 2 && (pfd[n].revents & POLLIN)) {
                ServeDevice(l.devices[slots[n].device], now);
            } else if (slots[n].kind == 0 && (pfd[n].revents & (POLLIN | POLLHUP | POLLERR))) {
                ReadConsole(l, now);
            } else if (slots[n].kind == 1 && (pfd[n].revents & POLLIN)) {
                Reap(l, now);
            }
        }
        for (Live& l : lives) {
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
    threads.Stop();
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
