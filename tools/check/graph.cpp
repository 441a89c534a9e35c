// The control-flow graph and the data flow over it. Every walk is iterative
// with work lists, so a script made only of jumps costs time in proportion to
// its size and no stack depth.
#include "tools/check/graph.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>
#include <utility>

namespace {

// The ways on from node i: the next node (i + 1, the end after the last), a
// jump's target. An #if's ways are those its condition can take from what
// reaches it so far.
int Successors(const std::vector<Node>& nodes, uint32_t i, uint32_t out[2])
{
    const Node& n = nodes[i];
    if (n.Kind == NODE_GOTO) {
        out[0] = n.Target != NO_NODE ? n.Target : i + 1;
        return 1;
    }
    if (n.Kind != NODE_IF || n.Target == NO_NODE || n.Target == i + 1) {
        out[0] = i + 1;
        return 1;
    }
    // Where no path reaches, either way may follow.
    const uint8_t from = n.Reach != 0 ? n.Reach & RESPONSE_FROM : RESPONSE_FROM;
    const bool jumps = (from & n.Holds) != 0;
    const uint8_t always = (n.Holds & HOLDS_AFTER_MODEM_ALWAYS) != 0 ? FROM_ANY_MODEM : 0;
    const bool goesOn = (from & ~always) != 0;
    int k = 0;
    if (goesOn) {
        out[k++] = i + 1;
    }
    if (jumps) {
        out[k++] = n.Target;
    }
    return k;
}

bool Compare(ConditionKind kind, int32_t x, int32_t n)
{
    switch (kind) {
    case ConditionKind::Less: return x < n;
    case ConditionKind::Greater: return x > n;
    case ConditionKind::Equal: return x == n;
    default: return false;
    }
}

}  // namespace

void ReadNodeOf(const ScriptCommand& cmd, Node* node)
{
    switch (cmd.Id) {
    case CommandId::None: node->Kind = NODE_NOTHING; return;
    case CommandId::Prompt: node->Kind = NODE_PROMPT; return;
    case CommandId::Goto: node->Kind = NODE_GOTO; return;
    case CommandId::Utc: node->Kind = NODE_UTC; return;
    case CommandId::Nzst: node->Kind = NODE_NZST; return;
    case CommandId::Timeout:
        node->Kind = cmd.HasNumber ? NODE_TIMEOUT : NODE_PLAIN;
        node->Flags = cmd.HasNumber && cmd.Number <= 0 ? TIMEOUT_NONE : 0;
        return;
    case CommandId::If: break;
    default: node->Kind = NODE_PLAIN; return;
    }
    node->Kind = NODE_PLAIN;
    if (cmd.Condition == nullptr) {
        return;
    }
    const Condition c = ReadCondition(cmd.Condition);
    if (c.Kind == ConditionKind::Never) {
        return;
    }
    node->Kind = NODE_IF;
    // The wake-up's answer may be anything, ERROR too: it does not end the run.
    uint8_t holds = FROM_WAKE_UP;
    if (c.Kind == ConditionKind::Text) {
        // An answer holding ERROR with OK is good too, so any text may be in it.
        holds |= FROM_ANY_MODEM;
        if (strstr("OK", cmd.Condition) != nullptr) {
            holds |= HOLDS_AFTER_MODEM_ALWAYS;
        }
        // A prompt leaves one key, a to z made upper case.
        const char k = cmd.Condition[0];
        if (cmd.Condition[1] == '\0' && !(k >= 'a' && k <= 'z')) {
            holds |= FROM_PROMPT;
        }
    } else {
        holds |= FROM_MODEM;
        // Only the key ":" gives a number to compare: 0.
        if (Compare(c.Kind, 0, c.Value)) {
            holds |= FROM_PROMPT;
        }
    }
    node->Holds = holds;
}

