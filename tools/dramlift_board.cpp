// dramlift-board: a board waiting for its serial download, in software, on a
// new pseudo-terminal. It prints the device's path for `dramlift -p`, answers
// the wake pattern, receives the image by XMODEM and tells what arrived.
#include "app/boot_header.h"
#include "tools/board_core.h"
#include "tools/board_line.h"
#include "tools/board_loader.h"
#include "tools/board_receiver.h"
#include "tools/board_start.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

enum {
    CLOSE_GRACE_MS = 5000,
    COMMAND_GRACE_MS = 1000,
    WINDOW_MS = 200,
    FAILED_DOWNLOAD_CANCELS_AT = 2, // the block
};

static void print_usage(FILE *stream)
{
    fprintf(stream, "Usage: dramlift-board [options] [-- command [argument...]]\n"
                    "\n"
                    "Plays a board waiting for its serial download, on a new pseudo-terminal.\n"
                    "Prints the device's path first: hand it to 'dramlift -p'. Then answers\n"
                    "the wake pattern with NAK, receives the image by XMODEM and reports it.\n"
                    "Exits with 0 when a complete image with a valid boot trailer arrived.\n"
                    "Like the boot ROM, it turns an image away after its first block when\n"
                    "its boot header names another boot source than UART, and then boots\n"
                    "from its flash.\n"
                    "After such an image, plays the loader it runs: a banner right behind the\n"
                    "last ACK, then an echo of every byte, and a few progress lines in answer\n"
                    "to a line 'erase', until the line closes.\n"
                    "\n"
                    "  -s, --checksum        ask for checksum mode instead of CRC-16\n"
                    "  -o, --output FILE     write the data received to FILE: the image and\n"
                    "                        its 8-byte boot trailer, without the filler\n"
                    "      --paced           answer no sooner than a 115200-baud line allows, and\n"
                    "                        relay to a command at the speed of the line\n"
                    "      --nak-block N:K   answer NAK to the first K tries of block N\n"
                    "      --can-once N      answer the first try of block N with a single CAN\n"
                    "      --cancel-at N     cancel with CAN CAN at block N\n"
                    "      --silent          say nothing after the wake-up answer\n"
                    "      --nak-eot         answer every EOT with NAK\n"
                    "      --ignore-eot      leave every EOT unanswered\n"
                    "      --off             never answer; count the wake patterns heard\n"
                    "      --from-flash      a board that booted from its flash before the tool\n"
                    "                        came: a banner and a prompt, never an answer\n"
                    "      --looped          a looped line: every byte goes back as it came\n"
                    "      --chatter         a board whose console never falls silent: lines of\n"
                    "                        text as fast as the line takes them, never an answer\n"
                    "      --wake-after MS   answer the wake pattern only MS after first hearing\n"
                    "                        the tool, as a board switched on later\n"
                    "      --power-file FILE a board that is off until FILE appears (the tool's\n"
                    "                        reset command makes it), each time it appears\n"
                    "      --window MS       with --power-file: hear the wake pattern only so\n"
                    "                        long after the power comes, or boot from flash\n"
                    "                        (default 200)\n"
                    "      --fail-first N    cancel the first N downloads half-way, and wait\n"
                    "                        for the tool to try again\n"
                    "      --vanish-at N     close the line when block N arrives\n"
                    "      --corrupt SHARE   flip a bit in SHARE (0 to 1) of the packets received\n"
                    "      --lose SHARE      lose the answer to SHARE of the packets accepted\n"
                    "      --noise SHARE     send a stray byte before SHARE of the answers\n"
                    "      --late SHARE      hold SHARE of the ACKs back 1.05 to 1.5 s, and what\n"
                    "                        follows them too, as a slow line would\n"
                    "      --seed N          seed for the random faults (default 1)\n"
                    "      --typed FILE      write what the loader receives to FILE\n"
                    "      --repeat          after each download, wait on the same device for\n"
                    "                        the next one, until stopped\n"
                    "\n"
                    "A RAM loader (dramlift -b) runs on an emulated ARM926 core at 25\n"
                    "instructions a microsecond, UART0's rate set by its divisor:\n"
                    "      --tclk MHZ        the core's clock, 166 or 200 (default 200)\n"
                    "      --expect FILE     the image, its trailer included, that the loader\n"
                    "                        must leave in DRAM as the ROM's download would\n"
                    "      --turnaround MS   with --paced: the board's bytes reach the tool so\n"
                    "                        much later, as through a USB adapter\n"
                    "      --line-limit BAUD rates above this many baud do not cross the wire\n"
                    "      --corrupt-fast N  after the speed switch, flip a bit of the tool's\n"
                    "                        byte N, once\n"
                    "      --hang-first N    do not start the first N RAM loaders: hang until\n"
                    "                        the power comes again\n"
                    "  -h, --help            print this text\n"
                    "      --version         print the version\n"
                    "\n"
                    "      --then-command    with a command: take the download first, and run\n"
                    "                        the command as the loader the image starts\n"
                    "\n"
                    "With a command, the board only answers the wake pattern and then hands\n"
                    "the line to the command as its standard input and output (after the\n"
                    "download, with --then-command), saying each speed the tool sets.\n"
                    "Blocks are counted from 1 in the order they arrive.\n");
}

