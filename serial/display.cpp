// Escaped display of raw bytes for debug mode.
#include "serial/display.h"

#include <cstdio>

bool ShownAsIs(unsigned char c)
{
    return c >= 32 && c <= 127;
}

const char* EscapeByte(unsigned char c, char out[5])
{
    switch (c) {
    case 0: return "\\0";
    case 7: return "\\a";
    case 8: return "\\b";
    case 9: return "\\t";
    case 10: return "\\n";
    case 11: return "\\v";
    case 12: return "\\f";
    case 13: return "\\r";
    default: snprintf(out, 5, "\\x%02X", c); return out;
    }
}

void DisplayString(const char* bytes, size_t count)
{
    size_t i = 0;
    while (i < count) {
        // A run of printable bytes in one call: a read can be 768 bytes long.
        size_t run = i;
        while (run < count && ShownAsIs(static_cast<unsigned char>(bytes[run]))) {
            run++;
        }
        if (run > i) {
            (void)fwrite(bytes + i, 1, run - i, stdout);
            i = run;
            continue;
        }
        char escape[5];
        fputs(EscapeByte(static_cast<unsigned char>(bytes[i++]), escape), stdout);
    }
    fputs("\"\n", stdout);
}
