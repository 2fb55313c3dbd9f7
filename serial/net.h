// Ports on a port server, behind serial/serial.h: rfc2217://HOST:PORT (RFC
// 2217, Telnet Com Port Control) and socket://HOST:PORT (raw bytes). Only
// the serial layer includes this header; the Telnet side here is the same
// on every platform.
#ifndef DRAMLIFT_SERIAL_NET_H
#define DRAMLIFT_SERIAL_NET_H

#include <cstdint>
#include <string>

enum NetKind { NET_NONE, NET_RAW, NET_RFC2217 };

// Which kind of port the -p value names: NET_NONE for a local one.
NetKind net_kind(const char *port);

// Splits a network port's HOST:PORT; returns 0 when it is not of that form.
int net_address(const char *port, std::string *host, std::string *service);

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

// Starts a new Telnet session: what the tool sends first (BINARY both ways,
// SUPPRESS-GO-AHEAD and COM-PORT-OPTION offered and asked for).
std::string telnet_start();

// The data bytes, with 0xFF doubled.
std::string telnet_escape(const unsigned char *bytes, int count);

// A Com Port Control command with its value (4 bytes for the baud rate, 1
// for the rest).
std::string telnet_com_port(int command, uint32_t value);

// Takes bytes from the server: leaves the data at the start of the buffer
// and returns how many; handles the server's commands, and appends to
// *answers what must go back (refusals of options the tool does not know).
int telnet_take(unsigned char *bytes, int count, std::string *answers);

// 1 once the server has agreed to COM-PORT-OPTION.
int telnet_com_port_agreed();

// Takes the server's oldest confirmation of a Com Port Control command not
// yet taken; returns 0 when there is none.
int telnet_next_confirmation(int *command, uint32_t *value);

// Provided by each platform's serial file, for the session below: sends
// bytes as they are, and receives what the server sends, waiting up to the
// deadline on serial_clock_ms(); returns 0 once it has passed, -1 once the
// connection has gone or the process is asked to stop.
void net_send(const std::string &bytes);
int net_receive(unsigned char *buffer, int capacity, long long deadline_ms);

// Takes what the server sent: leaves the data at the start of the buffer,
// returns how many bytes it is, and answers the server's Telnet commands.
int net_take(unsigned char *bytes, int count);

// Sets a network port up for the download and drops what has arrived; a
// raw port's line settings are the server's business. Returns 1, or prints
// "Could not configure serial port ..." with the reason and returns 0.
int net_configure(NetKind kind, int baud);

// The RFC 2217 session on a connected port. Each returns "" or why not, in
// words for the message: opening negotiates the options and notes the
// settings in force; configuring sets the line and checks what the server
// confirms; closing puts the settings found back.
std::string net_session_open(long long deadline_ms);
std::string net_session_configure(int baud);
void net_session_close();

#ifdef _WIN32
#include <winsock2.h>
typedef SOCKET NetSocket;
#else
typedef int NetSocket;
#endif

// Connects to the port server within 5 s. Returns the connected socket
// (non-blocking, TCP_NODELAY), or an invalid one with *reason set.
NetSocket net_connect(const char *port, std::string *reason);

#ifdef _WIN32
// The system's text for a Windows or Winsock error, without its full stop.
std::string win32_error_text(unsigned long error);

// A network port on Windows, behind the functions of serial/serial.h with
// the same names but for the prefix (a socket is no COM port handle there).
int net_win32_open(const char *port);
void net_win32_write(const unsigned char *bytes, int count);
int net_win32_read(unsigned char *buffer, int capacity, int timeout_ms);
int net_win32_has_input();
int net_win32_lost();
void net_win32_close();
#endif

#endif
