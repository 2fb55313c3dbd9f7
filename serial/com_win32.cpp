// The local port on Windows: a COM port, through the Win32 communications
// API.
#include "serial/transport.h"
#include "serial/wait.h"

#include <windows.h>

enum { DRAIN_LIMIT_MS = 1000, STOPPED_WRITE_MS = 100 };

typedef HANDLE SerialPort;

// Opened for overlapped I/O: each read and write is waited for on its event
// together with the console's stop event, so that a stop request ends it
// at once whatever the driver does with a cancel.
static SerialPort com = INVALID_HANDLE_VALUE;
static OVERLAPPED reading = {};
static OVERLAPPED writing = {};

// The read time-out in force on the port.
static int timeout_in_force_ms = -1;

// What close puts back: the settings and time-outs found at open.
static DCB found_line;
static COMMTIMEOUTS found_timeouts;
static bool found = false;
static bool line_changed = false;

static int com_open(const char *port, long long, std::string *name, std::string *why)
{
    *name = "COM" + std::to_string(serial_port_number(port));
    *why = port_value_trouble(port);
    if (!why->empty())
        return STEP_FAILED;
    // Through the device namespace, or ports from COM10 on cannot be opened.
    std::string device = "\\\\.\\" + *name;
    com = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_FLAG_OVERLAPPED, nullptr);
    if (com == INVALID_HANDLE_VALUE) {
        *why = local_port_trouble(*name, static_cast<long>(GetLastError()));
        return STEP_FAILED;
    }
    reading.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    writing.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    found_line.DCBlength = sizeof found_line;
    found = GetCommState(com, &found_line) && GetCommTimeouts(com, &found_timeouts);
    line_changed = false;
    timeout_in_force_ms = -1;
    return STEP_DONE;
}

// A read of one byte ends when it has come or after its time-out. Each call
// to the driver costs a round trip through a USB adapter's driver: the
// time-out is set only when it changes.
static void set_read_timeout(int timeout_ms)
{
    if (timeout_ms == timeout_in_force_ms)
        return;
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeout_ms);
    SetCommTimeouts(com, &timeouts);
    timeout_in_force_ms = timeout_ms;
}

// Starts a read or write and waits for it until the deadline (-1: none) or
// a stop request, then cancels what is still under way. Returns how many
// bytes it moved, or IO_LOST.
static int overlapped(bool write, unsigned char *bytes, int count, long long deadline_ms)
{
    OVERLAPPED *call = write ? &writing : &reading;
    ResetEvent(call->hEvent);
    DWORD moved = 0;
    BOOL done = write ? WriteFile(com, bytes, static_cast<DWORD>(count), nullptr, call)
                      : ReadFile(com, bytes, static_cast<DWORD>(count), nullptr, call);
    if (!done && GetLastError() != ERROR_IO_PENDING)
        return IO_LOST;
    // What is written after a stop request (the cancel for the board) gets
    // a moment to go out rather than none.
    bool finished =
        done || (write && port_stop_requested()
                     ? WaitForSingleObject(call->hEvent, STOPPED_WRITE_MS) == WAIT_OBJECT_0
                     : port_wait(call->hEvent, write, deadline_ms) == WAIT_READY);
    if (!finished)
        CancelIo(com);
    if (GetOverlappedResult(com, call, &moved, TRUE))
        return static_cast<int>(moved);
    // Cancelled, or (under Wine) a read whose time-out passed: not a failure.
    DWORD error = GetLastError();
    return error == ERROR_OPERATION_ABORTED || error == ERROR_TIMEOUT || error == ERROR_SEM_TIMEOUT
               ? static_cast<int>(moved)
               : IO_LOST;
}

static int com_set_speed(int baud, std::string *why)
{
    DCB line = {};
    line.DCBlength = sizeof line;
    FlushFileBuffers(com); // what was sent goes at the old speed
    if (!GetCommState(com, &line)) {
        *why = win32_error_text(GetLastError());
        return STEP_FAILED;
    }
    DWORD old_baud = line.BaudRate;
    line.BaudRate = static_cast<DWORD>(baud);
    if (!SetCommState(com, &line)) {
        *why = "The port did not take " + std::to_string(baud) + " baud";
        line.BaudRate = old_baud;
        SetCommState(com, &line);
        return STEP_FAILED;
    }
    return STEP_DONE;
}

