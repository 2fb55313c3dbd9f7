// Waiting on Windows: WaitForMultipleObjects on the port's event together
// with the console's stop event.
#include "serial/wait.h"

#include "console/console.h"
#include "serial/serial.h"

#include <windows.h>

enum { WAIT_SLICE_MS = 10 };

long long serial_clock_ms()
{
    return static_cast<long long>(GetTickCount64());
}

// The keyboard, while keys are watched and it is a console (other input
// cannot be waited on); nullptr otherwise.
static HANDLE watched_keyboard()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    return port_keys_watched() && GetFileType(input) == FILE_TYPE_CHAR ? input : nullptr;
}

int port_wait(PortWaitable port, bool, long long deadline_ms)
{
    for (;;) {
        if (port_stop_requested())
            return WAIT_STOPPED;
        long long left = deadline_ms - serial_clock_ms();
        if (deadline_ms >= 0 && left <= 0)
            return WAIT_TIMED_OUT;
        // While the port is put back after a stop request, the stop event
        // (set for good) is not waited on.
        HANDLE events[3];
        DWORD count = 0;
        if (port != nullptr)
            events[count++] = port;
        if (!serial_stop_requested())
            events[count++] = console_stop_event();
        HANDLE keyboard = watched_keyboard();
        if (keyboard != nullptr)
            events[count++] = keyboard;
        DWORD limit = deadline_ms >= 0 ? static_cast<DWORD>(left) : INFINITE;
        if (count == 0) {
            Sleep(limit);
            return WAIT_TIMED_OUT;
        }
        DWORD woken = WaitForMultipleObjects(count, events, FALSE, limit);
        if (port != nullptr && woken == WAIT_OBJECT_0)
            return WAIT_READY;
        if (keyboard != nullptr && woken == WAIT_OBJECT_0 + count - 1) {
            port_keys_came();
            continue;
        }
        return port_stop_requested() ? WAIT_STOPPED : WAIT_TIMED_OUT;
    }
}

void port_sleep_until(long long deadline_ms)
{
    port_wait(nullptr, false, deadline_ms);
}

int port_wait_input(int (*has_input)(), int timeout_ms, bool watch_stdin)
{
    // A port opened for plain blocking input cannot be waited on together
    // with the console: look at both every slice. A console wakes the wait
    // as soon as a key comes; other input is named every slice for the
    // caller to look at.
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    bool console = watch_stdin && GetFileType(input) == FILE_TYPE_CHAR;
    ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
    while (!port_stop_requested()) {
        if (has_input())
            return SERIAL_INPUT_LINE; // the read that follows tells which
        if (console) {
            if (WaitForSingleObject(input, WAIT_SLICE_MS) == WAIT_OBJECT_0)
                return SERIAL_INPUT_STDIN;
        } else {
            Sleep(WAIT_SLICE_MS);
            if (watch_stdin)
                return SERIAL_INPUT_STDIN;
        }
        if (GetTickCount64() >= until)
            return 0;
    }
    return 0;
}

int port_signal_open(PortSignal *signal)
{
    signal->ends[0] = signal->ends[1] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return signal->ends[0] != nullptr;
}

void port_signal_raise(PortSignal *signal)
{
    SetEvent(signal->ends[1]);
}

void port_signal_close(PortSignal *signal)
{
    CloseHandle(signal->ends[0]);
}

static DWORD WINAPI run_work(LPVOID work)
{
    port_work_run(work);
    return 0;
}

int port_thread_start(void (*work)(void *), void *argument)
{
    PortWork *started = new PortWork{work, argument};
    HANDLE thread = CreateThread(nullptr, 0, run_work, started, 0, nullptr);
    if (thread != nullptr)
        CloseHandle(thread);
    else
        delete started;
    return thread != nullptr;
}
