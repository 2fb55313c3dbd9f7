// The one place where the serial layer sleeps: on a port, a socket or a
// time, together with the process's stop request, so that every wait ends
// as soon as the process is asked to stop and none ever spins.
#ifndef DRAMLIFT_SERIAL_WAIT_H
#define DRAMLIFT_SERIAL_WAIT_H

#ifdef _WIN32
typedef void *PortWaitable; // an event handle
#else
typedef int PortWaitable; // a descriptor
#endif

enum { WAIT_READY, WAIT_TIMED_OUT, WAIT_STOPPED };

// While the port is put back at close, a stop request no longer cuts waits
// short: what puts the line back must get through, within its own limits.
void port_closing(bool closing);

// 1 once the process has been asked to stop, as the waits see it (never
// while the port is put back at close).
int port_stop_requested();

// Waits until the port can be read (or written), the deadline on
// serial_clock_ms() passes (never with -1) or the process is asked to stop.
// A hang-up or an error counts as ready: the call that follows tells what
// there is. Checks the stop before the deadline, and both before sleeping.
int port_wait(PortWaitable port, bool writing, long long deadline_ms);

// Sleeps until the deadline, or until the process is asked to stop.
void port_sleep_until(long long deadline_ms);

// serial_wait_input for a transport: on POSIX systems the port is a
// descriptor, waited on with standard input; on Windows, where a COM port
// cannot be waited on with the console, has_input is asked every few
// milliseconds.
#ifdef _WIN32
int port_wait_input(int (*has_input)(), int timeout_ms, bool watch_stdin);
#else
int port_wait_input(PortWaitable port, int timeout_ms, bool watch_stdin);

// A transport's receive and send on a non-blocking descriptor (a tty or a
// socket): an end of file or an error other than "not now" is a port that
// has gone (IO_LOST).
int port_receive(PortWaitable port, unsigned char *buffer, int capacity, long long deadline_ms);
int port_send(PortWaitable port, const unsigned char *bytes, int count, long long deadline_ms);
#endif

#endif
