#include "app/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

enum {
    LONGEST_WAIT_S = 86400,
    MOST_TRIES = 1000,
    TRY_WAIT_S = 30,
    ROM_BAUD = 115200,
    FASTEST_BAUD = 16000000,
};

// The -n, -w and -x values: a plain decimal number from 1 to the limit.
static int parse_number(const char *text, int limit, int *number)
{
    if (text[0] == '\0' || text[strspn(text, "0123456789")] != '\0')
        return 0;
    long value = strtol(text, nullptr, 10); // saturates beyond the range of long
    *number = static_cast<int>(value);
    return value >= 1 && value <= limit;
}

int parse_options(int argc, char *argv[], Options *options)
{
    // getopt_long rather than getopt also because it moves operands behind
    // the options on every platform we build for (the Windows getopt alone
    // does not), and it stops at the first operand when POSIXLY_CORRECT is
    // set.
    enum { HELP = 256, VERSION };
    static const option long_options[] = {{"help", no_argument, nullptr, HELP},
                                          {"version", no_argument, nullptr, VERSION},
                                          {nullptr, 0, nullptr, 0}};

    options->asks = ASKS_DOWNLOAD;
    options->port = "1";
    options->erase = false;
    options->terminal = false;
    options->wait_s = 0;
    options->quiet = false;
    options->as_uart = false;
    options->idle_exit_s = 0;
    options->tries = 1;
    options->reset = nullptr;
    options->fast_baud = 0;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, "b:ehn:p:qr:tuw:x:", long_options, nullptr)) != -1) {
        switch (option) {
        case 'b':
            if (!parse_number(optarg, FASTEST_BAUD, &options->fast_baud) ||
                options->fast_baud < ROM_BAUD)
                return 0;
            break;
        case 'e':
            options->erase = true;
            break;
        case 'n':
            if (!parse_number(optarg, MOST_TRIES, &options->tries))
                return 0;
            break;
        case 'p':
            options->port = optarg;
            break;
        case 'r':
            options->reset = optarg;
            break;
        case 'q':
            options->quiet = true;
            break;
        case 't':
            options->terminal = true;
            break;
        case 'u':
            options->as_uart = true;
            break;
        case 'w':
            if (!parse_number(optarg, LONGEST_WAIT_S, &options->wait_s))
                return 0;
            break;
        case 'x':
            if (!parse_number(optarg, LONGEST_WAIT_S, &options->idle_exit_s))
                return 0;
            break;
        case HELP:
            options->asks = ASKS_HELP;
            return 1;
        case VERSION:
            options->asks = ASKS_VERSION;
            return 1;
        default: // -h, an unknown option or a value missing
            return 0;
        }
    }
    // -x belongs to the terminal.
    if (argc != optind + 1 || (options->idle_exit_s > 0 && !options->terminal))
        return 0;
    // A board that stays silent must not keep the first of several tries
    // waiting for ever.
    if (options->tries > 1 && options->wait_s == 0)
        options->wait_s = TRY_WAIT_S;
    options->image_path = argv[optind];
    return 1;
}

void print_usage(FILE *stream)
{
    fprintf(stream,
            "Usage: dramlift [-b <baud>] [-e] [-h] [-n <tries>] [-p <port>] [-q] [-r <command>]\n"
            "                [-t] [-u] [-w <seconds>] [-x <seconds>] <filename>\n"
            "\n"
            "Version: " DRAMLIFT_VERSION ", 30 January 2014\n"
            "\n"
            "Downloads and runs a bootloader in the DRAM of a Marvell 88F6281-based unit.\n"
            "\n"
            "  -b <baud>     Boot through a small RAM loader that takes the image at up to\n"
            "                that many baud (115200 to 16000000), the fastest rate the\n"
            "                board's clock makes; back to 115200 where the line cannot.\n"
            "\n"
            "  -e            Force bootloader to erase entire flash as it starts. \n"
            "\n"
            "  -h            Print this usage message.\n"
            "\n"
            "  -n <tries>    Try the whole boot that many times (default 1): after a\n"
            "                transfer that fails, -w running out, or the port going away\n"
            "                (it has 5 s to come back), wake the board anew.\n"
            "\n"
            "  -p <port>     Use the specified serial port (default is \"1\").  Valid\n"
            "                values are 1 (COM1), 2 (COM2), etc.\n"
            "\n"
            "  -q            Show no progress on standard output, for logs.\n"
            "\n"
            "  -r <command>  Reset or power the board with the command, run through the\n"
            "                shell as the wake pattern starts to go out, at every try.\n"
            "                It may run on for 10 s after the boot, beside -t; if it\n"
            "                fails, so does the run, even after a good download.\n"
            "\n"
            "  -t            Stay on the line as a terminal after the download; leave it\n"
            "                with Ctrl-\\ followed by c. Ctrl-\\ then x or y sends a file\n"
            "                by XMODEM-1K or YMODEM; Ctrl-\\ then h lists the keys.\n"
            "\n"
            "  -u            Send a NAND or SPI flash boot image as a UART image: its\n"
            "                block ID and header checksum made so, all else unchanged.\n"
            "\n"
            "  -w <seconds>  Give up when the board has not answered within that many\n"
            "                seconds (default: wait as long as it takes; with -n above 1,\n"
            "                30 s each try).\n"
            "\n"
            "  -x <seconds>  With -t: leave the terminal once nothing has passed either\n"
            "                way for that many seconds.\n"
            "\n"
            "  <port> is a port number (1 is COM1, or /dev/ttyS0 on Linux), COM<n>,\n"
            "  a device path such as /dev/ttyUSB0, or a port on a port server:\n"
            "  rfc2217://HOST:PORT or socket://HOST:PORT.\n"
            "\n");
}

void print_version()
{
    printf("dramlift " DRAMLIFT_VERSION "\n");
}
