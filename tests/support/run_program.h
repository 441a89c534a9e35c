// Runs the real torvex as a process: the Linux build, or torvex.exe under Wine
// when TORVEX_WINE=1. TORVEX_EXE names the program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class PtyDevice;

// Where the program's standard input comes from: nothing, data in a file,
// data through a pipe (at most 64 KiB), data repeated without end through a
// pipe by a process of its own (which ends when the program's end of the pipe
// closes), or a terminal.
enum class Stdin { Null, Data, Pipe, Endless, Terminal };

struct RunOptions {
    Stdin input = Stdin::Null;
    std::string data;        // the bytes of standard input with Stdin::Data or Stdin::Pipe
    int timeoutMs = 120000;  // the program is killed after this long
    std::vector<std::string> command;  // run in place of TORVEX_EXE (with wine when needed)
    // Standard output is a pipe nobody reads any more; the output seen is
    // then standard error.
    bool closedStdout = false;
    int closedStream = -1;  // a standard descriptor (0, 1 or 2) the program starts without
    // A session of its own whose controlling terminal is a pseudo-terminal
    // (RunningTorvex::TerminalFd), whatever standard input is.
    bool controllingTerminal = false;
    bool unprivileged = false;  // run as nobody, with no groups
    long fileSizeLimit = 0;     // RLIMIT_FSIZE in bytes when above 0
    long memoryLimit = 0;       // RLIMIT_AS in bytes when above 0
    std::string tmpDir;         // TMPDIR for the program when not empty
    // In a mount namespace of its own, the program finds the device's
    // pseudo-terminal as /dev/ttyS<ttyS> (and nothing else in /dev).
    int ttyS = -1;
    std::string ttySTarget;  // the pseudo-terminal to put there
};

struct RunResult {
    int status = -1;  // exit status; 128 + signal number when killed by a signal
    int signal = 0;   // the signal that ended the program, 0 when it exited
    std::string out;  // standard output, CRLF folded to LF under Wine
    // With Stdin::Endless: the bytes that went into the pipe; -1 when its
    // writer did not end soon after the program, so another process held the pipe.
    long long inputSent = 0;
};

bool UnderWine();
// Time bounds allow four times what a quiet machine needs beyond the
// program's own waits. Under Wine its start-up and its end dominate: the
// seconds they may add on a busy machine (0 for the Linux program).
double WineStartSeconds();
double WineEndSeconds();

// A program the build puts beside torvex, by its path from there without the
// ".exe" that the Windows build adds, such as "tools/torvex-check".
std::string CompanionExe(const std::string& name);

// Options for a run that is killed after ms.
RunOptions KilledAfter(int ms);
// Options for a run whose standard input is a terminal (RunningTorvex::TerminalFd).
RunOptions TerminalInput();

// The program's own argument for a port: the pseudo-terminal's path, or under
// Wine a COM port linked to it in the private prefix.
std::string PortArg(const PtyDevice& device);
// The script path as the program is given it (and prints it).
std::string ScriptArg(const std::string& path);
// Writes a temporary script file and answers its path; removed at exit.
std::string WriteScript(const std::string& content);

RunResult RunTorvex(const std::vector<std::string>& args, const RunOptions& options = {});

// A field of /proc/<pid>/status in KiB, such as "VmRSS" or "VmHWM"; -1 when
// the process or the field is not there.
long ProcessStatusKiB(pid_t pid, const char* field);
// User and system CPU time of a process in milliseconds; -1 when it is not there.
long ProcessCpuMs(pid_t pid);
// True while a process other than this test has the pseudo-terminal open
// (the program, or under Wine its server).
bool PortHeldElsewhere(const PtyDevice& device);
// Waits until the program (or Wine's server) has the port open; false after
// timeoutMs. Seen twice, so that the test's own descriptor, inherited by a
// child between fork and exec, does not count.
bool WaitPortHeld(const PtyDevice& device, int timeoutMs);
// Waits until no other process holds the port; false after timeoutMs.
bool WaitPortReleased(const PtyDevice& device, int timeoutMs);

// A run in the background, for tests that act while the program waits.
class RunningTorvex {
public:
    RunningTorvex(const std::vector<std::string>& args, const RunOptions& options = {});
    ~RunningTorvex();
    RunningTorvex(const RunningTorvex&) = delete;
    RunningTorvex& operator=(const RunningTorvex&) = delete;

    // With Stdin::Terminal: the terminal the program reads as standard input;
    // with controllingTerminal, its controlling terminal.
    int TerminalFd() const { return termMaster_; }
    pid_t Pid() const { return pid_; }
    // When the process was started.
    std::chrono::steady_clock::time_point Started() const { return started_; }
    void Signal(int sig);
    // The signal to the program's whole process group, as Ctrl-C at a terminal sends it.
    void SignalGroup(int sig);
    // True until the program has ended (whether or not it was waited for).
    bool Running() const;
    // Output so far (from the reader); complete after Wait. Under Wine with
    // CRLF folded to LF, as in RunResult, except a carriage return that may
    // still be followed by its line feed.
    std::string Output() const;
    bool WaitForOutput(const std::string& text, int timeoutMs) const;
    RunResult Wait();

private:
    void Start(const std::vector<std::string>& args, const RunOptions& options);
    // Ends the writer of an endless input and answers what it sent.
    long long EndFeeder();
    pid_t pid_ = -1;
    pid_t feeder_ = -1;
    long long* fed_ = nullptr;  // shared with the feeder
    std::chrono::steady_clock::time_point started_;
    int outFd_ = -1;
    int termMaster_ = -1;
    int termSlave_ = -1;
    int timeoutMs_ = 0;
    mutable std::string out_;
    mutable std::string folded_;  // out_ with CRLF folded, for Wine
    mutable bool heldCr_ = false;  // a carriage return whose next byte has not come
    bool done_ = false;
    RunResult result_;
    // Reads what output has come within timeoutMs; false at its end.
    bool Pump(int timeoutMs) const;
    // The output as tests see it: folded under Wine.
    const std::string& Seen() const { return UnderWine() ? folded_ : out_; }
};

// Debug mode's display of bytes: each byte below 32 or above 127 escaped, then
// the closing double quote and line feed.
std::string Displayed(const std::string& bytes);

// One read as debug mode shows it.
struct DebugRead {
    size_t count = 0;
    std::string bytes;
};
// Parses consecutive reads as debug mode shows them ("\nnRx = N\n", and for
// N > 0 "Received N bytes = \"...\"\n") from *pos on, up to the first text
// that is not one; *pos moves past them. A backslash byte makes the display
// ambiguous, so the device's bytes must hold none.
std::vector<DebugRead> ParseDebugReads(const std::string& out, size_t* pos);
