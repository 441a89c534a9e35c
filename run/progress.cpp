// The progress channel's portable half: an event as one line.
#include "run/progress.h"

#include <cstdio>

#include "platform/platform.h"

bool ProgressOn = false;

void StartProgress()
{
    ProgressOn = ProgressOpen();
}

static void Send(const char* line, int n)
{
    if (n > 0 && !ProgressWrite(line, static_cast<size_t>(n))) {
        ProgressOn = false;
    }
}

void Progress(const char* event)
{
    if (ProgressOn) {
        char line[32];
        Send(line, snprintf(line, sizeof line, "%s\n", event));
    }
}

void Progress(const char* event, long long number)
{
    if (ProgressOn) {
        char line[48];
        Send(line, snprintf(line, sizeof line, "%s %lld\n", event, number));
    }
}
