#ifndef DRAMLIFT_RUN_H
#define DRAMLIFT_RUN_H

// The whole run, from the command line to the exit status: 0 after a
// successful download, 1 otherwise.
int dramlift_run(int argc, char *argv[]);

#endif
