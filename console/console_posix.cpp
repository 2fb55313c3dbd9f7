// The console on POSIX systems: the terminal on standard input, and signals.
#include "console/console.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/select.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char **environ;

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

int console_stop_requested()
{
    return stop_signal != 0;
}

const sigset_t *console_wait_mask()
{
    return signals_caught ? &wait_mask : nullptr;
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

// The user's command: its process, also its group's ID, and how it ended,
// taken when SIGCHLD comes. SIGCHLD, like the stop signals, is let through
// only during the waits.
enum { COMMAND_TERM_MS = 1000 };
static pid_t command_pid = -1;
static volatile sig_atomic_t command_ended = 0;
static volatile sig_atomic_t command_status = 0;
static struct sigaction found_child_action;

static void take_command_end(int)
{
    int saved_errno = errno;
    int status;
    if (command_pid > 0 && waitpid(command_pid, &status, WNOHANG) == command_pid) {
        command_status = status;
        command_ended = 1;
    }
    errno = saved_errno;
}

// The environment for the command: ours, with the variables given in place
// of any of the same name.
static std::vector<std::string> command_environment(const std::vector<std::string> &variables)
{
    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        bool replaced = false;
        for (const std::string &variable : variables) {
            size_t name_end = variable.find('=') + 1;
            replaced = replaced || strncmp(*entry, variable.c_str(), name_end) == 0;
        }
        if (!replaced)
            environment.push_back(*entry);
    }
    environment.insert(environment.end(), variables.begin(), variables.end());
    return environment;
}

int console_start_command(const char *command, const std::vector<std::string> &variables,
                          std::string *why)
{
    // Everything the child needs is made before it exists: between fork
    // and exec only calls that are safe in a signal handler are made.
    std::vector<std::string> environment = command_environment(variables);
    std::vector<char *> envp;
    for (std::string &entry : environment)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);

    sigset_t child_signal;
    sigemptyset(&child_signal);
    sigaddset(&child_signal, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child_signal, nullptr);
    struct sigaction take = {};
    take.sa_handler = take_command_end;
    sigfillset(&take.sa_mask);
    take.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &take, &found_child_action);
    command_ended = 0;
    command_pid = fork();
    if (command_pid == 0) {
        setpgid(0, 0);
        dup2(nothing, STDIN_FILENO);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        struct sigaction usual = {};
        usual.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &usual, nullptr);
        sigprocmask(SIG_SETMASK, &found_mask, nullptr);
        const char *argv[] = {"sh", "-c", command, nullptr};
        execve("/bin/sh", const_cast<char **>(argv), envp.data());
        _exit(127);
    }
    int error = errno;
    if (nothing >= 0)
        close(nothing);
    if (command_pid < 0) {
        *why = strerror(error);
        return 0;
    }
    setpgid(command_pid, command_pid); // whichever of the two comes first
    return 1;
}

CommandState console_command_state(std::string *how)
{
    if (command_pid < 0)
        return COMMAND_NONE;
    if (!command_ended)
        return COMMAND_RUNNING;
    int status = command_status;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return COMMAND_SUCCEEDED;
    if (how != nullptr)
        *how = WIFEXITED(status) ? "failed with status " + std::to_string(WEXITSTATUS(status))
                                 : "was ended by signal " + std::to_string(WTERMSIG(status));
    return COMMAND_FAILED;
}

// Waits until the command has ended, the time is up, or (when stops count)
// the process is asked to stop; SIGCHLD ends the sleep.
static void wait_for_command(int limit_ms, bool stops_count)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += limit_ms / 1000;
    deadline.tv_nsec += limit_ms % 1000 * 1000000L;
    while (!command_ended && !(stops_count && console_stop_requested())) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long left_ns =
            (deadline.tv_sec - now.tv_sec) * 1000000000LL + (deadline.tv_nsec - now.tv_nsec);
        if (left_ns <= 0)
            return;
        timespec left = {static_cast<time_t>(left_ns / 1000000000),
                         static_cast<long>(left_ns % 1000000000)};
        // The mask of the waits lets SIGCHLD through, or nothing wakes the
        // sleep: the command's end is looked at once more after it.
        pselect(0, nullptr, nullptr, nullptr, &left, console_wait_mask());
        take_command_end(0);
    }
}

CommandState console_end_command(int grace_ms, std::string *how)
{
    if (command_pid < 0)
        return COMMAND_NONE;
    wait_for_command(grace_ms, true);
    CommandState state = console_command_state(how);
    if (state == COMMAND_RUNNING || console_stop_requested()) {
        kill(-command_pid, SIGTERM);
        wait_for_command(COMMAND_TERM_MS, false);
        kill(-command_pid, SIGKILL);
    }
    if (!command_ended)
        waitpid(command_pid, nullptr, 0);
    command_pid = -1;
    sigaction(SIGCHLD, &found_child_action, nullptr);
    return state;
}
