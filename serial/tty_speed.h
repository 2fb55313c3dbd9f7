// Line speeds that the standard termios constants do not name (1250000
// baud, 1041667, ...), the platform's way: termios2 with BOTHER on Linux,
// IOSSIOSPEED on macOS. Shared by the tty transport and the board emulator.
#ifndef DRAMLIFT_SERIAL_TTY_SPEED_H
#define DRAMLIFT_SERIAL_TTY_SPEED_H

// Sets the terminal's speed both ways to exactly that many baud, once what
// was written has gone. Returns 0, or the system's error (ENOTSUP where the
// platform has no way).
int tty_set_any_speed(int fd, int baud);

// The speed the terminal is at, in baud, however it was set; 0 when the
// platform cannot tell. On a pseudo-terminal's master, the tool's end's.
int tty_any_speed(int fd);

#endif
