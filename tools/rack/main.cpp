// torvex-rack: runs one script on many ports at once, each in a torvex
// process of its own, and keeps the technician (or the CI job) informed: a
// live view on a terminal or tagged lines otherwise, a transcript per port,
// and a summary whose exit status tells whether every unit is ok.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "console.h"
#include "os.h"
#include "outputs.h"
#include "prepare.h"
#include "record.h"
#include "runner.h"
#include "sha256.h"
#include "view.h"

using SystemClock = std::chrono::system_clock;

bool StartRun(Rack& rack, size_t i)
{
    Run& run = rack.Runs[i];
    std::string why;
    bool noDescriptors = false;
    if (run.Transcript == nullptr) {
        run.Transcript = OpenTranscript(run.TranscriptPath, &why, &noDescriptors);
        if (run.Transcript == nullptr && noDescriptors && rack.Running > 0) {
            return false;
        }
    }
    std::vector<std::string> args = {run.Identify ? rack.Opts.Identify : rack.ScriptPath, "-PORT=" + run.Port};
    args.insert(args.end(), rack.Opts.PassedOn.begin(), rack.Opts.PassedOn.end());
    if (run.Identify) {
        args.push_back("-DEBUG");  // the device's answer is on the console only then
    }
    if (!run.Baud.empty()) {
        args.push_back("-BAUD=" + run.Baud);  // torvex takes the last one given
    }
    std::string command = rack.Exe;
    for (const std::string& arg : args) {
        command += " " + arg;
    }
    const bool retry = run.Retrying;
    run.AttemptStart = RackClock::now();
    if (!retry) {
        run.Start = run.AttemptStart;
    }
    StartResult started = StartResult::Failed;
    if (run.Transcript == nullptr) {
        run.StartFailure = "cannot write " + run.TranscriptPath + ": " + why;
    } else {
        started = StartChild(i, rack.Exe, args, &why);
        if (started == StartResult::NoDescriptors && rack.Running > 0) {
            if (!retry) {
                // Made again, from nothing, when it starts.
                CloseTranscript(run);
                (void)std::remove(run.TranscriptPath.c_str());
            }
            return false;
        }
        if (started != StartResult::Started) {
            run.StartFailure = why;
        }
    }
    if (retry) {
        NextAttempt(rack, run);
    } else {
        TranscriptNote(run.Transcript, "start of the run on " + run.Port);
    }
    TranscriptNote(run.Transcript, "command line: " + command);
    run.State = RunState::Starting;
    run.Started = started == StartResult::Started;
    if (!run.Identify) {
        RecordStarted(rack, run);  // an identification is recorded only when it names no unit
    }
    if (!run.Started) {
        run.End = run.AttemptStart;
        TranscriptNote(run.Transcript, "torvex could not be started: " + run.StartFailure);
        Conclude(run);
        if (rack.Watching != nullptr) {
            StationRunEnded(rack, i);
        }
        RecordEnded(rack, run);
        TranscriptNote(run.Transcript, "result: " + run.Result);
        CloseTranscript(run);
        Plain(rack, run, "failed: " + run.Result);
    }
    rack.Running += run.Started ? 1 : 0;
    return true;
}

