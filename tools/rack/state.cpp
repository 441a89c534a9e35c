// torvex-rack: a run's states and its result, from the progress channel's
// events, the console's last line and the exit status.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "rack.h"
#include "record.h"
#include "serial/display.h"
#include "serial/response.h"

size_t ScriptMap::LineAt(int64_t offset) const
{
    const auto after = std::upper_bound(Starts.begin(), Starts.end(), offset);
    return after == Starts.begin() ? 0 : static_cast<size_t>(after - Starts.begin());
}

ScriptMap ReadScriptMap(const std::string& path)
{
    ScriptMap map;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        map.Error = errno;
        return map;
    }
    std::string line;
    int64_t at = 0;
    int64_t start = 0;
    int c;
    while ((c = fgetc(f)) != EOF) {
        at++;
        if (c == '\n') {
            map.Starts.push_back(start);
            map.Texts.push_back(line);
            line.clear();
            start = at;
        } else {
            line += static_cast<char>(c);
        }
    }
    if (!line.empty()) {
        map.Starts.push_back(start);
        map.Texts.push_back(line);
    }
    map.Read = !ferror(f);
    map.Error = map.Read ? 0 : errno;
    fclose(f);
    return map;
}

std::string Shown(const std::string& line)
{
    size_t n = line.size();
    if (n > 0 && line[n - 1] == '\n') {
        n--;
    }
    if (n > 0 && line[n - 1] == '\r') {
        n--;
    }
    return ShownBytes(line.substr(0, n));
}

std::string ShownBytes(const std::string& bytes)
{
    std::string shown;
    for (const char b : bytes) {
        const unsigned char c = static_cast<unsigned char>(b);
        char escaped[5];
        shown += ShownAsIsOnTerminal(c) ? std::string(1, b) : EscapedByte(c, escaped);
    }
    return shown;
}

const std::string& ReportedPort(const Run& run)
{
    return run.Stable.empty() ? run.Port : run.Stable;
}

bool LabelsAsWritten = false;

std::string ShownLabel(const std::string& label)
{
    if (!LabelsAsWritten) {
        return Shown(label);
    }
    std::string shown;
    for (size_t i = 0; i < label.size(); i++) {
        const size_t length = static_cast<unsigned char>(label[i]) >= 0x80 ? Utf8Length(label, i) : 0;
        // U+0080 to U+009F are control characters too: C2 80 to C2 9F.
        if (length > 0 && !(length == 2 && label[i] == '\xC2' && static_cast<unsigned char>(label[i + 1]) < 0xA0)) {
            shown.append(label, i, length);
            i += length - 1;
        } else {
            shown += ShownBytes(label.substr(i, 1));
        }
    }
    return shown;
}

std::string UnitName(const Run& run)
{
    const std::string port = Shown(ReportedPort(run));
    return run.Label.empty() ? port : ShownLabel(run.Label) + " (" + port + ")";
}

