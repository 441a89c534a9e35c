// Files mapped into memory (POSIX): read at memory speed, with no copy; and
// the room of an output pipe.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdint>

#include "platform/platform.h"

const char* FileMap(FILE* file, size_t* size)
{
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        static_cast<uint64_t>(st.st_size) > SIZE_MAX / 2) {
        return nullptr;
    }
    int flags = MAP_PRIVATE;
#ifdef MAP_POPULATE
    flags |= MAP_POPULATE;  // the pages at once, not a fault each
#endif
    const size_t n = static_cast<size_t>(st.st_size);
    void* bytes = mmap(nullptr, n, PROT_READ, flags, fileno(file), 0);
    if (bytes == MAP_FAILED) {
        return nullptr;
    }
    *size = n;
    return static_cast<const char*>(bytes);
}

void FileUnmap(const char* bytes, size_t size)
{
    (void)munmap(const_cast<char*>(bytes), size);
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