void FlowResponses(std::vector<Node>* nodes, bool utc)
{
    std::vector<Node>& n = *nodes;
    if (n.empty()) {
        return;
    }
    // Reach only grows, so each node is taken up at most once per bit; an
    // #if's ways on only grow with it.
    std::vector<uint32_t> work = {0};
    n[0].Reach = static_cast<uint8_t>(FROM_WAKE_UP | static_cast<uint8_t>(utc ? BASE_UTC : BASE_NZST));
    while (!work.empty()) {
        const uint32_t i = work.back();
        work.pop_back();
        uint8_t out = n[i].Reach;
        if (n[i].Kind == NODE_MODEM || n[i].Kind == NODE_PROMPT) {
            const uint8_t from = n[i].Kind == NODE_PROMPT                ? FROM_PROMPT
                                 : (n[i].Holds & MODEM_OK_ONLY) != 0 ? FROM_OK_ONLY
                                                                     : FROM_MODEM;
            out = static_cast<uint8_t>((out & ~RESPONSE_FROM) | from);
        } else if (n[i].Kind == NODE_UTC || n[i].Kind == NODE_NZST) {
            out = static_cast<uint8_t>((out & RESPONSE_FROM) | (n[i].Kind == NODE_UTC ? BASE_UTC : BASE_NZST));
        }
        uint32_t next[2];
        const int count = Successors(n, i, next);
        for (int k = 0; k < count; k++) {
            if (next[k] < n.size() && (n[next[k]].Reach | out) != n[next[k]].Reach) {
                n[next[k]].Reach |= out;
                work.push_back(next[k]);
            }
        }
    }
}

PredecessorLists PredecessorsOf(const std::vector<Node>& n)
{
    PredecessorLists lists;
    const uint32_t count = static_cast<uint32_t>(n.size());
    std::vector<uint32_t>& start = lists.Start;
    start.assign(count + 2, 0);
    uint32_t next[2];
    for (uint32_t i = 0; i < count; i++) {
        const int k = Successors(n, i, next);
        for (int j = 0; j < k; j++) {
            start[next[j] + 1]++;
        }
    }
    for (uint32_t i = 1; i < start.size(); i++) {
        start[i] += start[i - 1];
    }
    std::vector<uint32_t>& from = lists.From;
    from.assign(start[count + 1], 0);
    std::vector<uint32_t> fill(start.begin(), start.end() - 1);
    for (uint32_t i = 0; i < count; i++) {
        const int k = Successors(n, i, next);
        for (int j = 0; j < k; j++) {
            from[fill[next[j]]++] = i;
        }
    }
    return lists;
}

namespace {

// The nodes that one of work can come after, found backwards from each
// (n.size() stands for the end of the script); with stopAtTimeout, a #timeout
// that reads a number is found but not gone past.
std::vector<bool> BackFrom(const std::vector<Node>& n, std::vector<uint32_t> work, bool stopAtTimeout)
{
    const PredecessorLists ways = PredecessorsOf(n);
    const std::vector<uint32_t>& start = ways.Start;
    const std::vector<uint32_t>& from = ways.From;
    std::vector<bool> after(n.size(), false);
    while (!work.empty()) {
        const uint32_t i = work.back();
        work.pop_back();
        for (uint32_t e = start[i]; e < start[i + 1]; e++) {
            if (!after[from[e]]) {
                after[from[e]] = true;
                if (!stopAtTimeout || n[from[e]].Kind != NODE_TIMEOUT) {
                    work.push_back(from[e]);
                }
            }
        }
    }
    return after;
}

std::vector<uint32_t> ModemNodes(const std::vector<Node>& n)
{
    std::vector<uint32_t> modem;
    for (uint32_t i = 0; i < n.size(); i++) {
        if (n[i].Kind == NODE_MODEM) {
            modem.push_back(i);
        }
    }
    return modem;
}

}  // namespace

