// The script checker. A first reading builds the control-flow graph from the
// one reading of each line (script/line.h) and its labels; data flow over it
// finds what holds on every path; a second reading goes through the lines in
// file order and reports, for each, what it does and what its paths say.
#include "tools/check/check.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "run/settings.h"
#include "run/text.h"
#include "script/labels.h"
#include "script/source.h"
#include "serial/display.h"
#include "tools/check/checker.h"

namespace {

void AppendEscaped(std::string* out, const char* bytes, size_t count)
{
    size_t i = 0;
    while (i < count) {
        size_t run = i;
        while (run < count && ShownAsIsOnTerminal(static_cast<unsigned char>(bytes[run]))) {
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

// "Ctrl-C to stop", "press CTRL+C": the text tells the operator how to end the run.
bool SaysHowToStop(const char* bytes, size_t n)
{
    if (n < 6) {
        return false;
    }
    // Where a "T" or "t" follows a "C" or "c": most texts hold few.
    const char* end = bytes + n - 4;
    for (const char t : {'T', 't'}) {
        for (const char* p = static_cast<const char*>(memchr(bytes + 1, t, static_cast<size_t>(end - bytes - 1)));
             p != nullptr; p = static_cast<const char*>(memchr(p + 1, t, static_cast<size_t>(end - p - 1)))) {
            if (StartsWithNoCase(p - 1, "CTRL") && (p[3] == '-' || p[3] == '+' || p[3] == ' ') && ToUpper(p[4]) == 'C') {
                return true;
            }
        }
    }
    return false;
}

// Room for a list at once, as much as the file's size suggests: a list copied
// as it grows holds its old and new room together for a moment, and pages of
// the room never used cost nothing. Where that much cannot be had at once (a
// limit on address space, no overcommit), the list grows as it goes instead.
template <typename List>
void RoomIfThereIs(List* list, uint64_t n)
{
    try {
        list->reserve(static_cast<size_t>(n));
    } catch (const std::bad_alloc&) {
        return;  // the room it gets as it grows is enough
    }
}

// What ended a reading before the script's end: 0 for nothing.
int WhyStopped(const PieceReader& r)
{
    if (r.Failed) {
        return r.Error != 0 ? r.Error : EIO;
    }
    return r.Changed ? SCRIPT_CHANGED : 0;
}

}  // namespace

void AppendQuoted(std::string* out, const char* text)
{
    *out += '"';
    AppendEscaped(out, text, strlen(text));
    *out += '"';
}

void AppendNumber(std::string* out, long n)
{
    char digits[24];
    const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, n);
    out->append(digits, static_cast<size_t>(r.ptr - digits));
}

std::string Quoted(const char* text)
{
    std::string out;
    AppendQuoted(&out, text);
    return out;
}

std::string Escaped(const char* bytes, size_t count)
{
    std::string out;
    AppendEscaped(&out, bytes, count);
    return out;
}

std::string LinesOf(const std::vector<Node>& nodes, const std::vector<uint32_t>& members)
{
    constexpr int SHOWN = 6;
    std::string text;
    int runs = 0;
    size_t i = 0;
    while (i < members.size()) {
        size_t j = i;
        while (j + 1 < members.size() && members[j + 1] == members[j] + 1) {
            j++;
        }
        if (runs == SHOWN) {
            text += ", ...";
            break;
        }
        text += runs > 0 ? ", " : "";
        text += std::to_string(nodes[members[i]].Line);
        if (j > i) {
            text += "-" + std::to_string(nodes[members[j]].Line);
        }
        runs++;
        i = j + 1;
    }
    const bool one = members.size() == 1;
    return (one ? "line " : "lines ") + text;
}

void Checker::Emit(long line, Severity level, const char* code, const std::string& text)
{
    if (line == DisabledLine && code != nullptr &&
        DisabledCodes.find(std::string(",") + code + ",") != std::string::npos) {
        return;
    }
    Report(Finding{line, level, code, text});
}

bool AnswersOkAlone(const char* bytes, size_t length)
{
    // The manual lists the same.
    static const char* const okAlone[] = {"AT", "ATZ", "AT&F", "AT&W", "ATE0", "ATE1", "ATH", "ATH0"};
    while (length > 0 && (bytes[length - 1] == '\r' || bytes[length - 1] == '\n')) {
        length--;
    }
    if (length > 4 || length < 2) {
        return false;
    }
    for (const char* c : okAlone) {
        if (strlen(c) == length && StartsWithNoCase(bytes, c)) {
            return true;
        }
    }
    return false;
}

int Checker::Run(FILE* in)
{
    UTC = Opt.Utc;
    const std::unique_ptr<PieceReader> reader(new PieceReader);
    PieceReader* r = reader.get();
    StartReading(r, in);
    RoomIfThereIs(&Nodes, std::min<uint64_t>(r->Size / 8, uint64_t{1} << 24));
    Build(r);
    if (r->Failed) {
        return WhyStopped(*r);
    }
    Analyse();
    ReadAgain(r);
    PieceView v;
    while (NextPieceInPlace(r, &v)) {
        Line(v);
    }
    return WhyStopped(*r);
}

void Checker::Build(PieceReader* r)
{
    RoomIfThereIs(&Jumps, std::min<uint64_t>(r->Size / 8, uint64_t{1} << 24));
    RoomIfThereIs(&LabelLines, std::min<uint64_t>(r->Size / 8, uint64_t{1} << 24));
    RoomIfThereIs(&Names, std::min<uint64_t>(r->Size / 2, uint64_t{1} << 28));
    PieceView v;
    while (NextPieceInPlace(r, &v)) {
        const LineKind kind = KindOf(v.Bytes);
        if (kind == LineKind::Label) {
            BuildLabel(v);
            continue;
        }
        if (kind == LineKind::Skipped) {
            continue;
        }
        Node node;
        node.Line = static_cast<uint32_t>(v.Line);  // a file of 4 G lines is no script
        if (kind == LineKind::Modem) {
            node.Kind = NODE_MODEM;
            node.Holds = AnswersOkAlone(v.Bytes, v.Length) ? MODEM_OK_ONLY : 0;
        } else {
            BuildCommand(v, &node);
        }
        Nodes.push_back(node);
    }
    AddLabels();
}

// Keeps the key of a name in Names, and its hash: where it starts.
size_t Checker::AddName(const char* name, uint32_t* hash)
{
    const LabelKey key(name);
    *hash = key.Hash;
    const size_t at = Names.size();
    Names.append(key.Text, key.Length + 1);
    return at;
}

// The labels in file order, then each jump to the last definition of its name.
// The look-ups ask the cache ahead for what they will read.
void Checker::AddLabels()
{
    constexpr size_t AHEAD = 32;
    Labels.Reserve(std::max<size_t>(LabelLines.size(), 1), Names.size());
    Definitions.reserve(LabelLines.size());
    for (size_t i = 0; i < LabelLines.size(); i++) {
        if (i + AHEAD < LabelLines.size()) {
            __builtin_prefetch(Labels.SlotOf(LabelLines[i + AHEAD].Hash));
        }
        const LabelAt& label = LabelLines[i];
        LabelInfo& info = Labels.Get(&Names[label.Name], label.Hash);
        info.Winner = label.Line;
        info.Node = label.Node;
        Definitions.push_back(&info);
        if (label.BlankEnded) {
            std::string trimmed(&Names[label.Name]);
            while (!trimmed.empty() && IsBlank(trimmed.back())) {
                trimmed.pop_back();
            }
            Labels.Get(LabelKey(trimmed.c_str())).BlankEnded = label.Line;
        }
    }
    for (size_t i = 0; i < Jumps.size(); i++) {
        if (i + 2 * AHEAD < Jumps.size()) {
            __builtin_prefetch(Labels.SlotOf(Jumps[i + 2 * AHEAD].Hash));
        }
        if (i + AHEAD < Jumps.size()) {
            const void* entry = Labels.EntryOf(Jumps[i + AHEAD].Hash);
            if (entry != nullptr) {
                __builtin_prefetch(entry);
            }
        }
        Node& node = Nodes[Jumps[i].Node];
        const LabelInfo* info = Labels.Find(&Names[Jumps[i].Name], Jumps[i].Hash);
        node.Target = info != nullptr && info->Winner != 0 ? info->Node : NO_NODE;
        node.Flags |= info != nullptr && info->BlankEnded != 0 ? NAME_HINT : 0;
    }
    std::vector<LabelAt>().swap(LabelLines);
    std::vector<JumpAt>().swap(Jumps);
    std::string().swap(Names);
}

void Checker::BuildLabel(const PieceView& v)
{
    char text[LINE_BUFFER_SIZE];
    char name[LABEL_MAX + 1];
    size_t whole = 0;  // the name before it is cut
    if (PrintableLine(v)) {
        // Only the CR LF at the end to remove.
        whole = v.Length - 3;
        memcpy(text, v.Bytes + 1, whole);
        text[whole] = '\0';
        CutLabelName(text, name);
    } else {
        memcpy(text, v.Bytes, v.Length);
        text[v.Length] = '\0';
        LabelLineName(text, name);
        whole = strlen(text + 1);
    }
    const size_t n = strlen(name);
    // A name cut at a blank is cut the same way in every jump.
    const bool blankEnded = n > 0 && IsBlank(name[n - 1]) && whole <= LABEL_MAX;
    LabelAt label{static_cast<uint32_t>(v.Line), static_cast<uint32_t>(Nodes.size()), 0, 0, blankEnded};
    label.Name = static_cast<uint32_t>(AddName(name, &label.Hash));
    LabelLines.push_back(label);
}

void Checker::BuildCommand(const PieceView& v, Node* node)
{
    // The name decides; only commands with an argument the graph needs are read whole.
    char text[LINE_BUFFER_SIZE];
    const size_t head = std::min<size_t>(v.Length, COMMAND_NAME_MAX + 1);
    memcpy(text, v.Bytes, head);
    text[head] = '\0';
    const CommandName* name = CommandOf(text + 1);
    const CommandId id = name != nullptr ? name->Id : CommandId::None;
    if (id != CommandId::Goto && id != CommandId::If && id != CommandId::Timeout) {
        ScriptCommand cmd;
        cmd.Id = id;
        ReadNodeOf(cmd, node);
        if ((id == CommandId::Print || id == CommandId::Prompt) && SaysHowToStop(v.Bytes, v.Length)) {
            node->Flags |= SAYS_STOP;
        }
        const uint64_t keys = id == CommandId::Prompt ? OfferedKeys(v.Bytes, v.Length) : 0;
        if (keys != 0) {
            PromptKeys.emplace_back(static_cast<uint32_t>(Nodes.size()), keys);
        }
        if (v.First && !v.Continues && PlainCommandLine(v, name)) {
            node->Flags |= PLAIN_LINE;
        }
        return;
    }
    memcpy(text, v.Bytes, v.Length);
    text[v.Length] = '\0';
    const ScriptCommand cmd = ReadCommand(text + 1, name);
    ReadNodeOf(cmd, node);
    AnyTimeoutNone = AnyTimeoutNone || (node->Flags & TIMEOUT_NONE) != 0;
    if (node->Kind != NODE_GOTO && node->Kind != NODE_IF) {
        return;
    }
    if (node->Kind == NODE_IF && (node->Holds & FROM_ANY_MODEM) == FROM_ANY_MODEM && OddIn(cmd.Condition).Never) {
        node->Holds &= FROM_PROMPT;  // no answer of the device holds it; a key may
    }
    const size_t n = strlen(cmd.Text);
    node->Flags |= n > 0 && IsBlank(cmd.Text[n - 1]) ? NAME_HINT : 0;
    if (PlainJumpLine(v, cmd)) {
        node->Flags |= PLAIN_LINE;
    }
    JumpAt jump{0, static_cast<uint32_t>(Nodes.size()), 0};
    jump.Name = AddName(cmd.Text, &jump.Hash);
    Jumps.push_back(jump);
}

void ScriptNotChecked(int why)
{
    if (why == SCRIPT_CHANGED) {
        printf("Error reading source file: %s: it changed while it was checked\n", ScriptFile);
    } else {
        ScriptReadFailed(why);
    }
}

int CheckScript(FILE* in, const CheckOptions& options, const FindingSink& report)
{
    try {
        Checker checker(options, report);
        return checker.Run(in);
    } catch (const std::bad_alloc&) {
        // A script too large for the memory there is: said like a failed read, not a crash.
        return ENOMEM;
    }
}
