#include "app/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

enum { LONGEST_WAIT_S = 86400 };

// The -w value: a plain decimal number of seconds, from 1 to a day.
static int parse_wait(const char *text, int *seconds)
{
    if (text[0] == '\0' || text[strspn(text, "0123456789")] != '\0')
        return 0;
    long value = strtol(text, nullptr, 10); // saturates beyond the range of long
    *seconds = static_cast<int>(value);
    return value >= 1 && value <= LONGEST_WAIT_S;
}

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
    options->wait_s = 0;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, "ehp:tw:", no_long_options, nullptr)) != -1) {
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
        case 'w':
            if (!parse_wait(optarg, &options->wait_s))
                return 0;
            break;
        default: // -h, an unknown option or a value missing
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
    fprintf(stderr, "Usage: dramlift [-e] [-h] [-p <port>] [-t] [-w <seconds>] <filename>\n"
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
                    "\n"
                    "  -w <seconds>  Give up when the board has not answered within that many\n"
                    "                seconds (default: wait as long as it takes).\n"
                    "\n");
}
