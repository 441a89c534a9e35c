// torvex-rack: runs one script on many ports at once, each in a torvex
// process of its own, and keeps the technician (or the CI job) informed: a
// live view on a terminal or tagged lines otherwise, a transcript per port,
// and a summary whose exit status tells whether every unit is ok.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "junit.h"
#include "options.h"
#include "os.h"
#include "rack.h"
#include "record.h"
#include "view.h"

namespace {

using SystemClock = std::chrono::system_clock;

struct Rack {
    RackOptions Opts;
    std::string Exe;
    std::string ScriptPath;
    ScriptMap Script;
    std::string LogDir;
    std::vector<Run> Runs;
    bool Live = false;         // the console is a terminal: rows redrawn in place
    bool Colour = false;       // ok and failed in colour: a terminal, and NO_COLOR not set
    bool TimeUp = false;       // the rack's own time limit has passed
    RackClock::time_point Deadline;
    bool Keys = false;         // prompts are answered at the rack's terminal
    std::deque<size_t> Asking;  // runs waiting for a key, the first one asked
    bool AskShown = false;     // the first one's prompt is on the console
    size_t ViewHeight = 0;     // lines of the frame on the console
    int ViewColumns = 0;       // the terminal's width it was drawn for
    int Signal = 0;
};

// A progress line when there is no terminal: its time, as the transcripts
// have it, and the unit it is about.
void Plain(const Rack& rack, const Run& run, const std::string& text)
{
    if (!rack.Live) {
        ConsoleWrite(Timestamp(SystemClock::now()) + " " + UnitName(run) + ": " + text + "\n");
    }
}

std::string PromptLine(const Rack& rack)
{
    if (rack.Asking.empty()) {
        return "";
    }
    const Run& run = rack.Runs[rack.Asking.front()];
    return UnitName(run) + " asks: " + Shown(run.Partial) + "  (press a key)";
}

void Draw(Rack& rack)
{
    int columns = 80;
    int rows = 24;
    ConsoleSize(&columns, &rows);
    const std::vector<std::string> lines =
        ViewLines(rack.Runs, rack.Script, columns, rows, PromptLine(rack), RackClock::now(), rack.Colour);
    std::string frame;
    if (rack.ViewHeight > 0 && columns != rack.ViewColumns) {
        // The terminal rewrapped the last frame: start again from the top.
        frame += "\x1b[H\x1b[2J";
    } else if (rack.ViewHeight > 0) {
        frame += "\r\x1b[" + std::to_string(rack.ViewHeight) + "A";
    }
    rack.ViewColumns = columns;
    for (const std::string& line : lines) {
        frame += line;
    }
    // A frame shorter than the last one clears what is left below it.
    frame += "\x1b[J";
    rack.ViewHeight = lines.size();
    ConsoleWrite(frame);
}

std::string DefaultLogDir()
{
    const std::string base = "torvex-rack-" + FolderStamp(SystemClock::now());
    std::string dir = base;
    for (int n = 2; std::filesystem::exists(dir); n++) {
        dir = base + "-" + std::to_string(n);
    }
    return dir;
}

bool PrepareLogDir(Rack& rack)
{
    rack.LogDir = rack.Opts.LogDir.empty() ? DefaultLogDir() : rack.Opts.LogDir;
    std::error_code error;
    std::filesystem::create_directories(rack.LogDir, error);
    if (!std::filesystem::is_directory(rack.LogDir)) {
        fprintf(stderr, "torvex-rack: cannot make the folder %s: %s\n", rack.LogDir.c_str(),
                error.message().c_str());
        return false;
    }
    rack.ScriptPath = rack.Opts.Script;
    if (rack.Opts.Script == "-") {
        // Every run needs the script: standard input is kept in the folder once.
        rack.ScriptPath = (std::filesystem::path(rack.LogDir) / "script.txt").string();
        std::ofstream copy(rack.ScriptPath, std::ios::binary);
        copy << std::cin.rdbuf();
        if (!copy) {
            fprintf(stderr, "torvex-rack: cannot keep the script in %s\n", rack.ScriptPath.c_str());
            return false;
        }
    }
    const size_t count = rack.Opts.Ports.size();
    for (size_t i = 0; i < count; i++) {
        Run run;
        run.Port = rack.Opts.Ports[i].Name;
        run.Label = rack.Opts.Ports[i].Label;
        run.Baud = rack.Opts.Ports[i].Baud;
        run.TranscriptPath = (std::filesystem::path(rack.LogDir) /
                              TranscriptName(i, count, run.Label.empty() ? run.Port : run.Label))
                                 .string();
        run.Transcript = fopen(run.TranscriptPath.c_str(), "wb");
        if (run.Transcript == nullptr) {
            fprintf(stderr, "torvex-rack: cannot write %s\n", run.TranscriptPath.c_str());
            return false;
        }
        rack.Runs.push_back(run);
    }
    return true;
}

void StartRun(Rack& rack, size_t i)
{
    Run& run = rack.Runs[i];
    std::vector<std::string> args = {rack.ScriptPath, "-PORT=" + run.Port};
    args.insert(args.end(), rack.Opts.PassedOn.begin(), rack.Opts.PassedOn.end());
    if (!run.Baud.empty()) {
        args.push_back("-BAUD=" + run.Baud);  // torvex takes the last one given
    }
    std::string command = rack.Exe;
    for (const std::string& arg : args) {
        command += " " + arg;
    }
    run.Attempt += run.Retrying ? 1 : 0;
    if (run.Attempt == 1) {
        TranscriptNote(run.Transcript, "start of the run on " + run.Port);
        run.Start = RackClock::now();
    } else {
        TranscriptNote(run.Transcript, "attempt " + std::to_string(run.Attempt) + " of " +
                                           std::to_string(rack.Opts.Retries + 1) + " on " + run.Port);
        // What the last attempt left is in the transcript; this one starts afresh.
        const Run fresh;
        run.Line = 0;
        run.Command.clear();
        run.LastAnswer.clear();
        run.LastLine.clear();
        run.Progress.clear();
        run.NoKeyboard = false;
        run.Ended = fresh.Ended;
    }
    TranscriptNote(run.Transcript, "command line: " + command);
    run.AttemptStart = RackClock::now();
    run.Retrying = false;
    run.State = RunState::Starting;
    run.Started = StartChild(i, rack.Exe, args, &run.StartFailure);
    if (!run.Started) {
        run.End = run.AttemptStart;
        TranscriptNote(run.Transcript, "torvex could not be started: " + run.StartFailure);
        Conclude(run);
        Plain(rack, run, "failed: " + run.Result);
    }
}

// Asks a run to end at its time limit; it is killed if it has not ended 5 s later.
void TimeOut(Rack& rack, size_t i, const std::string& which)
{
    Run& run = rack.Runs[i];
    const RackClock::time_point now = RackClock::now();
    run.TimedOut = true;
    run.TimedOutAfter = static_cast<int>(std::lround(Seconds(run.AttemptStart, now)));
    run.Killing = true;
    run.KillAt = now + std::chrono::seconds(5);
    TranscriptNote(run.Transcript, which + ": ended after " + std::to_string(run.TimedOutAfter) + " s");
    EndChild(i, false);
}

// The rack's time is up: what runs is ended, what waits is not started.
void RackTimeUp(Rack& rack)
{
    rack.TimeUp = true;
    for (size_t i = 0; i < rack.Runs.size(); i++) {
        Run& run = rack.Runs[i];
        if (run.State == RunState::Done) {
            continue;
        }
        if (run.State != RunState::Queued) {
            if (!run.TimedOut) {
                TimeOut(rack, i, "rack time limit");
            }
            continue;
        }
        run.End = RackClock::now();
        run.RackLimit = !run.Retrying;
        TranscriptNote(run.Transcript, run.Retrying ? "not started again: rack time limit" : "not started: rack time limit");
        Conclude(run);
        Plain(rack, run, run.Result);
    }
}

void OnConsole(Rack& rack, size_t i, const std::string& bytes)
{
    Run& run = rack.Runs[i];
    const SystemClock::time_point now = SystemClock::now();
    for (char c : bytes) {
        if (run.Partial.empty()) {
            run.PartialSince = now;
        }
        run.Partial += c;
        if (c != '\n') {
            continue;
        }
        TranscriptConsole(run.Transcript, run.PartialSince, run.Partial);
        const std::string shown = Shown(run.Partial);
        // The command as it is sent is in the row already: the answer before it stays.
        if (!shown.empty() && shown != run.Command) {
            run.LastLine = shown;
        }
        if (!shown.empty()) {
            Plain(rack, run, shown);
        }
        run.Partial.clear();
    }
}

void OnProgress(Rack& rack, size_t i, const std::string& bytes)
{
    Run& run = rack.Runs[i];
    for (char c : bytes) {
        if (c != '\n') {
            run.Progress += c;
            continue;
        }
        ApplyProgress(run, rack.Script, run.Progress);
        if (run.State == RunState::Key && run.Progress == "key") {
            if (rack.Keys) {
                rack.Asking.push_back(i);
            } else {
                EndInput(i);  // no keyboard: the prompt reads the end of input
            }
        }
        run.Progress.clear();
    }
}

void OnEnd(Rack& rack, size_t i, const ChildEnd& end)
{
    Run& run = rack.Runs[i];
    run.End = RackClock::now();
    run.Ended = end;
    run.Killing = false;
    if (!run.Partial.empty()) {
        TranscriptConsole(run.Transcript, run.PartialSince, run.Partial + "\n");
        TranscriptNote(run.Transcript, "the last line had no line end");
        const std::string shown = Shown(run.Partial);
        if (!shown.empty()) {
            run.LastLine = shown;
        }
        run.Partial.clear();
    }
    const bool again = run.Attempt <= rack.Opts.Retries && rack.Signal == 0 && !rack.TimeUp && NothingReachedDevice(run);
    Conclude(run);
    std::string ending = end.signal != 0 ? "end: ended by signal " + std::to_string(end.signal)
                                         : "end: exit status " + std::to_string(end.status);
    TranscriptNote(run.Transcript, ending + (run.TimedOut ? "; the port is released" : ""));
    const auto asked = std::find(rack.Asking.begin(), rack.Asking.end(), i);
    if (asked != rack.Asking.end()) {
        rack.AskShown = rack.AskShown && asked != rack.Asking.begin();
        rack.Asking.erase(asked);
    }
    if (again) {
        // Nothing of the script reached the device: starting it again cannot run a line twice.
        const std::string why = "attempt " + std::to_string(run.Attempt) + ": " + run.Result + "; trying again in " +
                                std::to_string(rack.Opts.RetryWait) + " s";
        TranscriptNote(run.Transcript, why);
        Plain(rack, run, why);
        run.State = RunState::Queued;
        run.Ok = false;
        run.Result.clear();
        run.Retrying = true;
        run.RetryAt = RackClock::now() + std::chrono::seconds(rack.Opts.RetryWait);
        return;
    }
    TranscriptNote(run.Transcript, "result: " + run.Result);
    Plain(rack, run, run.Ok ? "done: " + run.Result : "failed: " + run.Result);
}

void OnKeys(Rack& rack, const std::string& keys)
{
    for (char key : keys) {
        if (rack.Asking.empty()) {
            return;  // a key nobody asked for
        }
        const size_t i = rack.Asking.front();
        rack.Asking.pop_front();
        rack.AskShown = false;
        SendKey(i, key);
    }
}

void OnSignal(Rack& rack, int sig)
{
    if (rack.Signal == 0) {
        rack.Signal = sig;
    }
    StopChildren(sig);
    for (Run& run : rack.Runs) {
        if (run.State != RunState::Done) {
            run.Interrupted = true;
        }
        if (run.State == RunState::Queued) {
            run.End = RackClock::now();
            TranscriptNote(run.Transcript, "not started: the rack was interrupted");
            Conclude(run);
        }
    }
}

// Starts the runs that may start: in order, as many as --jobs allows, a
// retry once its wait is over.
void StartRuns(Rack& rack, size_t* running, RackClock::time_point now)
{
    const size_t jobs = rack.Opts.Jobs == 0 ? rack.Runs.size() : rack.Opts.Jobs;
    for (size_t i = 0; i < rack.Runs.size() && *running < jobs && rack.Signal == 0 && !rack.TimeUp; i++) {
        Run& run = rack.Runs[i];
        if (run.State == RunState::Queued && (!run.Retrying || now >= run.RetryAt)) {
            StartRun(rack, i);
            *running += run.Started && run.State != RunState::Done ? 1 : 0;
        }
    }
}

// Ends what ran out of time; answers the milliseconds until the next time
// limit, retry or kill is due (-1: none).
int CheckTimes(Rack& rack, size_t running, RackClock::time_point now)
{
    if (rack.Opts.Timeout > 0 && !rack.TimeUp && now >= rack.Deadline) {
        RackTimeUp(rack);
    }
    std::vector<RackClock::time_point> due;
    if (rack.Opts.Timeout > 0 && !rack.TimeUp) {
        due.push_back(rack.Deadline);
    }
    const size_t jobs = rack.Opts.Jobs == 0 ? rack.Runs.size() : rack.Opts.Jobs;
    for (size_t i = 0; i < rack.Runs.size(); i++) {
        Run& run = rack.Runs[i];
        const bool going = run.State != RunState::Queued && run.State != RunState::Done;
        if (going && run.Killing && now >= run.KillAt) {
            EndChild(i, true);
            run.Killing = false;
            TranscriptNote(run.Transcript, "still running 5 s later: killed");
        } else if (going && run.Killing) {
            due.push_back(run.KillAt);
        } else if (going && !run.TimedOut && rack.Opts.UnitTimeout > 0) {
            const RackClock::time_point limit = run.AttemptStart + std::chrono::seconds(rack.Opts.UnitTimeout);
            if (now >= limit) {
                TimeOut(rack, i, "unit time limit");
                due.push_back(run.KillAt);
            } else {
                due.push_back(limit);
            }
        } else if (run.State == RunState::Queued && run.Retrying && running < jobs) {
            due.push_back(run.RetryAt);
        }
    }
    if (due.empty()) {
        return -1;
    }
    const auto next = *std::min_element(due.begin(), due.end());
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::max<long long>(0, std::min<long long>(ms + 1, 60000)));
}

