// The RFC 2217 session: what the tool and the port server say to each other
// at open, at configuration and at close, over the platform's socket.
#include "serial/net.h"
#include "serial/serial.h"

#include <cstdio>

enum { CONFIRM_LIMIT_MS = 2000, CLOSE_LIMIT_MS = 1000, DATASIZE_8 = 8 };

// The settings found at open, to put back at close.
static const int REMEMBERED[] = {COM_SET_BAUDRATE, COM_SET_DATASIZE, COM_SET_PARITY,
                                 COM_SET_STOPSIZE, COM_SET_CONTROL};
static uint32_t found_settings[COM_SET_CONTROL + 1];

int net_take(unsigned char *bytes, int count)
{
    std::string answers;
    count = telnet_take(bytes, count, &answers);
    if (!answers.empty())
        net_send(answers);
    return count;
}

int net_configure(NetKind kind, int baud)
{
    std::string reason = kind == NET_RFC2217 ? net_session_configure(baud) : "";
    unsigned char stale[256];
    while (serial_read(stale, sizeof stale, 0) > 0) {
    }
    if (reason.empty())
        return 1;
    fprintf(stderr, "Could not configure serial port %s.\n  %s.\n", serial_name(), reason.c_str());
    return 0;
}

// Takes what the server sends until the deadline or until it confirms
// `until` (then returns 1); the data that comes meanwhile is not for
// anyone yet and goes.
static int confirmation(int until, long long deadline_ms, int *command, uint32_t *value)
{
    for (;;) {
        while (telnet_next_confirmation(command, value)) {
            if (until == 0 || *command == until)
                return 1;
        }
        unsigned char buffer[256];
        int got = net_receive(buffer, sizeof buffer, deadline_ms);
        if (got <= 0)
            return 0;
        net_take(buffer, got);
    }
}

std::string net_session_open(long long deadline_ms)
{
    net_send(telnet_start());
    std::string asked;
    for (int command : REMEMBERED)
        asked += telnet_com_port(command, COM_ASK);
    net_send(asked);
    // The server answers in order: the settings come back one by one.
    int command;
    uint32_t value;
    for (int command_wanted : REMEMBERED) {
        if (!confirmation(command_wanted, deadline_ms, &command, &value))
            return telnet_com_port_agreed() ? "The server did not tell its settings"
                                            : "The server does not take RFC 2217 settings";
        found_settings[command] = value;
    }
    return "";
}

std::string net_session_configure(int baud)
{
    struct Setting {
        int command;
        uint32_t value;
        std::string name;
    };
    const Setting settings[] = {
        {COM_SET_BAUDRATE, static_cast<uint32_t>(baud), std::to_string(baud) + " baud"},
        {COM_SET_DATASIZE, DATASIZE_8, "8 data bits"},
        {COM_SET_PARITY, COM_PARITY_NONE, "no parity"},
        {COM_SET_STOPSIZE, COM_STOPSIZE_1, "1 stop bit"},
        {COM_SET_CONTROL, COM_CONTROL_NO_FLOW, "no flow control"},
        {COM_SET_CONTROL, COM_CONTROL_DTR_OFF, "DTR off"},
        {COM_SET_CONTROL, COM_CONTROL_RTS_OFF, "RTS off"},
    };
    std::string request = telnet_com_port(COM_PURGE_DATA, COM_PURGE_BOTH);
    for (const Setting &setting : settings)
        request += telnet_com_port(setting.command, setting.value);
    // A question after them: its answer comes after every confirmation
    // (some servers confirm no DTR or RTS), and tells when all are in.
    request += telnet_com_port(COM_SET_BAUDRATE, COM_ASK);
    net_send(request);

    long long deadline = serial_clock_ms() + CONFIRM_LIMIT_MS;
    bool confirmed[sizeof settings / sizeof settings[0]] = {};
    int command;
    uint32_t value;
    while (confirmation(0, deadline, &command, &value)) {
        size_t i = 0;
        while (i < sizeof settings / sizeof settings[0] &&
               (confirmed[i] || settings[i].command != command))
            ++i;
        if (i == sizeof settings / sizeof settings[0])
            return ""; // the answer to the question: all confirmations are in
        if (value != settings[i].value)
            return "The server did not take " + settings[i].name;
        confirmed[i] = true;
    }
    return "The server did not answer";
}

void net_session_close()
{
    std::string request;
    for (int command : REMEMBERED)
        request += telnet_com_port(command, found_settings[command]);
    request += telnet_com_port(COM_SET_BAUDRATE, COM_ASK);
    net_send(request);
    // Until the server has taken them (its answer to the baud rate, then to
    // the question): closing with its answers unread could reset the
    // connection before it has.
    int command;
    uint32_t value;
    long long deadline = serial_clock_ms() + CLOSE_LIMIT_MS;
    for (int answers = 0; answers < 2 && confirmation(COM_SET_BAUDRATE, deadline, &command, &value);
         ++answers) {
    }
}
