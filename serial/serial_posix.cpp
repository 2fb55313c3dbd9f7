// The serial line on POSIX systems, through termios.
#include "serial/serial.h"

#include "console/console.h"
#include "serial/net.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

enum { DRAIN_LIMIT_MS = 1000, SESSION_LIMIT_MS = 5000 };

// Why a port could not be used, besides the system's errors.
enum { REASON_IN_USE = -1, REASON_NUMBERED = -2, REASON_SETTINGS_REFUSED = -3 };

typedef int SerialPort;

static SerialPort open_port = -1;
static std::string port_name;
static bool port_lost = false;
// A port on a port server is a socket: the same waits, reads and writes.
static NetKind net = NET_NONE;

// What serial_close puts back: the line settings found at open, and whether
// configuring turned the driver's low latency on.
static termios found_line;
static bool line_changed = false;
static int line_baud = 115200;
static bool low_latency_set = false;

static long long monotonic_us()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

static timespec timespec_of_us(long long us)
{
    timespec ts;
    ts.tv_sec = static_cast<time_t>(us / 1000000);
    ts.tv_nsec = static_cast<long>(us % 1000000 * 1000);
    return ts;
}

// Sleeps until the deadline has passed, or, if it may be cut short, until
// the process is asked to stop.
static void sleep_until(long long deadline_us, bool until_stop)
{
    for (long long left = deadline_us - monotonic_us();
         left > 0 && !(until_stop && serial_stop_requested());
         left = deadline_us - monotonic_us()) {
        timespec ts = timespec_of_us(left);
        pselect(0, nullptr, nullptr, nullptr, &ts, console_wait_mask());
    }
}

// Waits until the port can be read (or written), the deadline passes (never
// with -1), or the process is asked to stop. Returns 0 once the deadline has
// passed, else 1: the call that follows tells what there is, a hang-up or an
// error included, which select() shows as readiness too. The stop signals
// get through only during the wait itself, so none is lost in between.
static int wait_for_port(bool writing, long long deadline_us)
{
    while (!serial_stop_requested()) {
        fd_set ready_set;
        FD_ZERO(&ready_set);
        FD_SET(open_port, &ready_set);
        timespec left;
        if (deadline_us >= 0) {
            long long us = deadline_us - monotonic_us();
            if (us <= 0)
                return 0;
            left = timespec_of_us(us);
        }
        int ready =
            pselect(open_port + 1, writing ? nullptr : &ready_set, writing ? &ready_set : nullptr,
                    nullptr, deadline_us >= 0 ? &left : nullptr, console_wait_mask());
        if (ready == 0)
            return 0;
        if (ready > 0 || errno != EINTR)
            return 1;
    }
    return 1;
}

// The errors with which a port that has gone away answers: on macOS a USB
// adapter pulled out gives ENXIO ("Device not configured").
static bool port_gone(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV || error == ECONNRESET ||
           error == EPIPE || error == ETIMEDOUT;
}

// Whether the process holds the device open.
static bool holds_open(const std::string &pid, const char *device)
{
    std::string fds = "/proc/" + pid + "/fd";
    DIR *dir = opendir(fds.c_str());
    if (dir == nullptr)
        return false;
    bool holds = false;
    for (const dirent *fd; !holds && (fd = readdir(dir)) != nullptr;) {
        char target[PATH_MAX];
        ssize_t length = readlink((fds + "/" + fd->d_name).c_str(), target, sizeof target - 1);
        if (length > 0) {
            target[length] = '\0';
            holds = strcmp(target, device) == 0;
        }
    }
    closedir(dir);
    return holds;
}

// The programs that hold the device open, as "name (pid N), ...", where
// /proc lets us see them.
static std::string holders_of(const std::string &device)
{
    std::string holders;
    char wanted[PATH_MAX];
    DIR *processes = realpath(device.c_str(), wanted) != nullptr ? opendir("/proc") : nullptr;
    if (processes == nullptr)
        return holders;
    for (const dirent *process; (process = readdir(processes)) != nullptr;) {
        std::string pid = process->d_name;
        if (strtol(pid.c_str(), nullptr, 10) <= 0 || pid == std::to_string(getpid()) ||
            !holds_open(pid, wanted))
            continue;
        char name[64] = "?";
        FILE *comm = fopen(("/proc/" + pid + "/comm").c_str(), "r");
        if (comm != nullptr) {
            if (fgets(name, sizeof name, comm) != nullptr)
                name[strcspn(name, "\n")] = '\0';
            fclose(comm);
        }
        holders += (holders.empty() ? "" : ", ") + std::string(name) + " (pid " + pid + ")";
    }
    closedir(processes);
    return holders;
}

