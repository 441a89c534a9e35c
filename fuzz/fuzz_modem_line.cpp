// One modem command line through ExpandCommand and PrepareLineEnd.
// Input: a flags byte (bit 0 Debug, bit 1 UTC, bit 2 clock fields taken raw
// instead of kept in range), seven clock bytes (year low, year high, month,
// day, hour, minute, second), then the script line as one read would give it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "clock/nzst.h"
#include "fuzz/common.h"
#include "script/modem.h"

static constexpr size_t HEADER_SIZE = 8;

static SystemTime ClockFrom(const uint8_t* b, bool raw)
{
    SystemTime t = {};
    const uint16_t year = static_cast<uint16_t>(b[0] | (b[1] << 8));
    if (raw) {
        t.wYear = year;
        t.wMonth = b[2];
        t.wDay = b[3];
        t.wHour = b[4];
        t.wMinute = b[5];
        t.wSecond = b[6];
        return t;
    }
    t.wYear = static_cast<uint16_t>(year % 10000);
    t.wMonth = static_cast<uint16_t>(1 + b[2] % 12);
    t.wDay = static_cast<uint16_t>(1 + b[3] % DaysInMonth(t.wMonth, t.wYear));
    t.wHour = static_cast<uint16_t>(b[4] % 24);
    t.wMinute = static_cast<uint16_t>(b[5] % 60);
    t.wSecond = static_cast<uint16_t>(b[6] % 60);
    return t;
}

// The checks below use their own helpers, not the ones under test.
static char FoldAZ(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

static bool PrefixNoCase(const char* text, const char* prefix)
{
    for (; *prefix != '\0'; text++, prefix++) {
        if (FoldAZ(*text) != FoldAZ(*prefix)) {
            return false;
        }
    }
    return true;
}

static void RemoveLineFeeds(char* text)
{
    char* out = text;
    for (const char* in = text; *in != '\0'; in++) {
        if (*in != '\n') {
            *out++ = *in;
        }
    }
    *out = '\0';
}

// The line the shorthand should make: "AT" in front, ": " after a three- or
// four-letter name becomes "= ".
static void ExpectedShorthand(const char* line, char* out)
{
    out[0] = 'A';
    out[1] = 'T';
    strcpy(out + 2, line);
    const size_t length = strlen(out);
    for (size_t at = 7; at <= 8; at++) {
        if (at + 1 < length && out[at] == ':' && out[at + 1] == ' ') {
            out[at] = '=';
        }
    }
}

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    SilenceConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < HEADER_SIZE) {
        return -1;
    }
    const uint8_t flags = data[0];
    const bool raw = (flags & 4) != 0;
    const SystemTime now = ClockFrom(data + 1, raw);
    data += HEADER_SIZE;
    size -= HEADER_SIZE;

    // As fgets fills the line buffer: at most LINE_MAX_READ bytes, NULs
    // included, ending after the first line feed.
    size_t n = 0;
    while (n < size && n < static_cast<size_t>(LINE_MAX_READ)) {
        if (data[n++] == '\n') {
            break;
        }
    }
    // Exactly the program's buffer, with the leftovers of a longer earlier
    // line behind the terminator, so that any read or write past it shows.
    char* Cmd = static_cast<char*>(malloc(LINE_BUFFER_SIZE));
    memset(Cmd, 'Z', LINE_BUFFER_SIZE);
    memcpy(Cmd, data, n);
    Cmd[n] = '\0';

    char original[LINE_BUFFER_SIZE];
    strcpy(original, Cmd);

    Debug = (flags & 1) != 0;
    UTC = (flags & 2) != 0;

    ExpandCommand(Cmd, now);
    FUZZ_CHECK(strlen(Cmd) < static_cast<size_t>(LINE_BUFFER_SIZE));

    char expected[LINE_BUFFER_SIZE + 2];
    if (PrefixNoCase(original, "^Q")) {
        ExpectedShorthand(original, expected);
    } else {
        strcpy(expected, original);
    }
    if (PrefixNoCase(expected, "AT^QRTC=")) {
        FUZZ_CHECK(strncmp(Cmd, "AT^QRTC=", 8) == 0);
        const size_t length = strlen(Cmd);
        FUZZ_CHECK(length >= 2 && strcmp(Cmd + length - 2, "\r\n") == 0);
        if (!raw && now.wYear < 9999) {
            FUZZ_CHECK(length == 29);
        }
    } else {
        FUZZ_CHECK(strcmp(Cmd, expected) == 0);
    }

    const bool proprietary = strchr(Cmd, '^') != nullptr;
    strcpy(expected, Cmd);
    PrepareLineEnd(Cmd);
    if (proprietary) {
        FUZZ_CHECK(strcmp(Cmd, expected) == 0);
    } else {
        FUZZ_CHECK(strchr(Cmd, '\n') == nullptr);
        RemoveLineFeeds(expected);
        FUZZ_CHECK(strcmp(Cmd, expected) == 0);
    }

    free(Cmd);
    ResetSettings();
    return 0;
}
