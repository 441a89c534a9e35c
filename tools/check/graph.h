// The script's control-flow graph, as the run walks it: one node for each
// piece the run acts on (a script command or a modem command), in file order,
// with its ways on (the next node, a jump's target, both ways of an #if, the
// end), and data flow over it: what may be the response when a node runs.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "script/line.h"

enum NodeKind : uint8_t {
    NODE_NOTHING,  // a comment or a "#" word that is no command
    NODE_PLAIN,    // a command that does not jump, prompt or set a time-out
    NODE_MODEM,
    NODE_PROMPT,
    NODE_GOTO,
    NODE_IF,       // one that can jump: it has a condition
    NODE_TIMEOUT,  // a #timeout that reads a number
    NODE_UTC,      // #UTC: the clock command in UTC from here
    NODE_NZST,     // #NZST: and in New Zealand time
};

// What may be the response when a node runs (Node::Reach; none: no path
// reaches the node), and after what its condition can hold (Node::Holds).
// Every answer the run goes on after holds "OK", so a condition found in "OK"
// always holds after a modem command (HOLDS_AFTER_MODEM_ALWAYS in Holds).
// FROM_OK_ONLY: a modem command whose answer is OK alone (MODEM_OK_ONLY), with
// no number in it for a condition to compare.
enum : uint8_t { FROM_WAKE_UP = 1, FROM_MODEM = 2, FROM_PROMPT = 4, FROM_OK_ONLY = 32, RESPONSE_FROM = 39 };
enum : uint8_t { FROM_ANY_MODEM = FROM_MODEM | FROM_OK_ONLY };
enum : uint8_t { HOLDS_AFTER_MODEM_ALWAYS = 8 };
// Node::Holds of a modem command: one on the closed list that answers OK alone.
enum : uint8_t { MODEM_OK_ONLY = 1 };
// Node::Reach also says in which time base the clock command may be filled in there.
enum : uint8_t { BASE_UTC = 8, BASE_NZST = 16 };

// Node::Flags.
enum : uint8_t {
    TIMEOUT_NONE = 1,  // a #timeout of 0 or less
    MODEM_AHEAD = 2,   // a modem command can follow before another #timeout
    ON_STACK = 4,      // working bits of the loop search
    IN_LOOP = 8,
    NAME_HINT = 16,    // Goto, If: a label's name is near the jump's, with blanks at the end
    KEYS_LOOP = 32,    // in a loop with a prompt and a way out: its cycles without the prompt are looked at
    SAYS_STOP = 64,    // Print, Prompt: the text tells how to stop the run (Ctrl-C)
    PLAIN_LINE = 128,  // a whole command line with nothing to say about it by itself
};

constexpr uint32_t NO_NODE = UINT32_MAX;  // a jump to a label no line defines: the run goes on

struct Node {
    uint32_t Target = NO_NODE;  // Goto, If: the first node after the label; the node count is the end
    uint32_t Line = 0;
    uint8_t Kind = NODE_NOTHING;
    uint8_t Flags = 0;
    uint8_t Reach = 0;
    uint8_t Holds = 0;
};

// The kind of node a "#" line is, and for an #if the answers after which it can hold.
void ReadNodeOf(const ScriptCommand& cmd, Node* node);

// Fills Reach: the run starts at node 0 with the wake-up's answer, and with
// the clock command in UTC when utc is set. A way on that the condition never
// or always takes from what reaches the node is not followed.
void FlowResponses(std::vector<Node>* nodes, bool utc);
// Sets MODEM_AHEAD on the nodes after which a modem command can run with the
// time-out unchanged; only worth calling when some #timeout sets 0 or less.
void FlowModemAhead(std::vector<Node>* nodes);

// The ways into each node, packed: those of node i are From[Start[i]] to From[Start[i + 1]].
struct PredecessorLists {
    std::vector<uint32_t> Start;
    std::vector<uint32_t> From;
};
PredecessorLists PredecessorsOf(const std::vector<Node>& nodes);
// For each node, whether some way on from it reaches the end of the script.
std::vector<bool> EndAfter(const std::vector<Node>& nodes);
// Whether every way on from node comes back to it and none reaches the end
// (endAfter: EndAfter of the nodes).
bool LoopsBackForGood(const std::vector<Node>& nodes, uint32_t node, const std::vector<bool>& endAfter);
// For each node, the modem command or prompt whose answer is the response
// when it runs, the same on every way that reaches it: its node;
// GIVER_WAKE_UP for the wake-up's, GIVER_MANY where the ways differ, NO_NODE
// where no way reaches it.
constexpr uint32_t GIVER_WAKE_UP = UINT32_MAX - 1;
constexpr uint32_t GIVER_MANY = UINT32_MAX - 2;
std::vector<uint32_t> ResponseGivers(const std::vector<Node>& nodes);
// For each node, a prompt whose key the answer of a modem command took the
// place of, on some way into the node with no prompt after that command: the
// first found, with that command; NO_NODE in both for none.
struct KeyLost {
    uint32_t Prompt;
    uint32_t Modem;
};
std::vector<KeyLost> KeysLost(const std::vector<Node>& nodes);
// For each node, whether a modem command can come after it on some way on.
std::vector<bool> ModemAfter(const std::vector<Node>& nodes);

// A cycle of reached nodes with no modem command in it: its nodes in file
// order, whether a prompt is among them, and the #if nodes that can leave it.
struct Loop {
    std::vector<uint32_t> Members;
    std::vector<uint32_t> Exits;
    bool HasPrompt = false;
    bool SaysStop = false;  // a text in it tells how to stop the run
};
// Calls found for each such cycle (each strongly connected part of the graph
// without modem commands), in no particular order. keysLoops: only the nodes
// marked KEYS_LOOP, prompts left out, so that each cycle that no key can
// change is found on its own.
void FindLoops(std::vector<Node>* nodes, bool keysLoops, const std::function<void(const Loop&)>& found);
