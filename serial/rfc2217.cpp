// A port on an RFC 2217 server: a Telnet session with Com Port Control over
// a TCP connection. What the tool and the server say to each other at open,
// at configuration and at close, and the data between, escaped.
#include "serial/tcp.h"
#include "serial/telnet.h"
#include "serial/transport.h"
#include "serial/wait.h"

enum { CONFIGURE_LIMIT_MS = 2000, CLOSE_LIMIT_MS = 500, DATASIZE_8 = 8, WORDS_KEPT = 80 };

static TelnetSession session;
static bool connected = false;
// The speed in force, for a switch that the server does not take.
static uint32_t line_baud = 0;

// The settings found at open, to put back at close.
static const int REMEMBERED[] = {COM_SET_BAUDRATE, COM_SET_DATASIZE, COM_SET_PARITY,
                                 COM_SET_STOPSIZE, COM_SET_CONTROL};
static uint32_t found_settings[COM_SET_CONTROL + 1];
enum { REMEMBERED_COUNT = sizeof REMEMBERED / sizeof REMEMBERED[0], SETTINGS_COUNT = 7 };

static void say(const std::string &bytes)
{
    tcp_send(reinterpret_cast<const unsigned char *>(bytes.data()), static_cast<int>(bytes.size()),
             serial_clock_ms() + CONFIGURE_LIMIT_MS);
}

// Takes what the server sent: leaves the data at the start of the buffer,
// returns how many bytes it is, and answers the server's Telnet commands.
static int take(unsigned char *buffer, int count)
{
    std::string answers;
    count = telnet_take(&session, buffer, count, &answers);
    if (!answers.empty())
        say(answers);
    return count;
}

// The server's last line of text while the data is for nobody, and the line
// it is on: a server that turns the tool away may say why first.
static std::string server_line;
static std::string server_words;

static void hear_text(const unsigned char *bytes, int count)
{
    for (int i = 0; i < count; ++i) {
        if (bytes[i] == '\r' || bytes[i] == '\n') {
            if (!server_line.empty())
                server_words = server_line;
            server_line.clear();
        } else if (bytes[i] >= ' ' && bytes[i] < 0x7F && server_line.size() < WORDS_KEPT) {
            server_line.push_back(static_cast<char>(bytes[i]));
        }
    }
}

// Whether the server closed the connection during the last wait of until().
static bool closed_by_server = false;

// Reads what the server sends until `settled` holds (returns STEP_DONE),
// the deadline passes (STEP_FAILED), the connection goes (STEP_FAILED,
// closed_by_server) or the process is asked to stop (STEP_STOPPED). The
// data that comes meanwhile is not for anyone yet and goes, heard as text.
static int until(bool (*settled)(), long long deadline_ms)
{
    closed_by_server = false;
    while (!settled()) {
        unsigned char buffer[4096];
        int got = tcp_receive(buffer, sizeof buffer, deadline_ms);
        if (got > 0)
            hear_text(buffer, take(buffer, got));
        if (port_stop_requested())
            return STEP_STOPPED;
        closed_by_server = got == IO_LOST;
        if (closed_by_server || (serial_clock_ms() >= deadline_ms && !settled()))
            return STEP_FAILED;
    }
    return STEP_DONE;
}

// At open: the settings in force, which the server sends back in the order
// asked, and the options, which it agrees to or refuses.
static int answers_found = 0;

static bool open_settled()
{
    int command;
    uint32_t value;
    while (answers_found < REMEMBERED_COUNT &&
           telnet_next_confirmation(&session, &command, &value)) {
        if (command == REMEMBERED[answers_found])
            found_settings[REMEMBERED[answers_found++]] = value;
    }
    return (answers_found == REMEMBERED_COUNT && telnet_binary_agreed(&session) != 0) ||
           telnet_binary_agreed(&session) < 0;
}

static int rfc2217_open(const char *port, long long deadline_ms, std::string *, std::string *why)
{
    int step = tcp_open(port, deadline_ms, why);
    connected = step == STEP_DONE;
    if (!connected)
        return step;
    std::string request = telnet_start(&session);
    for (int command : REMEMBERED)
        request += telnet_com_port(command, COM_ASK);
    say(request);
    answers_found = 0;
    server_line.clear();
    server_words.clear();
    step = until(open_settled, deadline_ms);
    if (step == STEP_DONE && telnet_binary_agreed(&session) < 0) {
        *why = "The server refused binary mode";
        step = STEP_FAILED;
    } else if (step == STEP_FAILED && closed_by_server) {
        std::string words = server_line.empty() ? server_words : server_line;
        *why = "The server closed the connection" + (words.empty() ? "" : ": \"" + words + "\"");
    } else if (step == STEP_FAILED) {
        *why = telnet_com_port_agreed(&session) ? "The server did not tell its settings"
                                                : "The server does not take RFC 2217 settings";
    }
    return step;
}

struct Setting {
    int command;
    uint32_t value;
    const char *name; // in words, for the message when the server does not take it
};

// At configuration: each setting confirmed with the value asked for, until
// the answer to a question after them all.
static Setting wanted[SETTINGS_COUNT];
static bool confirmed[SETTINGS_COUNT];
static const Setting *refused = nullptr;

static bool configure_settled()
{
    int command;
    uint32_t value;
    while (refused == nullptr && telnet_next_confirmation(&session, &command, &value)) {
        size_t i = 0;
        while (i < SETTINGS_COUNT && (confirmed[i] || wanted[i].command != command))
            ++i;
        if (i == SETTINGS_COUNT)
            return true; // the answer to the question: all confirmations are in
        if (value != wanted[i].value)
            refused = &wanted[i];
        confirmed[i] = true;
    }
    return refused != nullptr;
}

