// The checker's parts: check.cpp reads the script once, into memory, and goes
// over it twice, first into the graph (graph.h) and then line by line for the
// findings; lines.cpp, commands.cpp, conditions.cpp and wire.cpp find what a
// line does by itself, paths.cpp what holds along every path that reaches it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "script/line.h"
#include "tools/check/check.h"
#include "tools/check/graph.h"
#include "tools/check/label_table.h"
#include "tools/check/reader.h"

void AppendQuoted(std::string* out, const char* text);
std::string Quoted(const char* text);
// A number in decimal, after what out holds, without a text of its own.
void AppendNumber(std::string* out, long n);
inline bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

inline bool IsLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

inline bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// lines.cpp: the text without its line end, for messages.
std::string WithoutLineEnd(const char* text);
// What follows the first carriage return that does not end the text: null
// when every carriage return is part of the line end.
const char* AfterInnerCarriageReturn(const char* text);
// A byte that does something to a terminal: below space (the tab aside), and DEL.
inline bool IsControl(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return (u < 32 && c != '\t') || u == 127;
}
extern const char* const NotLineEnd;
// wire.cpp: whether a piece is a whole line of printable ASCII ending in CR
// LF: no other control byte, no NUL, nothing beyond ASCII.
bool PrintableLine(const PieceView& v);
// How many bytes from the start are surely plain, in whole words of
// eight: printable ASCII other than "#" and the quote.
size_t PlainWords(const char* text, size_t length);
// A label line's name that reads as a separator or a comment ("::", "-----").
bool ReadsAsSeparator(const char* name);
// Words of prose after a command word: three or more, with no digit and no parenthesis.
bool ReadsAsProse(const char* rest);
// unicode.cpp: one character of a modem line that is not printable ASCII,
// at a byte that is none.
struct OddChar {
    uint32_t Code;     // the code point; for a byte that is no UTF-8, the byte
    size_t Length;     // bytes it takes
    const char* What;  // a control or a look-alike, named; null: text the device may take
    bool Invisible;    // a space or a mark the eye passes over
    bool Invalid;      // no UTF-8
};
OddChar ReadOddChar(const char* text, size_t length);
void AppendCodePoint(std::string* out, uint32_t code);
// conditions.cpp: the first character of a text condition beyond printable
// ASCII (a carriage return aside: answers' lines end in one), or the first
// that no answer of the device holds (Never): a control byte, a look-alike,
// a byte that is no UTF-8.
struct OddInCondition {
    const char* At;    // null: none
    size_t Character;  // from 1
    OddChar Odd;
    bool Never;
};
OddInCondition OddIn(const char* condition);
// paths.cpp: the keys a prompt's text offers in "(Y/N)", "[1/2]", "(Y)":
// a bit for each letter (A to Z) and digit; 0 for none.
uint64_t OfferedKeys(const char* text, size_t length);
// check.cpp: a modem line on the closed list of commands that answer OK alone.
bool AnswersOkAlone(const char* bytes, size_t length);
// commands.cpp: a word other script and modem languages use as a command.
bool IsForeignCommand(const std::string& word);
// Lines of nodes as "lines 4-6, 9": runs of nodes one after another joined.
std::string LinesOf(const std::vector<Node>& nodes, const std::vector<uint32_t>& members);

class Checker {
public:
    Checker(const CheckOptions& options, const FindingSink& report) : Opt(options), Report(report) {}

    // 0, or what stopped the reading (CheckScript).
    int Run(FILE* in);

private:
    // check.cpp: the first reading, into the graph.
    void Build(PieceReader* r);
    void BuildLabel(const PieceView& v);
    void BuildCommand(const PieceView& v, Node* node);
    size_t AddName(const char* name, uint32_t* hash);
    void AddLabels();
    void Emit(long line, Severity level, const char* code, const std::string& text);

