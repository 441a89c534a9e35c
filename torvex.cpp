// torvex: drives a modem-attached device over a serial port from a script.
// This file is the run from start to end; each step is one call.
#include <cerrno>
#include <cstdio>

#include "platform/platform.h"
#include "run/progress.h"
#include "run/settings.h"
#include "script/commands.h"
#include "script/labels.h"
#include "script/line.h"
#include "script/modem.h"
#include "script/source.h"
#include "serial/port.h"
#include "serial/response.h"

// Exit status, for scripts that run torvex.
enum ExitStatus {
    EXIT_DONE = 0,          // the script ran to its end, or help was asked for
    EXIT_COMMAND_FAILED = 1,
    EXIT_NO_SCRIPT = 2,
    EXIT_PORT_FAILED = 3,
    EXIT_SCRIPT_FAILED = 4,  // the script could not be opened or read
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

// Runs the script's lines to the end, to the first failed modem command, or
// to a failed read of the script; answers the exit status.
static ExitStatus RunScript(CommPort* hCOM, FILE* FIn)
{
    static char StrBuf[LINE_BUFFER_SIZE];
    for (;;) {
        const int64_t at = ProgressOn ? FileTell(FIn) : 0;  // where the line starts, for the rack
        if (fgets(StrBuf, LINE_MAX_READ + 1, FIn) == nullptr) {
            break;
        }
        const LineKind kind = KindOf(StrBuf);
        if (kind == LineKind::Command || kind == LineKind::Modem) {
            Progress("line", static_cast<long long>(at));
        }
        switch (kind) {
        case LineKind::Skipped:
        case LineKind::Label:
            break;
        case LineKind::Command:
            ProcessCommand(FIn, StrBuf + 1);
            break;
        case LineKind::Modem:
            if (!SendVLKCommand(hCOM, StrBuf, "OK", "ERROR")) {
                return EXIT_COMMAND_FAILED;
            }
            continue;  // the answer waits for the next flush: the next command is not held up
        }
        FlushConsole();  // out before a signal, also in a loop that never blocks
    }
    // Only the end of the script ends the loop quietly; a failed read is not its end.
    if (ferror(FIn)) {
        ScriptReadFailed(errno);
        return EXIT_SCRIPT_FAILED;
    }
    return EXIT_DONE;
}

int main(int argc, char** argv)
{
    PrepareConsole();
    StartProgress();
    if (!ProcessCmdLine(argc, argv)) {
        return HelpAsked ? EXIT_DONE : EXIT_NO_SCRIPT;
    }
    CommPort* hCOM = nullptr;
    if (!SetupCommPort(&hCOM)) {
        PortClose(hCOM);
        return EXIT_PORT_FAILED;
    }
    Progress("settle");
    Pause(3000);
    Progress("wake");
    WakeDevice(hCOM);
    FILE* FIn = OpenScript();
    if (FIn == nullptr) {
        PortClose(hCOM);
        return EXIT_SCRIPT_FAILED;
    }
    const ExitStatus status = ScanFileForLabels(FIn) ? RunScript(hCOM, FIn) : EXIT_SCRIPT_FAILED;
    fclose(FIn);
    PortClose(hCOM);
    return status;
}
