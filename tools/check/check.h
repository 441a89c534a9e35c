// What a script will really do, found before it meets a device. Each line is
// read as the run reads it (script/line.h, the same labels and modem line
// rules), and what the run will do with it is reported where that surprises.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "platform/platform.h"

enum class Severity { Note, Warning, Error };

struct Finding {
    long Line;         // line of the file, from 1
    Severity Level;    // Note: what a modem command sends (--wire)
    const char* Code;  // a stable name, for the manual and for "disable="; null for a note
    std::string_view Text;  // valid during the report only
};

struct CheckOptions {
    bool Wire = false;    // a note with the bytes of every modem command
    bool Utc = false;     // the clock command starts in UTC, as with torvex -UTC
    SystemTime Now = {};  // UTC time the clock command is filled in with
};

using FindingSink = std::function<void(const Finding&)>;

// Checks an open script from its start; findings go to report in line order.
// A line "# torvex-check: disable=CODE,..." keeps those findings off the line
// after it. 0 when the script was read through; else what stopped the reading,
// for ScriptNotChecked: an error number, or SCRIPT_CHANGED when the file was
// not the same the second time it was read.
int CheckScript(FILE* in, const CheckOptions& options, const FindingSink& report);
constexpr int SCRIPT_CHANGED = -1;
// torvex's message for a script that cannot be read (ScriptFile), or the
// checker's own for one that changed while it was checked.
void ScriptNotChecked(int why);

// A script's bytes as the debug display shows them: "AT\r\n" for A, T, CR, LF.
std::string Escaped(const char* bytes, size_t count);
