// What the terminal reads from its standard input: the keys, or a script's
// bytes, queued so that a prompt can take the line after the keys that
// asked for it, and the rest still goes to the board afterwards.
#ifndef DRAMLIFT_TERMINAL_INPUT_H
#define DRAMLIFT_TERMINAL_INPUT_H

#include <string>

enum {
    TERMINAL_CHUNK = 256, // read at once, from the board or the input
    // The longest wait between two looks at the stop request; a signal
    // usually ends a wait at once.
    TERMINAL_LOOK_MS = 1000,
};

// Whether bytes are queued, read but not yet taken.
bool input_queued();

// Reads what standard input has ready into the queue. Returns 0 once the
// input has ended and the queue is empty, 1 otherwise.
int input_fill();

// Takes the next queued byte; -1 when none is queued.
int input_take();

// Asks on standard error for a line ("File to send by YMODEM: "), edited
// from the keyboard (Backspace; Enter ends it) or taken from the input up to
// its line end: a carriage return, a line feed, or both together, however
// the input's reads split them. Returns 0 when the user gives up (Escape,
// Ctrl-C, an empty line), the input ends or the process is asked to stop.
int input_ask_line(const char *prompt, std::string *line);

#endif
