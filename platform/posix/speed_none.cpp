// Systems without an arbitrary-speed call take only the speeds of the termios table.
#include <cerrno>

#include "platform/posix/custom_speed.h"

int SetCustomSpeed(int /*fd*/, uint32_t /*baud*/)
{
    return EINVAL;
}
