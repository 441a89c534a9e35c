// torvex-rack on POSIX: what the console's code tells the rest of the POSIX side.
#pragma once

// Whether the terminal is in the rack's key mode, so that its keys are read.
bool KeysOn();
