// The simulated device's answers: the commands it knows by itself, and the
// table a --answers file adds or overrides them with. Entries match a whole
// command or, written with "*", its beginning; each answer may count its turns.
#include "tools/sim/answers.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/sim/clock.h"
#include "tools/sim/options.h"

static const char WakeUpLine[] = "AT^QESCAT^QESC=1";
static const char Identification[] = "Torvex device simulator " TORVEX_SIM_VERSION;

// One command of the answers table. Several entries for the same command are
// answered in turn, the last one again and again.
struct Entry {
    std::string Command;  // upper case
    bool Prefix = false;  // written with a trailing "*"
    std::vector<std::string> Turns;
    unsigned long Asked = 0;
};

static std::vector<Entry> Table;
bool EchoOn = true;

static std::string Upper(const std::string& s)
{
    std::string u = s;
    for (char& c : u) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return u;
}

std::string TrimBlanks(const std::string& s)
{
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) {
        b++;
    }
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) {
        e--;
    }
    return s.substr(b, e - b);
}

bool LoadAnswers(const char* path)
{
    FILE* f = fopen(path, "rb");
    if (f == nullptr) {
        fprintf(stderr, "torvex-sim: cannot open %s: %s\n", path, strerror(errno));
        return false;
    }
    std::string line;
    unsigned lineNo = 0;
    int c;
    bool ok = true;
    do {
        c = fgetc(f);
        if (c != '\n' && c != EOF) {
            line += static_cast<char>(c);
            continue;
        }
        lineNo++;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        // Blanks are trimmed after the tab is found: "AT+X=1<tab>" is AT+X=1 with
        // an empty answer, not AT+X with the answer 1.
        const std::string trimmed = line.substr(std::min(line.find_first_not_of(" \t"), line.size()));
        line.clear();
        if (TrimBlanks(trimmed).empty() || trimmed[0] == '#') {
            continue;
        }
        // A tab separates when there is one, so that commands may hold "=".
        size_t sep = trimmed.find('\t');
        if (sep == std::string::npos) {
            sep = trimmed.find('=');
        }
        if (sep == std::string::npos || TrimBlanks(trimmed.substr(0, sep)).empty()) {
            fprintf(stderr, "torvex-sim: %s:%u: expected COMMAND=ANSWER\n", path, lineNo);
            ok = false;
            continue;
        }
        std::string command = Upper(TrimBlanks(trimmed.substr(0, sep)));
        bool prefix = false;
        if (command.back() == '*') {
            prefix = true;
            command.pop_back();
        }
        const std::string answer = TrimBlanks(trimmed.substr(sep + 1));
        Entry* entry = nullptr;
        for (Entry& e : Table) {
            if (e.Command == command && e.Prefix == prefix) {
                entry = &e;
            }
        }
        if (entry == nullptr) {
            Table.emplace_back();
            entry = &Table.back();
            entry->Command = command;
            entry->Prefix = prefix;
        }
        entry->Turns.push_back(answer);
    } while (c != EOF);
    fclose(f);
    return ok;
}

static bool OneOf(const std::string& cmd, std::initializer_list<const char*> names)
{
    for (const char* name : names) {
        if (cmd == name) {
            return true;
        }
    }
    return false;
}

// The device's own answers. An empty list means no answer at all.
static std::vector<std::string> BuiltInAnswer(const std::string& line)
{
    const std::string cmd = Upper(line);
    if (cmd == WakeUpLine || OneOf(cmd, {"AT^QESC", "AT^QESC=0", "AT^QESC=1"})) {
        return {"OK"};
    }
    if (OneOf(cmd, {"ATZ", "ATZ0", "AT&F", "AT&F0"})) {
        EchoOn = Opt.Echo;
        return {"OK"};
    }
    if (OneOf(cmd, {"ATE0"})) {
        EchoOn = false;
        return {"OK"};
    }
    if (OneOf(cmd, {"ATE", "ATE1"})) {
        EchoOn = true;
        return {"OK"};
    }
    if (OneOf(cmd, {"AT", "ATQ0", "ATV1", "ATH", "ATH0", "ATM0", "ATM1", "ATL0", "ATL1", "ATL2",
                    "ATL3", "AT&W", "AT&W0", "AT&C1", "AT&D0", "AT&D2", "ATX4", "AT+CMEE=0",
                    "AT+CMEE=1", "AT+CMEE=2"})) {
        return {"OK"};
    }
    if (OneOf(cmd, {"ATI", "ATI0"})) {
        return {Identification, "OK"};
    }
    if (OneOf(cmd, {"AT+CGMI", "AT+GMI"})) {
        return {"Torvex", "OK"};
    }
    if (OneOf(cmd, {"AT+CGMM", "AT+GMM"})) {
        return {"TORVEX-SIM", "OK"};
    }
    if (OneOf(cmd, {"AT+CGMR", "AT+GMR"})) {
        return {TORVEX_SIM_VERSION, "OK"};
    }
    if (OneOf(cmd, {"AT+CGSN", "AT+GSN"})) {
        return {"000000000000001", "OK"};
    }
    if (cmd == "AT+CSQ") {
        return {"+CSQ: 23,99", "OK"};
    }
    if (cmd == "AT+CSQ=?") {
        return {"+CSQ: (0-31,99),(0-7,99)", "OK"};
    }
    if (cmd == "AT^QRTC?") {
        return {"^QRTC: " + ClockText(), "OK"};
    }
    if (cmd.compare(0, 8, "AT^QRTC=") == 0) {
        if (!SetClock(line.substr(8))) {
            return {"ERROR"};
        }
        return {"OK"};
    }
    return {"ERROR"};
}

static std::vector<std::string> SplitLines(const std::string& answer)
{
    std::vector<std::string> lines;
    if (answer.empty()) {
        return lines;
    }
    size_t start = 0;
    for (;;) {
        const size_t bar = answer.find('|', start);
        lines.push_back(answer.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) {
            return lines;
        }
        start = bar + 1;
    }
}

static Entry* FindEntry(const std::string& cmd)
{
    for (Entry& e : Table) {
        if (!e.Prefix && e.Command == cmd) {
            return &e;
        }
    }
    // Of the prefixes, the longest that matches.
    Entry* best = nullptr;
    for (Entry& e : Table) {
        if (e.Prefix && cmd.compare(0, e.Command.size(), e.Command) == 0 &&
            (best == nullptr || e.Command.size() > best->Command.size())) {
            best = &e;
        }
    }
    return best;
}

std::vector<std::string> Answer(const std::string& line)
{
    Entry* entry = FindEntry(Upper(line));
    if (entry == nullptr) {
        return BuiltInAnswer(line);
    }
    entry->Asked++;
    const size_t turn = entry->Asked <= entry->Turns.size() ? entry->Asked - 1 : entry->Turns.size() - 1;
    std::string text = entry->Turns[turn];
    const std::string count = std::to_string(entry->Asked);
    for (size_t at = text.find("{n}"); at != std::string::npos; at = text.find("{n}", at + count.size())) {
        text.replace(at, 3, count);
    }
    return SplitLines(text);
}

void ResetCounts()
{
    for (Entry& e : Table) {
        e.Asked = 0;
    }
}

// The wake-up arrives in one write, at the start of a run of torvex.
bool StartsWakeUp(const std::string& partial, const char* data, size_t n)
{
    const std::string wake = WakeUpLine;
    const bool goesOn = !partial.empty() && partial.size() < wake.size() &&
                        Upper(partial) == wake.substr(0, partial.size());
    return !goesOn && n >= 7 && Upper(std::string(data, 7)) == wake.substr(0, 7);
}
