// Inside the POSIX platform layer only: what its files share. The clock, and
// the state that the signal handler (console.cpp) puts right when a run ends.
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>
#include <termios.h>

// NowNs     nanoseconds on the monotonic clock
// Span      a non-negative span of nanoseconds as a timespec
// PollSpan  a ppoll time-out for a wait of ns, less the kernel's slack
int64_t NowNs();
struct timespec Span(int64_t ns);
struct timespec PollSpan(int64_t ns);

// The open port's descriptor, for the signal handler; -1 when none.
extern volatile sig_atomic_t OpenPortFd;
// Where prompts read their keys: standard input, or the terminal when that is the script.
extern volatile sig_atomic_t KeyFd;
// The console's settings while a prompt waits, for the signal handler to restore.
extern struct termios SavedConsole;
extern volatile sig_atomic_t ConsoleChanged;
extern volatile sig_atomic_t PromptLineOpen;
