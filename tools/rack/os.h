// torvex-rack: the operating system's part, one file per system (posix.cpp,
// win32.cpp; the build picks one). Children are torvex processes, known by
// the index of their port; nothing here prints except ConsoleWrite.
#pragma once

#include <string>
#include <vector>

// How a child ended: its exit status, or the signal that ended it.
struct ChildEnd {
    int status = -1;
    int signal = 0;
};

// What one wait brought.
struct OsEvents {
    struct Output {
        size_t child;
        bool progress;  // from the progress channel rather than the console
        std::string bytes;
    };
    std::vector<Output> output;                             // in the order read
    std::vector<std::pair<size_t, ChildEnd>> ended;         // after all their output
    std::string keys;                                       // typed at the rack's terminal
    int signal = 0;                                         // SIGINT, SIGTERM (or 2 on Windows Ctrl-C)
};

// StartChild      run exe with args, its console and progress channel read here,
//                 its standard input a pipe from here; false with why
// SendKey         one byte to a child's standard input, then that input ends only if asked
// EndInput        the child's standard input reaches its end
// StopChildren    pass sig on to every child still running
// EndChild        ask one child to end (SIGTERM; Ctrl-Break on Windows), or with
//                 hard end it at once (SIGKILL; TerminateProcess)
// WaitEvents      wait up to ms (-1: no limit) for output, endings, keys or a signal
// OwnDirectory    the folder of this program's executable, with a separator at the end
// TorvexName      the file name of torvex beside it
// ConsoleIsTerminal / KeysFromTerminal  standard output / standard input is a terminal
// ConsoleSize     columns and rows of the terminal
// TerminalKeys    the terminal's keys come one by one, without echo; false restores
//                 the terminal, also where only the output was changed
// ConsoleWrite    all of text to standard output at once
// PrepareSignals  Ctrl-C and SIGTERM reach WaitEvents; children get the default signals
// BinaryInput     standard input read as bytes (a script or port list from it)
// DieBySignal     end this program by sig, as the children were ended
bool StartChild(size_t child, const std::string& exe, const std::vector<std::string>& args, std::string* why);
void SendKey(size_t child, char key);
void EndInput(size_t child);
void StopChildren(int sig);
void EndChild(size_t child, bool hard);
void WaitEvents(int ms, OsEvents* events);
std::string OwnDirectory();
const char* TorvexName();
bool ConsoleIsTerminal();
bool KeysFromTerminal();
void ConsoleSize(int* columns, int* rows);
void TerminalKeys(bool on);
void ConsoleWrite(const std::string& text);
void PrepareSignals();
void BinaryInput();
[[noreturn]] void DieBySignal(int sig);
