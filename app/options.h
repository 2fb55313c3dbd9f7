// The command line: options, operand and the usage text.
#ifndef DRAMLIFT_OPTIONS_H
#define DRAMLIFT_OPTIONS_H

struct Options {
    const char *port;       // the -p value as typed; "1" by default
    bool erase;             // -e: the bootloader erases the flash as it starts
    const char *image_path; // the one operand, as typed
    bool terminal;          // -t: stay on the line as a terminal afterwards
    int wait_s;             // -w: give up on the board after so long; 0: never
};

// Returns 1 with the options filled in, or 0 for -h and every complaint,
// in which case the caller prints the usage text.
int parse_options(int argc, char *argv[], Options *options);

void print_usage();

#endif
