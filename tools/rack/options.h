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
    std::vector<std::string> PortLists;  // --ports-from files as given, - for standard input
    bool PortsFromStdin = false;
    int UnitTimeout = 0;                // seconds; 0: none
    int Timeout = 0;                    // seconds for the whole rack; 0: none
    int Retries = 0;                    // more attempts where nothing reached the device
    int RetryWait = 5;                  // seconds between attempts
    long long TranscriptLimit = 64LL << 20;  // bytes a transcript may hold
    std::string CommandLine;            // the rack's own, for the reports
    std::string Refusal;                // why a port list was refused, for the reports
    bool DryRun = false;                // say what would run and what is refused, and run nothing
    std::string NotFound;               // what --match or a serial= line looked for and found nothing of
    std::string Record;                 // --record: the SQLite database every run is added to
    bool Watch = false;                 // --watch: a station that runs each unit as it comes
    bool Again = false;                 // --again: units done earlier too
    std::vector<std::string> Matches;   // --match, as given
    std::vector<RackPort> Named;        // --watch: units a port list names by serial=S
    std::string Identify;               // --identify: the script whose answer names a unit on a bench cable
    std::string UnitId;                 // --unit-id: the pattern that finds the name in that answer
};

// Reads the command line and the port lists it names. -1: go on; otherwise
// the exit status, everything the user needs having been printed.
int ReadOptions(int argc, char** argv, RackOptions* options);
// Whether the port has what a --match of the forms taken asks for.
bool PortMatches(const Port& p, const std::string& match);
