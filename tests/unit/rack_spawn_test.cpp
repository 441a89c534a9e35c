// torvex-rack's start of a run on Linux: the ways it marks the rack's own
// descriptors to be closed at exec where the kernel has no close_range flag.
#include <gtest/gtest.h>

#ifdef __linux__
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools/rack/posix/spawn.h"

namespace {

bool CloseOnExec(int fd)
{
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

// In a child of the test, with descriptors 4 (below first), 5 and 300 open
// and inherited: what the way left, as bits of the child's exit status.
int Marked(bool listed)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        // The way one by one goes as far as the limit: one above 300 holds it to a quick loop.
        struct rlimit limit;
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 512;
        const bool limited = setrlimit(RLIMIT_NOFILE, &limit) == 0;
        if (null < 0 || !limited || dup2(null, 4) != 4 || dup2(null, 5) != 5 || dup2(null, 300) != 300) {
            _exit(64);
        }
        int bits = 0;
        if (listed) {
            bits |= CloseOnExecListed(5) ? 0 : 8;
        } else {
            CloseOnExecUpToLimit(5);
        }
        bits |= CloseOnExec(4) ? 1 : 0;
        bits |= CloseOnExec(5) ? 0 : 2;
        bits |= CloseOnExec(300) ? 0 : 4;
        _exit(bits);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return 128;
    }
    return WEXITSTATUS(status);
}

TEST(RackSpawn, WithoutCloseRangeEveryDescriptorFromTheFirstIsClosedAtExec)
{
    // 1: one below the first was marked; 2, 4: one from the first was not;
    // 8: /proc/self/fd was not read; 64: the child could not open its own.
    EXPECT_EQ(Marked(true), 0);
    EXPECT_EQ(Marked(false), 0);
}

}  // namespace
#endif
