// Arbitrary arguments through ProcessCmdLine, checked against a model of the
// options. Input: the arguments after the program name, separated by NULs.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/common.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    SilenceConsole();
    return 0;
}

static bool OptionIs(const char* arg, const char* option)
{
    for (; *option != '\0'; arg++, option++) {
        const char a = (*arg >= 'a' && *arg <= 'z') ? static_cast<char>(*arg - 32) : *arg;
        if (a != *option) {
            return false;
        }
    }
    return true;
}

struct Expected {
    const char* port = nullptr;
    uint32_t baud = 9600;
    const char* script = nullptr;
    bool debug = false;
    bool utc = false;
    bool help = false;
};

static Expected Model(const std::vector<char*>& argv, const char* defaultPort)
{
    Expected e;
    e.port = defaultPort;
    for (size_t i = 1; i < argv.size(); i++) {
        const char* arg = argv[i];
        if (arg[0] == '?') {
            e.help = true;
            return e;
        }
        // A dash alone is standard input, named as a script.
        if (arg[0] != '-' || arg[1] == '\0') {
            e.script = arg;
            continue;
        }
        if (OptionIs(arg, "-PORT=")) {
            e.port = arg + 6;
        }
        if (OptionIs(arg, "-BAUD=")) {
            char* end = nullptr;
            errno = 0;
            long value = strtol(arg + 6, &end, 10);
            if (end != arg + 6) {
                value = value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : value;
                e.baud = static_cast<uint32_t>(static_cast<int32_t>(value));
            }
        }
        if (OptionIs(arg, "-?")) {
            e.help = true;
            return e;
        }
        if (OptionIs(arg, "-DEBUG")) {
            e.debug = true;
        }
        if (OptionIs(arg, "-UTC")) {
            e.utc = true;
        }
    }
    return e;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Each argument in a buffer of exactly its size.
    static char program[] = "torvex";
    std::vector<char*> argv{program};
    size_t at = 0;
    while (at < size && argv.size() < 64) {
        const void* nul = memchr(data + at, 0, size - at);
        const size_t end = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
        char* arg = static_cast<char*>(malloc(end - at + 1));
        memcpy(arg, data + at, end - at);
        arg[end - at] = '\0';
        argv.push_back(arg);
        at = end + 1;
    }
    const size_t argc = argv.size();
    argv.push_back(nullptr);

    ResetSettings();
    const char* const defaultPort = PortName;
    const bool go = ProcessCmdLine(static_cast<int>(argc), argv.data());

    argv.pop_back();
    const Expected e = Model(argv, defaultPort);
    FUZZ_CHECK(go == (!e.help && e.script != nullptr));
    FUZZ_CHECK(HelpAsked == e.help);
    FUZZ_CHECK(PortName == e.port);
    FUZZ_CHECK(BaudRate == e.baud);
    FUZZ_CHECK(Debug == e.debug);
    FUZZ_CHECK(UTC == e.utc);
    FUZZ_CHECK(ScriptFile == e.script);

    for (size_t i = 1; i < argv.size(); i++) {
        free(argv[i]);
    }
    ResetSettings();
    return 0;
}