static int rfc2217_configure(int baud, std::string *why)
{
    const std::string speed = std::to_string(baud) + " baud";
    const Setting settings[SETTINGS_COUNT] = {
        {COM_SET_BAUDRATE, static_cast<uint32_t>(baud), nullptr}, // said as the speed
        {COM_SET_DATASIZE, DATASIZE_8, "8 data bits"},
        {COM_SET_PARITY, COM_PARITY_NONE, "no parity"},
        {COM_SET_STOPSIZE, COM_STOPSIZE_1, "1 stop bit"},
        {COM_SET_CONTROL, COM_CONTROL_NO_FLOW, "no flow control"},
        {COM_SET_CONTROL, COM_CONTROL_DTR_OFF, "DTR off"},
        {COM_SET_CONTROL, COM_CONTROL_RTS_OFF, "RTS off"},
    };
    std::string request = telnet_com_port(COM_PURGE_DATA, COM_PURGE_BOTH);
    for (int i = 0; i < SETTINGS_COUNT; ++i) {
        wanted[i] = settings[i];
        confirmed[i] = false;
        request += telnet_com_port(settings[i].command, settings[i].value);
    }
    // A question after them: its answer comes after every confirmation
    // (some servers confirm no DTR or RTS), and tells when all are in.
    request += telnet_com_port(COM_SET_BAUDRATE, COM_ASK);
    refused = nullptr;
    telnet_forget_confirmations(&session);
    say(request);
    int step = until(configure_settled, serial_clock_ms() + CONFIGURE_LIMIT_MS);
    if (step == STEP_DONE && refused != nullptr) {
        *why = "The server did not take " + (refused->name != nullptr ? refused->name : speed);
        step = STEP_FAILED;
    } else if (step == STEP_FAILED) {
        *why = "The server did not answer";
    } else if (step == STEP_DONE) {
        line_baud = static_cast<uint32_t>(baud);
    }
    return step;
}

// A new speed: the server's confirmation of it, then its answer to a
// question after it.
static uint32_t speed_answers[2];
static int speed_answer_count = 0;

static bool speed_settled()
{
    int command;
    uint32_t value;
    while (speed_answer_count < 2 && telnet_next_confirmation(&session, &command, &value)) {
        if (command == COM_SET_BAUDRATE)
            speed_answers[speed_answer_count++] = value;
    }
    return speed_answer_count == 2;
}

// Asks the server for the speed; returns a STEP_ result, and on STEP_DONE
// the speed that the server says is in force.
static int ask_for_speed(uint32_t baud, uint32_t *in_force)
{
    telnet_forget_confirmations(&session);
    speed_answer_count = 0;
    say(telnet_com_port(COM_SET_BAUDRATE, baud) + telnet_com_port(COM_SET_BAUDRATE, COM_ASK));
    int step = until(speed_settled, serial_clock_ms() + CONFIGURE_LIMIT_MS);
    *in_force = speed_answers[1];
    return step;
}

static int rfc2217_set_speed(int baud, std::string *why)
{
    uint32_t in_force;
    int step = ask_for_speed(static_cast<uint32_t>(baud), &in_force);
    if (step == STEP_FAILED) {
        *why = "The server did not answer";
    } else if (step == STEP_DONE && in_force != static_cast<uint32_t>(baud)) {
        // The line stays where the other end still listens.
        *why = "The server set " + std::to_string(in_force) + " baud instead";
        step = ask_for_speed(line_baud, &in_force) == STEP_STOPPED ? STEP_STOPPED : STEP_FAILED;
    } else if (step == STEP_DONE) {
        line_baud = static_cast<uint32_t>(baud);
    }
    return step;
}

static int rfc2217_receive(unsigned char *buffer, int capacity, long long deadline_ms)
{
    // The server's commands alone neither end the wait nor make it longer.
    for (;;) {
        int got = tcp_receive(buffer, capacity, deadline_ms);
        if (got <= 0)
            return got;
        got = take(buffer, got);
        if (got > 0 || port_stop_requested() || serial_clock_ms() >= deadline_ms)
            return got;
    }
}

static int rfc2217_send(const unsigned char *bytes, int count, long long deadline_ms)
{
    std::string escaped = telnet_escape(bytes, count);
    int size = static_cast<int>(escaped.size());
    int sent = tcp_send(reinterpret_cast<const unsigned char *>(escaped.data()), size, deadline_ms);
    if (sent == IO_LOST)
        return IO_LOST;
    return sent == size ? count : 0; // a part of it: the rest goes nowhere
}

// The settings found at open go back; the answer to the baud rate, then to
// a question after them, tells that the server has taken them: closing with
// its answers unread could reset the connection before it has.
static int restore_answers = 0;

static bool restore_settled()
{
    int command;
    uint32_t value;
    while (restore_answers < 2 && telnet_next_confirmation(&session, &command, &value))
        restore_answers += command == COM_SET_BAUDRATE;
    return restore_answers == 2;
}

static void rfc2217_close(bool lost)
{
    if (connected && !lost) {
        std::string request;
        for (int command : REMEMBERED)
            request += telnet_com_port(command, found_settings[command]);
        request += telnet_com_port(COM_SET_BAUDRATE, COM_ASK);
        telnet_forget_confirmations(&session);
        restore_answers = 0;
        say(request);
        until(restore_settled, serial_clock_ms() + CLOSE_LIMIT_MS);
    }
    connected = false;
    tcp_close();
}

const Transport RFC2217_TRANSPORT = {
    rfc2217_open, rfc2217_configure, rfc2217_set_speed, rfc2217_receive,
    rfc2217_send, tcp_wait_input,    rfc2217_close,     false};