static int com_configure(int baud, std::string *why)
{
    PurgeComm(com, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    // A raw line: every byte passes unchanged, and no flow control, hardware
    // or software, ever holds a transfer back.
    DCB line = {};
    line.DCBlength = sizeof line;
    line.BaudRate = static_cast<DWORD>(baud);
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.fParity = FALSE;
    line.StopBits = ONESTOPBIT;
    line.fBinary = TRUE;
    line.fOutxCtsFlow = FALSE;
    line.fOutxDsrFlow = FALSE;
    line.fDtrControl = DTR_CONTROL_DISABLE;
    line.fDsrSensitivity = FALSE;
    line.fTXContinueOnXoff = TRUE;
    line.fOutX = FALSE;
    line.fInX = FALSE;
    line.XonChar = 0x11;
    line.XoffChar = 0x13;
    line.XonLim = 0;
    line.XoffLim = 0;
    line.fErrorChar = FALSE;
    line.ErrorChar = 0;
    line.fNull = FALSE;
    line.fAbortOnError = FALSE;
    line.EofChar = 0;
    line.EvtChar = 0;
    line.fRtsControl = RTS_CONTROL_DISABLE;
    line_changed = true;
    if (!SetCommState(com, &line)) {
        *why = local_port_trouble("", static_cast<long>(GetLastError()));
        return STEP_FAILED;
    }
    return STEP_DONE;
}

// Takes what has already arrived, up to capacity bytes, without waiting.
static int read_waiting(unsigned char *buffer, int capacity)
{
    DWORD errors;
    COMSTAT status;
    if (!ClearCommError(com, &errors, &status))
        return IO_LOST;
    if (status.cbInQue == 0)
        return 0;
    DWORD wanted = status.cbInQue < static_cast<DWORD>(capacity) ? status.cbInQue
                                                                 : static_cast<DWORD>(capacity);
    return overlapped(false, buffer, static_cast<int>(wanted), -1);
}

static int com_receive(unsigned char *buffer, int capacity, long long deadline_ms)
{
    long long timeout_ms = deadline_ms - serial_clock_ms();
    if (timeout_ms <= 0 || port_stop_requested())
        return read_waiting(buffer, capacity);
    // One byte, as soon as it is there or when the time-out has passed.
    set_read_timeout(static_cast<int>(timeout_ms));
    int got = overlapped(false, buffer, 1, -1);
    if (got <= 0 || capacity == 1)
        return got;
    int more = read_waiting(buffer + 1, capacity - 1);
    return more == IO_LOST ? IO_LOST : 1 + more;
}

static int com_send(const unsigned char *bytes, int count, long long deadline_ms)
{
    return overlapped(true, const_cast<unsigned char *>(bytes), count, deadline_ms);
}

static int has_input()
{
    DWORD errors;
    COMSTAT status;
    return !ClearCommError(com, &errors, &status) || status.cbInQue > 0;
}

static int com_wait_input(int timeout_ms, bool watch_stdin)
{
    return port_wait_input(has_input, timeout_ms, watch_stdin);
}

// Lets what is still queued for the port go out, but only for so long: a
// port that has stopped sending must not hold the exit up.
static void drain_output()
{
    long long limit = serial_clock_ms() + DRAIN_LIMIT_MS;
    DWORD errors;
    COMSTAT status;
    while (ClearCommError(com, &errors, &status) && status.cbOutQue > 0 &&
           serial_clock_ms() < limit)
        port_sleep_until(serial_clock_ms() + 10);
}

static void com_close(bool lost)
{
    if (com == INVALID_HANDLE_VALUE)
        return;
    if (line_changed && found && !lost) {
        drain_output();
        SetCommState(com, &found_line);
        SetCommTimeouts(com, &found_timeouts);
    }
    CloseHandle(com);
    CloseHandle(reading.hEvent);
    CloseHandle(writing.hEvent);
    com = INVALID_HANDLE_VALUE;
}

const Transport LOCAL_TRANSPORT = {com_open, com_configure,  com_set_speed, com_receive,
                                   com_send, com_wait_input, com_close,     true};
