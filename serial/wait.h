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

// 1 once the process has been asked to stop, as the waits see it: never
// while serial_close puts the port back, which must get through within its
// own limits.
int port_stop_requested();

// Whether the waits also watch the keyboard (serial_watch_keys), and what
// they do when it has something: hand it to the watcher, which may ask the
// run to stop.
bool port_keys_watched();
void port_keys_came();

// Waits until the port can be read (or written), the deadline on
// serial_clock_ms() passes (never with -1) or the process is asked to stop.
// A hang-up or an error counts as ready: the call that follows tells what
// there is. Checks the stop before the deadline, and both before sleeping.
int port_wait(PortWaitable port, bool writing, long long deadline_ms);

// Sleeps until the deadline, or until the process is asked to stop.
void port_sleep_until(long long deadline_ms);

// What one thread raises once and another waits for with port_wait: a pipe
// on POSIX systems, an event on Windows. Opening returns 0 on failure.
struct PortSignal {
    PortWaitable ends[2]; // waited on, raised
};
int port_signal_open(PortSignal *signal);
void port_signal_raise(PortSignal *signal);
void port_signal_close(PortSignal *signal);

// Runs work(argument) on a thread of its own that nobody waits for, for a
// call that cannot be waited on otherwise; returns 0 if none could start.
int port_thread_start(void (*work)(void *), void *argument);

// What a thread of port_thread_start runs: the PortWork, which it frees.
struct PortWork {
    void (*work)(void *);
    void *argument;
};
void port_work_run(void *work);

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
