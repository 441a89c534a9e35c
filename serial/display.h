// Escaped display of raw bytes for debug mode.
#pragma once

#include <cstddef>

// Bytes 32 to 127 are shown as they are; the rest escaped, as \n or \x1B.
bool ShownAsIs(unsigned char c);
// For the companions' output: DEL (127) escaped too, since a terminal acts on it.
inline bool ShownAsIsOnTerminal(unsigned char c)
{
    return c >= 32 && c < 127;
}
// The escaped form of one byte that is not shown as it is, written to text
// (5 bytes) and answered.
const char* EscapedByte(unsigned char c, char* text);
// Prints count bytes with every byte below 32 or above 127 escaped, then a
// closing double quote and a line feed.
void DisplayString(const char* bytes, size_t count);
