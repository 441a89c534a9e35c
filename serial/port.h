// Opening the serial port and setting its line and time-outs.
#pragma once

#include "platform/platform.h"

// Time-outs that make a read return a whole burst of device output once the
// line has been quiet for a second.
extern const CommTimeouts COMTO;

bool SetupCommPort(CommPort** hCOM);
bool OpenCommPort(CommPort** hCOM);
bool ConfigureCommPortParameters(CommPort* hCOM);