// Says, indented under the failure's message, why the port could not be
// used and what to do about it, then which ports there are.
static void explain(int reason)
{
    if (reason == REASON_IN_USE || reason == EBUSY) {
        std::string holders = holders_of(port_name);
        fprintf(stderr, "  It is in use by %s.\n",
                holders.empty() ? "another program" : holders.c_str());
    } else if (reason == EACCES || reason == EPERM) {
        struct stat device;
        const group *owners = stat(port_name.c_str(), &device) == 0 && device.st_gid != 0 &&
                                      (device.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)
                                  ? getgrgid(device.st_gid)
                                  : nullptr;
        const passwd *user = getpwuid(getuid());
        if (owners != nullptr)
            fprintf(stderr,
                    "  %s. Members of the group %s may use it: sudo adduser %s %s, then log in "
                    "again.\n",
                    strerror(reason), owners->gr_name, user != nullptr ? user->pw_name : "$USER",
                    owners->gr_name);
        else
            fprintf(stderr, "  %s. Only root may open it.\n", strerror(reason));
    } else if (reason == ENOTTY) {
        fprintf(stderr, "  It is not a serial port.\n");
    } else if (reason == REASON_NUMBERED) {
        fprintf(stderr, "  Port numbers name no device here: give the port's path.\n");
    } else if (reason == REASON_SETTINGS_REFUSED) {
        fprintf(stderr, "  The driver did not take the settings.\n");
    } else {
        fprintf(stderr, "  %s.\n", strerror(reason));
    }
    serial_list_ports();
}

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
        return REASON_IN_USE;
    if (ioctl(fd, TIOCEXCL) != 0)
        return errno; // the lock goes with the descriptor
    return 0;
}

// Sets port_name to the device that the -p value names; returns 0 where
// the value is a number and the ports here have names, not numbers (the
// listing then shows them).
static int name_port(const char *port)
{
    port_name = port;
    if (strchr(port, '/') != nullptr)
        return 1;
#ifdef __linux__
    // Port 1 is the first serial port, ttyS0.
    port_name = "/dev/ttyS" + std::to_string(static_cast<long long>(serial_port_number(port)) - 1);
    return 1;
#else
    return 0;
#endif
}

// Connects to a port on a port server and, for RFC 2217, agrees on the
// options and notes the settings in force.
static int open_network_port(const char *port)
{
    port_name = port;
    port_lost = false;
    std::string reason;
    open_port = net_connect(port, &reason);
    if (open_port >= 0 && net == NET_RFC2217)
        reason = net_session_open(serial_clock_ms() + SESSION_LIMIT_MS);
    if (reason.empty())
        return 1;
    if (open_port >= 0)
        close(open_port);
    open_port = -1;
    fprintf(stderr, "Could not open serial port %s.\n  %s.\n", port, reason.c_str());
    return 0;
}

