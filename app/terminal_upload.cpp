#include "app/terminal_upload.h"

#include "app/progress.h"
#include "app/speed_switch.h"
#include "app/terminal_keys.h"
#include "console/console.h"
#include "serial/serial.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

static const char *protocol_name(FileProtocol protocol)
{
    return protocol == PROTOCOL_YMODEM ? "YMODEM" : "XMODEM";
}

// Why the file did not go, in words.
static std::string failure_in_words(int result)
{
    switch (result) {
    case XMODEM_ERR_CANCELLED:
        return "the receiver cancelled the transfer";
    case XMODEM_ERR_NO_SYNC:
        return "the receiver never asked for the first block";
    case XMODEM_ERR_BLOCK_RETRIES:
        return "a block was refused " + std::to_string(XMODEM_FILE_BLOCK_TRIES) + " times";
    case XMODEM_ERR_NO_EOT_ACK:
        return "the receiver did not acknowledge the end of the file";
    default: // stopped by Ctrl-\ then c
        return "the transfer was cancelled from the keyboard";
    }
}

// Reads the whole file; returns 0 with errno set when it cannot.
static int read_file(const std::string &path, std::vector<unsigned char> *bytes)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return 0;
    bool read = true;
    unsigned char chunk[65536];
    for (size_t got; read && (got = fread(chunk, 1, sizeof chunk, file)) > 0;) {
        bytes->insert(bytes->end(), chunk, chunk + got);
        if (bytes->size() > INT_MAX) {
            errno = EFBIG;
            read = false;
        }
    }
    // A directory opens on some systems and fails at the first read.
    if (ferror(file))
        read = false;
    int error = errno;
    fclose(file);
    errno = error;
    return read;
}

// Ctrl-\ then c among the keys typed while the file goes; the others go
// nowhere, but mean what they mean in the terminal.
static bool after_command = false;

static int leave_keys_typed()
{
    unsigned char keys[64];
    int got = console_read(keys, sizeof keys);
    if (got < 0)
        serial_watch_keys(nullptr); // the keyboard has gone; nothing more to watch
    for (int i = 0; i < got; ++i) {
        if (key_meaning(keys[i], &after_command) == KEY_LEAVE)
            return 1;
    }
    return 0;
}

// A script may ask for the loader's speed switch and the file at once
// ("loady 0x800000 921600\r" then Ctrl-\ y): the request then comes while
// the sender waits for the receiver to start.
static void follow_speed_switch(const unsigned char *bytes, int count, bool answered)
{
    SpeedSwitch wanted;
    if (!answered && speed_switch_asked(bytes, count, &wanted))
        speed_switch_follow(wanted, nullptr);
}

UploadEnd upload_file(FileProtocol protocol, const std::string &path)
{
    const char *name = path.c_str();
    std::vector<unsigned char> bytes;
    if (!read_file(path, &bytes)) {
        console_note("Could not send '%s': %s.\n", name, strerror(errno));
        return UPLOAD_ENDED;
    }
    // The receiver gets the file's own name, without the folders.
    size_t slash = path.find_last_of(
#ifdef _WIN32
        "/\\:"
#else
        "/"
#endif
    );
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);

    file_progress_begin(name, protocol_name(protocol));
    after_command = false;
    if (console_has_keyboard())
        serial_watch_keys(leave_keys_typed);
    xmodem_watch(follow_speed_switch);
    long long started = serial_clock_ms();
    int result = xmodem_send_file(protocol, base.c_str(), bytes.data(),
                                  static_cast<int>(bytes.size()), file_progress);
    double took_s = (serial_clock_ms() - started) / 1000.0;
    bool left = serial_stop_requested() && !console_stop_requested();
    serial_watch_keys(nullptr);
    xmodem_watch(nullptr);
    console_note("\n");

    if (result == XMODEM_ERR_LINE_LOST)
        return UPLOAD_PORT_LOST;
    if (result == XMODEM_ERR_STOPPED && !left)
        return UPLOAD_STOPPED;
    if (result < 0)
        console_note("Could not send '%s': %s.\n", name, failure_in_words(result).c_str());
    else
        console_note("Sent '%s': %d bytes in %.*f s.\n", name, result, took_s < 10 ? 1 : 0, took_s);
    return left ? UPLOAD_LEFT : UPLOAD_ENDED;
}
