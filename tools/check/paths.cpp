// Findings along paths: what the data flow over the graph says of a line
// holds on every path that reaches it. Loops and lines no path reaches are
// found once, before the second reading, and reported at their lines.
#include <algorithm>
#include <cstring>
#include <string>

#include "run/text.h"
#include "tools/check/checker.h"

namespace {

bool HasSmallLetter(const char* text)
{
    return std::any_of(text, text + strlen(text), [](char c) { return c >= 'a' && c <= 'z'; });
}

}  // namespace

const Node* Checker::NodeAt(uint32_t node) const
{
    return node < Nodes.size() ? &Nodes[node] : nullptr;
}

void Checker::Analyse()
{
    FlowResponses(&Nodes, Opt.Utc);
    if (AnyTimeoutNone) {
        FlowModemAhead(&Nodes);
    }
    // Runs of nodes no path reaches; comments neither count nor break a run.
    const uint32_t count = static_cast<uint32_t>(Nodes.size());
    for (uint32_t i = 0; i < count; i++) {
        if (Nodes[i].Reach != 0 || Nodes[i].Kind == NODE_NOTHING) {
            continue;
        }
        uint32_t last = i;
        uint32_t j = i + 1;
        for (; j < count && Nodes[j].Reach == 0; j++) {
            last = Nodes[j].Kind != NODE_NOTHING ? j : last;
        }
        Unreached.push_back(UnreachedRun{i, last});
        i = j;
    }
    FindLoops(&Nodes, false, [this](const Loop& loop) { LoopFound(loop); });
    // Keys decide a loop with a prompt, but not a cycle in it that passes no prompt.
    if (AnyKeysLoop) {
        FindLoops(&Nodes, true, [this](const Loop& loop) { LoopFound(loop); });
    }
    std::stable_sort(Stored.begin(), Stored.end(),
                     [](const PathFinding& a, const PathFinding& b) { return a.Node < b.Node; });
}

// Reported at the loop's last line, most often the jump back.
void Checker::LoopFound(const Loop& loop)
{
    if (!loop.Exits.empty() && loop.HasPrompt) {
        for (const uint32_t m : loop.Members) {
            Nodes[m].Flags |= KEYS_LOOP;
        }
        AnyKeysLoop = true;
        return;
    }
    const std::string lines = "the loop through " + LinesOf(Nodes, loop.Members);
    if (loop.Exits.empty()) {
        // An alarm that tells how to stop it means to go on until stopped.
        Stored.push_back(loop.SaysStop ? PathFinding{loop.Members.back(), Severity::Warning, "endless-loop",
                                                     lines + " has no way out: the run goes round it until "
                                                             "stopped, as its text says"}
                                       : PathFinding{loop.Members.back(), Severity::Error, "endless-loop",
                                                     lines + " has no way out: the run loops forever"});
        return;
    }
    std::string ifs;
    for (size_t i = 0; i < loop.Exits.size() && i < 6; i++) {
        ifs += (i > 0 ? ", " : "") + std::to_string(Nodes[loop.Exits[i]].Line);
    }
    ifs += loop.Exits.size() > 6 ? ", ..." : "";
    const bool one = loop.Exits.size() == 1;
    Stored.push_back(PathFinding{loop.Members.back(), Severity::Warning, "endless-loop",
                                 lines + " has no modem command or prompt, so the response cannot change in it: " +
                                     (one ? "the #if on line " + ifs + " takes" : "the #if lines " + ifs + " take") +
                                     " the same way every time, and the loop may never end"});
}

// Kept as two nodes, and told in words only when reported: a script may have
// a run no path reaches every few lines.
void Checker::UnreachedFinding(const UnreachedRun& run)
{
    // A line longer than one read may be reached in its first piece only.
    const bool rest = run.First > 0 && Nodes[run.First - 1].Line == Nodes[run.First].Line;
    const uint32_t from = Nodes[run.First].Line + (rest ? 1 : 0);
    const uint32_t to = Nodes[run.Last].Line;
    std::string& text = Message;
    text.assign("no path from the start of the script reaches ");
    text += rest ? "the rest of this line" : "";
    if (to >= from) {
        text += rest ? " and " : "";
        text += to == from ? (rest ? "line " + std::to_string(to) : "this line")
                           : "lines " + std::to_string(from) + "-" + std::to_string(to);
    }
    Emit(Nodes[run.First].Line, Severity::Warning, "unreachable", text);
}

