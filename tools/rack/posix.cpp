// torvex-rack on POSIX: torvex processes started with posix_spawn, their
// console and progress pipes and the rack's keys watched with one poll.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os.h"

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
struct termios SavedTerminal;
bool TerminalChanged = false;

// The descriptor the child finds its progress channel on.
constexpr int PROGRESS_FD = 3;

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
    close(fd);
    return high;
}

bool Pipe(int ends[2])
{
    if (pipe(ends) != 0) {
        return false;
    }
    ends[0] = High(ends[0]);
    ends[1] = High(ends[1]);
    return ends[0] >= 0 && ends[1] >= 0;
}

void CloseFd(int* fd)
{
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
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

bool StartChild(size_t child, const std::string& exe, const std::vector<std::string>& args, std::string* why)
{
    if (Children.size() <= child) {
        Children.resize(child + 1);
    }
    int in[2];
    int out[2];
    int progress[2];
    if (!Pipe(in) || !Pipe(out) || !Pipe(progress)) {
        *why = strerror(errno);
        return false;
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

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawn_file_actions_adddup2(&actions, progress[1], PROGRESS_FD);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The rack ignores SIGPIPE for itself; torvex decides its own.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int err = posix_spawn(&pid, exe.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(in[0]);
    close(out[1]);
    close(progress[1]);
    if (err != 0) {
        close(in[1]);
        close(out[0]);
        close(progress[0]);
        *why = exe + ": " + strerror(err);
        return false;
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(progress[0], F_SETFL, O_NONBLOCK);
    Child& c = Children[child];
    c.Pid = pid;
    c.Out = out[0];
    c.Progress = progress[0];
    c.In = in[1];
    c.Reaped = false;  // a retry starts the port's run again
    return true;
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

void WaitEvents(int ms, OsEvents* events)
{
    std::vector<struct pollfd> fds;
    std::vector<std::pair<size_t, bool>> owners;  // child, progress
    fds.push_back({SignalPipe[0], POLLIN, 0});
    if (TerminalChanged) {
        fds.push_back({STDIN_FILENO, POLLIN, 0});
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
    unsigned char byte = 0;
    if (read(SignalPipe[0], &byte, 1) == 1) {
        events->signal = byte;
    }
    if (ready <= 0) {
        return;
    }
    if (fixed > 1 && fds[1].revents != 0) {
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

std::string OwnDirectory()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return "";
    }
    const std::string own(path, static_cast<size_t>(n));
    return own.substr(0, own.rfind('/') + 1);
}

const char* TorvexName()
{
    return "torvex";
}

bool ConsoleIsTerminal()
{
    return isatty(STDOUT_FILENO) != 0;
}

bool KeysFromTerminal()
{
    // A rack in the background would be stopped for changing the terminal.
    return isatty(STDIN_FILENO) != 0 && tcgetpgrp(STDIN_FILENO) == getpgrp();
}

void ConsoleSize(int* columns, int* rows)
{
    struct winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        *columns = size.ws_col;
        *rows = size.ws_row;
    }
}

void TerminalKeys(bool on)
{
    if (on && !TerminalChanged && tcgetattr(STDIN_FILENO, &SavedTerminal) == 0) {
        struct termios raw = SavedTerminal;
        // Ctrl-C still signals; only line editing and echo go.
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        TerminalChanged = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    } else if (!on && TerminalChanged) {
        tcsetattr(STDIN_FILENO, TCSANOW, &SavedTerminal);
        TerminalChanged = false;
    }
}

void ConsoleWrite(const std::string& text)
{
    const char* p = text.data();
    size_t n = text.size();
    while (n > 0) {
        const ssize_t k = write(STDOUT_FILENO, p, n);
        if (k < 0 && errno == EINTR) {
            continue;
        }
        if (k <= 0) {
            return;  // a closed output does not stop the runs
        }
        p += k;
        n -= static_cast<size_t>(k);
    }
}

void PrepareSignals()
{
    if (pipe(SignalPipe) == 0) {
        fcntl(SignalPipe[0], F_SETFD, FD_CLOEXEC);
        fcntl(SignalPipe[0], F_SETFL, O_NONBLOCK);
        fcntl(SignalPipe[1], F_SETFD, FD_CLOEXEC);
        fcntl(SignalPipe[1], F_SETFL, O_NONBLOCK);
    }
    (void)signal(SIGPIPE, SIG_IGN);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
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
