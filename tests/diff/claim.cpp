// The claim the differential test holds for every line, whatever the run
// does: a line that the run reads as a command, a label or a modem line, and
// whose reading leaves bytes unused (its line end aside) or sends a byte
// outside printable ASCII, draws a finding at that line that names its bytes.
// A comment is exempt: a "#" line whose word is no command of torvex, unless
// it is another language's command and no prose.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "diff/differential.h"
#include "script/labels.h"
#include "script/line.h"
#include "tools/check/checker.h"

namespace {

bool HoldsMoreThanBlanks(const char* text, Unread u)
{
    for (size_t i = u.From; i < u.To; i++) {
        if (!IsBlank(text[i])) {
            return true;
        }
    }
    return false;
}

// "#wait 5 seconds": a unit of seconds is what the run does.
bool SecondsAfter(const char* text, Unread after)
{
    std::string word(text + after.From, after.To - after.From);
    word = SkipBlanks(word.c_str());
    for (const char* s : {"s", "sec", "secs", "second", "seconds"}) {
        if (word.size() == std::string(s).size() && StartsWithNoCase(word.c_str(), s)) {
            return true;
        }
    }
    return false;
}

// A "#" line that is no command: a comment, unless its word (the letters
// after "#", a number run on to them aside: "#sleep20") is another language's
// command and the line is no prose.
bool ForeignCommandLine(const std::string& body)
{
    const char* text = body.c_str() + 1;
    size_t word = 0;
    while (IsLetter(text[word])) {
        word++;
    }
    size_t end = word;
    while (text[end] >= '0' && text[end] <= '9') {
        end++;
    }
    return word > 0 && !IsLetter(text[end]) && IsForeignCommand(std::string(text, word)) && !ReadsAsProse(body.c_str());
}

// A text condition that holds a byte beyond printable ASCII (a carriage
// return aside), which the run looks for as it stands. One byte may be a key.
bool OddCondition(const ScriptCommand& cmd)
{
    if (cmd.Id != CommandId::If || cmd.Condition == nullptr || strchr("<>=", cmd.Condition[0]) != nullptr ||
        strlen(cmd.Condition) < 2) {
        return false;
    }
    for (const char* c = cmd.Condition; *c != '\0'; c++) {
        const unsigned char u = static_cast<unsigned char>(*c);
        if ((u < 32 || u > 126) && u != '\r') {
            return true;
        }
    }
    return false;
}

bool CommandLeavesBytes(const std::string& body)
{
    const char* text = body.c_str() + 1;
    if (CommandOf(text) == nullptr) {
        return ForeignCommandLine(body);
    }
    const CommandUse use = UseOf(text);
    std::string copy = text;
    const ScriptCommand cmd = ReadCommand(&copy[0]);
    const bool numbered = cmd.Id == CommandId::Wait || cmd.Id == CommandId::Timeout;
    const char skipped = use.Skipped.To > use.Skipped.From ? text[use.Skipped.From] : ' ';
    if (numbered && (IsDigit(skipped) || skipped == '+' || skipped == '-')) {
        return true;
    }
    if (OddCondition(cmd)) {
        return true;
    }
    if (numbered && cmd.HasNumber && SecondsAfter(text, use.After)) {
        return false;
    }
    return HoldsMoreThanBlanks(text, use.Before) || HoldsMoreThanBlanks(text, use.After);
}

// One piece of a line as the run reads it.
bool LeavesBytes(const std::string& line)
{
    size_t n = line.size();
    while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n')) {
        n--;
    }
    const std::string body = line.substr(0, n);
    const LineKind kind = KindOf(line.c_str());
    const bool comment = kind == LineKind::Command && CommandOf(body.c_str() + 1) == nullptr && !ForeignCommandLine(body);
    if (kind != LineKind::Skipped && !comment && body.find('\0') != std::string::npos) {
        return true;  // the run reads up to the NUL
    }
    switch (kind) {
    case LineKind::Skipped: return false;
    case LineKind::Label: return body.size() - 1 > LABEL_MAX && !ReadsAsSeparator(body.c_str() + 1);
    case LineKind::Command: return CommandLeavesBytes(body);
    case LineKind::Modem: break;
    }
    for (const char c : body) {
        if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) {
            return true;
        }
    }
    return false;
}

// The findings that name a line's own bytes: one about its paths
// (unreachable, a missing label) does not account for them.
const char* const ByteCodes[] = {
    "unread-argument", "number-rest",     "number-position", "name-runs-on", "no-number",    "unknown-command",
    "foreign-command", "prose-command",   "if-never",        "if-no-number", "condition-rest", "condition-bytes",
    "condition-text",  "condition-blanks", "modem-bytes",    "non-ascii",    "invalid-utf8", "modem-comment",
    "read-as-modem",   "byte-order-mark", "blank-start",     "nul-byte",     "carriage-return", "long-line",
    "label-long",      "clock-text",      "clock-blank",     "shorthand-colon",
};

}  // namespace

bool AccountsForBytes(const std::string& code)
{
    return std::any_of(std::begin(ByteCodes), std::end(ByteCodes), [&](const char* c) { return code == c; });
}

std::vector<long> LinesToAccountFor(const std::string& script)
{
    std::vector<long> lines;
    long number = 1;
    // Piece by piece, as the run reads: a line longer than one read is more than one line to it.
    for (size_t at = 0; at < script.size();) {
        size_t end = at;
        while (end < script.size() && end - at < LINE_MAX_READ) {
            if (script[end++] == '\n') {
                break;
            }
        }
        if (LeavesBytes(script.substr(at, end - at)) && (lines.empty() || lines.back() != number)) {
            lines.push_back(number);
        }
        number += script[end - 1] == '\n' ? 1 : 0;
        at = end;
    }
    return lines;
}
