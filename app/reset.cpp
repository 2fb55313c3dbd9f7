#include "app/reset.h"

#include "console/console.h"
#include "serial/serial.h"

#include <cstdio>

enum { GRACE_MS = 10000 };

static const char *reset_command = nullptr;
static int tries_started = 0;
static bool failure_said = false;

void reset_prepare(const char *command)
{
    reset_command = command;
    tries_started = 0;
    failure_said = false;
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
    fprintf(stderr, "Could not run the reset command: %s.\n", why.c_str());
    failure_said = true;
    return false;
}

// Says how the command failed, once.
static void say_failure(const std::string &how)
{
    if (!failure_said)
        fprintf(stderr, "The reset command %s.\n", how.c_str());
    failure_said = true;
}

int reset_report_failure()
{
    std::string how;
    if (console_command_state(&how) == COMMAND_FAILED)
        say_failure(how);
    return failure_said;
}

int reset_end(const char *after)
{
    std::string how;
    CommandState state = console_end_command(GRACE_MS, &how);
    if (state == COMMAND_RUNNING && !console_stop_requested())
        fprintf(stderr,
                "The reset command was still running %d s after the %s: it and what it started "
                "were ended.\n",
                GRACE_MS / 1000, after);
    if (state == COMMAND_FAILED)
        say_failure(how);
    return !failure_said;
}