static int parse_count(const char *text, int *count)
{
    char *end;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > 1000000)
        return 0;
    *count = static_cast<int>(value);
    return 1;
}

static int parse_baud(const char *text, long *baud)
{
    char *end;
    *baud = strtol(text, &end, 10);
    return end != text && *end == '\0' && *baud >= 50 && *baud <= 100000000;
}

static int parse_share(const char *text, double *share)
{
    char *end;
    *share = strtod(text, &end);
    return end != text && *end == '\0' && *share >= 0 && *share <= 1;
}

static int parse_nak_block(const char *text, FaultPlan *plan)
{
    char block[32];
    const char *colon = strchr(text, ':');
    if (colon == nullptr || static_cast<size_t>(colon - text) >= sizeof block)
        return 0;
    memcpy(block, text, colon - text);
    block[colon - text] = '\0';
    return parse_count(block, &plan->nak_block) && parse_count(colon + 1, &plan->nak_tries);
}

// What the command line asks for besides the faults.
// The board's state when the tool comes, if not waiting for a download.
enum BoardState { WAITING, SWITCHED_OFF, BOOTED_FROM_FLASH, LOOPED_LINE, CHATTERING };

struct BoardOptions {
    const char *output;
    BoardState state;
    int wake_after_ms;
    bool repeat;
    bool command_after_download; // the command plays the loader, not the boot ROM
    const char *power_file;      // off until this file appears; nullptr: always on
    int window_ms;               // after the power comes, how long it listens
    int fail_first;              // downloads cancelled half-way before one is taken
    StartPlan start;             // for a RAM loader
};