    // lines.cpp, commands.cpp, conditions.cpp and wire.cpp: what each line does by itself.
    void Line(const PieceView& v);
    bool PlainModemLine(const PieceView& v) const;
    static bool PlainCommandLine(const PieceView& v, const CommandName* name);
    static bool PlainJumpLine(const PieceView& v, const ScriptCommand& cmd);
    void JumpLine(const PieceView& v, const Node& node);
    bool PlainLabelLine(const PieceView& v);
    void LineRead(Piece* p);
    void SkippedLine(const PieceView& v);
    void LabelLine(Piece* p);
    void CommandLine(Piece* p);
    void ModemLine(Piece* p);
    void Comment(const Piece& p);
    void UnknownCommand(long line, const std::string& word, const char* rest);
    void NumberCommand(long line, const std::string& word, char next, const ScriptCommand& cmd, const Node* node);
    void NumberRest(long line, const std::string& word, const char* text, const ScriptCommand& cmd);
    void IfCommand(long line, const char* text, const ScriptCommand& cmd, const Node* node);
    void ConditionRest(long line, const char* condition, const Condition& c, const Node* node);
    bool OddBytesIn(long line, const char* condition, const Node* node);
    Severity Harm(const Node* node, bool jumpWay, bool onWay);
    void Jump(long line, const char* name);
    void ShownText(long line, const std::string& word, const char* text);
    void LongLine(const Piece& p);
    void KeepValue(const char* bytes, size_t length, uint32_t node);
    void DeviceCannotTake(long line, const char* text, size_t length, bool continues);
    void ShorthandColon(long line, const char* text);
    size_t OtherKind(long line, const char* text, size_t length);
    void UnreadArgument(long line, const std::string& word, const char* text, const ScriptCommand& cmd,
                        const CommandUse& use);
    void ForeignCommand(long line, const std::string& word, const char* rest);

    // paths.cpp: what holds on every path.
    void Analyse();
    void PathFindings(uint32_t node);
    struct UnreachedRun {
        uint32_t First;  // nodes no path reaches, comments aside
        uint32_t Last;
    };
    void UnreachedFinding(const UnreachedRun& run);
    void IfPaths(long line, const char* condition, const Node& node);
    void LoopFound(const Loop& loop);
    void KeyAfterModem(long line, const std::string& shown, char key);
    void OkOnlyAnswer(long line, const std::string& shown, const Node& node);
    bool SkipsModem(uint32_t node);
    uint32_t GiverOf(uint32_t node);
    const Node* NodeAt(uint32_t node) const;

    const CheckOptions& Opt;
    const FindingSink& Report;
    LabelTable Labels;
    std::string Message;  // the text of the commonest findings, built in place
    // Every label line's entry, in file order: the second reading meets them
    // in the same order and needs no look-up.
    std::vector<LabelInfo*> Definitions;
    size_t NextDefinition = 0;
    long DisabledLine = 0;      // the line a directive keeps DisabledCodes off
    std::string DisabledCodes;  // ",code,code,"

    // The graph, and the labels and jumps of the first reading, kept until
    // they are all known and then looked up in one run (AddLabels), each by
    // its key in Names.
    std::vector<Node> Nodes;
    struct LabelAt {
        uint32_t Line;
        uint32_t Node;  // the first node after it
        uint32_t Name;  // where its key starts in Names
        uint32_t Hash;
        bool BlankEnded;
    };
    struct JumpAt {
        uint64_t Name;  // where its key starts in Names
        uint32_t Node;
        uint32_t Hash;
    };
    std::vector<LabelAt> LabelLines;
    std::vector<JumpAt> Jumps;
    std::string Names;
    bool AnyTimeoutNone = false;
    std::vector<bool> ModemAfterNode;  // ModemAfter, worked out when first asked
    bool ModemAfterKnown = false;
    std::vector<uint32_t> Givers;  // ResponseGivers, worked out when first asked
    bool GiversKnown = false;
    std::vector<bool> EndAfterNode;  // EndAfter, worked out when first asked
    bool EndAfterKnown = false;
    std::vector<KeyLost> Lost;  // KeysLost, worked out when first asked
    bool LostKnown = false;
    // The prompts whose text offers keys, by node, in node order.
    std::vector<std::pair<uint32_t, uint64_t>> PromptKeys;
    bool AnyKeysLoop = false;
    // Findings about loops, by node, in node order.
    struct PathFinding {
        uint32_t Node;
        Severity Level;
        const char* Code;
        std::string Text;
    };
    std::vector<PathFinding> Stored;
    size_t NextStored = 0;
    std::vector<UnreachedRun> Unreached;  // in node order
    size_t NextUnreached = 0;
    uint32_t NodeCount = 0;  // nodes met so far in the second reading

    // The value after "=" of the last modem command, and its node (NO_NODE: none).
    char Value[LINE_BUFFER_SIZE] = {};
    uint32_t ValueNode = NO_NODE;

    // A line longer than one read, while its pieces go by.
    size_t LongLength = 0;
    int LongPieces = 0;
    LineKind LongFirst = LineKind::Modem;
    std::string LongRest;  // what the run makes of the pieces after the first
    char LongTail[2] = {0, 0};
    char LongFirstEnd = 0;  // the last byte of its first piece
};
