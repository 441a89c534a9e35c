// Keys on Windows: one key press from the console with _getch, or one byte
// from standard input when it is no console.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <conio.h>
#include <cstdio>

#include "platform/platform.h"
#include "platform/win32/shared.h"

static const int CtrlC = 3;

static int ConsoleKey()
{
    for (;;) {
        const int c = _getch();
        // _getch takes Ctrl-C as a key rather than raising the event.
        if (c == CtrlC) {
            EndPromptLine();
            ExitProcess(130);
        }
        if (c == 0 || c == 0xE0) {
            _getch();
            continue;
        }
        if (c >= 0xC0 && GetConsoleCP() == CP_UTF8) {
            for (int rest = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1; rest > 0 && _kbhit(); --rest) {
                _getch();
            }
        }
        return c;
    }
}

// Set when standard input is the script and a console is there for the keys.
static bool KeysFromConsole = false;

int ReadKey(bool lineOpen)
{
    BeginWait();
    SetPromptLine(lineOpen);
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    int key = 0;
    if (KeysFromConsole || (GetFileType(in) == FILE_TYPE_CHAR && GetConsoleMode(in, &mode))) {
        key = ConsoleKey();
    } else {
        unsigned char c;
        DWORD got = 0;
        if (ReadFile(in, &c, 1, &got, nullptr) && got == 1) {
            key = c;
        }
    }
    SetPromptLine(false);
    EndWait();
    return key;
}

void KeysApartFrom(FILE* script)
{
    if (_fileno(script) != StdinScriptFd) {
        return;
    }
    // _getch reads the console whatever standard input is.
    HANDLE console = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    DWORD mode;
    if (console != INVALID_HANDLE_VALUE) {
        KeysFromConsole = GetConsoleMode(console, &mode) != 0;
        CloseHandle(console);
    }
}