// Returns 1 with the plan filled in, 0 after a complaint, -1 after --help,
// -2 after --version.
static int parse_options(int argc, char *argv[], FaultPlan *plan, BoardOptions *options)
{
    enum {
        PACED = 256,
        NAK_BLOCK,
        CAN_ONCE,
        CANCEL_AT,
        SILENT,
        NAK_EOT,
        IGNORE_EOT,
        VANISH_AT,
        CORRUPT,
        LOSE,
        NOISE,
        LATE,
        SEED,
        OFF,
        WAKE_AFTER,
        TYPED,
        REPEAT,
        VERSION,
        FROM_FLASH,
        LOOPED,
        THEN_COMMAND,
        POWER_FILE,
        WINDOW,
        FAIL_FIRST,
        CHATTER,
        TCLK,
        EXPECT,
        TURNAROUND,
        LINE_LIMIT,
        CORRUPT_FAST,
        HANG_FIRST
    };
    static const option long_options[] = {
        {"checksum", no_argument, nullptr, 's'},
        {"output", required_argument, nullptr, 'o'},
        {"paced", no_argument, nullptr, PACED},
        {"nak-block", required_argument, nullptr, NAK_BLOCK},
        {"can-once", required_argument, nullptr, CAN_ONCE},
        {"cancel-at", required_argument, nullptr, CANCEL_AT},
        {"silent", no_argument, nullptr, SILENT},
        {"nak-eot", no_argument, nullptr, NAK_EOT},
        {"ignore-eot", no_argument, nullptr, IGNORE_EOT},
        {"vanish-at", required_argument, nullptr, VANISH_AT},
        {"corrupt", required_argument, nullptr, CORRUPT},
        {"lose", required_argument, nullptr, LOSE},
        {"noise", required_argument, nullptr, NOISE},
        {"late", required_argument, nullptr, LATE},
        {"seed", required_argument, nullptr, SEED},
        {"off", no_argument, nullptr, OFF},
        {"wake-after", required_argument, nullptr, WAKE_AFTER},
        {"typed", required_argument, nullptr, TYPED},
        {"repeat", no_argument, nullptr, REPEAT},
        {"from-flash", no_argument, nullptr, FROM_FLASH},
        {"looped", no_argument, nullptr, LOOPED},
        {"then-command", no_argument, nullptr, THEN_COMMAND},
        {"power-file", required_argument, nullptr, POWER_FILE},
        {"window", required_argument, nullptr, WINDOW},
        {"fail-first", required_argument, nullptr, FAIL_FIRST},
        {"chatter", no_argument, nullptr, CHATTER},
        {"tclk", required_argument, nullptr, TCLK},
        {"expect", required_argument, nullptr, EXPECT},
        {"turnaround", required_argument, nullptr, TURNAROUND},
        {"line-limit", required_argument, nullptr, LINE_LIMIT},
        {"corrupt-fast", required_argument, nullptr, CORRUPT_FAST},
        {"hang-first", required_argument, nullptr, HANG_FIRST},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, VERSION},
        {nullptr, 0, nullptr, 0}};

    *plan = FaultPlan{};
    *options = BoardOptions{nullptr,   WAITING, 0,
                            false,     false,   nullptr,
                            WINDOW_MS, 0,       {200000000, false, 0, 0, 0, nullptr, 0}};
    int option;
    while ((option = getopt_long(argc, argv, "+so:h", long_options, nullptr)) != -1) {
        int ok = 1;
        switch (option) {
        case 's':
            plan->checksum_mode = true;
            break;
        case 'o':
            options->output = optarg;
            break;
        case PACED:
            plan->paced = true;
            break;
        case NAK_BLOCK:
            ok = parse_nak_block(optarg, plan);
            break;
        case CAN_ONCE:
            ok = parse_count(optarg, &plan->can_once_block);
            break;
        case CANCEL_AT:
            ok = parse_count(optarg, &plan->cancel_block);
            break;
        case SILENT:
            plan->silent = true;
            break;
        case NAK_EOT:
            plan->nak_eot = true;
            break;
        case IGNORE_EOT:
            plan->ignore_eot = true;
            break;
        case VANISH_AT:
            ok = parse_count(optarg, &plan->vanish_block);
            break;
        case CORRUPT:
            ok = parse_share(optarg, &plan->corrupt_share);
            break;
        case LOSE:
            ok = parse_share(optarg, &plan->lose_share);
            break;
        case NOISE:
            ok = parse_share(optarg, &plan->noise_share);
            break;
        case LATE:
            ok = parse_share(optarg, &plan->late_share);
            break;
        case OFF:
            options->state = SWITCHED_OFF;
            break;
        case WAKE_AFTER:
            ok = parse_count(optarg, &options->wake_after_ms);
            break;
        case TYPED:
            plan->typed = optarg;
            break;
        case SEED: {
            int seed;
            ok = parse_count(optarg, &seed);
            plan->seed = static_cast<unsigned>(seed);
            break;
        }
        case REPEAT:
            options->repeat = true;
            break;
        case FROM_FLASH:
            options->state = BOOTED_FROM_FLASH;
            break;
        case LOOPED:
            options->state = LOOPED_LINE;
            break;
        case CHATTER:
            options->state = CHATTERING;
            break;
        case TCLK:
            ok = strcmp(optarg, "166") == 0 || strcmp(optarg, "200") == 0;
            options->start.tclk = optarg[0] == '1' ? 166666667 : 200000000;
            break;
        case EXPECT:
            options->start.expect = optarg;
            break;
        case TURNAROUND:
            ok = strcmp(optarg, "0") == 0 || parse_count(optarg, &options->start.turnaround_ms);
            break;
        case LINE_LIMIT:
            ok = parse_baud(optarg, &options->start.line_limit);
            break;
        case CORRUPT_FAST: {
            int count;
            ok = parse_count(optarg, &count);
            options->start.corrupt_byte = count;
            break;
        }
        case HANG_FIRST:
            ok = parse_count(optarg, &options->start.hang_first);
            break;
        case THEN_COMMAND:
            options->command_after_download = true;
            break;
        case POWER_FILE:
            options->power_file = optarg;
            break;
        case WINDOW:
            ok = parse_count(optarg, &options->window_ms);
            break;
        case FAIL_FIRST:
            ok = parse_count(optarg, &options->fail_first);
            break;
        case 'h':
            return -1;
        case VERSION:
            return -2;
        default:
            return 0;
        }
        if (!ok) {
            fprintf(stderr, "dramlift-board: bad value '%s'\n", optarg);
            return 0;
        }
    }
    options->start.paced = plan->paced;
    return 1;
}

