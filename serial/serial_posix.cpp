// The serial line on POSIX systems, through termios.
#include "serial/serial.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

typedef int SerialPort;

static SerialPort open_port = -1;

static long long monotonic_us()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

static timeval timeval_of_us(long long us)
{
    timeval tv;
    tv.tv_sec = static_cast<time_t>(us / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(us % 1000000);
    return tv;
}

// Sleeps until the deadline has passed, whatever signals arrive meanwhile.
static void sleep_until(long long deadline_us)
{
    for (long long left = deadline_us - monotonic_us(); left > 0;
         left = deadline_us - monotonic_us()) {
        timeval tv = timeval_of_us(left);
        select(0, nullptr, nullptr, nullptr, &tv);
    }
}

// Exclusive use: TIOCEXCL keeps other openers out (though not the superuser),
// and the lock makes a second boot tool fail even when run as root.
static int claim_exclusively(int fd)
{
    return isatty(fd) && ioctl(fd, TIOCEXCL) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
}

int serial_open(const char *port)
{
    char numbered[32];
    const char *device = port;
    if (strchr(port, '/') == nullptr) {
        // Port 1 is the first serial port, ttyS0.
        snprintf(numbered, sizeof numbered, "/dev/ttyS%lld",
                 static_cast<long long>(serial_port_number(port)) - 1);
        device = numbered;
    }

    // Non-blocking, so that a modem line without carrier cannot hold the
    // open up, and so that a write hands over what fits and no more: every
    // wait is a select() with its own time-out.
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0 && claim_exclusively(fd)) {
        open_port = fd;
        return 1;
    }
    if (fd >= 0)
        close(fd);
    fprintf(stderr, "Could not open serial port %s.\n", device);
    return 0;
}

// Looks the speed up among the standard rates; returns 0 for any other.
static int speed_of_baud(int baud, speed_t *speed)
{
    static const struct {
        int baud;
        speed_t speed;
    } rates[] = {{9600, B9600},   {19200, B19200},   {38400, B38400},
                 {57600, B57600}, {115200, B115200}, {230400, B230400}};
    for (const auto &rate : rates) {
        if (rate.baud == baud) {
            *speed = rate.speed;
            return 1;
        }
    }
    return 0;
}

// USB adapters hold received bytes back for their latency timer (16 ms on
// common chips), which would delay every answer from the board. Ports that
// know no such setting (a pty, say) refuse the request, and that is fine.
static void ask_for_low_latency(int fd)
{
#ifdef __linux__
    serial_struct settings;
    if (ioctl(fd, TIOCGSERIAL, &settings) == 0) {
        settings.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &settings);
    }
#else
    (void)fd;
#endif
}

void serial_configure(int baud)
{
    tcflush(open_port, TCIOFLUSH);

    termios line;
    if (tcgetattr(open_port, &line) == 0) {
        cfmakeraw(&line);
        line.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP);
        line.c_iflag |= IGNBRK;
        line.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
        line.c_cflag |= CS8 | CREAD | CLOCAL;
        line.c_cc[VMIN] = 1;
        line.c_cc[VTIME] = 0;
        speed_t speed;
        if (speed_of_baud(baud, &speed)) {
            cfsetispeed(&line, speed);
            cfsetospeed(&line, speed);
        }
        tcsetattr(open_port, TCSANOW, &line);
    }

    int modem_lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(open_port, TIOCMBIC, &modem_lines);
    ask_for_low_latency(open_port);
}

// Waits until the port can take more output, whatever signals arrive.
static void wait_until_writable()
{
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(open_port, &writable);
    select(open_port + 1, nullptr, &writable, nullptr, nullptr);
}

void serial_write(const unsigned char *bytes, int count)
{
    while (count > 0) {
        ssize_t written = write(open_port, bytes, static_cast<size_t>(count));
        if (written > 0) {
            bytes += written;
            count -= static_cast<int>(written);
        } else if (written == 0 || errno == EAGAIN) {
            wait_until_writable();
        } else if (errno != EINTR) {
            return; // the port is gone; the reads will show it
        }
    }
}

// Waits until the port has input, or reports a hang-up or an error, which
// select() shows as input too. Returns 0 once the deadline has passed.
static int wait_until_readable(long long deadline_us)
{
    for (long long left = deadline_us - monotonic_us(); left > 0;
         left = deadline_us - monotonic_us()) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(open_port, &readable);
        timeval tv = timeval_of_us(left);
        int ready = select(open_port + 1, &readable, nullptr, nullptr, &tv);
        if (ready == 0)
            break;
        if (ready > 0 || errno != EINTR)
            return 1; // the read that follows tells what is there
    }
    return 0;
}

int serial_read(unsigned char *buffer, int capacity, int timeout_ms)
{
    long long deadline = monotonic_us() + timeout_ms * 1000LL;
    for (;;) {
        if (timeout_ms > 0 && !wait_until_readable(deadline))
            return 0;
        ssize_t got = read(open_port, buffer, static_cast<size_t>(capacity));
        if (got > 0)
            return static_cast<int>(got);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN) {
            if (timeout_ms == 0)
                return 0;
            continue;
        }
        // The port reports an error or a hang-up (an adapter pulled out, the
        // far end of a pty closed) and would keep doing so at once. Waiting
        // out the time-out keeps the callers' timing and their loops calm.
        sleep_until(deadline);
        return 0;
    }
}

long long serial_clock_ms()
{
    return monotonic_us() / 1000;
}

void serial_close()
{
    // Lift the exclusive mode first: on a pty it would otherwise outlive us
    // and shut out the next user of the same device.
    ioctl(open_port, TIOCNXCL);
    close(open_port);
    open_port = -1;
}
