#include "app/terminal_keys.h"

#include "console/console.h"

static const struct {
    unsigned char key;
    const char *shown; // in the list; nullptr: listed with the key before
    KeyMeaning meaning;
    const char *does;
} COMMAND_KEYS[] = {
    {'c', "c", KEY_LEAVE, "leave the terminal"},
    {'x', "x", KEY_SEND_XMODEM, "send a file by XMODEM-1K (for U-Boot's loadx, rx)"},
    {'y', "y", KEY_SEND_YMODEM, "send a file by YMODEM (for U-Boot's loady, rb)"},
    {'h', "h, ?", KEY_LIST, "list these keys"},
    {'?', nullptr, KEY_LIST, nullptr},
    {KEY_COMMAND, "Ctrl-\\", KEY_ITSELF, "send Ctrl-\\ to the board"},
};

KeyMeaning key_meaning(int key, bool *after_command)
{
    if (!*after_command) {
        *after_command = key == KEY_COMMAND;
        return *after_command ? KEY_HELD : KEY_FOR_BOARD;
    }
    *after_command = false;
    for (const auto &entry : COMMAND_KEYS) {
        if (entry.key == key)
            return entry.meaning;
    }
    return KEY_UNKNOWN_COMMAND;
}

void list_command_keys()
{
    console_note("Keys after Ctrl-\\:\n");
    for (const auto &entry : COMMAND_KEYS) {
        if (entry.shown != nullptr)
            console_note("  %-8s %s\n", entry.shown, entry.does);
    }
}
