// The characters of a modem line beyond printable ASCII: UTF-8 read strictly,
// and the look-alikes that stand in for ASCII by accident of copying, named.
// Only lines that hold such a byte come here.
#include <cstdint>
#include <cstring>

#include "tools/check/checker.h"

namespace {

struct Range {
    uint32_t First;
    uint32_t Last;
    const char* What;
    bool Invisible;  // passed over by the eye: what follows seems to begin the line
};

// The look-alikes, in code point order. The manual and the differential
// test's generator list the same.
const Range LookAlikes[] = {
    {0x00A0, 0x00A0, "a no-break space", true},
    {0x00AB, 0x00AB, "a curly double quote", false},
    {0x00AD, 0x00AD, "a soft hyphen", true},
    {0x00B4, 0x00B4, "a curly quote", false},
    {0x00BB, 0x00BB, "a curly double quote", false},
    {0x034F, 0x034F, "an invisible character", true},
    {0x1680, 0x1680, "a Unicode space", true},
    {0x180E, 0x180E, "a zero-width space", true},
    {0x2000, 0x200A, "a Unicode space", true},
    {0x200B, 0x200B, "a zero-width space", true},
    {0x200C, 0x200D, "a zero-width joiner", true},
    {0x200E, 0x200F, "an invisible direction mark", true},
    {0x2010, 0x2015, "a dash", false},
    {0x2018, 0x201B, "a curly quote", false},
    {0x201C, 0x201F, "a curly double quote", false},
    {0x2028, 0x2028, "a line separator", true},
    {0x2029, 0x2029, "a paragraph separator", true},
    {0x202A, 0x202E, "an invisible direction mark", true},
    {0x202F, 0x202F, "a no-break space", true},
    {0x2032, 0x2032, "a curly quote", false},
    {0x2033, 0x2033, "a curly double quote", false},
    {0x2039, 0x203A, "a curly quote", false},
    {0x2043, 0x2043, "a dash", false},
    {0x205F, 0x205F, "a Unicode space", true},
    {0x2060, 0x2064, "an invisible character", true},
    {0x2066, 0x2069, "an invisible direction mark", true},
    {0x2212, 0x2212, "a minus sign", false},
    {0x3000, 0x3000, "a full-width space", true},
    {0xFE58, 0xFE58, "a dash", false},
    {0xFE63, 0xFE63, "a dash", false},
    {0xFEFF, 0xFEFF, "a byte order mark", true},
    {0xFF01, 0xFF5E, "a full-width form", false},
};

// Strict UTF-8: no overlong form, no surrogate, nothing past U+10FFFF.
size_t Decode(const unsigned char* s, size_t n, uint32_t* code)
{
    const unsigned char c = s[0];
    size_t len = 0;
    uint32_t min = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2, min = 0x80, *code = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3, min = 0x800, *code = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4, min = 0x10000, *code = c & 0x07u;
    } else {
        return 0;
    }
    if (len > n) {
        return 0;
    }
    for (size_t i = 1; i < len; i++) {
        if ((s[i] & 0xC0) != 0x80) {
            return 0;
        }
        *code = (*code << 6) | (s[i] & 0x3Fu);
    }
    const bool surrogate = *code >= 0xD800 && *code <= 0xDFFF;
    return *code < min || *code > 0x10FFFF || surrogate ? 0 : len;
}

}  // namespace

OddChar ReadOddChar(const char* text, size_t length)
{
    OddChar odd = {static_cast<unsigned char>(text[0]), 1, nullptr, false, false};
    const unsigned char c = static_cast<unsigned char>(text[0]);
    if (c < 128) {
        odd.What = c == '\t' ? "a tab" : c == '\f' ? "a form feed (page break)" : "a control byte";
        return odd;
    }
    const size_t n = Decode(reinterpret_cast<const unsigned char*>(text), length, &odd.Code);
    if (n == 0) {
        odd.Code = c;
        odd.Invalid = true;
        return odd;
    }
    odd.Length = n;
    if (odd.Code < 0xA0) {
        odd.What = "a C1 control character";
        return odd;
    }
    for (const Range& r : LookAlikes) {
        if (odd.Code >= r.First && odd.Code <= r.Last) {
            odd.What = r.What;
            odd.Invisible = r.Invisible;
            break;
        }
    }
    return odd;
}

void AppendCodePoint(std::string* out, uint32_t code)
{
    static const char hex[] = "0123456789ABCDEF";
    *out += "U+";
    const int digits = code > 0xFFFF ? 6 : 4;
    for (int i = digits - 1; i >= 0; i--) {
        *out += hex[(code >> (4 * i)) & 0xF];
    }
}
