// The progress channel on POSIX: a descriptor inherited from torvex-rack.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"

static int ProgressFd = -1;

bool ProgressOpen()
{
    const char* named = getenv("TORVEX_PROGRESS");
    if (named == nullptr || *named < '0' || *named > '9') {
        return false;
    }
    char* end = nullptr;
    const long fd = strtol(named, &end, 10);
    // Never one of the standard streams, and only a descriptor that is open.
    if (*end != '\0' || fd <= 2 || fd > 1024 || fcntl(static_cast<int>(fd), F_GETFD) == -1) {
        return false;
    }
    ProgressFd = static_cast<int>(fd);
    return true;
}

bool ProgressWrite(const char* line, size_t n)
{
    while (n > 0) {
        const ssize_t k = write(ProgressFd, line, n);
        if (k < 0 && errno == EINTR) {
            continue;
        }
        if (k <= 0) {
            return false;
        }
        line += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}
