// The progress channel's portable half: formats an event as one line.
#include "run/progress.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

bool ProgressOn = false;

void StartProgress()
{
    ProgressOn = ProgressOpen();
}

void Progress(const char* format, ...)
{
    if (!ProgressOn) {
        return;
    }
    char line[64];
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (n <= 0) {
        return;
    }
    size_t length = static_cast<size_t>(n) < sizeof line - 2 ? static_cast<size_t>(n) : sizeof line - 2;
    line[length++] = '\n';
    if (!ProgressWrite(line, length)) {
        ProgressOn = false;
    }
}