void Checker::PathFindings(uint32_t node)
{
    for (; NextUnreached < Unreached.size() && Unreached[NextUnreached].First <= node; NextUnreached++) {
        if (Unreached[NextUnreached].First == node) {
            UnreachedFinding(Unreached[NextUnreached]);
        }
    }
    for (; NextStored < Stored.size() && Stored[NextStored].Node <= node; NextStored++) {
        const PathFinding& f = Stored[NextStored];
        if (f.Node == node) {
            Emit(Nodes[node].Line, f.Level, f.Code, f.Text);
        }
    }
}

void Checker::IfPaths(long line, const char* condition, const Node& node)
{
    const uint8_t from = node.Reach & RESPONSE_FROM;
    if (node.Kind != NODE_IF || from == 0) {
        return;
    }
    const std::string shown = "(" + Escaped(condition, strlen(condition)) + ")";
    const bool never = (from & node.Holds) == 0;
    const bool wakeUp = (from & FROM_WAKE_UP) != 0;
    const bool numeric = ReadCondition(condition).Kind != ConditionKind::Text;
    const bool onlyColon = from == FROM_PROMPT && numeric;
    const bool afterModem = (from & ~FROM_ANY_MODEM) == 0;
    if (never && afterModem && numeric) {
        OkOnlyAnswer(line, shown, node);
        return;
    }
    if (never) {
        if (from == FROM_PROMPT) {
            Emit(line, SkipsModem(node.Target) ? Severity::Error : Severity::Warning, "condition-after-prompt",
                 numeric ? "after #prompt the response is one key, with no \":\" before a number, so " + shown +
                               " never holds"
                 : condition[1] == '\0' && HasSmallLetter(condition)
                     ? "after #prompt the response is the key in upper case, so " + shown + " never holds"
                     : "after #prompt the response is one key, so " + shown + " never holds");
        }
        return;
    }
    if (afterModem && (node.Holds & HOLDS_AFTER_MODEM_ALWAYS) != 0) {
        // An error where the way it never takes would send a modem command.
        Emit(line, SkipsModem(NodeCount) ? Severity::Error : Severity::Warning, "if-always",
             "every answer the run goes on after holds OK, so " + shown +
                 " always holds after a modem command: the #if always jumps");
    } else if (afterModem && !numeric && strcmp(condition, "ERROR") == 0) {
        // Meant as "on failure"; a longer text holding ERROR is one the author looks for.
        Emit(line, Severity::Warning, "condition-error",
             shown + " holds only for an answer that holds OK as well: an answer with ERROR alone ends the run "
                     "before the #if, so it never sees a failure");
    } else if (afterModem && !numeric && condition[1] == '\0') {
        KeyAfterModem(line, shown, condition[0]);
    }
    // "AT+CGDCONT=1,\"IP\",\"internet\"" then "(internet)": only the echo holds it,
    // where that command gives the response on every way here.
    if (afterModem && !numeric && ValueNode != NO_NODE && strstr(Value, condition) != nullptr &&
        GiverOf(NodeCount - 1) == ValueNode) {
        Emit(line, Severity::Warning, "condition-in-echo",
             shown + " is part of the value the modem command on line " + std::to_string(Nodes[ValueNode].Line) +
                 " sets, which only its echo holds, and the run passes over the echo: the #if jumps only if the "
                 "answer itself holds it");
    }
    if (onlyColon) {
        Emit(line, Severity::Warning, "condition-after-prompt",
             "after #prompt the response is one key, so " + shown + " holds only for the key \":\"");
    }
    if (wakeUp) {
        Emit(line, Severity::Warning, "if-wake-up",
             from == FROM_WAKE_UP
                 ? "#if comes before any modem command, so it tests the answer to the wake-up"
                 : "#if can be reached before any modem command, and then tests the answer to the wake-up");
    }
}

