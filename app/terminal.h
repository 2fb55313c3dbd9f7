// The terminal that the tool becomes after a download with -t.
#ifndef DRAMLIFT_TERMINAL_H
#define DRAMLIFT_TERMINAL_H

enum TerminalEnd {
    TERMINAL_LEFT,      // by the escape keys, or as a signal asked
    TERMINAL_PORT_LOST, // the port went away
};

// Shows what the board sends as it comes, and sends it the keys, until the
// user leaves with Ctrl-\ then c, the process is asked to stop, or the port
// goes away. The console is as it was found when this returns.
TerminalEnd terminal_run();

#endif
