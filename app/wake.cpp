#include "app/wake.h"

#include "serial/serial.h"
#include "xmodem/xmodem.h"

static const unsigned char WAKE_PATTERN[] = {0xBB, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};

enum { WAKE_ANSWER_TIMEOUT_MS = 50 };

void send_wake_pattern()
{
    serial_write(WAKE_PATTERN, sizeof WAKE_PATTERN);
}

int wake_board()
{
    // Any other byte from the board costs a pass and is dropped.
    do {
        send_wake_pattern();
        if (serial_read_byte(WAKE_ANSWER_TIMEOUT_MS) == XMODEM_NAK)
            return 1;
    } while (!serial_lost());
    return 0;
}
