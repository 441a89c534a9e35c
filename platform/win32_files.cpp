// Files mapped into memory (Win32): read at memory speed, with no copy; and
// the room of an output pipe.
#include <windows.h>

#include <io.h>

#include <cstdint>

#include "platform/platform.h"

const char* FileMap(FILE* file, size_t* size)
{
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the C library keeps the handle as an integer
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    LARGE_INTEGER length;
    if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &length) ||
        length.QuadPart <= 0 || static_cast<uint64_t>(length.QuadPart) > SIZE_MAX / 2) {
        return nullptr;
    }
    const HANDLE mapping = CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        return nullptr;
    }
    // The view keeps the mapping open.
    const void* bytes = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(mapping);
    if (bytes == nullptr) {
        return nullptr;
    }
    *size = static_cast<size_t>(length.QuadPart);
    return static_cast<const char*>(bytes);
}

void FileUnmap(const char* bytes, size_t /*size*/)
{
    UnmapViewOfFile(bytes);
}

// A pipe's room is set when it is made, by its maker.
void PipeRoom(FILE* /*file*/)
{
}
