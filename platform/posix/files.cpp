// Files on POSIX systems: the script (a file, a pipe or standard input), 64-bit
// positions in it, temporary files, and the room of an output pipe.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

// Script positions are 64-bit; the build asks for 64-bit file offsets.
static_assert(sizeof(off_t) == 8, "64-bit file offsets are needed (_FILE_OFFSET_BITS=64)");

FILE* FileOpenRead(const char* path)
{
    FlushConsole();  // a FIFO's open, and a pipe's reads, wait for the writer
    FILE* file = nullptr;
    if (strcmp(path, "-") == 0) {
        // A descriptor of its own, so that closing the script leaves standard input.
        const int fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
        file = fd < 0 ? nullptr : fdopen(fd, "rb");
        if (file == nullptr && fd >= 0) {
            const int err = errno;
            close(fd);
            errno = err;
        }
    } else {
        file = fopen(path, "rb");
    }
    struct stat st;
    if (file != nullptr && fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode)) {
        fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

// Only a regular file keeps its bytes in place: a device such as /dev/zero
// accepts a seek but would read differently the second time.
bool FileSeekable(FILE* file)
{
    struct stat st;
    return fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && ftello(file) >= 0;
}

const char* TempDir()
{
    const char* dir = getenv("TMPDIR");
    return dir != nullptr && dir[0] != '\0' ? dir : "/tmp";
}

FILE* TempFile()
{
    char path[4096];
    if (snprintf(path, sizeof path, "%s/torvex-XXXXXX", TempDir()) >= static_cast<int>(sizeof path)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    const int fd = mkostemp(path, O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    unlink(path);  // removed when closed
    FILE* file = fdopen(fd, "w+b");
    if (file == nullptr) {
        const int err = errno;
        close(fd);
        errno = err;
    }
    return file;
}

int64_t FileTell(FILE* file)
{
    return static_cast<int64_t>(ftello(file));
}

bool FileSeek(FILE* file, int64_t offset)
{
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

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
