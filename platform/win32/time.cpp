// Time on Windows: a tick count that never wraps, the system's UTC time, and
// pauses of any length.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/shared.h"

uint64_t TickCount()
{
    return GetTickCount64();
}

void UtcNow(SystemTime* now)
{
    SYSTEMTIME st;
    GetSystemTime(&st);
    now->wYear = st.wYear;
    now->wMonth = st.wMonth;
    now->wDayOfWeek = st.wDayOfWeek;
    now->wDay = st.wDay;
    now->wHour = st.wHour;
    now->wMinute = st.wMinute;
    now->wSecond = st.wSecond;
    now->wMilliseconds = st.wMilliseconds;
}

void Pause(int64_t ms)
{
    BeginWait();
    // Sleep takes 32 bits, and 0xFFFFFFFF (INFINITE) would never return.
    const int64_t chunk = 0x7FFFFFFF;
    while (ms > 0) {
        const int64_t step = ms < chunk ? ms : chunk;
        Sleep(static_cast<DWORD>(step));
        ms -= step;
    }
    EndWait();
}
