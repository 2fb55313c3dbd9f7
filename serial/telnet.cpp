// The Telnet side of an RFC 2217 port: the server's stream taken apart into
// data, option negotiation and subnegotiations, and what the tool says.
#include "serial/telnet.h"

#include <cstring>

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
};

enum DecoderState { DATA, COMMAND, OPTION, SUB, SUB_IAC };

std::string telnet_start(TelnetSession *session)
{
    memset(session, 0, sizeof *session);
    session->state = DATA;
    for (int option : {OPTION_BINARY, OPTION_SGA, OPTION_COM_PORT})
        session->ours[option] = OPTION_WANT_YES;
    for (int option : {OPTION_BINARY, OPTION_SGA})
        session->theirs[option] = OPTION_WANT_YES;
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

// Whether the tool takes the option on its own side, and on the server's.
static bool wanted(int option, bool ours)
{
    return option == OPTION_BINARY || option == OPTION_SGA || (ours && option == OPTION_COM_PORT);
}

// The server's DO, DONT, WILL or WONT for an option, by RFC 1143: a request
// that changes nothing is not answered, a request the tool takes is agreed
// to once, and any other is refused once.
static void negotiate(TelnetSession *session, int option, std::string *answers)
{
    bool ours = session->verb == DO || session->verb == DONT;
    bool enable = session->verb == DO || session->verb == WILL;
    unsigned char *state = ours ? &session->ours[option] : &session->theirs[option];
    char yes = static_cast<char>(ours ? WILL : DO);
    char no = static_cast<char>(ours ? WONT : DONT);
    char reply = 0;
    if (enable) {
        if (*state == OPTION_NO && wanted(option, ours)) {
            *state = OPTION_YES;
            reply = yes;
        } else if (*state == OPTION_NO) {
            reply = no;
        } else {
            // Our own request agreed to; after our refusal, an error that
            // leaves the option off.
            *state = *state == OPTION_WANT_NO ? OPTION_NO : OPTION_YES;
        }
    } else {
        if (*state == OPTION_YES)
            reply = no;
        *state = OPTION_NO;
    }
    if (reply != 0)
        *answers += {static_cast<char>(IAC), reply, static_cast<char>(option)};
}

// A whole subnegotiation: only the Com Port Control confirmations of the
// settings (the baud rate to the control lines) count, the newest kept;
// notifications of the line's and the modem's state are dropped.
static void take_subnegotiation(TelnetSession *session)
{
    if (session->sub_length < 3 || session->sub[0] != OPTION_COM_PORT)
        return;
    int command = session->sub[1] - SERVER_OFFSET;
    if (command < COM_SET_BAUDRATE || command > COM_SET_CONTROL)
        return;
    uint32_t value = 0;
    for (int i = 2; i < session->sub_length; ++i)
        value = value << 8 | session->sub[i];
    TelnetConfirmation *kept = session->confirmations;
    if (session->confirmation_count == TELNET_CONFIRMATIONS_MAX) {
        memmove(kept, kept + 1, sizeof kept[0] * (TELNET_CONFIRMATIONS_MAX - 1));
        --session->confirmation_count;
    }
    kept[session->confirmation_count++] = {command, value};
}

// A byte after IAC, outside a subnegotiation.
static void take_command(TelnetSession *session, unsigned char byte, unsigned char *bytes,
                         int *data)
{
    session->state = DATA;
    if (byte == IAC) {
        bytes[(*data)++] = byte;
    } else if (byte == SB) {
        session->sub_length = 0;
        session->sub_too_long = false;
        session->state = SUB;
    } else if (byte >= WILL && byte <= DONT) {
        session->verb = byte;
        session->state = OPTION;
    } // any other command has no option and nothing to do here
}

int telnet_take(TelnetSession *session, unsigned char *bytes, int count, std::string *answers)
{
    int data = 0;
    for (int i = 0; i < count; ++i) {
        unsigned char byte = bytes[i];
        switch (session->state) {
        case DATA:
            if (byte == IAC)
                session->state = COMMAND;
            else
                bytes[data++] = byte;
            break;
        case COMMAND:
            take_command(session, byte, bytes, &data);
            break;
        case OPTION:
            negotiate(session, byte, answers);
            session->state = DATA;
            break;
        case SUB:
        case SUB_IAC:
            if (session->state == SUB_IAC && byte == SE) {
                if (!session->sub_too_long)
                    take_subnegotiation(session);
                session->state = DATA;
            } else if (session->state == SUB_IAC && byte != IAC) {
                // An IAC with a command in a subnegotiation ends it unfinished.
                take_command(session, byte, bytes, &data);
            } else if (session->state == SUB && byte == IAC) {
                session->state = SUB_IAC;
            } else {
                // IAC IAC inside is one 0xFF. A subnegotiation longer than any
                // the tool takes is read to its end all the same, and dropped.
                if (session->sub_length < TELNET_SUBNEGOTIATION_MAX)
                    session->sub[session->sub_length++] = byte;
                else
                    session->sub_too_long = true;
                session->state = SUB;
            }
            break;
        }
    }
    return data;
}

int telnet_binary_agreed(const TelnetSession *session)
{
    int ours = session->ours[OPTION_BINARY];
    int theirs = session->theirs[OPTION_BINARY];
    if (ours == OPTION_NO || theirs == OPTION_NO)
        return -1;
    return ours == OPTION_YES && theirs == OPTION_YES;
}

int telnet_com_port_agreed(const TelnetSession *session)
{
    return session->ours[OPTION_COM_PORT] == OPTION_YES;
}

int telnet_next_confirmation(TelnetSession *session, int *command, uint32_t *value)
{
    if (session->confirmation_count == 0)
        return 0;
    *command = session->confirmations[0].command;
    *value = session->confirmations[0].value;
    --session->confirmation_count;
    memmove(session->confirmations, session->confirmations + 1,
            sizeof session->confirmations[0] * static_cast<size_t>(session->confirmation_count));
    return 1;
}

void telnet_forget_confirmations(TelnetSession *session)
{
    session->confirmation_count = 0;
}
