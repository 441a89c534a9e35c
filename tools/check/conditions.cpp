// Findings about an #if's condition by itself: how the run reads it.
#include <cstring>
#include <string>

#include "tools/check/checker.h"

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
