#include "tools/board_line.h"

#include "serial/tty_speed.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

static int master = -1;
static int own_slave = -1;

// What the tool wrote arrives in bursts; reading it a burst at a time keeps
// the emulator from costing a system call per byte.
static unsigned char pending[512];
static int pending_start = 0;
static int pending_end = 0;
static int pending_speed = 0; // the line's speed when they were read off it

// Output held back by line_hold_output_until.
static unsigned char held[4096];
static int held_count = 0;
static long long held_until_us = 0;

const char *line_open()
{
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return nullptr;
    const char *device = ptsname(master);
    return device != nullptr && line_hold() ? device : nullptr;
}

int line_hold()
{
    // Holding the device open until the tool is there keeps the master from
    // reporting a hang-up, and a raw line from the start means nothing the
    // tool writes before it configures the port is echoed back.
    pending_start = pending_end = 0;
    own_slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios raw;
    if (own_slave < 0 || tcgetattr(own_slave, &raw) != 0)
        return 0;
    cfmakeraw(&raw);
    tcsetattr(own_slave, TCSANOW, &raw);
    return 1;
}

void line_let_go()
{
    if (own_slave >= 0)
        close(own_slave);
    own_slave = -1;
}

long long line_clock_us()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

void line_sleep_until(long long when_us)
{
    // Sleeping wakes up tens of microseconds late, which would make every
    // paced answer late: sleep to just before the moment, then watch the
    // clock for the rest.
    const long long spin_us = 300;
    long long left = when_us - spin_us - line_clock_us();
    if (left > 0) {
        timespec pause = {static_cast<time_t>(left / 1000000),
                          static_cast<long>(left % 1000000 * 1000)};
        nanosleep(&pause, nullptr);
    }
    while (line_clock_us() < when_us) {
    }
}

static void write_now(const unsigned char *bytes, int count)
{
    while (count > 0) {
        ssize_t written = write(master, bytes, static_cast<size_t>(count));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // the tool has gone
        bytes += written;
        count -= static_cast<int>(written);
    }
}

// Lets held output go once its time has come.
static void release_held_output()
{
    if (held_count > 0 && line_clock_us() >= held_until_us) {
        write_now(held, held_count);
        held_count = 0;
    }
}

void line_hold_output_until(long long when_us)
{
    release_held_output();
    if (when_us > held_until_us)
        held_until_us = when_us;
}

int line_read(int timeout_ms)
{
    if (pending_start < pending_end)
        return pending[pending_start++];
    long long deadline = line_clock_us() + timeout_ms * 1000LL;
    for (;;) {
        release_held_output();
        // Wake up for held output that falls due before the deadline.
        long long until = held_count > 0 && held_until_us < deadline ? held_until_us : deadline;
        long long left = until - line_clock_us();
        if (left < 0)
            left = 0;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(master, &readable);
        timeval tv = {static_cast<time_t>(left / 1000000),
                      static_cast<suseconds_t>(left % 1000000)};
        int ready = select(master + 1, &readable, nullptr, nullptr, &tv);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            if (until < deadline)
                continue;
            return LINE_SILENT;
        }
        ssize_t got = read(master, pending, sizeof pending);
        if (got > 0) {
            pending_speed = line_speed();
            pending_start = 1;
            pending_end = static_cast<int>(got);
            return pending[0];
        }
        if (got < 0 && errno == EINTR)
            continue;
        return LINE_CLOSED;
    }
}

bool line_can_write()
{
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(master, &writable);
    timeval now = {0, 0};
    return select(master + 1, nullptr, &writable, nullptr, &now) > 0;
}

void line_write_text(const char *text)
{
    line_write_all(reinterpret_cast<const unsigned char *>(text), static_cast<int>(strlen(text)));
}

void line_write_all(const unsigned char *bytes, int count)
{
    release_held_output();
    if (line_clock_us() >= held_until_us) {
        write_now(bytes, count);
        return;
    }
    for (int i = 0; i < count && held_count < static_cast<int>(sizeof held); ++i)
        held[held_count++] = bytes[i];
}

void line_write(unsigned char byte)
{
    line_write_all(&byte, 1);
}

void line_wait_closed(int timeout_ms)
{
    long long deadline = line_clock_us() + timeout_ms * 1000LL;
    for (long long left = timeout_ms; left > 0; left = (deadline - line_clock_us()) / 1000) {
        if (line_read(static_cast<int>(left)) == LINE_CLOSED)
            return;
    }
}

int line_descriptor()
{
    return master;
}

int line_arrival_speed()
{
    return pending_speed;
}

int line_speed()
{
    // A pseudo-terminal's master reads the speed of the tool's end.
    return tty_any_speed(master);
}
