// The harness's clock, its notes to standard error and the log, and formatting.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "harness.h"

namespace {

FILE* Log = nullptr;

}  // namespace

int64_t Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void Note(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char buf[2048];
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    fprintf(stderr, "%s\n", buf);
    if (Log != nullptr) {
        fprintf(Log, "%s\n", buf);
        fflush(Log);
    }
}

[[noreturn]] void Die(const char* what)
{
    fprintf(stderr, "torvex_bench: %s: %s\n", what, strerror(errno));
    exit(2);
}

std::string Fmt(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char buf[256];
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

double Ms(int64_t ns)
{
    return static_cast<double>(ns) / 1e6;
}

double CpuMs(const struct rusage& ru)
{
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000 +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000;
}

bool OpenLog(const char* path)
{
    Log = fopen(path, "w");
    return Log != nullptr;
}
