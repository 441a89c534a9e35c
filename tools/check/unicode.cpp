// The characters of a modem line beyond printable ASCII: UTF-8 read strictly,
// and the look-alikes that stand in for ASCII by accident of copying, named.
// Only lines that hold such a byte come here.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "tools/check/checker.h"

namespace {

struct Range {
    uint32_t First;
    uint32_t Last;
    const char* What;
    bool Invisible;  // passed over by the eye: what follows seems to begin the line
};

// The look-alikes, in code point order: every space, line and paragraph
// separator and format character beyond ASCII, the variation selectors,
// fillers and other marks drawn as nothing; every dash; the minus signs;
// every quote and prime and the accents drawn as one; the ideographic and
// full-width forms. Made from Unicode 14's character data. The manual and
// the differential test's generator list the same ranges in the same order.
const Range LookAlikes[] = {
    {0x00A0, 0x00A0, "a no-break space", true},
    {0x00AB, 0x00AB, "a curly double quote", false},
    {0x00AD, 0x00AD, "a soft hyphen", true},
    {0x00B4, 0x00B4, "an accent that looks like a quote", false},
    {0x00BB, 0x00BB, "a curly double quote", false},
    {0x02B9, 0x02BA, "a prime mark", false},
    {0x02BC, 0x02BC, "a curly quote", false},
    {0x02C8, 0x02C8, "an accent that looks like a quote", false},
    {0x02CA, 0x02CB, "an accent that looks like a quote", false},
    {0x02D7, 0x02D7, "a minus sign", false},
    {0x02EE, 0x02EE, "a curly double quote", false},
    {0x034F, 0x034F, "an invisible character", true},
    {0x055A, 0x055A, "a curly quote", false},
    {0x058A, 0x058A, "a dash", false},
    {0x05BE, 0x05BE, "a dash", false},
    {0x0600, 0x0605, "a format character", false},
    {0x061C, 0x061C, "an invisible direction mark", true},
    {0x06DD, 0x06DD, "a format character", false},
    {0x070F, 0x070F, "a format character", false},
    {0x07F4, 0x07F5, "a curly quote", false},
    {0x0890, 0x0891, "a format character", false},
    {0x08E2, 0x08E2, "a format character", false},
    {0x115F, 0x1160, "a Hangul filler", true},
    {0x1400, 0x1400, "a dash", false},
    {0x1680, 0x1680, "a Unicode space", true},
    {0x17B4, 0x17B5, "an invisible character", true},
    {0x1806, 0x1806, "a dash", false},
    {0x180B, 0x180D, "an invisible variation selector", true},
    {0x180E, 0x180E, "a zero-width space", true},
    {0x180F, 0x180F, "an invisible variation selector", true},
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
    {0x2032, 0x2037, "a prime mark", false},
    {0x2039, 0x203A, "a curly quote", false},
    {0x2043, 0x2043, "a dash", false},
    {0x2057, 0x2057, "a prime mark", false},
    {0x205F, 0x205F, "a Unicode space", true},
    {0x2060, 0x2064, "an invisible character", true},
    {0x2066, 0x2069, "an invisible direction mark", true},
    {0x206A, 0x206F, "an invisible character", true},
    {0x207B, 0x207B, "a minus sign", false},
    {0x208B, 0x208B, "a minus sign", false},
    {0x2212, 0x2212, "a minus sign", false},
    {0x275B, 0x275C, "a curly quote", false},
    {0x275D, 0x275E, "a curly double quote", false},
    {0x275F, 0x275F, "a curly quote", false},
    {0x2760, 0x2760, "a curly double quote", false},
    {0x276E, 0x276F, "a curly double quote", false},
    {0x2796, 0x2796, "a minus sign", false},
    {0x2800, 0x2800, "a blank Braille pattern", true},
    {0x2E02, 0x2E05, "a quotation bracket", false},
    {0x2E09, 0x2E0A, "a quotation bracket", false},
    {0x2E0C, 0x2E0D, "a quotation bracket", false},
    {0x2E17, 0x2E17, "a dash", false},
    {0x2E1A, 0x2E1A, "a dash", false},
    {0x2E1C, 0x2E1D, "a quotation bracket", false},
    {0x2E20, 0x2E21, "a quotation bracket", false},
    {0x2E3A, 0x2E3B, "a dash", false},
    {0x2E40, 0x2E40, "a dash", false},
    {0x2E42, 0x2E42, "a curly double quote", false},
    {0x2E5D, 0x2E5D, "a dash", false},
    {0x3000, 0x3000, "a full-width space", true},
    {0x3001, 0x3001, "an ideographic comma", false},
    {0x3002, 0x3002, "an ideographic full stop", false},
    {0x301C, 0x301C, "a dash", false},
    {0x301D, 0x301F, "a curly double quote", false},
    {0x3030, 0x3030, "a dash", false},
    {0x30A0, 0x30A0, "a dash", false},
    {0x3164, 0x3164, "a Hangul filler", true},
    {0xFE00, 0xFE0F, "an invisible variation selector", true},
    {0xFE31, 0xFE32, "a dash", false},
    {0xFE58, 0xFE58, "a dash", false},
    {0xFE63, 0xFE63, "a dash", false},
    {0xFEFF, 0xFEFF, "a byte order mark", true},
    {0xFF01, 0xFF5E, "a full-width form", false},
    {0xFF61, 0xFF61, "an ideographic full stop", false},
    {0xFF64, 0xFF64, "an ideographic comma", false},
    {0xFFA0, 0xFFA0, "a Hangul filler", true},
    {0xFFE0, 0xFFE6, "a full-width form", false},
    {0xFFF9, 0xFFFB, "an invisible character", true},
    {0x10EAD, 0x10EAD, "a dash", false},
    {0x110BD, 0x110BD, "a format character", false},
    {0x110CD, 0x110CD, "a format character", false},
    {0x13430, 0x13438, "an invisible character", true},
    {0x1BCA0, 0x1BCA3, "an invisible character", true},
    {0x1D173, 0x1D17A, "an invisible character", true},
    {0x1F676, 0x1F678, "a curly double quote", false},
    {0xE0001, 0xE0001, "an invisible tag character", true},
    {0xE0020, 0xE007F, "an invisible tag character", true},
    {0xE0100, 0xE01EF, "an invisible variation selector", true},
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
    // The last range that starts at or before the code.
    const Range* r = std::upper_bound(std::begin(LookAlikes), std::end(LookAlikes), odd.Code,
                                      [](uint32_t code, const Range& x) { return code < x.First; });
    if (r != std::begin(LookAlikes) && odd.Code <= r[-1].Last) {
        odd.What = r[-1].What;
        odd.Invisible = r[-1].Invisible;
    }
    return odd;
}

void AppendCodePoint(std::string* out, uint32_t code)
{
    static const char hex[] = "0123456789ABCDEF";
    *out += "U+";
    const int digits = code > 0xFFFFF ? 6 : code > 0xFFFF ? 5 : 4;
    for (int i = digits - 1; i >= 0; i--) {
        *out += hex[(code >> (4 * i)) & 0xF];
    }
}