void ApplyProgress(Run& run, const ScriptMap& script, const std::string& event)
{
    const size_t space = event.find(' ');
    const std::string name = event.substr(0, space);
    const std::string arg = space == std::string::npos ? "" : event.substr(space + 1);
    if (name == "settle") {
        run.State = RunState::Settling;
    } else if (name == "wake") {
        run.State = RunState::Waking;
    } else if (name == "line") {
        // The first line after the wake-up: whether it was ever answered is known.
        if (run.State == RunState::Waking && run.LastAnswer == "none") {
            run.WakeUnanswered = true;
        }
        run.Line = script.LineAt(strtoll(arg.c_str(), nullptr, 10));
        run.Command = run.Line > 0 ? Shown(script.Texts[run.Line - 1]) : "";
        // Only # and : lines certainly write nothing; any other is taken to
        // write, unless the port was lost before: no write of it reaches a device.
        const std::string text = run.Line > 0 ? script.Texts[run.Line - 1] : "";
        const bool writes = text.empty() || (text[0] != '#' && text[0] != ':');
        run.SentLine = run.SentLine || (writes && !run.PortLost);
        run.WroteIfPortWorks = run.WroteIfPortWorks || (writes && run.PortLost);
        run.State = RunState::Line;
        run.StoppedInWait = RackClock::duration::zero();
    } else if (name == "wait") {
        run.WaitSeconds = static_cast<int>(strtol(arg.c_str(), nullptr, 10));
        run.WaitStart = RackClock::now();
        if (run.State != RunState::Waking) {
            run.State = RunState::Waiting;
        }
    } else if (name == "answer") {
        run.LastAnswer = arg;
        // Lost in the settle or the wake-up: torvex goes on with a dead port.
        // A read that did not fail since says it works after all.
        if (arg != "readfail" && run.PortLost) {
            run.PortLost = false;
            run.SentLine = run.SentLine || run.WroteIfPortWorks;
        }
        run.PortLost = run.PortLost || (run.State == RunState::Waking && arg == "readfail");
        if (run.State == RunState::Waiting) {
            run.State = RunState::Line;
        }
    } else if (name == "key") {
        run.State = RunState::Key;
    } else if (name == "keyed") {
        run.State = RunState::Line;
        if (strtol(arg.c_str(), nullptr, 10) == 0) {
            run.NoKeyboard = true;
            run.NoKeyboardLine = run.Line;
        }
    }
}

