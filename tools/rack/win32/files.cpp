// torvex-rack on Windows: the files and names it deals with: transcripts,
// torvex beside it, the stream limit, and what tells two ports apart.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "os.h"
#include "error.h"

void RaiseFileLimit()
{
    // Transcripts are C streams: the runtime's own limit on them is raised,
    // as far as this runtime goes (the older one stops at 2048).
    if (_setmaxstdio(8192) < 0) {
        _setmaxstdio(2048);
    }
}

FILE* CreateTranscript(const std::string& path, std::string* why, bool* noDescriptors)
{
    // Never another rack's file, and, not inheritable, never a child's.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        *why = ErrorText(err);
        *noDescriptors = err == ERROR_TOO_MANY_OPEN_FILES;
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    FILE* file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        if (fd >= 0) {
            _close(fd);
        } else {
            CloseHandle(h);
        }
        *why = "too many open files";
        *noDescriptors = true;
    }
    return file;
}

bool FileNamesUtf8()
{
    return GetACP() == CP_UTF8;
}

bool Runnable(const std::string& path, std::string* why)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *why = ErrorText(attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

FileIs FileKind(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // A device such as COM1 or NUL has no attributes but is there.
        const DWORD err = GetLastError();
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? FileIs::None : FileIs::Other;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileIs::Other : FileIs::Regular;
}

std::string RealFile(const std::string& path)
{
    char full[MAX_PATH * 4];
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return n > 0 && n < sizeof full ? std::string(full, n) : path;
}

bool SyncFile(FILE* file, std::string* why)
{
    // FlushFileBuffers on the stream's handle.
    if (_commit(_fileno(file)) != 0) {
        *why = strerror(errno);
        return false;
    }
    return true;
}

bool RenameOver(const std::string& from, const std::string& to, std::string* why)
{
    // A file that a reader holds open without FILE_SHARE_DELETE cannot be replaced.
    if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD err = GetLastError();
        *why = err == ERROR_SHARING_VIOLATION || err == ERROR_ACCESS_DENIED || err == ERROR_LOCK_VIOLATION
                   ? "another program holds it open"
                   : ErrorText(err);
        return false;
    }
    return true;
}

void RemoveFile(const std::string& path)
{
    (void)DeleteFileA(path.c_str());
}

FILE* TakeStandardOutput()
{
    const int fd = _dup(1);
    if (fd < 0 || _dup2(2, 1) != 0) {
        return nullptr;
    }
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
    return _fdopen(fd, "wb");
}

std::string HostName()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD n = sizeof name;
    return GetComputerNameA(name, &n) ? std::string(name, n) : "";
}

std::vector<std::string> PortIdentities(const std::string& port, const std::string& host, const std::string& service)
{
    std::vector<std::string> ids;
    if (!service.empty()) {
        WSADATA wsa;
        if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
            return ids;
        }
        struct addrinfo hints = {};
        hints.ai_socktype = SOCK_STREAM;
        struct addrinfo* found = nullptr;
        if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) == 0) {
            for (const struct addrinfo* a = found; a != nullptr; a = a->ai_next) {
                char name[NI_MAXHOST];
                if (getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), name, sizeof name, nullptr, 0,
                                NI_NUMERICHOST) == 0) {
                    ids.push_back(std::string("address ") + name + " port " + service);
                }
            }
            freeaddrinfo(found);
        }
        WSACleanup();
        return ids;
    }
    // COM3, com3 and \\.\COM3 are one port; so are two spellings of one file.
    std::string name = port.compare(0, 4, "\\\\.\\") == 0 ? port.substr(4) : port;
    char full[MAX_PATH * 4];
    const DWORD n = GetFullPathNameA(name.c_str(), sizeof full, full, nullptr);
    if (n > 0 && n < sizeof full && name.find_first_of("\\/") != std::string::npos) {
        name = full;
    }
    for (char& c : name) {
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    ids.push_back("device " + name);
    return ids;
}

std::string OwnDirectory()
{
    char path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) {
        return "";
    }
    const std::string own(path, n);
    return own.substr(0, own.find_last_of("\\/") + 1);
}

const char* TorvexName()
{
    return "torvex.exe";
}
