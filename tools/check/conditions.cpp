// Findings about an #if's condition by itself: how the run reads it.
#include <cstring>
#include <string>

#include "tools/check/checker.h"

namespace {

// "( >15 )" and "(!=99)": a comparison the run takes for a text to look for.
bool LooksLikeComparison(const char* condition)
{
    const char* t = SkipBlanks(condition);
    if (strchr("<>=!", *t) == nullptr || *t == '\0') {
        return false;
    }
    t += strspn(t, "<>=!");
    t = SkipBlanks(t);
    return IsDigit(*t) || ((*t == '-' || *t == '+') && IsDigit(t[1]));
}

const char* Compared(ConditionKind kind)
{
    switch (kind) {
    case ConditionKind::Less: return "less than";
    case ConditionKind::Greater: return "greater than";
    default: return "equal to";
    }
}

}  // namespace

// "(<3,500)" reads 3: what follows the digits is ignored.
void Checker::ConditionRest(long line, const char* condition, const Condition& c, const Node* node)
{
    const char* at = condition + 1;
    at += strspn(at, " \t\n\v\f\r");
    at += *at == '+' || *at == '-' ? 1 : 0;
    at += strspn(at, "0123456789");
    if (*SkipBlanks(at) == '\0') {
        return;
    }
    // "(>1O)": a letter O typed for a zero is no digit.
    const bool letterO = *at == 'O' || *at == 'o';
    Emit(line, letterO ? Harm(node, true, true) : Severity::Warning, "condition-rest",
         "condition (" + Escaped(condition, strlen(condition)) + ") reads the number " + std::to_string(c.Value) +
             " and ignores " + Quoted(at) + " after it" + (letterO ? " (the letter O, not a zero)" : "") +
             ": the run jumps when the response's number is " + Compared(c.Kind) + " " + std::to_string(c.Value));
}

OddInCondition OddIn(const char* condition)
{
    OddInCondition found = {nullptr, 0, {}, false};
    size_t character = 1;
    for (const char* c = condition; *c != '\0'; c++, character++) {
        const unsigned char u = static_cast<unsigned char>(*c);
        if ((u >= 32 && u < 127) || u == '\r') {
            continue;
        }
        const OddChar odd = ReadOddChar(c, strlen(c));
        const bool never = odd.Invalid || odd.What != nullptr;
        if (found.At == nullptr || never) {
            found = {c, character, odd, never};
        }
        if (never) {
            break;
        }
        c += odd.Length - 1;
    }
    return found;
}

// Bytes of a text condition beyond printable ASCII, which the run looks for
// as they stand: a control byte, a look-alike or a byte that is no UTF-8 is
// never in the device's answer; other text may be.
bool Checker::OddBytesIn(long line, const char* condition, const Node* node)
{
    const OddInCondition odd = OddIn(condition);
    if (odd.At == nullptr) {
        return false;
    }
    // A key may be any byte: a condition of one may test it.
    if (odd.Never && condition[1] == '\0' && (node == nullptr || (node->Reach & FROM_PROMPT) != 0)) {
        return true;
    }
    const unsigned char c = static_cast<unsigned char>(*odd.At);
    Message.assign("condition (");
    Message += Escaped(condition, strlen(condition));
    Message += ") holds ";
    if (!odd.Never) {
        AppendCodePoint(&Message, odd.Odd.Code);
        Message += " \"";
        Message += Escaped(odd.At, odd.Odd.Length);
        Message += "\" at character ";
        AppendNumber(&Message, static_cast<long>(odd.Character));
        Message += ", which is not ASCII: the run looks for its bytes as they stand, and the #if jumps only if the "
                   "answer holds them so";
        Emit(line, Severity::Warning, "condition-bytes", Message);
        return true;
    }
    if (odd.Odd.Invalid) {
        Message += "the byte ";
        Message += Escaped(odd.At, 1);
        Message += ", which is no UTF-8,";
    } else {
        Message += odd.Odd.What;
        if (c >= 128 || (c != '\t' && c != '\f')) {
            Message += " (";
            if (c < 128) {
                Message += Escaped(odd.At, 1);
            } else {
                AppendCodePoint(&Message, odd.Odd.Code);
            }
            Message += ")";
        }
    }
    Message += " at character ";
    AppendNumber(&Message, static_cast<long>(odd.Character));
    Message += ": the run looks for it as it stands, and the device's answers, in printable ASCII, never hold it: "
               "the #if never jumps";
    Emit(line, Harm(node, true, false), "condition-bytes", Message);
    return true;
}

// A condition that never holds skips what its jump leads to; one read
// otherwise may also take the jump wrongly and skip the way on. An error
// where a way so skipped sends a modem command.
Severity Checker::Harm(const Node* node, bool jumpWay, bool onWay)
{
    if (node == nullptr || node->Kind != NODE_IF) {
        return Severity::Error;  // the file changed between the readings
    }
    return (jumpWay && SkipsModem(node->Target)) || (onWay && SkipsModem(NodeCount)) ? Severity::Error
                                                                                      : Severity::Warning;
}

// text: as ReadCommand left it, which is as written when an #if has no condition.
void Checker::IfCommand(long line, const char* text, const ScriptCommand& cmd, const Node* node)
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
        if (LooksLikeComparison(cmd.Condition)) {
            Emit(line, Harm(node, true, false), "condition-text",
                 "condition (" + Escaped(cmd.Condition, n) + ") is no comparison the run knows: it looks for the text " +
                     Quoted(cmd.Condition) + " in the response");
        } else if (OddBytesIn(line, cmd.Condition, node)) {
            break;
        } else if (IsBlank(cmd.Condition[0]) || IsBlank(cmd.Condition[n - 1])) {
            Emit(line, Severity::Warning, "condition-blanks",
                 "condition (" + Escaped(cmd.Condition, n) + ") is looked for in the response with its blanks");
        }
        break;
    }
    default:
        if (!c.HasValue) {
            Emit(line, Harm(node, true, true), "if-no-number",
                 "condition (" + Escaped(cmd.Condition, strlen(cmd.Condition)) + ") has no number after \"" +
                     std::string(1, cmd.Condition[0]) + "\", so the run compares the response's number with 0");
        } else {
            ConditionRest(line, cmd.Condition, c, node);
        }
        break;
    }
}
