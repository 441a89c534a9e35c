// Runs the real torvex as a process.
#include "support/run_program.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <grp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <fstream>
#include <sstream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "support/pty_device.h"

extern char** environ;

RunOptions KilledAfter(int ms)
{
    RunOptions options;
    options.timeoutMs = ms;
    return options;
}

RunOptions TerminalInput()
{
    RunOptions options;
    options.input = Stdin::Terminal;
    return options;
}

static std::string Exe()
{
    const char* exe = getenv("TORVEX_EXE");
    if (exe == nullptr) {
        throw std::runtime_error("TORVEX_EXE is not set");
    }
    return exe;
}

// A Windows program runs under Wine, also when only its name says so.
bool UnderWine()
{
    const char* wine = getenv("TORVEX_WINE");
    const std::string exe = Exe();
    return (wine != nullptr && strcmp(wine, "1") == 0) ||
           (exe.size() > 4 && exe.compare(exe.size() - 4, 4, ".exe") == 0);
}

double WineStartSeconds()
{
    return UnderWine() ? 8.0 : 0.0;
}

double WineEndSeconds()
{
    return UnderWine() ? 6.0 : 0.0;
}

std::string CompanionExe(const std::string& name)
{
    const std::string torvex = Exe();
    return torvex.substr(0, torvex.rfind('/') + 1) + name + (UnderWine() ? ".exe" : "");
}

// The prefix given, or the private one beside the Windows build.
static std::string WinePrefix()
{
    const char* prefix = getenv("WINEPREFIX");
    if (prefix != nullptr && prefix[0] != '\0') {
        return prefix;
    }
    const std::string exe = Exe();
    const std::string dir = exe.substr(0, exe.rfind('/') + 1) + "wineprefix";
    setenv("WINEPREFIX", dir.c_str(), 1);
    return dir;
}

namespace {
struct TempFiles {
    std::mutex mutex;
    std::vector<std::string> paths;
    ~TempFiles()
    {
        for (const std::string& p : paths) {
            unlink(p.c_str());
        }
    }
};
TempFiles temps;
}  // namespace

std::string PortArg(const PtyDevice& device)
{
    if (!UnderWine()) {
        return "-PORT=" + device.SlavePath();
    }
    // /dev/pts/N becomes COM(N+10), unique while the pseudo-terminal exists.
    const std::string& path = device.SlavePath();
    const int n = atoi(path.c_str() + path.rfind('/') + 1) + 10;
    const std::string com = "com" + std::to_string(n);
    const std::string link = WinePrefix() + "/dosdevices/" + com;
    unlink(link.c_str());
    if (symlink(path.c_str(), link.c_str()) != 0) {
        throw std::runtime_error("cannot link " + link);
    }
    // Pseudo-terminal numbers are reused at once: a stale link would lead elsewhere.
    std::lock_guard<std::mutex> lock(temps.mutex);
    temps.paths.push_back(link);
    return "-PORT=COM" + std::to_string(n);
}

std::string ScriptArg(const std::string& path)
{
    if (!UnderWine() || path.empty() || path[0] != '/') {
        return path;
    }
    std::string windows = "Z:" + path;
    for (char& c : windows) {
        if (c == '/') {
            c = '\\';
        }
    }
    return windows;
}


std::string WriteScript(const std::string& content)
{
    char path[] = "/tmp/torvex-script-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    size_t done = 0;
    while (done < content.size()) {
        ssize_t k = write(fd, content.data() + done, content.size() - done);
        if (k <= 0) {
            break;
        }
        done += static_cast<size_t>(k);
    }
    close(fd);
    std::lock_guard<std::mutex> lock(temps.mutex);
    temps.paths.push_back(path);
    return path;
}

// Only system calls here: the child of a threaded process.
static bool PrepareChild(const RunOptions& options)
{
    if (options.closedStream >= 0) {
        close(options.closedStream);
    }
    if (options.closedStdout) {
        int unread[2];
        if (pipe(unread) != 0) {
            return false;
        }
        close(unread[0]);
        dup2(1, 2);
        dup2(unread[1], 1);
    }
    if (options.ttyS >= 0) {
        // The tmpfs hides /dev/pts, so the terminal is bound through a descriptor,
        // opened inside the new namespace so that its mount belongs there.
        char source[64], target[32];
        snprintf(target, sizeof target, "/dev/ttyS%d", options.ttyS);
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return false;
        }
        const int fd = open(options.ttySTarget.c_str(), O_RDWR | O_NOCTTY);
        snprintf(source, sizeof source, "/proc/self/fd/%d", fd);
        if (fd < 0 || mount("none", "/dev", "tmpfs", 0, nullptr) != 0 || mknod(target, S_IFREG | 0600, 0) != 0 ||
            mount(source, target, nullptr, MS_BIND, nullptr) != 0) {
            return false;
        }
        close(fd);
    }
    for (const auto& [resource, bytes] : {std::pair<int, long>{RLIMIT_FSIZE, options.fileSizeLimit},
                                           std::pair<int, long>{RLIMIT_AS, options.memoryLimit}}) {
        const struct rlimit limit = {static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
        if (bytes > 0 && setrlimit(resource, &limit) != 0) {
            return false;
        }
    }
    if (options.unprivileged) {
        const uid_t nobody = 65534;
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) {
            return false;
        }
    }
    return true;
}

