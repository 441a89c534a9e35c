// Helpers shared by the fuzz targets: quiet console, settings and label list
// put back between runs, and an assertion that libFuzzer reports as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "run/settings.h"
#include "script/labels.h"

// Crashes with a message, so that a broken invariant is kept as an artifact.
#define FUZZ_CHECK(cond)                                                            \
    do {                                                                            \
        if (!(cond)) {                                                              \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                \
        }                                                                           \
    } while (0)

// The program prints a lot; formatting still runs, the terminal is spared.
inline void SilenceConsole()
{
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        abort();
    }
    // Prompts read a key: at end of input the key is 0 and nothing blocks.
    if (freopen("/dev/null", "r", stdin) == nullptr) {
        abort();
    }
}

inline void ResetSettings()
{
    PortName = "COM1";
    BaudRate = 9600;
    ScriptFile = nullptr;
    Debug = false;
    UTC = false;
    Timeout = 10;
    HelpAsked = false;
}

// The program keeps its labels until exit; a fuzzer must not.
inline void FreeLabels()
{
    while (Labels != nullptr) {
        LabelRec* next = Labels->Next;
        free(Labels);
        Labels = next;
    }
}
