// torvex-rack: the operating system's part, a folder per system (posix/,
// win32/; the build picks one), a file per concern. Children are torvex
// processes, known by the index of their port; nothing here prints except
// ConsoleWriteAll.
#pragma once

#include <cstdio>
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
    bool stop = false;                                      // Ctrl-Z: the rack is to stop
    bool resume = false;                                    // the rack goes on after a stop
    bool watched = false;                                   // the descriptor of WatchAlso has news
};

// What became of a start.
enum class StartResult {
    Started,
    NoDescriptors,  // none free for its pipes now: it may start once another run ends
    Failed,
};

// StartChild      run exe with args, its console and progress channel read here,
//                 its standard input a pipe from here; nothing else of the rack's is
//                 inherited, and the child ends when the rack dies (where the system allows)
// SendKey         one byte to a child's standard input, then that input ends only if asked
// EndInput        the child's standard input reaches its end
// StopChildren    pass sig on to every child still running
// EndChild        ask one child to end (SIGTERM; Ctrl-Break on Windows), or with
//                 hard end it at once (SIGKILL; TerminateProcess)
// WaitEvents      wait up to ms (-1: no limit) for output, endings, keys or a signal
// WatchAlso       WaitEvents also ends when fd has something to read, which it leaves there
// OwnDirectory    the folder of this program's executable, with a separator at the end
// TorvexName      the file name of torvex beside it
// ConsoleIsTerminal / KeysFromTerminal  standard output / standard input is a terminal
// ConsoleUtf8     the console shows UTF-8 as text (the locale's character set on POSIX,
//                 the console's output code page on Windows)
// ConsoleSize     columns and rows of the terminal
// TerminalKeys    the terminal's keys come one by one, without echo; false restores
//                 the terminal, also where only the output was changed
// ConsoleWriteAll  all of text to standard output, for as long as the console
//                 takes to take it (console.h writes from a thread of its own)
// PrepareSignals  Ctrl-C and SIGTERM reach WaitEvents; children get the default signals
// BinaryInput     standard input read as bytes (a script or port list from it)
// DieBySignal     end this program by sig, as the children were ended
// Suspend         stop the children and the rack itself; returns once continued, the
//                 children going on too
// ContinueChildren  let every child go on (after the rack was stopped from outside)
// FlushKeys       discard what was typed at the terminal and not yet read
// WantKeys        WaitEvents reads keys only while a prompt is up: the rest wait for the
//                 next prompt's flush
// RaiseFileLimit  the soft limit of open files raised to the hard one
// CreateTranscript  a new file (never an existing one) that no child inherits; null
//                 with why, and whether for want of descriptors
// Runnable        whether the program at path can be started, or why not
// FileKind        what is at path: none, a regular file, or something else (a folder,
//                 a device, a FIFO)
// RealFile        path after its links: the file's real path, or its folder's and its name
// SyncFile        a written (and flushed) file's data on the disk; false with why
// RenameOver     from renamed onto to in one step; a reader of the old file never
//                 sees a part of the new one; the new name is on the disk when it returns
// RemoveFile      from removed
// HostName        this machine's name, or empty
// TakeStandardOutput  a stream on what standard output was, for a report; standard
//                 output itself then goes where standard error goes
// FileNamesUtf8   whether a file name's bytes are taken as UTF-8 (on Windows only where
//                 the ANSI code page is UTF-8: the rack's file calls are the narrow ones)
// PortIdentities  what tells two ports apart: for a network port (service given) the
//                 addresses host resolves to with the port number; otherwise the real
//                 path and the device (or file) number of port
// UnitIdPattern   whether pattern is an extended regular expression, or why not
// FindUnitId      the first match of pattern in text (its first group, where it has
//                 one); false when there is none
StartResult StartChild(size_t child, const std::string& exe, const std::vector<std::string>& args,
                       std::string* why);
void Suspend();
void ContinueChildren();
void FlushKeys();
void WantKeys(bool on);
void RaiseFileLimit();
FILE* CreateTranscript(const std::string& path, std::string* why, bool* noDescriptors);
bool Runnable(const std::string& path, std::string* why);
enum class FileIs { None, Regular, Other };
FileIs FileKind(const std::string& path);
std::string RealFile(const std::string& path);
bool SyncFile(FILE* file, std::string* why);
bool RenameOver(const std::string& from, const std::string& to, std::string* why);
void RemoveFile(const std::string& path);
FILE* TakeStandardOutput();
std::string HostName();
bool FileNamesUtf8();
std::vector<std::string> PortIdentities(const std::string& port, const std::string& host, const std::string& service);
bool UnitIdPattern(const std::string& pattern, std::string* why);
bool FindUnitId(const std::string& text, const std::string& pattern, std::string* id);
void SendKey(size_t child, char key);
void EndInput(size_t child);
void StopChildren(int sig);
void EndChild(size_t child, bool hard);
void WaitEvents(int ms, OsEvents* events);
void WatchAlso(int fd);
std::string OwnDirectory();
const char* TorvexName();
bool ConsoleIsTerminal();
bool KeysFromTerminal();
bool ConsoleUtf8();
void ConsoleSize(int* columns, int* rows);
void TerminalKeys(bool on);
void ConsoleWriteAll(const std::string& text);
void PrepareSignals();
void BinaryInput();
[[noreturn]] void DieBySignal(int sig);
