#include "app/wake.h"

#include "serial/serial.h"
#include "xmodem/xmodem.h"

static const unsigned char WAKE_PATTERN[] = {0xBB, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};

enum { WAKE_ANSWER_TIMEOUT_MS = 50 };

void send_wake_pattern()
{
    serial_write(WAKE_PATTERN, sizeof WAKE_PATTERN);
}

WakeResult wake_board(int limit_s)
{
    long long give_up_at = serial_clock_ms() + limit_s * 1000LL;
    // Any other byte from the board costs a pass and is dropped.
    for (;;) {
        send_wake_pattern();
        if (serial_read_byte(WAKE_ANSWER_TIMEOUT_MS) == XMODEM_NAK)
            return WAKE_ANSWERED;
        if (serial_lost())
            return WAKE_PORT_LOST;
        if (serial_stop_requested())
            return WAKE_STOPPED;
        if (limit_s > 0 && serial_clock_ms() >= give_up_at)
            return WAKE_NO_ANSWER;
    }
}
