// torvex-rack: the command line.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "portlist.h"
#include "tools/ports/ports.h"

struct RackOptions {
    std::string Script;
    bool HasScript = false;
    std::vector<RackPort> Ports;
    std::vector<std::string> PassedOn;  // -BAUD=, -DEBUG, -UTC as given
    size_t Jobs = 0;                    // 0: all at once
    std::string LogDir;
    std::string Json;
    std::string Junit;
    bool PortsFromStdin = false;
    int UnitTimeout = 0;                // seconds; 0: none
    int Timeout = 0;                    // seconds for the whole rack; 0: none
    int Retries = 0;                    // more attempts where nothing reached the device
    int RetryWait = 5;                  // seconds between attempts
    std::string Record;                 // --record: the SQLite database every run is added to
    bool Watch = false;                 // --watch: a station that runs each unit as it comes
    bool Again = false;                 // --again: units done earlier too
    std::vector<std::string> Matches;   // --match, as given
    std::string CommandLine;            // as given, for the record
};

// Reads the command line and the port lists it names. -1: go on; otherwise
// the exit status, everything the user needs having been printed.
int ReadOptions(int argc, char** argv, RackOptions* options);
// Whether the port has what a --match of the forms taken asks for.
bool PortMatches(const Port& p, const std::string& match);
