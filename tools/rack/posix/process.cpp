// torvex-rack on POSIX: torvex processes (started by spawn.cpp), their
// console and progress pipes and the rack's keys watched with one poll, and
// the signals the rack handles itself.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os.h"
#include "spawn.h"
#include "terminal.h"

extern char** environ;

namespace {

struct Child {
    pid_t Pid = -1;
    int Out = -1;       // console: standard output and error
    int Progress = -1;  // the progress channel
    int In = -1;        // standard input
    bool Reaped = false;
};

std::vector<Child> Children;
int SignalPipe[2] = {-1, -1};
int Watched = -1;  // news of ports, for a station

void OnSignal(int sig)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(sig);
    (void)!write(SignalPipe[1], &byte, 1);
    errno = saved;
}

// A descriptor above the standard ones and the progress channel's number, so
// that each dup2 in the child really copies (and so drops close-on-exec).
int High(int fd)
{
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    const int saved = errno;
    close(fd);
    errno = saved;
    return high;
}

void CloseFd(int* fd)
{
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

// A pipe whose ends are both close-on-exec from the start; none left open on failure.
bool Pipe(int ends[2])
{
    if (pipe2(ends, O_CLOEXEC) != 0) {
        ends[0] = ends[1] = -1;
        return false;
    }
    ends[0] = High(ends[0]);
    ends[1] = High(ends[1]);
    if (ends[0] < 0 || ends[1] < 0) {
        const int saved = errno;
        CloseFd(&ends[0]);
        CloseFd(&ends[1]);
        errno = saved;
        return false;
    }
    return true;
}

void ClosePipe(int ends[2])
{
    CloseFd(&ends[0]);
    CloseFd(&ends[1]);
}

bool OutOfDescriptors(int err)
{
    return err == EMFILE || err == ENFILE;
}


// Reads what is there; false at the end of the stream.
bool Drain(int fd, std::string* bytes)
{
    char buf[65536];
    for (;;) {
        const ssize_t k = read(fd, buf, sizeof buf);
        if (k > 0) {
            bytes->append(buf, static_cast<size_t>(k));
            return true;
        }
        if (k < 0 && errno == EINTR) {
            continue;
        }
        return k < 0 && errno == EAGAIN;
    }
}

}  // namespace

