// The script checker's findings. A first pass indexes the labels as the run's
// scan does; a second goes through the lines in file order, as the run would
// with no jump taken, and follows what each one does. Memory grows with the
// number of labels only.
#include "tools/check/check.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "run/settings.h"
#include "run/text.h"
#include "script/labels.h"
#include "script/line.h"
#include "script/modem.h"
#include "script/source.h"
#include "serial/display.h"
#include "tools/check/label_table.h"
#include "tools/check/reader.h"

namespace {

void AppendEscaped(std::string* out, const char* bytes, size_t count)
{
    size_t i = 0;
    while (i < count) {
        size_t run = i;
        while (run < count && ShownAsIs(static_cast<unsigned char>(bytes[run]))) {
            run++;
        }
        out->append(bytes + i, run - i);
        if (run < count) {
            char escape[5];
            *out += EscapedByte(static_cast<unsigned char>(bytes[run]), escape);
            run++;
        }
        i = run;
    }
}

void AppendQuoted(std::string* out, const char* text)
{
    *out += '"';
    AppendEscaped(out, text, strlen(text));
    *out += '"';
}

std::string Quoted(const char* text)
{
    std::string out;
    AppendQuoted(&out, text);
    return out;
}

}  // namespace

std::string Escaped(const char* bytes, size_t count)
{
    std::string out;
    AppendEscaped(&out, bytes, count);
    return out;
}

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool IsLineEnd(char c)
{
    return c == '\r' || c == '\n' || c == '\0';
}

bool IsLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string WithoutBlanksAtEnd(const char* name)
{
    std::string s(name);
    while (!s.empty() && IsBlank(s.back())) {
        s.pop_back();
    }
    return s;
}

// The text without its line end, for messages.
std::string WithoutLineEnd(const char* text)
{
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n')) {
        n--;
    }
    return std::string(text, n);
}

