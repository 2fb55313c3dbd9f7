// The Telnet side of an RFC 2217 port: options, escaping, and the Com Port
// Control commands with the server's confirmations.
#include "serial/net.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>

enum {
    IAC = 255,
    DONT = 254,
    DO = 253,
    WONT = 252,
    WILL = 251,
    SB = 250,
    SE = 240,
    OPTION_BINARY = 0,
    OPTION_SGA = 3,
    OPTION_COM_PORT = 44,
    SERVER_OFFSET = 100, // a confirmation is the command plus 100
    SUBNEGOTIATION_MAX = 16,
};

// Where the decoder stands between two pieces of the server's stream.
enum TelnetState { DATA, COMMAND, OPTION, SUB, SUB_IAC };

static TelnetState state = DATA;
static int verb;
static unsigned char sub[SUBNEGOTIATION_MAX];
static int sub_length;
static bool com_port_agreed = false;
static std::deque<std::pair<int, uint32_t>> confirmations;

NetKind net_kind(const char *port)
{
    if (strncmp(port, "rfc2217://", 10) == 0)
        return NET_RFC2217;
    if (strncmp(port, "socket://", 9) == 0)
        return NET_RAW;
    return NET_NONE;
}

int net_address(const char *port, std::string *host, std::string *service)
{
    const char *address = strstr(port, "://") + 3;
    const char *colon;
    if (address[0] == '[') {
        const char *end = strchr(address, ']');
        if (end == nullptr || end[1] != ':')
            return 0;
        host->assign(address + 1, end);
        colon = end + 1;
    } else {
        colon = strrchr(address, ':');
        if (colon == nullptr || memchr(address, ':', colon - address) != nullptr)
            return 0;
        host->assign(address, colon);
    }
    const char *digits = colon + 1;
    char *end;
    long number = strtol(digits, &end, 10);
    if (host->empty() || digits[0] < '0' || digits[0] > '9' || *end != '\0' || number < 1 ||
        number > 65535)
        return 0;
    *service = std::to_string(number);
    return 1;
}

std::string telnet_start()
{
    state = DATA;
    com_port_agreed = false;
    confirmations.clear();
    const unsigned char offer[] = {IAC, WILL, OPTION_BINARY,  IAC, DO, OPTION_BINARY,
                                   IAC, WILL, OPTION_SGA,     IAC, DO, OPTION_SGA,
                                   IAC, WILL, OPTION_COM_PORT};
    return std::string(reinterpret_cast<const char *>(offer), sizeof offer);
}

std::string telnet_escape(const unsigned char *bytes, int count)
{
    std::string escaped;
    escaped.reserve(static_cast<size_t>(count) + 8);
    for (int i = 0; i < count; ++i) {
        escaped += static_cast<char>(bytes[i]);
        if (bytes[i] == IAC)
            escaped += static_cast<char>(IAC);
    }
    return escaped;
}

std::string telnet_com_port(int command, uint32_t value)
{
    unsigned char bytes[4] = {};
    int size = command == COM_SET_BAUDRATE ? 4 : 1;
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * (size - 1 - i)));
    std::string message = {static_cast<char>(IAC), static_cast<char>(SB),
                           static_cast<char>(OPTION_COM_PORT), static_cast<char>(command)};
    return message + telnet_escape(bytes, size) +
           std::string{static_cast<char>(IAC), static_cast<char>(SE)};
}

// The server's DO, DONT, WILL or WONT for an option. The options the tool
// asked for were offered already; any other is refused, once.
static void negotiate(int option, std::string *answers)
{
    bool ours = option == OPTION_BINARY || option == OPTION_SGA || option == OPTION_COM_PORT;
    if (verb == DO && option == OPTION_COM_PORT)
        com_port_agreed = true;
    if (ours && (verb == DO || verb == WILL))
        return;
    if (verb == DO)
        *answers += {static_cast<char>(IAC), static_cast<char>(WONT), static_cast<char>(option)};
    else if (verb == WILL)
        *answers += {static_cast<char>(IAC), static_cast<char>(DONT), static_cast<char>(option)};
}

// A whole subnegotiation: only the Com Port Control confirmations of the
// settings (the baud rate to the control lines) count; notifications of
// the line's and the modem's state are dropped.
static void take_subnegotiation()
{
    if (sub_length < 3 || sub[0] != OPTION_COM_PORT)
        return;
    int command = sub[1] - SERVER_OFFSET;
    if (command < COM_SET_BAUDRATE || command > COM_SET_CONTROL)
        return;
    uint32_t value = 0;
    for (int i = 2; i < sub_length; ++i)
        value = value << 8 | sub[i];
    confirmations.emplace_back(command, value);
}

int telnet_take(unsigned char *bytes, int count, std::string *answers)
{
    int data = 0;
    for (int i = 0; i < count; ++i) {
        unsigned char byte = bytes[i];
        switch (state) {
        case DATA:
            if (byte == IAC)
                state = COMMAND;
            else
                bytes[data++] = byte;
            break;
        case COMMAND:
            if (byte == IAC) {
                bytes[data++] = byte;
                state = DATA;
            } else if (byte == SB) {
                sub_length = 0;
                state = SUB;
            } else if (byte >= WILL && byte <= DONT) {
                verb = byte;
                state = OPTION;
            } else {
                state = DATA; // a command without an option: nothing to do
            }
            break;
        case OPTION:
            negotiate(byte, answers);
            state = DATA;
            break;
        case SUB:
            if (byte == IAC)
                state = SUB_IAC;
            else if (sub_length < SUBNEGOTIATION_MAX)
                sub[sub_length++] = byte;
            break;
        case SUB_IAC:
            if (byte == SE) {
                take_subnegotiation();
                state = DATA;
            } else {
                if (sub_length < SUBNEGOTIATION_MAX)
                    sub[sub_length++] = byte; // IAC IAC inside: one 0xFF
                state = SUB;
            }
            break;
        }
    }
    return data;
}

int telnet_com_port_agreed()
{
    return com_port_agreed;
}

int telnet_next_confirmation(int *command, uint32_t *value)
{
    if (confirmations.empty())
        return 0;
    *command = confirmations.front().first;
    *value = confirmations.front().second;
    confirmations.pop_front();
    return 1;
}
