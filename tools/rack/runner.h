// torvex-rack: the rack as it runs, shared by main.cpp (starting the runs
// and following them) and limits.cpp (their time limits and retries).
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "junit.h"
#include "history.h"
#include "options.h"
#include "rack.h"
#include "station.h"

struct Rack {
    RackOptions Opts;
    std::string Exe;
    std::string ScriptPath;
    ScriptMap Script;
    std::string LogDir;
    std::vector<Run> Runs;
    bool Live = false;         // the console is a terminal: rows redrawn in place
    bool Colour = false;       // ok and failed in colour: a terminal, and NO_COLOR not set
    bool Keys = false;         // prompts are answered at the rack's terminal
    std::deque<size_t> Asking;  // runs waiting for a key, the first one asked
    bool AskShown = false;     // the first one's prompt is handed to the console (ConsoleAsk)
    size_t Running = 0;        // runs started and not yet ended
    bool OwnStop = false;      // the rack stopped itself: the continue is dealt with
    size_t ViewHeight = 0;     // lines of the frame on the console
    int ViewColumns = 0;       // the terminal's width it was drawn for
    int Signal = 0;
    bool TimeUp = false;       // the rack's own time limit has passed
    bool LimitEndedRuns = false;  // and it ended or kept back a unit not done
    JunitHead Head;            // what the JUnit suite says of the rack
    RackClock::time_point Deadline;
    History* Record = nullptr;  // --record
    Station* Watching = nullptr;  // --watch: the station
    RunRecord Common;          // what every run's row shares
    bool RecordFailed = false; // a row could not be written: the rack does not end well
    ScriptMap IdentifyScript;  // --identify's lines
    bool Invited = false;      // Enter for a bench cable's next unit is asked for (ConsoleAsk)
};

// report.cpp: a progress line when there is no terminal (false when none was
// handed to the console); the summary on the console, and as JSON and JUnit
// XML when asked, answering the exit status: 0 every unit ok, 1 one failed, 3
// the rack's time limit ended one not done, 4 a report or transcript was not written.
bool Plain(const Rack& rack, const Run& run, const std::string& text, bool ask = false);
void CloseTranscript(Run& run);
int Report(const Rack& rack, double seconds);
// The record of a run: its row as it first starts, and as it ends for good.
void RecordStarted(Rack& rack, Run& run);
void RecordEnded(Rack& rack, Run& run);
// Opens --record and fills in what every row shares; false once the reason is printed.
bool OpenRecord(Rack& rack);

// screen.cpp: the live view's frame, asked as a prompt is when ask (see
// ConsoleAsk); a prompt's answer, in the transcript now and in the JSON at
// the end; the keys read, answering the prompt shown; the first prompt
// waiting shown; a stop (Ctrl-Z) and a continue from outside.
bool Draw(Rack& rack, bool ask = false);
void RecordAnswer(Run& run, bool keyboard, const std::string& key);
void OnKeys(Rack& rack, const std::string& keys);
void ShowPrompt(Rack& rack);
// Asks for Enter to start the next unit on a bench cable; whether it was handed to the console.
bool Invite(Rack& rack);
void Stop(Rack& rack);
void Resume(Rack& rack);

// main.cpp: starts the i-th run; false when it has to wait for descriptors
// that a run still going will give back.
bool StartRun(Rack& rack, size_t i);

// limits.cpp: starts the runs that may start, in order, as many as --jobs
// allows, a retry once its wait is over.
void StartRuns(Rack& rack, RackClock::time_point now);

// Ends what ran out of time and kills what did not end 5 s after; answers
// the milliseconds until the next limit, kill or retry is due (-1: none).
int CheckTimes(Rack& rack, RackClock::time_point now);
// The rack and its runs were stopped (Ctrl-Z) for d: that time is not theirs.
void RackStopped(Rack& rack, RackClock::duration d);
// Whether the run that just ended is to be started again: no script line
// that writes reached its write, the rack did not end it, and attempts are left. If so, it is queued for
// the retry wait and the transcript says why.
bool RetryLater(Rack& rack, size_t i);
// Readies a queued run for its next attempt: its transcript says which, and
// what the last attempt left behind is cleared.
void NextAttempt(const Rack& rack, Run& run);
