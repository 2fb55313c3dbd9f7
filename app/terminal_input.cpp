#include "app/terminal_input.h"

#include "app/terminal_keys.h"
#include "console/console.h"

static unsigned char queue[TERMINAL_CHUNK];
static int queue_start = 0;
static int queue_count = 0;
static bool input_ended = false;
// A line asked for ended with a carriage return: a line feed right after
// it, in this read or the next, belongs to the same line end.
static bool line_feed_owed = false;

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
    if (line_feed_owed && input_queued()) {
        line_feed_owed = false;
        if (queue[queue_start] == '\n')
            ++queue_start;
    }
    return input_queued() ? queue[queue_start++] : -1;
}

// The next byte of the line, waiting for it; -1 once the input has ended or
// the process is asked to stop.
static int next_byte()
{
    for (;;) {
        int byte = input_take();
        if (byte >= 0 || console_stop_requested())
            return byte;
        if (console_wait_input(TERMINAL_LOOK_MS) && !input_fill())
            return -1;
    }
}

int input_ask_line(const char *prompt, std::string *line)
{
    console_note("%s", prompt);
    line->clear();
    for (;;) {
        int byte = next_byte();
        if (byte == '\r' || byte == '\n') {
            line_feed_owed = byte == '\r';
            break;
        }
        if (byte < 0 || byte == KEY_ESCAPE || byte == KEY_CTRL_C) {
            line->clear();
            break;
        }
        if ((byte == KEY_BACKSPACE || byte == KEY_DELETE) && !line->empty()) {
            line->pop_back();
            console_note("\b \b");
        } else if (byte >= ' ' && byte != KEY_DELETE) {
            line->push_back(static_cast<char>(byte));
            console_note("%c", byte);
        }
    }
    console_note("\n");
    return !line->empty();
}
