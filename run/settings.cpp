// The run's settings and the command line that sets them.
#include "run/settings.h"

#include <cstdio>

#include "run/text.h"

const char* PortName = "COM1";
uint32_t BaudRate = 9600;
const char* ScriptFile = nullptr;
bool Debug = false;
bool UTC = false;
int32_t Timeout = 10;
bool HelpAsked = false;

void ShowHelp()
{
    printf("\n"
           "TORVEX script_file [-PORT=com_port_name] [-BAUD=baud_rate] [-DEBUG] [[-]?]\n"
           "\n"
           "Script commands:\n"
           "#debug                     - Turns on debug mode\n"
           "#nodebug                   - Turns off debug mode\n"
           "#timeout <seconds>         - Set the modem response timeout\n"
           "#wait <seconds>            - Waits a specified time\n"
           "#bell                      - Makes an audible beep\n"
           "#print <message>           - Displays message\n"
           "#prompt <message>          - Displays message and waits for a key press\n"
           "#UTC                       - Use UTC time with RTC command\n"
           "#NZST                      - Use NZST time with RTC command\n"
           "#goto <label>              - Jump to location in script\n"
           "#if (<condition>) <label>  - Conditional branch\n"
           ":<label>                   - Define label for jump\n"
           "\n"
           "Conditions:\n"
           "     <substring>           - true if substring found in response\n"
           "     <<value>              - true if response less then value\n"
           "     ><value>              - true if response greater than value\n"
           "     =<value>              - true if response equals value\n");
}

bool ProcessCmdLine(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (arg[0] == '-' && arg[1] != '\0') {  // "-" alone is standard input
            // Every prefix that matches acts, so -PORT=... is also checked against the rest.
            if (StartsWithNoCase(arg, "-PORT=")) {
                PortName = arg + 6;
            }
            if (StartsWithNoCase(arg, "-BAUD=")) {
                int32_t baud;
                if (ReadNumber(arg + 6, &baud)) {
                    BaudRate = static_cast<uint32_t>(baud);
                }
            }
            if (StartsWithNoCase(arg, "-?")) {
                HelpAsked = true;
                ShowHelp();
                return false;
            }
            if (StartsWithNoCase(arg, "-DEBUG")) {
                Debug = true;
            }
            if (StartsWithNoCase(arg, "-UTC")) {
                UTC = true;
            }
        } else if (arg[0] == '?') {
            HelpAsked = true;
            ShowHelp();
            return false;
        } else {
            ScriptFile = arg;
        }
    }
    if (ScriptFile == nullptr) {
        printf("No script file specified.\n");
        ShowHelp();
        return false;
    }
    return true;
}
