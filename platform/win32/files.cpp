// Files on Windows: the script (a file, a pipe or standard input), 64-bit
// positions in it, and temporary files where the user may write.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/shared.h"

int StdinScriptFd = -1;

FILE* FileOpenRead(const char* path)
{
    FlushConsole();  // a pipe's reads wait for the writer
    if (strcmp(path, "-") != 0) {
        return fopen(path, "rb");  // Windows itself refuses to open a directory
    }
    // A descriptor of its own, so that closing the script leaves standard input.
    const int fd = _dup(0);
    FILE* file = fd < 0 ? nullptr : _fdopen(fd, "rb");
    if (file == nullptr) {
        if (fd >= 0) {
            _close(fd);
        }
        return nullptr;
    }
    _setmode(fd, _O_BINARY);
    StdinScriptFd = fd;
    return file;
}

bool FileSeekable(FILE* file)
{
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the C library keeps the handle as an integer
    return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) == FILE_TYPE_DISK;
}

// GetTempPath's answer (TMP, TEMP, the profile's folder), without the closing
// backslash except at a drive's root.
static std::string TempPath()
{
    char dir[32768];
    const DWORD n = GetTempPathA(sizeof dir, dir);
    if (n == 0 || n >= sizeof dir) {
        return "";
    }
    std::string path(dir, n);
    if (path.size() > 3 && path.back() == '\\') {
        path.pop_back();
    }
    return path;
}

const char* TempDir()
{
    static const std::string dir = TempPath();
    return dir.c_str();
}

FILE* TempFile()
{
    // The C library's tmpfile writes to the root of the drive, which users may
    // not. Its _open reports CreateFile's failure in errno, as fopen does.
    const std::string dir = TempDir();
    if (dir.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    const unsigned stamp = static_cast<unsigned>(GetCurrentProcessId()) * 65599u + static_cast<unsigned>(GetTickCount());
    for (unsigned attempt = 0; attempt < 100; attempt++) {
        char name[32];
        snprintf(name, sizeof name, "%stvx%08X.tmp", dir.back() == '\\' ? "" : "\\", stamp + attempt * 7919u);
        // _O_TEMPORARY: removed when closed.
        const int fd = _open((dir + name).c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_TEMPORARY | _O_NOINHERIT,
                             _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            FILE* file = _fdopen(fd, "w+b");
            if (file == nullptr) {
                const int err = errno;
                _close(fd);
                errno = err;
            }
            return file;
        }
        if (errno != EEXIST) {
            return nullptr;
        }
    }
    return nullptr;  // errno is EEXIST
}

int64_t FileTell(FILE* file)
{
    return _ftelli64(file);
}

bool FileSeek(FILE* file, int64_t offset)
{
    return _fseeki64(file, offset, SEEK_SET) == 0;
}

// A pipe's room is set when it is made, by its maker.
void PipeRoom(FILE* /*file*/)
{
}
