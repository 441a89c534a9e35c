// Escaped display of raw bytes for debug mode.
#pragma once

#include <cstddef>

// Prints count bytes with every byte below 32 or above 127 escaped, then a
// closing double quote and a line feed.
void DisplayString(const char* bytes, size_t count);
