// Findings about each line by itself: what the run makes of its bytes, its
// command name, its number, its label, its line end.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "run/settings.h"
#include "run/text.h"
#include "script/labels.h"
#include "script/modem.h"
#include "tools/check/checker.h"

namespace {

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

// What follows the first carriage return that does not end the text: null
// when every carriage return is part of the line end.
const char* AfterInnerCarriageReturn(const char* text)
{
    for (const char* cr = strchr(text, '\r'); cr != nullptr; cr = strchr(cr + 1, '\r')) {
        const char* rest = cr + strspn(cr, "\r\n");
        if (*rest != '\0') {
            return rest;
        }
    }
    return nullptr;
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

bool IsControl(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return (u < 32 && c != '\t') || u == 127;
}

const char* const NotLineEnd =
    "line holds a carriage return without a line feed, which does not end a line for the run: ";

}  // namespace

void Checker::Line(const PieceView& v)
{
    // Most lines say nothing and are passed over without a copy: a whole
    // empty line, and a whole plain modem command.
    const bool whole = v.First && !v.Continues;
    if (whole && (v.Bytes[0] == '\n' || v.Bytes[0] == '\r')) {
        return;
    }
    if (whole && (PlainModemLine(v) || PlainCommandLine(v))) {
        PathFindings(NodeCount++);
        return;
    }
    if (whole && PlainLabelLine(v)) {
        return;
    }
    Piece p;
    memcpy(p.Text, v.Bytes, v.Length);
    p.Text[v.Length] = '\0';
    p.Length = v.Length;
    p.Line = v.Line;
    p.First = v.First;
    p.Continues = v.Continues;
    LineRead(&p);
}

// A command line of no interest: it ends in CR LF with no other CR, has no NUL,
// and is a command whose name stands alone and that takes no number, no jump
// and no clock setting, with no control byte in a message.
bool Checker::PlainCommandLine(const PieceView& v)
{
    const char* b = v.Bytes;
    const size_t n = v.Length;
    if (b[0] != '#' || n < 3 || b[n - 1] != '\n' || b[n - 2] != '\r' || !IsLetter(b[1]) ||
        memchr(b, '\r', n - 2) != nullptr || memchr(b, '\0', n) != nullptr) {
        return false;
    }
    // The name stops at the CR at the latest.
    const CommandName* name = CommandOf(b + 1);
    if (name == nullptr) {
        return false;
    }
    const char* rest = b + 1 + strlen(name->Name);
    const char* end = b + n - 2;
    if (rest < end && (IsLetter(*rest) || IsDigit(*rest))) {
        return false;
    }
    switch (name->Id) {
    case CommandId::Debug:
    case CommandId::NoDebug:
    case CommandId::Bell:
        return true;
    case CommandId::Print:
    case CommandId::Prompt:
        return std::find_if(rest, end, IsControl) == end;
    default:
        return false;
    }
}

// A label line of no interest, passed over: it ends in CR LF with no other CR,
// has no NUL, is where its jumps go, and its name neither begins nor ends in a
// blank.
bool Checker::PlainLabelLine(const PieceView& v)
{
    const char* b = v.Bytes;
    const size_t n = v.Length;
    if (b[0] != ':' || n < 3 || b[n - 1] != '\n' || b[n - 2] != '\r' || NextDefinition >= Definitions.size() ||
        Definitions[NextDefinition]->Winner != v.Line || memchr(b, '\r', n - 2) != nullptr ||
        memchr(b, '\0', n) != nullptr) {
        return false;
    }
    const size_t name = std::min<size_t>(n - 3, LABEL_MAX);
    if (name > 0 && (IsBlank(b[1]) || IsBlank(b[name]))) {
        return false;
    }
    NextDefinition++;
    return true;
}

void Checker::LineRead(Piece* p)
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

void Checker::LabelLine(Piece* p)
{
    if (strlen(p->Text) < p->Length) {
        Emit(p->Line, Severity::Error, "nul-byte",
             "label line holds a NUL byte: the label's name ends before it, so jumps by the whole name do not find it");
    } else if (AfterInnerCarriageReturn(p->Text) != nullptr) {
        Emit(p->Line, Severity::Error, "carriage-return",
             std::string(NotLineEnd) + "the label's name takes in what follows, and those lines never run");
    }
    char name[LABEL_MAX + 1];
    LabelLineName(p->Text, name);  // leaves the whole name, line ends removed, after the ":"
    // A file that grew between the readings is looked up like any name.
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

// A "#" word near a command name is a misspelling; any other is a comment.
void Checker::UnknownCommand(long line, const std::string& word)
{
    const std::string letters = word.substr(1, word.find_first_of("0123456789") - 1);
    for (const CommandName& name : CommandNames) {
        if (LooksLike(letters, name.Name)) {
            Emit(line, Severity::Error, "unknown-command",
                 word + " is no script command, so the run ignores the line: did you mean #" + Lower(name.Name) + "?");
            return;
        }
    }
}

void Checker::CommandLine(Piece* p)
{
    PathFindings(NodeCount);
    const Node* node = NodeAt(NodeCount++);
    char* text = p->Text + 1;
    const long line = p->Line;
    const size_t length = strlen(p->Text);
    if (length == p->Length && AfterInnerCarriageReturn(p->Text) != nullptr) {
        Emit(line, Severity::Error, "carriage-return",
             std::string(NotLineEnd) + "it takes what follows as part of this line, and those lines never run");
    }
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
    if (cmd.Id == CommandId::None) {
        UnknownCommand(line, word);
        return;
    }
    if (length < p->Length) {
        Emit(line, Severity::Error, "nul-byte",
             "line holds a NUL byte: the run reads only the " + std::to_string(length) + " characters before it");
    }
    const char next = head[cmd.NameLength];
    const bool numbered = cmd.Id == CommandId::Timeout || cmd.Id == CommandId::Wait;
    const bool runsOn = IsLetter(next) || (IsDigit(next) && !numbered);
    if (runsOn) {
        const std::string readAs = word + " is read as #" + std::string(head, cmd.NameLength);
        if (cmd.Id == CommandId::Print || cmd.Id == CommandId::Prompt) {
            Emit(line, Severity::Error, "name-runs-on",
                 readAs + ", so the run " + (cmd.Id == CommandId::Print ? "prints " : "shows ") + Quoted(cmd.Text) +
                     (cmd.Id == CommandId::Prompt ? " and waits for a key" : ""));
        } else if (cmd.Id == CommandId::Goto) {
            Emit(line, Severity::Warning, "name-runs-on", readAs + ", so the run jumps to " + Quoted(cmd.Text));
        } else if (numbered && !cmd.HasNumber) {
            // "#Waiting for the unit" does nothing, which its author meant.
            Emit(line, Severity::Warning, "name-runs-on",
                 readAs + ", which finds no number after it and does nothing");
            return;
        } else {
            Emit(line, Severity::Warning, "name-runs-on", readAs);
        }
    }
    switch (cmd.Id) {
    case CommandId::Timeout:
    case CommandId::Wait:
        NumberCommand(line, word, next, cmd, node);
        NumberRest(line, word, text, cmd);
        break;
    case CommandId::Print:
    case CommandId::Prompt:
        ShownText(line, word, cmd.Text);
        break;
    case CommandId::Goto:
        Jump(line, cmd.Text);
        break;
    case CommandId::If:
        IfCommand(line, text, cmd);
        if (node != nullptr && cmd.Condition != nullptr) {
            IfPaths(line, cmd.Condition, *node);
        }
        if (cmd.Condition != nullptr && ReadCondition(cmd.Condition).Kind != ConditionKind::Never) {
            Jump(line, cmd.Text);
        }
        break;
    case CommandId::Utc:
    case CommandId::Nzst:
        UTC = cmd.Id == CommandId::Utc;
        break;
    default:
        break;
    }
}

void Checker::NumberCommand(long line, const std::string& word, char next, const ScriptCommand& cmd,
                            const Node* node)
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
        // Surely fails when a modem command can come next with this time-out.
        const bool fails = node != nullptr && node->Reach != 0 && (node->Flags & MODEM_AHEAD) != 0;
        Emit(line, fails ? Severity::Error : Severity::Warning, "number-value",
             word + " sets the time-out to " + std::to_string(cmd.Number) +
                 " s: every modem command after it fails at once, without waiting for an answer");
    } else if (!timeout && cmd.Number < 0) {
        Emit(line, Severity::Warning, "number-value", word + " of a negative time waits for nothing");
    }
}

