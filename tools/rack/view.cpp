// torvex-rack: the live view's rows and the summary. Every text from a device
// reaches here already escaped (Shown), so no byte can drive the terminal.
#include "view.h"

#include <algorithm>
#include <cstdio>

#include "record.h"

namespace {

std::string Fixed(double value, int decimals)
{
    char text[32];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The columns the character starting at text[at] takes: 2 for the wide
// characters of East Asian scripts (and emoji), 1 for any other, 0 for a
// byte inside a character.
size_t CharColumns(const std::string& text, size_t at)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    if ((lead & 0xC0) == 0x80) {
        return 0;
    }
    const size_t length = lead < 0x80 ? 1 : Utf8Length(text, at);
    if (length < 3) {
        return 1;
    }
    unsigned long code = lead & (0x7F >> length);
    for (size_t k = 1; k < length; k++) {
        code = (code << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
    }
    static const unsigned long wide[][2] = {{0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},
                                            {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
                                            {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},
                                            {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
                                            {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD}};
    for (const unsigned long* range : wide) {
        if (code >= range[0] && code <= range[1]) {
            return 2;
        }
    }
    return 1;
}

// The columns a text takes: a result may hold UTF-8 from a port's name.
size_t Width(const std::string& text)
{
    size_t width = 0;
    for (size_t at = 0; at < text.size(); at++) {
        width += CharColumns(text, at);
    }
    return width;
}

// The longest start of text that takes at most columns, never part of a character.
std::string Head(const std::string& text, size_t columns)
{
    size_t taken = 0;
    size_t at = 0;
    for (; at < text.size(); at++) {
        taken += CharColumns(text, at);
        if (taken > columns) {
            break;
        }
    }
    return text.substr(0, at);
}

// The longest end of text that takes at most columns.
std::string Tail(const std::string& text, size_t columns)
{
    size_t at = text.size();
    size_t taken = 0;
    for (size_t k = text.size(); k > 0; k--) {
        taken += CharColumns(text, k - 1);
        if (taken > columns) {
            break;
        }
        at = (static_cast<unsigned char>(text[k - 1]) & 0xC0) != 0x80 ? k - 1 : at;
    }
    return text.substr(at);
}

// text followed by blanks up to width columns.
std::string Padded(const std::string& text, size_t width)
{
    const size_t has = Width(text);
    return has >= width ? text : text + std::string(width - has, ' ');
}

// Cuts or pads text to exactly width columns; a cut one ends in "~".
std::string Fit(const std::string& text, size_t width)
{
    if (Width(text) <= width) {
        return Padded(text, width);
    }
    return width == 0 ? "" : Padded(Head(text, width - 1) + "~", width);
}

// Pads text to width columns, or cuts it in its middle: the end of a port's
// name (its serial number) or of a path (the file's name) is what tells it apart.
std::string CutMiddle(const std::string& text, size_t width)
{
    if (Width(text) <= width) {
        return Padded(text, width);
    }
    if (width < 2) {
        return Padded(Head(text, width), width);
    }
    const size_t head = (width - 1) / 3;
    const std::string start = Head(text, head);
    return Padded(start + "\u2026" + Tail(text, width - 1 - Width(start)), width);
}

// Pads text to width columns, or cuts it to width - 1 and an ellipsis.
std::string Cut(const std::string& text, size_t width)
{
    if (Width(text) <= width) {
        return Padded(text, width);
    }
    return width == 0 ? "" : Padded(Head(text, width - 1) + "\u2026", width);
}

std::string Bar(const Run& run, const ScriptMap& script, size_t width)
{
    size_t filled = 0;
    if (run.Notice) {
        return std::string(width + 2, ' ');  // no run
    }
    if (run.State == RunState::Done && run.Ok) {
        filled = width;
    } else if (!script.Texts.empty() && !run.Identify) {  // the unit's script has not begun
        filled = width * run.Line / script.Texts.size();
    }
    return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]";
}

// text in the colour of the run's outcome, from the position at on; text as it is
// when colour is off or the run is still going.
std::string Coloured(const std::string& text, size_t at, const Run& run, bool colour)
{
    if (!colour || run.State != RunState::Done || at >= text.size() || run.Interrupted || run.Notice) {
        return text;
    }
    return text.substr(0, at) + (run.Ok ? "\x1b[32m" : "\x1b[1;31m") + text.substr(at) + "\x1b[0m";
}

std::string PromptsJson(const Run& run)
{
    std::string json = "[";
    for (const PromptAnswer& p : run.Prompts) {
        json += std::string(json.size() > 1 ? ", " : "") + "{\"line\": " + std::to_string(p.Line) +
                ", \"key\": " + (p.Keyboard ? JsonString(p.Key) : "null") +
                ", \"keyboard\": " + (p.Keyboard ? "true" : "false") + ", \"time\": \"" + Timestamp(p.Time) + "\"}";
    }
    return json + "]";
}

}  // namespace

std::vector<std::string> ViewLines(const std::vector<Run>& runs, const ScriptMap& script, int columns, int rows,
                                   const std::string& prompt, RackClock::time_point now, bool colour)
{
    const size_t width = static_cast<size_t>(std::max(columns, 20) - 1);
    size_t nameWidth = 4;
    for (const Run& run : runs) {
        nameWidth = std::max(nameWidth, Width(UnitName(run)));
    }
    nameWidth = std::min(nameWidth, width / 3);
    const size_t barWidth = width >= 60 ? 10 : 0;
    // Room for the rows and, when needed, a line for those left out and the prompt.
    const size_t room = static_cast<size_t>(std::max(rows, 3) - 1) - (prompt.empty() ? 0 : 1);
    const size_t shown = runs.size() <= room ? runs.size() : room - 1;
    std::vector<std::string> lines;
    for (size_t i = 0; i < shown; i++) {
        const Run& run = runs[i];
        const RackClock::time_point end = run.State == RunState::Done ? run.End : now;
        const std::string elapsed = run.Started ? Fixed(Seconds(run.Start, end), 1) + "s" : "";
        std::string line = CutMiddle(UnitName(run), nameWidth) + " " + Fit(elapsed, 7) + " ";
        if (barWidth > 0) {
            line += Bar(run, script, barWidth) + " ";
        }
        const size_t state = line.size();
        line += StateText(run, now);
        line = Fit(line, width);
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        lines.push_back(Coloured(line, state, run, colour));
    }
    if (shown < runs.size()) {
        size_t done = 0;
        for (size_t i = shown; i < runs.size(); i++) {
            done += runs[i].State == RunState::Done ? 1 : 0;
        }
        lines.push_back(Fit("... and " + std::to_string(runs.size() - shown) + " more (" + std::to_string(done) +
                                " done)",
                            width));
    }
    if (!prompt.empty()) {
        lines.push_back(Fit(prompt, width));
    }
    for (std::string& line : lines) {
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        line += "\x1b[K\n";
    }
    return lines;
}

std::string SummaryTable(const std::vector<Run>& runs, const std::string& logDir, int columns, bool colour)
{
    size_t portWidth = 4;
    size_t resultWidth = 6;
    size_t pathWidth = 10;
    for (const Run& run : runs) {
        portWidth = std::max(portWidth, Width(UnitName(run)));
        resultWidth = std::max(resultWidth, Width(run.Result));
        pathWidth = std::max(pathWidth, Width(ShownLabel(run.TranscriptPath)));
    }
    const size_t fullPath = pathWidth;
    if (columns > 0) {
        // On a terminal the result has its room first, so that no row wraps:
        // then the unit's name, then the transcript, each cut in its middle.
        const size_t room = static_cast<size_t>(columns - 1);
        const size_t avail = room > 14 ? room - 14 : 0;  // less the time and the gaps
        const size_t minPort = std::min<size_t>(portWidth, 16);
        const size_t minPath = std::min<size_t>(pathWidth, 12);
        if (resultWidth + minPort + minPath > avail) {
            resultWidth = std::max(std::min<size_t>(resultWidth, 12),
                                   avail > minPort + minPath ? avail - minPort - minPath : 0);
        }
        const size_t left = avail > resultWidth ? avail - resultWidth : 0;
        portWidth = std::min(portWidth, std::max(minPort, left > minPath ? left - minPath : 0));
        pathWidth = std::min(pathWidth, std::max(minPath, left > portWidth ? left - portWidth : 0));
    }
    auto row = [&](const std::string& port, const std::string& result, const std::string& time,
                   const std::string& transcript) {
        std::string line = CutMiddle(port, portWidth) + "  " + Cut(result, resultWidth) + "  " + Fit(time, 8) +
                           "  " + (pathWidth < fullPath ? CutMiddle(transcript, pathWidth) : transcript);
        if (columns > 0 && Width(line) > static_cast<size_t>(columns - 1)) {
            line = Cut(line, static_cast<size_t>(columns - 1));  // names too long for any result to fit
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        return line + "\n";
    };
    std::string table = row("PORT", "RESULT", "TIME", "TRANSCRIPT");
    size_t ok = 0;
    size_t interrupted = 0;
    for (const Run& run : runs) {
        const std::string time = run.Started ? Fixed(Seconds(run.Start, run.End), 1) + " s" : "-";
        const std::string line = row(UnitName(run), run.Result, time, ShownLabel(run.TranscriptPath));
        const size_t resultAt = CutMiddle(UnitName(run), portWidth).size() + 2;
        table += Coloured(line.substr(0, line.size() - 1), resultAt, run, colour) + "\n";
        ok += run.Ok ? 1 : 0;
        interrupted += run.Interrupted ? 1 : 0;
    }
    table += std::to_string(runs.size()) + (runs.size() == 1 ? " port: " : " ports: ") + std::to_string(ok) +
             " ok, " + std::to_string(runs.size() - ok - interrupted) + " failed";
    if (interrupted > 0) {
        table += ", " + std::to_string(interrupted) + " interrupted";
    }
    return table + "; transcripts in " + Shown(logDir) + "\n";
}

std::string SummaryJson(const std::vector<Run>& runs, const std::string& script, const std::string& logDir,
                        double seconds)
{
    std::string json = "{\n  \"finished\": true,\n  \"script\": " + JsonString(script) + ",\n  \"log_dir\": " + JsonString(logDir) +
                       ",\n  \"ports\": [";
    size_t ok = 0;
    size_t interrupted = 0;
    for (size_t i = 0; i < runs.size(); i++) {
        const Run& run = runs[i];
        const std::string outcome = run.Ok ? "ok" : run.Interrupted ? "interrupted" : "failed";
        const bool exited = run.Started && run.Ended.signal == 0 && run.State == RunState::Done;
        json += std::string(i == 0 ? "" : ",") + "\n    {\"port\": " + JsonString(run.Port) +
                ", \"stable_name\": " + (run.Stable.empty() ? "null" : JsonString(run.Stable)) +
                ", \"label\": " + (run.Label.empty() ? "null" : JsonString(run.Label)) +
                ", \"attempts\": " + std::to_string(run.Started ? run.Attempt : 0) +
                ", \"outcome\": " + JsonString(outcome) + ", \"result\": " + JsonString(run.Result) +
                ", \"exit_status\": " + (exited ? std::to_string(run.Ended.status) : "null") +
                ", \"signal\": " + (run.Ended.signal != 0 ? std::to_string(run.Ended.signal) : "null") +
                ", \"line\": " + (run.Line > 0 ? std::to_string(run.Line) : "null") +
                ", \"command\": " + (run.Line > 0 ? JsonString(run.Command) : "null") +
                ", \"seconds\": " + (run.Started ? Fixed(Seconds(run.Start, run.End), 3) : "null") +
                ", \"prompts\": " + PromptsJson(run) + ", \"prompts_not_kept\": " + std::to_string(run.PromptsNotKept) +
                ", \"transcript\": " + JsonString(run.TranscriptPath) +
                ", \"transcript_cut\": " + (run.TranscriptCut.empty() ? "null" : JsonString(run.TranscriptCut)) + "}";
        ok += run.Ok ? 1 : 0;
        interrupted += run.Interrupted ? 1 : 0;
    }
    json += "\n  ],\n  \"totals\": {\"ports\": " + std::to_string(runs.size()) + ", \"ok\": " + std::to_string(ok) +
            ", \"failed\": " + std::to_string(runs.size() - ok - interrupted) +
            ", \"interrupted\": " + std::to_string(interrupted) + ", \"seconds\": " + Fixed(seconds, 3) + "}\n}\n";
    return json;
}
