// The claim the differential test holds for every line, whatever the run
// does: a line that the run reads as a command, a label or a modem line, and
// whose reading leaves bytes unused (its line end aside) or sends a byte
// outside printable ASCII, draws a finding at that line.
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

bool CommandLeavesBytes(const std::string& body)
{
    const char* text = body.c_str() + 1;
    if (CommandOf(text) == nullptr) {
        // A comment, unless it is another language's command and no prose.
        size_t word = 0;
        while (IsLetter(text[word]) || IsDigit(text[word])) {
            word++;
        }
        return IsLetter(text[0]) && IsForeignCommand(std::string(text, word)) && !ReadsAsProse(body.c_str());
    }
    const CommandUse use = UseOf(text);
    const ScriptCommand cmd = [&] {
        std::string copy = text;
        return ReadCommand(&copy[0]);
    }();
    const bool numbered = cmd.Id == CommandId::Wait || cmd.Id == CommandId::Timeout;
    const char skipped = use.Skipped.To > use.Skipped.From ? text[use.Skipped.From] : ' ';
    if (numbered && (IsDigit(skipped) || skipped == '+' || skipped == '-')) {
        return true;
    }
    if (numbered && cmd.HasNumber && SecondsAfter(text, use.After)) {
        return false;
    }
    return HoldsMoreThanBlanks(text, use.Before) || HoldsMoreThanBlanks(text, use.After);
}

bool LeavesBytes(const std::string& line)
{
    size_t n = line.size();
    while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n')) {
        n--;
    }
    const std::string body = line.substr(0, n);
    const LineKind kind = KindOf(line.c_str());
    const bool comment = kind == LineKind::Command && !CommandLeavesBytes(body) && CommandOf(body.c_str() + 1) == nullptr;
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

}  // namespace

std::vector<long> LinesToAccountFor(const std::string& script)
{
    std::vector<long> lines;
    long number = 1;
    for (size_t at = 0; at < script.size(); number++) {
        size_t end = script.find('\n', at);
        end = end == std::string::npos ? script.size() : end + 1;
        // A line of one read: a longer one has its own finding.
        if (end - at <= LINE_MAX_READ && LeavesBytes(script.substr(at, end - at))) {
            lines.push_back(number);
        }
        at = end;
    }
    return lines;
}