// Starts, watches and ends every run.
void RunRack(Rack& rack)
{
    size_t running = 0;
    RackClock::time_point drawn;
    bool dirty = true;
    for (;;) {
        RackClock::time_point now = RackClock::now();
        int wait = CheckTimes(rack, running, now);
        StartRuns(rack, &running, now);
        const bool allDone = std::all_of(rack.Runs.begin(), rack.Runs.end(),
                                         [](const Run& run) { return run.State == RunState::Done; });
        if (running == 0 && allDone) {
            break;
        }
        now = RackClock::now();
        if (rack.Live && (dirty || now - drawn >= std::chrono::seconds(1)) &&
            now - drawn >= std::chrono::milliseconds(100)) {
            Draw(rack);
            drawn = now;
            dirty = false;
        }
        if (rack.Live) {
            wait = wait < 0 ? 100 : std::min(wait, 100);
        }
        OsEvents events;
        WaitEvents(wait, &events);
        if (events.signal != 0) {
            OnSignal(rack, events.signal);
            dirty = true;
        }
        for (const OsEvents::Output& out : events.output) {
            (out.progress ? OnProgress : OnConsole)(rack, out.child, out.bytes);
            dirty = true;
        }
        for (const auto& end : events.ended) {
            OnEnd(rack, end.first, end.second);
            running--;
            dirty = true;
        }
        if (!events.keys.empty()) {
            OnKeys(rack, events.keys);
            dirty = true;
        }
        // Asked once all output is in, so that the prompt's text has come too.
        if (!rack.Asking.empty() && !rack.AskShown) {
            const Run& asking = rack.Runs[rack.Asking.front()];
            Plain(rack, asking, "asks: " + Shown(asking.Partial) + "  (press a key)");
            rack.AskShown = true;
        }
    }
    if (rack.Live) {
        Draw(rack);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Rack rack;
    BinaryInput();
    const int status = ReadOptions(argc, argv, &rack.Opts);
    if (status >= 0) {
        return status;
    }
    PrepareSignals();
    rack.Exe = OwnDirectory() + TorvexName();
    // A script no run could read is refused before any unit is woken for it.
    if (rack.Opts.Script != "-") {
        rack.Script = ReadScriptMap(rack.Opts.Script);
        if (!rack.Script.Read) {
            fprintf(stderr, "torvex-rack: cannot read the script %s\n", rack.Opts.Script.c_str());
            return 2;
        }
    }
    if (!PrepareLogDir(rack)) {
        return 2;
    }
    if (rack.Opts.Script == "-") {
        rack.Script = ReadScriptMap(rack.ScriptPath);
    }
    rack.Live = ConsoleIsTerminal();
    // https://no-color.org: set and not empty, it turns colour off.
    const char* noColor = getenv("NO_COLOR");
    rack.Colour = rack.Live && (noColor == nullptr || noColor[0] == '\0');
    rack.Keys = KeysFromTerminal() && !rack.Opts.PortsFromStdin && rack.Opts.Script != "-";
    if (rack.Keys) {
        TerminalKeys(true);
    }
    if (rack.Live) {
        ConsoleWrite("\x1b[?25l");  // no cursor blinking over the rows
    }
    const RackClock::time_point start = RackClock::now();
    rack.Deadline = start + std::chrono::seconds(rack.Opts.Timeout);
    RunRack(rack);
    if (rack.Live) {
        ConsoleWrite("\x1b[?25h");
    }
    TerminalKeys(false);
    for (Run& run : rack.Runs) {
        fclose(run.Transcript);
    }
    ConsoleWrite((rack.Live ? "\n" : "") + SummaryTable(rack.Runs, rack.LogDir, rack.Colour));
    bool allOk = true;
    for (const Run& run : rack.Runs) {
        allOk = allOk && run.Ok;
    }
    if (!rack.Opts.Json.empty()) {
        std::ofstream json(rack.Opts.Json, std::ios::binary);
        json << SummaryJson(rack.Runs, rack.Opts.Script, rack.LogDir, Seconds(start, RackClock::now()));
        if (!json.flush()) {
            fprintf(stderr, "torvex-rack: cannot write %s\n", rack.Opts.Json.c_str());
            allOk = false;
        }
    }
    if (!rack.Opts.Junit.empty()) {
        std::vector<std::string> transcripts;
        for (const Run& run : rack.Runs) {
            transcripts.push_back(TranscriptTail(run.TranscriptPath));
        }
        std::ofstream junit(rack.Opts.Junit, std::ios::binary);
        junit << JunitXml(rack.Runs, transcripts, rack.Opts.Script, Seconds(start, RackClock::now()));
        if (!junit.flush()) {
            fprintf(stderr, "torvex-rack: cannot write %s\n", rack.Opts.Junit.c_str());
            allOk = false;
        }
    }
    if (rack.Signal != 0) {
        DieBySignal(rack.Signal);
    }
    return allOk ? 0 : 1;
}
