// The terminal's keys: the bytes it treats apart, and the command key,
// Ctrl-\ , with the keys that may follow it. One table serves the terminal,
// the list of keys it shows, and the keys watched while a file goes.
#ifndef DRAMLIFT_TERMINAL_KEYS_H
#define DRAMLIFT_TERMINAL_KEYS_H

enum {
    KEY_CTRL_C = 0x03,
    KEY_BACKSPACE = 0x08,
    KEY_ESCAPE = 0x1B,
    KEY_COMMAND = 0x1C, // Ctrl-\ : the key after it is for the tool
    KEY_DELETE = 0x7F,
};

enum KeyMeaning {
    KEY_FOR_BOARD,       // goes to the board as it is
    KEY_HELD,            // a Ctrl-\ , waiting for the key after it
    KEY_UNKNOWN_COMMAND, // a key after Ctrl-\ that means nothing: both go to the board
    KEY_LEAVE,
    KEY_SEND_XMODEM,
    KEY_SEND_YMODEM,
    KEY_LIST,
    KEY_ITSELF, // Ctrl-\ after Ctrl-\ : one goes to the board
};

// What a key means after the keys before it; *after_command says whether
// the key before was a Ctrl-\ that waits for this one, and is kept up.
KeyMeaning key_meaning(int key, bool *after_command);

// Lists the keys that mean something after Ctrl-\ on standard error.
void list_command_keys();

#endif