// A misspelt command name: a letter wrong, missing, extra or swapped with the
// next (two for names over four letters), or the name cut short.
bool LooksLike(const std::string& word, const char* name)
{
    const std::string n = name;
    if (word.size() < 3) {
        return false;
    }
    if (word.size() < n.size() && StartsWithNoCase(name, word.c_str())) {
        return true;
    }
    const size_t a = word.size();
    const size_t b = n.size();
    const size_t allowed = b <= 4 ? 1 : 2;
    if ((a > b ? a - b : b - a) > allowed) {
        return false;
    }
    std::vector<std::vector<size_t>> d(a + 1, std::vector<size_t>(b + 1));
    for (size_t i = 0; i <= a; i++) {
        d[i][0] = i;
    }
    for (size_t j = 0; j <= b; j++) {
        d[0][j] = j;
    }
    for (size_t i = 1; i <= a; i++) {
        for (size_t j = 1; j <= b; j++) {
            const size_t cost = ToUpper(word[i - 1]) == n[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && ToUpper(word[i - 1]) == n[j - 2] && ToUpper(word[i - 2]) == n[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a][b] <= allowed;
}

std::string Lower(const char* name)
{
    std::string s(name);
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

class Checker {
public:
    Checker(const CheckOptions& options, const FindingSink& report) : Opt(options), Report(report) {}

    bool Run(FILE* in);

private:
    void IndexLabels(PieceReader* r);
    void Line(Piece* p);
    void LabelLine(Piece* p);
    void CommandLine(Piece* p);
    void ModemLine(Piece* p);
    void Comment(const Piece& p);
    void NumberCommand(long line, const std::string& word, char next, const ScriptCommand& cmd);
    void IfCommand(long line, const char* text, const ScriptCommand& cmd);
    void Jump(long line, const char* name, bool conditional);
    void LongLine(const Piece& p);
    void Emit(long line, Severity level, const char* code, const std::string& text);

    const CheckOptions& Opt;
    const FindingSink& Report;
    LabelTable Labels;
    std::string Message;  // the text of the commonest findings, built in place
    // Every label line's entry, in file order: the second pass meets them in
    // the same order and needs no look-up.
    std::vector<LabelInfo*> Definitions;
    size_t NextDefinition = 0;
    long Responses = 0;           // modem commands and prompts so far, in file order
    long Branches = 0;            // jumps and #if so far
    bool PromptAnswered = false;  // the last response in file order is a prompt's key
    long DisabledLine = 0;        // the line a directive keeps DisabledCodes off
    std::string DisabledCodes;    // ",code,code,"

    // A line longer than one read, while its pieces go by.
    size_t LongLength = 0;
    int LongPieces = 0;
    LineKind LongFirst = LineKind::Modem;
    std::string LongRest;  // what the run makes of the pieces after the first
    char LongTail[2] = {0, 0};
};

void Checker::Emit(long line, Severity level, const char* code, const std::string& text)
{
    if (line == DisabledLine && code != nullptr &&
        DisabledCodes.find(std::string(",") + code + ",") != std::string::npos) {
        return;
    }
    Report(Finding{line, level, code, text});
}

bool Checker::Run(FILE* in)
{
    UTC = Opt.Utc;
    const std::unique_ptr<PieceReader> reader(new PieceReader);  // its block is too big for the stack
    PieceReader* r = reader.get();
    StartReading(r, in);
    IndexLabels(r);
    bool ok = !r->Failed;
    if (ok) {
        rewind(in);
        StartReading(r, in);
        Piece p;
        while (NextPiece(r, &p)) {
            Line(&p);
        }
        ok = !r->Failed;
    }
    if (!ok) {
        ScriptReadFailed(r->Error);
    }
    return ok;
}

void Checker::IndexLabels(PieceReader* r)
{
    PieceView v;
    Piece p;
    while (NextPieceInPlace(r, &v)) {
        if (v.Bytes[0] != ':') {
            continue;
        }
        memcpy(p.Text, v.Bytes, v.Length);
        p.Text[v.Length] = '\0';
        char name[LABEL_MAX + 1];
        LabelLineName(p.Text, name);
        LabelInfo& info = Labels.Get(LabelKey(name));
        info.Winner = v.Line;
        Definitions.push_back(&info);
        const size_t n = strlen(name);
        if (n > 0 && IsBlank(name[n - 1])) {
            Labels.Get(LabelKey(WithoutBlanksAtEnd(name).c_str())).BlankEnded = v.Line;
        }
    }
}

void Checker::Line(Piece* p)
{
    const bool inLongLine = !p->First || p->Continues;
    if (inLongLine) {
        LongLine(*p);
    }
    switch (KindOf(p->Text)) {
    case LineKind::Skipped: break;
    case LineKind::Label: LabelLine(p); break;
    case LineKind::Command: CommandLine(p); break;
    case LineKind::Modem: ModemLine(p); break;
    }
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
    if (restHarmless && LongFirst != LineKind::Modem) {
        return;
    }
    size_t characters = LongLength;
    if (LongTail[1] == '\n') {
        characters--;
        if (LongTail[0] == '\r') {
            characters--;
        }
    }
    std::string text = "line of " + std::to_string(characters) + " characters is longer than one read (" +
                       std::to_string(LINE_MAX_READ) + "): ";
    if (LongFirst == LineKind::Modem) {
        text += "the run sends its first " + std::to_string(LINE_MAX_READ) + " characters with no line end";
        if (!restHarmless) {
            text += ", then ";
        }
    } else {
        text += "the run ";
    }
    if (!restHarmless) {
        const int more = LongPieces - 1;
        text += "reads the rest as " + std::to_string(more) + (more == 1 ? " more line: " : " more lines: ") + LongRest;
    }
    Emit(p.Line, Severity::Error, "long-line", text);
}

void Checker::LabelLine(Piece* p)
{
    char name[LABEL_MAX + 1];
    LabelLineName(p->Text, name);  // leaves the whole name, line ends removed, after the ":"
    // A file that grew between the passes is looked up like any name.
    LabelInfo& info =
        NextDefinition < Definitions.size() ? *Definitions[NextDefinition++] : Labels.Get(LabelKey(name));
    if (info.Winner == 0) {
        info.Winner = p->Line;
    }
    if (info.Winner != p->Line) {
        const std::string where = "line " + std::to_string(info.Winner);
        if (strlen(p->Text + 1) > LABEL_MAX) {
            Emit(p->Line, Severity::Error, "duplicate-label",
                 "label " + Quoted(p->Text + 1) + " is the same as the label on " + where + " in its first " +
                     std::to_string(LABEL_MAX) + " characters, which are all that count: jumps go there, never here");
        } else {
            Emit(p->Line, Severity::Error, "duplicate-label",
                 "label " + Quoted(name) + " is defined again on " + where + ": jumps go there, never here");
        }
        return;
    }
    info.Passed = true;
    info.ResponsesAt = Responses;
    info.BranchesAt = Branches;
    const size_t n = strlen(name);
    if (n > 0 && IsBlank(name[0])) {
        Emit(p->Line, Severity::Warning, "label-blank",
             "label " + Quoted(name) + " begins with a blank: a jump passes over the blanks before its name, so no jump reaches it");
    } else if (n > 0 && IsBlank(name[n - 1])) {
        Emit(p->Line, Severity::Warning, "label-blank",
             "label " + Quoted(name) + " ends in a blank: only a jump whose name ends in the same blanks reaches it");
    }
}

// "# torvex-check: disable=CODE,CODE" keeps those findings off the next line.
void Checker::Comment(const Piece& p)
{
    const char* t = SkipBlanks(p.Text + 1);
    const char* tag = "torvex-check:";
    if (!StartsWithNoCase(t, tag)) {
        return;
    }
    t = SkipBlanks(t + strlen(tag));
    if (!StartsWithNoCase(t, "disable=")) {
        return;
    }
    DisabledLine = p.Line + 1;
    DisabledCodes = "," + WithoutLineEnd(t + strlen("disable=")) + ",";
    DisabledCodes.erase(std::remove_if(DisabledCodes.begin(), DisabledCodes.end(), IsBlank), DisabledCodes.end());
}

void Checker::CommandLine(Piece* p)
{
    char* text = p->Text + 1;
    // Only a letter can begin a command name; "# text" and the like are comments.
    if (!IsLetter(text[0])) {
        Comment(*p);
        return;
    }
    size_t wordEnd = 0;
    while (IsLetter(text[wordEnd]) || IsDigit(text[wordEnd])) {
        wordEnd++;
    }
    const std::string word = "#" + std::string(text, wordEnd);
    // The name and the character after it, before ReadCommand edits the text.
    char head[COMMAND_NAME_MAX + 2] = {};
    strncpy(head, text, sizeof head - 1);
    const ScriptCommand cmd = ReadCommand(text);
    const long line = p->Line;
    if (cmd.Id == CommandId::None) {
        const std::string letters = word.substr(1, word.find_first_of("0123456789") - 1);
        for (const CommandName& name : CommandNames) {
            if (LooksLike(letters, name.Name)) {
                Emit(line, Severity::Error, "unknown-command",
                     word + " is no script command, so the run ignores the line: did you mean #" + Lower(name.Name) + "?");
                return;
            }
        }
        Emit(line, Severity::Warning, "unknown-command",
             word + " is no script command, so the run ignores the line (a comment is written \"# text\")");
        return;
    }
    const char next = head[cmd.NameLength];
    const bool runsOn = IsLetter(next) || (IsDigit(next) && cmd.Id != CommandId::Timeout && cmd.Id != CommandId::Wait);
    if (runsOn) {
        const std::string readAs = word + " is read as #" + std::string(head, cmd.NameLength);
        if (cmd.Id == CommandId::Print || cmd.Id == CommandId::Prompt) {
            Emit(line, Severity::Error, "name-runs-on",
                 readAs + ", so the run " + (cmd.Id == CommandId::Print ? "prints " : "shows ") + Quoted(cmd.Text) +
                     (cmd.Id == CommandId::Prompt ? " and waits for a key" : ""));
        } else if (cmd.Id == CommandId::Goto) {
            Emit(line, Severity::Warning, "name-runs-on", readAs + ", so the run jumps to " + Quoted(cmd.Text));
        } else {
            Emit(line, Severity::Warning, "name-runs-on", readAs);
        }
    }
    switch (cmd.Id) {
    case CommandId::Prompt:
        Responses++;
        PromptAnswered = true;
        break;
    case CommandId::Timeout:
    case CommandId::Wait:
        NumberCommand(line, word, next, cmd);
        break;
    case CommandId::Goto:
        Jump(line, cmd.Text, false);
        Branches++;
        break;
    case CommandId::If:
        IfCommand(line, text, cmd);
        Branches++;
        break;
    case CommandId::Utc:
    case CommandId::Nzst:
        UTC = cmd.Id == CommandId::Utc;
        break;
    default:
        break;
    }
}

void Checker::NumberCommand(long line, const std::string& word, char next, const ScriptCommand& cmd)
{
    const bool timeout = cmd.Id == CommandId::Timeout;
    const std::string does = !cmd.HasNumber ? (timeout ? "does nothing: the time-out stays as it was" : "waits for nothing")
                             : timeout      ? "sets the time-out to " + std::to_string(cmd.Number) + " s"
                                            : "waits " + std::to_string(cmd.Number) + " s";
    if (IsDigit(next) || next == '+' || next == '-') {
        std::string what = word + " passes over the character after the name, \"" + std::string(1, next) +
                           "\", and " + does;
        if (timeout && cmd.HasNumber && cmd.Number <= 0) {
            what += ": every modem command after it fails at once";
        }
        Emit(line, Severity::Error, "number-position", what);
        return;
    }
    if (!cmd.HasNumber) {
        Emit(line, Severity::Error, "no-number", word + " has no number, so it " + does);
    } else if (timeout && cmd.Number <= 0) {
        Emit(line, Severity::Warning, "number-value",
             word + " sets the time-out to " + std::to_string(cmd.Number) +
                 " s: every modem command after it fails at once, without waiting for an answer");
    } else if (!timeout && cmd.Number < 0) {
        Emit(line, Severity::Warning, "number-value", word + " of a negative time waits for nothing");
    }
}

bool HasLowerCase(const char* text)
{
    for (; *text != '\0'; text++) {
        if (*text >= 'a' && *text <= 'z') {
            return true;
        }
    }
    return false;
}

// text: as ReadCommand left it, which is as written when an #if has no condition.
void Checker::IfCommand(long line, const char* text, const ScriptCommand& cmd)
{
    if (cmd.Condition == nullptr) {
        Emit(line, Severity::Error, "if-never",
             strchr(text, '(') == nullptr ? "#if has no \"(\", so it never jumps"
                                              : "#if has no \")\" after its \"(\", so it never jumps");
        return;
    }
    const Condition c = ReadCondition(cmd.Condition);
    const auto shown = [&] { return "(" + Escaped(cmd.Condition, strlen(cmd.Condition)) + ")"; };
    switch (c.Kind) {
    case ConditionKind::Never:
        Emit(line, Severity::Error, "if-never", "#if has an empty condition, so it never jumps");
        return;
    case ConditionKind::Text: {
        const size_t n = strlen(cmd.Condition);
        if (IsBlank(cmd.Condition[0]) || IsBlank(cmd.Condition[n - 1])) {
            Emit(line, Severity::Warning, "condition-blanks",
                 "condition " + shown() + " is looked for in the response with its blanks");
        } else if (PromptAnswered && HasLowerCase(cmd.Condition)) {
            Emit(line, Severity::Warning, "condition-after-prompt",
                 "after #prompt the response is the key in upper case, so " + shown() + " never holds");
        }
        break;
    }
    default:
        if (!c.HasValue) {
            Emit(line, Severity::Error, "if-no-number",
                 "condition " + shown() + " has no number after \"" + std::string(1, cmd.Condition[0]) +
                     "\", so the run compares the response's number with 0");
        } else if (PromptAnswered) {
            Emit(line, Severity::Warning, "condition-after-prompt",
                 "after #prompt the response is one key, with no \":\" before a number, so " + shown() +
                     " never holds");
        }
        break;
    }
    Jump(line, cmd.Text, true);
}

void Checker::Jump(long line, const char* name, bool conditional)
{
    const LabelInfo* found = Labels.Find(LabelKey(name));
    if (found == nullptr || found->Winner == 0) {
        // A script can have one of these a line: built in one text kept for them.
        std::string& text = Message;
        text.assign("jumps to ");
        AppendQuoted(&text, name);
        text += ", which no label defines: the run prints Label ";
        AppendQuoted(&text, name);
        text += " not found. and goes on with the next line";
        const std::string trimmed = WithoutBlanksAtEnd(name);
        const LabelInfo* near = trimmed.size() < strlen(name) ? Labels.Find(LabelKey(trimmed.c_str())) : nullptr;
        if (near != nullptr && near->Winner != 0) {
            text += " (the name ends in a blank; the label on line " + std::to_string(near->Winner) + " does not)";
        } else if (found != nullptr && found->BlankEnded != 0) {
            text += " (the label on line " + std::to_string(found->BlankEnded) + " ends in a blank; the name does not)";
        }
        Emit(line, Severity::Error, "missing-label", text);
        return;
    }
    const LabelInfo& info = *found;
    if (!info.Passed || info.ResponsesAt != Responses) {
        return;
    }
    const std::string back = "jumps back to " + Quoted(name) + " on line " + std::to_string(info.Winner) +
                             " with no modem command or prompt in between";
    if (conditional) {
        Emit(line, Severity::Warning, "endless-loop",
             back + ": the response cannot change, so once the condition holds it holds every time, "
                    "and the run loops forever");
    } else if (info.BranchesAt == Branches) {
        Emit(line, Severity::Error, "endless-loop", back + ", so the run loops forever");
    } else {
        Emit(line, Severity::Warning, "endless-loop",
             back + ": the response cannot change, so an #if in the loop takes the same branch every time, "
                    "and the loop may never end");
    }
}

// The piece becomes the bytes the run writes for it.
void Checker::ModemLine(Piece* piece)
{
    const Piece& p = *piece;
    const long line = p.Line;
    const bool inLongLine = !p.First || p.Continues;
    Responses++;
    PromptAnswered = false;
    const size_t length = strlen(p.Text);
    bool lineEndChecked = inLongLine;
    if (line == 1 && p.First && strncmp(p.Text, "\xEF\xBB\xBF", 3) == 0) {
        Emit(line, Severity::Error, "byte-order-mark",
             "the file begins with a UTF-8 byte order mark, so the run sends this line to the device, mark and all");
    } else if (length < p.Length) {
        Emit(line, Severity::Error, "nul-byte",
             length == 0 ? "line begins with a NUL byte: the run sends nothing for it and waits for an answer"
                         : "line holds a NUL byte: the run sends only the " + std::to_string(length) +
                               " characters before it");
        lineEndChecked = true;
    } else if (IsBlank(p.Text[0])) {
        const char* rest = SkipBlanks(p.Text);
        if (*rest == '#' || *rest == ':') {
            Emit(line, Severity::Error, "blank-start",
                 std::string("line begins with a blank, so it is not a ") + (*rest == '#' ? "script command" : "label") +
                     ": the run sends it to the device");
        } else if (IsLineEnd(*rest)) {
            Emit(line, Severity::Warning, "blank-start",
                 "line holds only blanks, which the run sends to the device as a modem command");
        } else {
            Emit(line, Severity::Warning, "blank-start", "line begins with a blank, which the run sends to the device too");
        }
    }

    const bool endsInLineFeed = length > 0 && p.Text[length - 1] == '\n';
    char* wire = piece->Text;
    ExpandShorthand(wire);
    const bool clock = IsClockCommand(wire);
    if (clock) {
        const std::string dropped = WithoutLineEnd(SkipBlanks(wire + 8));
        if (!dropped.empty()) {
            Message.assign("the run fills in the clock command with the current time and drops ");
            AppendQuoted(&Message, dropped.c_str());
            Emit(line, Severity::Warning, "clock-text", Message);
        }
        // Filled in, it always ends in CR LF.
        if (!Opt.Wire) {
            return;
        }
    }
    PrepareWire(wire, Opt.Now);  // the shorthand, already expanded, stays as it is
    const size_t n = strlen(wire);
    const char* cr = strchr(wire, '\r');
    const size_t at = cr != nullptr ? static_cast<size_t>(cr - wire) : n;
    const bool endsInCr = at + 1 == n || (at + 2 == n && wire[n - 1] == '\n');
    if (cr != nullptr && !endsInCr) {
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
    if (Opt.Wire) {
        Emit(line, Severity::Note, nullptr, "sends " + Quoted(wire));
    }
}

}  // namespace

bool CheckScript(FILE* in, const CheckOptions& options, const FindingSink& report)
{
    Checker checker(options, report);
    return checker.Run(in);
}
