// Standard input and output as the keyboard and screen of the terminal that
// the tool becomes after a download. The platform behind it stays out of
// sight.
#ifndef DRAMLIFT_CONSOLE_H
#define DRAMLIFT_CONSOLE_H

// Makes sure standard input, output and error are open before the tool
// opens anything, so that no port or file takes the place of one of them
// (and gets the progress text, say).
void console_keep_standard_streams();

// Sets the console up for the terminal: a keyboard that is a terminal goes
// raw (no echo, no line editing, no signals from keys), and the ways out
// (SIGTERM, SIGHUP, SIGINT; Ctrl-Break and the console closing on Windows)
// only ask the terminal to stop, so that console_end runs every time.
void console_begin();

// Takes the keys (or input bytes) already waiting, without waiting for more.
// Returns how many, 0 when none, -1 once the input has ended.
int console_read(unsigned char *buffer, int capacity);

// Writes bytes to standard output unchanged and at once. Returns 0 if
// standard output has gone away.
int console_write(const unsigned char *bytes, int count);

// 1 once the process has been asked to stop.
int console_stop_requested();

// Puts the console back exactly as console_begin found it.
void console_end();

#endif