int serial_open(const char *port)
{
    net = net_kind(port);
    if (net != NET_NONE)
        return open_network_port(port);

    // Non-blocking, so that a modem line without carrier cannot hold the
    // open up, and so that a write hands over what fits and no more: every
    // wait is a select() with its own time-out.
    int fd = -1;
    int reason;
    if (!name_port(port))
        reason = REASON_NUMBERED;
    else if ((fd = open(port_name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) < 0)
        reason = errno;
    else
        reason = claim_exclusively(fd);
    if (reason == 0) {
        open_port = fd;
        port_lost = false;
        line_changed = false;
        low_latency_set = false;
        return 1;
    }
    if (fd >= 0)
        close(fd);
    fprintf(stderr, "Could not open serial port %s.\n", port_name.c_str());
    explain(reason);
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

// A driver may take some of the settings and quietly ignore the rest: what
// matters must read back as it was set.
static int line_took(const termios &wanted)
{
    termios now;
    const tcflag_t cflags = CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL;
    const tcflag_t iflags = IXON | IXOFF | IXANY | INPCK | ISTRIP | ICRNL | INLCR | IGNCR;
    const tcflag_t lflags = ICANON | ECHO | ISIG | IEXTEN;
    return tcgetattr(open_port, &now) == 0 && cfgetospeed(&now) == cfgetospeed(&wanted) &&
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
    if (ioctl(open_port, TIOCGSERIAL, &settings) == 0 &&
        (settings.flags & ASYNC_LOW_LATENCY) == 0) {
        settings.flags |= ASYNC_LOW_LATENCY;
        low_latency_set = ioctl(open_port, TIOCSSERIAL, &settings) == 0;
    }
#endif
}

static void give_up_low_latency()
{
#ifdef __linux__
    serial_struct settings;
    if (low_latency_set && ioctl(open_port, TIOCGSERIAL, &settings) == 0) {
        settings.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(open_port, TIOCSSERIAL, &settings);
    }
#endif
}

int serial_configure(int baud)
{
    if (net != NET_NONE)
        return net_configure(net, baud);
    tcflush(open_port, TCIOFLUSH);

    termios line = found_line;
    cfmakeraw(&line);
    line.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    line.c_iflag |= IGNBRK;
    line.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    line.c_cflag |= CS8 | CREAD | CLOCAL;
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    speed_t speed;
    int reason = speed_of_baud(baud, &speed) && cfsetispeed(&line, speed) == 0 &&
                         cfsetospeed(&line, speed) == 0
                     ? 0
                     : EINVAL;
    if (reason == 0) {
        // Whatever part of it the driver takes is put back at close.
        line_changed = true;
        line_baud = baud;
        if (tcsetattr(open_port, TCSANOW, &line) != 0)
            reason = errno;
        else if (!line_took(line))
            reason = REASON_SETTINGS_REFUSED;
    }
    if (reason != 0) {
        fprintf(stderr, "Could not configure serial port %s.\n", port_name.c_str());
        explain(reason);
        return 0;
    }

    // Held off from here on; a pty has no modem lines and refuses.
    int modem_lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(open_port, TIOCMBIC, &modem_lines);
    ask_for_low_latency();
    return 1;
}

// Hands the bytes to the port as they are.
static void write_all(const unsigned char *bytes, int count)
{
    while (count > 0 && !port_lost) {
        ssize_t written = write(open_port, bytes, static_cast<size_t>(count));
        if (written > 0) {
            bytes += written;
            count -= static_cast<int>(written);
        } else if (written == 0 || errno == EAGAIN) {
            if (serial_stop_requested())
                return; // what the line did not take at once stays unsent
            wait_for_port(true, -1);
        } else if (errno != EINTR) {
            port_lost = port_gone(errno);
            return;
        }
    }
}

void serial_write(const unsigned char *bytes, int count)
{
    if (net == NET_RFC2217) {
        std::string escaped = telnet_escape(bytes, count);
        write_all(reinterpret_cast<const unsigned char *>(escaped.data()),
                  static_cast<int>(escaped.size()));
    } else {
        write_all(bytes, count);
    }
}

void net_send(const std::string &bytes)
{
    write_all(reinterpret_cast<const unsigned char *>(bytes.data()),
              static_cast<int>(bytes.size()));
}

int net_receive(unsigned char *buffer, int capacity, long long deadline_ms)
{
    while (!port_lost && !serial_stop_requested()) {
        ssize_t got = read(open_port, buffer, static_cast<size_t>(capacity));
        if (got > 0)
            return static_cast<int>(got);
        if (got == 0 || (errno != EAGAIN && errno != EINTR))
            port_lost = true;
        else if (!wait_for_port(false, deadline_ms * 1000))
            return 0;
    }
    return -1;
}

int serial_read(unsigned char *buffer, int capacity, int timeout_ms)
{
    long long deadline = monotonic_us() + timeout_ms * 1000LL;
    while (!port_lost) {
        if (timeout_ms > 0 && !wait_for_port(false, deadline))
            return 0;
        ssize_t got = read(open_port, buffer, static_cast<size_t>(capacity));
        if (got > 0) {
            int data = net == NET_RFC2217 ? net_take(buffer, static_cast<int>(got))
                                          : static_cast<int>(got);
            if (data > 0)
                return data;
            continue; // only the server's own commands came
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN) {
            if (timeout_ms == 0 || serial_stop_requested())
                return 0;
            continue;
        }
        // An end of file is a hang-up. Like an error, it would be reported
        // again at once on every read: waiting out the time-out keeps the
        // callers' loops calm.
        port_lost = got == 0 || port_gone(errno);
        break;
    }
    sleep_until(deadline, true);
    return 0;
}

long long serial_clock_ms()
{
    return monotonic_us() / 1000;
}

int serial_wait_input(int timeout_ms, bool watch_stdin)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(open_port, &readable);
    if (watch_stdin)
        FD_SET(STDIN_FILENO, &readable);
    timespec ts = timespec_of_us(timeout_ms * 1000LL);
    int top = open_port > STDIN_FILENO ? open_port : STDIN_FILENO;
    if (serial_stop_requested() ||
        pselect(top + 1, &readable, nullptr, nullptr, &ts, console_wait_mask()) <= 0)
        return 0;
    return (FD_ISSET(open_port, &readable) ? SERIAL_INPUT_LINE : 0) |
           (watch_stdin && FD_ISSET(STDIN_FILENO, &readable) ? SERIAL_INPUT_STDIN : 0);
}

int serial_stop_requested()
{
    return console_stop_requested();
}

int serial_lost()
{
    return port_lost;
}

const char *serial_name()
{
    return port_name.c_str();
}

// Lets what is still queued for the port go out, but only for so long: a
// port that has stopped sending must not hold the exit up.
static void drain_output()
{
    long long limit = monotonic_us() + DRAIN_LIMIT_MS * 1000LL;
    int queued;
    while (ioctl(open_port, TIOCOUTQ, &queued) == 0 && queued > 0 && monotonic_us() < limit) {
        long long sending_us = queued * 10 * 1000000LL / line_baud; // 10 bits a byte
        sleep_until(monotonic_us() + sending_us + 1000, false);
    }
}

void serial_close()
{
    if (net != NET_NONE) {
        if (net == NET_RFC2217 && !port_lost)
            net_session_close();
        close(open_port);
        open_port = -1;
        net = NET_NONE;
        return;
    }
    if (line_changed && !port_lost) {
        drain_output();
        tcsetattr(open_port, TCSANOW, &found_line);
        give_up_low_latency();
    }
    // Lift the exclusive mode too: on a pty it would otherwise outlive us
    // and shut out the next user of the same device.
    ioctl(open_port, TIOCNXCL);
    close(open_port);
    open_port = -1;
}
