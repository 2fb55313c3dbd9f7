// The console on POSIX systems: the terminal on standard input, and signals.
#include "console/console.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

static const int STOP_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT};
enum { STOP_SIGNAL_COUNT = sizeof STOP_SIGNALS / sizeof STOP_SIGNALS[0] };

static volatile sig_atomic_t stop_signal = 0;
static bool signals_caught = false;
static struct sigaction found_stop_actions[STOP_SIGNAL_COUNT];
static struct sigaction found_pipe_action;
static sigset_t found_mask;
static bool keyboard_is_terminal = false;
static termios found_keyboard;
static bool keyboard_raw = false;

void console_keep_standard_streams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY); // takes fd's place
    }
}

static void request_stop(int signal)
{
    stop_signal = signal;
}

void console_catch_stop_signals()
{
    struct sigaction stop = {};
    stop.sa_handler = request_stop;
    sigfillset(&stop.sa_mask);
    sigset_t held;
    sigemptyset(&held);
    for (int i = 0; i < STOP_SIGNAL_COUNT; ++i) {
        sigaction(STOP_SIGNALS[i], nullptr, &found_stop_actions[i]);
        if (found_stop_actions[i].sa_handler != SIG_IGN) {
            sigaction(STOP_SIGNALS[i], &stop, nullptr);
            sigaddset(&held, STOP_SIGNALS[i]);
        }
    }
    // Held back from here on but in the waits; one that comes before this
    // has set the flag already.
    sigprocmask(SIG_BLOCK, &held, &found_mask);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &found_pipe_action);
    signals_caught = true;
}

int console_stop_requested()
{
    return stop_signal != 0;
}

const sigset_t *console_wait_mask()
{
    return signals_caught ? &found_mask : nullptr;
}

void console_release_stop_signals()
{
    sigaction(SIGPIPE, &found_pipe_action, nullptr);
    for (int i = 0; i < STOP_SIGNAL_COUNT; ++i)
        sigaction(STOP_SIGNALS[i], &found_stop_actions[i], nullptr);
    signals_caught = false;
    sigprocmask(SIG_SETMASK, &found_mask, nullptr);
}

void console_end_as_stop_asked()
{
    int signal = stop_signal;
    struct sigaction usual = {};
    usual.sa_handler = SIG_DFL;
    sigaction(signal, &usual, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    kill(getpid(), signal);
    _exit(128 + signal); // not reached: the signal's usual action ends the process
}

void console_begin()
{
    keyboard_is_terminal = tcgetattr(STDIN_FILENO, &found_keyboard) == 0;
    if (keyboard_is_terminal) {
        termios raw = found_keyboard;
        cfmakeraw(&raw);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        keyboard_raw = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
}

bool console_has_keyboard()
{
    return keyboard_is_terminal;
}

int console_wait_input(int timeout_ms)
{
    if (console_stop_requested())
        return 0;
    fd_set input;
    FD_ZERO(&input);
    FD_SET(STDIN_FILENO, &input);
    timespec limit = {timeout_ms / 1000, timeout_ms % 1000 * 1000000L};
    return pselect(STDIN_FILENO + 1, &input, nullptr, nullptr, &limit, console_wait_mask()) > 0;
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
        // Waits for room first, then writes no more than a pipe with room
        // takes at once; the stop signals get through during the wait alone.
        timespec at_once = {0, 0};
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(STDOUT_FILENO, &writable);
        int ready = pselect(STDOUT_FILENO + 1, nullptr, &writable, nullptr,
                            console_stop_requested() ? &at_once : nullptr, console_wait_mask());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return 0;
        ssize_t written =
            write(STDOUT_FILENO, bytes, static_cast<size_t>(count < PIPE_BUF ? count : PIPE_BUF));
        if (written > 0) {
            bytes += written;
            count -= static_cast<int>(written);
        } else if (written == 0 || (errno != EINTR && errno != EAGAIN)) {
            return 0;
        }
    }
    return 1;
}

// The text that printf would write, whole, however long.
static std::string formatted(const char *format, va_list arguments)
{
    std::vector<char> text(256);
    va_list again;
    va_copy(again, arguments);
    int length = vsnprintf(text.data(), text.size(), format, arguments);
    if (length >= static_cast<int>(text.size())) {
        text.resize(static_cast<size_t>(length) + 1);
        vsnprintf(text.data(), text.size(), format, again);
    }
    va_end(again);
    return length > 0 ? std::string(text.data(), static_cast<size_t>(length)) : std::string();
}

int console_print(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::string text = formatted(format, arguments);
    va_end(arguments);
    return console_write(reinterpret_cast<const unsigned char *>(text.data()),
                         static_cast<int>(text.size()));
}

// A notice as standard error shows it: a raw terminal moves down without
// going back to the line's start.
static std::string as_note(const std::string &text)
{
    bool raw = keyboard_raw && isatty(STDERR_FILENO);
    std::string shown;
    for (char c : text) {
        if (c == '\n' && raw)
            shown += '\r';
        shown += c;
    }
    return shown;
}

void console_note(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::string text = as_note(formatted(format, arguments));
    va_end(arguments);
    fwrite(text.data(), 1, text.size(), stderr);
}

// Writes all of the text if the descriptor takes it without a wait; a pipe
// that has room takes PIPE_BUF bytes at once, and a progress text is shorter.
static int write_without_waiting(int fd, const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        timespec at_once = {0, 0};
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(fd, &writable);
        if (pselect(fd + 1, nullptr, &writable, nullptr, &at_once, nullptr) <= 0)
            return 0;
        size_t left = text.size() - done;
        ssize_t written = write(fd, text.data() + done, left < PIPE_BUF ? left : PIPE_BUF);
        if (written <= 0)
            return 0;
        done += static_cast<size_t>(written);
    }
    return 1;
}

int console_show(ConsoleStream stream, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::string text = formatted(format, arguments);
    va_end(arguments);
    if (stream == CONSOLE_ERROR)
        return write_without_waiting(STDERR_FILENO, as_note(text));
    return write_without_waiting(STDOUT_FILENO, text);
}

void console_end()
{
    if (keyboard_is_terminal)
        tcsetattr(STDIN_FILENO, TCSANOW, &found_keyboard);
    keyboard_raw = false;
}
