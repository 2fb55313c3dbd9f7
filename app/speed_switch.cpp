#include "app/speed_switch.h"

#include "console/console.h"
#include "serial/serial.h"

#include <cstdlib>
#include <cstring>
#include <string>

enum {
    LONGEST_LINE = 80,
    // The quiet after the request that tells that its line is complete: the
    // loader switches once it has gone out.
    SETTLE_MS = 100,
    CARRIAGE_RETURN = '\r',
    ESCAPE = 0x1B,
};

static const char PREFIX[] = "## Switch baudrate to ";
static const struct {
    const char *suffix;
    unsigned char key;
} ENDINGS[] = {{" bps and press ENTER", CARRIAGE_RETURN}, {" bps and press ESC", ESCAPE}};

// The board's line so far, from its start, and whether the line of the last
// request is still open.
static std::string line;
static bool request_open = false;

// Whether the line is, so far, exactly a request: the prefix, a speed, and
// one of the endings.
static int is_request(SpeedSwitch *wanted)
{
    const size_t prefix_length = sizeof PREFIX - 1;
    if (line.compare(0, prefix_length, PREFIX) != 0)
        return 0;
    const char *digits = line.c_str() + prefix_length;
    size_t digit_count = strspn(digits, "0123456789");
    if (digit_count == 0 || digit_count > 8)
        return 0;
    for (const auto &ending : ENDINGS) {
        if (strcmp(digits + digit_count, ending.suffix) == 0) {
            wanted->baud = atoi(digits);
            wanted->key = ending.key;
            return wanted->baud > 0;
        }
    }
    return 0;
}

int speed_switch_asked(const unsigned char *bytes, int count, SpeedSwitch *wanted)
{
    int asked = 0;
    for (int i = 0; i < count; ++i) {
        if (bytes[i] == '\r' || bytes[i] == '\n') {
            line.clear();
            request_open = request_open && bytes[i] != '\n';
        } else if (line.size() < LONGEST_LINE) {
            line.push_back(static_cast<char>(bytes[i]));
            if (is_request(wanted))
                asked = request_open = true;
        }
    }
    return asked;
}

void speed_switch_follow(const SpeedSwitch &wanted, int (*show)(const unsigned char *, int))
{
    unsigned char rest[LONGEST_LINE];
    for (int got; (got = serial_read(rest, sizeof rest, SETTLE_MS)) > 0;) {
        request_open = rest[got - 1] != '\n';
        if (show != nullptr)
            show(rest, got);
    }
    // Unshown, the board's line leaves the caller's own line open.
    bool mid_line = show == nullptr || request_open;
    std::string why;
    const char *start = mid_line ? "\n" : "";
    if (!serial_set_speed(wanted.baud, &why)) {
        console_note("%sCould not switch the line to %d baud: %s.\n", start, wanted.baud,
                     why.c_str());
        return;
    }
    console_note("%sLine now at %d baud.\n", start, wanted.baud);
    serial_write_byte(wanted.key);
}