std::vector<uint32_t> ResponseGivers(const std::vector<Node>& n)
{
    std::vector<uint32_t> giver(n.size(), NO_NODE);
    if (n.empty()) {
        return giver;
    }
    // A node's giver changes at most twice: from none to one, and to many.
    giver[0] = GIVER_WAKE_UP;
    std::vector<uint32_t> work = {0};
    while (!work.empty()) {
        const uint32_t i = work.back();
        work.pop_back();
        const uint32_t out = n[i].Kind == NODE_MODEM || n[i].Kind == NODE_PROMPT ? i : giver[i];
        uint32_t next[2];
        const int k = Successors(n, i, next);
        for (int j = 0; j < k; j++) {
            const uint32_t w = next[j];
            const uint32_t joined = w >= n.size() || giver[w] == NO_NODE || giver[w] == out ? out : GIVER_MANY;
            if (w < n.size() && joined != giver[w]) {
                giver[w] = joined;
                work.push_back(w);
            }
        }
    }
    return giver;
}

std::vector<KeyLost> KeysLost(const std::vector<Node>& n)
{
    const KeyLost none = {NO_NODE, NO_NODE};
    std::vector<KeyLost> lost(n.size(), none);
    if (n.empty()) {
        return lost;
    }
    // A prompt whose key is the response on some way in. A node is taken up
    // when first reached and when either value is first set: three times at most.
    std::vector<uint32_t> pending(n.size(), NO_NODE);
    std::vector<bool> seen(n.size(), false);
    std::vector<uint32_t> work = {0};
    seen[0] = true;
    for (size_t head = 0; head < work.size(); head++) {
        const uint32_t i = work[head];
        uint32_t outPending = pending[i];
        KeyLost outLost = lost[i];
        if (n[i].Kind == NODE_PROMPT) {
            outPending = i;
            outLost = none;
        } else if (n[i].Kind == NODE_MODEM) {
            outLost = outLost.Prompt == NO_NODE && outPending != NO_NODE ? KeyLost{outPending, i} : outLost;
            outPending = NO_NODE;
        }
        uint32_t next[2];
        const int k = Successors(n, i, next);
        for (int j = 0; j < k; j++) {
            const uint32_t w = next[j];
            if (w >= n.size()) {
                continue;
            }
            bool taken = !seen[w];
            seen[w] = true;
            if (pending[w] == NO_NODE && outPending != NO_NODE) {
                pending[w] = outPending;
                taken = true;
            }
            if (lost[w].Prompt == NO_NODE && outLost.Prompt != NO_NODE) {
                lost[w] = outLost;
                taken = true;
            }
            if (taken) {
                work.push_back(w);
            }
        }
    }
    return lost;
}

std::vector<bool> EndAfter(const std::vector<Node>& nodes)
{
    // The end's ways in are listed after the last node's.
    return BackFrom(nodes, {static_cast<uint32_t>(nodes.size())}, false);
}

bool LoopsBackForGood(const std::vector<Node>& nodes, uint32_t node, const std::vector<bool>& endAfter)
{
    if (node >= endAfter.size() || endAfter[node]) {
        return false;  // a way on reaches the end: no walk through the script for it
    }
    std::vector<uint32_t> seen = {node};
    std::unordered_set<uint32_t> met = {node};
    bool back = false;
    for (size_t at = 0; at < seen.size(); at++) {
        uint32_t next[2];
        const int k = Successors(nodes, seen[at], next);
        for (int j = 0; j < k; j++) {
            if (next[j] >= nodes.size()) {
                return false;  // the end
            }
            back = back || next[j] == node;
            if (met.insert(next[j]).second) {
                seen.push_back(next[j]);
            }
        }
    }
    return back;
}

std::vector<bool> ModemAfter(const std::vector<Node>& nodes)
{
    return BackFrom(nodes, ModemNodes(nodes), false);
}

void FlowModemAhead(std::vector<Node>* nodes)
{
    const std::vector<bool> ahead = BackFrom(*nodes, ModemNodes(*nodes), true);
    for (size_t i = 0; i < ahead.size(); i++) {
        (*nodes)[i].Flags |= ahead[i] ? MODEM_AHEAD : 0;
    }
}

