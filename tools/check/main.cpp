// torvex-check: tells what a script will really do, before it meets a device.
// Findings go to standard output one a line, FILE:LINE: error|warning: TEXT [code],
// the form compilers use, so editors and CI can jump to them. Opens no port.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "run/settings.h"
#include "script/source.h"
#include "tools/check/check.h"

#ifndef TORVEX_CHECK_VERSION
#define TORVEX_CHECK_VERSION "unknown"
#endif

enum CheckStatus {
    CHECK_CLEAN = 0,     // no error (and with --strict no warning)
    CHECK_FOUND = 1,
    CHECK_TROUBLE = 2,   // a wrong command line, or a script that cannot be read
};

static void Usage(FILE* out)
{
    fprintf(out,
            "Usage: torvex-check [--wire] [--strict] [-UTC] [--time=YYYY-MM-DDTHH:MM:SS] SCRIPT...\n"
            "\n"
            "Reads each script as torvex would run it, following its jumps, and\n"
            "reports, one a line as FILE:LINE: error: TEXT or FILE:LINE: warning: TEXT,\n"
            "where the run will surely stop, fail or not do what the line says\n"
            "(errors), or where that depends on the device or a key (warnings).\n"
            "No port is opened. A SCRIPT of - is standard input.\n"
            "\n"
            "  --wire     also show, for each modem command, the bytes sent to the port\n"
            "  --strict   warnings count as errors for the exit status\n"
            "  -UTC       the clock command starts in UTC, as with torvex -UTC\n"
            "  --time=T   fill in the clock command for this UTC time, not the present\n"
            "  --help     show this text\n"
            "  --version  show the version\n"
            "\n"
            "Exit status: 0 no error, 1 errors (or warnings with --strict), 2 a wrong\n"
            "command line or a script that cannot be read.\n");
}

// Exactly width digits at *text, moved past them.
static bool Digits(const char** text, int width, unsigned* value)
{
    *value = 0;
    for (int i = 0; i < width; i++, (*text)++) {
        if (**text < '0' || **text > '9') {
            return false;
        }
        *value = *value * 10 + static_cast<unsigned>(**text - '0');
    }
    return true;
}

// One of the allowed characters at *text, moved past it.
static bool Mark(const char** text, const char* allowed)
{
    if (**text == '\0' || strchr(allowed, **text) == nullptr) {
        return false;
    }
    (*text)++;
    return true;
}

// Days in a month of the Gregorian calendar, which the system clock follows.
static unsigned DaysIn(unsigned month, unsigned year)
{
    static const unsigned days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return month == 2 && leap ? 29 : days[month - 1];
}

// YYYY-MM-DDTHH:MM:SS (or a space for the T), in UTC; a date that exists.
static bool ReadTime(const char* text, SystemTime* t)
{
    unsigned year, month, day, hour, minute, second;
    if (!Digits(&text, 4, &year) || !Mark(&text, "-") || !Digits(&text, 2, &month) || !Mark(&text, "-") ||
        !Digits(&text, 2, &day) || !Mark(&text, "T ") || !Digits(&text, 2, &hour) || !Mark(&text, ":") ||
        !Digits(&text, 2, &minute) || !Mark(&text, ":") || !Digits(&text, 2, &second) || *text != '\0' ||
        year < 1 || month < 1 || month > 12 || day < 1 || day > DaysIn(month, year) || hour > 23 || minute > 59 ||
        second > 59) {
        return false;
    }
    *t = SystemTime{static_cast<uint16_t>(year), static_cast<uint16_t>(month), 0, static_cast<uint16_t>(day),
                    static_cast<uint16_t>(hour), static_cast<uint16_t>(minute), static_cast<uint16_t>(second), 0};
    return true;
}

// ": LEVEL: ", between a finding's line and its text.
static std::string_view AroundLevel(Severity level)
{
    switch (level) {
    case Severity::Error: return ": error: ";
    case Severity::Warning: return ": warning: ";
    case Severity::Note: return ": note: ";
    }
    return ": ";
}

