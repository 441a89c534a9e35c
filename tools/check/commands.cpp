// Findings about a script command line by itself: its name, its number, what
// it shows, and a "#" line that is only a comment.
#include <algorithm>
#include <iterator>
#include <cstring>
#include <string>
#include <vector>

#include "run/settings.h"
#include "run/text.h"
#include "tools/check/checker.h"

namespace {

// A misspelt command name: a letter wrong, missing, extra or swapped with the
// next (two for names over four letters), or the name cut short.
bool LooksLike(const std::string& word, const char* name)
{
    const std::string n = name;
    if (word.size() < 3) {
        return false;
    }
    if (word.size() < n.size() && StartsWithNoCase(name, word.c_str())) {
        return true;
    }
    const size_t a = word.size();
    const size_t b = n.size();
    const size_t allowed = b <= 4 ? 1 : 2;
    if ((a > b ? a - b : b - a) > allowed) {
        return false;
    }
    std::vector<std::vector<size_t>> d(a + 1, std::vector<size_t>(b + 1));
    for (size_t i = 0; i <= a; i++) {
        d[i][0] = i;
    }
    for (size_t j = 0; j <= b; j++) {
        d[0][j] = j;
    }
    for (size_t i = 1; i <= a; i++) {
        for (size_t j = 1; j <= b; j++) {
            const size_t cost = ToUpper(word[i - 1]) == n[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && ToUpper(word[i - 1]) == n[j - 2] && ToUpper(word[i - 2]) == n[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a][b] <= allowed;
}

std::string Lower(const char* name)
{
    std::string s(name);
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

}  // namespace

// "# torvex-check: disable=CODE,CODE" keeps those findings off the next line.
void Checker::Comment(const Piece& p)
{
    const char* t = SkipBlanks(p.Text + 1);
    const char* tag = "torvex-check:";
    if (!StartsWithNoCase(t, tag)) {
        return;
    }
    t = SkipBlanks(t + strlen(tag));
    if (!StartsWithNoCase(t, "disable=")) {
        return;
    }
    DisabledLine = p.Line + 1;
    DisabledCodes = "," + WithoutLineEnd(t + strlen("disable=")) + ",";
    DisabledCodes.erase(std::remove_if(DisabledCodes.begin(), DisabledCodes.end(), IsBlank), DisabledCodes.end());
}

bool ReadsAsProse(const char* rest)
{
    int words = 0;
    for (const char* c = rest; *c != '\0'; c++) {
        if (IsDigit(*c) || *c == '(' || *c == ')') {
            return false;
        }
        words += !IsBlank(*c) && (c == rest || IsBlank(c[-1])) ? 1 : 0;
    }
    return words >= 3;
}

namespace {

// Whether what follows a "#" word is what the command of that name takes: a
// misspelt "#tiemout 5" is, "#Time sync follows" is prose.
bool TakesWhatFollows(CommandId id, const char* rest)
{
    rest = SkipBlanks(rest);
    switch (id) {
    case CommandId::Timeout:
    case CommandId::Wait: return *rest == '\0' || IsDigit(*rest) || *rest == '-' || *rest == '+';
    case CommandId::Print:
    case CommandId::Prompt: return true;
    case CommandId::Goto: return *rest != '\0' && strpbrk(rest, " \t") == nullptr;
    default: return *rest == '\0';
    }
}

}  // namespace

// A "#" word near a command name, followed by what that command takes, is a
// misspelling; any other is a comment. rest: what follows the word, without the line end.
void Checker::UnknownCommand(long line, const std::string& word, const char* rest)
{
    const std::string letters = word.substr(1, word.find_first_of("0123456789") - 1);
    for (const CommandName& name : CommandNames) {
        if (LooksLike(letters, name.Name) && TakesWhatFollows(name.Id, rest)) {
            Emit(line, Severity::Error, "unknown-command",
                 word + " is no script command, so the run ignores the line: did you mean #" + Lower(name.Name) + "?");
            return;
        }
    }
    ForeignCommand(line, word, rest);
}

namespace {

// Words other script and modem languages use as commands; the manual lists the same.
const char* const ForeignWords[] = {
    "abort", "call", "delay", "echo", "elif", "else", "elseif", "end", "endif", "exit", "expect", "fi", "gosub",
    "halt", "import", "include", "jump", "label", "let", "loop", "next", "pause", "quit", "return", "send", "set",
    "sleep", "source", "stop", "wend", "while",
};

}  // namespace

// A word with digits run on ("sleep20") is the word and a number.
bool IsForeignCommand(const std::string& word)
{
    const std::string w = Lower(word.substr(0, word.find_last_not_of("0123456789") + 1).c_str());
    return std::any_of(std::begin(ForeignWords), std::end(ForeignWords), [&](const char* f) { return w == f; });
}

// "#exit", "#sleep 20", "#sleep20", "#call setapn": another language's
// command, which the run ignores. Prose ("#End of setup") is a comment.
void Checker::ForeignCommand(long line, const std::string& word, const char* rest)
{
    if (!IsForeignCommand(word.substr(1)) || ReadsAsProse((word + rest).c_str())) {
        return;
    }
    const bool goesOn = SkipsModem(NodeCount - 1) && Nodes[NodeCount - 1].Kind != NODE_MODEM;
    const size_t digits = word.find_last_not_of("0123456789") + 1;
    const std::string runTogether =
        digits < word.size() ? " is " + word.substr(0, digits) + " " + word.substr(digits) + " run together, a"
                             : " is a";
    Emit(line, goesOn ? Severity::Error : Severity::Warning, "foreign-command",
         word + runTogether + " command of other script languages, not of torvex: the run ignores the line" +
             (goesOn ? " and goes on into the lines after it, which send modem commands" : ""));
}

void Checker::CommandLine(Piece* p)
{
    PathFindings(NodeCount);
    const Node* node = NodeAt(NodeCount++);
    char* text = p->Text + 1;
    const long line = p->Line;
    const size_t length = strlen(p->Text);
    if (AfterInnerCarriageReturn(p->Text) != nullptr) {
        Emit(line, Severity::Error, "carriage-return",
             std::string(NotLineEnd) + "it takes what follows as part of this line, and those lines never run");
    }
    // Only a letter can begin a command name; "# text" and the like are comments.
    if (!IsLetter(text[0])) {
        Comment(*p);
        return;
    }
    size_t wordEnd = 0;
    while (IsLetter(text[wordEnd]) || IsDigit(text[wordEnd])) {
        wordEnd++;
    }
    const std::string word = "#" + std::string(text, wordEnd);
    // The name and the character after it, and the whole line, before ReadCommand edits the text.
    char head[COMMAND_NAME_MAX + 2] = {};
    strncpy(head, text, sizeof head - 1);
    // The line as written, for the lines that may be prose: read before ReadCommand edits it.
    const CommandName* named = CommandOf(text);
    const CommandId id = named != nullptr ? named->Id : CommandId::None;
    const bool mayBeProse = id == CommandId::None || id == CommandId::Wait || id == CommandId::Timeout ||
                            (id == CommandId::If && strchr(text, '(') == nullptr);
    const std::string raw = mayBeProse ? WithoutLineEnd(text) : std::string();
    // What the reading leaves unused, in the text as written.
    const CommandUse use = UseOf(text);
    const std::string written = id != CommandId::None ? std::string(text) : std::string();
    const ScriptCommand cmd = ReadCommand(text);
    if (cmd.Id == CommandId::None) {
        UnknownCommand(line, word, raw.c_str() + wordEnd);
        return;
    }
    // A line that does nothing and reads as prose: "#If the unit does not
    // answer, call", "#Waiting for the unit to boot". Said, but only a warning.
    const bool doesNothing = (cmd.Id == CommandId::If && mayBeProse) ||
                             ((cmd.Id == CommandId::Wait || cmd.Id == CommandId::Timeout) && !cmd.HasNumber);
    if (doesNothing && ReadsAsProse(raw.c_str() + cmd.NameLength)) {
        Emit(line, Severity::Warning, "prose-command",
             "the line reads as prose, but the run takes " + word + " for #" +
                 (cmd.Id == CommandId::If ? "if" : cmd.Id == CommandId::Wait ? "wait" : "timeout") +
                 (cmd.Id == CommandId::If ? ", which finds no \"(\" and does nothing"
                                          : ", which finds no number and does nothing") +
                 ": make it a comment (\"# \" and the text)");
        return;
    }
    if (length < p->Length) {
        Emit(line, Severity::Error, "nul-byte",
             "line holds a NUL byte: the run reads only the " + std::to_string(length) + " characters before it");
    }
    const char next = head[cmd.NameLength];
    const bool numbered = cmd.Id == CommandId::Timeout || cmd.Id == CommandId::Wait;
    const bool runsOn = IsLetter(next) || (IsDigit(next) && !numbered);
    if (runsOn) {
        const std::string readAs = word + " is read as #" + std::string(head, cmd.NameLength);
        if (cmd.Id == CommandId::Print || cmd.Id == CommandId::Prompt) {
            Emit(line, Severity::Error, "name-runs-on",
                 readAs + ", so the run " + (cmd.Id == CommandId::Print ? "prints " : "shows ") + Quoted(cmd.Text) +
                     (cmd.Id == CommandId::Prompt ? " and waits for a key" : ""));
        } else if (cmd.Id == CommandId::Goto) {
            Emit(line, Severity::Warning, "name-runs-on", readAs + ", so the run jumps to " + Quoted(cmd.Text));
        } else if (numbered && !cmd.HasNumber) {
            // "#Waiting" may mean nothing; "#waitsec 5" surely meant to wait.
            const bool numberLost = raw.find_first_of("0123456789") != std::string::npos;
            Emit(line, numberLost ? Severity::Error : Severity::Warning, "name-runs-on",
                 readAs + ", which finds no number after it and does nothing" +
                     (numberLost ? std::string(", though the line holds one") : std::string()));
            return;
        } else {
            Emit(line, Severity::Warning, "name-runs-on", readAs);
        }
    }
    switch (cmd.Id) {
    case CommandId::Timeout:
    case CommandId::Wait:
        NumberCommand(line, word, next, cmd, node);
        NumberRest(line, word, text, cmd);
        break;
    case CommandId::Print:
    case CommandId::Prompt:
        ShownText(line, word, cmd.Text);
        break;
    case CommandId::Goto:
        Jump(line, cmd.Text);
        break;
    case CommandId::If:
        IfCommand(line, text, cmd, node);
        if (node != nullptr && cmd.Condition != nullptr) {
            IfPaths(line, cmd.Condition, *node);
        }
        if (cmd.Condition != nullptr && ReadCondition(cmd.Condition).Kind != ConditionKind::Never) {
            Jump(line, cmd.Text);
        }
        break;
    case CommandId::Utc:
    case CommandId::Nzst:
        UTC = cmd.Id == CommandId::Utc;
        break;
    default:
        break;
    }
    // What no finding above names: an #if's text before its condition, a switch's words.
    if (!runsOn && (cmd.Id != CommandId::If || cmd.Condition != nullptr)) {
        UnreadArgument(line, word, written.c_str(), cmd, use);
    }
}

void Checker::NumberCommand(long line, const std::string& word, char next, const ScriptCommand& cmd,
                            const Node* node)
{
    const bool timeout = cmd.Id == CommandId::Timeout;
    const std::string does = !cmd.HasNumber ? (timeout ? "does nothing: the time-out stays as it was" : "waits for nothing")
                             : timeout      ? "sets the time-out to " + std::to_string(cmd.Number) + " s"
                                            : "waits " + std::to_string(cmd.Number) + " s";
    if (IsDigit(next) || next == '+' || next == '-') {
        std::string what = word + " passes over the character after the name, \"" + std::string(1, next) +
                           "\", and " + does;
        if (timeout && cmd.HasNumber && cmd.Number <= 0) {
            what += ": every modem command after it fails at once";
        }
        Emit(line, Severity::Error, "number-position", what);
        return;
    }
    if (!cmd.HasNumber) {
        Emit(line, Severity::Error, "no-number", word + " has no number, so it " + does);
    } else if (timeout && cmd.Number <= 0) {
        // Surely fails when a modem command can come next with this time-out.
        const bool fails = node != nullptr && node->Reach != 0 && (node->Flags & MODEM_AHEAD) != 0;
        Emit(line, fails ? Severity::Error : Severity::Warning, "number-value",
             word + " sets the time-out to " + std::to_string(cmd.Number) +
                 " s: every modem command after it fails at once, without waiting for an answer");
    } else if (!timeout && cmd.Number < 0) {
        Emit(line, Severity::Warning, "number-value", word + " of a negative time waits for nothing");
    }
}

// "#wait 1.5", "#wait 1m" and "#wait 5 # boot" read the number alone: what
// follows its digits is ignored. A unit of seconds is what the run does.
void Checker::NumberRest(long line, const std::string& word, const char* text, const ScriptCommand& cmd)
{
    if (!cmd.HasNumber || text[cmd.NameLength] == '\0') {
        return;
    }
    const char* at = text + cmd.NameLength + 1;
    at += strspn(at, " \t\n\v\f\r");
    at += *at == '+' || *at == '-' ? 1 : 0;
    at += strspn(at, "0123456789");
    const char* unit = SkipBlanks(at);
    if (*unit == '\0' || *unit == '\r' || *unit == '\n') {
        return;
    }
    const std::string rest = WithoutLineEnd(*at == '.' || *at == ',' ? at : unit);
    std::string first = Lower(rest.substr(0, rest.find_first_of(" \t")).c_str());
    while (!first.empty() && (first.back() == '.' || first.back() == ',' || first.back() == ';')) {
        first.pop_back();
    }
    for (const char* seconds : {"s", "sec", "secs", "second", "seconds"}) {
        if (first == seconds) {
            return;  // "#wait 5 seconds" waits 5 s
        }
    }
    // "#wait 500ms" waits 500 s, "#wait 2 min" 2 s.
    bool otherUnit = false;
    for (const char* other : {"ms", "msec", "millis", "m", "min", "mins", "minute", "minutes", "h", "hr", "hrs", "hour",
                              "hours"}) {
        otherUnit = otherUnit || first == other;
    }
    Emit(line, otherUnit ? Severity::Error : Severity::Warning, "number-rest",
         word + " reads the number " + std::to_string(cmd.Number) + " and ignores " + Quoted(rest.c_str()) +
             " after it: the run " + (cmd.Id == CommandId::Wait ? "waits " : "sets the time-out to ") +
             std::to_string(cmd.Number) + " s");
}

void Checker::ShownText(long line, const std::string& word, const char* text)
{
    if (std::none_of(text, text + strlen(text), [](char c) { return IsControl(c); })) {
        return;
    }
    Emit(line, Severity::Warning, "control-bytes",
         word + " text " + Quoted(text) + " holds control bytes, which reach the terminal as they are");
}

namespace {

// What a switch does, whatever follows its name.
const char* SwitchDoes(CommandId id)
{
    switch (id) {
    case CommandId::Debug: return "turns debug mode on";
    case CommandId::NoDebug: return "turns debug mode off";
    case CommandId::Bell: return "rings the bell once";
    case CommandId::Utc: return "fills in the clock command in UTC from here on";
    case CommandId::Nzst: return "fills in the clock command in New Zealand time from here on";
    default: return "carries out the command";
    }
}

// A word after a switch that asks for the other way, which the run does not read.
bool SaysOtherWay(CommandId id, const std::string& w)
{
    const bool off = w == "off" || w == "no" || w == "0" || w == "false" || w == "disable" || w == "disabled" ||
                     w == "none" || w == "stop";
    switch (id) {
    case CommandId::Debug: return off;
    case CommandId::NoDebug: return w == "on" || w == "yes" || w == "1" || w == "true" || w == "enable" || w == "enabled";
    case CommandId::Utc: return off || w == "nzst" || w == "nz" || w == "local" || w == "nzdt";
    case CommandId::Nzst: return off || w == "utc" || w == "gmt" || w == "z";
    case CommandId::Bell: return IsDigit(w.empty() ? ' ' : w[0]) && w != "1";
    case CommandId::If: return w == "not" || w == "!" || w == "no" || w == "unless";
    default: return false;
    }
}

}  // namespace

// Item by item, what a command's reading left unread and no finding has named.
// text: the line as written, after the "#".
void Checker::UnreadArgument(long line, const std::string& word, const char* text, const ScriptCommand& cmd,
                             const CommandUse& use)
{
    if (cmd.Id == CommandId::Wait || cmd.Id == CommandId::Timeout) {
        return;  // NumberRest names what follows the number
    }
    const Unread run = use.Before.To > use.Before.From ? use.Before : use.After;
    if (run.To <= run.From || strspn(text + run.From, " \t") >= run.To - run.From) {
        return;
    }
    std::string ignored = SkipBlanks(std::string(text + run.From, run.To - run.From).c_str());
    ignored.erase(ignored.find_last_not_of(" \t") + 1);
    const std::string first = Lower(ignored.substr(0, ignored.find_first_of(" \t(")).c_str());
    const bool other = SaysOtherWay(cmd.Id, first);
    Message.assign(word);
    Message += " ignores ";
    AppendQuoted(&Message, ignored.c_str());
    if (cmd.Id == CommandId::If) {
        Message += " before its condition: the run jumps to ";
        AppendQuoted(&Message, cmd.Text);
        Message += " when (";
        Message += Escaped(cmd.Condition, strlen(cmd.Condition));
        Message += ") holds";
    } else {
        Message += " after its name: the run ";
        Message += SwitchDoes(cmd.Id);
    }
    Emit(line, other ? Severity::Error : Severity::Warning, "unread-argument", Message);
}
