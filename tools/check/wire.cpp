// Findings about what the run writes: a modem command line's bytes, whether
// the device can tell where the command ends, and lines longer than one read.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "run/settings.h"
#include "run/text.h"
#include "script/labels.h"
#include "script/modem.h"
#include "serial/display.h"
#include "tools/check/checker.h"

namespace {

bool IsLineEnd(char c)
{
    return c == '\r' || c == '\n' || c == '\0';
}

std::string DroppedClockText(const char* wire)
{
    std::string s = SkipBlanks(wire + 8);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) {
        s.pop_back();
    }
    return s;
}

// Whether some stretch after a carriage return inside the text begins as a
// script command or a label would.
bool CommandsAfterCarriageReturn(const char* text)
{
    for (const char* cr = strchr(text, '\r'); cr != nullptr; cr = strchr(cr + 1, '\r')) {
        const char* rest = cr + strspn(cr, "\r\n");
        if (*rest == '#' || *rest == ':') {
            return true;
        }
    }
    return false;
}

const char* WhatTheRunMakesOf(LineKind kind)
{
    switch (kind) {
    case LineKind::Skipped: return "an empty line";
    case LineKind::Label: return "a label";
    case LineKind::Command: return "a script command";
    case LineKind::Modem: return "a modem command";
    }
    return "";
}

}  // namespace

namespace {

// Word arithmetic, eight bytes at a time: the high bit of each byte that is
// below 32, 127, or 128 or more (not shown as it is), or equal to c.
constexpr uint64_t ONES = 0x0101010101010101ULL;
constexpr uint64_t HIGH = 0x8080808080808080ULL;

uint64_t NotShown(uint64_t x)
{
    const uint64_t del = x ^ (ONES * 127);
    return (((x - ONES * 32) & ~x) | x | ((del - ONES) & ~del)) & HIGH;
}

uint64_t Equal(uint64_t x, char c)
{
    const uint64_t v = x ^ (ONES * static_cast<unsigned char>(c));
    return (v - ONES) & ~v & HIGH;
}

}  // namespace

bool PrintableLine(const PieceView& v)
{
    const char* b = v.Bytes;
    const size_t n = v.Length;
    if (!v.First || v.Continues || n < 2 || b[n - 1] != '\n' || b[n - 2] != '\r') {
        return false;
    }
    const size_t text = n - 2;
    if (text < 8) {
        return std::all_of(b, b + text, [](char c) { return ShownAsIsOnTerminal(static_cast<unsigned char>(c)); });
    }
    uint64_t x = 0;
    for (size_t i = 0; i + 8 < text; i += 8) {
        memcpy(&x, b + i, 8);
        if (NotShown(x) != 0) {
            return false;
        }
    }
    // The last eight bytes, which may overlap those before.
    memcpy(&x, b + text - 8, 8);
    return NotShown(x) == 0;
}

size_t PlainWords(const char* text, size_t length)
{
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t x = 0;
        memcpy(&x, text + i, 8);
        if ((NotShown(x) | Equal(x, '#') | Equal(x, '"')) != 0) {
            break;
        }
    }
    return i;
}

void Checker::LongLine(const Piece& p)
{
    const LineKind kind = KindOf(p.Text);
    if (p.First) {
        LongLength = 0;
        LongPieces = 0;
        LongFirst = kind;
        LongRest.clear();
    } else if (LongRest.find(WhatTheRunMakesOf(kind)) == std::string::npos) {
        LongRest += LongRest.empty() ? "" : ", ";
        LongRest += WhatTheRunMakesOf(kind);
    }
    if (p.First) {
        LongFirstEnd = p.Text[p.Length - 1];
    }
    LongLength += p.Length;
    LongPieces++;
    if (p.Length >= 2) {
        LongTail[0] = p.Text[p.Length - 2];
    } else {
        LongTail[0] = LongTail[1];
    }
    LongTail[1] = p.Text[p.Length - 1];
    if (p.Continues) {
        return;
    }
    // A line of 399 characters and its line end: the line end alone is skipped.
    const bool restHarmless = LongRest == WhatTheRunMakesOf(LineKind::Skipped);
    // A modem command whose carriage return fits the first read is sent whole.
    if (restHarmless && (LongFirst != LineKind::Modem || LongFirstEnd == '\r')) {
        return;
    }
    size_t characters = LongLength;
    if (LongTail[1] == '\n') {
        characters--;
        if (LongTail[0] == '\r') {
            characters--;
        }
    }
    // One a long line: built in the text kept for the commonest findings.
    std::string& text = Message;
    text.assign("line of ");
    AppendNumber(&text, static_cast<long>(characters));
    text += " characters is longer than one read (";
    AppendNumber(&text, LINE_MAX_READ);
    text += "): ";
    if (LongFirst == LineKind::Modem) {
        text += "the run sends its first ";
        AppendNumber(&text, LINE_MAX_READ);
        text += " characters with no line end";
        if (!restHarmless) {
            text += ", then ";
        }
    } else {
        text += "the run ";
    }
    if (!restHarmless) {
        const int more = LongPieces - 1;
        text += "reads the rest as ";
        AppendNumber(&text, more);
        text += more == 1 ? " more line: " : " more lines: ";
        text += LongRest;
    }
    Emit(p.Line, Severity::Error, "long-line", text);
}

