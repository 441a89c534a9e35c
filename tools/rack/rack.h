// torvex-rack: what the rack knows of each port's run, and the script the
// runs share. The progress channel's events (run/progress.h) and the
// console's lines move a run from one state to the next.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "os.h"

using RackClock = std::chrono::steady_clock;

enum class RunState { Queued, Starting, Settling, Waking, Line, Waiting, Key, Done };

// What the runs share: the script's lines, to name the line being run.
struct ScriptMap {
    std::vector<int64_t> Starts;     // byte offset where each line starts
    std::vector<std::string> Texts;  // each line without its line end
    bool Read = false;
    int Error = 0;  // why it was not read: an errno value
    // The line number (from 1) of the line that holds offset; 0 when unknown.
    size_t LineAt(int64_t offset) const;
};

// A prompt's answer: the key as the console shows it, or no keyboard at all.
struct PromptAnswer {
    size_t Line = 0;
    bool Keyboard = true;
    std::string Key;  // escaped, as the console shows it
    std::chrono::system_clock::time_point Time;
};

// A script that loops over a prompt, or a device that never ends a line, must
// not grow the rack: what is held of one run is bounded.
constexpr size_t MaxPromptsKept = 1000;
constexpr size_t MaxConsoleLine = 64 * 1024;  // a longer line goes to the transcript in pieces
constexpr size_t MaxProgressEvent = 4096;     // torvex's events are a few words

struct Run {
    std::string Port;
    std::string Label;           // what the lab calls the unit; empty when not named
    std::string Baud;            // its own -BAUD= digits, or empty
    std::string Stable;          // for a unit found by discovery, the name it keeps; else empty
    std::string TranscriptPath;
    FILE* Transcript = nullptr;
    RunState State = RunState::Queued;
    size_t Line = 0;             // script line being run, from 1; 0 before the first
    std::string Command;         // its text
    int WaitSeconds = 0;         // the time allowed for the answer awaited
    RackClock::time_point WaitStart;
    std::string LastAnswer;      // how the last wait ended: ok, error, none, readfail
    std::string Partial;         // console bytes after the last line end
    std::chrono::system_clock::time_point PartialSince;  // when its first byte came
    std::string LastLine;        // the last whole console line, line end removed
    std::string Progress;        // progress channel bytes after the last line end
    bool NoKeyboard = false;     // a prompt got the end of input
    size_t NoKeyboardLine = 0;
    std::vector<PromptAnswer> Prompts;  // the first MaxPromptsKept answers
    size_t PromptsNotKept = 0;   // answers past those, counted only
    bool ProgressTooLong = false;  // the event being read passed its bound: dropped
    bool WakeUnanswered = false; // neither wake-up got an answer
    bool SentLine = false;       // a script line that may write to the device was run
    bool PortLost = false;       // the port failed during the wake-up, and has not worked since
    bool WroteIfPortWorks = false;  // a line that writes ran on the lost port: written if it works again
    RackClock::duration Stopped{};        // the rack was stopped (Ctrl-Z) during this attempt
    RackClock::duration StoppedInWait{};  // of that, during the line going and the answer it awaits
    // Notes that came while a console line was partly in: written after it,
    // so that the transcript keeps the order of events and its times.
    std::vector<std::pair<std::chrono::system_clock::time_point, std::string>> HeldNotes;
    bool Started = false;
    bool Interrupted = false;
    int Attempt = 1;             // 1 for the first start, 2 for the first retry
    bool Retrying = false;       // ended where nothing reached the device: waits to start again
    RackClock::time_point RetryAt;
    bool TimedOut = false;       // ended by the rack's time limits
    int TimedOutAfter = 0;       // seconds it was given
    bool RackLimit = false;      // not started: the rack's time was up
    bool RackTimedOut = false;   // ended by the rack's --timeout, not its own limit
    std::string TranscriptCut;   // why the transcript stops short, or empty
    bool Killing = false;        // asked to end; killed outright at KillAt
    RackClock::time_point KillAt;
    RackClock::time_point Start;         // of the first attempt
    RackClock::time_point AttemptStart;  // of this one
    RackClock::time_point End;
    ChildEnd Ended;
    std::string StartFailure;    // why torvex could not be started
    bool Ok = false;
    std::string Result;          // the summary's words
    long long RecordId = 0;      // its row in the --record database; 0: none
    std::string Unit;            // a station's unit: its identity, and its USB numbers
    std::string Usb;
    bool Identify = false;       // a station's run of --identify, whose answer names the unit on a bench cable
    std::string Answer;          // its console output, the first MaxAnswer bytes
    bool Hidden = false;         // it named the unit: a step, not a run of the script, left out of the reports
    bool Notice = false;         // a station's word (Result) about a unit it does not run: in the live view only
};

// An identification's answer is searched in this much of its output.
constexpr size_t MaxAnswer = 64 * 1024;

// The line-numbered script, read as torvex reads it.
ScriptMap ReadScriptMap(const std::string& path);

// Applies one progress event line to the run.
void ApplyProgress(Run& run, const ScriptMap& script, const std::string& event);
// The text of a console line as shown: line end removed, control bytes escaped.
std::string Shown(const std::string& line);
// Labels on a console that shows UTF-8 are shown as written.
extern bool LabelsAsWritten;
// A label as the console shows it: as written where LabelsAsWritten (control
// bytes and bytes that are not UTF-8 escaped), else as Shown.
std::string ShownLabel(const std::string& label);
// The unit as the console names it: its label and port, or its port alone; escaped.
// A unit found by discovery is named by its stable name in place of the port.
std::string UnitName(const Run& run);
// The port as reports name it: its stable name where it has one; not escaped.
const std::string& ReportedPort(const Run& run);
// Every byte as the console shows it, line ends escaped too.
std::string ShownBytes(const std::string& bytes);
// A note in the run's transcript: now, or after the console line coming in.
void RunNote(Run& run, const std::string& text);
// The notes held for the console line just written.
void WriteHeldNotes(Run& run);
// Settles Ok and Result once the run has ended.
void Conclude(Run& run);
// The state in a few words, for the live view.
std::string StateText(const Run& run, RackClock::time_point now);
// Seconds between two times, as the summary shows them.
double Seconds(RackClock::time_point from, RackClock::time_point to);
