// Escaped display of raw bytes for debug mode.
#include "serial/display.h"

#include <cstdio>

// Printable bytes, 32 to 127, go out as they are.
static bool Printable(unsigned char c)
{
    return c >= 32 && c <= 127;
}

void DisplayString(const char* bytes, size_t count)
{
    size_t i = 0;
    while (i < count) {
        // A run of printable bytes in one call: a read can be 768 bytes long.
        size_t run = i;
        while (run < count && Printable(static_cast<unsigned char>(bytes[run]))) {
            run++;
        }
        if (run > i) {
            (void)fwrite(bytes + i, 1, run - i, stdout);
            i = run;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(bytes[i++]);
        switch (c) {
        case 0: fputs("\\0", stdout); break;
        case 7: fputs("\\a", stdout); break;
        case 8: fputs("\\b", stdout); break;
        case 9: fputs("\\t", stdout); break;
        case 10: fputs("\\n", stdout); break;
        case 11: fputs("\\v", stdout); break;
        case 12: fputs("\\f", stdout); break;
        case 13: fputs("\\r", stdout); break;
        default: printf("\\x%02X", c);
        }
    }
    fputs("\"\n", stdout);
}