// Writes chunk to standard output again and again until its reader has gone;
// *sent counts what went. Only system calls: the child of a threaded process.
[[noreturn]] static void Feed(int fd, const std::string& chunk, long long* sent)
{
    signal(SIGPIPE, SIG_IGN);
    dup2(fd, STDOUT_FILENO);
    close_range(STDERR_FILENO + 1, ~0U, 0);
    for (;;) {
        const ssize_t k = write(STDOUT_FILENO, chunk.data(), chunk.size());
        if (k > 0) {
            *sent += k;
        } else if (k < 0 && errno != EINTR) {
            _exit(0);
        }
    }
}

RunningTorvex::RunningTorvex(const std::vector<std::string>& args, const RunOptions& options)
{
    Start(args, options);
}

void RunningTorvex::Start(const std::vector<std::string>& args, const RunOptions& options)
{
    timeoutMs_ = options.timeoutMs;
    std::vector<std::string> argv = options.command;
    if (argv.empty()) {
        if (UnderWine()) {
            argv.push_back("wine");
        }
        argv.push_back(Exe());
    }
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv) {
        cargv.push_back(a.data());
    }
    cargv.push_back(nullptr);

    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    int inFd = -1;
    if (options.input == Stdin::Terminal || options.controllingTerminal) {
        if (openpty(&termMaster_, &termSlave_, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        fcntl(termMaster_, F_SETFD, FD_CLOEXEC);
        fcntl(termSlave_, F_SETFD, FD_CLOEXEC);
    }
    if (options.input == Stdin::Terminal) {
        inFd = termSlave_;
    } else if (options.input == Stdin::Data) {
        const std::string path = WriteScript(options.data);
        inFd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } else if (options.input == Stdin::Pipe) {
        int inPipe[2];
        if (options.data.size() > 65536 || pipe2(inPipe, O_CLOEXEC) != 0 ||
            write(inPipe[1], options.data.data(), options.data.size()) != static_cast<ssize_t>(options.data.size())) {
            throw std::runtime_error("cannot pipe standard input");
        }
        close(inPipe[1]);
        inFd = inPipe[0];
    } else if (options.input == Stdin::Endless) {
        std::string chunk;
        while (chunk.size() < 65536 && !options.data.empty()) {
            chunk += options.data;
        }
        int inPipe[2];
        void* shared = mmap(nullptr, sizeof *fed_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (chunk.empty() || shared == MAP_FAILED || pipe2(inPipe, O_CLOEXEC) != 0) {
            throw std::runtime_error("cannot pipe standard input");
        }
        fed_ = static_cast<long long*>(shared);
        feeder_ = fork();
        if (feeder_ < 0) {
            throw std::runtime_error("fork failed");
        }
        if (feeder_ == 0) {
            Feed(inPipe[1], chunk, fed_);
        }
        close(inPipe[1]);
        inFd = inPipe[0];
    } else {
        inFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    if (UnderWine()) {
        WinePrefix();
        setenv("WINEDEBUG", "-all", 1);
    }
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; e++) {
        if (options.tmpDir.empty() || strncmp(*e, "TMPDIR=", 7) != 0) {
            env.push_back(*e);
        }
    }
    if (!options.tmpDir.empty()) {
        env.push_back("TMPDIR=" + options.tmpDir);
    }
    std::vector<char*> cenv;
    for (std::string& e : env) {
        cenv.push_back(e.data());
    }
    cenv.push_back(nullptr);
    started_ = std::chrono::steady_clock::now();
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        // Own process group, so that a signal to the program does not reach the test.
        if (options.controllingTerminal) {
            setsid();
            ioctl(termSlave_, TIOCSCTTY, 0);
        } else {
            setpgid(0, 0);
        }
        dup2(inFd, 0);
        dup2(outPipe[1], 1);
        if (!PrepareChild(options)) {
            _exit(126);
        }
        // Nothing of the test's own: a program killed with its test must not
        // keep, say, its own terminal's master open and so never hear it hang up.
        close_range(STDERR_FILENO + 1, ~0U, 0);
        execvpe(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    close(outPipe[1]);
    if (inFd != termSlave_) {
        close(inFd);
    }
    if (termSlave_ >= 0) {
        close(termSlave_);
        termSlave_ = -1;  // the child holds it now
    }
    outFd_ = outPipe[0];
}

RunningTorvex::~RunningTorvex()
{
    if (!done_ && pid_ > 0) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    EndFeeder();
    if (outFd_ >= 0) {
        close(outFd_);
    }
    if (termMaster_ >= 0) {
        close(termMaster_);
    }
}

long long RunningTorvex::EndFeeder()
{
    if (feeder_ <= 0) {
        return 0;
    }
    // With the program gone, the feeder's next write fails at once.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool ended = false;
    while (!(ended = waitpid(feeder_, nullptr, WNOHANG) == feeder_) && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
        kill(feeder_, SIGKILL);
        waitpid(feeder_, nullptr, 0);
    }
    feeder_ = -1;
    const long long sent = ended ? *fed_ : -1;
    munmap(fed_, sizeof *fed_);
    fed_ = nullptr;
    return sent;
}

void RunningTorvex::Signal(int sig)
{
    kill(pid_, sig);
}

void RunningTorvex::SignalGroup(int sig)
{
    kill(-pid_, sig);
}

bool RunningTorvex::Running() const
{
    if (done_) {
        return false;
    }
    // The state in /proc/<pid>/stat follows the command name in parentheses.
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text;
    std::getline(stat, text);
    const size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z' && text[close + 2] != 'X';
}

bool RunningTorvex::Pump(int timeoutMs) const
{
    struct pollfd pfd = {outFd_, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) > 0) {
        char buf[4096];
        ssize_t k = read(outFd_, buf, sizeof buf);
        if (k > 0) {
            out_.append(buf, static_cast<size_t>(k));
            const bool wine = UnderWine();
            for (ssize_t i = 0; wine && i < k; i++) {
                if (heldCr_ && buf[i] != '\n') {
                    folded_ += '\r';
                }
                heldCr_ = buf[i] == '\r';
                if (!heldCr_) {
                    folded_ += buf[i];
                }
            }
            return true;
        }
        return false;
    }
    return true;
}

std::string RunningTorvex::Output() const
{
    Pump(0);
    return Seen();
}

bool RunningTorvex::WaitForOutput(const std::string& text, int timeoutMs) const
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // Only new output is searched, so that waiting on a long output stays linear.
    size_t from = 0;
    while (Seen().find(text, from) == std::string::npos) {
        from = Seen().size() > text.size() ? Seen().size() - text.size() : 0;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        if (!Pump(static_cast<int>(std::min<long long>(left.count(), 50)))) {
            return Seen().find(text, from) != std::string::npos;  // the output has ended
        }
    }
    return true;
}

static std::string FoldCrlf(const std::string& text)
{
    std::string folded;
    for (size_t i = 0; i < text.size(); i++) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            folded += text[i];
        }
    }
    return folded;
}

