// torvex-rack on POSIX: how a torvex process is started (spawn.cpp).
#pragma once

#include <signal.h>
#include <sys/types.h>

// The descriptor the child finds its progress channel on.
constexpr int PROGRESS_FD = 3;

// What the rack handles itself, through its signal pipe; a child gets them
// back at their defaults, unless the rack found them ignored.
constexpr int CaughtSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT};

// Starts exe with in, out (as standard output and error) and progress (as
// PROGRESS_FD), all signals blocked by the caller until it returns. The pid,
// or -1 with errno; execErr: why the exec failed in a child that was made.
pid_t SpawnTorvex(pid_t rack, int in, int out, int progress, const char* exe, char** argv, char** envp,
                  int* execErr);

#ifdef __linux__
// Marks every descriptor from first on to be closed at exec: by close_range,
// else by the list of /proc/self/fd, else one by one up to the limit of open
// files. Safe in a child that shares the rack's memory: it allocates nothing.
void CloseOnExecFrom(int first);
// Its two ways for a kernel without close_range; the first is false when it
// cannot read the list.
bool CloseOnExecListed(int first);
void CloseOnExecUpToLimit(int first);
#endif
