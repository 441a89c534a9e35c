// torvex-rack on POSIX: the files and names it deals with: transcripts,
// torvex beside it, the descriptor limit, and what tells two ports apart.
#include <fcntl.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "os.h"

void RaiseFileLimit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

FILE* CreateTranscript(const std::string& path, std::string* why, bool* noDescriptors)
{
    // Never another rack's file, and never a child's.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 && fd <= STDERR_FILENO) {
        // A standard descriptor that came closed: the console's writes must not land here.
        const int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(fd);
        fd = high;
    }
    FILE* file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        const int err = errno;
        if (fd >= 0) {
            close(fd);
        }
        *why = strerror(err);
        *noDescriptors = err == EMFILE || err == ENFILE;
    }
    return file;
}

bool FileNamesUtf8()
{
    return true;  // bytes as given; ls and the like show UTF-8 as text
}

bool Runnable(const std::string& path, std::string* why)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *why = strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) || access(path.c_str(), X_OK) != 0) {
        *why = strerror(S_ISREG(st.st_mode) ? errno : EACCES);
        return false;
    }
    return true;
}

FileIs FileKind(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return FileIs::None;
    }
    return S_ISREG(st.st_mode) ? FileIs::Regular : FileIs::Other;
}

std::string RealFile(const std::string& path)
{
    std::string name = path;
    // A link to a file not there yet leads to where the file will be.
    char target[4096];
    for (int links = 0; links < 40; links++) {
        char* real = realpath(name.c_str(), nullptr);
        if (real != nullptr) {
            std::string found = real;
            free(real);
            return found;
        }
        const ssize_t n = readlink(name.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            break;
        }
        const std::string to(target, static_cast<size_t>(n));
        const size_t slash = name.rfind('/');
        name = to[0] == '/' || slash == std::string::npos ? to : name.substr(0, slash + 1).append(to);
    }
    // Not there: its folder's real path and its name.
    const size_t slash = name.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    char* real = realpath(dir.c_str(), nullptr);
    const std::string file = name.substr(slash == std::string::npos ? 0 : slash + 1);
    std::string joined = name;
    if (real != nullptr) {
        joined = std::string(real).append(real[1] == '\0' ? "" : "/").append(file);
    }
    free(real);
    return joined;
}

bool SyncFile(FILE* file, std::string* why)
{
    if (fsync(fileno(file)) != 0) {
        *why = strerror(errno);
        return false;
    }
    return true;
}

bool RenameOver(const std::string& from, const std::string& to, std::string* why)
{
    if (rename(from.c_str(), to.c_str()) != 0) {
        *why = strerror(errno);
        return false;
    }
    // The folder's new entry on the disk too, or a power loss may bring back the old file.
    const size_t slash = to.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : to.substr(0, slash);
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)fsync(fd);
        close(fd);
    }
    return true;
}

void RemoveFile(const std::string& path)
{
    (void)unlink(path.c_str());
}

FILE* TakeStandardOutput()
{
    const int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (fd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        return nullptr;
    }
    return fdopen(fd, "wb");
}

std::string HostName()
{
    char name[256] = {0};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

std::vector<std::string> PortIdentities(const std::string& port, const std::string& host, const std::string& service)
{
    std::vector<std::string> ids;
    if (!service.empty()) {
        struct addrinfo hints;
        memset(&hints, 0, sizeof hints);
        hints.ai_socktype = SOCK_STREAM;
        struct addrinfo* found = nullptr;
        if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) == 0) {
            for (const struct addrinfo* a = found; a != nullptr; a = a->ai_next) {
                char name[NI_MAXHOST];
                if (getnameinfo(a->ai_addr, a->ai_addrlen, name, sizeof name, nullptr, 0, NI_NUMERICHOST) == 0) {
                    ids.push_back(std::string("address ") + name + " port " + service);
                }
            }
            freeaddrinfo(found);
        }
        return ids;
    }
    char* real = realpath(port.c_str(), nullptr);
    if (real != nullptr) {
        ids.push_back(std::string("path ") + real);
        free(real);
    }
    struct stat st;
    if (stat(port.c_str(), &st) == 0) {
        ids.push_back(S_ISCHR(st.st_mode) ? "device " + std::to_string(st.st_rdev)
                                          : "file " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
    }
    return ids;
}

std::string OwnDirectory()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return "";
    }
    const std::string own(path, static_cast<size_t>(n));
    return own.substr(0, own.rfind('/') + 1);
}

const char* TorvexName()
{
    return "torvex";
}
