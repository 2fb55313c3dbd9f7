// The user's command beside the run on POSIX systems: a shell in a session
// of its own, and the end of everything it started.
#include "console/console.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/select.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>
#ifdef __linux__
#include <sys/prctl.h>
#endif

extern char **environ;

enum { COMMAND_TERM_MS = 1000, GROUP_LOOK_MS = 20 };

// The command's shell, also its session's and group's ID, and how it ended,
// taken when SIGCHLD comes. SIGCHLD, like the stop signals, is let through
// only during the waits.
static pid_t command_pid = -1;
static volatile sig_atomic_t command_ended = 0;
static volatile sig_atomic_t command_status = 0;
static bool command_aside = false;
static struct sigaction found_child_action;

static void take_command_end(int)
{
    int saved_errno = errno;
    int status;
    if (command_pid > 0 && !command_ended &&
        waitpid(command_pid, &status, WNOHANG) == command_pid) {
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
    command_aside = false;
#ifdef __linux__
    // What the command leaves behind comes to the tool when the command
    // ends, not to a process 1 that may never take their ends.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
#endif
    command_pid = fork();
    if (command_pid == 0) {
        // A session of its own has no terminal: a command that would read
        // the user's (a password prompt, stty) fails at once with its own
        // words instead of being stopped, unseen, for good.
        setsid();
        dup2(nothing, STDIN_FILENO);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        struct sigaction usual = {};
        usual.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &usual, nullptr);
        sigprocmask(SIG_SETMASK, console_found_mask(), nullptr);
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

void console_set_command_aside()
{
    command_aside = true;
}

int console_command_stops_line()
{
    return !command_aside && console_command_state(nullptr) == COMMAND_FAILED;
}

static long long monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// Sleeps until the deadline at most; SIGCHLD and (when stops count) a stop
// request end the sleep.
static void sleep_until(long long deadline_ns, bool stops_count)
{
    long long left_ns = deadline_ns - monotonic_ns();
    if (left_ns <= 0 || (stops_count && console_stop_requested()))
        return;
    timespec left = {static_cast<time_t>(left_ns / 1000000000),
                     static_cast<long>(left_ns % 1000000000)};
    // The mask of the waits lets SIGCHLD through, or nothing would wake the
    // sleep: the command's end is looked at once more after it.
    pselect(0, nullptr, nullptr, nullptr, &left, console_wait_mask());
    take_command_end(0);
}

// Waits until the command's shell has ended, the time is up, or (when stops
// count) the process is asked to stop.
static void wait_for_command(int limit_ms, bool stops_count)
{
    long long deadline = monotonic_ns() + limit_ms * 1000000LL;
    while (!command_ended && !(stops_count && console_stop_requested()) &&
           monotonic_ns() < deadline)
        sleep_until(deadline, stops_count);
}

// Whether anything of the command's session is left, once its shell has
// been taken: what of it has ended is taken first. Its ID stays taken while
// anything in it lives, so that no other process can have it.
static bool group_left()
{
    while (waitpid(-command_pid, nullptr, WNOHANG) > 0) {
    }
    return kill(-command_pid, 0) == 0 || errno == EPERM;
}

// Ends what is left of the command's session: asked to end first, made to
// after a second. Nothing tells when others than the shell end, so their
// end is looked for every few milliseconds meanwhile.
static void end_group()
{
    if (!command_ended) {
        kill(-command_pid, SIGTERM);
        wait_for_command(COMMAND_TERM_MS, false);
    }
    if (!command_ended) {
        kill(-command_pid, SIGKILL); // the shell's ID is still its own
        return;
    }
    if (!group_left())
        return;
    kill(-command_pid, SIGTERM);
    long long deadline = monotonic_ns() + COMMAND_TERM_MS * 1000000LL;
    while (group_left() && monotonic_ns() < deadline)
        sleep_until(monotonic_ns() + GROUP_LOOK_MS * 1000000LL, false);
    if (group_left())
        kill(-command_pid, SIGKILL);
}

CommandState console_end_command(int grace_ms, std::string *how)
{
    if (command_pid < 0)
        return COMMAND_NONE;
    wait_for_command(grace_ms, true);
    CommandState state = console_command_state(how);
    end_group();
    if (!command_ended)
        waitpid(command_pid, nullptr, 0);
    command_pid = -1;
    sigaction(SIGCHLD, &found_child_action, nullptr);
    return state;
}
