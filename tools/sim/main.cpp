// torvex-sim: stands in for the modem-attached device on a pseudo-terminal, so
// that torvex scripts can be tried without hardware. It echoes what it receives
// and answers each command line the way the device does ("\r\n<line>\r\n" per
// line); a table file can add answers, count how often they were asked for, or
// keep the device silent. This file reads the command line and runs the device.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "tools/sim/answers.h"
#include "tools/sim/device.h"
#include "tools/sim/options.h"

Options Opt;

static int SignalPipe[2] = {-1, -1};

static void OnSignal(int)
{
    const int saved = errno;
    const char c = 1;
    ssize_t ignored = write(SignalPipe[1], &c, 1);
    (void)ignored;
    errno = saved;
}

static void Usage(FILE* out)
{
    fprintf(out,
            "Usage: torvex-sim [--link PATH] [--answers FILE] [--no-echo] [--once] [--log]\n"
            "\n"
            "Opens a pseudo-terminal and answers on it like the device, so that torvex\n"
            "can run a script against it: torvex SCRIPT -PORT=<the path printed>.\n"
            "\n"
            "  --link PATH     also make PATH a symbolic link to the device (removed at exit)\n"
            "  --answers FILE  add or override answers, one per line: COMMAND=LINE|LINE...\n"
            "                  (or COMMAND<tab>LINE|LINE...). {n} in an answer is how many\n"
            "                  times the command has been asked since the last wake-up;\n"
            "                  a COMMAND ending in * matches every line that begins so;\n"
            "                  an empty answer keeps the device silent\n"
            "  --no-echo       do not echo what is received\n"
            "  --once          exit when the program that uses the device closes it\n"
            "  --log           show on standard error every line received (<) and\n"
            "                  answered (>), and every open and close (*)\n"
            "  --help          show this text\n"
            "  --version       show the version\n"
            "\n"
            "Without --once it runs until interrupted (Ctrl-C) or terminated.\n");
}

static bool ParseArgs(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        const char** value = nullptr;
        std::string name = arg;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
        }
        if (name == "--link") {
            value = &Opt.Link;
        } else if (name == "--answers") {
            value = &Opt.Answers;
        } else if (arg == "--no-echo") {
            Opt.Echo = false;
        } else if (arg == "--once") {
            Opt.Once = true;
        } else if (arg == "--log") {
            Opt.Log = true;
        } else if (arg == "--help" || arg == "-h" || arg == "-?") {
            Usage(stdout);
            exit(0);
        } else if (arg == "--version") {
            printf("torvex-sim %s\n", TORVEX_SIM_VERSION);
            exit(0);
        } else {
            fprintf(stderr, "torvex-sim: unknown option %s\n", arg.c_str());
            fprintf(stderr, "Try 'torvex-sim --help'.\n");
            return false;
        }
        if (value != nullptr) {
            if (eq != std::string::npos) {
                *value = argv[i] + eq + 1;
            } else if (i + 1 < argc) {
                *value = argv[++i];
            } else {
                fprintf(stderr, "torvex-sim: %s needs a value\n", arg.c_str());
                return false;
            }
            if (**value == '\0') {
                fprintf(stderr, "torvex-sim: %s needs a value\n", name.c_str());
                return false;
            }
        }
    }
    return true;
}

int main(int argc, char** argv)
{
    if (!ParseArgs(argc, argv)) {
        return 2;
    }
    if (Opt.Answers != nullptr && !LoadAnswers(Opt.Answers)) {
        return 2;
    }
    EchoOn = Opt.Echo;

    if (pipe(SignalPipe) != 0) {
        perror("torvex-sim: pipe");
        return 1;
    }
    for (int fd : SignalPipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    Device d;
    if (!OpenDevice(&d)) {
        return 1;
    }
    if (Opt.Link != nullptr && !MakeLink(Opt.Link, d.Path.c_str())) {
        return 1;
    }
    printf("torvex-sim: device on %s\n", d.Path.c_str());
    if (Opt.Link != nullptr) {
        printf("torvex-sim: linked as %s\n", Opt.Link);
    }
    fflush(stdout);

    const int status = Serve(&d, SignalPipe[0]);
    RemoveLink();
    return status;
}
