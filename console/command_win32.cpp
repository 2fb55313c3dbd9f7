// The user's command beside the run on Windows: cmd /c in a job that ends
// with the tool, and everything it started ended with the job.
#include "console/console.h"

#include <cstring>
#include <string>
#include <vector>
#include <windows.h>

// The command's process and job, and a thread that waits for its end and,
// while the line waits on the command, wakes the line's waits when it failed.
static HANDLE command_process = nullptr;
static HANDLE command_job = nullptr;
static HANDLE command_watcher = nullptr;
static CRITICAL_SECTION command_lock; // the three below
static bool lock_made = false;
static bool command_ended = false;
static DWORD command_exit_code = 0;
static bool command_aside = false;

static DWORD WINAPI watch_command(LPVOID process)
{
    WaitForSingleObject(process, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process, &code);
    EnterCriticalSection(&command_lock);
    command_exit_code = code;
    command_ended = true;
    if (code != 0 && !command_aside)
        SetEvent(console_stop_event());
    LeaveCriticalSection(&command_lock);
    return 0;
}

int console_start_command(const char *command, const std::vector<std::string> &variables,
                          std::string *why)
{
    if (!lock_made)
        InitializeCriticalSection(&command_lock);
    lock_made = true;
    for (const std::string &variable : variables) {
        size_t equals = variable.find('=');
        SetEnvironmentVariableA(variable.substr(0, equals).c_str(), variable.c_str() + equals + 1);
    }
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE nothing = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherited, OPEN_EXISTING, 0, nullptr);
    HANDLE errors = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(),
                    &errors, 0, TRUE, DUPLICATE_SAME_ACCESS);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = errors;
    startup.hStdError = errors;
    std::string line = "cmd.exe /c " + std::string(command);
    PROCESS_INFORMATION started = {};
    command_job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(command_job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    BOOL created = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                  nullptr, nullptr, &startup, &started);
    DWORD error = GetLastError();
    CloseHandle(nothing);
    CloseHandle(errors);
    if (!created) {
        CloseHandle(command_job);
        command_job = nullptr;
        char text[256] = "";
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text, sizeof text, nullptr);
        *why = text;
        while (!why->empty() && strchr(".\r\n ", why->back()) != nullptr)
            why->pop_back();
        return 0;
    }
    AssignProcessToJobObject(command_job, started.hProcess);
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    command_process = started.hProcess;
    command_ended = false;
    command_aside = false;
    command_watcher = CreateThread(nullptr, 0, watch_command, command_process, 0, nullptr);
    return 1;
}

CommandState console_command_state(std::string *how)
{
    if (command_process == nullptr)
        return COMMAND_NONE;
    EnterCriticalSection(&command_lock);
    bool ended = command_ended;
    DWORD code = command_exit_code;
    LeaveCriticalSection(&command_lock);
    if (!ended)
        return COMMAND_RUNNING;
    if (code == 0)
        return COMMAND_SUCCEEDED;
    if (how != nullptr)
        *how = "failed with status " + std::to_string(code);
    return COMMAND_FAILED;
}

int console_command_stops_line()
{
    return !command_aside && console_command_state(nullptr) == COMMAND_FAILED;
}

void console_set_command_aside()
{
    if (command_process == nullptr)
        return;
    EnterCriticalSection(&command_lock);
    command_aside = true;
    // The waits' event, if the failure set it, is no stop.
    if (command_ended && command_exit_code != 0 && !console_stop_requested())
        ResetEvent(console_stop_event());
    LeaveCriticalSection(&command_lock);
}

CommandState console_end_command(int grace_ms, std::string *how)
{
    if (command_process == nullptr)
        return COMMAND_NONE;
    HANDLE events[2] = {command_process, console_stop_event()};
    if (!console_stop_requested())
        WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(grace_ms));
    bool had_to = WaitForSingleObject(command_process, 0) == WAIT_TIMEOUT;
    if (!had_to && command_watcher != nullptr)
        WaitForSingleObject(command_watcher, INFINITE); // its exit code taken
    CommandState state = had_to ? COMMAND_RUNNING : console_command_state(how);
    // Whatever the command started and left behind goes with the job.
    TerminateJobObject(command_job, 1);
    if (had_to)
        TerminateProcess(command_process, 1); // where it could not join the job
    WaitForSingleObject(command_process, INFINITE);
    if (command_watcher != nullptr) {
        WaitForSingleObject(command_watcher, INFINITE);
        CloseHandle(command_watcher);
    }
    CloseHandle(command_process);
    CloseHandle(command_job);
    command_process = command_job = command_watcher = nullptr;
    return state;
}