// The image is what precedes the filler: one 0x1A followed by zeros only.
static long image_length(const std::vector<unsigned char> &data)
{
    long end = static_cast<long>(data.size());
    while (end > 0 && data[end - 1] == 0x00)
        --end;
    return end > 0 && data[end - 1] == 0x1A ? end - 1 : -1;
}

static int trailer_valid(const unsigned char *trailer)
{
    static const unsigned char magic[] = {0xA7, 0x3E, 0x37, 0x18};
    return memcmp(trailer, magic, sizeof magic) == 0 && (trailer[4] & ~1) == 0 && trailer[5] == 0 &&
           trailer[6] == 0 && trailer[7] == 0;
}

// Prints what arrived; returns 1 for a complete image with a valid trailer.
static int report(const FaultPlan &plan, const Reception &reception, const char *output)
{
    printf("Line faults: %d packets corrupted, %d answers lost, %d answers late, "
           "%d stray bytes sent, %d blocks repeated.\n",
           reception.corrupted, reception.lost, reception.late, reception.strays,
           reception.duplicates);
    if (!reception.reactions_us.empty()) {
        std::vector<long long> reactions = reception.reactions_us;
        std::sort(reactions.begin(), reactions.end());
        printf("Median time from an ACK to the next packet: %lld us.\n",
               reactions[reactions.size() / 2]);
        long long total = 0;
        for (long long reaction : reactions)
            total += reaction;
        printf("Mean %lld us; the slowest 1 %% above %lld us.\n",
               total / static_cast<long long>(reactions.size()),
               reactions[reactions.size() * 99 / 100]);
    }
    printf("Received %d block%s in %s mode; answered %d packet%s with NAK.\n", reception.blocks,
           reception.blocks == 1 ? "" : "s", plan.checksum_mode ? "checksum" : "CRC-16",
           reception.naks, reception.naks == 1 ? "" : "s");
    if (!reception.completed) {
        printf("Transfer incomplete: %s.\n", reception.failure.c_str());
        return 0;
    }
    printf("Transfer: %.3f s from the first packet to the end.\n", reception.transfer_us / 1e6);
    long length = image_length(reception.data);
    if (length < 0) {
        printf("No filler at the end of the data.\n");
        return 0;
    }
    printf("Image: %ld bytes, filler removed.\n", length);
    BootHeader header;
    BootHeaderFound found = read_boot_header(reception.data.data(), length, &header);
    const char *source = found != BOOT_HEADER_NONE ? boot_source_name(header.block_id) : nullptr;
    if (found != BOOT_HEADER_NONE)
        printf("Boot header: %s (block ID 0x%02X), version %d, %u bytes of data at 0x%X, loaded "
               "to 0x%08X, run from 0x%08X%s%s.\n",
               source != nullptr ? source : "no boot source known here", header.block_id,
               header.version, header.data_size, header.data_offset, header.load_address,
               header.exec_address, header.extension ? ", with register settings" : "",
               found == BOOT_HEADER_CUT_SHORT ? "; the data runs past the image's end" : "");
    else
        printf("Boot header: none.\n");
    // The ROM checks the data's own checksum, and runs nothing whose sum is off.
    bool sum_good = found != BOOT_HEADER_GOOD || header.version != 0 ||
                    boot_data_checksum_good(reception.data.data(), header);
    if (found == BOOT_HEADER_GOOD && header.version == 0)
        printf("Data checksum: %s.\n", sum_good ? "good" : "WRONG: the boot ROM runs nothing");
    if (board_is_ram_loader(reception.data)) {
        printf("RAM loader: %u bytes, to run from 0x%08X.\n", header.data_size - 4,
               header.exec_address);
        return sum_good;
    }
    const unsigned char *trailer = length >= 8 ? reception.data.data() + length - 8 : nullptr;
    int valid = trailer != nullptr && trailer_valid(trailer);
    if (valid)
        printf("Boot trailer: valid, erase flag %s.\n", trailer[4] & 1 ? "set" : "clear");
    else
        printf("Boot trailer: missing.\n");
    // The boot ROM cannot run an image whose data it did not get whole.
    valid = valid && found != BOOT_HEADER_CUT_SHORT && sum_good;

    if (output != nullptr) {
        FILE *file = fopen(output, "wb");
        if (file == nullptr ||
            fwrite(reception.data.data(), 1, length, file) != static_cast<size_t>(length)) {
            fprintf(stderr, "dramlift-board: could not write '%s'\n", output);
            valid = 0;
        }
        if (file != nullptr && fclose(file) != 0)
            valid = 0;
    }
    return valid;
}

