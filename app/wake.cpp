#include "app/wake.h"

#include "app/heard.h"
#include "serial/serial.h"
#include "xmodem/xmodem.h"

const unsigned char WAKE_PATTERN[WAKE_PATTERN_SIZE] = {0xBB, 0x11, 0x22, 0x33,
                                                       0x44, 0x55, 0x66, 0x77};

enum { WAKE_ANSWER_TIMEOUT_MS = 50 };

void send_wake_pattern()
{
    serial_write(WAKE_PATTERN, sizeof WAKE_PATTERN);
}

WakeResult wake_board(int limit_s, bool (*first_sent)())
{
    long long give_up_at = serial_clock_ms() + limit_s * 1000LL;
    heard_begin(HEARD_WAKE);
    // Any other byte from the board costs a pass, and is only noted.
    for (bool first = true;; first = false) {
        send_wake_pattern();
        if (first && first_sent != nullptr && !first_sent())
            return WAKE_STOPPED;
        unsigned char answer;
        if (serial_read(&answer, 1, WAKE_ANSWER_TIMEOUT_MS) == 1) {
            heard_take(&answer, 1, answer == XMODEM_NAK);
            if (answer == XMODEM_NAK)
                return WAKE_ANSWERED;
        }
        if (serial_lost())
            return WAKE_PORT_LOST;
        if (serial_stop_requested())
            return WAKE_STOPPED;
        if (limit_s > 0 && serial_clock_ms() >= give_up_at)
            return WAKE_NO_ANSWER;
    }
}
