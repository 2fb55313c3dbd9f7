// One kind of port behind serial/serial.h: a local tty or COM port, a TCP
// connection to a port server, an RFC 2217 session over one. Only the serial
// layer includes this header. serial.cpp picks a transport once, at open, and
// from then on calls through its table: the rules for time-outs, stops and a
// lost port live there, not in the transports.
#ifndef DRAMLIFT_SERIAL_TRANSPORT_H
#define DRAMLIFT_SERIAL_TRANSPORT_H

#include "serial/serial.h"

#include <string>

// How opening or configuring a port ended.
enum { STEP_DONE = SERIAL_READY, STEP_FAILED = SERIAL_FAILED, STEP_STOPPED = SERIAL_STOPPED };

// What a transport's receive or send returns once its port has gone.
enum { IO_LOST = -1 };

struct Transport {
    // Opens the port that the -p value names within the deadline (on
    // serial_clock_ms()) and sets *name to what the messages call it. On
    // failure, *why says why in words, a line each, without their full stops.
    int (*open)(const char *port, long long deadline_ms, std::string *name, std::string *why);
    // Drops what is pending and sets a raw 8N1 line at that speed, DTR and
    // RTS off; on failure, *why says why.
    int (*configure)(int baud, std::string *why);
    // Changes the speed of the line, all else as it is, once what was sent
    // has gone; on failure, *why says why and the speed stays. A STEP_ result.
    int (*set_speed)(int baud, std::string *why);
    // Waits until the deadline at most for the first data byte, then takes
    // what else has arrived. Returns how many, 0 at the deadline or on a stop
    // request, or IO_LOST.
    int (*receive)(unsigned char *buffer, int capacity, long long deadline_ms);
    // Hands bytes over, waiting for room until the deadline at most (not
    // after a stop request). Returns how many were taken, or IO_LOST.
    int (*send)(const unsigned char *bytes, int count, long long deadline_ms);
    // serial_wait_input for this kind of port.
    int (*wait_input)(int timeout_ms, bool watch_stdin);
    // Puts back what open and configure changed, unless the port has gone,
    // and closes it. Safe after a failed open.
    void (*close)(bool lost);
    // Whether a failure lists the machine's serial ports after its reason.
    bool lists_ports;
};

// The platform's own ports: ttys on POSIX systems, COM ports on Windows.
extern const Transport LOCAL_TRANSPORT;
// Raw bytes over TCP (socket://) and RFC 2217 over TCP (rfc2217://).
extern const Transport SOCKET_TRANSPORT;
extern const Transport RFC2217_TRANSPORT;

// Why the -p value can name no port at all: an unknown scheme, a value that
// is no number, COM<n> nor path, a number below 1. "" when it may name one.
// Where a device of that name exists, a second line asks whether it was meant.
std::string port_value_trouble(const char *port);

// Why a local port could not be used, besides the system's errors.
enum { TROUBLE_IN_USE = -1, TROUBLE_NUMBERED = -2, TROUBLE_SETTINGS_REFUSED = -3 };

// Why a local port could not be used, from the system's error, in words and
// with what to do about it (whoever holds the port, the group that may use
// it). Beside the listing of ports, in each platform's ports file.
std::string local_port_trouble(const std::string &name, long error);

#ifdef _WIN32
// The system's text for a Windows or Winsock error, without its full stop.
std::string win32_error_text(unsigned long error);
#endif

#endif