// On a paced line, bytes go no faster than the line's speed allows: the
// time at which the wire is free again, after count more bytes.
static void pace(long long *wire_free_us, int count)
{
    int baud = line_speed() > 0 ? line_speed() : 115200;
    long long now = line_clock_us();
    *wire_free_us = (*wire_free_us > now ? *wire_free_us : now) + count * 10 * 1000000LL / baud;
    line_sleep_until(*wire_free_us);
}

// Copies bytes between the line and the command until the command closes
// its output (returns false) or the tool closes the line (true). Pipes
// rather than the line itself, because a program that sets its terminal up
// and restores it on exit would also flush the tool's unread input, taking
// the last answer with it. Tells at the end how long the tool's bytes took,
// from the first to the last.
static bool relay(int to_command, int from_command, bool as_loader, bool paced)
{
    bool mode_shown = as_loader;
    int speed = line_speed();
    long bytes_at_speed = 0, bytes_relayed = 0;
    long long first_us = 0, last_us = 0, to_tool_free_us = 0, to_command_free_us = 0;
    bool line_closed = false;
    while (!line_closed) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(from_command, &readable);
        FD_SET(line_descriptor(), &readable);
        int top = from_command > line_descriptor() ? from_command : line_descriptor();
        if (select(top + 1, &readable, nullptr, nullptr, nullptr) < 0)
            continue;
        if (FD_ISSET(from_command, &readable)) {
            unsigned char buffer[512];
            ssize_t got = read(from_command, buffer, sizeof buffer);
            if (got <= 0)
                break;
            if (!mode_shown) {
                printf("The command asked for %s mode.\n",
                       buffer[0] == 'C' ? "CRC-16" : "checksum");
                mode_shown = true;
            }
            if (paced)
                pace(&to_tool_free_us, static_cast<int>(got));
            line_write_all(buffer, static_cast<int>(got));
        }
        // The tool sets the speed before it sends at it.
        if (as_loader && line_speed() != speed) {
            printf("Line now at %d baud, after %ld bytes from the tool at %d.\n", line_speed(),
                   bytes_at_speed, speed);
            fflush(stdout);
            speed = line_speed();
            bytes_at_speed = 0;
        }
        if (FD_ISSET(line_descriptor(), &readable)) {
            unsigned char buffer[4096];
            int count = 0, byte = LINE_SILENT;
            while (count < static_cast<int>(sizeof buffer) && (byte = line_read(0)) >= 0)
                buffer[count++] = static_cast<unsigned char>(byte);
            line_closed = count == 0 && byte == LINE_CLOSED;
            if (count > 0 && first_us == 0)
                first_us = line_clock_us();
            if (paced && count > 0)
                pace(&to_command_free_us, count);
            (void)!write(to_command, buffer, static_cast<size_t>(count));
            bytes_at_speed += count;
            bytes_relayed += count;
            if (count > 0)
                last_us = line_clock_us();
        }
    }
    printf("Relayed %ld bytes from the tool in %.3f s, first to last.\n", bytes_relayed,
           (last_us - first_us) / 1e6);
    fflush(stdout);
    return line_closed;
}

