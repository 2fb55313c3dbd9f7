// The local port on POSIX systems: a terminal device, through termios.
#include "serial/transport.h"
#include "serial/tty_speed.h"
#include "serial/wait.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

enum { DRAIN_LIMIT_MS = 1000 };

static int tty = -1;
static std::string device; // for the reasons of a failure

// What close puts back: the line settings found at open, and whether
// configuring turned the driver's low latency on.
static termios found_line;
static bool line_changed = false;
static int line_baud = 115200;
static bool low_latency_set = false;

// Claims the port for this process alone, undoing each step if a later one
// fails; returns 0, or why it could not. The lock makes a second boot tool
// fail even when run as root; TIOCEXCL keeps out other programs that open
// the port later (though not the superuser). Neither keeps out a program
// that opened it before us.
static int claim_exclusively(int fd)
{
    // Anything but a terminal answers ENOTTY; a ttyS with no UART, EIO.
    if (tcgetattr(fd, &found_line) != 0)
        return errno;
    // Only another holder of the lock refuses the port: where locks are not
    // supported the port is still ours to use.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return TROUBLE_IN_USE;
    if (ioctl(fd, TIOCEXCL) != 0)
        return errno; // the lock goes with the descriptor
    return 0;
}

// The device that the -p value names; "" where the value is a number and
// the ports here have names, not numbers (the listing then shows them).
static std::string device_of(const char *port)
{
    if (strchr(port, '/') != nullptr)
        return port;
#ifdef __linux__
    // Port 1 is the first serial port, ttyS0.
    return "/dev/ttyS" + std::to_string(static_cast<long long>(serial_port_number(port)) - 1);
#else
    return "";
#endif
}

