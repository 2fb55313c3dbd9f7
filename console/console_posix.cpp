// The console on POSIX systems: the terminal on standard input, and signals.
#include "console/console.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

static const int STOP_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT};

static volatile sig_atomic_t stop_requested = 0;
static struct sigaction found_stop_actions[sizeof STOP_SIGNALS / sizeof STOP_SIGNALS[0]];
static struct sigaction found_pipe_action;
static bool keyboard_is_terminal = false;
static termios found_keyboard;

void console_keep_standard_streams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY); // takes fd's place
    }
}

static void request_stop(int)
{
    stop_requested = 1;
}

void console_begin()
{
    // Without SA_RESTART: a signal ends the terminal's wait at once.
    struct sigaction stop = {};
    stop.sa_handler = request_stop;
    sigemptyset(&stop.sa_mask);
    for (size_t i = 0; i < sizeof STOP_SIGNALS / sizeof STOP_SIGNALS[0]; ++i)
        sigaction(STOP_SIGNALS[i], &stop, &found_stop_actions[i]);
    // A reader of standard output that goes away ends the terminal through
    // console_write, not by killing the process with the keyboard raw.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &found_pipe_action);

    keyboard_is_terminal = tcgetattr(STDIN_FILENO, &found_keyboard) == 0;
    if (keyboard_is_terminal) {
        termios raw = found_keyboard;
        cfmakeraw(&raw);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
}

int console_read(unsigned char *buffer, int capacity)
{
    ssize_t got = read(STDIN_FILENO, buffer, static_cast<size_t>(capacity));
    if (got > 0)
        return static_cast<int>(got);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return 0;
    return -1;
}

int console_write(const unsigned char *bytes, int count)
{
    while (count > 0) {
        ssize_t written = write(STDOUT_FILENO, bytes, static_cast<size_t>(count));
        if (written > 0) {
            bytes += written;
            count -= static_cast<int>(written);
        } else if (written < 0 && errno == EAGAIN) {
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(STDOUT_FILENO, &writable);
            select(STDOUT_FILENO + 1, nullptr, &writable, nullptr, nullptr);
        } else if (written == 0 || errno != EINTR) {
            return 0;
        }
    }
    return 1;
}

int console_stop_requested()
{
    return stop_requested;
}

void console_end()
{
    if (keyboard_is_terminal)
        tcsetattr(STDIN_FILENO, TCSANOW, &found_keyboard);
    sigaction(SIGPIPE, &found_pipe_action, nullptr);
    for (size_t i = 0; i < sizeof STOP_SIGNALS / sizeof STOP_SIGNALS[0]; ++i)
        sigaction(STOP_SIGNALS[i], &found_stop_actions[i], nullptr);
}
