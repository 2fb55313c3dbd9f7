#include "serial/tty_speed.h"

#include <cerrno>

#if defined(__linux__)
// termios2 comes from the kernel's headers, which clash with the C
// library's termios.h: this file includes only them.
#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

int tty_set_any_speed(int fd, int baud)
{
    struct termios2 line;
    if (ioctl(fd, TCGETS2, &line) != 0)
        return errno;
    line.c_cflag &= ~(CBAUD | CBAUD << IBSHIFT);
    line.c_cflag |= BOTHER | BOTHER << IBSHIFT;
    line.c_ispeed = line.c_ospeed = static_cast<speed_t>(baud);
    return ioctl(fd, TCSETSW2, &line) == 0 ? 0 : errno;
}

int tty_any_speed(int fd)
{
    // The kernel keeps the speed in baud, whichever way it was set.
    struct termios2 line;
    return ioctl(fd, TCGETS2, &line) == 0 ? static_cast<int>(line.c_ospeed) : 0;
}

#elif defined(__APPLE__)
#include <sys/ioctl.h>
#include <termios.h>

// IOKit/serial/ioss.h's, which the cross build's headers lack.
#ifndef IOSSIOSPEED
#define IOSSIOSPEED _IOW('T', 2, speed_t)
#endif

int tty_set_any_speed(int fd, int baud)
{
    speed_t speed = static_cast<speed_t>(baud);
    if (tcdrain(fd) != 0 && errno != EINTR)
        return errno;
    return ioctl(fd, IOSSIOSPEED, &speed) == 0 ? 0 : errno;
}

int tty_any_speed(int fd)
{
    // macOS keeps speeds in baud; one set by IOSSIOSPEED is not told.
    termios line;
    return tcgetattr(fd, &line) == 0 ? static_cast<int>(cfgetospeed(&line)) : 0;
}

#else
int tty_set_any_speed(int, int)
{
    return ENOTSUP;
}

int tty_any_speed(int)
{
    return 0;
}
#endif