RunResult RunningTorvex::Wait()
{
    if (done_) {
        return result_;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
    int status = 0;
    bool exited = false;
    while (!exited) {
        if (!Pump(50)) {
            waitpid(pid_, &status, 0);  // output closed: the end is near
            break;
        }
        // Under Wine a server process may keep the pipe open after the program ends.
        exited = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!exited && std::chrono::steady_clock::now() > end) {
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            exited = true;
        }
    }
    for (;;) {
        const size_t before = out_.size();
        Pump(20);
        if (out_.size() == before) {
            break;
        }
    }
    done_ = true;
    result_.inputSent = EndFeeder();
    result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result_.out = UnderWine() ? FoldCrlf(out_) : out_;
    return result_;
}

RunResult RunTorvex(const std::vector<std::string>& args, const RunOptions& options)
{
    RunResult result = RunningTorvex(args, options).Wait();
    // Under heavy load Wine's loader now and then gives up before the program
    // starts: status 1 and not a byte written. torvex itself never ends that
    // way (status 1 follows a modem command it has shown), so that run is
    // Wine's, and the program is started once more.
    if (UnderWine() && options.command.empty() && result.status == 1 && result.out.empty() &&
        options.input != Stdin::Endless && options.input != Stdin::Terminal) {
        fprintf(stderr, "wine ended with status 1 before torvex.exe wrote anything; run again\n");
        result = RunningTorvex(args, options).Wait();
    }
    return result;
}

