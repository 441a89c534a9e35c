// torvex: drives a modem-attached device over a serial port from a script.
// This file is the run from start to end; each step is one call.
#include <cstdio>

#include "platform/platform.h"
#include "run/settings.h"
#include "script/commands.h"
#include "script/labels.h"
#include "script/modem.h"
#include "serial/port.h"
#include "serial/response.h"

// Exit status, for scripts that run torvex.
enum ExitStatus {
    EXIT_DONE = 0,          // the script ran to its end, or help was asked for
    EXIT_COMMAND_FAILED = 1,
    EXIT_NO_SCRIPT = 2,
    EXIT_PORT_FAILED = 3,
    EXIT_SCRIPT_FAILED = 4,
};

static const char WakeUp[] = "AT^QESCAT^QESC=1\n\r";

static void WakeDevice(CommPort* hCOM)
{
    long err = 0;
    uint32_t nTx = 0;
    PortWrite(hCOM, WakeUp, sizeof WakeUp - 1, &nTx, &err);
    if (!WaitForString(hCOM, "AT^QESC", "OK", "ERROR", 15)) {
        PortWrite(hCOM, WakeUp, sizeof WakeUp - 1, &nTx, &err);
        WaitForString(hCOM, "AT^QESC", "OK", "ERROR", 15);
    }
}

// Runs the script's lines; false when a modem command failed.
static bool RunScript(CommPort* hCOM, FILE* FIn)
{
    static char StrBuf[LINE_BUFFER_SIZE];
    while (fgets(StrBuf, LINE_MAX_READ + 1, FIn) != nullptr) {
        switch (StrBuf[0]) {
        case '\n':
        case '\r':
        case ':':
            break;
        case '#':
            ProcessCommand(FIn, StrBuf + 1);
            break;
        default:
            if (!SendVLKCommand(hCOM, StrBuf, "OK", "ERROR")) {
                return false;
            }
        }
    }
    return true;
}

int main(int argc, char** argv)
{
    PrepareConsole();
    if (!ProcessCmdLine(argc, argv)) {
        return HelpAsked ? EXIT_DONE : EXIT_NO_SCRIPT;
    }
    CommPort* hCOM = nullptr;
    if (!SetupCommPort(&hCOM)) {
        PortClose(hCOM);
        return EXIT_PORT_FAILED;
    }
    Pause(3000);
    WakeDevice(hCOM);
    FILE* FIn = fopen(ScriptFile, "rb");
    if (FIn == nullptr) {
        printf("Error opening source file: %s\n", ScriptFile);
        PortClose(hCOM);
        return EXIT_SCRIPT_FAILED;
    }
    ScanFileForLabels(FIn);
    const bool completed = RunScript(hCOM, FIn);
    fclose(FIn);
    PortClose(hCOM);
    return completed ? EXIT_DONE : EXIT_COMMAND_FAILED;
}
