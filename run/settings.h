// The run's settings, their defaults, and the command line that sets them.
#pragma once

#include <cstdint>

extern const char* PortName;    // device name handed to the port open
extern uint32_t BaudRate;       // bits per second
extern const char* ScriptFile;  // null until the command line names one
extern bool Debug;              // show raw bytes and plain command lines
extern bool UTC;                // clock command in UTC rather than NZST
extern int32_t Timeout;         // seconds to wait for a modem command's answer
extern bool HelpAsked;          // the command line asked for the usage text

// Reads the arguments into the settings. False: the run must end; everything
// the user needs to see has been printed.
bool ProcessCmdLine(int argc, char** argv);
void ShowHelp();