StartResult StartChild(size_t child, const std::string& exe, const std::vector<std::string>& args,
                       std::string* why)
{
    if (Children.size() <= child) {
        Children.resize(child + 1);
    }
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int progress[2] = {-1, -1};
    if (!Pipe(in) || !Pipe(out) || !Pipe(progress)) {
        const int err = errno;
        ClosePipe(in);
        ClosePipe(out);
        ClosePipe(progress);
        *why = strerror(err);
        return OutOfDescriptors(err) ? StartResult::NoDescriptors : StartResult::Failed;
    }
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; e++) {
        if (strncmp(*e, "TORVEX_PROGRESS=", 16) != 0) {
            env.push_back(*e);
        }
    }
    env.push_back("TORVEX_PROGRESS=" + std::to_string(PROGRESS_FD));
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (std::string& e : env) {
        envp.push_back(&e[0]);
    }
    envp.push_back(nullptr);
    std::vector<std::string> argStore = {exe};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(argStore.size() + 1);
    for (std::string& a : argStore) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);

    const pid_t rack = getpid();
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &before);
    int execErr = 0;
    const pid_t pid = SpawnTorvex(rack, in[0], out[1], progress[1], exe.c_str(), argv.data(), envp.data(), &execErr);
    const int startErr = errno;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    CloseFd(&in[0]);
    CloseFd(&out[1]);
    CloseFd(&progress[1]);
    if (pid < 0 || execErr != 0) {
        ClosePipe(in);
        ClosePipe(out);
        ClosePipe(progress);
        if (pid > 0) {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        const int err = pid < 0 ? startErr : execErr;
        *why = exe + ": " + strerror(err);
        return OutOfDescriptors(err) || (pid < 0 && err == EAGAIN) ? StartResult::NoDescriptors
                                                                      : StartResult::Failed;
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(progress[0], F_SETFL, O_NONBLOCK);
    Child& c = Children[child];
    c.Pid = pid;
    c.Out = out[0];
    c.Progress = progress[0];
    c.In = in[1];
    c.Reaped = false;
    return StartResult::Started;
}

void SendKey(size_t child, char key)
{
    if (Children[child].In >= 0) {
        (void)!write(Children[child].In, &key, 1);
    }
}

void EndInput(size_t child)
{
    CloseFd(&Children[child].In);
}

void StopChildren(int sig)
{
    for (const Child& c : Children) {
        if (c.Pid > 0 && !c.Reaped) {
            kill(c.Pid, sig);
        }
    }
}

void EndChild(size_t child, bool hard)
{
    const Child& c = Children[child];
    if (c.Pid > 0 && !c.Reaped) {
        kill(c.Pid, hard ? SIGKILL : SIGTERM);
    }
}

void Suspend()
{
    // Stopped outright: torvex's own Ctrl-Z handling would not reach an
    // orphaned process group, and the rack's terminal is not theirs.
    StopChildren(SIGSTOP);
    kill(getpid(), SIGSTOP);
    StopChildren(SIGCONT);
}

void ContinueChildren()
{
    StopChildren(SIGCONT);
}

void WatchAlso(int fd)
{
    Watched = fd;
}

void WaitEvents(int ms, OsEvents* events)
{
    std::vector<struct pollfd> fds;
    std::vector<std::pair<size_t, bool>> owners;  // child, progress
    fds.push_back({SignalPipe[0], POLLIN, 0});
    if (KeysOn()) {
        fds.push_back({STDIN_FILENO, POLLIN, 0});
    }
    if (Watched >= 0) {
        fds.push_back({Watched, POLLIN, 0});
    }
    const size_t fixed = fds.size();
    for (size_t i = 0; i < Children.size(); i++) {
        // The progress channel first: it tells which line the console's next bytes belong to.
        if (Children[i].Progress >= 0) {
            fds.push_back({Children[i].Progress, POLLIN, 0});
            owners.emplace_back(i, true);
        }
        if (Children[i].Out >= 0) {
            fds.push_back({Children[i].Out, POLLIN, 0});
            owners.emplace_back(i, false);
        }
    }
    const int ready = poll(fds.data(), fds.size(), ms);
    // Read whether or not poll saw it: a Ctrl-C that came as poll returned has
    // run its handler by now, and must count before the runs it ended.
    unsigned char sigs[16];
    ssize_t got;
    while ((got = read(SignalPipe[0], sigs, sizeof sigs)) > 0) {
        for (ssize_t b = 0; b < got; b++) {
            if (sigs[b] == SIGTSTP) {
                events->stop = true;
            } else if (sigs[b] == SIGCONT) {
                events->resume = true;
            } else if (events->signal == 0) {
                events->signal = sigs[b];
            }
        }
    }
    if (ready <= 0) {
        return;
    }
    events->watched = Watched >= 0 && fds[fixed - 1].revents != 0;
    if (KeysOn() && fds[1].revents != 0) {
        char keys[64];
        const ssize_t k = read(STDIN_FILENO, keys, sizeof keys);
        if (k > 0) {
            events->keys.assign(keys, static_cast<size_t>(k));
        }
    }
    for (size_t f = fixed; f < fds.size(); f++) {
        if (fds[f].revents == 0) {
            continue;
        }
        const size_t i = owners[f - fixed].first;
        const bool progress = owners[f - fixed].second;
        Child& c = Children[i];
        std::string bytes;
        const bool open = Drain(fds[f].fd, &bytes);
        if (!bytes.empty()) {
            events->output.push_back({i, progress, bytes});
        }
        if (!open) {
            CloseFd(progress ? &c.Progress : &c.Out);
        }
        // Both streams at their end: the process is ending, so waiting for it is short.
        if (c.Out < 0 && c.Progress < 0 && !c.Reaped) {
            int status = 0;
            while (waitpid(c.Pid, &status, 0) < 0 && errno == EINTR) {
            }
            c.Reaped = true;
            CloseFd(&c.In);
            ChildEnd end;
            if (WIFSIGNALED(status)) {
                end.signal = WTERMSIG(status);
            } else {
                end.status = WEXITSTATUS(status);
            }
            events->ended.emplace_back(i, end);
        }
    }
}

void PrepareSignals()
{
    // Above the standard descriptors, even when one of those came closed.
    if (pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        SignalPipe[0] = High(SignalPipe[0]);
        SignalPipe[1] = High(SignalPipe[1]);
        fcntl(SignalPipe[0], F_SETFL, O_NONBLOCK);
        fcntl(SignalPipe[1], F_SETFL, O_NONBLOCK);
    }
    (void)signal(SIGPIPE, SIG_IGN);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : CaughtSignals) {
        struct sigaction old;
        // What the caller chose to ignore stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
            sigaction(sig, &sa, nullptr);
        }
    }
}

void BinaryInput()
{
    // POSIX reads every file as bytes.
}

void DieBySignal(int sig)
{
    (void)signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    (void)raise(sig);
    // cppcheck-suppress unreachableCode
    _exit(128 + sig);  // the signal's default is to end: never reached
}
