// The room of an output pipe (POSIX).
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/platform.h"

void PipeRoom(FILE* file)
{
#ifdef F_SETPIPE_SZ
    // 1 MiB, what Linux gives any program; where it refuses, the pipe stays as it was.
    struct stat st;
    if (fstat(fileno(file), &st) == 0 && S_ISFIFO(st.st_mode)) {
        (void)fcntl(fileno(file), F_SETPIPE_SZ, 1 << 20);
    }
#else
    (void)file;
#endif
}