uint32_t Checker::GiverOf(uint32_t node)
{
    if (!GiversKnown) {
        Givers = ResponseGivers(Nodes);
        GiversKnown = true;
    }
    return node < Givers.size() ? Givers[node] : NO_NODE;
}

// Whether the way on at node, which an #if never takes, would send a modem command.
bool Checker::SkipsModem(uint32_t node)
{
    if (!ModemAfterKnown) {
        ModemAfterNode = ModemAfter(Nodes);
        ModemAfterKnown = true;
    }
    return node < Nodes.size() && (Nodes[node].Kind == NODE_MODEM || ModemAfterNode[node]);
}

// A number condition after commands that answer OK alone: no ":" and no
// number to compare, so it never holds. An error where the way it would take
// sends a modem command; a poll loop on it never ends.
void Checker::OkOnlyAnswer(long line, const std::string& shown, const Node& node)
{
    // A poll loop whose only way out is this #if never ends.
    if (!EndAfterKnown) {
        EndAfterNode = EndAfter(Nodes);
        EndAfterKnown = true;
    }
    const bool forever = LoopsBackForGood(Nodes, NodeCount - 1, EndAfterNode);
    Emit(line, forever || SkipsModem(node.Target) ? Severity::Error : Severity::Warning, "answer-ok-only",
         shown + " compares the number after the \":\" of the answer, but on every way here the last modem command is "
                 "one that answers OK alone, with no number: the #if never jumps" +
             (forever ? ", and the loop it should end goes round forever" : ""));
}

namespace {

// The bit of a key in OfferedKeys; 0 for one that is no letter or digit.
uint64_t KeyBit(char c)
{
    c = ToUpper(c);
    return c >= 'A' && c <= 'Z' ? uint64_t{1} << (c - 'A') : IsDigit(c) ? uint64_t{1} << (26 + c - '0') : 0;
}

}  // namespace

uint64_t OfferedKeys(const char* text, size_t length)
{
    uint64_t keys = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] != '(' && text[i] != '[') {
            continue;
        }
        const char close = text[i] == '(' ? ')' : ']';
        uint64_t group = 0;
        size_t j = i + 1;
        // One-character keys apart by "/", ",", "|" or blanks: "(Y/N)", "[1, 2]".
        for (; j < length && text[j] != close; j++) {
            const bool key = KeyBit(text[j]) != 0 && !(j > i + 1 && KeyBit(text[j - 1]) != 0) &&
                             (j + 1 >= length || KeyBit(text[j + 1]) == 0);
            if (key) {
                group |= KeyBit(text[j]);
            } else if (strchr("/,| ", text[j]) == nullptr) {
                break;
            }
        }
        keys |= j < length && text[j] == close ? group : 0;
    }
    return keys;
}

// A one-character condition reached only after a modem command, where a
// prompt's key was the response on a way into the #if until a modem command's
// answer took its place.
void Checker::KeyAfterModem(long line, const std::string& shown, char key)
{
    if (!LostKnown) {
        Lost = KeysLost(Nodes);
        LostKnown = true;
    }
    const uint32_t at = NodeCount - 1;
    if (at >= Lost.size() || Lost[at].Prompt == NO_NODE) {
        return;
    }
    const uint32_t p = Lost[at].Prompt;
    const auto offered = std::lower_bound(PromptKeys.begin(), PromptKeys.end(), std::make_pair(p, uint64_t{0}));
    const bool offers = offered != PromptKeys.end() && offered->first == p && (offered->second & KeyBit(key)) != 0;
    Emit(line, offers ? Severity::Error : Severity::Warning, "key-after-modem",
         shown + (offers ? " looks for " : " may look for ") + "the key of the #prompt on line " +
             std::to_string(Nodes[p].Line) + ", but the modem command on line " +
             std::to_string(Nodes[Lost[at].Modem].Line) +
             " comes between: the response is its answer, whatever key was pressed");
}
