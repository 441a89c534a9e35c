// One reading of a script line, shared by the run and the checker.
#include "script/line.h"

#include <cstdint>
#include <cstring>

#include "run/text.h"
#include "script/labels.h"

LineKind KindOf(const char* line)
{
    switch (line[0]) {
    case '\n':
    case '\r':
        return LineKind::Skipped;
    case ':':
        return LineKind::Label;
    case '#':
        return LineKind::Command;
    default:
        return LineKind::Modem;
    }
}

const CommandName CommandNames[COMMAND_COUNT] = {
    {"DEBUG", CommandId::Debug},   {"NODEBUG", CommandId::NoDebug}, {"TIMEOUT", CommandId::Timeout},
    {"WAIT", CommandId::Wait},     {"BELL", CommandId::Bell},       {"PROMPT", CommandId::Prompt},
    {"PRINT", CommandId::Print},   {"GOTO", CommandId::Goto},       {"UTC", CommandId::Utc},
    {"NZST", CommandId::Nzst},     {"IF", CommandId::If},
};

// A message or label name: the rest of the text without line ends, leading blanks passed over.
static char* Argument(char* rest)
{
    StripChars(rest, "\r\n");
    return const_cast<char*>(SkipBlanks(rest));
}

// The number starts one character after the name, whatever that character is.
static void ReadNumberAfterName(char* text, ScriptCommand* cmd)
{
    if (text[cmd->NameLength] != '\0') {
        cmd->HasNumber = ReadNumber(text + cmd->NameLength + 1, &cmd->Number);
    }
}

static void ReadIf(char* text, ScriptCommand* cmd)
{
    char* open = strchr(text, '(');
    if (open == nullptr) {
        return;
    }
    char* close = strchr(open + 1, ')');
    if (close == nullptr) {
        return;
    }
    *close = '\0';
    cmd->Condition = open + 1;
    cmd->Text = Argument(close + 1);
}

namespace {

// The names that begin with each letter, in table order: the first letter
// leaves at most two to try.
struct NamesByLetter {
    uint8_t First[26][2];
    NamesByLetter() noexcept : First()
    {
        for (size_t i = 0; i < COMMAND_COUNT; i++) {
            uint8_t* tries = First[CommandNames[i].Name[0] - 'A'];
            tries[tries[0] != 0 ? 1 : 0] = static_cast<uint8_t>(i + 1);
        }
    }
};
const NamesByLetter ByLetter;

}  // namespace

const CommandName* CommandOf(const char* text)
{
    const char first = ToUpper(text[0]);
    if (first < 'A' || first > 'Z') {
        return nullptr;
    }
    for (const uint8_t i : ByLetter.First[first - 'A']) {
        if (i != 0 && StartsWithNoCase(text + 1, CommandNames[i - 1].Name + 1)) {
            return &CommandNames[i - 1];
        }
    }
    return nullptr;
}

ScriptCommand ReadCommand(char* text)
{
    return ReadCommand(text, CommandOf(text));
}

ScriptCommand ReadCommand(char* text, const CommandName* name)
{
    ScriptCommand cmd;
    if (name != nullptr) {
        cmd.Id = name->Id;
        cmd.NameLength = strlen(name->Name);
    }
    char* rest = text + cmd.NameLength;
    switch (cmd.Id) {
    case CommandId::Timeout:
    case CommandId::Wait:
        ReadNumberAfterName(text, &cmd);
        break;
    case CommandId::Prompt:
    case CommandId::Print:
    case CommandId::Goto:
        cmd.Text = Argument(rest);
        break;
    case CommandId::If:
        ReadIf(rest, &cmd);
        break;
    default:
        break;
    }
    return cmd;
}

Condition ReadCondition(const char* condition)
{
    Condition c = {ConditionKind::Text, 0, false};
    switch (condition[0]) {
    case '\0': c.Kind = ConditionKind::Never; return c;
    case '<': c.Kind = ConditionKind::Less; break;
    case '>': c.Kind = ConditionKind::Greater; break;
    case '=': c.Kind = ConditionKind::Equal; break;
    default: return c;
    }
    c.HasValue = ReadNumber(condition + 1, &c.Value);
    return c;
}

CommandUse UseOf(const char* text)
{
    CommandUse use = {};
    size_t end = strlen(text);
    if (end > LINE_MAX_READ) {
        return use;  // never the case for a piece as read
    }
    while (end > 0 && strchr(" \t\r\n", text[end - 1]) != nullptr) {
        end--;
    }
    char copy[LINE_MAX_READ + 1];
    memcpy(copy, text, strlen(text) + 1);
    const ScriptCommand cmd = ReadCommand(copy);
    const size_t name = cmd.NameLength;
    const auto run = [end](size_t from, size_t to) { return from < to && from < end ? Unread{from, to < end ? to : end} : Unread{0, 0}; };
    switch (cmd.Id) {
    case CommandId::None: use.Before = run(0, end); break;
    case CommandId::Timeout:
    case CommandId::Wait: {
        if (text[name] == '\0') {
            break;
        }
        use.Skipped = run(name, name + 1);
        size_t at = name + 1;
        if (cmd.HasNumber) {
            at += strspn(text + at, " \t\n\v\f\r");
            at += text[at] == '+' || text[at] == '-' ? 1 : 0;
            at += strspn(text + at, "0123456789");
        }
        use.After = run(at, end);
        break;
    }
    case CommandId::If:
        use.Before = run(name, cmd.Condition != nullptr ? static_cast<size_t>(cmd.Condition - copy) - 1 : end);
        break;
    case CommandId::Print:
    case CommandId::Prompt:
    case CommandId::Goto: break;
    default: use.After = run(name, end); break;
    }
    return use;
}
