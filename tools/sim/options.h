// torvex-sim's settings from the command line: written only by main.cpp,
// read by the answers and the device.
#pragma once

#ifndef TORVEX_SIM_VERSION
#define TORVEX_SIM_VERSION "unknown"
#endif

struct Options {
    const char* Link = nullptr;
    const char* Answers = nullptr;
    bool Echo = true;
    bool Once = false;
    bool Log = false;
};

extern Options Opt;
