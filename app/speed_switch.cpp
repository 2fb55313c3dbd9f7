#include "app/speed_switch.h"

#include "app/terminal_keys.h"
#include "console/console.h"
#include "serial/serial.h"

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

enum {
    LONGEST_LINE = 80,
    // The quiet after the request that tells that its line is complete: the
    // loader switches once it has gone out.
    SETTLE_MS = 100,
};

static const char PREFIX[] = "## Switch baudrate to ";
static const struct {
    const char *suffix;
    unsigned char key;
    bool back; // the switch back after the load
} ENDINGS[] = {{" bps and press ENTER", '\r', false}, {" bps and press ESC", KEY_ESCAPE, true}};

// The board's line so far, from its start, and whether the line of the last
// request is still open.
static std::string line;
static bool request_open = false;

// The command line being sent to the board, the speed that the last load
// command sent named and that the loader has not yet asked for (0: none),
// and whether the line is at a load's speed, its switch back still to come.
static std::string sent_line;
static int load_baud = 0;
static bool switched = false;

// Looks for load commands, U-Boot's "loadx [ADDR [BAUD]]" and its kind,
// among the commands of a line sent: the last one's speed is the one the
// loader may ask for (none, 0, without a speed). Other commands leave it.
static void note_load_commands(const std::string &command_line)
{
    std::istringstream commands(command_line);
    for (std::string command; std::getline(commands, command, ';');) {
        std::istringstream words(command);
        std::string name, address, speed;
        words >> name >> address >> speed;
        int baud = speed.empty() ? 0 : atoi(speed.c_str());
        if (name == "loadx" || name == "loady" || name == "loadb")
            load_baud = baud > 0 ? baud : 0;
    }
}

void speed_switch_note_sent(const unsigned char *bytes, int count)
{
    for (int i = 0; i < count; ++i) {
        unsigned char byte = bytes[i];
        if (byte == '\r' || byte == '\n') {
            note_load_commands(sent_line);
            sent_line.clear();
        } else if (byte == KEY_BACKSPACE || byte == KEY_DELETE) {
            if (!sent_line.empty())
                sent_line.pop_back();
        } else if (byte == KEY_CTRL_C) {
            sent_line.clear(); // the loader drops the line
        } else if (byte >= ' ' && sent_line.size() < LONGEST_LINE) {
            sent_line.push_back(static_cast<char>(byte));
        }
    }
}

// Whether the line is, so far, exactly a request that the loader can mean:
// the prefix, a speed, and one of the endings.
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
            return wanted->baud > 0 && (ending.back ? switched : wanted->baud == load_baud);
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
    if (serial_stop_requested())
        return;
    // A request is followed once; the switch it asked for may be followed
    // by the switch back.
    bool back = wanted.key == KEY_ESCAPE;
    load_baud = 0;
    switched = false;
    // Unshown, the board's line leaves the caller's own line open.
    bool mid_line = show == nullptr || request_open;
    std::string why;
    const char *start = mid_line ? "\n" : "";
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
