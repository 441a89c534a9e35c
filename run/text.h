// Small text helpers shared by the command line and the script engine.
// Letter case is folded for A to Z only, whatever the locale.
#pragma once

#include <cstdint>

// Removes in place every character of text that occurs in set, keeping the order of the rest.
void StripChars(char* text, const char* set);

inline char ToUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when text begins with prefix, ignoring the case of A to Z. Inline: the
// script checker asks it for every line.
inline bool StartsWithNoCase(const char* text, const char* prefix)
{
    for (; *prefix != '\0'; text++, prefix++) {
        if (ToUpper(*text) != ToUpper(*prefix)) {
            return false;
        }
    }
    return true;
}

// True when the two texts are equal, ignoring the case of A to Z.
bool EqualNoCase(const char* a, const char* b);

// Reads a decimal number as "%d" would: leading white space, an optional sign,
// digits up to the first non-digit. Values beyond the 32-bit range saturate.
// False, with *value untouched, when there are no digits.
bool ReadNumber(const char* text, int32_t* value);

// Skips spaces and tabs.
const char* SkipBlanks(const char* text);
