// The benchmark's harness: a device played on the master side of a
// pseudo-terminal, the program started and timed as a child, its console read
// back, and the scheduler's and memory counters from /proc.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

const int64_t MS = 1000000;  // nanoseconds in a millisecond
const int64_t QUIET_GAP_MS = 1000;  // ReadIntervalTimeout the program sets

extern std::string DumpDir;  // where each run's console bytes are kept, for a look afterwards

int64_t Now();
double Ms(int64_t ns);
double CpuMs(const struct rusage& ru);

// To standard error and the log.
void Note(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
bool OpenLog(const char* path);
[[noreturn]] void Die(const char* what);
std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string LoadAvg();
std::string Machine();

// ---- CPU and scheduling from /proc: a thread's schedstat holds the exact time
// it ran and the time it waited on a run queue, in nanoseconds.

struct TaskTimes {
    int64_t run = 0;
    int64_t wait = 0;
};
using Threads = std::map<long, TaskTimes>;  // by thread id

// Every live thread of a process, added to *out.
void ReadThreads(pid_t pid, Threads* out);

// What the threads used between two samples; a thread born in between counts from zero.
TaskTimes Delta(const Threads& a, const Threads& b);

// The processes of one Wine prefix: the program, wineserver and the prefix's services;
// with serverOnly, only wineserver.
std::vector<pid_t> PrefixProcesses(const std::string& prefix, bool serverOnly);
// This process's children of that name.
std::vector<pid_t> ChildProcesses(const std::string& name);

// A "VmHWM:"-style line of /proc/<pid>/<file>, in KiB; 0 if absent.
long ProcKiB(const std::string& pid, const char* file, const char* key);

// How often the process's threads have given up the processor, all of them: each
// wait, and under Wine each call answered by wineserver.
long VoluntarySwitches(pid_t pid);
// A "key: N" line of every thread's /proc/<pid>/task/*/status, summed.
long ThreadsSum(pid_t pid, const char* key);

// One look at the program, the benchmark itself and, under Wine, the whole prefix.
struct Sample {
    int64_t at = 0;
    long long steal = 0;  // clock ticks the hypervisor gave to others, all CPUs
    Threads program;
    Threads bench;
    Threads tree;
};

Sample TakeSample(pid_t program, const std::vector<pid_t>& tree, int64_t now);

// ---- Running the program.

struct Target {
    std::string name;  // "Linux" or "Wine"
    std::string exe;
    bool wine = false;
    std::string prefix;  // WINEPREFIX
    std::vector<std::string> args;  // before the script's, e.g. a mode
};

enum class Console { Pipe, Terminal };

const char* ConsoleName(Console c);

// What one device saw: one entry per command line received (index 0: the wake-up).
struct Wire {
    std::vector<std::string> commands;
    std::vector<int64_t> cmdFirst;  // the device's wake-up for the command's first byte
    std::vector<int64_t> ansLast;   // right after the answer's last byte was written; 0 if none
    // Played from a thread of its own: the time that thread waited on a run queue
    // up to each command's answer, in ns (the harness's own queue). Empty otherwise.
    std::vector<int64_t> queued;
};

// What one run of the program left behind. Its first device's wire is the run's own.
struct Run : Wire {
    pid_t pid = 0;  // Wine runs the program in the process it was started as
    int64_t spawnAt = 0;
    int64_t exitAt = 0;
    int status = -1;
    bool killed = false;
    struct rusage ru {};       // the program and the children it waited for
    TaskTimes own;             // the program's own threads, read as it ended
    long benchAnonKiB = 0;  // this process's own memory at fork, which ru_maxrss also covers
    long hwmKiB = 0;        // the highest VmHWM seen while the program ran
    long rssKiB = 0;        // the highest exact resident set seen (page-table walk)
    long pssKiB = 0;        // its proportional share: shared library pages divided among their users
    std::vector<Wire> others;  // the second device's wire and on
    // Console: raw bytes, and the text without terminal control sequences.
    std::string consoleRaw;
    std::string consoleText;
    std::vector<std::pair<size_t, int64_t>> chunks;  // text length after each read, and when
    // Time the console text first held byte `offset`.
    int64_t TextTime(size_t offset) const;
    std::vector<size_t> Find(const std::string& what) const;
    const Wire& Port(size_t i) const { return i == 0 ? *this : others[i - 1]; }
};

struct RunPlan {
    // After the program; "@SCRIPT", "@PORT" (-PORT= the first device) and "@PORTS"
    // (every device's path, one argument each) are filled in.
    std::vector<std::string> args;
    std::string script;             // host path
    Console console = Console::Pipe;
    int devices = 1;  // pseudo-terminals, each a device; 0: none
    // Each device played from a thread of its own, not from the harness's loop,
    // so that many devices answer at once. The tick then sees no wire.
    bool deviceThreads = false;
    bool keepConsole = true;  // false: the console is read and dropped
    int64_t limitMs = 120000;
    // Decides whether a command line (without its line end) is answered.
    std::function<bool(const std::string&)> answers = [](const std::string& cmd) {
        return cmd.find("SILENT") == std::string::npos;
    };
    // Called after every event and at least every tickMs while the program runs.
    std::function<void(Run&, int64_t)> tick;
    int tickMs = 20;
    std::string label;  // names the console dump
    // Given the device's pseudo-terminal, the port the program is to open in its
    // place (a server in between); empty: the pseudo-terminal itself.
    std::function<std::string(const std::string&)> remote;
};

// Runs the program once, playing the device; answers the record of the run.
Run RunProgram(const Target& target, const RunPlan& plan);

// Starts one run per plan, all at once, each with its devices, and plays them
// until the last run has ended.
std::vector<Run> RunPrograms(const Target& target, const std::vector<RunPlan>& plans);

// Cycle i of a run (i from 1, past the wake-up): from command i's answer to command
// i+1's first byte, less the quiet gap; NAN when command i got no answer.
double CycleMs(const Wire& wire, size_t i);
size_t CycleEnd(const Wire& wire);  // one past the last cycle
std::vector<double> Overheads(const Wire& wire);  // every answered cycle
// The same, less the harness's own queue before command i+1; empty without threads.
std::vector<double> OverheadsLessQueue(const Wire& wire);
std::vector<double> QueuedMs(const Wire& wire);  // the harness's queue, every command past the wake-up
