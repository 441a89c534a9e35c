// The script file as the run reads it: opened as bytes, directories refused,
// and a script that cannot be repositioned read in full first, so that a piped
// or generated script runs exactly as the same script in a file would.
#include "script/source.h"

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "run/settings.h"

void ScriptReadFailed(int err)
{
    printf("Error reading source file: %s: %s\n", ScriptFile, strerror(err));
}

// Copies all of in into a temporary file positioned at its start. Null, with
// a message, when in cannot be read or the copy cannot be made.
static FILE* HoldScript(FILE* in)
{
    FILE* held = TempFile();
    int err = errno;
    long long total = 0;
    static char buf[65536];
    while (held != nullptr) {
        const size_t n = fread(buf, 1, sizeof buf, in);
        if (n == 0) {
            if (ferror(in)) {
                ScriptReadFailed(errno);
                fclose(held);
                return nullptr;
            }
            if (fflush(held) == 0) {
                rewind(held);
                return held;
            }
            err = errno;
            break;
        }
        total += static_cast<long long>(n);
        if (total > SCRIPT_HELD_MAX) {
            printf("Cannot hold source file %s: %s\n", ScriptFile, strerror(EFBIG));
            fclose(held);
            return nullptr;
        }
        if (fwrite(buf, 1, n, held) != n) {
            err = errno;
            break;
        }
    }
    // The temporary space failed, not the script.
    printf("Cannot hold source file %s in a temporary file in %s: %s\n", ScriptFile, TempDir(), strerror(err));
    if (held != nullptr) {
        fclose(held);
    }
    return nullptr;
}

FILE* OpenScript()
{
    FILE* in = FileOpenRead(ScriptFile);
    if (in == nullptr) {
        printf("Error opening source file: %s\n", ScriptFile);
        return nullptr;
    }
    KeysApartFrom(in);
    if (FileSeekable(in)) {
        return in;
    }
    FILE* held = HoldScript(in);
    fclose(in);
    return held;
}
