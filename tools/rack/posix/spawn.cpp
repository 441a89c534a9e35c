// torvex-rack on POSIX: a torvex process started with clone and exec on
// Linux (tied to the rack's life there), posix_spawn elsewhere, with its
// standard streams and progress channel, and the signals the rack catches
// back at their defaults.
#include "spawn.h"

#include <signal.h>
#include <unistd.h>
#ifdef __linux__
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#else
#include <spawn.h>
#endif

#include <cerrno>

#ifdef __linux__
namespace {

void MarkCloseOnExec(int fd)
{
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) {
        (void)fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

}  // namespace

bool CloseOnExecListed(int first)
{
    const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        return false;
    }
    // The raw call: readdir would allocate.
    alignas(struct dirent64) char buffer[4096];
    long n = 0;
    while ((n = syscall(SYS_getdents64, dir, buffer, sizeof buffer)) > 0) {
        for (long at = 0; at < n;) {
            const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            int fd = 0;
            const char* c = entry->d_name;
            for (; *c >= '0' && *c <= '9' && fd < (1 << 24); c++) {
                fd = fd * 10 + (*c - '0');
            }
            if (*c == '\0' && c != entry->d_name && fd >= first && fd != dir) {
                MarkCloseOnExec(fd);
            }
        }
    }
    close(dir);
    return n == 0;
}

void CloseOnExecUpToLimit(int first)
{
    // Not past a million: a limit such as 2^30 would keep the child for minutes.
    rlim_t last = 1 << 20;
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < last) {
        last = limit.rlim_cur;
    }
    for (int fd = first; static_cast<rlim_t>(fd) < last; fd++) {
        MarkCloseOnExec(fd);
    }
}

void CloseOnExecFrom(int first)
{
    // Linux before 5.11 has no close_range flag for this (EINVAL, or ENOSYS
    // before 5.9): the open descriptors are listed, or without /proc tried one by one.
    if (close_range(static_cast<unsigned>(first), ~0U, CLOSE_RANGE_CLOEXEC) == 0 || CloseOnExecListed(first)) {
        return;
    }
    CloseOnExecUpToLimit(first);
}

namespace {

// What the child needs, made ready before it exists: it shares the rack's
// memory until its exec, so it allocates nothing and writes only err.
struct Spawn {
    pid_t rack;
    int in, out, progress;
    const char* exe;
    char** argv;
    char** envp;
    int err;  // why the exec failed; 0 when it did not
};

// The child's own stack until its exec; one start at a time uses it, as the
// rack waits for each exec.
alignas(64) char SpawnStack[256 * 1024];

// In the child before its exec: only async-signal-safe calls.
int BecomeTorvex(void* arg)
{
    Spawn* s = static_cast<Spawn*>(arg);
    // The run ends with the rack, even when the rack is killed outright.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != s->rack) {
        _exit(128 + SIGTERM);  // the rack died before the request took hold
    }
    // The rack ignores SIGPIPE and catches the others for itself; torvex
    // decides its own. Until exec they stay blocked, so that none reaches the
    // rack's handler here and its signal pipe.
    (void)signal(SIGPIPE, SIG_DFL);
    for (int sig : CaughtSignals) {
        struct sigaction now;
        if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) {
            (void)signal(sig, SIG_DFL);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (dup2(s->in, 0) < 0 || dup2(s->out, 1) < 0 || dup2(s->out, 2) < 0 || dup2(s->progress, PROGRESS_FD) < 0) {
        s->err = errno;
        _exit(127);
    }
    // Nor anything the rack itself was left by whoever started it.
    CloseOnExecFrom(PROGRESS_FD + 1);
    execve(s->exe, s->argv, s->envp);
    s->err = errno;
    _exit(127);
}

}  // namespace

// Starts exe as vfork would: the rack waits until the child has called exec
// or given up, so no copy of the rack's memory is made. errno on failure.
pid_t SpawnTorvex(pid_t rack, const int in, const int out, const int progress, const char* exe, char** argv, char** envp,
            int* execErr)
{
    Spawn s = {rack, in, out, progress, exe, argv, envp, 0};
    const pid_t pid = clone(BecomeTorvex, SpawnStack + sizeof SpawnStack, CLONE_VM | CLONE_VFORK | SIGCHLD, &s);
    *execErr = pid > 0 ? s.err : 0;
    return pid;
}
#else
pid_t SpawnTorvex(pid_t, const int in, const int out, const int progress, const char* exe, char** argv, char** envp,
            int* execErr)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, out, 2);
    posix_spawn_file_actions_adddup2(&actions, progress, PROGRESS_FD);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The rack ignores SIGPIPE and catches the others for itself; torvex decides its own.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    for (int sig : CaughtSignals) {
        sigaddset(&defaults, sig);
    }
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    *execErr = posix_spawn(&pid, exe, &actions, &attr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (*execErr != 0) {
        errno = *execErr;
        *execErr = 0;
        return -1;
    }
    return pid;
}
#endif
