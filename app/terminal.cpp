#include "app/terminal.h"

#include "app/speed_switch.h"
#include "app/terminal_input.h"
#include "app/terminal_upload.h"
#include "console/console.h"
#include "serial/serial.h"

#include <cstdio>

enum {
    // The longest wait between two looks at the stop request; a signal
    // usually ends the wait at once.
    WAIT_MS = 1000,
    CHUNK = 256,
};

// What handling the keys leads to.
enum Step { STEP_GO_ON, STEP_LEAVE, STEP_PORT_LOST };

enum KeyAction { KEY_LEAVE, KEY_SEND_XMODEM, KEY_SEND_YMODEM, KEY_LIST, KEY_ITSELF };

// The keys that mean something after Ctrl-\ ; any other goes to the board
// after the Ctrl-\ .
static const struct {
    unsigned char key;
    const char *shown;
    KeyAction action;
    const char *meaning;
} KEYS[] = {
    {LEAVE_KEY, "c", KEY_LEAVE, "leave the terminal"},
    {'x', "x", KEY_SEND_XMODEM, "send a file by XMODEM-1K (for U-Boot's loadx, rx)"},
    {'y', "y", KEY_SEND_YMODEM, "send a file by YMODEM (for U-Boot's loady, rb)"},
    {'h', "h, ?", KEY_LIST, "list these keys"},
    {'?', nullptr, KEY_LIST, nullptr},
    {ESCAPE_KEY, "Ctrl-\\", KEY_ITSELF, "send Ctrl-\\ to the board"},
};

// Whether the board's output has left a line open on the screen.
static bool mid_line = false;

static void list_keys()
{
    console_note("%sKeys after Ctrl-\\:\n", mid_line ? "\n" : "");
    for (const auto &key : KEYS) {
        if (key.shown != nullptr)
            console_note("  %-8s %s\n", key.shown, key.meaning);
    }
    mid_line = false;
}

static Step send_file(FileProtocol protocol, const char *prompt)
{
    if (mid_line)
        console_note("\n");
    mid_line = false;
    std::string path;
    if (!input_ask_line(prompt, &path))
        return STEP_GO_ON;
    switch (upload_file(protocol, path)) {
    case UPLOAD_LEFT:
        return STEP_LEAVE;
    case UPLOAD_PORT_LOST:
        return STEP_PORT_LOST;
    default: // a stop request ends the terminal's loop
        return STEP_GO_ON;
    }
}

static Step act(KeyAction action)
{
    switch (action) {
    case KEY_LEAVE:
        return STEP_LEAVE;
    case KEY_SEND_XMODEM:
        return send_file(PROTOCOL_XMODEM_1K, "File to send by XMODEM: ");
    case KEY_SEND_YMODEM:
        return send_file(PROTOCOL_YMODEM, "File to send by YMODEM: ");
    case KEY_LIST:
        list_keys();
        return STEP_GO_ON;
    default:
        serial_write_byte(ESCAPE_KEY);
        return STEP_GO_ON;
    }
}

// Sends the queued keys to the board, and does what Ctrl-\ and the key after
// it ask; a Ctrl-\ and a key that means nothing both go.
static Step pass_keys(bool *escaped)
{
    unsigned char out[2 * CHUNK];
    int length = 0;
    Step step = STEP_GO_ON;
    for (int key; step == STEP_GO_ON && (key = input_take()) >= 0;) {
        if (!*escaped) {
            *escaped = key == ESCAPE_KEY;
            if (!*escaped)
                out[length++] = static_cast<unsigned char>(key);
        } else {
            *escaped = false;
            const KeyAction *action = nullptr;
            for (const auto &entry : KEYS) {
                if (entry.key == key)
                    action = &entry.action;
            }
            if (action == nullptr) {
                out[length++] = ESCAPE_KEY;
                out[length++] = static_cast<unsigned char>(key);
            } else {
                // What was typed before goes first.
                serial_write(out, length);
                length = 0;
                step = act(*action);
            }
        }
        if (length >= static_cast<int>(sizeof out) - 2) {
            serial_write(out, length);
            length = 0;
        }
    }
    serial_write(out, length);
    return step;
}

// Shows the board's bytes; returns 0 once nobody is looking any more.
static int show(const unsigned char *bytes, int count)
{
    if (count <= 0)
        return 1;
    mid_line = bytes[count - 1] != '\n';
    return console_write(bytes, count);
}

// Shows the board's bytes, and follows a request to switch the speed once
// the rest of its line has come.
static int show_board(const unsigned char *bytes, int count)
{
    SpeedSwitch wanted;
    int shown = show(bytes, count);
    if (speed_switch_asked(bytes, count, &wanted)) {
        speed_switch_follow(wanted, show);
        mid_line = false;
    }
    return shown;
}

TerminalEnd terminal_run(int idle_exit_s)
{
    fprintf(stderr, "Terminal on %s; leave with Ctrl-\\ then c.\n", serial_name());
    console_begin();
    unsigned char buffer[CHUNK];
    bool keys_open = true;
    bool escaped = false;
    TerminalEnd end = TERMINAL_LEFT;
    long long idle_limit = idle_exit_s * 1000LL;
    long long last_passed = serial_clock_ms();
    mid_line = false;
    while (!console_stop_requested()) {
        long long idle_left = last_passed + idle_limit - serial_clock_ms();
        if (idle_limit > 0 && idle_left <= 0)
            break; // nothing has passed for so long
        int wait_ms = idle_limit > 0 && idle_left < WAIT_MS ? static_cast<int>(idle_left) : WAIT_MS;
        int ready = input_queued() ? SERIAL_INPUT_STDIN : serial_wait_input(wait_ms, keys_open);
        if (ready & SERIAL_INPUT_LINE) {
            int got = serial_read(buffer, sizeof buffer, 0);
            if (serial_lost()) {
                end = TERMINAL_PORT_LOST;
                break;
            }
            if (!show_board(buffer, got))
                break; // nobody is looking any more
            if (got > 0)
                last_passed = serial_clock_ms();
        }
        if (ready & SERIAL_INPUT_STDIN) {
            if (!input_fill()) {
                // The input has ended; the board's output is still shown.
                // A Ctrl-\ that nothing followed goes out as it is.
                keys_open = false;
                if (escaped)
                    serial_write_byte(ESCAPE_KEY);
                escaped = false;
                continue;
            }
            bool typed = input_queued();
            Step step = pass_keys(&escaped);
            if (step == STEP_PORT_LOST)
                end = TERMINAL_PORT_LOST;
            if (step != STEP_GO_ON)
                break;
            if (typed)
                last_passed = serial_clock_ms();
        }
    }
    console_end();
    // The shell's prompt comes on a line of its own.
    if (mid_line)
        console_write(reinterpret_cast<const unsigned char *>("\n"), 1);
    return end;
}
