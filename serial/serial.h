// The one serial line to the board: writes of whole buffers, and reads
// bounded by a time-out. The platform behind it stays out of sight.
#ifndef DRAMLIFT_SERIAL_H
#define DRAMLIFT_SERIAL_H

#include <string>
#include <vector>

// How serial_open and serial_configure end: SERIAL_STOPPED when the process
// was asked to stop meanwhile (nothing is printed then).
enum { SERIAL_FAILED = 0, SERIAL_READY = 1, SERIAL_STOPPED = 2 };

// Opens the port that the -p value names and keeps it as the process's one
// port. The value is a port number, 1 being the first port, or "COM" and
// the number (on Linux and Windows); where the platform has device paths,
// a value containing '/' is taken as one; rfc2217://HOST:PORT and
// socket://HOST:PORT (the scheme in any case) name a port on a port
// server, opened within 5 s. On failure prints "Could not open serial port
// ...", why, and for a port of this machine the ports there are.
int serial_open(const char *port);

// Once the port has gone: closes it, and opens the port of the same -p
// value again, as often as it takes within limit_ms, saying nothing (a USB
// adapter that comes back, a port server that takes the connection again).
// Returns SERIAL_READY, to be configured anew, SERIAL_FAILED after the
// limit, or SERIAL_STOPPED.
int serial_reopen(int limit_ms);

// Discards whatever is pending in both directions, then sets a raw 8N1 line
// at the given speed with no flow control and DTR and RTS held off. On
// failure prints "Could not configure serial port ...", why, and for a port
// of this machine the ports there are.
int serial_configure(int baud);

// Sets the line to another speed, all else as it is, once what was sent has
// gone. Returns SERIAL_READY; or SERIAL_FAILED with the reason in *why, the
// speed as it was (a socket:// port has no speed of its own); or
// SERIAL_STOPPED when the process was asked to stop meanwhile.
int serial_set_speed(int baud, std::string *why);

// Writes the serial ports of this machine on standard error, as -p names
// them, sorted, with what they are where the system tells:
// "  Serial ports here: /dev/ttyUSB0 (FTDI FT232R USB UART, serial A1), ...."
// or "  No serial ports found here."
void serial_list_ports();

// A serial port of this machine: its name as -p takes it, and what it is
// where the system tells (empty otherwise).
struct SerialPortFound {
    std::string name;
    std::string description;
};

// The serial ports of this machine, in any order.
std::vector<SerialPortFound> serial_find_ports();

// Hands count bytes to the platform for transmission, in order; blocks
// until it has taken all of them. A port that takes nothing for 2 s has
// gone.
void serial_write(const unsigned char *bytes, int count);

// The same for a single byte.
void serial_write_byte(unsigned char byte);

// Reads up to capacity bytes: waits at most timeout_ms for the first, then
// takes what else has already arrived. Returns how many were read, 0 when
// none came in time. With timeout_ms 0 it takes only what is already there.
int serial_read(unsigned char *buffer, int capacity, int timeout_ms);

// Returns the next byte from the line, or 0 when none arrives within
// timeout_ms. A received 0x00 looks the same as silence.
unsigned char serial_read_byte(int timeout_ms);

// A clock in milliseconds that only moves forward, for deadlines that span
// several reads.
long long serial_clock_ms();

enum { SERIAL_INPUT_LINE = 1, SERIAL_INPUT_STDIN = 2 };

// For a terminal on the line: waits up to timeout_ms until the line, or the
// process's standard input when watch_stdin is set, has something to read
// (or an end or a failure to report). Returns which of them, or 0 after the
// time-out or a stop request. Where the platform cannot wait on both at once, it
// looks every few milliseconds and may name standard input when it only
// might have something.
int serial_wait_input(int timeout_ms, bool watch_stdin);

// 1 once the process has been asked to stop (console_catch_stop_signals),
// the watched keys have asked the same, or the user's command beside the
// run has failed while the line waits on it (console_command_stops_line).
// From then on nothing on the line waits any more: a read takes only what
// has already arrived, and a write hands over only what the line takes at
// once. A wait that was under way when the request came ends with it.
int serial_stop_requested();

// While a file goes from the terminal: every wait on the line also wakes
// when the keyboard (a terminal or console; other input is left alone) has
// something, and hands it to keys(). Once that returns 1, the line acts as
// if the process had been asked to stop, for good. nullptr ends the watch.
void serial_watch_keys(int (*keys)());

// 1 once the port has gone away (an adapter pulled out): from then on reads
// get nothing, each after its whole time-out, and writes go nowhere.
int serial_lost();

// The port's name as the messages give it.
const char *serial_name();

// Puts the line settings back as they were found, and closes the port.
void serial_close();

// The -p value as a port number: "COM" (in any case) and a number, or a
// number converted as atoi does, except that values beyond the range of an
// int saturate instead of being undefined.
int serial_port_number(const char *text);

#endif
