#include "app/run.h"

#include "app/boot_image.h"
#include "app/heard.h"
#include "app/loader_image.h"
#include "app/loader_link.h"
#include "app/options.h"
#include "app/progress.h"
#include "app/reset.h"
#include "app/terminal.h"
#include "app/wake.h"
#include "console/console.h"
#include "serial/serial.h"
#include "xmodem/xmodem.h"

#include <cstdio>

enum { BOARD_BAUD = 115200, STALE_READS = 64, PORT_RETURN_S = 5 };

// How one try at the boot ended.
enum TryEnd {
    TRY_SUCCEEDED,
    TRY_FAILED,             // another try may do better
    TRY_LOADER_NOT_STARTED, // so may the boot ROM's own way
    TRY_PORT_LOST,          // so may one on the port once it is back
    TRY_ENDS_RUN,           // said why: a failed reset command
    TRY_STOPPED,            // the process was asked to stop
};

// What the tries send: the image, and with -b the RAM loader that takes it,
// for as long as it is to be tried.
struct Boot {
    const Options &options;
    const BootImage &image;
    LoaderImage loader;
    bool through_loader;
};

static void report_lost_port()
{
    fprintf(stderr, "Lost serial port %s.\n", serial_name());
}

// Blanks the progress line once the boot's transfer has ended.
static void blank_progress()
{
    console_print("\r                               \r");
}

// A failed transfer's code, and what it means.
static void report_transfer_failure(int result)
{
    fprintf(stderr, "Xmodem download failed: %d.\n  ", result);
    switch (result) {
    case XMODEM_ERR_CANCELLED:
        fprintf(stderr, "The board cancelled the transfer.\n");
        break;
    case XMODEM_ERR_NO_SYNC:
        fprintf(stderr, "The board never asked for the first block.\n");
        break;
    case XMODEM_ERR_BLOCK_RETRIES:
        fprintf(stderr, "A block was refused %d times.\n", XMODEM_BOOT_BLOCK_TRIES);
        break;
    default:
        fprintf(stderr, "The end of the transfer was not acknowledged.\n");
        break;
    }
}

// Why the line acts as stopped during a try: the reset command failed,
// which is said, or else the process was asked to stop, which comes first.
static TryEnd stopped_try()
{
    return !console_stop_requested() && reset_failed() ? TRY_ENDS_RUN : TRY_STOPPED;
}

// Says how the transfer to the boot ROM ended, when it did not; returns how
// the try ends then.
static TryEnd transfer_failed(int result)
{
    if (result == XMODEM_ERR_STOPPED) {
        console_print("\n");
        return stopped_try();
    }
    blank_progress();
    if (result == XMODEM_ERR_LINE_LOST)
        return TRY_PORT_LOST;
    report_transfer_failure(result);
    heard_explain();
    return TRY_FAILED;
}

// Sends the image by the boot ROM's own download; returns how the try ends.
static TryEnd boot_the_rom_way(const Boot &boot)
{
    boot_progress_begin(!boot.options.quiet);
    int result =
        xmodem_send(boot.image.block, boot.image.length + BOOT_TRAILER_SIZE, boot_progress);
    if (result < 0)
        return transfer_failed(result);
    blank_progress();
    return TRY_SUCCEEDED;
}

// Sends the RAM loader by the boot ROM's download, then the image through
// it; returns how the try ends.
static TryEnd boot_through_loader(const Boot &boot)
{
    const Options &options = boot.options;
    int result =
        xmodem_send(boot.loader.bytes.data(), static_cast<int>(boot.loader.bytes.size()), nullptr);
    if (result < 0)
        return transfer_failed(result);
    boot_progress_begin(!options.quiet);
    std::string why;
    LoaderEnd end =
        loader_boot(boot.loader, boot.image.block, options.fast_baud, boot_progress, &why);
    if (end == LOADER_STOPPED) {
        console_print("\n");
        return stopped_try();
    }
    blank_progress();
    switch (end) {
    case LOADER_BOOTED:
        return TRY_SUCCEEDED;
    case LOADER_PORT_LOST:
        return TRY_PORT_LOST;
    case LOADER_NOT_STARTED:
        fprintf(stderr, "The board did not start the loader.\n");
        heard_explain();
        return TRY_LOADER_NOT_STARTED;
    default:
        fprintf(stderr, "%s.\n", why.c_str());
        return TRY_FAILED;
    }
}

