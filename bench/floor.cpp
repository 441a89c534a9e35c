// torvex_floor: the least a program can do per command in the benchmark's
// turnaround: write the script's next line, wait for the one-second quiet gap
// after the answer, and nothing else (no console output, no answer check).
// Its overhead is the floor that torvex's is compared with. Not shipped.
// With --print it also shows what torvex must show: the command after its port
// write and the answer after the wait, in one console flush per command.
//
//   torvex_floor [--print] SCRIPT -PORT=path
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

const int64_t QUIET_GAP_NS = 1000 * 1000000LL;  // torvex's ReadIntervalTimeout
const int64_t TOTAL_NS = 15000 * 1000000LL;     // give up on a device that never answers
const char WAKE_UP[] = "AT^QESCAT^QESC=1\n\r";   // what torvex sends first

int64_t NowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void WriteAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        const ssize_t k = write(fd, p, n);
        if (k > 0) {
            p += k;
            n -= static_cast<size_t>(k);
        } else if (k < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            struct pollfd pfd = {fd, POLLOUT, 0};
            poll(&pfd, 1, -1);
        }
    }
}

// Reads until the line has been quiet for the gap after the first byte, waking
// 0.1 % early for the kernel's poll slack and finishing with a short second wait,
// as torvex does. False when nothing came at all. Keeps what came in *rx if given.
bool WaitQuietGap(int fd, std::string* rx)
{
    if (rx != nullptr) {
        rx->clear();
    }
    const int64_t start = NowNs();
    int64_t last = 0;
    char buf[768];
    for (;;) {
        const int64_t deadline = last != 0 ? last + QUIET_GAP_NS : start + TOTAL_NS;
        const int64_t now = NowNs();
        if (now >= deadline) {
            return last != 0;
        }
        int64_t ns = deadline - now;
        ns -= ns / 1000;
        struct timespec wait = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        struct pollfd pfd = {fd, POLLIN, 0};
        if (ppoll(&pfd, 1, &wait, nullptr) <= 0) {
            continue;
        }
        const ssize_t k = read(fd, buf, sizeof buf);
        if (k > 0) {
            last = NowNs();
            if (rx != nullptr) {
                rx->append(buf, static_cast<size_t>(k));
            }
        } else if (k == 0 || (errno != EAGAIN && errno != EINTR)) {
            return false;  // the device is gone
        }
    }
}

// The answer as one line: the echo (its first line) left out, the other lines
// joined with ", ", as torvex shows an answer that holds no surprises.
void PrintAnswer(const char* rx, size_t n)
{
    size_t i = 0;
    while (i < n && rx[i] != '\r' && rx[i] != '\n') {
        i++;
    }
    fputs("Got \"", stdout);
    bool first = true;
    while (i < n) {
        while (i < n && (rx[i] == '\r' || rx[i] == '\n')) {
            i++;
        }
        const size_t start = i;
        while (i < n && rx[i] != '\r' && rx[i] != '\n') {
            i++;
        }
        if (i > start) {
            fputs(first ? "" : ", ", stdout);
            fwrite(rx + start, 1, i - start, stdout);
            first = false;
        }
    }
    fputs("\"\n", stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    const bool print = argc > 1 && strcmp(argv[1], "--print") == 0;
    if (print) {
        argc--;
        argv++;
    }
    if (argc != 3 || strncmp(argv[2], "-PORT=", 6) != 0) {
        fprintf(stderr, "usage: torvex_floor [--print] SCRIPT -PORT=path\n");
        return 2;
    }
    FILE* script = fopen(argv[1], "rb");
    const int fd = open(argv[2] + 6, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct termios tio;
    if (script == nullptr || fd < 0 || tcgetattr(fd, &tio) != 0) {
        perror("torvex_floor");
        return 3;
    }
    // Fully buffered on a pipe and on a terminal alike, as torvex's console.
    static char out[BUFSIZ];
    setvbuf(stdout, out, _IOFBF, sizeof out);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    WriteAll(fd, WAKE_UP, sizeof WAKE_UP - 1);
    std::string rx;
    if (!WaitQuietGap(fd, print ? &rx : nullptr)) {
        return 1;
    }
    if (print) {
        PrintAnswer(rx.data(), rx.size());
    }
    char line[400];
    while (fgets(line, sizeof line, script) != nullptr) {
        // Lines go out as torvex sends plain commands: line feeds removed, one write.
        const size_t length = strlen(line);
        size_t n = 0;
        for (const char* p = line; *p != '\0'; p++) {
            if (*p != '\n') {
                line[n++] = *p;
            }
        }
        if (n == 0 || line[0] == '\r') {
            continue;
        }
        WriteAll(fd, line, n);
        if (print) {
            // The line as read; the previous answer is still in the buffer.
            fwrite(line, 1, n, stdout);
            fputs(length > n ? "\n" : "", stdout);
            fflush(stdout);
        }
        if (!WaitQuietGap(fd, print ? &rx : nullptr)) {
            return 1;
        }
        if (print) {
            PrintAnswer(rx.data(), rx.size());
        }
    }
    fflush(stdout);
    return 0;
}
