// The script file as the run reads it.
#pragma once

#include <cstdio>

// A script that cannot be repositioned (a pipe, a FIFO, a terminal) is held in
// a temporary file up to this size, so that jumps work on it as on a file.
constexpr long long SCRIPT_HELD_MAX = 256LL << 20;

// Opens ScriptFile for the run. Null, with a message, when it cannot be opened
// (a directory included), read, or held.
FILE* OpenScript();
// Reports a failed read of the script, err being the error number.
void ScriptReadFailed(int err);