// Findings as FILE:LINE: LEVEL: TEXT [CODE], gathered in one buffer: a script
// can have a finding a line, and each costs a few copies, no format.
class FindingsOut {
public:
    void Add(const char* script, const Finding& f)
    {
        const std::string_view level = AroundLevel(f.Level);
        if (script != Script) {
            Script = script;
            ScriptLength = strlen(script);
        }
        const size_t scriptLength = ScriptLength;
        const size_t codeLength = f.Code != nullptr ? strlen(f.Code) : 0;
        const size_t most = scriptLength + 24 + 11 + f.Text.size() + codeLength + 3;
        if (Used + most > sizeof Bytes) {
            Flush();
            if (most > sizeof Bytes) {
                std::string line(script);
                line += ":" + std::to_string(f.Line) + std::string(level) + std::string(f.Text);
                line += f.Code != nullptr ? std::string(" [") + f.Code + "]\n" : "\n";
                (void)fwrite(line.data(), 1, line.size(), stdout);
                return;
            }
        }
        Put(script, scriptLength);
        Put(":", 1);
        const unsigned long number = f.Line < 0 ? 0 : static_cast<unsigned long>(f.Line);
        Used = static_cast<size_t>(std::to_chars(Bytes + Used, Bytes + sizeof Bytes, number).ptr - Bytes);
        Put(level.data(), level.size());
        Put(f.Text.data(), f.Text.size());
        if (f.Code != nullptr) {
            Put(" [", 2);
            Put(f.Code, codeLength);
            Put("]", 1);
        }
        Put("\n", 1);
    }

    void Flush()
    {
        (void)fwrite(Bytes, 1, Used, stdout);
        Used = 0;
    }

private:
    void Put(const char* bytes, size_t n)
    {
        memcpy(Bytes + Used, bytes, n);
        Used += n;
    }

    char Bytes[1 << 18] = {};
    size_t Used = 0;
    const char* Script = nullptr;
    size_t ScriptLength = 0;
};

int main(int argc, char** argv)
{
    CheckOptions options;
    bool strict = false;
    bool timeGiven = false;
    bool optionsEnd = false;
    std::vector<const char*> scripts;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (optionsEnd || arg[0] != '-' || strcmp(arg, "-") == 0) {
            scripts.push_back(arg);
        } else if (strcmp(arg, "--") == 0) {
            optionsEnd = true;
        } else if (strcmp(arg, "--wire") == 0) {
            options.Wire = true;
        } else if (strcmp(arg, "--strict") == 0) {
            strict = true;
        } else if (strcmp(arg, "-UTC") == 0 || strcmp(arg, "--utc") == 0) {
            options.Utc = true;
        } else if (strncmp(arg, "--time=", 7) == 0 && ReadTime(arg + 7, &options.Now)) {
            timeGiven = true;
        } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            Usage(stdout);
            return CHECK_CLEAN;
        } else if (strcmp(arg, "--version") == 0) {
            printf("torvex-check %s\n", TORVEX_CHECK_VERSION);
            return CHECK_CLEAN;
        } else {
            fprintf(stderr, "torvex-check: %s: %s\n",
                    strncmp(arg, "--time=", 7) == 0 ? "not a time (YYYY-MM-DDTHH:MM:SS)" : "unknown option", arg);
            Usage(stderr);
            return CHECK_TROUBLE;
        }
    }
    if (scripts.empty()) {
        fprintf(stderr, "torvex-check: no script named\n");
        Usage(stderr);
        return CHECK_TROUBLE;
    }
    if (!timeGiven) {
        UtcNow(&options.Now);
    }
    // A large script can have a finding a line: write them in big pieces, so
    // that a pipe's reader is woken once per pipeful, not per page.
    static char outBuffer[1 << 16];
    (void)setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
    PipeRoom(stdout);
    static FindingsOut out;
    long errors = 0;
    long warnings = 0;
    bool trouble = false;
    for (const char* script : scripts) {
        ScriptFile = script;
        FILE* in = OpenScript();
        if (in == nullptr) {
            trouble = true;
            continue;
        }
        const int stopped = CheckScript(in, options, [&](const Finding& f) {
            errors += f.Level == Severity::Error;
            warnings += f.Level == Severity::Warning;
            out.Add(script, f);
        });
        out.Flush();  // before any message about this script or the next
        if (stopped != 0) {
            ScriptNotChecked(stopped);
            trouble = true;
        }
        fclose(in);
    }
    if (trouble) {
        return CHECK_TROUBLE;
    }
    return errors > 0 || (strict && warnings > 0) ? CHECK_FOUND : CHECK_CLEAN;
}
