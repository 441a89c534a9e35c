// The simulated device's real-time clock: the host's UTC plus an offset that
// AT^QRTC= sets, read back by AT^QRTC? as "YYYY/MM/DD HH:MM:SS".
#pragma once

#include <string>

// The clock now, as the device shows it.
std::string ClockText();
// Sets the clock from "YYYY/MM/DD HH:MM:SS" (the hour may be space padded); false
// and the clock untouched when the text is no date of 2000 to 2099.
bool SetClock(const std::string& text);
