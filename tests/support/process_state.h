// Puts the process-wide settings, the response text and the label list back to
// their start-up values, so that each in-process test begins as a fresh run.
#pragma once

#include <cstdlib>
#include <cstring>

#include "run/settings.h"
#include "script/labels.h"
#include "serial/response.h"

// RespStr is constant-initialised to its own empty text, so this sees it before any test runs.
inline char* const StartupRespStr = RespStr;

inline void ResetProcessState()
{
    PortName = "COM1";
    BaudRate = 9600;
    ScriptFile = nullptr;
    Debug = false;
    UTC = false;
    Timeout = 10;
    HelpAsked = false;
    StartupRespStr[0] = '\0';
    RespStr = StartupRespStr;
    memset(RxData, 0, sizeof RxData);
    nRx = 0;
    while (Labels != nullptr) {
        LabelRec* next = Labels->Next;
        free(Labels);
        Labels = next;
    }
}
