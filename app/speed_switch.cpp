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
    // How long the rest of the request's line may take.
    SETTLE_LIMIT_MS = 1000,
};

static const char PREFIX[] = "## Switch baudrate to ";
static const struct {
    const char *suffix;
    unsigned char key;
    bool back; // the switch back after the load
} ENDINGS[] = {{" bps and press ENTER", '\r', false}, {" bps and press ESC", KEY_ESCAPE, true}};

static const char NOTHING_SENT[] = "no line went from here before it";
static const char NOT_SWITCHED[] = "the line was not switched for a load";
static const char TALK_AFTER[] = "more output followed it";

// The board's line so far, from its start, and whether the line of the last
// request is still open.
static std::string line;
static bool request_open = false;

// Whether the terminal has ended a line it sent since the last request,
// and whether the line is at a load's speed, its switch back still to come.
static bool line_sent = false;
static bool switched = false;

void speed_switch_note_sent(const unsigned char *bytes, int count)
{
    for (int i = 0; i < count; ++i) {
        if (bytes[i] == '\r' || bytes[i] == '\n')
            line_sent = true;
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
                wanted->refused = line_sent ? nullptr : NOTHING_SENT;
            return wanted->baud > 0;
        }
    }
    return 0;
}

int speed_switch_asked(const unsigned char *bytes, int count, SpeedSwitch *wanted)
{
    int asked = 0;
    bool request_ended = false;
    for (int i = 0; i < count; ++i) {
        bool line_end = bytes[i] == '\r' || bytes[i] == '\n';
        // Output that goes on after the request's line makes it text.
        if (asked && request_ended && !line_end && wanted->refused == nullptr)
            wanted->refused = TALK_AFTER;
        if (line_end) {
            line.clear();
            request_open = request_open && bytes[i] != '\n';
            request_ended = asked;
        } else if (line.size() < LONGEST_LINE) {
            line.push_back(static_cast<char>(bytes[i]));
            if (is_request(wanted)) {
                asked = request_open = true;
                request_ended = false;
            }
        }
    }
    return asked;
}

// Lets the rest of the request's line come, handed to show unless that is
// nullptr, until the loader falls quiet; returns 0 when it goes on talking
// after that line (the request was text amid other output), or on a stop.
static int rest_comes(int (*show)(const unsigned char *, int))
{
    unsigned char rest[LONGEST_LINE];
    long long limit = serial_clock_ms() + SETTLE_LIMIT_MS;
    bool line_ended = false;
    for (int got; serial_clock_ms() < limit && !serial_stop_requested() &&
                  (got = serial_read(rest, sizeof rest, SETTLE_MS)) > 0;) {
        for (int i = 0; i < got; ++i) {
            bool line_end = rest[i] == '\r' || rest[i] == '\n';
            if (line_ended && !line_end) {
                if (show != nullptr)
                    show(rest, got);
                request_open = rest[got - 1] != '\n';
                return 0;
            }
            line_ended = line_ended || line_end;
        }
        request_open = rest[got - 1] != '\n';
        if (show != nullptr)
            show(rest, got);
    }
    return !serial_stop_requested();
}

void speed_switch_follow(const SpeedSwitch &wanted, int (*show)(const unsigned char *, int))
{
    // Each line sent is answered by one request at most.
    line_sent = false;
    const char *refused = wanted.refused;
    if (refused == nullptr && !rest_comes(show)) {
        if (serial_stop_requested())
            return;
        refused = TALK_AFTER;
    }
    // Unshown, the board's line leaves the caller's own line open.
    const char *start = show == nullptr || request_open ? "\n" : "";
    if (refused != nullptr) {
        console_note("%sThe loader's request to switch to %d baud was not followed: %s.\n", start,
                     wanted.baud, refused);
        request_open = false;
        return;
    }
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
