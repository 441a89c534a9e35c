// Reads the speed through termios2, kept apart because <asm/termbits.h>
// cannot share a file with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "support/pty_speed.h"

uint32_t PtyOutputSpeed(int fd)
{
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return 0;
    }
    return tio.c_ospeed;
}
