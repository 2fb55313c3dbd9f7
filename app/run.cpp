#include "app/run.h"

#include "app/boot_image.h"
#include "app/options.h"
#include "app/wake.h"
#include "serial/serial.h"
#include "xmodem/xmodem.h"

#include <cstdio>

enum { BOARD_BAUD = 115200 };

// Runs the download once the port is open; returns the exit status.
static int download(const Options &options)
{
    BootImage image;
    int status = 1;
    if (load_boot_image(options.image_path, &image) == IMAGE_LOADED) {
        append_boot_trailer(image.block, image.length, options.erase);
        serial_configure(BOARD_BAUD);

        printf("Waiting for the board to wake up...");
        wake_board();
        int result = xmodem_send(image.block, image.length + BOOT_TRAILER_SIZE);

        printf("\r                               \r");
        if (result < 0) {
            fprintf(stderr, "Xmodem download failed: %d.\n", result);
        } else {
            printf("Successfully downloaded '%s'.\n", options.image_path);
            status = 0;
        }
    }
    release_boot_image(&image);
    return status;
}

int dramlift_run(int argc, char *argv[])
{
    // The waiting notice and the progress have no line end; show them at once.
    setvbuf(stdout, nullptr, _IONBF, 0);

    Options options;
    if (!parse_options(argc, argv, &options)) {
        print_usage();
        return 1;
    }
    // The port comes first: a wrong port is reported before the file is read.
    if (!serial_open(options.port))
        return 1;
    int status = download(options);
    serial_close();
    return status;
}
