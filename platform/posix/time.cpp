// Time on POSIX systems: the monotonic clock for waits and tick counts, the
// realtime clock for the calendar, and pauses that a signal does not cut short.
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "platform/platform.h"
#include "platform/posix/shared.h"

// Nanoseconds on the monotonic clock.
int64_t NowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct timespec Span(int64_t ns)
{
    if (ns < 0) {
        ns = 0;
    }
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

// The poll family may wake up to 0.1% of its time-out late (the kernel's slack:
// 1 ms on a one-second gap). Wait that much less and let the caller's loop finish.
struct timespec PollSpan(int64_t ns)
{
    return Span(ns - ns / 1000);
}

uint64_t TickCount()
{
    return static_cast<uint64_t>(NowNs() / 1000000);
}

void UtcNow(SystemTime* now)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    now->wYear = static_cast<uint16_t>(tm.tm_year + 1900);
    now->wMonth = static_cast<uint16_t>(tm.tm_mon + 1);
    now->wDayOfWeek = static_cast<uint16_t>(tm.tm_wday);
    now->wDay = static_cast<uint16_t>(tm.tm_mday);
    now->wHour = static_cast<uint16_t>(tm.tm_hour);
    now->wMinute = static_cast<uint16_t>(tm.tm_min);
    now->wSecond = static_cast<uint16_t>(tm.tm_sec);
    now->wMilliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
}

void Pause(int64_t ms)
{
    FlushConsole();
    if (ms <= 0) {
        return;
    }
    const struct timespec until = Span(NowNs() + ms * 1000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
