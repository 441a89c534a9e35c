// Modem command lines: expanded, shown, written to the port and answered.
#pragma once

#include "platform/platform.h"
#include "script/labels.h"

// Room for a line as read, the "AT" of the shorthand, and the terminator.
constexpr int LINE_BUFFER_SIZE = LINE_MAX_READ + 2 + 1;

// Puts "AT" in front of a "^Q" line, and makes the colon after a three- or
// four-letter name "=". Cmd must have LINE_BUFFER_SIZE bytes of room.
void ExpandShorthand(char* Cmd);
// The clock command, once the shorthand is expanded: the run replaces it whole.
bool IsClockCommand(const char* Cmd);
// Expands the "^Q" shorthand and the clock command in place; Cmd must have
// LINE_BUFFER_SIZE bytes of room. now is the UTC time for the clock command.
void ExpandCommand(char* Cmd, const SystemTime& now);
// Prints the line and, for a plain command (no "^"), removes its line feeds,
// showing it escaped before and after in debug mode.
void PrepareLineEnd(char* Cmd);
// The bytes the run writes for this line, without showing anything: expanded,
// and a plain command without its line feeds.
void PrepareWire(char* Cmd, const SystemTime& now);
// Expands, shows and writes the line, then waits for SGood or SBad.
bool SendVLKCommand(CommPort* port, char* Cmd, const char* SGood, const char* SBad);