// Tarjan's strongly connected parts, without recursion, over the reached
// nodes that are not modem commands.
void FindLoops(std::vector<Node>* nodes, bool keysLoops, const std::function<void(const Loop&)>& found)
{
    std::vector<Node>& n = *nodes;
    const uint32_t count = static_cast<uint32_t>(n.size());
    const auto inGraph = [&](uint32_t i) {
        return i < count && n[i].Reach != 0 && n[i].Kind != NODE_MODEM &&
               (!keysLoops || ((n[i].Flags & KEYS_LOOP) != 0 && n[i].Kind != NODE_PROMPT));
    };
    // Zeroed by the system, so that the pages of nodes the search never
    // visits (those no path reaches) are never touched.
    struct Visit {
        uint32_t Index;  // from 1; 0: not yet visited
        uint32_t Low;
    };
    const std::unique_ptr<Visit, decltype(&free)> visits(static_cast<Visit*>(calloc(count + 1, sizeof(Visit))), free);
    if (!visits) {
        throw std::bad_alloc();
    }
    Visit* const seen = visits.get();
    std::vector<uint32_t> stack;
    std::vector<std::pair<uint32_t, int>> calls;  // a node, and which of its ways on is next
    // Room for the deepest walk at once: a list copied as it grows would, for
    // a moment, take three times its room; pages not used are never touched.
    stack.reserve(count);
    calls.reserve(count);
    uint32_t counter = 0;
    const auto visit = [&](uint32_t v) {
        seen[v].Index = seen[v].Low = ++counter;
        stack.push_back(v);
        n[v].Flags |= ON_STACK;
        calls.emplace_back(v, 0);
    };
    Loop loop;
    for (uint32_t root = 0; root < count; root++) {
        if (!inGraph(root) || seen[root].Index != 0) {
            continue;
        }
        visit(root);
        while (!calls.empty()) {
            const uint32_t v = calls.back().first;
            uint32_t next[2];
            const int k = Successors(n, v, next);
            if (calls.back().second < k) {
                const uint32_t w = next[calls.back().second++];
                if (!inGraph(w)) {
                    continue;
                }
                if (seen[w].Index == 0) {
                    visit(w);
                } else if ((n[w].Flags & ON_STACK) != 0) {
                    seen[v].Low = std::min(seen[v].Low, seen[w].Index);
                }
                continue;
            }
            calls.pop_back();
            if (!calls.empty()) {
                Visit& caller = seen[calls.back().first];
                caller.Low = std::min(caller.Low, seen[v].Low);
            }
            if (seen[v].Low != seen[v].Index) {
                continue;
            }
            loop.Members.clear();
            loop.Exits.clear();
            loop.HasPrompt = false;
            loop.SaysStop = false;
            uint32_t w;
            do {
                w = stack.back();
                stack.pop_back();
                n[w].Flags = static_cast<uint8_t>((n[w].Flags & ~ON_STACK) | IN_LOOP);
                loop.Members.push_back(w);
                loop.HasPrompt = loop.HasPrompt || n[w].Kind == NODE_PROMPT;
                loop.SaysStop = loop.SaysStop || (n[w].Flags & SAYS_STOP) != 0;
            } while (w != v);
            bool cycle = loop.Members.size() > 1;
            for (const uint32_t m : loop.Members) {
                const int ways = Successors(n, m, next);
                for (int j = 0; j < ways; j++) {
                    cycle = cycle || next[j] == m;
                    if (next[j] >= count || (n[next[j]].Flags & IN_LOOP) == 0) {
                        loop.Exits.push_back(m);
                    }
                }
            }
            for (const uint32_t m : loop.Members) {
                n[m].Flags &= static_cast<uint8_t>(~IN_LOOP);
            }
            if (cycle) {
                std::sort(loop.Members.begin(), loop.Members.end());
                std::sort(loop.Exits.begin(), loop.Exits.end());
                loop.Exits.erase(std::unique(loop.Exits.begin(), loop.Exits.end()), loop.Exits.end());
                found(loop);
            }
        }
    }
}
