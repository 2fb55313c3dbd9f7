#include "app/progress.h"

#include "console/console.h"

static bool boot_shown = true;
static bool boot_started = false; // the console line is the download's
static int boot_percent;          // the percentage on the console

void boot_progress_begin(bool shown)
{
    boot_shown = shown;
    boot_started = false;
}

void boot_progress(int percent)
{
    if (!boot_started && !boot_shown) {
        boot_started = console_show(CONSOLE_OUTPUT, "\r%35s\r", "");
    } else if (!boot_started) {
        boot_started =
            console_show(CONSOLE_OUTPUT, "\r%35s\rDownloading boot code...(%3d%%)", "", percent);
        boot_percent = percent;
    } else if (boot_shown && percent != boot_percent &&
               console_show(CONSOLE_OUTPUT, "\b\b\b\b\b%3d%%)", percent)) {
        boot_percent = percent;
    }
}

static const char *file_path;
static const char *file_protocol;
static int file_percent; // the percentage on the console

void file_progress_begin(const char *path, const char *protocol)
{
    file_path = path;
    file_protocol = protocol;
    file_percent = -1;
    file_progress(0);
}

void file_progress(int percent)
{
    if (percent != file_percent && console_show(CONSOLE_ERROR, "\rSending '%s' by %s: %d%%",
                                                file_path, file_protocol, percent))
        file_percent = percent;
}
