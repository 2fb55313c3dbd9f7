// What the tool's process has of its surroundings: standard input and
// output as the keyboard and screen of the terminal that it becomes after a
// download, the signals that ask it to stop, and the user's command that runs
// beside it. The platform behind it stays out of sight.
#ifndef DRAMLIFT_CONSOLE_H
#define DRAMLIFT_CONSOLE_H

#include <string>
#include <vector>

// Makes sure standard input, output and error are open before the tool
// opens anything, so that no port or file takes the place of one of them
// (and gets the progress text, say).
void console_keep_standard_streams();

// From here to console_release_stop_signals, the ways a user or a script
// stops the tool (SIGINT, SIGTERM and SIGHUP; on Windows Ctrl-C, Ctrl-Break,
// the console closing, log-off and shut-down) only ask the run to stop, so
// that it can put the line back first. Signals that were ignored when the
// tool started (nohup) stay ignored. A standard output that goes away no
// longer ends the process: its writes fail instead.
void console_catch_stop_signals();

// 1 once the process has been asked to stop.
int console_stop_requested();

// Puts the stop signals back as console_catch_stop_signals found them; one
// that came after the run's last look at them then takes its usual course.
void console_release_stop_signals();

// Ends the process the way the stop request that came would have ended it,
// had it not been caught: by the same signal (on Windows, with the exit code
// of a process ended by Ctrl-C).
[[noreturn]] void console_end_as_stop_asked();

#ifdef _WIN32
// Set once the process has been asked to stop, for waits to end on.
void *console_stop_event();
#else
#include <csignal>
// The signal mask for a wait (pselect) that must end as soon as the process
// is asked to stop. Outside such waits the stop signals are held back, so
// that none can slip in between a look at console_stop_requested and the
// start of the wait. nullptr while the signals are not caught.
const sigset_t *console_wait_mask();

// The signal mask that the process was started with, for the programs it
// starts.
const sigset_t *console_found_mask();
#endif

// Sets the console up for the terminal: a keyboard that is a terminal goes
// raw (no echo, no line editing, no signals from keys).
void console_begin();

// Whether standard input is a keyboard (a terminal, a console) rather than
// a pipe or a file; known from console_begin on.
bool console_has_keyboard();

// Waits up to timeout_ms until standard input has something (or has ended).
// Returns 1 then, 0 after the time-out or a stop request. Where input that
// is not a console cannot be waited on, it may return 1 every few
// milliseconds for the caller to look.
int console_wait_input(int timeout_ms);

// Takes the keys (or input bytes) already waiting, without waiting for more.
// Returns how many, 0 when none, -1 once the input has ended.
int console_read(unsigned char *buffer, int capacity);

// Writes bytes to standard output unchanged and at once. Returns 0 if
// standard output has gone away. A standard output that takes nothing more
// (a pipe that nobody reads) holds the write up only until the process is
// asked to stop; from then on only what it takes at once goes.
int console_write(const unsigned char *bytes, int count);

// The same for text formatted as printf does: the progress, the notices
// and the success message.
int console_print(const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

enum ConsoleStream { CONSOLE_OUTPUT, CONSOLE_ERROR };

// For what is shown again and again as it changes, the progress of a
// transfer: writes the text, formatted as printf does, to standard output or
// standard error only if the stream takes all of it at once, and returns 1;
// otherwise writes nothing and returns 0. A console that nobody reads never
// holds the line up, and the next text shown brings it up to date.
int console_show(ConsoleStream stream, const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Writes a notice on standard error, formatted as printf does; while the
// terminal is raw, its line ends still begin new lines there.
void console_note(const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Puts the console back exactly as console_begin found it.
void console_end();

// A command of the user's beside the run (the reset command of -r), run
// through the system's shell (/bin/sh -c; cmd /c on Windows) with standard
// input empty and its output on standard error, and the variables given
// ("NAME=VALUE") added to its environment; one at a time. It and what it
// starts form a group of their own with no terminal to wait for (a session;
// a job on Windows). Returns 0, with the reason, when it cannot start.
int console_start_command(const char *command, const std::vector<std::string> &variables,
                          std::string *why);

enum CommandState { COMMAND_NONE, COMMAND_RUNNING, COMMAND_SUCCEEDED, COMMAND_FAILED };

// How the command stands; for one that failed, *how says how it ended:
// "failed with status 3" or "was ended by signal 9".
CommandState console_command_state(std::string *how);

// 1 once the command has failed, until console_set_command_aside: every
// wait on the line then ends as on a stop request (serial_stop_requested),
// and on POSIX systems SIGCHLD ends them all the same.
int console_command_stops_line();

// From here on the command's failure leaves the waits on the line alone:
// what it belonged to is over, and console_command_state tells the rest.
void console_set_command_aside();

// Waits up to grace_ms for a command that still runs to end, not at all
// once the process has been asked to stop, then ends it and whatever of its
// group is left. Returns how it stood then, COMMAND_RUNNING when it had to
// be ended, with *how as console_command_state gives it; the command is none
// afterwards.
CommandState console_end_command(int grace_ms, std::string *how);

#endif
