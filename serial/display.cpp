// Escaped display of raw bytes for debug mode.
#include "serial/display.h"

#include <cstdio>

bool ShownAsIs(unsigned char c)
{
    return c >= 32 && c <= 127;
}

const char* EscapedByte(unsigned char c, char* text)
{
    static const char named[] = "0......abtnvfr";
    if (c == 0 || (c >= 7 && c <= 13)) {
        text[0] = '\\';
        text[1] = named[c];
        text[2] = '\0';
    } else {
        snprintf(text, 5, "\\x%02X", c);
    }
    return text;
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
        char text[5];
        fputs(EscapedByte(static_cast<unsigned char>(bytes[i++]), text), stdout);
    }
    fputs("\"\n", stdout);
}
