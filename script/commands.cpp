// Script commands: the "#" lines that torvex carries out itself.
#include "script/commands.h"

#include <cstring>

#include "platform/platform.h"
#include "run/progress.h"
#include "run/settings.h"
#include "run/text.h"
#include "script/labels.h"
#include "script/line.h"
#include "serial/response.h"

static void Prompt(const char* message)
{
    printf("\r\n%s", message);
    if (ProgressOn) {
        FlushConsole();  // the rack shows the prompt's text when it asks for the key
    }
    Progress("key");
    const int key = ReadKey(message[0] != '\0');
    Progress("keyed", key);
    RespStr[0] = ToUpper(static_cast<char>(key));
    RespStr[1] = '\0';
    printf("\n");
}

// The number after the first ":" of the response, 0 when it has no digits.
static bool ResponseNumber(int32_t* X)
{
    const char* colon = strchr(RespStr, ':');
    if (colon == nullptr) {
        return false;
    }
    *X = 0;
    ReadNumber(colon + 1, X);
    return true;
}

static bool ConditionHolds(const char* condition)
{
    const Condition c = ReadCondition(condition);
    int32_t X = 0;
    switch (c.Kind) {
    case ConditionKind::Never: return false;
    case ConditionKind::Text: return strstr(RespStr, condition) != nullptr;
    case ConditionKind::Less: return ResponseNumber(&X) && X < c.Value;
    case ConditionKind::Greater: return ResponseNumber(&X) && X > c.Value;
    case ConditionKind::Equal: return ResponseNumber(&X) && X == c.Value;
    }
    return false;
}

void ProcessCommand(FILE* FIn, char* text)
{
    const ScriptCommand cmd = ReadCommand(text);
    switch (cmd.Id) {
    case CommandId::None: break;
    case CommandId::Debug: Debug = true; break;
    case CommandId::NoDebug: Debug = false; break;
    case CommandId::Timeout:
        if (cmd.HasNumber) {
            Timeout = cmd.Number;
        }
        break;
    case CommandId::Wait:
        if (cmd.HasNumber) {
            Pause(static_cast<int64_t>(cmd.Number) * 1000);
        }
        break;
    case CommandId::Bell: printf("\a"); break;
    case CommandId::Prompt: Prompt(cmd.Text); break;
    case CommandId::Print: printf("\r\n%s\n", cmd.Text); break;
    case CommandId::Goto: Goto(FIn, cmd.Text); break;
    case CommandId::Utc: UTC = true; break;
    case CommandId::Nzst: UTC = false; break;
    case CommandId::If:
        if (cmd.Condition != nullptr && ConditionHolds(cmd.Condition)) {
            Goto(FIn, cmd.Text);
        }
        break;
    }
}
