// Escaped display of raw bytes for debug mode.
#pragma once

#include <cstddef>

// Bytes 32 to 127 are shown as they are; every other byte by its escape
// (\r, \x1B, ...), which EscapeByte answers, built in out when needed.
bool ShownAsIs(unsigned char c);
const char* EscapeByte(unsigned char c, char out[5]);
// Prints count bytes with every byte below 32 or above 127 escaped, then a
// closing double quote and a line feed.
void DisplayString(const char* bytes, size_t count);
