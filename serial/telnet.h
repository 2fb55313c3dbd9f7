// The Telnet side of an RFC 2217 port: the options, escaping, and the Com
// Port Control commands with the server's confirmations. All of one
// connection's state is in one record; nothing the server sends can make it
// grow.
#ifndef DRAMLIFT_SERIAL_TELNET_H
#define DRAMLIFT_SERIAL_TELNET_H

#include <cstdint>
#include <string>

// The Com Port Control commands the tool uses, and their values.
enum {
    COM_SET_BAUDRATE = 1,
    COM_SET_DATASIZE = 2,
    COM_SET_PARITY = 3,
    COM_SET_STOPSIZE = 4,
    COM_SET_CONTROL = 5,
    COM_PURGE_DATA = 12,
    COM_ASK = 0, // asks for the setting in force instead of setting it
    COM_PARITY_NONE = 1,
    COM_STOPSIZE_1 = 1,
    COM_CONTROL_NO_FLOW = 1,
    COM_CONTROL_DTR_OFF = 9,
    COM_CONTROL_RTS_OFF = 12,
    COM_PURGE_BOTH = 3,
};

enum {
    TELNET_SUBNEGOTIATION_MAX = 64, // longer ones are dropped whole
    TELNET_CONFIRMATIONS_MAX = 16,  // the newest are kept
    TELNET_OPTIONS = 256,
};

// Where an option stands on one side, by RFC 1143: a request is answered
// only when it changes the state, so that two peers can never loop.
enum TelnetOptionState { OPTION_NO, OPTION_YES, OPTION_WANT_NO, OPTION_WANT_YES };

struct TelnetConfirmation {
    int command;
    uint32_t value;
};

struct TelnetSession {
    int state; // where the decoder stands between two pieces of the stream
    int verb;  // the DO, DONT, WILL or WONT being read
    unsigned char sub[TELNET_SUBNEGOTIATION_MAX];
    int sub_length;
    bool sub_too_long; // the one being read has outgrown sub
    // Our side of each option (WILL/WONT, the server's DO/DONT) and the
    // server's (its WILL/WONT, our DO/DONT).
    unsigned char ours[TELNET_OPTIONS];
    unsigned char theirs[TELNET_OPTIONS];
    TelnetConfirmation confirmations[TELNET_CONFIRMATIONS_MAX];
    int confirmation_count;
};

// Starts a new session: returns what the tool sends first (BINARY both
// ways, SUPPRESS-GO-AHEAD both ways, COM-PORT-OPTION offered).
std::string telnet_start(TelnetSession *session);

// The data bytes, with 0xFF doubled.
std::string telnet_escape(const unsigned char *bytes, int count);

// A Com Port Control command with its value (4 bytes for the baud rate, 1
// for the rest).
std::string telnet_com_port(int command, uint32_t value);

// Takes bytes from the server: leaves the data at the start of the buffer
// and returns how many; handles the server's commands, and appends to
// *answers what must go back.
int telnet_take(TelnetSession *session, unsigned char *bytes, int count, std::string *answers);

// Whether the options that the session needs are settled: 1 when the
// server has agreed to all of them, 0 while it has not answered yet, and
// -1 when it has refused BINARY either way.
int telnet_binary_agreed(const TelnetSession *session);

// 1 once the server has agreed to COM-PORT-OPTION.
int telnet_com_port_agreed(const TelnetSession *session);

// Takes the oldest confirmation of a Com Port Control setting that is
// still kept; returns 0 when there is none.
int telnet_next_confirmation(TelnetSession *session, int *command, uint32_t *value);

// Forgets the confirmations kept so far: a new phase of the session waits
// only for its own.
void telnet_forget_confirmations(TelnetSession *session);

#endif
