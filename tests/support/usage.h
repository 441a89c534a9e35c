// The usage text, as a user sees it, for the tests that check it byte for byte.
#pragma once

#include <string>

inline const std::string Usage =
    "\n"
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
    "     =<value>              - true if response equals value\n";
