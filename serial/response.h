// Waiting for the device's answer and keeping it as the current response text.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr uint32_t RX_MAX = 768;  // bytes asked for by one read

// The latest non-empty read, its terminator, and one byte more so that a
// prompt's key and NUL fit even at the terminator of a full read.
extern char RxData[RX_MAX + 2];
// The current response text: a position in RxData, or an empty text of its
// own before the first answer.
extern char* RespStr;
extern uint32_t nRx;

// Reads until SGood or SBad shows up in the text after the echo of Sent, or
// until MaxWait seconds have passed. True only when SGood was found.
bool WaitForString(CommPort* port, const char* Sent, const char* SGood, const char* SBad,
                   int32_t MaxWait);

// The position in Rx after the device's echo of Tx, without touching RespStr.
const char* SkipEcho(const char* Tx, const char* Rx);
// SkipEcho, and that position becomes RespStr.
char* Response(const char* Tx, char* Rx);
// Prints the text's lines joined on one line with ", ".
void PrintResponse(const char* S);
