#include "app/terminal.h"

#include "console/console.h"
#include "serial/serial.h"

#include <cstdio>

enum {
    ESCAPE_KEY = 0x1C, // Ctrl-\ .
    LEAVE_KEY = 'c',
    // The longest wait between two looks at the stop request; a signal
    // usually ends the wait at once.
    WAIT_MS = 1000,
    CHUNK = 256,
};

// Sends keys to the board: Ctrl-\ then c leaves (returns 1), Ctrl-\ twice
// sends one Ctrl-\, and Ctrl-\ then any other key sends both.
static int pass_keys(const unsigned char *keys, int count, bool *escaped)
{
    unsigned char out[2 * CHUNK];
    int length = 0;
    int leave = 0;
    for (int i = 0; i < count && !leave; ++i) {
        if (*escaped) {
            *escaped = false;
            leave = keys[i] == LEAVE_KEY;
            if (!leave)
                out[length++] = ESCAPE_KEY;
            if (!leave && keys[i] != ESCAPE_KEY)
                out[length++] = keys[i];
        } else if (keys[i] == ESCAPE_KEY) {
            *escaped = true;
        } else {
            out[length++] = keys[i];
        }
    }
    serial_write(out, length);
    return leave;
}

TerminalEnd terminal_run()
{
    fprintf(stderr, "Terminal on %s; leave with Ctrl-\\ then c.\n", serial_name());
    console_begin();
    unsigned char buffer[CHUNK];
    bool keys_open = true;
    bool escaped = false;
    TerminalEnd end = TERMINAL_LEFT;
    while (!console_stop_requested()) {
        int ready = serial_wait_input(WAIT_MS, keys_open);
        if (ready & SERIAL_INPUT_LINE) {
            int got = serial_read(buffer, sizeof buffer, 0);
            if (serial_lost()) {
                end = TERMINAL_PORT_LOST;
                break;
            }
            if (got > 0 && !console_write(buffer, got))
                break; // nobody is looking any more
        }
        if (ready & SERIAL_INPUT_STDIN) {
            int got = console_read(buffer, sizeof buffer);
            if (got < 0) {
                // The input has ended; the board's output is still shown.
                // A Ctrl-\ that nothing followed goes out as it is.
                keys_open = false;
                if (escaped)
                    serial_write_byte(ESCAPE_KEY);
                escaped = false;
            } else if (pass_keys(buffer, got, &escaped)) {
                break;
            }
        }
    }
    console_end();
    return end;
}
