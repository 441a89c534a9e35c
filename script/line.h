// One reading of a script line: what kind of line it is and, for a "#" line,
// which command it is and what it takes. The run carries this out and the
// checker reasons about it, so the two cannot disagree about a line.
#pragma once

#include <cstddef>
#include <cstdint>

enum class LineKind {
    Skipped,  // begins with a line end
    Label,    // ":"
    Command,  // "#": the text after it goes to ProcessCommand
    Modem,    // anything else, blanks and a lone NUL included
};

// By the first character as read; nothing is trimmed.
LineKind KindOf(const char* line);

enum class CommandId { None, Debug, NoDebug, Timeout, Wait, Bell, Prompt, Print, Goto, Utc, Nzst, If };

struct CommandName {
    const char* Name;
    CommandId Id;
};
// In the order they are tried; the first name that begins the text decides.
constexpr size_t COMMAND_COUNT = 11;
constexpr size_t COMMAND_NAME_MAX = 7;  // "NODEBUG", "TIMEOUT"
extern const CommandName CommandNames[COMMAND_COUNT];

struct ScriptCommand {
    CommandId Id = CommandId::None;  // None: no name matched and the line does nothing
    size_t NameLength = 0;           // characters of the text the name took
    bool HasNumber = false;          // Timeout, Wait: a number could be read
    int32_t Number = 0;
    char* Text = nullptr;             // Prompt, Print: the message; Goto, If: the label name
    const char* Condition = nullptr;  // If: between the parentheses; null when one is missing
};

// The command whose name begins the text after "#"; null when none does.
const CommandName* CommandOf(const char* text);

// Reads the text after "#", line end still on it. Edits it in place: line ends
// leave a message or name, and an #if's ")" becomes the condition's terminator.
ScriptCommand ReadCommand(char* text);
// The same with the command's name already found: CommandOf(text).
ScriptCommand ReadCommand(char* text, const CommandName* name);

enum class ConditionKind {
    Never,  // empty: an empty condition never jumps
    Less,
    Greater,
    Equal,
    Text,  // found in the response, exactly
};

struct Condition {
    ConditionKind Kind;
    int32_t Value;  // Less, Greater, Equal: the number after the operator, 0 when there is none
    bool HasValue;  // whether there were digits to read
};

Condition ReadCondition(const char* condition);

// What the reading of a "#" line's text (after the "#", as written, before
// ReadCommand edits it) passes over without using, for the checker: runs of
// bytes [From, To), none when From == To. Blanks and line ends at the end of
// the text are left out; a run may hold blanks alone. The run does not call it.
struct Unread {
    size_t From;
    size_t To;
};
struct CommandUse {
    Unread Skipped;  // Timeout, Wait: the one character after the name
    Unread Before;   // If: between the name and "("; no command, or no condition: the whole text
    Unread After;    // what follows what the command reads
};
CommandUse UseOf(const char* text);