// A modem command line of no interest: it ends in CR LF, holds no other
// control byte, no byte beyond ASCII and no "#" after a blank, begins with no
// blank, shorthand or ";", and is no clock command. The run sends it as it
// is, line feed or not, and it ends in a carriage return.
bool Checker::PlainModemLine(const PieceView& v) const
{
    const char* b = v.Bytes;
    const size_t n = v.Length;
    const char first = b[0];
    // Nor does it begin as another language's comment or a quoted line would.
    if (Opt.Wire || first == ':' || first == '#' || first == '^' || first == ';' || IsBlank(first) || first == '/' ||
        first == '-' || first == '\'' || first == '"' || ToUpper(first) == 'R' || !PrintableLine(v)) {
        return false;
    }
    // A "#" after a blank may be meant as a comment.
    for (const char* hash = static_cast<const char*>(memchr(b, '#', n - 2)); hash != nullptr;
         hash = static_cast<const char*>(memchr(hash + 1, '#', static_cast<size_t>(b + n - 2 - hash - 1)))) {
        if (hash > b && IsBlank(hash[-1])) {
            return false;
        }
    }
    // The clock command's name stops at the CR, so the look past it is safe;
    // one with a blank before its "=" is looked at too.
    return !StartsWithNoCase(b, "AT^QRTC");
}

