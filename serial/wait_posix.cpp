// Waiting on POSIX systems: pselect() with the mask that lets the stop
// signals through during the wait alone, so that none can come between the
// look at the stop request and the start of the wait.
#include "serial/wait.h"

#include "console/console.h"
#include "serial/serial.h"
#include "serial/transport.h"

#include <cerrno>
#include <fcntl.h>
#include <pthread.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

static long long monotonic_us()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

// Rounded up: a deadline made from it is never earlier than the time-out
// asks, and the waits below hold it to the microsecond.
long long serial_clock_ms()
{
    return (monotonic_us() + 999) / 1000;
}

// One pselect on the port (none where it is -1) and standard input; returns
// as pselect does, with the time left to the deadline as its limit.
static int select_until(int port, bool writing, bool watch_stdin, long long deadline_ms,
                        fd_set *readable, fd_set *writable)
{
    FD_ZERO(readable);
    FD_ZERO(writable);
    if (port >= 0)
        FD_SET(port, writing ? writable : readable);
    if (watch_stdin)
        FD_SET(STDIN_FILENO, readable);
    long long left_us = deadline_ms * 1000 - monotonic_us();
    if (left_us < 0)
        left_us = 0;
    timespec left = {static_cast<time_t>(left_us / 1000000),
                     static_cast<long>(left_us % 1000000 * 1000)};
    int top = port > STDIN_FILENO ? port : STDIN_FILENO;
    return pselect(top + 1, readable, writable, nullptr, deadline_ms >= 0 ? &left : nullptr,
                   console_wait_mask());
}

int port_wait(int port, bool writing, long long deadline_ms)
{
    for (;;) {
        if (port_stop_requested())
            return WAIT_STOPPED;
        if (deadline_ms >= 0 && monotonic_us() >= deadline_ms * 1000)
            return WAIT_TIMED_OUT;
        fd_set readable, writable;
        bool keys = port_keys_watched();
        int result = select_until(port, writing, keys, deadline_ms, &readable, &writable);
        if (result > 0 && keys && FD_ISSET(STDIN_FILENO, &readable)) {
            port_keys_came();
            --result;
        }
        if (result > 0 || (result < 0 && errno != EINTR))
            return WAIT_READY;
    }
}

void port_sleep_until(long long deadline_ms)
{
    port_wait(-1, false, deadline_ms);
}

// serial_wait_input for a port that is a descriptor, for the transports.
int port_wait_input(int port, int timeout_ms, bool watch_stdin)
{
    fd_set ready, unused;
    if (port_stop_requested() || select_until(port, false, watch_stdin,
                                              serial_clock_ms() + timeout_ms, &ready, &unused) <= 0)
        return 0;
    return (FD_ISSET(port, &ready) ? SERIAL_INPUT_LINE : 0) |
           (watch_stdin && FD_ISSET(STDIN_FILENO, &ready) ? SERIAL_INPUT_STDIN : 0);
}

// A read or write that failed: nothing to worry about (an interrupted call,
// nothing there or no room just now), or a port that has gone. An end of
// file is a hang-up; on macOS a USB adapter pulled out gives ENXIO.
static bool gone(ssize_t result)
{
    return result == 0 || (errno != EAGAIN && errno != EINTR);
}

int port_receive(int port, unsigned char *buffer, int capacity, long long deadline_ms)
{
    for (;;) {
        ssize_t got = read(port, buffer, static_cast<size_t>(capacity));
        if (got > 0)
            return static_cast<int>(got);
        if (gone(got))
            return IO_LOST;
        if (port_wait(port, false, deadline_ms) != WAIT_READY)
            return 0;
    }
}

int port_send(int port, const unsigned char *bytes, int count, long long deadline_ms)
{
    int sent = 0;
    while (sent < count) {
        ssize_t written = write(port, bytes + sent, static_cast<size_t>(count - sent));
        if (written > 0)
            sent += static_cast<int>(written);
        else if (written < 0 && gone(written))
            return IO_LOST;
        else if (port_wait(port, true, deadline_ms) != WAIT_READY)
            break;
    }
    return sent;
}

int port_signal_open(PortSignal *signal)
{
    if (pipe(signal->ends) != 0)
        return 0;
    fcntl(signal->ends[0], F_SETFD, FD_CLOEXEC);
    fcntl(signal->ends[1], F_SETFD, FD_CLOEXEC);
    return 1;
}

void port_signal_raise(PortSignal *signal)
{
    ssize_t written = write(signal->ends[1], "", 1);
    static_cast<void>(written); // a pipe with room for it
}

void port_signal_close(PortSignal *signal)
{
    close(signal->ends[0]);
    close(signal->ends[1]);
}

static void *run_work(void *work)
{
    port_work_run(work);
    return nullptr;
}

int port_thread_start(void (*work)(void *), void *argument)
{
    // The thread inherits the signal mask: the stop signals stay with the
    // waits of the run.
    pthread_t thread;
    PortWork *started = new PortWork{work, argument};
    bool running = pthread_create(&thread, nullptr, run_work, started) == 0;
    if (running)
        pthread_detach(thread);
    else
        delete started;
    return running;
}
