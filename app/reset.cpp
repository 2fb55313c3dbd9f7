#include "app/reset.h"

#include "console/console.h"
#include "serial/serial.h"

#include <string>
#include <vector>

enum { GRACE_MS = 10000 };

static const char *reset_command = nullptr;
static int tries_started = 0;
static bool failure_said = false;
static long long grace_ends_ms = -1; // once the boot is over

void reset_prepare(const char *command)
{
    reset_command = command;
    tries_started = 0;
    failure_said = false;
    grace_ends_ms = -1;
}

bool reset_start()
{
    if (reset_command == nullptr)
        return true;
    std::string why;
    const std::vector<std::string> variables = {std::string("DRAMLIFT_PORT=") + serial_name(),
                                                "DRAMLIFT_TRY=" + std::to_string(++tries_started)};
    if (console_start_command(reset_command, variables, &why))
        return true;
    console_note("Could not run the reset command: %s.\n", why.c_str());
    failure_said = true;
    return false;
}

// Says how the command failed, once, on a line of its own.
static void say_failure(const std::string &how, const char *start)
{
    if (!failure_said)
        console_note("%sThe reset command %s.\n", start, how.c_str());
    failure_said = true;
}

bool reset_failed()
{
    std::string how;
    if (console_command_state(&how) == COMMAND_FAILED)
        say_failure(how, "");
    return failure_said;
}

// Ends the command, at once or after up to grace_ms; says what became of
// it, `after` what it was still running if it had to be ended. Returns
// false when it failed.
static bool end_command(int grace_ms, const char *after, const char *start)
{
    std::string how;
    CommandState state = console_end_command(grace_ms, &how);
    if (state == COMMAND_RUNNING && !console_stop_requested())
        console_note("%sThe reset command was still running %s: it and what it started were "
                     "ended.\n",
                     start, after);
    if (state == COMMAND_FAILED)
        say_failure(how, start);
    return !failure_said;
}

bool reset_end_try()
{
    return end_command(GRACE_MS, "10 s after the try", "");
}

void reset_boot_over()
{
    grace_ends_ms = serial_clock_ms() + GRACE_MS;
    console_set_command_aside();
}

int reset_watch(bool *mid_line)
{
    const char *start = *mid_line ? "\n" : "";
    std::string how;
    CommandState state = console_command_state(&how);
    if (state == COMMAND_NONE)
        return -1;
    if (state == COMMAND_FAILED && !failure_said) {
        say_failure(how, start);
        *mid_line = false;
    }
    long long left = grace_ends_ms - serial_clock_ms();
    if (left > 0)
        return static_cast<int>(left);
    if (state == COMMAND_RUNNING)
        *mid_line = false;
    end_command(0, "10 s after the boot", start);
    return -1;
}

bool reset_end_run(bool at_once)
{
    long long left = grace_ends_ms - serial_clock_ms();
    if (at_once || left < 0)
        left = 0;
    return end_command(static_cast<int>(left),
                       at_once ? "as the terminal was left" : "10 s after the boot", "");
}
