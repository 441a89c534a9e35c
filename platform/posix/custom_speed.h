// Line speeds outside the termios table, where the system can set them.
#pragma once

#include <cstdint>

// Sets both speeds of an open terminal to baud. 0, or the error number.
int SetCustomSpeed(int fd, uint32_t baud);
