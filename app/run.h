#ifndef DRAMLIFT_RUN_H
#define DRAMLIFT_RUN_H

// What dramlift_run returns when the process was asked to stop before the
// run could end by itself.
enum { RUN_STOPPED = -1 };

// The whole run, from the command line to the exit status: 0 after a
// successful download, 1 otherwise. Or RUN_STOPPED: then everything is put
// back, the console line is ended, and the caller ends the process as the
// stop request asked (console_end_as_stop_asked).
int dramlift_run(int argc, char *argv[]);

#endif