long ProcessStatusKiB(pid_t pid, const char* field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string key = std::string(field) + ":";
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, key.size(), key) == 0) {
            return atol(line.c_str() + key.size());
        }
    }
    return -1;
}

long ProcessCpuMs(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // utime and stime are the 12th and 13th fields after the command name in parentheses.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; i++) {
        if (i >= 12) {
            ticks += atol(field.c_str());
        }
    }
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

bool PortHeldElsewhere(const PtyDevice& device)
{
    const std::string& path = device.SlavePath();
    const pid_t self = getpid();
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return false;
    }
    bool held = false;
    while (!held) {
        const struct dirent* entry = readdir(proc);
        if (entry == nullptr) {
            break;
        }
        const pid_t pid = atoi(entry->d_name);
        if (pid <= 0 || pid == self) {
            continue;
        }
        const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) {
            continue;
        }
        while (const struct dirent* fd = readdir(fds)) {
            char target[256];
            const std::string link = fdDir + "/" + fd->d_name;
            const ssize_t k = readlink(link.c_str(), target, sizeof target - 1);
            if (k > 0 && path.compare(0, std::string::npos, target, static_cast<size_t>(k)) == 0) {
                held = true;
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return held;
}

bool WaitPortHeld(const PtyDevice& device, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int seen = 0;
    while (seen < 2) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        seen = PortHeldElsewhere(device) ? seen + 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

bool WaitPortReleased(const PtyDevice& device, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (PortHeldElsewhere(device)) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string Displayed(const std::string& bytes)
{
    std::string shown;
    for (char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        static const char named[] = "0......abtnvfr";
        if (c == 0 || (c >= 7 && c <= 13)) {
            shown += '\\';
            shown += named[c];
        } else if (c < 32 || c > 127) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            shown += hex;
        } else {
            shown += ch;
        }
    }
    return shown + "\"\n";
}

// Reads "prefix<digits>suffix" at *pos; false, *pos unchanged, when not there.
static bool ReadCount(const std::string& out, size_t* pos, const std::string& prefix, const std::string& suffix,
                      size_t* count)
{
    size_t at = *pos;
    if (out.compare(at, prefix.size(), prefix) != 0) {
        return false;
    }
    at += prefix.size();
    size_t digits = 0;
    size_t n = 0;
    while (at < out.size() && out[at] >= '0' && out[at] <= '9') {
        n = n * 10 + static_cast<size_t>(out[at] - '0');
        at++;
        digits++;
    }
    if (digits == 0 || out.compare(at, suffix.size(), suffix) != 0) {
        return false;
    }
    *pos = at + suffix.size();
    *count = n;
    return true;
}

// Decodes count displayed bytes and the closing quote and line feed at *pos.
static bool ReadDisplayed(const std::string& out, size_t* pos, size_t count, std::string* bytes)
{
    size_t at = *pos;
    std::string got;
    while (got.size() < count && at < out.size()) {
        if (out[at] != '\\') {
            got += out[at++];
            continue;
        }
        if (at + 1 >= out.size()) {
            return false;
        }
        const char e = out[at + 1];
        const std::string named = "0abtnvfr";
        const char values[] = {0, 7, 8, 9, 10, 11, 12, 13};
        const size_t k = named.find(e);
        if (k != std::string::npos) {
            got += values[k];
            at += 2;
        } else if (e == 'x' && at + 3 < out.size()) {
            got += static_cast<char>(std::stoi(out.substr(at + 2, 2), nullptr, 16));
            at += 4;
        } else {
            return false;
        }
    }
    if (got.size() != count || out.compare(at, 2, "\"\n") != 0) {
        return false;
    }
    *pos = at + 2;
    *bytes = got;
    return true;
}

std::vector<DebugRead> ParseDebugReads(const std::string& out, size_t* pos)
{
    std::vector<DebugRead> reads;
    for (;;) {
        size_t at = *pos;
        DebugRead read;
        if (!ReadCount(out, &at, "\nnRx = ", "\n", &read.count)) {
            break;
        }
        if (read.count > 0) {
            size_t shown = 0;
            if (!ReadCount(out, &at, "Received ", " bytes = \"", &shown) || shown != read.count ||
                !ReadDisplayed(out, &at, read.count, &read.bytes)) {
                break;
            }
        }
        reads.push_back(read);
        *pos = at;
    }
    return reads;
}
