// The command line: options, operand and the usage text.
#ifndef DRAMLIFT_OPTIONS_H
#define DRAMLIFT_OPTIONS_H

#include <cstdio>

// What the command line asks for besides a download.
enum OptionsAsk { ASKS_DOWNLOAD, ASKS_HELP, ASKS_VERSION };

struct Options {
    OptionsAsk asks;        // --help and --version: only that, on standard output
    const char *port;       // the -p value as typed; "1" by default
    bool erase;             // -e: the bootloader erases the flash as it starts
    const char *image_path; // the one operand, as typed
    bool terminal;          // -t: stay on the line as a terminal afterwards
    int wait_s;             // -w: give up on the board after so long; 0: never
    bool quiet;             // -q: no progress on standard output
    bool as_uart;           // -u: send a NAND or SPI flash image as a UART image
    int idle_exit_s;        // -x: leave the terminal after so long with nothing passing; 0: never
    int tries;              // -n: how many times to try the whole boot
    const char *reset;      // -r: the command that resets or powers the board; nullptr: none
    int fast_baud;          // -b: boot through the RAM loader at up to so many baud; 0: no
};

// Returns 1 with the options filled in, or 0 for -h and every complaint,
// in which case the caller prints the usage text on standard error.
int parse_options(int argc, char *argv[], Options *options);

void print_usage(FILE *stream);

// "dramlift 1.1\n", the project's version.
void print_version();

#endif
