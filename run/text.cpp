// Small text helpers shared by the command line and the script engine.
#include "run/text.h"

#include <cstring>

void StripChars(char* text, const char* set)
{
    // Most texts hold none, or only a line end at their end.
    char* out = strpbrk(text, set);
    if (out == nullptr) {
        return;
    }
    for (const char* in = out; *in != '\0'; in++) {
        if (strchr(set, *in) == nullptr) {
            *out++ = *in;
        }
    }
    *out = '\0';
}

bool EqualNoCase(const char* a, const char* b)
{
    for (; *a != '\0' || *b != '\0'; a++, b++) {
        if (ToUpper(*a) != ToUpper(*b)) {
            return false;
        }
    }
    return true;
}

bool ReadNumber(const char* text, int32_t* value)
{
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        p++;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
    }
    if (*p < '0' || *p > '9') {
        return false;
    }
    // Accumulate towards the limit of the sign so that INT32_MIN is reachable.
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) {
            magnitude = limit;
        }
    }
    *value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return true;
}

const char* SkipBlanks(const char* text)
{
    while (*text == ' ' || *text == '\t') {
        text++;
    }
    return text;
}