static int tty_open(const char *port, long long, std::string *name, std::string *why)
{
    device = device_of(port);
    *name = device.empty() ? port : device;
    *why = port_value_trouble(port);
    if (!why->empty())
        return STEP_FAILED;
    if (device.empty()) {
        *why = local_port_trouble(*name, TROUBLE_NUMBERED);
        return STEP_FAILED;
    }
    // Non-blocking, so that a modem line without carrier cannot hold the
    // open up, and so that a write hands over what fits and no more: every
    // wait is a select() with its own time-out. Closed on exec, so that the
    // reset command (-r) does not inherit it, lock and all.
    int reason;
    tty = open(name->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (tty < 0)
        reason = errno;
    else
        reason = claim_exclusively(tty);
    line_changed = false;
    low_latency_set = false;
    if (reason == 0)
        return STEP_DONE;
    *why = local_port_trouble(*name, reason);
    return STEP_FAILED;
}

// Looks the speed up among the standard rates; returns 0 for any other.
static int speed_of_baud(int baud, speed_t *speed)
{
    static const struct {
        int baud;
        speed_t speed;
    } rates[] = {
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},
#ifdef B921600 // Linux; macOS has no constants beyond 230400
        {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
        {1000000, B1000000}, {1500000, B1500000}, {2000000, B2000000}, {3000000, B3000000},
#endif
    };
    for (const auto &rate : rates) {
        if (rate.baud == baud) {
            *speed = rate.speed;
            return 1;
        }
    }
    return 0;
}

// Puts the speed into the settings; returns 0 where the system has no
// setting for it.
static int put_speed(termios *line, int baud)
{
    speed_t speed;
    return speed_of_baud(baud, &speed) && cfsetispeed(line, speed) == 0 &&
           cfsetospeed(line, speed) == 0;
}

// A driver may take some of the settings and quietly ignore the rest: what
// matters must read back as it was set.
static int line_took(const termios &wanted)
{
    termios now;
    const tcflag_t cflags = CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL;
    const tcflag_t iflags = IXON | IXOFF | IXANY | INPCK | ISTRIP | ICRNL | INLCR | IGNCR;
    const tcflag_t lflags = ICANON | ECHO | ISIG | IEXTEN;
    return tcgetattr(tty, &now) == 0 && cfgetospeed(&now) == cfgetospeed(&wanted) &&
           cfgetispeed(&now) == cfgetispeed(&wanted) &&
           (now.c_cflag & cflags) == (wanted.c_cflag & cflags) &&
           (now.c_iflag & iflags) == (wanted.c_iflag & iflags) &&
           (now.c_lflag & lflags) == (wanted.c_lflag & lflags) && (now.c_oflag & OPOST) == 0;
}

// USB adapters hold received bytes back for their latency timer (16 ms on
// common chips), which would delay every answer from the board. Ports that
// know no such setting (a pty, say) refuse the request, and that is fine.
static void ask_for_low_latency()
{
#ifdef __linux__
    serial_struct settings;
    if (ioctl(tty, TIOCGSERIAL, &settings) == 0 && (settings.flags & ASYNC_LOW_LATENCY) == 0) {
        settings.flags |= ASYNC_LOW_LATENCY;
        low_latency_set = ioctl(tty, TIOCSSERIAL, &settings) == 0;
    }
#endif
}

static void give_up_low_latency()
{
#ifdef __linux__
    serial_struct settings;
    if (low_latency_set && ioctl(tty, TIOCGSERIAL, &settings) == 0) {
        settings.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(tty, TIOCSSERIAL, &settings);
    }
#endif
}

static int tty_configure(int baud, std::string *why)
{
    tcflush(tty, TCIOFLUSH);

    termios line = found_line;
    cfmakeraw(&line);
    line.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    line.c_iflag |= IGNBRK;
    line.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    line.c_cflag |= CS8 | CREAD | CLOCAL;
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    int reason = put_speed(&line, baud) ? 0 : EINVAL;
    if (reason == 0) {
        // Whatever part of it the driver takes is put back at close.
        line_changed = true;
        line_baud = baud;
        if (tcsetattr(tty, TCSANOW, &line) != 0)
            reason = errno;
        else if (!line_took(line))
            reason = TROUBLE_SETTINGS_REFUSED;
    }
    if (reason != 0) {
        *why = local_port_trouble(device, reason);
        return STEP_FAILED;
    }

    // Held off from here on; a pty has no modem lines and refuses.
    int modem_lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(tty, TIOCMBIC, &modem_lines);
    ask_for_low_latency();
    return STEP_DONE;
}

// A speed that the port reports within this share of the one asked for
// still carries bytes to a UART at the rate asked for.
static const double SPEED_TOLERANCE = 0.025;

// Sets a speed that the standard constants do not name; returns 0 or why not.
static int set_any_speed(int baud)
{
    int reason = tty_set_any_speed(tty, baud);
    if (reason != 0)
        return reason;
    int took = tty_any_speed(tty);
    double off = took > 0 ? (took - baud) / static_cast<double>(baud) : 0;
    return off > SPEED_TOLERANCE || off < -SPEED_TOLERANCE ? TROUBLE_SETTINGS_REFUSED : 0;
}

static int tty_set_speed(int baud, std::string *why)
{
    termios line;
    if (tcgetattr(tty, &line) != 0) {
        *why = local_port_trouble(device, errno);
        return STEP_FAILED;
    }
    int reason;
    speed_t known;
    if (speed_of_baud(baud, &known))
        reason = put_speed(&line, baud) && tcsetattr(tty, TCSADRAIN, &line) == 0 && line_took(line)
                     ? 0
                     : TROUBLE_SETTINGS_REFUSED;
    else
        reason = set_any_speed(baud);
    if (reason != 0) {
        *why = reason == ENOTSUP
                   ? "This system has no setting for " + std::to_string(baud) + " baud"
                   : "The port did not take " + std::to_string(baud) + " baud";
        // Whatever it took of it goes back to the speed in use.
        put_speed(&line, line_baud);
        tcsetattr(tty, TCSANOW, &line);
        if (!speed_of_baud(line_baud, &known))
            tty_set_any_speed(tty, line_baud);
        return STEP_FAILED;
    }
    line_baud = baud;
    return STEP_DONE;
}

static int tty_receive(unsigned char *buffer, int capacity, long long deadline_ms)
{
    return port_receive(tty, buffer, capacity, deadline_ms);
}

static int tty_send(const unsigned char *bytes, int count, long long deadline_ms)
{
    return port_send(tty, bytes, count, deadline_ms);
}

static int tty_wait_input(int timeout_ms, bool watch_stdin)
{
    return port_wait_input(tty, timeout_ms, watch_stdin);
}

// Lets what is still queued for the port go out, but only for so long: a
// port that has stopped sending must not hold the exit up.
static void drain_output()
{
    long long limit = serial_clock_ms() + DRAIN_LIMIT_MS;
    int queued;
    while (ioctl(tty, TIOCOUTQ, &queued) == 0 && queued > 0 && serial_clock_ms() < limit) {
        long long sending_ms = queued * 10 * 1000LL / line_baud; // 10 bits a byte
        port_sleep_until(serial_clock_ms() + sending_ms + 1);
    }
}

static void tty_close(bool lost)
{
    if (tty < 0)
        return;
    if (line_changed && !lost) {
        drain_output();
        tcsetattr(tty, TCSANOW, &found_line);
        give_up_low_latency();
    }
    // Lift the exclusive mode too: on a pty it would otherwise outlive us
    // and shut out the next user of the same device.
    ioctl(tty, TIOCNXCL);
    close(tty);
    tty = -1;
}

const Transport LOCAL_TRANSPORT = {tty_open, tty_configure,  tty_set_speed, tty_receive,
                                   tty_send, tty_wait_input, tty_close,     true};
