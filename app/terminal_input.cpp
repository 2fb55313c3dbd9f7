#include "app/terminal_input.h"

#include "console/console.h"

enum {
    CHUNK = 256,
    WAIT_MS = 1000, // between two looks at the stop request
    CTRL_C = 0x03,
    BACKSPACE = 0x08,
    ESCAPE = 0x1B,
    DELETE = 0x7F,
};

static unsigned char queue[CHUNK];
static int queue_start = 0;
static int queue_count = 0;
static bool input_ended = false;

bool input_queued()
{
    return queue_count > queue_start;
}

int input_fill()
{
    if (!input_queued() && !input_ended) {
        int got = console_read(queue, sizeof queue);
        queue_start = 0;
        queue_count = got > 0 ? got : 0;
        input_ended = got < 0;
    }
    return input_queued() || !input_ended;
}

int input_take()
{
    return input_queued() ? queue[queue_start++] : -1;
}

// The next byte of the line, waiting for it; -1 once the input has ended or
// the process is asked to stop.
static int next_byte()
{
    while (!input_queued() && !console_stop_requested()) {
        if (console_wait_input(WAIT_MS) && !input_fill())
            return -1;
    }
    return input_take();
}

int input_ask_line(const char *prompt, std::string *line)
{
    console_note("%s", prompt);
    line->clear();
    for (;;) {
        int byte = next_byte();
        if (byte == '\r' || byte == '\n') {
            // A script's "\r\n" ends the line once.
            if (byte == '\r' && input_queued() && queue[queue_start] == '\n')
                input_take();
            break;
        }
        if (byte < 0 || byte == ESCAPE || byte == CTRL_C) {
            line->clear();
            break;
        }
        if ((byte == BACKSPACE || byte == DELETE) && !line->empty()) {
            line->pop_back();
            console_note("\b \b");
        } else if (byte >= ' ' && byte != DELETE) {
            line->push_back(static_cast<char>(byte));
            console_note("%c", byte);
        }
    }
    console_note("\n");
    return !line->empty();
}
