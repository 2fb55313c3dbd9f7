// Runs inside the test guest and tells how a serial port is set up, on one
// line of standard output.
//   port_probe <device>        opens the port itself and prints its line
//                              settings and low-latency flag exactly, to
//                              compare before and after a run of the tool
//   port_probe <device> <pid>  looks through the descriptor that process
//                              holds on the port, without opening it again
//                              (every open raises DTR and RTS), and prints
//                              the settings in words with the modem lines
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

static int fail(const char *what)
{
    perror(what);
    return 2;
}

// A duplicate of the descriptor that process `pid` holds on `device`.
static int borrowed_descriptor(pid_t pid, const char *device)
{
    int process = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(fds.c_str());
    if (process < 0 || dir == nullptr)
        return -1;
    int borrowed = -1;
    while (dirent *entry = readdir(dir)) {
        char target[256];
        std::string link = fds + "/" + entry->d_name;
        ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length < 0)
            continue;
        target[length] = '\0';
        if (strcmp(target, device) == 0) {
            borrowed = static_cast<int>(syscall(SYS_pidfd_getfd, process, atoi(entry->d_name), 0));
            break;
        }
    }
    closedir(dir);
    close(process);
    return borrowed;
}

static long baud_of(speed_t speed)
{
    static const struct {
        speed_t speed;
        long baud;
    } rates[] = {{B9600, 9600},   {B19200, 19200},   {B38400, 38400},
                 {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
    for (const auto &rate : rates) {
        if (rate.speed == speed)
            return rate.baud;
    }
    return -1;
}

static int low_latency(int fd)
{
    serial_struct settings;
    if (ioctl(fd, TIOCGSERIAL, &settings) != 0)
        return -1;
    return (settings.flags & ASYNC_LOW_LATENCY) != 0;
}

static const char *on_off(bool on)
{
    return on ? "on" : "off";
}

static void print_in_words(int fd, const termios &line)
{
    int modem = 0;
    ioctl(fd, TIOCMGET, &modem);
    bool raw = (line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 &&
               (line.c_oflag & OPOST) == 0 &&
               (line.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) == 0;
    int bits = (line.c_cflag & CSIZE) == CS8 ? 8 : (line.c_cflag & CSIZE) == CS7 ? 7 : 0;
    printf("speed=%ld bits=%d parity=%s stop=%d rtscts=%s xon=%s xoff=%s raw=%s dtr=%s rts=%s "
           "low_latency=%s\n",
           baud_of(cfgetospeed(&line)), bits, (line.c_cflag & PARENB) ? "on" : "none",
           (line.c_cflag & CSTOPB) ? 2 : 1, on_off(line.c_cflag & CRTSCTS),
           on_off(line.c_iflag & IXON), on_off(line.c_iflag & IXOFF), raw ? "yes" : "no",
           on_off(modem & TIOCM_DTR), on_off(modem & TIOCM_RTS), on_off(low_latency(fd) == 1));
}

static void print_exactly(int fd, const termios &line)
{
    printf("iflag=%x oflag=%x cflag=%x lflag=%x ispeed=%ld ospeed=%ld cc=",
           static_cast<unsigned>(line.c_iflag), static_cast<unsigned>(line.c_oflag),
           static_cast<unsigned>(line.c_cflag), static_cast<unsigned>(line.c_lflag),
           baud_of(cfgetispeed(&line)), baud_of(cfgetospeed(&line)));
    for (int i = 0; i < NCCS; ++i)
        printf("%02x", line.c_cc[i]);
    printf(" low_latency=%d\n", low_latency(fd));
}

int main(int argc, char *argv[])
{
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: port_probe <device> [<pid>]\n");
        return 2;
    }
    bool borrowed = argc == 3;
    int fd = borrowed ? borrowed_descriptor(atoi(argv[2]), argv[1])
                      : open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios line;
    if (fd < 0 || tcgetattr(fd, &line) != 0)
        return fail(argv[1]);
    if (borrowed)
        print_in_words(fd, line);
    else
        print_exactly(fd, line);
    close(fd);
    return 0;
}
