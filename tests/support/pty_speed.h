// The speed a terminal is set to, including speeds outside the termios table.
#pragma once

#include <cstdint>

uint32_t PtyOutputSpeed(int fd);
