// Modem command lines: expanded, shown, written to the port and answered.
#include "script/modem.h"

#include <cstring>

#include "clock/nzst.h"
#include "run/settings.h"
#include "run/text.h"
#include "serial/display.h"
#include "serial/response.h"

// In "AT^QABC: 1" or "AT^QABCD: 1" the colon after the name becomes "=".
static void ColonToEquals(char* Cmd, size_t length, size_t at)
{
    if (at + 1 < length && Cmd[at] == ':' && Cmd[at + 1] == ' ') {
        Cmd[at] = '=';
    }
}

void ExpandShorthand(char* Cmd)
{
    if (!StartsWithNoCase(Cmd, "^Q")) {
        return;
    }
    size_t length = strlen(Cmd);
    if (length > LINE_BUFFER_SIZE - 3) {
        length = LINE_BUFFER_SIZE - 3;  // never the case for a line as read
    }
    memmove(Cmd + 2, Cmd, length + 1);
    Cmd[length + 2] = '\0';
    Cmd[0] = 'A';
    Cmd[1] = 'T';
    length += 2;
    ColonToEquals(Cmd, length, 7);
    ColonToEquals(Cmd, length, 8);
}

bool IsClockCommand(const char* Cmd)
{
    return StartsWithNoCase(Cmd, "AT^QRTC=");
}

void ExpandCommand(char* Cmd, const SystemTime& now)
{
    ExpandShorthand(Cmd);
    if (IsClockCommand(Cmd)) {
        SystemTime t = now;
        if (!UTC) {
            AdjustUTCtoNZST(&t);
        }
        snprintf(Cmd, LINE_BUFFER_SIZE, "AT^QRTC=%04d/%02d/%02d %2d:%02d:%02d\r\n", t.wYear, t.wMonth,
                 t.wDay, t.wHour, t.wMinute, t.wSecond);
    }
}

// A plain command (no "^") loses its line feeds; the device's own commands keep them.
static void DropLineFeeds(char* Cmd, bool show)
{
    if (strchr(Cmd, '^') != nullptr) {
        return;
    }
    if (show && Debug) {
        DisplayString(Cmd, strlen(Cmd));
    }
    StripChars(Cmd, "\n");
    if (show && Debug) {
        DisplayString(Cmd, strlen(Cmd));
    }
}

void PrepareLineEnd(char* Cmd)
{
    fputs(Cmd, stdout);
    DropLineFeeds(Cmd, true);
}

void PrepareWire(char* Cmd, const SystemTime& now)
{
    ExpandCommand(Cmd, now);
    DropLineFeeds(Cmd, false);
}

// Only the clock command, with or without the shorthand, needs the time; the
// answer to the previous command and the next write do not wait for it.
static bool MayBeClockCommand(const char* Cmd)
{
    return StartsWithNoCase(Cmd, "^QRTC") || StartsWithNoCase(Cmd, "AT^QRTC");
}

bool SendVLKCommand(CommPort* port, char* Cmd, const char* SGood, const char* SBad)
{
    SystemTime now = {};
    if (MayBeClockCommand(Cmd)) {
        UtcNow(&now);
    }
    ExpandCommand(Cmd, now);
    PrepareLineEnd(Cmd);
    long err = 0;
    uint32_t nTx = 0;
    PortWrite(port, Cmd, static_cast<uint32_t>(strlen(Cmd)), &nTx, &err);
    return WaitForString(port, Cmd, SGood, SBad, Timeout);
}
