// Any line speed on Linux, through termios2 and BOTHER. Kept apart because
// <asm/termbits.h> cannot share a file with <termios.h>.
#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

#include "platform/posix/custom_speed.h"

int SetCustomSpeed(int fd, uint32_t baud)
{
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return errno;
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    if (ioctl(fd, TCSETS2, &tio) != 0) {
        return errno;
    }
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return errno;
    }
    return tio.c_ospeed == baud ? 0 : EINVAL;
}
