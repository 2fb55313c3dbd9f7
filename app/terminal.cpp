#include "app/terminal.h"

#include "app/reset.h"
#include "app/speed_switch.h"
#include "app/terminal_input.h"
#include "app/terminal_keys.h"
#include "app/terminal_upload.h"
#include "console/console.h"
#include "serial/serial.h"

#include <cstdio>

// What handling the keys leads to.
enum Step { STEP_GO_ON, STEP_LEAVE, STEP_PORT_LOST };

// Whether the board's output has left a line open on the screen.
static bool mid_line = false;

// Sends bytes to the board, where a load command among them may prepare a
// speed switch.
static void to_board(const unsigned char *bytes, int count)
{
    speed_switch_note_sent(bytes, count);
    serial_write(bytes, count);
}

static void list_keys()
{
    if (mid_line)
        console_note("\n");
    mid_line = false;
    list_command_keys();
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

// Does what a key after Ctrl-\ asks for.
static Step act(KeyMeaning meaning)
{
    static const unsigned char command_key = KEY_COMMAND;
    switch (meaning) {
    case KEY_LEAVE:
        return STEP_LEAVE;
    case KEY_SEND_XMODEM:
        return send_file(PROTOCOL_XMODEM_1K, "File to send by XMODEM: ");
    case KEY_SEND_YMODEM:
        return send_file(PROTOCOL_YMODEM, "File to send by YMODEM: ");
    case KEY_LIST:
        list_keys();
        return STEP_GO_ON;
    default: // KEY_ITSELF
        to_board(&command_key, 1);
        return STEP_GO_ON;
    }
}

// Sends the queued keys to the board, and does what Ctrl-\ and the key after
// it ask; a Ctrl-\ and a key that means nothing both go.
static Step pass_keys(bool *after_command)
{
    unsigned char out[2 * TERMINAL_CHUNK];
    int length = 0;
    Step step = STEP_GO_ON;
    for (int key; step == STEP_GO_ON && (key = input_take()) >= 0;) {
        KeyMeaning meaning = key_meaning(key, after_command);
        if (meaning == KEY_UNKNOWN_COMMAND)
            out[length++] = KEY_COMMAND;
        if (meaning == KEY_FOR_BOARD || meaning == KEY_UNKNOWN_COMMAND) {
            out[length++] = static_cast<unsigned char>(key);
        } else if (meaning != KEY_HELD) {
            // What was typed before goes first.
            to_board(out, length);
            length = 0;
            step = act(meaning);
        }
        if (length >= static_cast<int>(sizeof out) - 2) {
            to_board(out, length);
            length = 0;
        }
    }
    to_board(out, length);
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
    unsigned char buffer[TERMINAL_CHUNK];
    bool keys_open = true;
    bool after_command = false;
    TerminalEnd end = TERMINAL_LEFT;
    bool left = false; // by the keys, or after the idle time
    long long idle_limit = idle_exit_s * 1000LL;
    long long last_passed = serial_clock_ms();
    mid_line = false;
    while (!serial_stop_requested()) {
        long long idle_left = last_passed + idle_limit - serial_clock_ms();
        left = idle_limit > 0 && idle_left <= 0;
        if (left)
            break; // nothing has passed for so long
        int wait_ms = idle_limit > 0 && idle_left < TERMINAL_LOOK_MS ? static_cast<int>(idle_left)
                                                                     : TERMINAL_LOOK_MS;
        // The reset command runs on beside the terminal for a while.
        int command_left = reset_watch(&mid_line);
        if (command_left >= 0 && command_left < wait_ms)
            wait_ms = command_left;
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
                if (after_command)
                    act(KEY_ITSELF);
                after_command = false;
                continue;
            }
            bool typed = input_queued();
            Step step = pass_keys(&after_command);
            if (step == STEP_PORT_LOST)
                end = TERMINAL_PORT_LOST;
            left = step == STEP_LEAVE;
            if (step != STEP_GO_ON)
                break;
            if (typed)
                last_passed = serial_clock_ms();
        }
    }
    // A stop request, or the line acting so (a failed reset command).
    if (end == TERMINAL_LEFT && !left && serial_stop_requested())
        end = TERMINAL_STOPPED;
    console_end();
    // The shell's prompt comes on a line of its own.
    if (mid_line)
        console_write(reinterpret_cast<const unsigned char *>("\n"), 1);
    return end;
}
