// torvex-rack: the command line.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct RackOptions {
    std::string Script;
    bool HasScript = false;
    std::vector<std::string> Ports;
    std::vector<std::string> PassedOn;  // -BAUD=, -DEBUG, -UTC as given
    size_t Jobs = 0;                    // 0: all at once
    std::string LogDir;
    std::string Json;
    bool PortsFromStdin = false;
};

// Reads the command line and the port lists it names. -1: go on; otherwise
// the exit status, everything the user needs having been printed.
int ReadOptions(int argc, char** argv, RackOptions* options);
