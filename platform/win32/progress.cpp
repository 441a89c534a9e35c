// The progress channel on Windows: a pipe handle inherited from torvex-rack.
#include <windows.h>

#include <cstdint>
#include <cstdlib>

#include "platform/platform.h"

static HANDLE ProgressHandle = INVALID_HANDLE_VALUE;

bool ProgressOpen()
{
    const char* named = getenv("TORVEX_PROGRESS");
    if (named == nullptr || *named < '0' || *named > '9') {
        return false;
    }
    char* end = nullptr;
    const unsigned long long value = strtoull(named, &end, 10);
    DWORD flags = 0;
    // Handles passed to a child keep to 32 bits, also on 64-bit Windows.
    const HANDLE h = ULongToHandle(static_cast<unsigned long>(value));
    if (*end != '\0' || value == 0 || value > 0xFFFFFFFFULL || !GetHandleInformation(h, &flags)) {
        return false;
    }
    ProgressHandle = h;
    return true;
}

bool ProgressWrite(const char* line, size_t n)
{
    DWORD sent = 0;
    return WriteFile(ProgressHandle, line, static_cast<DWORD>(n), &sent, nullptr) && sent == n;
}
