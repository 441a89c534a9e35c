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
void Checker::ConditionRest(long line, const char* condition, const Condition& c)
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
    Emit(line, letterO ? Severity::Error : Severity::Warning, "condition-rest",
         "condition (" + Escaped(condition, strlen(condition)) + ") reads the number " + std::to_string(c.Value) +
             " and ignores " + Quoted(at) + " after it" + (letterO ? " (the letter O, not a zero)" : "") +
             ": the run jumps when the response's number is " + Compared(c.Kind) + " " + std::to_string(c.Value));
}

// "(\xE2\x80\x9COK\xE2\x80\x9D)", "(=O)": a look-alike in a text condition is looked for as it
// stands, and an ASCII answer never holds it.
bool Checker::LookAlikeIn(long line, const char* condition)
{
    size_t character = 0;
    for (const char* c = condition; *c != '\0'; c++, character++) {
        if (static_cast<unsigned char>(*c) < 128) {
            continue;
        }
        const OddChar odd = ReadOddChar(c, strlen(c));
        if (odd.What == nullptr || odd.Invalid) {
            c += odd.Length - 1;
            continue;
        }
        Message.assign("condition (");
        Message += Escaped(condition, strlen(condition));
        Message += ") holds ";
        Message += odd.What;
        Message += " (";
        AppendCodePoint(&Message, odd.Code);
        Message += ") at character ";
        AppendNumber(&Message, static_cast<long>(character + 1));
        Message += ": the run looks for it as it stands, and an answer in ASCII never holds it";
        Emit(line, Severity::Error, "condition-bytes", Message);
        return true;
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
    switch (c.Kind) {
    case ConditionKind::Never:
        Emit(line, Severity::Error, "if-never", "#if has an empty condition, so it never jumps");
        return;
    case ConditionKind::Text: {
        const size_t n = strlen(cmd.Condition);
        if (LooksLikeComparison(cmd.Condition)) {
            Emit(line, Severity::Error, "condition-text",
                 "condition (" + Escaped(cmd.Condition, n) + ") is no comparison the run knows: it looks for the text " +
                     Quoted(cmd.Condition) + " in the response");
        } else if (LookAlikeIn(line, cmd.Condition)) {
            break;
        } else if (IsBlank(cmd.Condition[0]) || IsBlank(cmd.Condition[n - 1])) {
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
        } else {
            ConditionRest(line, cmd.Condition, c);
        }
        break;
    }
}
