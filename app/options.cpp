#include "app/options.h"

#include <cstdio>
#include <getopt.h>

int parse_options(int argc, char *argv[], Options *options)
{
    // getopt_long with no long options, rather than getopt, because it moves
    // operands behind the options on every platform we build for (the
    // Windows getopt alone does not), and it stops at the first operand
    // when POSIXLY_CORRECT is set.
    static const option no_long_options[] = {{nullptr, 0, nullptr, 0}};

    options->port = "1";
    options->erase = false;
    options->terminal = false;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, "ehp:t", no_long_options, nullptr)) != -1) {
        switch (option) {
        case 'e':
            options->erase = true;
            break;
        case 'p':
            options->port = optarg;
            break;
        case 't':
            options->terminal = true;
            break;
        default: // -h, an unknown option or -p without a value
            return 0;
        }
    }
    if (argc != optind + 1)
        return 0;
    options->image_path = argv[optind];
    return 1;
}

void print_usage()
{
    fprintf(stderr, "Usage: dramlift [-e] [-h] [-p <port>] [-t] <filename>\n"
                    "\n"
                    "Version: 1.1, 30 January 2014\n"
                    "\n"
                    "Downloads and runs a bootloader in the DRAM of a Marvell 88F6281-based unit.\n"
                    "\n"
                    "  -e            Force bootloader to erase entire flash as it starts. \n"
                    "\n"
                    "  -h            Print this usage message.\n"
                    "\n"
                    "  -p <port>     Use the specified serial port (default is \"1\").  Valid\n"
                    "                values are 1 (COM1), 2 (COM2), etc.\n"
                    "\n"
                    "  -t            Stay on the line as a terminal after the download; leave it\n"
                    "                with Ctrl-\\ followed by c.\n"
                    "\n");
}
