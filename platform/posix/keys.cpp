// Keys on POSIX systems: one key press from a terminal without echo or Enter,
// or one byte from standard input when it is no terminal.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/shared.h"

// One byte from standard input, or -1 at its end. With a timeout in
// milliseconds, -1 also when nothing comes in that time.
static int ReadByte(int timeoutMs)
{
    if (timeoutMs >= 0) {
        struct pollfd pfd = {KeyFd, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) {
            return -1;
        }
    }
    unsigned char c;
    for (;;) {
        ssize_t k = read(KeyFd, &c, 1);
        if (k == 1) {
            return c;
        }
        if (k < 0 && errno == EINTR) {
            continue;
        }
        return -1;
    }
}

// Keys such as arrows and function keys arrive as ESC [ ... or ESC O x.
// A lone ESC, with nothing after it, is the Escape key itself.
static bool SkipEscapeSequence()
{
    int c = ReadByte(50);
    if (c < 0) {
        return false;
    }
    if (c == 'O') {
        ReadByte(50);
    } else if (c == '[') {
        do {
            c = ReadByte(50);
        } while (c >= 0 && !(c >= 0x40 && c <= 0x7E));
    }
    return true;
}

// A key beyond ASCII comes on a UTF-8 terminal as a lead byte and up to three
// more; they belong to the same key press.
static void SkipUtf8Rest(int lead)
{
    const int rest = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    for (int i = 0; i < rest; ++i) {
        const int c = ReadByte(50);
        if (c < 0x80 || c > 0xBF) {
            return;
        }
    }
}

int ReadKey(bool lineOpen)
{
    FlushConsole();
    if (!isatty(KeyFd)) {
        int c = ReadByte(-1);
        return c < 0 ? 0 : c;
    }
    struct termios raw;
    if (tcgetattr(KeyFd, &SavedConsole) != 0) {
        int c = ReadByte(-1);
        return c < 0 ? 0 : c;
    }
    raw = SavedConsole;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    PromptLineOpen = lineOpen;
    ConsoleChanged = 1;
    tcsetattr(KeyFd, TCSANOW, &raw);
    int c;
    for (;;) {
        c = ReadByte(-1);
        if (c != 0x1B || !SkipEscapeSequence()) {
            break;
        }
    }
    SkipUtf8Rest(c);
    tcsetattr(KeyFd, TCSANOW, &SavedConsole);
    ConsoleChanged = 0;
    return c < 0 ? 0 : c;
}

void KeysApartFrom(FILE* script)
{
    struct stat in, file;
    if (fstat(STDIN_FILENO, &in) != 0 || fstat(fileno(script), &file) != 0 || in.st_dev != file.st_dev ||
        in.st_ino != file.st_ino) {
        return;
    }
    // None without a controlling terminal: the keys stay at standard input's end.
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty >= 0) {
        KeyFd = tty;
    }
}