// Waits for the board and sends it the image, the boot ROM's way or through
// the RAM loader. Until the transfer has ended the console line stays open.
static TryEnd try_boot(const Boot &boot)
{
    const Options &options = boot.options;
    console_show(CONSOLE_OUTPUT, "Waiting for the board to wake up...");
    WakeResult woken = wake_board(options.wait_s, reset_start);
    if (woken != WAKE_ANSWERED)
        console_print("\n");
    if (woken == WAKE_STOPPED)
        return stopped_try();
    if (woken == WAKE_PORT_LOST)
        return TRY_PORT_LOST;
    if (woken == WAKE_NO_ANSWER) {
        fprintf(stderr, "The board did not answer within %d s.\n", options.wait_s);
        heard_explain();
        return TRY_FAILED;
    }
    heard_begin(HEARD_TRANSFER);
    TryEnd end = boot.through_loader ? boot_through_loader(boot) : boot_the_rom_way(boot);
    if (end == TRY_SUCCEEDED)
        console_print("Successfully downloaded '%s'.\n", options.image_path);
    return end;
}

// Drops what the board sent after a failed try, a few reads' worth at most:
// nothing it said then answers the next wake pattern.
static void drop_stale_input()
{
    unsigned char stale[256];
    for (int reads = 0; reads < STALE_READS && !serial_stop_requested(); ++reads) {
        if (serial_read(stale, sizeof stale, 0) == 0)
            return;
    }
}

// After the port has gone (a USB adapter that the board powers, say):
// waits a few seconds for it to come back, and sets it up again. Returns
// TRY_FAILED when it did, to be tried again, or how the try ends.
static TryEnd wait_for_port()
{
    fprintf(stderr, "Lost serial port %s; waiting up to %d s for it to come back.\n", serial_name(),
            PORT_RETURN_S);
    int reopened = serial_reopen(PORT_RETURN_S * 1000);
    if (reopened == SERIAL_READY)
        reopened = serial_configure(BOARD_BAUD);
    if (reopened == SERIAL_READY)
        return TRY_FAILED;
    if (reopened == SERIAL_STOPPED)
        return stopped_try();
    fprintf(stderr, "Serial port %s did not come back.\n", serial_name());
    return TRY_ENDS_RUN;
}

// Tries the boot as many times as the options say, each after the last
// try's reset command has ended and the board's stale input is dropped, or
// the port has come back; after a loader that the board did not start, the
// boot ROM's way. Returns the exit status, or RUN_STOPPED.
static int try_boots(Boot *boot)
{
    const Options &options = boot->options;
    TryEnd end = try_boot(*boot);
    for (int number = 2; number <= options.tries; ++number) {
        bool rom_way = end == TRY_LOADER_NOT_STARTED;
        if (end == TRY_PORT_LOST)
            end = wait_for_port();
        else if (end == TRY_FAILED || rom_way)
            drop_stale_input();
        if (end != TRY_FAILED && !rom_way)
            break;
        boot->through_loader = boot->through_loader && !rom_way;
        console_print("Trying again (%d of %d)%s.\n", number, options.tries,
                      rom_way ? ", the boot ROM's way at 115200 baud" : "");
        if (!reset_end_try())
            return 1;
        end = try_boot(*boot);
    }
    if (end == TRY_PORT_LOST)
        report_lost_port();
    return end == TRY_SUCCEEDED ? 0 : end == TRY_STOPPED ? RUN_STOPPED : 1;
}