double Seconds(RackClock::time_point from, RackClock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

void RunNote(Run& run, const std::string& text)
{
    if (run.Partial.empty()) {
        TranscriptNote(run.Transcript, text);
    } else {
        run.HeldNotes.emplace_back(std::chrono::system_clock::now(), text);
    }
}

void WriteHeldNotes(Run& run)
{
    for (const auto& note : run.HeldNotes) {
        TranscriptNoteAt(run.Transcript, note.first, note.second);
    }
    run.HeldNotes.clear();
}

static std::string AtLine(const Run& run)
{
    return run.Command + " at line " + std::to_string(run.Line);
}

// The exit status's meaning, with the console's last line for the why.
static std::string Failure(const Run& run)
{
    const std::string why = run.LastLine.empty() ? "" : ": " + run.LastLine;
    switch (run.Ended.status) {
    case 1:
        if (run.LastAnswer == "error") {
            return "ERROR answered to " + AtLine(run);
        }
        if (run.LastAnswer == "none") {
            // torvex's own clock went on while the rack was stopped.
            const long stopped = std::lround(std::chrono::duration<double>(run.StoppedInWait).count());
            return (run.WakeUnanswered ? "the wake-up was never answered; then no answer to "
                                       : "no answer to ") +
                   AtLine(run) +
                   (run.StoppedInWait > RackClock::duration::zero()
                        ? "; the rack was stopped " + std::to_string(std::max(stopped, 1L)) + " s"
                        : "");
        }
        if (run.LastAnswer == "readfail") {
            return "port failed during " + AtLine(run) + why;
        }
        return "command failed" + why;
    case 3: return "port could not be opened" + why;
    case 4: return "script unreadable" + why;
    default: return "exit status " + std::to_string(run.Ended.status);
    }
}

void Conclude(Run& run)
{
    run.State = RunState::Done;
    // Ctrl-C at a terminal reaches the runs as soon as the rack; on Windows a
    // run so ended exits with 130.
    const bool ctrlC = run.Ended.signal == SIGINT || (run.Ended.signal == 0 && run.Ended.status == 130);
    const bool beforeRetry = run.Retrying && run.Interrupted;
    run.Interrupted = beforeRetry || (run.Started && ((run.Interrupted && run.Ended.signal != 0) || ctrlC));
    if (!run.StartFailure.empty()) {
        run.Result = "torvex could not be started: " + run.StartFailure;
    } else if (beforeRetry) {
        run.Result = "interrupted before attempt " + std::to_string(run.Attempt + 1);
    } else if (run.RackLimit) {
        run.Interrupted = true;
        run.Result = "not started: rack time limit";
    } else if (run.TimedOut) {
        run.Interrupted = false;
        run.Result = "timed out after " + std::to_string(run.TimedOutAfter) + " s " +
                     (run.Line > 0 ? "at line " + std::to_string(run.Line) + ": " + run.Command
                                   : "before the first script line");
    } else if (!run.Started) {
        run.Interrupted = true;
        run.Result = "interrupted before it started";
    } else if (run.Interrupted) {
        run.Result = run.Line > 0 ? "interrupted at line " + std::to_string(run.Line) + ": " + run.Command
                                  : "interrupted before the first script line";
    } else if (run.Ended.signal != 0) {
        run.Result = "ended by signal " + std::to_string(run.Ended.signal);
    } else if (run.Ended.status == 0) {
        run.Ok = true;
        run.Result = run.Attempt > 1 ? "ok on attempt " + std::to_string(run.Attempt) : "ok";
    } else {
        run.Result = Failure(run);
    }
    if (!run.Ok && run.Attempt > 1 && !run.RackLimit && !beforeRetry) {
        run.Result += "; " + std::to_string(run.Attempt) + " attempts";
    }
    if (run.NoKeyboard) {
        run.Result += "; the prompt at line " + std::to_string(run.NoKeyboardLine) + " had no keyboard";
    }
}

// A silent device's read lasts its whole total limit (the port's 5000 ms and
// 10 ms a byte asked for), and the wait's limit is looked at only between
// reads: the time a silent device makes a wait of seconds last.
static double SilentWait(int seconds)
{
    const int64_t readMs = 5000 + 10 * static_cast<int64_t>(RX_MAX);
    const int64_t reads = seconds > 0 ? (static_cast<int64_t>(seconds) * 1000 + readMs - 1) / readMs : 0;
    return static_cast<double>(reads * readMs) / 1000;
}

// Whole seconds left, rounded up, of the most the answer awaited may take.
static int SecondsLeft(const Run& run, RackClock::time_point now)
{
    const double left = SilentWait(run.WaitSeconds) - Seconds(run.WaitStart, now);
    return left > 0 ? static_cast<int>(left + 0.999) : 0;
}

namespace {

std::string StepText(const Run& run, RackClock::time_point now)
{
    const std::string line = "line " + std::to_string(run.Line) + ": ";
    // The console's last line, already escaped: what the unit said last.
    const std::string last = run.LastLine.empty() ? "" : "  < " + run.LastLine;
    switch (run.State) {
    case RunState::Queued:
        if (run.Retrying) {
            const double left = Seconds(now, run.RetryAt);
            return "trying again in " + std::to_string(left > 0 ? static_cast<int>(left + 0.999) : 0) + " s (attempt " +
                   std::to_string(run.Attempt + 1) + ")" + last;
        }
        return "queued";
    case RunState::Starting: return "starting";
    case RunState::Settling: return "settling";
    case RunState::Waking:
        return run.WaitSeconds > 0 ? "waking, up to " + std::to_string(SecondsLeft(run, now)) + " s left" : "waking";
    case RunState::Line: return line + run.Command + last;
    case RunState::Waiting:
        return line + "waiting up to " + std::to_string(SecondsLeft(run, now)) + " s for the answer to " + run.Command +
               last;
    case RunState::Key: return line + "waiting for a key: " + Shown(run.Partial);
    case RunState::Done: return run.Ok ? "done: " + run.Result : run.Interrupted ? run.Result : "failed: " + run.Result;
    }
    return "";
}

}  // namespace

std::string StateText(const Run& run, RackClock::time_point now)
{
    if (run.Notice) {
        return run.Result;
    }
    // A bench cable's unit is named by a script of its own before its run.
    return run.Identify && run.State != RunState::Done ? "identifying: " + StepText(run, now) : StepText(run, now);
}
