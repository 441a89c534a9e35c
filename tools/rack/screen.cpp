// torvex-rack: what the technician sees and types. The live view's frame,
// the prompts of the runs, and the keys that answer them; a stop (Ctrl-Z)
// and the continue after it.
#include <algorithm>

#include "console.h"
#include "os.h"
#include "runner.h"
#include "view.h"

using SystemClock = std::chrono::system_clock;

namespace {

std::string PromptLine(const Rack& rack)
{
    if (rack.Asking.empty()) {
        return "";
    }
    const Run& run = rack.Runs[rack.Asking.front()];
    return UnitName(run) + " asks: " + Shown(run.Partial) + "  (press a key)";
}

}  // namespace

bool Draw(Rack& rack, bool ask)
{
    int columns = 80;
    int rows = 24;
    ConsoleSize(&columns, &rows);
    const RackClock::time_point now = RackClock::now();
    std::vector<std::string> lines;
    if (rack.Watching != nullptr) {
        std::string waiting;
        const std::vector<Run> shown = StationRows(rack, now, &waiting);
        lines = ViewLines(shown, rack.Script, columns, rows - 1, PromptLine(rack), now, rack.Colour);
        lines.push_back(waiting.substr(0, static_cast<size_t>(std::max(columns, 20) - 1)) + "\x1b[K\n");
    } else {
        lines = ViewLines(rack.Runs, rack.Script, columns, rows, PromptLine(rack), now, rack.Colour);
    }
    std::string frame;
    if (ConsoleDropped()) {
        rack.ViewHeight = 0;  // frames were lost: where the last one ended is not known
    }
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
    return ask ? ConsoleAsk(frame) : ConsoleWrite(frame);
}

void RecordAnswer(Run& run, bool keyboard, const std::string& key)
{
    PromptAnswer answer;
    answer.Line = run.Line;
    answer.Keyboard = keyboard;
    answer.Key = key;
    answer.Time = SystemClock::now();
    if (run.Prompts.size() < MaxPromptsKept) {
        run.Prompts.push_back(answer);
    } else {
        run.PromptsNotKept++;
    }
    const std::string at = "the prompt at line " + std::to_string(run.Line);
    // After the prompt's text, which its line end completes once the key is read.
    RunNote(run, keyboard ? "key " + key + " answers " + at : at + " had no keyboard");
}

// Only a prompt on the console is answered, and only by the first key of
// what came at once: the rest was typed ahead, for no prompt in particular.
void OnKeys(Rack& rack, const std::string& keys)
{
    if (rack.Asking.empty() && rack.Invited) {
        // Enter, typed once the station asked for it, starts the next unit; any other key does nothing.
        if (ConsoleAsked() && (keys[0] == '\r' || keys[0] == '\n')) {
            rack.Invited = false;
            StationNext(rack);
        }
        return;
    }
    if (rack.Asking.empty() || !rack.AskShown || !ConsoleAsked()) {
        return;
    }
    const size_t i = rack.Asking.front();
    rack.Asking.pop_front();
    rack.AskShown = false;
    SendKey(i, keys[0]);
    RecordAnswer(rack.Runs[i], true, ShownBytes(keys.substr(0, 1)));
}

// Shows the first prompt waiting; the console discards what was typed before it could be seen.
void ShowPrompt(Rack& rack)
{
    const Run& asking = rack.Runs[rack.Asking.front()];
    rack.AskShown = rack.Live ? Draw(rack, true) : Plain(rack, asking, "asks: " + Shown(asking.Partial) + "  (press a key)", true);
}

bool Invite(Rack& rack)
{
    if (rack.Live) {
        return Draw(rack, true);  // its last line says so
    }
    Run cable;
    cable.Port = StationIdle(rack);
    return Plain(rack, cable, "Enter starts the next unit", true);
}

// After a stop: the terminal as the rack wants it, the frame drawn anew below
// what the shell printed, and the prompt shown again.
void Resume(Rack& rack)
{
    ContinueChildren();
    if (rack.Keys) {
        TerminalKeys(true);
    }
    if (rack.Live) {
        ConsoleWrite("\x1b[?25l");
        rack.ViewHeight = 0;
    }
    rack.AskShown = false;
    rack.Invited = false;
}

void Stop(Rack& rack)
{
    if (rack.Live) {
        ConsoleWrite("\x1b[?25h");
    }
    TerminalKeys(false);
    // The cursor shown before the rack stops, where the terminal takes it.
    ConsoleSettle(1000);
    const RackClock::time_point stopped = RackClock::now();
    Suspend();
    RackStopped(rack, RackClock::now() - stopped);
    Resume(rack);
    rack.OwnStop = true;
}
