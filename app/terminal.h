// The terminal that the tool becomes after a download with -t.
#ifndef DRAMLIFT_TERMINAL_H
#define DRAMLIFT_TERMINAL_H

enum TerminalEnd {
    TERMINAL_LEFT,      // by the keys, or after the idle time
    TERMINAL_STOPPED,   // the process was asked to stop, or the line acts so
    TERMINAL_PORT_LOST, // the port went away
};

// Shows what the board sends as it comes, and sends it the keys, until the
// user leaves with Ctrl-\ then c, nothing has passed either way for
// idle_exit_s seconds (never when 0), the process is asked to stop (a file
// under way is cancelled first), or the port goes away. Ctrl-\ then x or y
// sends a file; the loader's requests to switch the speed are followed. The
// console is as it was found when this returns, the screen at the start of
// a line.
TerminalEnd terminal_run(int idle_exit_s);

#endif
