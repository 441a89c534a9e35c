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

}  // namespace

// "::: Set-up :::", "------" and the like: lines to look at, not labels to jump to.
bool ReadsAsSeparator(const char* name)
{
    if (name[0] == ':') {
        return true;  // "::" begins a comment in batch files
    }
    for (; *name != '\0'; name++) {
        if (IsLetter(*name) || IsDigit(*name)) {
            return false;
        }
    }
    return true;
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



const char* const NotLineEnd =
    "line holds a carriage return without a line feed, which does not end a line for the run: ";

void Checker::Line(const PieceView& v)
{
    // Most lines say nothing and are passed over without a copy: a whole
    // empty line, and a whole plain modem command.
    const bool whole = v.First && !v.Continues;
    if (v.First && v.Bytes[0] == '\r') {
        SkippedLine(v);
    }
    if (whole && (v.Bytes[0] == '\n' || v.Bytes[0] == '\r')) {
        return;
    }
    // A command line's plainness was found in the first reading, and kept in its node.
    const Node* next = v.Bytes[0] == '#' ? NodeAt(NodeCount) : nullptr;
    if (whole && next != nullptr && (next->Flags & PLAIN_LINE) != 0 &&
        (next->Kind == NODE_GOTO || next->Kind == NODE_IF)) {
        JumpLine(v, *next);
        return;
    }
    if (whole && next == nullptr && PlainModemLine(v)) {
        KeepValue(v.Bytes, v.Length, NodeCount);
        PathFindings(NodeCount++);
        return;
    }
    if (whole && next != nullptr && (next->Flags & PLAIN_LINE) != 0) {
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

// A line that begins with a carriage return is passed over whole: where a
// file's lines end in LF CR, that is every line after the first.
void Checker::SkippedLine(const PieceView& v)
{
    size_t at = 0;
    while (at < v.Length && v.Bytes[at] == '\r') {
        at++;
    }
    if (at == v.Length || v.Bytes[at] == '\n') {
        return;  // an empty line
    }
    size_t end = at;
    while (end < v.Length && v.Bytes[end] != '\r' && v.Bytes[end] != '\n') {
        end++;
    }
    const std::string rest(v.Bytes + at, end - at);
    const char* text = SkipBlanks(rest.c_str());
    if (*text == '\0' || (text == rest.c_str() && *text == '#' && CommandOf(text + 1) == nullptr)) {
        return;  // nothing, or a comment, is passed over
    }
    Emit(v.Line, Severity::Error, "carriage-return",
         "line begins with a carriage return, so the run takes it for an empty line and passes over it: " +
             Quoted(rest.c_str()) + " never runs (lines that end in LF CR, not CR LF, all begin so)");
}

// A command line of no interest: printable ASCII ending in CR LF, and a
// command whose name stands alone and that takes no number, no jump and no
// clock setting.
bool Checker::PlainCommandLine(const PieceView& v, const CommandName* name)
{
    const char* b = v.Bytes;
    const size_t n = v.Length;
    // name: the command the line begins with, which stops at the CR at the latest.
    if (b[0] != '#' || name == nullptr || !PrintableLine(v)) {
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
        // Anything after a switch's name goes unread.
        return std::all_of(rest, end, [](char c) { return IsBlank(c); });
    case CommandId::Print:
    case CommandId::Prompt:
        return true;
    default:
        return false;
    }
}

// A jump whose line says nothing by itself: printable ASCII ending in CR LF,
// its name stands alone, and an #if's condition is a plain text or a
// comparison with a number and nothing after it. Stricter than it need be:
// any other line is looked at whole.
bool Checker::PlainJumpLine(const PieceView& v, const ScriptCommand& cmd)
{
    if (!PrintableLine(v)) {
        return false;
    }
    const char after = v.Bytes[1 + cmd.NameLength];
    if (IsLetter(after) || IsDigit(after)) {
        return false;
    }
    if (cmd.Id == CommandId::Goto) {
        return true;
    }
    if (cmd.Id != CommandId::If || cmd.Condition == nullptr || *cmd.Condition == '\0') {
        return false;
    }
    // Nothing but blanks before the "(": the run reads nothing there.
    const char* open = static_cast<const char*>(memchr(v.Bytes, '(', v.Length));
    if (open == nullptr || !std::all_of(v.Bytes + 1 + cmd.NameLength, open, [](char x) { return IsBlank(x); })) {
        return false;
    }
    const char* c = cmd.Condition;
    const size_t length = strlen(c);
    const auto alphanumeric = [](char x) { return IsLetter(x) || IsDigit(x); };
    if (strchr("<>=", c[0]) != nullptr) {
        // A number, all of it read: digits alone to the end.
        return length > 1 && std::all_of(c + 1, c + length, [](char x) { return IsDigit(x); });
    }
    // A text with no blank or comparison sign at either end.
    return alphanumeric(c[0]) && alphanumeric(c[length - 1]);
}

// The second reading of such a line: only what its paths and its label say.
void Checker::JumpLine(const PieceView& v, const Node& node)
{
    PathFindings(NodeCount++);
    char text[LINE_BUFFER_SIZE];
    memcpy(text, v.Bytes, v.Length);
    text[v.Length] = '\0';
    const ScriptCommand cmd = ReadCommand(text + 1);
    if (cmd.Id == CommandId::If) {
        IfPaths(v.Line, cmd.Condition, node);
    }
    Jump(v.Line, cmd.Text);
}

// A label line of no interest, passed over: printable ASCII ending in CR LF,
// where its jumps go, and its name neither begins nor ends in a blank.
bool Checker::PlainLabelLine(const PieceView& v)
{
    const char* b = v.Bytes;
    const size_t n = v.Length;
    if (b[0] != ':' || NextDefinition >= Definitions.size() ||
        static_cast<long>(Definitions[NextDefinition]->Winner) != v.Line || !PrintableLine(v)) {
        return false;
    }
    if (n > static_cast<size_t>(LABEL_MAX) + 3) {
        return false;  // a name the run cuts
    }
    const size_t name = n - 3;
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
    if (ReadsAsSeparator(p->Text + 1)) {
        return;
    }
    if (info.Winner == 0) {
        info.Winner = static_cast<uint32_t>(p->Line);
    }
    if (static_cast<long>(info.Winner) != p->Line) {
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
    // A name cut at a blank is cut the same way in every jump.
    const bool cut = strlen(p->Text + 1) > LABEL_MAX;
    if (n > 0 && IsBlank(name[0])) {
        Emit(p->Line, Severity::Warning, "label-blank",
             "label " + Quoted(name) + " begins with a blank: a jump passes over the blanks before its name, so no jump reaches it");
    } else if (n > 0 && IsBlank(name[n - 1]) && !cut) {
        Emit(p->Line, Severity::Warning, "label-blank",
             "label " + Quoted(name) + " ends in a blank: only a jump whose name ends in the same blanks reaches it");
    }
    if (cut) {
        Emit(p->Line, Severity::Warning, "label-long",
             "label name is longer than " + std::to_string(LABEL_MAX) + " characters: the run keeps only " +
                 Quoted(name) + ", and a jump finds the label by those");
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
    constexpr size_t QUOTED_AT = sizeof "jumps to " - 1;
    text.assign("jumps to ");
    AppendQuoted(&text, name);
    // The name a second time, as quoted the first: room first, so the bytes stay where they are.
    const size_t quoted = text.size() - QUOTED_AT;
    const char* const defines = ", which no label defines: the run prints Label ";
    text.reserve(text.size() + strlen(defines) + quoted);
    text += defines;
    text.append(text.data() + QUOTED_AT, quoted);
    text += " not found. and goes on with the next line";
    const std::string trimmed = hint ? WithoutBlanksAtEnd(name) : std::string();
    const LabelInfo* near = hint && trimmed.size() < strlen(name) ? Labels.Find(LabelKey(trimmed.c_str())) : nullptr;
    if (near != nullptr && near->Winner != 0) {
        text += " (the name ends in a blank; the label on line " + std::to_string(near->Winner) + " does not)";
    } else if (found != nullptr && found->BlankEnded != 0) {
        text += " (the label on line " + std::to_string(found->BlankEnded) + " ends in a blank; the name does not)";
    }
    Emit(line, Severity::Error, "missing-label", text);
}

// The value a modem command sets, after its first "=", kept until the next
// line: a condition on it can be found only in the command's echo.
void Checker::KeepValue(const char* bytes, size_t length, uint32_t node)
{
    const char* eq = static_cast<const char*>(memchr(bytes, '=', length));
    ValueNode = NO_NODE;
    if (eq == nullptr) {
        return;
    }
    size_t n = static_cast<size_t>(bytes + length - eq - 1);
    while (n > 0 && (eq[n] == '\r' || eq[n] == '\n')) {
        n--;
    }
    memcpy(Value, eq + 1, n);
    Value[n] = '\0';
    ValueNode = node;
}