namespace {

void OnConsole(Rack& rack, size_t i, const std::string& bytes)
{
    Run& run = rack.Runs[i];
    const SystemClock::time_point now = SystemClock::now();
    if (run.Identify) {
        run.Answer.append(bytes, 0, std::min(bytes.size(), MaxAnswer - run.Answer.size()));
    }
    for (char c : bytes) {
        if (run.Partial.empty()) {
            run.PartialSince = now;
        }
        run.Partial += c;
        if (c != '\n' && run.Partial.size() >= MaxConsoleLine) {
            TranscriptConsole(run.Transcript, run.PartialSince, run.Partial + "\n");
            TranscriptNote(run.Transcript, "the line goes on");
            run.Partial.clear();
            WriteHeldNotes(run);
            continue;
        }
        if (c != '\n') {
            continue;
        }
        TranscriptConsole(run.Transcript, run.PartialSince, run.Partial);
        WriteHeldNotes(run);
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
            run.ProgressTooLong = run.ProgressTooLong || run.Progress.size() >= MaxProgressEvent;
            if (!run.ProgressTooLong) {
                run.Progress += c;
            }
            continue;
        }
        if (run.ProgressTooLong) {
            run.ProgressTooLong = false;
            run.Progress.clear();
            continue;
        }
        ApplyProgress(run, run.Identify ? rack.IdentifyScript : rack.Script, run.Progress);
        if (run.State == RunState::Key && run.Progress == "key") {
            if (rack.Keys) {
                rack.Asking.push_back(i);
            } else {
                EndInput(i);  // no keyboard: the prompt reads the end of input
                RecordAnswer(run, false, "");
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
    if (!run.Partial.empty()) {
        TranscriptConsole(run.Transcript, run.PartialSince, run.Partial + "\n");
        TranscriptNote(run.Transcript, "the last line had no line end");
        const std::string shown = Shown(run.Partial);
        if (!shown.empty()) {
            run.LastLine = shown;
        }
        run.Partial.clear();
    }
    WriteHeldNotes(run);
    run.Killing = false;
    rack.Running--;
    const auto asked = std::find(rack.Asking.begin(), rack.Asking.end(), i);
    if (asked != rack.Asking.end()) {
        rack.AskShown = rack.AskShown && asked != rack.Asking.begin();
        rack.Asking.erase(asked);
    }
    const std::string ending = end.signal != 0 ? "end: ended by signal " + std::to_string(end.signal)
                                               : "end: exit status " + std::to_string(end.status);
    TranscriptNote(run.Transcript, ending + (run.TimedOut ? "; the port is released" : ""));
    if (RetryLater(rack, i)) {
        return;
    }
    Conclude(run);
    if (rack.Watching != nullptr) {
        StationRunEnded(rack, i);
    }
    RecordEnded(rack, run);
    TranscriptNote(run.Transcript, "result: " + run.Result);
    CloseTranscript(run);
    Plain(rack, run, StateText(run, RackClock::now()));
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
            if (run.Transcript == nullptr) {
                std::string why;
                bool noDescriptors = false;
                run.Transcript = OpenTranscript(run.TranscriptPath, &why, &noDescriptors);
            }
            TranscriptNote(run.Transcript, "not started: the rack was interrupted");
            Conclude(run);
            RecordEnded(rack, run);
            TranscriptNote(run.Transcript, "result: " + run.Result);
            CloseTranscript(run);
        }
    }
}

// Starts, watches and ends every run.
void RunRack(Rack& rack)
{
    RackClock::time_point drawn;
    bool dirty = true;
    bool news = true;
    for (;;) {
        int wait = CheckTimes(rack, RackClock::now());
        if (rack.Watching != nullptr) {
            const int look = StationLook(rack, RackClock::now(), news);
            wait = look < 0 ? wait : wait < 0 ? look : std::min(wait, look);
        }
        StartRuns(rack, RackClock::now());
        const bool allDone = std::all_of(rack.Runs.begin(), rack.Runs.end(),
                                         [](const Run& run) { return run.State == RunState::Done; });
        // A station goes on for the units still to come, until it is told to end.
        const bool ending = rack.Watching == nullptr || rack.Signal != 0 || rack.TimeUp;
        if (rack.Running == 0 && allDone && ending) {
            break;
        }
        const RackClock::time_point now = RackClock::now();
        if (rack.Live && (dirty || now - drawn >= std::chrono::seconds(1)) &&
            now - drawn >= std::chrono::milliseconds(100)) {
            Draw(rack);
            drawn = now;
            dirty = false;
        }
        if (rack.Live) {
            wait = wait < 0 ? 100 : std::min(wait, 100);
        }
        // Keys are read once the prompt is on the console; until then they wait
        // in the terminal for the flush that comes with it.
        const bool asking = (!rack.Asking.empty() && rack.AskShown) || rack.Invited;
        const bool asked = asking && ConsoleAsked();
        if (asking && !asked) {
            wait = wait < 0 ? 50 : std::min(wait, 50);
        }
        WantKeys(asked);
        OsEvents events;
        WaitEvents(wait, &events);
        news = events.watched;
        dirty = dirty || news;
        if (events.resume && !events.stop && !rack.OwnStop) {
            Resume(rack);  // stopped and continued from outside
        }
        rack.OwnStop = false;
        if (events.stop) {
            Stop(rack);
        }
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
            dirty = true;
        }
        if (!events.keys.empty()) {
            OnKeys(rack, events.keys);
            dirty = true;
        }
        // Asked once all output is in, so that the prompt's text has come too.
        if (!rack.Asking.empty() && !rack.AskShown) {
            ShowPrompt(rack);
            drawn = RackClock::now();
            dirty = false;
        }
        // A bench cable's next unit waits for Enter, asked for as a prompt is;
        // a prompt of a run comes first.
        const bool invites = rack.Watching != nullptr && rack.Asking.empty() && !StationIdle(rack).empty();
        if (!invites) {
            rack.Invited = false;
        } else if (!rack.Invited) {
            rack.Invited = Invite(rack);
            drawn = RackClock::now();
            dirty = false;
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
        if (!rack.Opts.Refusal.empty()) {
            (void)Refused(rack.Opts, "", rack.Opts.Refusal);
        }
        return status;
    }
    PrepareSignals();
    RaiseFileLimit();
    SetTranscriptLimit(rack.Opts.TranscriptLimit);
    rack.Exe = OwnDirectory() + TorvexName();
    if (rack.Opts.DryRun) {
        LabelsAsWritten = ConsoleUtf8();
        return DryRun(rack.Opts, rack.Exe);
    }
    if (rack.Opts.Script != "-") {
        rack.Script = ReadScriptMap(rack.Opts.Script);
        if (!rack.Script.Read) {
            const std::string reason =
                "cannot read the script " + rack.Opts.Script + ": " + strerror(rack.Script.Error);
            fprintf(stderr, "torvex-rack: %s\n", reason.c_str());
            return Refused(rack.Opts, "", reason);
        }
    }
    if (!CheckOutputs(rack.Opts)) {
        return 2;
    }
    // The record refuses a second writer before any folder is made.
    if (!rack.Opts.Record.empty() && !OpenRecord(rack)) {
        (void)MarkUnfinished(rack.Opts, ReportHead(rack.Opts, ""), "cannot record in " + rack.Opts.Record);
        return 2;
    }
    if (rack.Opts.Watch) {
        std::string why;
        rack.Watching = OpenStation(rack.Opts, &why);
        if (rack.Watching == nullptr) {
            fprintf(stderr, "torvex-rack: cannot watch for ports: %s\n", why.c_str());
            (void)MarkUnfinished(rack.Opts, ReportHead(rack.Opts, ""), "cannot watch for ports: " + why);
            CloseHistory(rack.Record);
            return 2;
        }
    }
    rack.Keys = KeysFromTerminal() && !rack.Opts.PortsFromStdin && rack.Opts.Script != "-";
    if (!rack.Opts.Identify.empty()) {
        std::string reason;
        rack.IdentifyScript = ReadScriptMap(rack.Opts.Identify);
        if (!rack.IdentifyScript.Read) {
            reason = "cannot read the script " + rack.Opts.Identify + ": " + strerror(rack.IdentifyScript.Error);
        } else if (!rack.Keys) {
            reason = "--identify needs the keys of a terminal: Enter starts the next unit on a bench cable";
        }
        if (!reason.empty()) {
            fprintf(stderr, "torvex-rack: %s\n", reason.c_str());
            (void)MarkUnfinished(rack.Opts, ReportHead(rack.Opts, ""), reason);
            CloseHistory(rack.Record);
            return 2;
        }
    }
    std::string refusal;
    if (!PrepareRack(rack.Opts, rack.Exe, &rack.LogDir, &rack.ScriptPath, &rack.Runs, &refusal)) {
        (void)MarkUnfinished(rack.Opts, ReportHead(rack.Opts, rack.ScriptPath), refusal);
        CloseHistory(rack.Record);
        return 2;
    }
    if (rack.Opts.Script == "-") {
        rack.Script = ReadScriptMap(rack.ScriptPath);
    }
    rack.Head = ReportHead(rack.Opts, rack.ScriptPath);
    rack.Common.ScriptSha256 = rack.Head.ScriptSha256;
    rack.Common.Station = "torvex-rack " + rack.Head.Version + ": " + rack.Opts.CommandLine;
    if (!MarkUnfinished(rack.Opts, rack.Head)) {
        return 2;
    }
    rack.Live = ConsoleIsTerminal();
    LabelsAsWritten = ConsoleUtf8();
    // https://no-color.org: set and not empty, it turns colour off.
    const char* noColor = getenv("NO_COLOR");
    rack.Colour = rack.Live && (noColor == nullptr || noColor[0] == '\0');
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
        CloseTranscript(run);
    }
    // An identification that named its unit was a step of that unit's run.
    rack.Runs.erase(std::remove_if(rack.Runs.begin(), rack.Runs.end(), [](const Run& run) { return run.Hidden; }),
                    rack.Runs.end());
    const int outcome = Report(rack, Seconds(start, RackClock::now()));
    CloseHistory(rack.Record);
    // A console that takes nothing does not keep the rack, its work done.
    ConsoleSettle(5000);
    if (rack.Signal != 0) {
        DieBySignal(rack.Signal);
    }
    return outcome;
}
