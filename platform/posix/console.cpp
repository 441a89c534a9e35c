// The console and signals on POSIX systems: standard streams held open, output
// buffered until a call may block, and every ending signal restoring the
// console and releasing the port before the run ends by that signal.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/shared.h"

volatile sig_atomic_t KeyFd = STDIN_FILENO;
struct termios SavedConsole;
volatile sig_atomic_t ConsoleChanged = 0;
volatile sig_atomic_t PromptLineOpen = 0;

void FlushConsole()
{
    fflush(stdout);
}


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

static void OnContinue(int)
{
}

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
    // Stopped (Ctrl-Z) and continued, a wait on the port would go on for all
    // it had left, as the kernel restarts it; woken instead, it reads what came
    // meanwhile and measures its time-out from the clock, as every wait does.
    // The rest of the program's calls go on as they were.
    struct sigaction cont;
    memset(&cont, 0, sizeof cont);
    cont.sa_handler = OnContinue;
    cont.sa_flags = SA_RESTART;
    sigemptyset(&cont.sa_mask);
    (void)sigaction(SIGCONT, &cont, nullptr);
}
