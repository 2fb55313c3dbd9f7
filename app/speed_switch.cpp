#include "app/speed_switch.h"

#include "app/terminal_keys.h"
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
    // What the line may bring meanwhile before the request counts as text.
    SETTLE_LIMIT_MS = 1000,
    NOTHING_SENT = -1,
};

static const char PREFIX[] = "## Switch baudrate to ";
static const struct {
    const char *suffix;
    unsigned char key;
    bool back; // the switch back after the load
} ENDINGS[] = {{" bps and press ENTER", '\r', false}, {" bps and press ESC", KEY_ESCAPE, true}};

static const char NOT_AN_ANSWER[] = "it did not come right after a line sent from here";
static const char NOT_SWITCHED[] = "the line was not switched for a load";

// The board's line so far, from its start; whether the line of the last
// request is still open; whether the last byte was a carriage return (a
// line feed after it ends no other line).
static std::string line;
static bool request_open = false;
static bool after_return = false;

// The line ends that the board has printed since the terminal last ended a
// line it sent (NOTHING_SENT: none since the last request): the loader's
// answer starts its first or second line from there, after the echo of the
// command if it echoes it. And whether the line is at a load's speed, its
// switch back still to come.
static int line_ends_since_sent = NOTHING_SENT;
static bool switched = false;

void speed_switch_note_sent(const unsigned char *bytes, int count)
{
    for (int i = 0; i < count; ++i) {
        if (bytes[i] == '\r' || bytes[i] == '\n')
            line_ends_since_sent = 0;
    }
}

// Whether the line is, so far, exactly a request to switch: the prefix, a
// speed, and one of the endings.
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
            if (ending.back)
                wanted->refused = switched ? nullptr : NOT_SWITCHED;
            else
                wanted->refused = line_ends_since_sent >= 0 && line_ends_since_sent <= 1
                                      ? nullptr
                                      : NOT_AN_ANSWER;
            return wanted->baud > 0;
        }
    }
    return 0;
}

int speed_switch_asked(const unsigned char *bytes, int count, SpeedSwitch *wanted)
{
    int asked = 0;
    for (int i = 0; i < count; ++i) {
        bool line_end = bytes[i] == '\r' || bytes[i] == '\n';
        if (line_end) {
            if (!(bytes[i] == '\n' && after_return) && line_ends_since_sent >= 0 &&
                line_ends_since_sent < 2)
                ++line_ends_since_sent;
            line.clear();
            request_open = request_open && bytes[i] != '\n';
        } else if (line.size() < LONGEST_LINE) {
            line.push_back(static_cast<char>(bytes[i]));
            if (is_request(wanted))
                asked = request_open = true;
        }
        after_return = bytes[i] == '\r';
    }
    return asked;
}

void speed_switch_follow(const SpeedSwitch &wanted, int (*show)(const unsigned char *, int))
{
    // Each line sent is answered by one request at most.
    line_ends_since_sent = NOTHING_SENT;
    // Unshown, the board's line leaves the caller's own line open.
    const char *start = show == nullptr || request_open ? "\n" : "";
    if (wanted.refused != nullptr) {
        console_note("%sThe loader's request to switch to %d baud was not followed: %s.\n", start,
                     wanted.baud, wanted.refused);
        request_open = false;
        return;
    }
    unsigned char rest[LONGEST_LINE];
    long long limit = serial_clock_ms() + SETTLE_LIMIT_MS;
    for (int got; serial_clock_ms() < limit && !serial_stop_requested() &&
                  (got = serial_read(rest, sizeof rest, SETTLE_MS)) > 0;) {
        request_open = rest[got - 1] != '\n';
        if (show != nullptr)
            show(rest, got);
    }
    if (serial_stop_requested())
        return;
    start = show == nullptr || request_open ? "\n" : "";
    // A request is followed once; the switch it asked for may be followed
    // by the switch back.
    bool back = wanted.key == KEY_ESCAPE;
    switched = false;
    std::string why;
    int set = serial_set_speed(wanted.baud, &why);
    if (set == SERIAL_STOPPED)
        return;
    if (set != SERIAL_READY) {
        console_note("%sCould not switch the line to %d baud: %s.\n", start, wanted.baud,
                     why.c_str());
        return;
    }
    switched = !back;
    console_note("%sLine now at %d baud.\n", start, wanted.baud);
    serial_write_byte(wanted.key);
}
