// torvex-rack on POSIX: what the console's code tells the rest of the POSIX side.
#pragma once

// Whether keys are read now: the terminal is in the rack's key mode and a prompt is up.
bool KeysOn();
