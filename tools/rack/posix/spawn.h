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