// "#wait 1.5" and "#wait 1m" read 1: what follows the digits is ignored.
void Checker::NumberRest(long line, const std::string& word, const char* text, const ScriptCommand& cmd)
{
    if (!cmd.HasNumber || text[cmd.NameLength] == '\0') {
        return;
    }
    const char* at = text + cmd.NameLength + 1;
    at += strspn(at, " \t\n\v\f\r");
    at += *at == '+' || *at == '-' ? 1 : 0;
    at += strspn(at, "0123456789");
    if (*at == '\0' || IsBlank(*at) || *at == '\r' || *at == '\n') {
        return;
    }
    const std::string rest = WithoutLineEnd(at);
    Emit(line, Severity::Warning, "number-rest",
         word + " reads the number " + std::to_string(cmd.Number) + " and ignores " + Quoted(rest.c_str()) +
             " after it: the run " + (cmd.Id == CommandId::Wait ? "waits " : "sets the time-out to ") +
             std::to_string(cmd.Number) + " s");
}

void Checker::ShownText(long line, const std::string& word, const char* text)
{
    if (std::find_if(text, text + strlen(text), IsControl) == text + strlen(text)) {
        return;
    }
    Emit(line, Severity::Warning, "control-bytes",
         word + " text " + Quoted(text) + " holds control bytes, which reach the terminal as they are");
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
    switch (c.Kind) {
    case ConditionKind::Never:
        Emit(line, Severity::Error, "if-never", "#if has an empty condition, so it never jumps");
        return;
    case ConditionKind::Text: {
        const size_t n = strlen(cmd.Condition);
        if (IsBlank(cmd.Condition[0]) || IsBlank(cmd.Condition[n - 1])) {
            Emit(line, Severity::Warning, "condition-blanks",
                 "condition (" + Escaped(cmd.Condition, n) + ") is looked for in the response with its blanks");
        }
        break;
    }
    default:
        if (!c.HasValue) {
            Emit(line, Severity::Error, "if-no-number",
                 "condition (" + Escaped(cmd.Condition, strlen(cmd.Condition)) + ") has no number after \"" +
                     std::string(1, cmd.Condition[0]) + "\", so the run compares the response's number with 0");
        }
        break;
    }
}

