// Script commands: the "#" lines that torvex carries out itself.
#include "script/commands.h"

#include <cstring>

#include "platform/platform.h"
#include "run/settings.h"
#include "run/text.h"
#include "script/labels.h"
#include "serial/response.h"

// A message or label name: the rest of the text without line ends, leading blanks passed over.
static char* Argument(char* rest)
{
    StripChars(rest, "\r\n");
    return const_cast<char*>(SkipBlanks(rest));
}

// The number that starts one character after a name of the given length.
// The character after the name is passed over whatever it is.
static bool NumberAfter(const char* text, size_t nameLength, int32_t* value)
{
    if (text[nameLength] == '\0') {
        return false;
    }
    return ReadNumber(text + nameLength + 1, value);
}

static int32_t NumberOrZero(const char* text)
{
    int32_t value = 0;
    ReadNumber(text, &value);
    return value;
}

static void Prompt(const char* message)
{
    printf("\r\n%s", message);
    RespStr[0] = ToUpper(static_cast<char>(ReadKey(message[0] != '\0')));
    RespStr[1] = '\0';
    printf("\n");
}

static bool ConditionHolds(const char* condition)
{
    if (condition[0] == '\0') {
        return false;
    }
    if (condition[0] == '<' || condition[0] == '>' || condition[0] == '=') {
        const char* colon = strchr(RespStr, ':');
        if (colon == nullptr) {
            return false;
        }
        const int32_t N = NumberOrZero(condition + 1);
        const int32_t X = NumberOrZero(colon + 1);
        switch (condition[0]) {
        case '<': return X < N;
        case '>': return X > N;
        default: return X == N;
        }
    }
    return strstr(RespStr, condition) != nullptr;
}

static void ConditionalJump(FILE* FIn, char* text)
{
    char* open = strchr(text, '(');
    if (open == nullptr) {
        return;
    }
    char* condition = open + 1;
    char* close = strchr(condition, ')');
    if (close == nullptr) {
        return;
    }
    *close = '\0';
    const char* label = Argument(close + 1);
    if (ConditionHolds(condition)) {
        Goto(FIn, label);
    }
}

void ProcessCommand(FILE* FIn, char* text)
{
    int32_t number;
    if (StartsWithNoCase(text, "DEBUG")) {
        Debug = true;
    } else if (StartsWithNoCase(text, "NODEBUG")) {
        Debug = false;
    } else if (StartsWithNoCase(text, "TIMEOUT")) {
        if (NumberAfter(text, 7, &number)) {
            Timeout = number;
        }
    } else if (StartsWithNoCase(text, "WAIT")) {
        if (NumberAfter(text, 4, &number)) {
            Pause(static_cast<int64_t>(number) * 1000);
        }
    } else if (StartsWithNoCase(text, "BELL")) {
        printf("\a");
    } else if (StartsWithNoCase(text, "PROMPT")) {
        Prompt(Argument(text + 6));
    } else if (StartsWithNoCase(text, "PRINT")) {
        printf("\r\n%s\n", Argument(text + 5));
    } else if (StartsWithNoCase(text, "GOTO")) {
        Goto(FIn, Argument(text + 4));
    } else if (StartsWithNoCase(text, "UTC")) {
        UTC = true;
    } else if (StartsWithNoCase(text, "NZST")) {
        UTC = false;
    } else if (StartsWithNoCase(text, "IF")) {
        ConditionalJump(FIn, text + 2);
    }
}
