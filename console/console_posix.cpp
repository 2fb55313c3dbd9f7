// The console on POSIX systems: the terminal on standard input and output,
// and the signals that ask the tool to stop.
#include "console/console.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/select.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

static const int STOP_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT};
enum { STOP_SIGNAL_COUNT = sizeof STOP_SIGNALS / sizeof STOP_SIGNALS[0] };

static volatile sig_atomic_t stop_signal = 0;
static bool signals_caught = false;
static struct sigaction found_stop_actions[STOP_SIGNAL_COUNT];
static struct sigaction found_pipe_action;
static sigset_t found_mask;
static sigset_t wait_mask;
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
    // The reset command's end wakes the waits even when the tool was started
    // with SIGCHLD held back: a command that fails would go unnoticed.
    wait_mask = found_mask;
    sigdelset(&wait_mask, SIGCHLD);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &found_pipe_action);
    signals_caught = true;
}

static long long monotonic_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Outside the waits the stop signals are held back, and a line that always
// has something to read would keep the run out of the waits for as long as
// it talks: every so often a look at the signals held back lets one in.
enum { PENDING_LOOK_MS = 50 };
static long long next_pending_look_ms = 0;

static void let_held_stop_in()
{
    sigset_t pending;
    if (sigpending(&pending) != 0)
        return;
    for (int signal : STOP_SIGNALS) {
        if (sigismember(&pending, signal) == 1) {
            // Unblocking delivers it before the call returns.
            sigset_t held;
            pthread_sigmask(SIG_SETMASK, &wait_mask, &held);
            pthread_sigmask(SIG_SETMASK, &held, nullptr);
            return;
        }
    }
}

int console_stop_requested()
{
    if (stop_signal == 0 && signals_caught && monotonic_ms() >= next_pending_look_ms) {
        next_pending_look_ms = monotonic_ms() + PENDING_LOOK_MS;
        let_held_stop_in();
    }
    return stop_signal != 0;
}

const sigset_t *console_wait_mask()
{
    return signals_caught ? &wait_mask : nullptr;
}

const sigset_t *console_found_mask()
{
    return &found_mask;
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

// Writes all of the bytes to fd, no more than a pipe with room takes at
// once each time. A patient writer waits for room, letting the stop signals
// through during the wait alone, until the process is asked to stop; from
// then on, as an impatient one always does, it writes only what goes at
// once. Returns 0 when that is not all of it, or the stream has gone.
static int write_all(int fd, const unsigned char *bytes, size_t count, bool patient)
{
    while (count > 0) {
        bool waits = patient && !console_stop_requested();
        timespec at_once = {0, 0};
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(fd, &writable);
        int ready = pselect(fd + 1, nullptr, &writable, nullptr, waits ? nullptr : &at_once,
                            waits ? console_wait_mask() : nullptr);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return 0;
        ssize_t written = write(fd, bytes, count < PIPE_BUF ? count : PIPE_BUF);
        if (written > 0) {
            bytes += written;
            count -= static_cast<size_t>(written);
        } else if (written == 0 || (errno != EINTR && errno != EAGAIN)) {
            return 0;
        }
    }
    return 1;
}

int console_write(const unsigned char *bytes, int count)
{
    return write_all(STDOUT_FILENO, bytes, count > 0 ? static_cast<size_t>(count) : 0, true);
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

int console_show(ConsoleStream stream, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::string text = formatted(format, arguments);
    va_end(arguments);
    if (stream == CONSOLE_ERROR)
        text = as_note(text);
    // A progress text is shorter than what a pipe with room takes at once.
    return write_all(stream == CONSOLE_ERROR ? STDERR_FILENO : STDOUT_FILENO,
                     reinterpret_cast<const unsigned char *>(text.data()), text.size(), false);
}

void console_end()
{
    if (keyboard_is_terminal)
        tcsetattr(STDIN_FILENO, TCSANOW, &found_keyboard);
    keyboard_raw = false;
}