void Checker::Jump(long line, const char* name)
{
    // The graph knows whether the label is there; the table is asked only for the hints.
    const Node* node = NodeAt(NodeCount - 1);
    if (node != nullptr && node->Kind != NODE_GOTO && node->Kind != NODE_IF) {
        node = nullptr;  // the file changed between the readings
    }
    if (node != nullptr && node->Target != NO_NODE) {
        return;
    }
    const bool hint = node == nullptr || (node->Flags & NAME_HINT) != 0;
    const LabelInfo* found = hint ? Labels.Find(LabelKey(name)) : nullptr;
    if (found != nullptr && found->Winner != 0) {
        return;
    }
    // A script can have one of these a line: built in one text kept for them.
    std::string& text = Message;
    text.assign("jumps to ");
    AppendQuoted(&text, name);
    text += ", which no label defines: the run prints Label ";
    AppendQuoted(&text, name);
    text += " not found. and goes on with the next line";
    const std::string trimmed = hint ? WithoutBlanksAtEnd(name) : name;
    const LabelInfo* near = trimmed.size() < strlen(name) ? Labels.Find(LabelKey(trimmed.c_str())) : nullptr;
    if (near != nullptr && near->Winner != 0) {
        text += " (the name ends in a blank; the label on line " + std::to_string(near->Winner) + " does not)";
    } else if (found != nullptr && found->BlankEnded != 0) {
        text += " (the label on line " + std::to_string(found->BlankEnded) + " ends in a blank; the name does not)";
    }
    Emit(line, Severity::Error, "missing-label", text);
}
