// Findings along paths: what the data flow over the graph says of a line
// holds on every path that reaches it. Loops and lines no path reaches are
// found once, before the second reading, and reported at their lines.
#include <algorithm>
#include <cstring>
#include <string>

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
    FlowResponses(&Nodes);
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
        const std::string where = last == i ? "this line"
                                            : "lines " + std::to_string(Nodes[i].Line) + "-" +
                                                  std::to_string(Nodes[last].Line);
        const std::string text = "no path from the start of the script reaches " + where;
        Stored.push_back(PathFinding{i, Severity::Warning, "unreachable", text});
        i = j;
    }
    FindLoops(&Nodes, [this](const Loop& loop) { LoopFound(loop); });
    std::stable_sort(Stored.begin(), Stored.end(),
                     [](const PathFinding& a, const PathFinding& b) { return a.Node < b.Node; });
}

// Reported at the loop's last line, most often the jump back.
void Checker::LoopFound(const Loop& loop)
{
    if (!loop.Exits.empty() && loop.HasPrompt) {
        return;  // the keys decide
    }
    const std::string lines = "the loop through " + LinesOf(Nodes, loop.Members);
    if (loop.Exits.empty()) {
        Stored.push_back(PathFinding{loop.Members.back(), Severity::Error, "endless-loop",
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

void Checker::PathFindings(uint32_t node)
{
    for (; NextStored < Stored.size() && Stored[NextStored].Node <= node; NextStored++) {
        const PathFinding& f = Stored[NextStored];
        if (f.Node == node) {
            Emit(Nodes[node].Line, f.Level, f.Code, f.Text);
        }
    }
}

void Checker::IfPaths(long line, const char* condition, const Node& node)
{
    if (node.Kind != NODE_IF || node.Reach == 0) {
        return;
    }
    const bool never = (node.Reach & node.Holds) == 0;
    const bool wakeUp = (node.Reach & FROM_WAKE_UP) != 0;
    const bool numeric = ReadCondition(condition).Kind != ConditionKind::Text;
    const bool onlyColon = node.Reach == FROM_PROMPT && numeric;
    if (!never && !wakeUp && !onlyColon) {
        return;
    }
    const std::string shown = "(" + Escaped(condition, strlen(condition)) + ")";
    if (never) {
        if (node.Reach == FROM_PROMPT) {
            Emit(line, Severity::Error, "condition-after-prompt",
                 numeric ? "after #prompt the response is one key, with no \":\" before a number, so " + shown +
                               " never holds"
                 : condition[1] == '\0' && HasSmallLetter(condition)
                     ? "after #prompt the response is the key in upper case, so " + shown + " never holds"
                     : "after #prompt the response is one key, so " + shown + " never holds");
        } else if (node.Reach == FROM_MODEM) {
            Emit(line, Severity::Error, "condition-error",
                 "a modem command answered with ERROR ends the run, so " + shown + " never holds after one");
        } else {
            Emit(line, Severity::Error, "condition-error",
                 shown + " never holds here: a modem command answered with ERROR ends the run, and after #prompt "
                         "the response is one key");
        }
        return;
    }
    if (onlyColon) {
        Emit(line, Severity::Warning, "condition-after-prompt",
             "after #prompt the response is one key, so " + shown + " holds only for the key \":\"");
    }
    if (wakeUp) {
        Emit(line, Severity::Warning, "if-wake-up",
             node.Reach == FROM_WAKE_UP
                 ? "#if comes before any modem command, so it tests the answer to the wake-up"
                 : "#if can be reached before any modem command, and then tests the answer to the wake-up");
    }
}