// The piece becomes the bytes the run writes for it.
void Checker::ModemLine(Piece* piece)
{
    KeepValue(piece->Text, strlen(piece->Text), NodeCount);
    PathFindings(NodeCount++);
    const Piece& p = *piece;
    const long line = p.Line;
    const bool inLongLine = !p.First || p.Continues;
    const size_t length = strlen(p.Text);
    bool lineEndChecked = inLongLine;
    if (p.First && strncmp(p.Text, "\xEF\xBB\xBF", 3) == 0) {
        Emit(line, Severity::Error, "byte-order-mark",
             line == 1 ? "the file begins with a UTF-8 byte order mark, so the run sends this line to the device, mark "
                         "and all"
                       : "line begins with a UTF-8 byte order mark, as where files were joined, so the run sends it to "
                         "the device, mark and all");
    } else if (length < p.Length) {
        Emit(line, Severity::Error, "nul-byte",
             length == 0 ? "line begins with a NUL byte: the run sends nothing for it and waits for an answer"
                         : "line holds a NUL byte: the run sends only the " + std::to_string(length) +
                               " characters before it");
        lineEndChecked = true;
    } else if (p.First && IsBlank(p.Text[0])) {
        // The rest of a long line is named by its long-line finding: a line
        // of blanks makes one finding, not one a read.
        const char* rest = SkipBlanks(p.Text);
        if (StartsWithNoCase(rest, "^Q") || StartsWithNoCase(rest, "AT^QRTC")) {
            Emit(line, Severity::Error, "blank-start",
                 std::string("line begins with a blank, so the run ") +
                     (StartsWithNoCase(rest, "^QRTC") || StartsWithNoCase(rest, "AT^QRTC")
                          ? "does not fill in the clock command: it sends it as written, without the time"
                          : "does not put \"AT\" in front of the shorthand: it sends it as written"));
        } else if (*rest == '#' || *rest == ':') {
            Emit(line, Severity::Error, "blank-start",
                 std::string("line begins with a blank, so it is not a ") + (*rest == '#' ? "script command" : "label") +
                     ": the run sends it to the device");
        } else if (IsLineEnd(*rest)) {
            Emit(line, Severity::Error, "blank-start",
                 "line holds only blanks, which the run sends to the device as a modem command");
        } else {
            Emit(line, Severity::Warning, "blank-start", "line begins with a blank, which the run sends to the device too");
        }
    }
    if (p.First) {
        DeviceCannotTake(line, p.Text, length, p.Continues);
    }
    const bool commandsInside = CommandsAfterCarriageReturn(p.Text);
    const bool endsInLineFeed = length > 0 && p.Text[length - 1] == '\n';
    char* wire = piece->Text;
    ExpandShorthand(wire);
    const bool clock = IsClockCommand(wire);
    // "AT^QRTC =": a blank before the "=" keeps the run from filling it in.
    const char* afterName = StartsWithNoCase(wire, "AT^QRTC") ? SkipBlanks(wire + 7) : nullptr;
    if (afterName != nullptr && afterName > wire + 7 && *afterName == '=') {
        Message.assign("the clock command has a blank before its \"=\", so the run does not fill it in: it sends ");
        AppendQuoted(&Message, WithoutLineEnd(wire).c_str());
        Message += " as written, without the time";
        Emit(line, Severity::Error, "clock-blank", Message);
    }
    if (clock) {
        const std::string dropped = DroppedClockText(wire);
        if (!dropped.empty()) {
            Message.assign("the run fills in the clock command with the current time and drops ");
            AppendQuoted(&Message, dropped.c_str());
            Emit(line, Severity::Error, "clock-text", Message);
        }
        // Filled in, it always ends in CR LF.
        if (!Opt.Wire) {
            return;
        }
    }
    // The clock command in the time base of each path that reaches it.
    const Node* node = NodeAt(NodeCount - 1);
    const uint8_t bases = clock && node != nullptr && node->Kind == NODE_MODEM ? node->Reach & (BASE_UTC | BASE_NZST) : 0;
    std::string otherBase;
    if (bases == (BASE_UTC | BASE_NZST)) {
        char nzst[LINE_BUFFER_SIZE];
        memcpy(nzst, wire, sizeof nzst);
        UTC = false;
        PrepareWire(nzst, Opt.Now);
        otherBase = Quoted(nzst);
    }
    const bool fileOrder = UTC;
    if (bases != 0) {
        UTC = (bases & BASE_UTC) != 0;
    }
    PrepareWire(wire, Opt.Now);  // the shorthand, already expanded, stays as it is
    UTC = fileOrder;
    const size_t n = strlen(wire);
    const char* cr = strchr(wire, '\r');
    // Carriage returns and line feeds from the first carriage return on end the line.
    const bool endsInCr = cr != nullptr && cr[strspn(cr, "\r\n")] == '\0';
    if (commandsInside) {
        Emit(line, Severity::Error, "carriage-return",
             "line holds carriage returns without line feeds, which do not end a line for the run: it sends what "
             "follows them to the device with this line, as one modem command, script commands and labels too");
    } else if (cr != nullptr && !endsInCr) {
        Emit(line, Severity::Warning, "carriage-return",
             "line holds a carriage return before its end: the device gets " + Quoted(wire) +
                 " in one write, and the run waits for one answer");
    } else if (!lineEndChecked && !clock && !endsInCr) {
        const std::string sent = Quoted(wire);
        if (n > 0 && wire[n - 1] == '\n') {
            Emit(line, Severity::Warning, "line-end",
                 "line ends in a line feed only: the run sends " + sent + ", with no carriage return");
        } else if (endsInLineFeed) {
            Emit(line, Severity::Error, "line-end",
                 "line ends in a line feed only, which the run removes from a plain command: it sends " + sent +
                     " with no line end, and the device never sees the command end");
        } else {
            Emit(line, Severity::Error, "line-end",
                 "the file's last line has no line end: the run sends " + sent +
                     " with none, and the device never sees the command end");
        }
    }
    if (Opt.Wire && !otherBase.empty()) {
        Emit(line, Severity::Note, nullptr,
             "sends " + Quoted(wire) + " in UTC or " + otherBase + " in New Zealand time, as the path that reaches it sets");
    } else if (Opt.Wire) {
        Emit(line, Severity::Note, nullptr, "sends " + Quoted(wire));
    }
}
