// torvex-rack on POSIX: the terminal it draws on and reads keys from.
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "os.h"
#include "terminal.h"

namespace {

struct termios SavedTerminal;
std::atomic<bool> TerminalChanged{false};  // also read by the console's writer
bool PromptUp = false;

}  // namespace

bool KeysOn()
{
    return TerminalChanged && PromptUp;
}

void WantKeys(bool on)
{
    PromptUp = on;
}

void FlushKeys()
{
    if (TerminalChanged) {
        tcflush(STDIN_FILENO, TCIFLUSH);
    }
}

bool ConsoleIsTerminal()
{
    return isatty(STDOUT_FILENO) != 0;
}

bool ConsoleUtf8()
{
    // The first of these that is set names the character set, as setlocale reads them.
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = getenv(name);
        if (value != nullptr && value[0] != '\0') {
            return strcasestr(value, "UTF-8") != nullptr || strcasestr(value, "UTF8") != nullptr;
        }
    }
    return false;
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
    if (on && !TerminalChanged && KeysFromTerminal() && tcgetattr(STDIN_FILENO, &SavedTerminal) == 0) {
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

void ConsoleWriteAll(const std::string& text)
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