// Hands the line to a command after the wake-up; returns its exit status.
static int hand_over(char *command[], bool as_loader, bool paced)
{
    int to_command[2], from_command[2];
    if (pipe(to_command) != 0 || pipe(from_command) != 0)
        return 1;
    pid_t child = fork();
    if (child == 0) {
        dup2(to_command[0], STDIN_FILENO);
        dup2(from_command[1], STDOUT_FILENO);
        close(to_command[1]);
        close(from_command[0]);
        execvp(command[0], command);
        fprintf(stderr, "dramlift-board: could not run '%s'\n", command[0]);
        _exit(127);
    }
    close(to_command[0]);
    close(from_command[1]);
    bool switched_off = relay(to_command[1], from_command[0], as_loader, paced);
    close(to_command[1]);
    int status = 0;
    if (child < 0)
        return 1;
    // A loader runs until the board is switched off; what it was still
    // given first gets the time to arrive.
    long long grace_end = line_clock_us() + COMMAND_GRACE_MS * 1000LL;
    pid_t ended;
    while ((ended = waitpid(child, &status, WNOHANG)) == 0 && switched_off && as_loader &&
           line_clock_us() < grace_end)
        line_sleep_until(line_clock_us() + 20 * 1000);
    if (ended == 0 && switched_off && as_loader)
        kill(child, SIGTERM);
    if (ended == 0 && waitpid(child, &status, 0) < 0)
        return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// A board with its power switched by the tool's reset command: off until it
// comes, then a moment to hear the wake pattern, or it boots from its flash
// and stays deaf until the power comes again.
static WakeHeard power_on_and_listen(const BoardOptions &options)
{
    if (!board_wait_for_power(options.power_file))
        return BOARD_LINE_CLOSED;
    printf("Powered on.\n");
    WakeHeard heard = board_wait_for_wake(options.wake_after_ms, options.window_ms);
    if (heard == BOARD_WINDOW_PASSED) {
        printf("No wake pattern within %d ms: booted from flash.\n", options.window_ms);
        line_write_text(BOARD_FLASH_BANNER);
    }
    fflush(stdout);
    return heard;
}

// One board's life from the wake-up on; returns the exit status. A board
// that is powered by the tool, or that fails its first downloads, waits for
// the next try on the same line after a failed one.
static int serve(const FaultPlan &plan, const BoardOptions &options, char *command[])
{
    int status = 1;
    Reception reception;
    int loaders = 0;
    bool ram_loader = false;
    for (int download = 1;; ++download) {
        WakeHeard heard = options.power_file != nullptr
                              ? power_on_and_listen(options)
                              : board_wait_for_wake(options.wake_after_ms, 0);
        if (heard == BOARD_LINE_CLOSED && download == 1 && options.power_file == nullptr)
            fprintf(stderr, "dramlift-board: the line was closed before the wake pattern\n");
        if (heard == BOARD_LINE_CLOSED)
            return status;
        if (heard == BOARD_WINDOW_PASSED) {
            --download;
            continue;
        }
        line_let_go();
        if (command[0] != nullptr && !options.command_after_download) {
            status = hand_over(command, false, plan.paced);
            line_wait_closed(CLOSE_GRACE_MS);
            return status;
        }
        FaultPlan board = plan;
        board.banner = command[0] != nullptr ? "" : BOARD_LOADER_BANNER;
        if (download <= options.fail_first)
            board.cancel_block = FAILED_DOWNLOAD_CANCELS_AT;
        board_receive(board, &reception);
        status = report(board, reception, options.output) ? 0 : 1;
        fflush(stdout);
        ram_loader = status == 0 && board_is_ram_loader(reception.data);
        if (ram_loader)
            status = board_start_ram_loader(options.start, reception.data, ++loaders) ? 0 : 1;
        bool tried_again = options.power_file != nullptr || download <= options.fail_first;
        if (reception.vanished || status == 0 || !tried_again)
            break;
    }
    if (reception.vanished)
        return status; // at once, as a board that loses power
    if (status == 0) {
        if (command[0] != nullptr) {
            status = hand_over(command, true, plan.paced);
        } else {
            // The image that the RAM loader went to starts talking.
            if (ram_loader)
                line_write_text(BOARD_LOADER_BANNER);
            // Until the tool lets go of the line.
            printf("Loader received %ld bytes.\n", board_run_loader(plan.typed, plan.paced));
            return status;
        }
    }
    // Closing our end while the tool still reads would discard its last answer.
    line_wait_closed(CLOSE_GRACE_MS);
    return status;
}

int main(int argc, char *argv[])
{
    FaultPlan plan;
    BoardOptions options;
    int parsed = parse_options(argc, argv, &plan, &options);
    if (parsed == -2) {
        printf("dramlift-board " DRAMLIFT_VERSION "%s\n",
               core_available() ? ", with an emulated ARM926 core" : "");
        return 0;
    }
    if (parsed <= 0) {
        print_usage(parsed < 0 ? stdout : stderr);
        return parsed < 0 ? 0 : 2;
    }
    const char *device = line_open();
    if (device == nullptr) {
        perror("dramlift-board: could not create a pseudo-terminal");
        return 1;
    }
    printf("%s\n", device);
    fflush(stdout);

    switch (options.state) {
    case SWITCHED_OFF:
        printf("Heard %ld wake patterns, and answered none.\n", board_count_wake_patterns());
        return 1;
    case BOOTED_FROM_FLASH:
        printf("Booted from flash; heard %ld wake patterns, and answered none.\n",
               board_boot_from_flash());
        return 1;
    case LOOPED_LINE:
        printf("Looped %ld bytes back.\n", board_loop_back());
        return 1;
    case CHATTERING:
        printf("Wrote %ld lines of text, and answered nothing.\n", board_chatter());
        return 1;
    case WAITING:
        break;
    }
    int status = serve(plan, options, argv + optind);
    // The same device for the next download, each reported in turn.
    while (options.repeat && line_hold()) {
        printf("\nWaiting on %s for the next download.\n", device);
        fflush(stdout);
        status = serve(plan, options, argv + optind);
    }
    return status;
}
