// The console on Windows: output buffered until a call may block, and Ctrl-C
// and Ctrl-Break ending the run with 130 at a point where no line is half written.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"
#include "platform/win32/shared.h"

// Set while a prompt's message stands on the console line.
static volatile LONG PromptLineOpen = 0;

void SetPromptLine(bool open)
{
    InterlockedExchange(&PromptLineOpen, open ? 1 : 0);
}

// A run ended at a prompt ends the prompt's line first.
void EndPromptLine()
{
    if (PromptLineOpen) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "\r\n", 2, &written, nullptr);
    }
}

// Held while standard output is flushed, and while the flags below change.
// Ctrl-C comes on a thread of its own; msvcrt writes one flush in several
// pieces, and ExitProcess writes out what the buffer holds, perhaps half a
// line: the run may end only while no flush is under way and the buffer is
// empty, or holds whole lines only.
static SRWLOCK ConsoleLock = SRWLOCK_INIT;
static volatile LONG Waiting = 0;  // the main thread waits, with the console flushed
static volatile LONG Ending = 0;   // Ctrl-C came: the main thread ends the run at its next flush

static void EndRun()
{
    EndPromptLine();
    ExitProcess(130);
}

void FlushConsole()
{
    AcquireSRWLockExclusive(&ConsoleLock);
    fflush(stdout);
    if (Ending) {
        EndRun();
    }
    ReleaseSRWLockExclusive(&ConsoleLock);
}

void BeginWait()
{
    AcquireSRWLockExclusive(&ConsoleLock);
    fflush(stdout);
    if (Ending) {
        EndRun();
    }
    Waiting = 1;
    ReleaseSRWLockExclusive(&ConsoleLock);
}

void EndWait()
{
    AcquireSRWLockExclusive(&ConsoleLock);
    Waiting = 0;
    ReleaseSRWLockExclusive(&ConsoleLock);
}

// Ctrl-C and Ctrl-Break end the run; the system closes the port. Windows has no
// death by a signal to show the caller: the exit status 130 stands for it. A
// flush under way ends first, unless its reader has stopped reading; a run
// that is printing ends at the end of its line.
static BOOL WINAPI OnConsoleCtrl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    bool locked = false;
    for (int waited = 0; waited < 1000 && !(locked = TryAcquireSRWLockExclusive(&ConsoleLock)); waited++) {
        Sleep(1);
    }
    if (!locked || Waiting) {
        EndRun();
    }
    Ending = 1;
    ReleaseSRWLockExclusive(&ConsoleLock);
    // Every line ends in a flush; only a long stretch without one, such as
    // the label scan of a huge script, gets here.
    Sleep(2000);
    EndRun();
    return TRUE;
}

void PrepareConsole()
{
    // msvcrt writes every printf to the console on its own, which is slow; every
    // blocking call here flushes first, so nothing waits unseen in the buffer.
    // Should buffering be refused, output is only slower.
    (void)setvbuf(stdout, nullptr, _IOFBF, 4096);
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
}

// One key from the console. Arrows and function keys come as 0 or 0xE0
// followed by a second code; on a UTF-8 console a key beyond ASCII comes as