// Stays on the line after a download; returns the exit status, or
// RUN_STOPPED.
static int stay_as_terminal(int idle_exit_s)
{
    switch (terminal_run(idle_exit_s)) {
    case TERMINAL_PORT_LOST:
        report_lost_port();
        return 1;
    case TERMINAL_STOPPED:
        return RUN_STOPPED;
    default:
        return 0;
    }
}

// Whether the RAM loader can take the image (-b): one that only the boot
// ROM can judge, or that leaves the loader no room in DRAM, goes the ROM's
// way, said.
static bool loader_can_take(const BootImage &image, bool rom_only, LoaderImage *loader,
                            const Options &options)
{
    const char *why = nullptr;
    if (rom_only)
        why = "the RAM loader takes only UART images whose header and data checksum are good";
    else if (!make_loader_image(image.block, image.length + BOOT_TRAILER_SIZE, loader))
        why = "it leaves the RAM loader no room in DRAM";
    if (why != nullptr)
        fprintf(stderr, "'%s' boots the boot ROM's way at 115200 baud, -b notwithstanding: %s.\n",
                options.image_path, why);
    return why == nullptr;
}

// Runs the download once the port is open; returns the exit status, or
// RUN_STOPPED.
static int download(const Options &options)
{
    BootImage image;
    int status = 1;
    HeaderVerdict verdict = HEADER_REFUSED;
    bool rom_only = true;
    if (load_boot_image(options.image_path, &image) == IMAGE_LOADED)
        verdict = check_boot_header(options.image_path, image.block, image.length, options.as_uart,
                                    &rom_only);
    if (verdict != HEADER_REFUSED) {
        if (verdict == HEADER_SEND_AS_UART)
            make_uart_image(image.block);
        append_boot_trailer(image.block, image.length, options.erase);
        Boot boot = {options, image, {}, options.fast_baud > 0};
        if (boot.through_loader)
            boot.through_loader = loader_can_take(boot.image, rom_only, &boot.loader, options);
        int configured = serial_configure(BOARD_BAUD);
        if (configured == SERIAL_READY)
            status = try_boots(&boot);
        else if (configured == SERIAL_STOPPED)
            status = RUN_STOPPED;
    }
    release_boot_image(&image);
    reset_boot_over();
    if (status == 0 && options.terminal)
        status = stay_as_terminal(options.idle_exit_s);
    return status;
}

int dramlift_run(int argc, char *argv[])
{
    console_keep_standard_streams();
    // The waiting notice and the progress have no line end; show them at once.
    setvbuf(stdout, nullptr, _IONBF, 0);

    Options options;
    if (!parse_options(argc, argv, &options)) {
        print_usage(stderr);
        return 1;
    }
    if (options.asks == ASKS_HELP)
        print_usage(stdout);
    if (options.asks == ASKS_VERSION)
        print_version();
    if (options.asks != ASKS_DOWNLOAD)
        return 0;
    xmodem_watch(heard_take);
    reset_prepare(options.reset);
    // From the moment the port is open, a stop request puts it back first.
    console_catch_stop_signals();
    // The port comes first: a wrong port is reported before the file is read.
    int status = 1;
    int opened = serial_open(options.port);
    if (opened == SERIAL_READY) {
        status = download(options);
        serial_close();
        // The reset command is part of the run; leaving the terminal ends it.
        if (!reset_end_run(options.terminal && status == 0) && status == 0)
            status = 1;
    } else if (opened == SERIAL_STOPPED) {
        status = RUN_STOPPED;
    }
    // A stop that came while the end was said (to a console that nobody
    // reads, say) ends the run as a stop all the same.
    if (console_stop_requested())
        status = RUN_STOPPED;
    if (status != RUN_STOPPED)
        console_release_stop_signals();
    return status;
}
